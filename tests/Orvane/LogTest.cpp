// Tests of Orvane's log: filtering, formatting, the callback and the file sink.
#include <Orvane/Orvane.h>

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

namespace {

struct Line {
  std::string mask;
  int32_t severity;
  std::string file;
  int line;
  std::string message;
};

class OrvaneLog : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(krLogInitSystem(), KR_STATUS_OK);
    ASSERT_EQ(krLogSetCallback(&OrvaneLog::Collect, this), KR_STATUS_OK);
    char folder[] = "/tmp/orvane_log_XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
  }
  void TearDown() override {
    krLogSetCallback(nullptr, nullptr);
    krLogShutdown();
    krLogInitSystem();
    std::error_code error;
    std::filesystem::remove_all(folder_, error);
  }

  static void Collect(const char* mask, int32_t severity, const char* file, int line, const char* message,
                      void* cookie) {
    auto* self = static_cast<OrvaneLog*>(cookie);
    std::lock_guard<std::mutex> lock(self->mutex_);
    self->lines_.push_back(Line{mask, severity, file, line, message});
  }

  // True when a line of that mask and severity reaches the callback.
  bool Passes(const char* mask, int32_t severity) {
    size_t before = lines_.size();
    krLogWrite(mask, severity, "test", 1, "probe");
    return lines_.size() == before + 1;
  }

  static std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
  }

  std::mutex mutex_;
  std::vector<Line> lines_;
  std::string folder_;
};

// One step of a filter scenario: either a setting or a probe.
struct FilterStep {
  enum Kind { kSet, kExpectPass, kExpectDrop, kReinit } kind;
  const char* mask;
  int32_t severity;
};

TEST_F(OrvaneLog, FiltersByMaskAndSeverity) {
  using S = FilterStep;
  const FilterStep steps[] = {
      // Initially every mask needs severity 2.
      {S::kExpectDrop, "QMCore", 1},
      {S::kExpectPass, "QMCore", 2},
      {S::kExpectPass, "QMCore", 3},
      {S::kExpectDrop, nullptr, 1},
      {S::kExpectPass, "", 2},
      // A mask of its own; other masks keep the "ALL" minimum; names are exact.
      {S::kSet, "QMCore", 0},
      {S::kExpectPass, "QMCore", 0},
      {S::kExpectDrop, "qmcore", 1},
      {S::kExpectDrop, "Other", 1},
      // "ALL" overrides the earlier per-mask setting.
      {S::kSet, "ALL", 3},
      {S::kExpectDrop, "QMCore", 2},
      {S::kExpectPass, "QMCore", 3},
      {S::kExpectDrop, "Other", 2},
      // A null mask sets "ALL"; later per-mask settings still win for their mask.
      {S::kSet, nullptr, 0},
      {S::kSet, "Noisy", 3},
      {S::kExpectPass, "Other", 0},
      {S::kExpectDrop, "Noisy", 2},
      // Initialising again forgets every setting.
      {S::kReinit, nullptr, 0},
      {S::kExpectDrop, "Other", 1},
      {S::kExpectPass, "Noisy", 2},
  };
  int index = 0;
  for (const FilterStep& step : steps) {
    SCOPED_TRACE("step " + std::to_string(index++));
    switch (step.kind) {
      case S::kSet:
        ASSERT_EQ(krLogSetMaskMinSeverity(step.mask, step.severity), KR_STATUS_OK);
        break;
      case S::kReinit:
        ASSERT_EQ(krLogInitSystem(), KR_STATUS_OK);
        break;
      case S::kExpectPass:
        EXPECT_TRUE(Passes(step.mask, step.severity));
        break;
      case S::kExpectDrop:
        EXPECT_FALSE(Passes(step.mask, step.severity));
        break;
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
  EXPECT_EQ(lines_[0].mask, "QMCore");
  EXPECT_EQ(lines_[0].severity, KR_LOG_SEVERITY_ERROR);
  EXPECT_EQ(lines_[0].file, __FILE__);
  EXPECT_EQ(lines_[0].line, expectedLine);
  EXPECT_EQ(lines_[0].message, "code 42 in Read: 0x3138D");
  EXPECT_EQ(lines_[1].mask, "ALL");
  EXPECT_EQ(lines_[1].message, "no mask");
  EXPECT_EQ(lines_[2].message, "<" + big + ">");

  EXPECT_EQ(krLogSetCallback(nullptr, nullptr), KR_STATUS_OK);
  krLogWrite("QMCore", KR_LOG_SEVERITY_ERROR, "x", 0, "after removal");
  EXPECT_EQ(lines_.size(), 3u);
}

TEST_F(OrvaneLog, FileSinkWritesFilteredLinesToProgramPidFile) {
  char path[512];
  EXPECT_EQ(krLogGetFilePath(path, sizeof(path)), KR_STATUS_OS_NOT_FOUND);
  EXPECT_EQ(krLogSetOutputFolder(nullptr), KR_STATUS_OS_NULL_POINTER);
  const std::string folder = folder_ + "/made/for/log";  // created on demand
  ASSERT_EQ(krLogSetOutputFolder(folder.c_str()), KR_STATUS_OK);
  ASSERT_EQ(krLogSetFileOutput(1), KR_STATUS_OK);
  ASSERT_EQ(krLogGetFilePath(path, sizeof(path)), KR_STATUS_OK);
  const std::string expectedName = "_" + std::to_string(getpid()) + ".log";
  std::string logPath(path);
  EXPECT_EQ(logPath.rfind(folder + "/", 0), 0u) << logPath;
  EXPECT_EQ(logPath.substr(logPath.size() - expectedName.size()), expectedName);
  char tooSmall[8];
  EXPECT_EQ(krLogGetFilePath(tooSmall, sizeof(tooSmall)), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);

  krLogSetMaskMinSeverity("Kestrane", 1);
  krLogWrite("QMCore", 2, "Infrastructure/KrVDevice", 720, "failure %d\n", 7);
  krLogWrite("QMCore", 1, "Infrastructure/KrVDevice", 721, "dropped");
  krLogWrite("Kestrane", 1, "Kestrane", 55, "progress");
  // The severity-1 line is only buffered so far; closing the file flushes it.
  ASSERT_EQ(krLogSetFileOutput(0), KR_STATUS_OK);
  EXPECT_EQ(krLogGetFilePath(path, sizeof(path)), KR_STATUS_OS_NOT_FOUND);

  const std::string text = ReadFile(logPath);
  EXPECT_NE(text.find("WARNING [QMCore] KrVDevice:720 failure 7\n"), std::string::npos) << text;
  EXPECT_NE(text.find("INFO [Kestrane] Kestrane:55 progress\n"), std::string::npos) << text;
  EXPECT_EQ(text.find("dropped"), std::string::npos) << text;
  EXPECT_EQ(text.find("failure 7\n\n"), std::string::npos) << "the message's newline doubled the line end";
}

TEST_F(OrvaneLog, LinesBufferedAtExitReachTheFile) {
  const std::string folder = folder_ + "/exit";
  EXPECT_EXIT(
      {
        krLogInitSystem();
        krLogSetOutputFolder(folder.c_str());
        krLogSetFileOutput(1);
        krLogSetMaskMinSeverity("ALL", 0);
        krLogWrite(nullptr, 0, "child", 1, "last words");
        std::exit(0);
      },
      ::testing::ExitedWithCode(0), "");
  std::string text;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) text += ReadFile(entry.path().string());
  EXPECT_NE(text.find("last words"), std::string::npos);
}

TEST_F(OrvaneLog, ConcurrentWritersAndSettings) {
  krLogSetMaskMinSeverity("ALL", 0);
  ASSERT_EQ(krLogSetOutputFolder(folder_.c_str()), KR_STATUS_OK);
  ASSERT_EQ(krLogSetFileOutput(1), KR_STATUS_OK);
  constexpr int kThreads = 4;
  constexpr int kLines = 200;
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

}  // namespace
