// Engine start, shutdown, enumeration and the engine's status texts.
#include <Ovalith/Ovalith.h>

#include <gtest/gtest.h>

#include <string>

namespace {

bool Known(KrStatus status) {
  return std::string(krGetStatusString(status)).find("Unknown status") == std::string::npos;
}

TEST(EngineStatus, EngineAndPassedThroughKitStatusesAreReadable) {
  // The engine group's first and last entries and one between: the
  // registration covers the whole range in order.
  EXPECT_STREQ(krGetStatusName(0x31388), "KR_ERROR_GROUP_HALCYTE_OK");
  EXPECT_STREQ(krGetStatusString(0x31388), "KR_ERROR_GROUP_HALCYTE OK");
  EXPECT_STREQ(krGetStatusName(0x31392), "KR_STATUS_QM_BAD_PARAMETER");
  EXPECT_STREQ(krGetStatusString(0x31392), "Bad parameter!");
  EXPECT_STREQ(krGetStatusString(0x31394), "Matrix must be symmetric for this operation");
  EXPECT_FALSE(Known(0x31395));
  for (KrStatus status : {0x10001, 0x10004, 0x10007, 0x1000A, 0x1000D, 0x20001, 0x307D2, 0x3080B, 0x30802, 0x30814,
                          0x3083E, 0x307F2, 0x303EB, 0x303EC, 0x303EE}) {
    EXPECT_TRUE(Known(status)) << status;
  }
  EXPECT_NE(std::string(krGetStatusString(0x3FFFF)).find("0x0003FFFF"), std::string::npos);
}

TEST(EngineLifecycle, InitShutdownAndEnumerate) {
  EXPECT_NE(KrVDevice::EngineInit("/nonexistent/dir/Tollan.ini"), KR_STATUS_OK);
  ASSERT_EQ(KrVDevice::EngineInit(nullptr, "."), KR_STATUS_OK);
  EXPECT_EQ(KrVDevice::EngineInit("anything", "."), KR_STATUS_OK);  // a second init succeeds
  EXPECT_EQ(TollanInit("."), KR_STATUS_TL_ALREADY_INITIALIZED);

  // Enumerating on a never created device leaves its last status.
  KrVDevice device;
  char sensors[4][200];
  uint32_t count = 4;
  EXPECT_EQ(device.Enumerate(sensors, &count), KR_STATUS_OK);
  ASSERT_GE(count, 1u);
  EXPECT_STREQ(sensors[0], "*:0");
  uint32_t onlyCount = 0;
  EXPECT_EQ(device.Enumerate(nullptr, &onlyCount), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  EXPECT_EQ(onlyCount, count);
  EXPECT_EQ(device.GetLastStatus(), KR_STATUS_OK);

  // Shutdown passes the kit's status through.
  EXPECT_EQ(KrVDevice::EngineShutdown(), KR_STATUS_OK);
  EXPECT_EQ(KrVDevice::EngineShutdown(), KR_STATUS_TL_NOT_INITIALIZED);
}

}  // namespace
