// Tests of Orvane's allocators, text helpers, keyboard wait (with standard input redirected), file
// functions, temporary files and status registry.
#include <Orvane/Orvane.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <tuple>

namespace {

TEST(OrvaneMemory, AlignedBlocksAreAlignedAndCallocZeroes) {
  for (const auto& [size, alignment] : {std::pair<size_t, size_t>{1, 1}, {17, 2}, {4096, 64}, {65537, 4096}}) {
    // Dirty a block and free it first, so that a zero fill is not just luck.
    void* dirty = krOSMallocAligned(size * 3, alignment);
    ASSERT_TRUE(dirty != nullptr && reinterpret_cast<uintptr_t>(dirty) % alignment == 0) << size;
    std::memset(dirty, 0xFF, size * 3);
    krOSFreeAligned(dirty);
    auto* zeroed = static_cast<char*>(krOSCallocAligned(3, size, alignment));
    ASSERT_TRUE(zeroed != nullptr && reinterpret_cast<uintptr_t>(zeroed) % alignment == 0) << size;
    EXPECT_EQ(std::string(zeroed, size * 3), std::string(size * 3, '\0')) << size;
    krOSFreeAligned(zeroed);
  }
  EXPECT_EQ(krOSMallocAligned(10, 0), nullptr);
  EXPECT_EQ(krOSMallocAligned(10, 24), nullptr);
  EXPECT_EQ(krOSCalloc(SIZE_MAX / 2 + 1, 2), nullptr);
  EXPECT_EQ(krOSCallocAligned(3, SIZE_MAX / 2, 16), nullptr);
  char text[] = "abcdef";
  krOSMemCopy(text + 1, text, 4);  // overlapping ranges
  EXPECT_STREQ(text, "aabcdf");
  krOSMemCopy(nullptr, nullptr, 0);
}

TEST(OrvaneText, Crc32AndStrCopy) {
  uint32_t crc = 0;
  ASSERT_EQ(krOSStrCRC32("123456789", &crc), KR_STATUS_OK);
  EXPECT_EQ(crc, 0xCBF43926u);  // the standard check value
  EXPECT_EQ(krOSStrCRC32(nullptr, &crc), KR_STATUS_OS_NULL_POINTER);
  const std::tuple<const char*, size_t, const char*, KrStatus> rows[] = {
      {"Depth", 6, "Depth", KR_STATUS_OK},
      {"Depth", 5, "Dept", KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW},
      {"Depth", 1, "", KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW},
      {"", 1, "", KR_STATUS_OK},
      {"x", 0, "xxxxxxx", KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW},
      {nullptr, 4, "xxxxxxx", KR_STATUS_OS_NULL_POINTER}};
  for (const auto& [source, capacity, expected, status] : rows) {
    char buffer[8] = "xxxxxxx";
    EXPECT_EQ(krOSStrCopy(buffer, source, capacity), status) << capacity;
    EXPECT_STREQ(buffer, expected);
    EXPECT_EQ(buffer[capacity], 'x');  // nothing written past capacity
  }
}

TEST(OrvaneKeyboard, PipeGivesOneKeyPerByteThenEndOfInputEveryTime) {
  const auto keyHit = [] {
    int hit = -1;
    EXPECT_EQ(krOSWasKeyboardHit(&hit), KR_STATUS_OK);
    return hit;
  };
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  const int savedStdin = dup(STDIN_FILENO);
  dup2(ends[0], STDIN_FILENO);
  close(ends[0]);
  EXPECT_EQ(keyHit(), 0);  // nothing typed yet: the wait times out
  EXPECT_EQ(write(ends[1], "ab", 2), 2);
  EXPECT_EQ(keyHit(), 1);
  EXPECT_EQ(keyHit(), 1);
  EXPECT_EQ(keyHit(), 0);  // both bytes taken, one at a time
  close(ends[1]);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(keyHit(), 1);  // end of input, every time
  EXPECT_EQ(krOSWasKeyboardHit(nullptr), KR_STATUS_OS_NULL_POINTER);
  dup2(savedStdin, STDIN_FILENO);
  close(savedStdin);
}

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
  ASSERT_EQ(krOSSaveFile(path, "z", 1), KR_STATUS_OK);
  ASSERT_EQ(krOSLoadFile(path, loaded, 1), KR_STATUS_OK);
  EXPECT_EQ(loaded[0], 'z');
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

constexpr uint16_t kTestGroup = 0x7A;

// Registered at load, the way other libraries do it.
const KrErrorCodeMessage kLoadTimeTable[] = {{10, "KR_TEST_LOADED_OK", "Loaded OK"},
                                             {0, "KR_TEST_LOADED_FAILED", "Loaded failure"}};
const KrStatus kLoadTimeRegistration = krRegisterErrorCodeMessages(0x7B, 10, 2, kLoadTimeTable);

// The edges of the runs Orvane registers (a shifted run shows here), with the texts users see.
TEST(OrvaneStatus, OwnStatusesRenderTheirNamesAndTexts) {
  const std::tuple<KrStatus, const char*, const char*> rows[] = {
      {KR_STATUS_OK, "KR_STATUS_OK", "OK"},
      {KR_STATUS_OS_ERROR, "KR_STATUS_OS_ERROR", "Generic failure"},
      {KR_STATUS_OS_NULL_POINTER, "KR_STATUS_OS_NULL_POINTER", "Null pointer"},
      {KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW, "KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW", "Output buffer too small"},
      {KR_STATUS_OS_NOT_FOUND, "KR_STATUS_OS_NOT_FOUND", "Not found"},
      {KR_STATUS_OS_KEY_NOT_FOUND, "KR_STATUS_OS_KEY_NOT_FOUND", "Key not found"},
      {KR_STATUS_OS_BAD_NUMBER, "KR_STATUS_OS_BAD_NUMBER", "Not a whole decimal number"},
      {KR_STATUS_OS_ALLOC_FAILED, "KR_STATUS_OS_ALLOC_FAILED", "Memory allocation failed"},
      {0x1000E, "Unknown status 0x0001000E", "Unknown status 0x0001000E"},  // the gap stays unregistered
  };
  for (const auto& [status, name, text] : rows) {
    EXPECT_STREQ(krGetStatusName(status), name);
    EXPECT_STREQ(krGetStatusString(status), text);
  }
  // The text of an unknown status is per thread.
  const char* mine = krGetStatusString(0xDEAD0001);
  std::string theirs;
  std::thread([&theirs] { theirs = krGetStatusString(0xDEAD0002); }).join();
  EXPECT_STREQ(mine, "Unknown status 0xDEAD0001");
  EXPECT_EQ(theirs, "Unknown status 0xDEAD0002");
}

// Only row 0 carries a code; the others are numbered by position. A later table replaces the rows it covers.
TEST(OrvaneStatus, RegistersRowsFromTheFirstCode) {
  EXPECT_EQ(kLoadTimeRegistration, KR_STATUS_OK);
  EXPECT_STREQ(krGetStatusString(KR_MAKE_STATUS(0x7B, 11)), "Loaded failure");
  const KrErrorCodeMessage table[] = {
      {100, "KR_TEST_FIRST", "First!"}, {0, "KR_TEST_SECOND", "Second!"}, {999, "KR_TEST_THIRD", "Third"}};
  ASSERT_EQ(krRegisterErrorCodeMessages(kTestGroup, 100, 3, table), KR_STATUS_OK);
  const KrErrorCodeMessage replacement[] = {{101, "KR_TEST_SECOND_AGAIN", "Replaced"}};
  ASSERT_EQ(krRegisterErrorCodeMessages(kTestGroup, 101, 1, replacement), KR_STATUS_OK);
  EXPECT_STREQ(krGetStatusName(KR_MAKE_STATUS(kTestGroup, 100)), "KR_TEST_FIRST");
  EXPECT_STREQ(krGetStatusName(KR_MAKE_STATUS(kTestGroup, 101)), "KR_TEST_SECOND_AGAIN");
  EXPECT_STREQ(krGetStatusString(KR_MAKE_STATUS(kTestGroup, 101)), "Replaced");
  EXPECT_STREQ(krGetStatusString(KR_MAKE_STATUS(kTestGroup, 102)), "Third");
  EXPECT_STREQ(krGetStatusString(KR_MAKE_STATUS(kTestGroup, 103)), "Unknown status 0x007A0067");
  EXPECT_EQ(krRegisterErrorCodeMessages(kTestGroup, 1, 1, nullptr), KR_STATUS_OS_NULL_POINTER);
  EXPECT_EQ(krRegisterErrorCodeMessages(kTestGroup, 1, 0, nullptr), KR_STATUS_OK);
  // Rows past code 0xFFFF would wrap into code 0 of the group.
  const KrErrorCodeMessage two[] = {{0xFFFF, "A", "a"}, {0, "B", "b"}};
  EXPECT_EQ(krRegisterErrorCodeMessages(kTestGroup, 0xFFFF, 2, two), KR_STATUS_OS_BAD_ARGUMENT);
  EXPECT_STREQ(krGetStatusName(KR_MAKE_STATUS(kTestGroup, 0)), "Unknown status 0x007A0000");
}

}  // namespace
