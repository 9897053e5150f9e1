// Tests of Orvane's allocators, text helpers, keyboard wait (with standard input redirected) and clock.
#include <Orvane/Orvane.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <tuple>

namespace {

bool IsAligned(const void* memory, size_t alignment) { return reinterpret_cast<uintptr_t>(memory) % alignment == 0; }

TEST(OrvaneMemory, AlignedBlocksAreAlignedAndCallocZeroes) {
  for (size_t size : {1u, 17u, 4096u, 65537u}) {
    // Dirty a block and free it first, so that a zero fill is not just luck.
    void* dirty = krOSMallocAligned(size * 3, 16);
    ASSERT_TRUE(dirty != nullptr && IsAligned(dirty, 16)) << size;
    std::memset(dirty, 0xFF, size * 3);
    krOSFreeAligned(dirty);
    auto* zeroed = static_cast<char*>(krOSCallocAligned(3, size, 16));
    ASSERT_TRUE(zeroed != nullptr && IsAligned(zeroed, 16)) << size;
    EXPECT_EQ(std::string(zeroed, size * 3), std::string(size * 3, '\0')) << size;
    krOSFreeAligned(zeroed);
  }
  for (size_t alignment : {1u, 2u, 64u, 4096u}) {
    void* memory = krOSMallocAligned(10, alignment);
    EXPECT_TRUE(memory != nullptr && IsAligned(memory, alignment)) << alignment;
    krOSFreeAligned(memory);
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

TEST(OrvaneTime, ClockIsMonotonicAndSleepWaitsAtLeastItsTime) {
  const uint64_t before = krOSGetTimeMicroseconds();
  krOSSleep(20);
  const uint64_t after = krOSGetTimeMicroseconds();
  EXPECT_GE(after - before, 20000u);
  EXPECT_GE(krOSGetTimeMicroseconds(), after);
}

}  // namespace
