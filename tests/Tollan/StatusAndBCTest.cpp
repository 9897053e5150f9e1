// The kit's status names and messages, and the older interface's format, name and flag conversions.
#include <Tollan/Tollan.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct Format {
  int32_t legacy;
  const char* text;
  uint32_t output;
};

// The conversions of one kind of format, with every format of that kind.
struct Kind {
  const char* name;
  KrStatus (*toOutput)(int32_t, uint32_t*);
  KrStatus (*fromOutput)(uint32_t, uint32_t*);
  int32_t (*fromText)(const char*);
  KrStatus unknown;
  std::vector<Format> formats;
};

const Kind kKinds[] = {
    {"depth", KrBCDepthFormatToOutputFormat, KrBCOutputFormatToDepthFormat, KrBCGetStreamDepthFormatFromString,
     KR_STATUS_TL_BAD_DEPTH_FORMAT,
     {{1, "Shifts", KR_OUTPUT_FORMAT_SHIFT_VALUES}, {2, "Depth", KR_OUTPUT_FORMAT_DEPTH_VALUES}}},
    {"image", KrBCImageFormatToOutputFormat, KrBCOutputFormatToImageFormat, KrBCGetStreamImageFormatFromString,
     KR_STATUS_TL_BAD_IMAGE_FORMAT,
     {{1, "YUV422", KR_OUTPUT_FORMAT_YUV422}, {2, "RGB24", KR_OUTPUT_FORMAT_RGB24},
      {3, "Gray8", KR_OUTPUT_FORMAT_GRAYSCALE8}, {4, "Gray16", KR_OUTPUT_FORMAT_GRAYSCALE16},
      {5, "JPEG", KR_OUTPUT_FORMAT_JPEG}}},
    {"audio", KrBCAudioFormatToOutputFormat, KrBCOutputFormatToAudioFormat, KrBCGetStreamAudioFormatFromString,
     KR_STATUS_TL_BAD_AUDIO_FORMAT, {{1, "PCM", KR_OUTPUT_FORMAT_PCM}}},
};

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

// Every status has its own name (a run registered from a wrong first code shifts them), a message; gaps stay unknown.
TEST(TollanStatusTest, EveryStatusRendersItsNameAndMessageAndLegacyFormatsAndFlagsConvert) {
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
  for (const Kind& kind : kKinds) {
    SCOPED_TRACE(kind.name);
    for (const Format& format : kind.formats) {
      uint32_t output = 12345, legacy = 12345;
      EXPECT_EQ(KR_STATUS_OK, kind.toOutput(format.legacy, &output)) << format.text;
      EXPECT_EQ(format.output, output) << format.text;
      EXPECT_EQ(KR_STATUS_OK, kind.fromOutput(format.output, &legacy)) << format.text;
      EXPECT_EQ(static_cast<uint32_t>(format.legacy), legacy) << format.text;
      EXPECT_EQ(format.legacy, kind.fromText(format.text));
    }
    uint32_t untouched = 12345;
    for (int32_t code : {0, -1, 6, INT32_MAX}) EXPECT_EQ(kind.unknown, kind.toOutput(code, &untouched)) << code;
    for (uint32_t output : {2u, 3u, 10u, UINT32_MAX}) {
      EXPECT_EQ(kind.unknown, kind.fromOutput(output, &untouched)) << output;
    }
    EXPECT_EQ(12345u, untouched);
    EXPECT_EQ(KR_STATUS_OS_NULL_POINTER, kind.toOutput(kind.formats[0].legacy, nullptr));
    EXPECT_EQ(KR_STATUS_OS_NULL_POINTER, kind.fromOutput(kind.formats[0].output, nullptr));
    for (const char* text : {static_cast<const char*>(nullptr), "", "pcm", "Depth ", "RGB"}) {
      EXPECT_EQ(-1, kind.fromText(text)) << (text ? text : "(null)");
    }
  }
  // Formats of another kind are not this kind's.
  uint32_t legacy = 0;
  EXPECT_EQ(KR_STATUS_TL_BAD_DEPTH_FORMAT, KrBCOutputFormatToDepthFormat(KR_OUTPUT_FORMAT_RGB24, &legacy));
  EXPECT_EQ(KR_STATUS_TL_BAD_IMAGE_FORMAT, KrBCOutputFormatToImageFormat(KR_OUTPUT_FORMAT_PCM, &legacy));
  const struct {
    const char* text;
    int32_t flags;
  } cases[] = {{"", 0},           {"None", 0},         {"Mirror", 1},          {"Crop", 2},
               {"Rotate", 4},     {"Mirror|Crop", 3},  {"Rotate|Mirror", 5},   {"None|Mirror", 1},
               {"Mirror|Mirror", 1}, {"Mirror|Crop|Rotate", 7}, {nullptr, -1}, {"mirror", -1},
               {"Mirror|", -1},   {"|Mirror", -1},     {"Mirror||Crop", -1},   {"Mirror|Zoom", -1},
               {"Mirror Crop", -1}, {" Mirror", -1}};
  for (const auto& c : cases) EXPECT_EQ(c.flags, KrBCGetStreamFlagsFromString(c.text)) << (c.text ? c.text : "");
}

}  // namespace
