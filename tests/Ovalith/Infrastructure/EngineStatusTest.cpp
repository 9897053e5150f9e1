// Engine start, shutdown, enumeration and the engine's status texts.
#include <Ovalith/Ovalith.h>

#include <gtest/gtest.h>

#include <string>

namespace {

struct StatusRow {
  KrStatus status;
  const char* name;
  const char* message;
};

// The group's first and last entries and one between: the registration
// covers the whole range in order.
const StatusRow kEngineStatuses[] = {
    {0x31388, "KR_ERROR_GROUP_HALCYTE_OK", "KR_ERROR_GROUP_HALCYTE OK"},
    {0x31392, "KR_STATUS_QM_BAD_PARAMETER", "Bad parameter!"},
    {0x31394, "KR_STATUS_QM_MATRIX_NOT_SYMMETRIC", "Matrix must be symmetric for this operation"},
};

TEST(EngineStatus, StatusesRenderTheirNameAndMessage) {
  for (const StatusRow& row : kEngineStatuses) {
    SCOPED_TRACE(row.name);
    EXPECT_STREQ(krGetStatusName(row.status), row.name);
    EXPECT_STREQ(krGetStatusString(row.status), row.message);
  }
  EXPECT_NE(std::string(krGetStatusString(0x31395)).find("Unknown status"), std::string::npos);
}

TEST(EngineStatus, KitStatusesThatTheEngineReturnsAreReadable) {
  const KrStatus passedThrough[] = {0x10001, 0x10004, 0x10007, 0x1000A, 0x1000D, 0x20001, 0x307D2,
                                    0x3080B, 0x30802, 0x30814, 0x3083E, 0x307F2, 0x303EB, 0x303EC, 0x303EE};
  for (KrStatus status : passedThrough) {
    SCOPED_TRACE(status);
    EXPECT_EQ(std::string(krGetStatusString(status)).find("Unknown status"), std::string::npos);
  }
  EXPECT_NE(std::string(krGetStatusString(0x3FFFF)).find("0x0003FFFF"), std::string::npos);
}

class EngineLifecycle : public ::testing::Test {
 protected:
  void TearDown() override { KrVDevice::EngineShutdown(); }
};

TEST_F(EngineLifecycle, MissingFileFailsSecondInitSucceedsAndNullFirstArgumentIsFine) {
  EXPECT_NE(KrVDevice::EngineInit("/nonexistent/dir/Tollan.ini"), KR_STATUS_OK);
  EXPECT_EQ(KrVDevice::EngineInit(nullptr, "."), KR_STATUS_OK);
  EXPECT_EQ(KrVDevice::EngineInit("anything", "."), KR_STATUS_OK);
  EXPECT_EQ(TollanInit("."), KR_STATUS_TL_ALREADY_INITIALIZED);
}

TEST_F(EngineLifecycle, ShutdownPassesTheKitStatusThrough) {
  ASSERT_EQ(KrVDevice::EngineInit(nullptr, "."), KR_STATUS_OK);
  EXPECT_EQ(KrVDevice::EngineShutdown(), KR_STATUS_OK);
  EXPECT_EQ(KrVDevice::EngineShutdown(), KR_STATUS_TL_NOT_INITIALIZED);
}

TEST_F(EngineLifecycle, EnumerateOnANeverCreatedDeviceLeavesTheLastStatus) {
  ASSERT_EQ(KrVDevice::EngineInit(nullptr, "."), KR_STATUS_OK);
  KrVDevice device;
  char sensors[4][200];
  uint32_t count = 4;
  EXPECT_EQ(device.Enumerate(sensors, &count), KR_STATUS_OK);
  ASSERT_GE(count, 1u);
  EXPECT_STREQ(sensors[0], "*:0");
  EXPECT_EQ(device.GetLastStatus(), KR_STATUS_OK);

  uint32_t onlyCount = 0;
  EXPECT_EQ(device.Enumerate(nullptr, &onlyCount), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  EXPECT_EQ(onlyCount, count);
  EXPECT_EQ(device.GetLastStatus(), KR_STATUS_OK);
}

}  // namespace
