// Tests of Orvane's log (filtering, formatting, the callback and the file sink) and of its INI reading, over the
// same file with Unix and with Windows line endings.
#include <Orvane/Orvane.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace {

std::string ReadFile(const std::string& path) {
  std::ifstream in(path);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

class OrvaneLog : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(krLogInitSystem(), KR_STATUS_OK);
    ASSERT_EQ(krLogSetCallback(&OrvaneLog::Collect, this), KR_STATUS_OK);
  }
  void TearDown() override {
    krLogSetCallback(nullptr, nullptr);
    krLogShutdown();
    krLogInitSystem();
    std::filesystem::remove_all(folder_);
  }
  static void Collect(const char* mask, int32_t severity, const char* file, int line, const char* message,
                      void* cookie) {
    auto* self = static_cast<OrvaneLog*>(cookie);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.push_back(std::string(mask) + " " + std::to_string(severity) + " " + file + ":" +
                           std::to_string(line) + " " + message);
  }
  // True when a line of that mask and severity reaches the callback.
  bool Passes(const char* mask, int32_t severity) {
    size_t before = lines_.size();
    krLogWrite(mask, severity, "test", 1, "probe");
    return lines_.size() == before + 1;
  }
  std::mutex mutex_;
  std::vector<std::string> lines_;  // "mask severity file:line message"
  std::string folder_ = mkdtemp(std::string("/tmp/orvane_log_XXXXXX").data());
};

TEST_F(OrvaneLog, FiltersByMaskAndSeverity) {
  enum Kind { kSet, kPass, kDrop, kReinit };
  const std::tuple<Kind, const char*, int32_t> steps[] = {
      // Initially every mask needs severity 2.
      {kDrop, "QMCore", 1}, {kPass, "QMCore", 2}, {kPass, "QMCore", 3}, {kDrop, nullptr, 1}, {kPass, "", 2},
      // A mask of its own; other masks keep the "ALL" minimum; names are exact.
      {kSet, "QMCore", 0}, {kPass, "QMCore", 0}, {kDrop, "qmcore", 1}, {kDrop, "Other", 1},
      // "ALL" overrides the earlier per-mask setting.
      {kSet, "ALL", 3}, {kDrop, "QMCore", 2}, {kPass, "QMCore", 3}, {kDrop, "Other", 2},
      // A null mask sets "ALL"; later per-mask settings still win for their mask.
      {kSet, nullptr, 0}, {kSet, "Noisy", 3}, {kPass, "Other", 0}, {kDrop, "Noisy", 2},
      // Initialising again forgets every setting.
      {kReinit, nullptr, 0}, {kDrop, "Other", 1}, {kPass, "Noisy", 2},
  };
  int index = 0;
  for (const auto& [kind, mask, severity] : steps) {
    SCOPED_TRACE("step " + std::to_string(index++));
    if (kind == kSet) {
      ASSERT_EQ(krLogSetMaskMinSeverity(mask, severity), KR_STATUS_OK);
    } else if (kind == kReinit) {
      ASSERT_EQ(krLogInitSystem(), KR_STATUS_OK);
    } else {
      EXPECT_EQ(Passes(mask, severity), kind == kPass);
    }
  }
}

TEST_F(OrvaneLog, CallbackGetsTheFormattedLine) {
  ASSERT_EQ(KR_LOG("QMCore", KR_LOG_SEVERITY_ERROR, "code %d in %s: 0x%X", 42, "Read", 0x3138Du), KR_STATUS_OK);
  const int expectedLine = __LINE__ - 1;
  krLogWrite(nullptr, KR_LOG_SEVERITY_WARNING, nullptr, 0, "no mask");
  // Longer than any fixed buffer the formatter might start with.
  const std::string big(5000, 'b');
  krLogWrite("QMCore", KR_LOG_SEVERITY_ERROR, "x", 0, "<%s>", big.c_str());
  ASSERT_EQ(lines_.size(), 3u);
  EXPECT_EQ(lines_[0], "QMCore " + std::to_string(KR_LOG_SEVERITY_ERROR) + " " + __FILE__ + ":" +
                           std::to_string(expectedLine) + " code 42 in Read: 0x3138D");
  EXPECT_EQ(lines_[1], "ALL " + std::to_string(KR_LOG_SEVERITY_WARNING) + " :0 no mask");
  EXPECT_EQ(lines_[2], "QMCore " + std::to_string(KR_LOG_SEVERITY_ERROR) + " x:0 <" + big + ">");
  EXPECT_EQ(krLogSetCallback(nullptr, nullptr), KR_STATUS_OK);
  krLogWrite("QMCore", KR_LOG_SEVERITY_ERROR, "x", 0, "after removal");
  EXPECT_EQ(lines_.size(), 3u);
}

// "<program>_<pid>.log" in a folder made on demand, with the lines that pass the filter, flushed on close and exit.
TEST_F(OrvaneLog, FileSinkWritesFilteredLinesToProgramPidFile) {
  char path[512];
  EXPECT_EQ(krLogGetFilePath(path, sizeof(path)), KR_STATUS_OS_NOT_FOUND);
  EXPECT_EQ(krLogSetOutputFolder(nullptr), KR_STATUS_OS_NULL_POINTER);
  const std::string folder = folder_ + "/made/for/log";
  ASSERT_EQ(krLogSetOutputFolder(folder.c_str()), KR_STATUS_OK);
  ASSERT_EQ(krLogSetFileOutput(1), KR_STATUS_OK);
  ASSERT_EQ(krLogGetFilePath(path, sizeof(path)), KR_STATUS_OK);
  const std::string logPath(path);
  EXPECT_EQ(logPath, folder + "/" + program_invocation_short_name + "_" + std::to_string(getpid()) + ".log");
  EXPECT_EQ(krLogGetFilePath(path, 8), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  krLogSetMaskMinSeverity("Kestrane", 1);
  krLogWrite("QMCore", 2, "Infrastructure/KrVDevice", 720, "failure %d\r\n", 7);
  krLogWrite("QMCore", 1, "Infrastructure/KrVDevice", 721, "dropped");
  krLogWrite("Kestrane", 1, "Kestrane", 55, "progress");
  ASSERT_EQ(krLogSetFileOutput(0), KR_STATUS_OK);
  EXPECT_EQ(krLogGetFilePath(path, sizeof(path)), KR_STATUS_OS_NOT_FOUND);
  const std::string text = ReadFile(logPath);
  EXPECT_NE(text.find("WARNING [QMCore] KrVDevice:720 failure 7\n"), std::string::npos) << text;
  EXPECT_NE(text.find("INFO [Kestrane] Kestrane:55 progress\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("dropped"), std::string::npos) << text;
  EXPECT_EQ(text.find("failure 7\n\n"), std::string::npos) << "the message's newline doubled the line end";
  const std::string atExit = folder_ + "/exit";
  EXPECT_EXIT(
      {
        krLogSetOutputFolder(atExit.c_str());
        krLogSetFileOutput(1);
        krLogWrite(nullptr, 2, "child", 1, "last words");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  std::string written;
  for (const auto& entry : std::filesystem::directory_iterator(atExit)) written += ReadFile(entry.path().string());
  EXPECT_NE(written.find("last words"), std::string::npos);
}

TEST_F(OrvaneLog, ConcurrentWritersAndSettings) {
  krLogSetMaskMinSeverity("ALL", 0);
  ASSERT_EQ(krLogSetOutputFolder(folder_.c_str()), KR_STATUS_OK);
  ASSERT_EQ(krLogSetFileOutput(1), KR_STATUS_OK);
  constexpr int kThreads = 4, kLines = 200;
  std::atomic<bool> go{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&go, t] {
      while (!go) std::this_thread::yield();
      for (int i = 0; i < kLines; ++i) krLogWrite("Worker", 1, "w", t, "line %d", i);
    });
  }
  go = true;
  for (int i = 0; i < 50; ++i) {
    krLogSetMaskMinSeverity("Other", i % 3);
    krLogSetFileOutput(i % 2);
  }
  for (std::thread& writer : writers) writer.join();
  std::lock_guard<std::mutex> lock(mutex_);
  EXPECT_EQ(lines_.size(), static_cast<size_t>(kThreads * kLines));
}

const std::string kLongValue(300, 'v');

const char* const kIniLines[] = {
    "; a comment line", "# another comment line", "Loose=before any section", "[Device]", "Name =   SensorV2   ",
    "Count=42", "Negative = -17", "Plus=+5", "Max=2147483647", "Min=-2147483648", "Overflow=2147483648",
    "Underflow=-2147483649", "Huge=99999999999999999999", "Mixed=12abc", "Hex=0x10", "Blank=", "Sign=+",
    "DoubleSign=+-3", "Inner=4 2", "   Indented = 3", "key=lower", "Key=upper", ";Hidden=1", "#Hidden2=1",
    "Path=./firmware/file.bin ; what it is", "Twice=first", "Twice=second", "this line has no equals sign",
    "[Other]", "Count=7", "[Long]",
};

class OrvaneIni : public ::testing::TestWithParam<const char*> {
 protected:
  void SetUp() override {
    std::ofstream out(path_, std::ios::binary);
    for (const char* line : kIniLines) out << line << GetParam();
    out << "Value=" << kLongValue << GetParam();
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  std::string folder_ = mkdtemp(std::string("/tmp/orvane_ini_XXXXXX").data());
  std::string path_ = folder_ + "/test.ini";
};

TEST_P(OrvaneIni, ReadsStrings) {
  // section, key, status, value (also the untouched buffer on failure)
  const std::tuple<const char*, const char*, KrStatus, const char*> cases[] = {
      {"Device", "Name", KR_STATUS_OK, "SensorV2"},       {"Device", "Blank", KR_STATUS_OK, ""},
      {"Device", "Indented", KR_STATUS_OK, "3"},          {"Device", "Inner", KR_STATUS_OK, "4 2"},
      {"Device", "key", KR_STATUS_OK, "lower"},           {"Device", "Key", KR_STATUS_OK, "upper"},
      {"Device", "Path", KR_STATUS_OK, "./firmware/file.bin"}, {"Device", "Twice", KR_STATUS_OK, "first"},
      {"Other", "Count", KR_STATUS_OK, "7"},              {"", "Loose", KR_STATUS_OK, "before any section"},
      {"Device", "KEY", KR_STATUS_OS_KEY_NOT_FOUND, "untouched"},
      {"Device", "Hidden", KR_STATUS_OS_KEY_NOT_FOUND, "untouched"},
      {"Device", ";Hidden", KR_STATUS_OS_KEY_NOT_FOUND, "untouched"},
      {"Other", "Name", KR_STATUS_OS_KEY_NOT_FOUND, "untouched"},
      {"device", "Name", KR_STATUS_OS_INI_SECTION_NOT_FOUND, "untouched"},
      {"Missing", "Name", KR_STATUS_OS_INI_SECTION_NOT_FOUND, "untouched"},
      {"Long", "Value", KR_STATUS_OK, kLongValue.c_str()},
  };
  for (const auto& [section, key, status, expected] : cases) {
    SCOPED_TRACE(std::string(section) + "/" + key);
    char value[512] = "untouched";
    EXPECT_EQ(krOSReadStringFromINI(path_.c_str(), section, key, value, sizeof(value)), status);
    EXPECT_STREQ(value, expected);
  }
  // A value longer than the buffer is cut to it, with an overflow.
  char small[10];
  EXPECT_EQ(krOSReadStringFromINI(path_.c_str(), "Long", "Value", small, sizeof(small)),
            KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  EXPECT_EQ(std::string(small), kLongValue.substr(0, 9));
}

// Whole decimal 32-bit numbers only; a refused value leaves the number alone.
TEST_P(OrvaneIni, ReadsWholeDecimalIntegers) {
  const std::pair<const char*, int32_t> accepted[] = {{"Count", 42},   {"Negative", -17},     {"Plus", 5},
                  {"Indented", 3}, {"Max", INT32_MAX}, {"Min", INT32_MIN}};
  for (const auto& [key, expected] : accepted) {
    int32_t value = 12345;
    EXPECT_EQ(krOSReadIntFromINI(path_.c_str(), "Device", key, &value), KR_STATUS_OK) << key;
    EXPECT_EQ(value, expected) << key;
  }
  for (const char* key : {"Overflow", "Underflow", "Huge", "Mixed", "Hex", "Blank", "Sign", "DoubleSign", "Inner",
                          "Name", "Absent"}) {
    int32_t value = 12345;
    const KrStatus expected = std::string(key) == "Absent" ? KR_STATUS_OS_KEY_NOT_FOUND : KR_STATUS_OS_BAD_NUMBER;
    EXPECT_EQ(krOSReadIntFromINI(path_.c_str(), "Device", key, &value), expected) << key;
    EXPECT_EQ(value, 12345) << key;
  }
}

TEST_P(OrvaneIni, RejectsNullPointersAndMissingFiles) {
  char value[16] = "untouched";
  int32_t number = 1;
  const std::string missing = folder_ + "/missing.ini";
  // Each argument of both readers null in turn, then a file that is not there.
  for (int null = 0; null < 5; ++null) {
    const char* file = null == 0 ? nullptr : null == 4 ? missing.c_str() : path_.c_str();
    const char* section = null == 1 ? nullptr : "Device";
    const char* key = null == 2 ? nullptr : "Count";
    const KrStatus expected = null == 4 ? KR_STATUS_OS_INI_READ_FAILED : KR_STATUS_OS_NULL_POINTER;
    EXPECT_EQ(krOSReadStringFromINI(file, section, key, null == 3 ? nullptr : value, 16), expected) << null;
    EXPECT_EQ(krOSReadIntFromINI(file, section, key, null == 3 ? nullptr : &number), expected) << null;
  }
  EXPECT_STREQ(value, "untouched");
  EXPECT_EQ(number, 1);
}

INSTANTIATE_TEST_SUITE_P(UnixAndWindowsLineEndings, OrvaneIni, ::testing::Values("\n", "\r\n"));

}  // namespace
