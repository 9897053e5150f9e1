#include <Tollan/Tollan.h>

#include <gtest/gtest.h>

#include <string>

namespace {

#define ROW(status) \
  { status, #status }

const struct {
  KrStatus status;
  const char* name;
} kStatuses[] = {
    ROW(KR_STATUS_TL_BAD_DEPTH_FORMAT), ROW(KR_STATUS_TL_BAD_IMAGE_FORMAT), ROW(KR_STATUS_TL_BAD_AUDIO_FORMAT),
    ROW(KR_STATUS_TL_NOT_INITIALIZED), ROW(KR_STATUS_TL_ALREADY_INITIALIZED), ROW(KR_STATUS_TL_BAD_HANDLE),
    ROW(KR_STATUS_TL_UNKNOWN_DEVICE_KIND), ROW(KR_STATUS_TL_DEVICE_NOT_FOUND), ROW(KR_STATUS_TL_DEVICE_DISCONNECTED),
    ROW(KR_STATUS_TL_DEVICE_BUSY), ROW(KR_STATUS_TL_CONFIG_FAILED), ROW(KR_STATUS_TL_BAD_PRIMARY_STREAM),
    ROW(KR_STATUS_TL_STREAM_NOT_FOUND), ROW(KR_STATUS_TL_STREAM_ALREADY_EXISTS), ROW(KR_STATUS_TL_STREAM_NOT_OPEN),
    ROW(KR_STATUS_TL_UNSUPPORTED_STREAM_TYPE), ROW(KR_STATUS_TL_STREAM_IS_OPEN), ROW(KR_STATUS_TL_TIMEOUT),
    ROW(KR_STATUS_TL_UNKNOWN_PARAMETER), ROW(KR_STATUS_TL_BAD_PROPERTY_TYPE), ROW(KR_STATUS_TL_BAD_PROPERTY_SIZE),
    ROW(KR_STATUS_TL_PROPERTY_READ_ONLY), ROW(KR_STATUS_TL_BAD_PROPERTY_VALUE), ROW(KR_STATUS_TL_PROPERTY_NOT_FOUND),
    ROW(KR_STATUS_TL_MODULE_NOT_FOUND), ROW(KR_STATUS_TL_MODULE_ALREADY_EXISTS),
    ROW(KR_STATUS_TL_PROPERTY_ALREADY_EXISTS), ROW(KR_STATUS_TL_BAD_REGISTRATION), ROW(KR_STATUS_TL_NOT_SUPPORTED),
    ROW(KR_STATUS_TL_WRONG_MODE), ROW(KR_STATUS_TL_END_OF_FILE), ROW(KR_STATUS_TL_FILE_CORRUPT),
    ROW(KR_STATUS_TL_NOT_A_RECORDING), ROW(KR_STATUS_TL_FILE_VERSION_UNSUPPORTED), ROW(KR_STATUS_TL_FILE_WRITE_FAILED),
    ROW(KR_STATUS_TL_FILE_OPEN_FAILED), ROW(KR_STATUS_TL_FRAME_NOT_FOUND), ROW(KR_STATUS_TL_FLASH_FILE_NOT_FOUND),
    ROW(KR_STATUS_TL_FLASH_FILE_READ_ONLY), ROW(KR_STATUS_TL_FLASH_OVERLAP), ROW(KR_STATUS_TL_FLASH_FULL),
    ROW(KR_STATUS_TL_FLASH_STATE_DAMAGED), ROW(KR_STATUS_TL_BAD_STREAM_FLAGS), ROW(KR_STATUS_TL_INJECTED_FAILURE)
};

#undef ROW

// Every status is registered under its own code (a run registered from the
// wrong first code would shift the names), with a real message; the gaps
// between the runs stay unregistered.
TEST(TollanStatusTest, EveryStatusRendersItsNameAndMessage) {
  for (const auto& row : kStatuses) {
    EXPECT_STREQ(row.name, krGetStatusName(row.status));
    const std::string message = krGetStatusString(row.status);
    EXPECT_FALSE(message.empty()) << row.name;
    EXPECT_EQ(std::string::npos, message.find("Unknown status")) << row.name;
    EXPECT_NE(row.name, message) << row.name;
  }
  for (KrStatus gap : {0x303EDu, 0x307D9u, 0x30807u, 0x30836u}) {
    EXPECT_NE(std::string::npos, std::string(krGetStatusString(gap)).find("Unknown status")) << std::hex << gap;
  }
}

}  // namespace
