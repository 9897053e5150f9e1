#include "SensorModes.h"

#include <Tollan/TollanTypes.h>

#include <cstring>

namespace tollan {
namespace sensor {
namespace {

const char* const kKindNames[] = {"Depth", "Image", "IR", "Audio"};

const Resolution kResolutions[] = {
    {0, 320, 240},
    {1, 640, 480},
    {2, 1280, 1024},
};

// Audio rows carry this in place of a resolution code.
constexpr uint32_t kNoResolution = 0xFFFFFFFFu;

struct FpsRow {
  uint8_t kinds;
  uint32_t resolution;
  uint32_t fps;
};

// The frame rates each kind offers at each resolution. The full sensor
// window (1280x1024) is read out at 15 frames per second only, and the depth
// processor stops at 640x480. Infra-red offers what colour offers, since the
// older interface turns a colour stream into an infra-red one in place.
const FpsRow kFpsRows[] = {
    {kDepthBit | kImageBit | kIRBit, 0, 15}, {kDepthBit | kImageBit | kIRBit, 0, 30},
    {kDepthBit | kImageBit | kIRBit, 0, 60}, {kDepthBit | kImageBit | kIRBit, 1, 15},
    {kDepthBit | kImageBit | kIRBit, 1, 30}, {kImageBit | kIRBit, 2, 15},
    {kAudioBit, kNoResolution, 15},          {kAudioBit, kNoResolution, 30},
    {kAudioBit, kNoResolution, 60},
};

struct FormatRow {
  uint32_t format;
  uint8_t kinds;
  uint32_t bytesPerPixel;
};

const FormatRow kFormatRows[] = {
    {KR_OUTPUT_FORMAT_SHIFT_VALUES, kDepthBit, 2},
    {KR_OUTPUT_FORMAT_DEPTH_VALUES, kDepthBit, 2},
    {KR_OUTPUT_FORMAT_GRAYSCALE8, kImageBit | kIRBit, 1},
    // Infra-red in RGB: the grey level in all three channels (the older
    // interface opens an infra-red stream with the colour stream's format).
    {KR_OUTPUT_FORMAT_RGB24, kImageBit | kIRBit, 3},
    {KR_OUTPUT_FORMAT_YUV422, kImageBit, 2},
    {KR_OUTPUT_FORMAT_GRAYSCALE16, kIRBit, 2},
    {KR_OUTPUT_FORMAT_PCM, kAudioBit, 2},
};

const uint32_t kSampleRates[] = {8000, 11025, 16000, 22050, 32000, 44100, 48000};

const FormatRow* FindFormat(uint32_t format) {
  for (const FormatRow& row : kFormatRows) {
    if (row.format == format) return &row;
  }
  return nullptr;
}

}  // namespace

const char* StreamKindName(StreamKind kind) { return kKindNames[static_cast<unsigned>(kind)]; }

bool StreamKindFromName(const char* type, StreamKind* kind) {
  if (type == nullptr) return false;
  for (unsigned i = 0; i < sizeof(kKindNames) / sizeof(kKindNames[0]); ++i) {
    if (std::strcmp(type, kKindNames[i]) == 0) {
      *kind = static_cast<StreamKind>(i);
      return true;
    }
  }
  return false;
}

const Resolution* FindResolution(uint32_t code) {
  for (const Resolution& r : kResolutions) {
    if (r.code == code) return &r;
  }
  return nullptr;
}

const Resolution* FindResolutionByXRes(uint32_t xRes) {
  for (const Resolution& r : kResolutions) {
    if (r.xRes == xRes) return &r;
  }
  return nullptr;
}

const Resolution* FindResolutionByYRes(uint32_t yRes) {
  for (const Resolution& r : kResolutions) {
    if (r.yRes == yRes) return &r;
  }
  return nullptr;
}

bool IsResolutionOffered(StreamKind kind, uint32_t resolution) {
  for (const FpsRow& row : kFpsRows) {
    if ((row.kinds & KindBit(kind)) && (row.resolution == resolution || row.resolution == kNoResolution)) return true;
  }
  return false;
}

bool IsFpsOffered(StreamKind kind, uint32_t resolution, uint32_t fps) {
  for (const FpsRow& row : kFpsRows) {
    if ((row.kinds & KindBit(kind)) && row.fps == fps &&
        (row.resolution == resolution || row.resolution == kNoResolution)) {
      return true;
    }
  }
  return false;
}

bool IsFormatOffered(StreamKind kind, uint32_t outputFormat) {
  const FormatRow* row = FindFormat(outputFormat);
  return row != nullptr && (row->kinds & KindBit(kind)) != 0;
}

uint32_t DefaultOutputFormat(StreamKind kind) {
  switch (kind) {
    case StreamKind::kImage:
      return KR_OUTPUT_FORMAT_RGB24;
    case StreamKind::kIR:
      return KR_OUTPUT_FORMAT_GRAYSCALE16;
    case StreamKind::kAudio:
      return KR_OUTPUT_FORMAT_PCM;
    case StreamKind::kDepth:
      break;
  }
  return KR_OUTPUT_FORMAT_DEPTH_VALUES;
}

uint32_t BytesPerPixel(uint32_t outputFormat) {
  const FormatRow* row = FindFormat(outputFormat);
  return row ? row->bytesPerPixel : 0;
}

bool IsSampleRateOffered(uint32_t sampleRate) {
  for (uint32_t rate : kSampleRates) {
    if (rate == sampleRate) return true;
  }
  return false;
}

uint64_t SampleIndex(uint64_t frames, uint32_t sampleRate, uint32_t fps) {
  return fps == 0 ? 0 : frames * sampleRate / fps;
}

uint32_t MaxSamplesPerFrame(uint32_t sampleRate, uint32_t fps) { return fps == 0 ? 0 : (sampleRate + fps - 1) / fps; }

uint64_t FrameTimestamp(uint32_t frameId, uint32_t fps, uint64_t offsetUs, bool highResolution) {
  uint64_t t = (fps == 0 || frameId == 0) ? 0 : static_cast<uint64_t>(frameId - 1) * 1000000u / fps;
  t += offsetUs;
  return highResolution ? t : t - t % 1000u;
}

}  // namespace sensor
}  // namespace tollan
