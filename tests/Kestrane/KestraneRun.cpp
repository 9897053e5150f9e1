// Running the Kestrane program in a private folder tree.
#include "KestraneRun.h"

#include <Orvane/OrvaneStatus.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kestrane::testing {

namespace fs = std::filesystem;

const char kDefaultSensor[] =
    "FirmwareVersion = 5.8.22\n"
    "SerialNumber = SN123\n"
    "PhysicalDeviceName = Simulated head\n"
    "VendorSpecificData = Vendor block\n"
    "FlashFile1 = 1, 1, 0x0, 0x10000, 0x1111, 0x8000\n"
    "FlashFile2 = 2, 9, 0x20000, 0x12E\n"
    "FlashFile3 = 3, 28, 0x60000, 0x4E, 0x040E\n"
    "FlashFile4 = 4, 10, 0x100000, 0x1000, 0x2222, 0x8000\n"
    "FlashFile5 = 5, 11, 0x180000, 0x1000\n";

namespace {

// The tool's lines: its modules' log texts ("HH:MM:SS.mmm SEVERITY [MASK] Source:Line message")
// without the prefix, and every line that is not a log line; other modules' log lines are left out.
std::vector<std::string> Messages(const std::string& output) {
  const std::vector<std::string> toolModules = {"Kestrane", "Utils", "FileFunctions", "InitFunctions",
                                                "FinishFunctions"};
  std::vector<std::string> messages;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    const size_t close = line.find("] ");
    const bool clock = line.size() > 13 && line[2] == ':' && line[5] == ':' && line[8] == '.';
    const size_t colon = close == std::string::npos ? close : line.find(':', close + 2);
    if (!clock || colon == std::string::npos || !std::isdigit(static_cast<unsigned char>(line[colon + 1]))) {
      messages.push_back(line);
      continue;
    }
    const size_t end = line.find_first_not_of("0123456789", colon + 1);
    const std::string source = line.substr(close + 2, colon - close - 2);
    if (std::find(toolModules.begin(), toolModules.end(), source) != toolModules.end()) {
      messages.push_back(end == std::string::npos ? "" : line.substr(end + 1));
    }
  }
  return messages;
}

int ExitCode(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status); }

std::string Quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::optional<FlashFile> Find(const std::vector<FlashFile>& flash, bool byId, uint32_t value) {
  for (const auto& file : flash) {
    if ((byId ? file.id : file.offset) == value) return file;
  }
  return std::nullopt;
}

// The run's messages hold the lines in this order and it exited with exitCode.
::testing::AssertionResult EndedWith(const RunResult& run, const std::vector<std::string>& lines, int exitCode) {
  ::testing::AssertionResult order = InOrder(run.messages, lines);
  if (!order) return order << "\n" << run.output;
  if (run.exitCode == exitCode) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "exit status " << run.exitCode << "\n" << run.output;
}

std::vector<std::string> Banner(const std::string& first, const char* word) {
  const std::string stars(39, '*');
  return {first, "", stars, std::string("*                ") + word + "             *", stars, "",
          "Press any key to exit..."};
}

}  // namespace

Scenario::Scenario() {
  char pattern[] = "/tmp/kestrane-run-XXXXXX";
  root_ = mkdtemp(pattern);
  for (const char* folder : {"work", "DB", "tmp"}) MakeDirectory(folder);
  Sensor(kDefaultSensor);
  // Protection at 0x30000, fast clear on, two general files.
  Update("[Protect]\nName = protect.bin\nOffset = 0x30000\n" +
         Area("0", "0x100000", "0x200000",
              "[Files]\nNumFiles = 2\n[File1]\nName = fw.bin\nOffset = 0x100000\nSensorSpecific = 0\n"
              "[File2]\nName = dsp.bin\nOffset = 0x180000\nSensorSpecific = 0\n"));
  Write("work/protect.bin", FlashBytes(25, "protect"));
  Write("work/fw.bin", FlashBytes(10, "firmware image v2"));
  Write("work/dsp.bin", FlashBytes(11, "dsp code v2"));
}

Scenario::~Scenario() {
  std::error_code error;
  fs::remove_all(root_, error);
}

void Scenario::Sensor(const std::string& sectionLines) {
  std::vector<std::pair<std::string, std::string>> keys;  // in first-seen order, the last value
  std::istringstream lines(sectionLines);
  for (std::string line; std::getline(lines, line);) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, line.find_last_not_of(' ', equals - 1) + 1);
    auto entry = std::find_if(keys.begin(), keys.end(), [&](const auto& known) { return known.first == key; });
    if (entry == keys.end()) {
      keys.emplace_back(key, line);
    } else {
      entry->second = line;
    }
  }
  std::string section = "[Tollan]\nPaced = 0\n[SensorV2.0]\nFlashStateFile = flash.state\n";
  for (const auto& entry : keys) section += entry.second + "\n";
  Write("work/Tollan.ini", section);
}

void Scenario::Write(const std::string& relative, const std::string& content) const {
  std::ofstream(Path(relative), std::ios::binary | std::ios::trunc) << content;
}

void Scenario::MakeDirectory(const std::string& relative) { fs::create_directories(Path(relative)); }

bool Scenario::Exists(const std::string& relative) const { return fs::exists(Path(relative)); }

std::string Scenario::Read(const std::string& relative) const {
  std::ifstream in(Path(relative), std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> Scenario::List(const std::string& relative) const {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(Path(relative), error)) names.push_back(entry.path().filename());
  return names;
}

std::string Scenario::Command(const std::vector<std::string>& arguments, const std::string& input, bool nowait,
                              const std::string& tempDirectory) const {
  Write("input.txt", input);
  std::string command = "cd " + Quoted(Path("work")) + " && TMPDIR=" +
                        Quoted(tempDirectory.empty() ? Path("tmp") : tempDirectory) + " " +
                        Quoted(nowait ? KESTRANE_NOWAIT_PROGRAM : KESTRANE_PROGRAM);
  for (const std::string& argument : arguments) command += " " + Quoted(argument);
  return command + " <" + Quoted(input.empty() ? "/dev/null" : Path("input.txt"));
}

RunResult Scenario::Run(const std::vector<std::string>& arguments, const std::string& input, bool nowait,
                        const std::string& tempDirectory) const {
  const std::string command =
      Command(arguments, input, nowait, tempDirectory) + " >" + Quoted(Path("output.txt")) + " 2>&1";
  const int status = std::system(command.c_str());
  RunResult result;
  result.exitCode = ExitCode(status);
  result.output = Read("output.txt");
  result.messages = Messages(result.output);
  return result;
}

std::pair<int, std::string> Scenario::RunIntoPipe(const std::vector<std::string>& arguments,
                                                  const std::string& reader) const {
  std::string command = "{ " + Command(arguments, "", false, "") + "; echo $? >" + Quoted(Path("status.txt")) + "; }";
  if (!reader.empty()) command += " 2>&1 | " + reader;
  int pipeEnds[2];
  if (pipe(pipeEnds) != 0) return {};
  close(pipeEnds[0]);  // nobody will ever read
  const pid_t child = fork();
  if (child == 0) {
    // What the program does with a broken pipe must not depend on how the
    // test runner was started.
    signal(SIGPIPE, SIG_DFL);
    dup2(pipeEnds[1], 1);
    dup2(pipeEnds[1], 2);
    execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  close(pipeEnds[1]);
  int status = 0;
  if (child < 0 || waitpid(child, &status, 0) != child || !Exists("status.txt")) return {};
  const std::vector<std::string> logs = List("work/Log");
  return {std::atoi(Read("status.txt").c_str()), logs.size() == 1 ? Read("work/Log/" + logs[0]) : ""};
}

std::vector<FlashFile> Scenario::Flash() const {
  std::vector<uint8_t> bytes;
  std::vector<FlashFile> files;
  if (tollan::sensor::ReadWholeFile(Path("work/flash.state"), &bytes) != KR_STATUS_OK) return files;
  uint16_t nextId = 0;
  EXPECT_EQ(tollan::sensor::FlashStore::Deserialize(bytes, UINT32_MAX, &files, &nextId), KR_STATUS_OK);
  return files;
}

// 34 files, one per 4 KiB, ids equal to their positions, with the signature
// of the affected build unless the crc and type at one position are changed.
std::string ZoneBSensor(const std::string& version, size_t count, int changedAt) {
  std::ostringstream lines;
  lines << "FirmwareVersion = " << version << "\n";
  for (size_t i = 0; i < count; ++i) {
    const bool special = i == 16 || i == 17 || i == 19 || i == 29 || i == 30 || i == 33;
    unsigned crc = i == 16 ? 0x9E78 : i == 17 ? 0xBF02 : i == 19 ? 0x3B83 : 0x1000 + static_cast<unsigned>(i);
    unsigned type = i == 29 ? 20 : i == 30 ? 23 : i == 33 ? 19 : 1;
    if (static_cast<int>(i) == changedAt) crc ^= 1, type += 100;
    lines << "FlashFile" << i + 1 << " = " << i << ", " << type << ", " << i * 0x1000 << ", 0x100, " << crc << ", "
          << (special ? 0x8000 : 0) << "\n";
  }
  return lines.str();
}

std::optional<FlashFile> FileAt(const std::vector<FlashFile>& flash, uint32_t offset) {
  return Find(flash, false, offset);
}

std::optional<FlashFile> FileWithId(const std::vector<FlashFile>& flash, uint16_t id) { return Find(flash, true, id); }

std::string FlashBytes(uint16_t type, const std::string& text) {
  return std::string{static_cast<char>(type & 0xFF), static_cast<char>(type >> 8)} + text;
}

std::string Content(const std::optional<FlashFile>& file) {
  return file ? std::string(file->content.begin(), file->content.end()) : std::string("(none)");
}

::testing::AssertionResult InOrder(const std::vector<std::string>& messages, const std::vector<std::string>& expected) {
  size_t next = 0;
  for (const std::string& line : expected) {
    while (next < messages.size() && messages[next] != line) ++next;
    if (next == messages.size()) return ::testing::AssertionFailure() << "missing (in this order): \"" << line << "\"";
    ++next;
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult Has(const std::vector<std::string>& messages, const std::string& text, bool prefix) {
  for (const std::string& message : messages) {
    if (prefix ? message.rfind(text, 0) == 0 : message == text) {
      return ::testing::AssertionSuccess() << "has: \"" << message << "\"";
    }
  }
  return ::testing::AssertionFailure() << "missing: \"" << text << "\"";
}

::testing::AssertionResult FailedWith(const RunResult& run, const std::string& message, KrStatus status) {
  return EndedWith(run, Banner(message + ": " + krGetStatusString(status), "FAILURE!"), 1);
}

::testing::AssertionResult Succeeded(const RunResult& run) {
  return EndedWith(run, Banner("*** Reseting the sensor...", "SUCCESS!"), 0);
}

}  // namespace kestrane::testing
