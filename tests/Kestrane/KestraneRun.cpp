// Running the Kestrane program in a private folder tree.
#include "KestraneRun.h"

#include <Orvane/OrvaneStatus.h>

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace kestrane::testing {

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

const char kDefaultUpdate[] =
    "[Protect]\nName = protect.bin\nOffset = 0x30000\n"
    "[UpgArea]\nSkipFastClear = 0\nMin = 0x100000\nMax = 0x200000\n"
    "[Files]\nNumFiles = 2\n"
    "[File1]\nName = fw.bin\nOffset = 0x100000\nSensorSpecific = 0\n"
    "[File2]\nName = dsp.bin\nOffset = 0x180000\nSensorSpecific = 0\n";

namespace {

const char* ProgramPath(bool nowait) { return nowait ? KESTRANE_NOWAIT_PROGRAM : KESTRANE_PROGRAM; }

// A console log line reads "HH:MM:SS.mmm SEVERITY [MASK] Source:Line message".
// Gives the source and the message of such a line; false for any other line.
bool SplitLogLine(const std::string& line, std::string* source, std::string* message) {
  const bool clock = line.size() > 13 && line[2] == ':' && line[5] == ':' && line[8] == '.' && line[12] == ' ';
  if (!clock) return false;
  const size_t maskOpen = line.find(" [", 13);
  const size_t maskClose = maskOpen == std::string::npos ? maskOpen : line.find("] ", maskOpen);
  if (maskClose == std::string::npos) return false;
  const size_t colon = line.find(':', maskClose + 2);
  if (colon == std::string::npos) return false;
  size_t end = colon + 1;
  while (end < line.size() && line[end] >= '0' && line[end] <= '9') ++end;
  if (end == colon + 1) return false;
  *source = line.substr(maskClose + 2, colon - maskClose - 2);
  *message = end < line.size() ? line.substr(end + 1) : std::string();
  return true;
}

// The tool's log lines carry one of its module names; the kit's and the
// engine's lines are left out. Other output lines are kept as they are.
const char* const kToolModules[] = {"Kestrane", "Utils", "FileFunctions", "InitFunctions", "FinishFunctions"};

std::vector<std::string> Messages(const std::string& output) {
  std::vector<std::string> messages;
  std::istringstream lines(output);
  std::string line, source, message;
  while (std::getline(lines, line)) {
    if (!SplitLogLine(line, &source, &message)) {
      messages.push_back(line);
      continue;
    }
    for (const char* module : kToolModules) {
      if (source == module) messages.push_back(message);
    }
  }
  return messages;
}

int RemoveEntry(const char* path, const struct stat*, int, struct FTW*) { return std::remove(path); }

}  // namespace

Scenario::Scenario() {
  char pattern[] = "/tmp/kestrane-run-XXXXXX";
  root_ = mkdtemp(pattern);
  MakeDirectory("work");
  MakeDirectory("DB");
  MakeDirectory("tmp");
  Sensor(kDefaultSensor);
  Update(kDefaultUpdate);
  Write("work/protect.bin", FlashBytes(25, "protect"));
  Write("work/fw.bin", FlashBytes(10, "firmware image v2"));
  Write("work/dsp.bin", FlashBytes(11, "dsp code v2"));
}

Scenario::~Scenario() { nftw(root_.c_str(), RemoveEntry, 16, FTW_DEPTH | FTW_PHYS); }

void Scenario::Sensor(const std::string& sectionLines) {
  // A key given again replaces the earlier value in its place, so a test can
  // append changes to kDefaultSensor.
  std::vector<std::pair<std::string, std::string>> keys;
  std::istringstream lines(sectionLines);
  std::string line;
  while (std::getline(lines, line)) {
    const size_t equals = line.find('=');
    if (equals == std::string::npos) continue;
    const std::string key = line.substr(0, line.find_last_not_of(' ', equals - 1) + 1);
    bool replaced = false;
    for (auto& entry : keys) {
      if (entry.first == key) {
        entry.second = line;
        replaced = true;
      }
    }
    if (!replaced) keys.emplace_back(key, line);
  }
  std::string section = "[Tollan]\nPaced = 0\n[SensorV2.0]\nFlashStateFile = flash.state\n";
  for (const auto& entry : keys) section += entry.second + "\n";
  Write("work/Tollan.ini", section);
}

void Scenario::Write(const std::string& relative, const std::string& content) {
  std::ofstream(Path(relative), std::ios::binary | std::ios::trunc) << content;
}

void Scenario::MakeDirectory(const std::string& relative) { mkdir(Path(relative).c_str(), 0700); }

bool Scenario::Exists(const std::string& relative) const { return access(Path(relative).c_str(), F_OK) == 0; }

std::string Scenario::Read(const std::string& relative) const {
  std::ifstream in(Path(relative), std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::vector<std::string> Scenario::List(const std::string& relative) const {
  std::vector<std::string> names;
  DIR* dir = opendir(Path(relative).c_str());
  while (dirent* entry = dir != nullptr ? readdir(dir) : nullptr) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  if (dir != nullptr) closedir(dir);
  return names;
}

RunResult Scenario::Run(const std::vector<std::string>& arguments, const std::string& input, bool nowait,
                        const std::string& tempDirectory) const {
  RunResult result;
  const std::string outputPath = Path("output.txt");
  int inputPipe[2] = {-1, -1};
  if (!input.empty() && pipe(inputPipe) != 0) return result;
  const pid_t child = fork();
  if (child == 0) {
    const int output = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int in = input.empty() ? open("/dev/null", O_RDONLY) : inputPipe[0];
    if (output < 0 || in < 0 || chdir(Path("work").c_str()) != 0) _exit(127);
    dup2(in, STDIN_FILENO);
    dup2(output, STDOUT_FILENO);
    dup2(output, STDERR_FILENO);
    if (inputPipe[1] >= 0) close(inputPipe[1]);
    setenv("TMPDIR", (tempDirectory.empty() ? Path("tmp") : tempDirectory).c_str(), 1);
    std::vector<char*> argv;
    const char* program = ProgramPath(nowait);
    argv.push_back(const_cast<char*>(program));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    execv(program, argv.data());
    _exit(127);
  }
  if (inputPipe[0] >= 0) {
    close(inputPipe[0]);
    // Small inputs fit the pipe; the program reads them when it asks.
    if (write(inputPipe[1], input.data(), input.size()) < 0) ADD_FAILURE() << "cannot feed standard input";
    close(inputPipe[1]);
  }
  int status = 0;
  waitpid(child, &status, 0);
  result.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  result.output = Read("output.txt");
  result.messages = Messages(result.output);
  return result;
}

std::vector<tollan::sensor::FlashFile> Scenario::Flash() const {
  std::vector<uint8_t> bytes;
  std::vector<tollan::sensor::FlashFile> files;
  if (tollan::sensor::ReadWholeFile(Path("work/flash.state"), &bytes) != KR_STATUS_OK) return files;
  uint16_t nextId = 0;
  EXPECT_EQ(tollan::sensor::FlashStore::Deserialize(bytes, UINT32_MAX, &files, &nextId), KR_STATUS_OK);
  return files;
}

std::optional<tollan::sensor::FlashFile> FileAt(const std::vector<tollan::sensor::FlashFile>& flash, uint32_t offset) {
  for (const auto& file : flash) {
    if (file.offset == offset) return file;
  }
  return std::nullopt;
}

std::optional<tollan::sensor::FlashFile> FileWithId(const std::vector<tollan::sensor::FlashFile>& flash, uint16_t id) {
  for (const auto& file : flash) {
    if (file.id == id) return file;
  }
  return std::nullopt;
}

std::string FlashBytes(uint16_t type, const std::string& text) {
  std::string bytes;
  bytes.push_back(static_cast<char>(type & 0xFF));
  bytes.push_back(static_cast<char>(type >> 8));
  return bytes + text;
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

::testing::AssertionResult Follows(const std::vector<std::string>& messages, const std::string& first,
                                   const std::string& second) {
  for (size_t i = 0; i + 1 < messages.size(); ++i) {
    if (messages[i] != first) continue;
    if (messages[i + 1] == second) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "after \"" << first << "\" comes \"" << messages[i + 1] << "\"";
  }
  return ::testing::AssertionFailure() << "missing: \"" << first << "\" with a line after it";
}

::testing::AssertionResult Has(const std::vector<std::string>& messages, const std::string& line) {
  for (const std::string& message : messages) {
    if (message == line) return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << "missing: \"" << line << "\"";
}

::testing::AssertionResult Lacks(const std::vector<std::string>& messages, const std::string& line) {
  for (const std::string& message : messages) {
    if (message == line) return ::testing::AssertionFailure() << "unexpected: \"" << line << "\"";
  }
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult FailedWith(const RunResult& run, const std::string& message, KrStatus status) {
  const std::string line = message + ": " + krGetStatusString(status);
  ::testing::AssertionResult order = InOrder(
      run.messages, {line, "", "***************************************", "*                FAILURE!             *",
                     "***************************************", "", "Press any key to exit..."});
  if (!order) return order << "\n" << run.output;
  if (run.exitCode != 1) return ::testing::AssertionFailure() << "exit status " << run.exitCode << "\n" << run.output;
  return ::testing::AssertionSuccess();
}

::testing::AssertionResult Succeeded(const RunResult& run) {
  ::testing::AssertionResult order =
      InOrder(run.messages, {"*** Reseting the sensor...", "", "***************************************",
                             "*                SUCCESS!             *", "***************************************", "",
                             "Press any key to exit..."});
  if (!order) return order << "\n" << run.output;
  if (run.exitCode != 0) return ::testing::AssertionFailure() << "exit status " << run.exitCode << "\n" << run.output;
  return ::testing::AssertionSuccess();
}

}  // namespace kestrane::testing
