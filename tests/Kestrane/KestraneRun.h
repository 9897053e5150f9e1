// Test support for whole runs of the Kestrane program in a private folder tree: work/ is the current directory
// (Tollan.ini, the sensor's flash.state), DB/ beside it, tmp/ for temporaries. A Scenario owns its tree and
// removes it when destroyed; one thread uses it.
#pragma once

#include <Orvane/OrvaneStatus.h>
#include <Tollan/src/sensor/flash/FlashStore.h>
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace kestrane::testing {

using tollan::sensor::FlashFile;

// Firmware 5.8.22, serial "SN123", a read-only boot block, an identity file, default NESA parameters and two
// firmware files in [0x100000, 0x200000).
inline const char kDefaultSensor[] =
    "FirmwareVersion = 5.8.22\nSerialNumber = SN123\nPhysicalDeviceName = Simulated head\n"
    "VendorSpecificData = Vendor block\nFlashFile1 = 1, 1, 0x0, 0x10000, 0x1111, 0x8000\n"
    "FlashFile2 = 2, 9, 0x20000, 0x12E\nFlashFile3 = 3, 28, 0x60000, 0x4E, 0x040E\n"
    "FlashFile4 = 4, 10, 0x100000, 0x1000, 0x2222, 0x8000\nFlashFile5 = 5, 11, 0x180000, 0x1000\n";
inline const std::vector<std::string> kNoProtection = {"Kestrane_TB452.ini", "0", "0", "0", "0"};
// The default sensor's NESA parameters file replaced by a file of another kind.
inline const char kNoNesaFile[] = "FlashFile3 = 3, 12, 0x70000, 0x10\n";
// Sensor lines that make the flash calls that follow fail with kInjectedStatus.
inline const char kInjected[] = "FlashFaultStatus = 0x30850\nFlashFaults = ";
constexpr KrStatus kInjectedStatus = 0x30850;

struct RunResult {
  int exitCode = -1;
  std::string output;                 // standard output and error as written
  std::vector<std::string> messages;  // the tool's lines: log texts without their prefix, and plain lines
};

inline std::string Area(const std::string& skip, const std::string& min, const std::string& max,
                        const std::string& files) {
  return "[UpgArea]\nSkipFastClear = " + skip + "\nMin = " + min + "\nMax = " + max + "\n" + files;
}

// A flash file's bytes: the 16-bit type, then text.
inline std::string FlashBytes(uint16_t type, const std::string& text) {
  return std::string{static_cast<char>(type & 0xFF), static_cast<char>(type >> 8)} + text;
}

// Protection at 0x30000, fast clear on, fw.bin at 0x100000 and dsp.bin at 0x180000, with lines added to [Init],
// [File2] and [Finish].
inline std::string DefaultUpdate(const std::string& init = "", const std::string& file2 = "",
                                 const std::string& finish = "") {
  return "[Init]\n" + init + "\n[Protect]\nName = protect.bin\nOffset = 0x30000\n" +
         Area("0", "0x100000", "0x200000",
              "[Files]\nNumFiles = 2\n[File1]\nName = fw.bin\nOffset = 0x100000\nSensorSpecific = 0\n"
              "[File2]\nName = dsp.bin\nOffset = 0x180000\nSensorSpecific = 0\n" +
                  file2 + "\n[Finish]\n" + finish + "\n");
}

// count files of the firmware, one per 4 KiB, ids equal to their positions, with the signature of the build
// RepairFW5327ZoneB repairs unless the crc and type at changedAt differ.
inline std::string ZoneBSensor(const std::string& version, size_t count = 34, int changedAt = -1) {
  std::ostringstream lines;
  lines << "FirmwareVersion = " << version << "\n";
  for (size_t i = 0; i < count; ++i) {
    const bool special = i == 16 || i == 17 || i == 19 || i == 29 || i == 30 || i == 33;
    unsigned crc = i == 16 ? 0x9E78 : i == 17 ? 0xBF02 : i == 19 ? 0x3B83 : 0x1000 + static_cast<unsigned>(i);
    unsigned type = i == 29 ? 20 : i == 30 ? 23 : i == 33 ? 19 : 1;
    if (static_cast<int>(i) == changedAt) {
      crc ^= 1;
      type += 100;
    }
    lines << "FlashFile" << i + 1 << " = " << i << ", " << type << ", " << i * 0x1000 << ", 0x100, " << crc << ", "
          << (special ? 0x8000 : 0) << "\n";
  }
  return lines.str();
}

inline std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

class Scenario {
 public:
  Scenario() {
    for (const char* folder : {"work", "DB", "tmp"}) MakeDirectory(folder);
    Sensor(kDefaultSensor);
    Update(DefaultUpdate());
    Write("work/protect.bin", FlashBytes(25, "protect"));
    Write("work/fw.bin", FlashBytes(10, "firmware image v2"));
    Write("work/dsp.bin", FlashBytes(11, "dsp code v2"));
  }
  ~Scenario() {
    std::error_code error;
    std::filesystem::remove_all(root_, error);
  }
  Scenario(const Scenario&) = delete;
  Scenario& operator=(const Scenario&) = delete;
  // The sensor's section; a key given again replaces the earlier one.
  void Sensor(const std::string& sectionLines) {
    std::map<std::string, std::string> lines;  // by key
    std::istringstream in(sectionLines);
    for (std::string line; std::getline(in, line);) {
      if (line.find('=') != std::string::npos) lines[line.substr(0, line.find_first_of(" ="))] = line;
    }
    std::string section = "[Tollan]\nPaced = 0\n[SensorV2.0]\nFlashStateFile = flash.state\n";
    for (const auto& entry : lines) section += entry.second + "\n";
    Write("work/Tollan.ini", section);
  }
  // work/Kestrane_TB452.ini, the update a run without arguments reads.
  void Update(const std::string& ini) { Write("work/Kestrane_TB452.ini", ini); }
  void Write(const std::string& relative, const std::string& content) const {
    std::ofstream(Path(relative), std::ios::binary | std::ios::trunc) << content;
  }
  void MakeDirectory(const std::string& relative) { std::filesystem::create_directories(Path(relative)); }
  bool Exists(const std::string& relative) const { return std::filesystem::exists(Path(relative)); }
  std::string Read(const std::string& relative) const {
    std::ifstream in(Path(relative), std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  }
  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }
  std::vector<std::string> List(const std::string& relative) const {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(Path(relative), error)) {
      names.push_back(entry.path().filename());
    }
    return names;
  }
  // Runs the program in work/ with input as standard input; nowait: the build that skips the reset waits.
  RunResult Run(const std::vector<std::string>& arguments, const std::string& input = "", bool nowait = false,
                const std::string& tempDirectory = "") const {
    const std::string command =
        Command(arguments, input, nowait, tempDirectory) + " >" + Quoted(Path("output.txt")) + " 2>&1";
    const int status = std::system(command.c_str());
    RunResult result;
    result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    result.output = Read("output.txt");
    result.messages = Messages(result.output);
    return result;
  }
  // Runs the program (with Log 1) with standard output and error going into the shell command reader (":" reads
  // nothing at all). Gives the exit status and the log file.
  std::pair<int, std::string> RunIntoPipe(const std::vector<std::string>& arguments, const std::string& reader) const {
    const std::string command = "{ " + Command(arguments, "", false, "") + "; echo $? >" + Quoted(Path("status.txt")) +
                                "; } 2>&1 | " + reader;
    if (std::system(command.c_str()) != 0 || !Exists("status.txt")) return {-1, ""};
    const std::vector<std::string> logs = List("work/Log");
    return {std::atoi(Read("status.txt").c_str()), logs.size() == 1 ? Read("work/Log/" + logs[0]) : ""};
  }

  // The flash as saved in the state file (empty when nothing was ever saved).
  std::vector<FlashFile> Flash() const {
    std::vector<uint8_t> bytes;
    std::vector<FlashFile> files;
    if (tollan::sensor::ReadWholeFile(Path("work/flash.state"), &bytes) != KR_STATUS_OK) return files;
    uint16_t nextId = 0;
    EXPECT_EQ(tollan::sensor::FlashStore::Deserialize(bytes, UINT32_MAX, &files, &nextId), KR_STATUS_OK);
    return files;
  }

 private:
  std::string Command(const std::vector<std::string>& arguments, const std::string& input, bool nowait,
                      const std::string& tempDirectory) const {
    Write("input.txt", input);
    std::string command = "cd " + Quoted(Path("work")) +
                          " && TMPDIR=" + Quoted(tempDirectory.empty() ? Path("tmp") : tempDirectory) + " " +
                          Quoted(nowait ? KESTRANE_NOWAIT_PROGRAM : KESTRANE_PROGRAM);
    for (const std::string& argument : arguments) command += " " + Quoted(argument);
    return command + " <" + Quoted(input.empty() ? "/dev/null" : Path("input.txt"));
  }
  // The tool's lines: its modules' log texts ("HH:MM:SS.mmm SEVERITY [MASK] Source:Line message") without the
  // prefix, and every line that is not a log line; other modules' log lines are left out.
  static std::vector<std::string> Messages(const std::string& output) {
    const std::string toolModules = " Kestrane Utils FileFunctions InitFunctions FinishFunctions ";
    std::vector<std::string> messages;
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
      const size_t close = line.find("] ");
      const size_t colon = close == std::string::npos ? close : line.find(':', close + 2);
      const bool clock = line.size() > 13 && line[2] == ':' && line[5] == ':' && line[8] == '.';
      if (!clock || colon == std::string::npos || !std::isdigit(static_cast<unsigned char>(line[colon + 1]))) {
        messages.push_back(line);
      } else if (toolModules.find(" " + line.substr(close + 2, colon - close - 2) + " ") != std::string::npos) {
        const size_t end = line.find_first_not_of("0123456789", colon + 1);
        messages.push_back(end == std::string::npos ? "" : line.substr(end + 1));
      }
    }
    return messages;
  }

  std::string root_ = mkdtemp(std::string("/tmp/kestrane-run-XXXXXX").data());
};

inline std::optional<FlashFile> FileAt(const std::vector<FlashFile>& flash, uint32_t offset) {
  for (const auto& file : flash) {
    if (file.offset == offset) return file;
  }
  return std::nullopt;
}

inline std::string Content(const std::optional<FlashFile>& file) {
  return file ? std::string(file->content.begin(), file->content.end()) : std::string("(none)");
}

// Every expected line occurs in messages in this order, others may lie between (prefix: a line starts with it).
inline ::testing::AssertionResult InOrder(const std::vector<std::string>& messages,
                                          const std::vector<std::string>& expected, bool prefix = false) {
  size_t next = 0;
  for (const std::string& line : expected) {
    while (next < messages.size() && (prefix ? messages[next].rfind(line, 0) != 0 : messages[next] != line)) ++next;
    if (next == messages.size()) return ::testing::AssertionFailure() << "missing (in this order): \"" << line << "\"";
    ++next;
  }
  return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult Has(const std::vector<std::string>& messages, const std::string& text,
                                      bool prefix = false) {
  return InOrder(messages, {text}, prefix);
}

// The run ends with first, the banner of word, the key prompt and exitCode.
inline ::testing::AssertionResult EndedWith(const RunResult& run, const std::string& first, const char* word,
                                            int exitCode) {
  const std::string stars(39, '*');
  ::testing::AssertionResult order =
      InOrder(run.messages, {first, "", stars, std::string("*                ") + word + "             *", stars, "",
                             "Press any key to exit..."});
  if (!order) return order << "\n" << run.output;
  if (run.exitCode == exitCode) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "exit status " << run.exitCode << "\n" << run.output;
}

// "<message>: <status text>", the FAILURE banner, the key prompt and exit status 1.
inline ::testing::AssertionResult FailedWith(const RunResult& run, const std::string& message, KrStatus status) {
  return EndedWith(run, message + ": " + krGetStatusString(status), "FAILURE!", 1);
}

// The reset, the SUCCESS banner, the key prompt and exit status 0.
inline ::testing::AssertionResult Succeeded(const RunResult& run) {
  return EndedWith(run, "*** Reseting the sensor...", "SUCCESS!", 0);
}

}  // namespace kestrane::testing
