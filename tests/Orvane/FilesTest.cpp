// Tests of Orvane's file functions and temporary files.
#include <Orvane/Orvane.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

namespace {

class OrvaneFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char folder[] = "/tmp/orvane_files_XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    folder_ = folder;
    const char* tmpDir = std::getenv("TMPDIR");
    if (tmpDir != nullptr) savedTmpDir_ = tmpDir;
  }
  void TearDown() override {
    if (savedTmpDir_.empty()) {
      unsetenv("TMPDIR");
    } else {
      setenv("TMPDIR", savedTmpDir_.c_str(), 1);
    }
    std::error_code error;
    std::filesystem::remove_all(folder_, error);
  }
  std::string PathOf(const char* name) const { return folder_ + "/" + name; }
  size_t EntriesInFolder() const {
    auto entries = std::filesystem::directory_iterator(folder_);
    return static_cast<size_t>(std::distance(begin(entries), end(entries)));
  }

  std::string folder_;
  std::string savedTmpDir_;
};

TEST_F(OrvaneFiles, SaveLoadReplaceAndDelete) {
  const std::string path = PathOf("data.bin");
  int exists = -1;
  ASSERT_EQ(krOSDoesFileExist(path.c_str(), &exists), KR_STATUS_OK);
  EXPECT_EQ(exists, 0);
  ASSERT_EQ(krOSSaveFile(path.c_str(), "0123456789", 10), KR_STATUS_OK);
  uint64_t size = 0;
  ASSERT_EQ(krOSGetFileSize64(path.c_str(), &size), KR_STATUS_OK);
  EXPECT_EQ(size, 10u);
  char loaded[11] = {};
  ASSERT_EQ(krOSLoadFile(path.c_str(), loaded, 3), KR_STATUS_OK);  // the start of a longer file
  EXPECT_STREQ(loaded, "012");

  // Saving again replaces the whole file; loading more than it holds fails.
  ASSERT_EQ(krOSSaveFile(path.c_str(), "ab", 2), KR_STATUS_OK);
  ASSERT_EQ(krOSGetFileSize64(path.c_str(), &size), KR_STATUS_OK);
  EXPECT_EQ(size, 2u);
  EXPECT_EQ(krOSLoadFile(path.c_str(), loaded, 10), KR_STATUS_OS_INVALID_FILE);

  ASSERT_EQ(krOSDeleteFile(path.c_str()), KR_STATUS_OK);
  ASSERT_EQ(krOSDoesFileExist(path.c_str(), &exists), KR_STATUS_OK);
  EXPECT_EQ(exists, 0);
  EXPECT_EQ(krOSDeleteFile(path.c_str()), KR_STATUS_OS_FILE_DELETE_FAILED);
  EXPECT_EQ(krOSLoadFile(path.c_str(), loaded, 1), KR_STATUS_OS_INVALID_FILE);
  EXPECT_EQ(krOSLoadFile(path.c_str(), nullptr, 1), KR_STATUS_OS_NULL_POINTER);

  // A folder exists (database folders are probed this way) but has no file size.
  ASSERT_EQ(krOSDoesFileExist(folder_.c_str(), &exists), KR_STATUS_OK);
  EXPECT_EQ(exists, 1);
  EXPECT_EQ(krOSGetFileSize64(folder_.c_str(), &size), KR_STATUS_OS_INVALID_FILE);
  EXPECT_EQ(krOSSaveFile(PathOf("no/such/folder.bin").c_str(), "x", 1), KR_STATUS_OS_FILE_WRITE_FAILED);
}

TEST_F(OrvaneFiles, TempDirectoryFollowsTmpDir) {
  char directory[256];
  unsetenv("TMPDIR");
  ASSERT_EQ(krOSGetTempDirectory(directory, sizeof(directory)), KR_STATUS_OK);
  EXPECT_STREQ(directory, "/tmp");
  setenv("TMPDIR", (folder_ + "//").c_str(), 1);
  ASSERT_EQ(krOSGetTempDirectory(directory, sizeof(directory)), KR_STATUS_OK);
  EXPECT_EQ(std::string(directory), folder_);  // no trailing '/'
  char tooSmall[4] = "abc";
  EXPECT_EQ(krOSGetTempDirectory(tooSmall, sizeof(tooSmall)), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  EXPECT_STREQ(tooSmall, "abc");
}

TEST_F(OrvaneFiles, TempFilesAreNewUniqueAndInTmpDir) {
  setenv("TMPDIR", folder_.c_str(), 1);
  char directory[256];
  ASSERT_EQ(krOSGetTempDirectory(directory, sizeof(directory)), KR_STATUS_OK);
  std::set<std::string> names;
  for (int i = 0; i < 20; ++i) {
    char path[256];
    ASSERT_EQ(krOSCreateTempFile(directory, "krs", path, sizeof(path)), KR_STATUS_OK);
    EXPECT_EQ(std::string(path).rfind(folder_ + "/krs", 0), 0u) << path;
    uint64_t size = 1;
    ASSERT_EQ(krOSGetFileSize64(path, &size), KR_STATUS_OK);
    EXPECT_EQ(size, 0u);
    names.insert(path);
  }
  EXPECT_EQ(names.size(), 20u);
  EXPECT_EQ(EntriesInFolder(), 20u);
}

TEST_F(OrvaneFiles, TempFileFailuresCreateNothing) {
  char path[16] = "untouched";
  EXPECT_EQ(krOSCreateTempFile(folder_.c_str(), "krs", path, sizeof(path)), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  EXPECT_STREQ(path, "untouched");
  char longPath[256];
  EXPECT_EQ(krOSCreateTempFile(folder_.c_str(), "../x", longPath, sizeof(longPath)), KR_STATUS_OS_BAD_ARGUMENT);
  EXPECT_EQ(krOSCreateTempFile(PathOf("missing").c_str(), "x", longPath, sizeof(longPath)),
            KR_STATUS_OS_FILE_WRITE_FAILED);
  EXPECT_EQ(EntriesInFolder(), 0u);
}

}  // namespace
