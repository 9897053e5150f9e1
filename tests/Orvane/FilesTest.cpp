// Tests of Orvane's file functions and temporary files.
#include <Orvane/Orvane.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

namespace {

namespace fs = std::filesystem;

// -1 when the question fails.
int Exists(const std::string& path) {
  int exists = -1;
  return krOSDoesFileExist(path.c_str(), &exists) == KR_STATUS_OK ? exists : -1;
}
int64_t SizeOf(const std::string& path) {
  uint64_t size = 0;
  return krOSGetFileSize64(path.c_str(), &size) == KR_STATUS_OK ? static_cast<int64_t>(size) : -1;
}

class OrvaneFiles : public ::testing::Test {
 protected:
  void TearDown() override {
    unsetenv("TMPDIR");
    fs::remove_all(folder_);
  }
  std::string folder_ = mkdtemp(std::string("/tmp/orvane_files_XXXXXX").data());
};

TEST_F(OrvaneFiles, SaveLoadReplaceAndDelete) {
  const std::string file = folder_ + "/data.bin";
  const char* path = file.c_str();
  char loaded[11] = {};
  EXPECT_EQ(Exists(file), 0);
  ASSERT_EQ(krOSSaveFile(path, "0123456789", 10), KR_STATUS_OK);
  ASSERT_EQ(krOSLoadFile(path, loaded, 3), KR_STATUS_OK);  // the start of a longer file
  EXPECT_STREQ(loaded, "012");
  EXPECT_EQ(Exists(file + "/child"), 0);  // a path through a file is no file, not a failure
  // Saving again replaces the whole file; loading more than it holds fails.
  ASSERT_EQ(krOSSaveFile(path, "ab", 2), KR_STATUS_OK);
  EXPECT_EQ(SizeOf(file), 2);
  EXPECT_EQ(krOSLoadFile(path, loaded, 10), KR_STATUS_OS_INVALID_FILE);
  ASSERT_EQ(krOSDeleteFile(path), KR_STATUS_OK);
  EXPECT_EQ(Exists(file), 0);
  EXPECT_EQ(krOSDeleteFile(path), KR_STATUS_OS_FILE_DELETE_FAILED);
  EXPECT_EQ(krOSLoadFile(path, loaded, 1), KR_STATUS_OS_INVALID_FILE);
  EXPECT_EQ(krOSLoadFile(path, nullptr, 1), KR_STATUS_OS_NULL_POINTER);
  // A folder exists (database folders are probed this way) but has no file size.
  EXPECT_EQ(Exists(folder_), 1);
  EXPECT_EQ(SizeOf(folder_), -1);
  EXPECT_EQ(krOSSaveFile((folder_ + "/no/such/folder.bin").c_str(), "x", 1), KR_STATUS_OS_FILE_WRITE_FAILED);
}

TEST_F(OrvaneFiles, TempFilesAreNewAndUniqueInTmpDirAndFailuresCreateNothing) {
  char directory[256];
  unsetenv("TMPDIR");
  ASSERT_EQ(krOSGetTempDirectory(directory, sizeof(directory)), KR_STATUS_OK);
  EXPECT_STREQ(directory, "/tmp");
  char tooSmall[16] = "abc";
  EXPECT_EQ(krOSGetTempDirectory(tooSmall, 4), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  setenv("TMPDIR", (folder_ + "//").c_str(), 1);
  ASSERT_EQ(krOSGetTempDirectory(directory, sizeof(directory)), KR_STATUS_OK);
  EXPECT_EQ(std::string(directory), folder_);  // no trailing '/'
  EXPECT_EQ(krOSCreateTempFile(directory, "krs", tooSmall, sizeof(tooSmall)), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  EXPECT_STREQ(tooSmall, "abc");
  char path[256];
  EXPECT_EQ(krOSCreateTempFile(directory, "../x", path, sizeof(path)), KR_STATUS_OS_BAD_ARGUMENT);
  EXPECT_EQ(krOSCreateTempFile((folder_ + "/missing").c_str(), "x", path, sizeof(path)),
            KR_STATUS_OS_FILE_WRITE_FAILED);
  EXPECT_TRUE(fs::is_empty(folder_));
  std::set<std::string> names;
  for (int i = 0; i < 20; ++i) {
    ASSERT_EQ(krOSCreateTempFile(directory, "krs", path, sizeof(path)), KR_STATUS_OK);
    EXPECT_EQ(std::string(path).rfind(folder_ + "/krs", 0), 0u) << path;
    EXPECT_EQ(SizeOf(path), 0) << path;
    names.insert(path);
  }
  EXPECT_EQ(names.size(), 20u);
  EXPECT_EQ(std::distance(fs::directory_iterator(folder_), fs::directory_iterator()), 20);
}

}  // namespace
