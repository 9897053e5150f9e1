// Tests of the status registry and of Orvane's own registered statuses.
#include <Orvane/Orvane.h>
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <tuple>

namespace {

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

TEST(OrvaneStatus, UnknownTextIsPerThread) {
  const char* mine = krGetStatusString(0xDEAD0001);
  std::string theirs;
  std::thread([&theirs] { theirs = krGetStatusString(0xDEAD0002); }).join();
  EXPECT_STREQ(mine, "Unknown status 0xDEAD0001");
  EXPECT_EQ(theirs, "Unknown status 0xDEAD0002");
}

}  // namespace
