#include <Tollan/Tollan.h>

#include <gtest/gtest.h>

namespace {

using ToOutput = KrStatus (*)(int32_t, uint32_t*);
using FromOutput = KrStatus (*)(uint32_t, uint32_t*);
using FromText = int32_t (*)(const char*);

struct FormatCase {
  const char* kind;
  ToOutput toOutput;
  FromOutput fromOutput;
  FromText fromText;
  KrStatus unknown;
  int32_t legacy;
  const char* text;
  uint32_t output;
};

const FormatCase kFormats[] = {
    {"depth", KrBCDepthFormatToOutputFormat, KrBCOutputFormatToDepthFormat, KrBCGetStreamDepthFormatFromString,
     KR_STATUS_TL_BAD_DEPTH_FORMAT, 1, "Shifts", KR_OUTPUT_FORMAT_SHIFT_VALUES},
    {"depth", KrBCDepthFormatToOutputFormat, KrBCOutputFormatToDepthFormat, KrBCGetStreamDepthFormatFromString,
     KR_STATUS_TL_BAD_DEPTH_FORMAT, 2, "Depth", KR_OUTPUT_FORMAT_DEPTH_VALUES},
    {"image", KrBCImageFormatToOutputFormat, KrBCOutputFormatToImageFormat, KrBCGetStreamImageFormatFromString,
     KR_STATUS_TL_BAD_IMAGE_FORMAT, 1, "YUV422", KR_OUTPUT_FORMAT_YUV422},
    {"image", KrBCImageFormatToOutputFormat, KrBCOutputFormatToImageFormat, KrBCGetStreamImageFormatFromString,
     KR_STATUS_TL_BAD_IMAGE_FORMAT, 2, "RGB24", KR_OUTPUT_FORMAT_RGB24},
    {"image", KrBCImageFormatToOutputFormat, KrBCOutputFormatToImageFormat, KrBCGetStreamImageFormatFromString,
     KR_STATUS_TL_BAD_IMAGE_FORMAT, 3, "Gray8", KR_OUTPUT_FORMAT_GRAYSCALE8},
    {"image", KrBCImageFormatToOutputFormat, KrBCOutputFormatToImageFormat, KrBCGetStreamImageFormatFromString,
     KR_STATUS_TL_BAD_IMAGE_FORMAT, 4, "Gray16", KR_OUTPUT_FORMAT_GRAYSCALE16},
    {"image", KrBCImageFormatToOutputFormat, KrBCOutputFormatToImageFormat, KrBCGetStreamImageFormatFromString,
     KR_STATUS_TL_BAD_IMAGE_FORMAT, 5, "JPEG", KR_OUTPUT_FORMAT_JPEG},
    {"audio", KrBCAudioFormatToOutputFormat, KrBCOutputFormatToAudioFormat, KrBCGetStreamAudioFormatFromString,
     KR_STATUS_TL_BAD_AUDIO_FORMAT, 1, "PCM", KR_OUTPUT_FORMAT_PCM},
};

TEST(KrBCTest, FormatsConvertBothWays) {
  for (const FormatCase& c : kFormats) {
    SCOPED_TRACE(std::string(c.kind) + " " + c.text);
    uint32_t output = 12345, legacy = 12345;
    EXPECT_EQ(KR_STATUS_OK, c.toOutput(c.legacy, &output));
    EXPECT_EQ(c.output, output);
    EXPECT_EQ(KR_STATUS_OK, c.fromOutput(c.output, &legacy));
    EXPECT_EQ(static_cast<uint32_t>(c.legacy), legacy);
    EXPECT_EQ(c.legacy, c.fromText(c.text));
  }
}

TEST(KrBCTest, UnknownCodesAndTextsAreRefused) {
  for (const FormatCase& c : kFormats) {
    SCOPED_TRACE(c.kind);
    uint32_t untouched = 12345;
    for (int32_t code : {0, -1, 6, INT32_MAX}) {
      EXPECT_EQ(c.unknown, c.toOutput(code, &untouched)) << code;
    }
    for (uint32_t output : {2u, 3u, 10u, UINT32_MAX}) {
      EXPECT_EQ(c.unknown, c.fromOutput(output, &untouched)) << output;
    }
    EXPECT_EQ(12345u, untouched);
    EXPECT_EQ(KR_STATUS_OS_NULL_POINTER, c.toOutput(c.legacy, nullptr));
    EXPECT_EQ(KR_STATUS_OS_NULL_POINTER, c.fromOutput(c.output, nullptr));
    for (const char* text : {static_cast<const char*>(nullptr), "", "pcm", "Depth ", "RGB"}) {
      EXPECT_EQ(-1, c.fromText(text)) << (text ? text : "(null)");
    }
  }
  // Formats of another kind are not this kind's.
  uint32_t legacy = 0;
  EXPECT_EQ(KR_STATUS_TL_BAD_DEPTH_FORMAT, KrBCOutputFormatToDepthFormat(KR_OUTPUT_FORMAT_RGB24, &legacy));
  EXPECT_EQ(KR_STATUS_TL_BAD_IMAGE_FORMAT, KrBCOutputFormatToImageFormat(KR_OUTPUT_FORMAT_PCM, &legacy));
}

TEST(KrBCTest, StreamFlags) {
  const struct {
    const char* text;
    int32_t flags;
  } cases[] = {
      {"", 0},
      {"None", 0},
      {"Mirror", 1},
      {"Crop", 2},
      {"Rotate", 4},
      {"Mirror|Crop", 3},
      {"Rotate|Mirror", 5},
      {"None|Mirror", 1},
      {"Mirror|Mirror", 1},
      {"Mirror|Crop|Rotate", 7},
      {nullptr, -1},
      {"mirror", -1},
      {"Mirror|", -1},
      {"|Mirror", -1},
      {"Mirror||Crop", -1},
      {"Mirror|Zoom", -1},
      {"Mirror Crop", -1},
      {" Mirror", -1},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.flags, KrBCGetStreamFlagsFromString(c.text)) << (c.text ? c.text : "(null)");
  }
}

}  // namespace
