// Tests of Orvane's log: filtering, formatting, the callback and the file sink.
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
  const std::string logPath(path), expectedName = "_" + std::to_string(getpid()) + ".log";
  EXPECT_EQ(logPath.rfind(folder + "/", 0), 0u) << logPath;
  EXPECT_EQ(logPath.substr(logPath.size() - expectedName.size()), expectedName);
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

}  // namespace
