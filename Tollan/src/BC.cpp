// Tollan legacy conversions: one table per stream kind, one walker each way.

#include <Tollan/TollanBC.h>
#include <Tollan/TollanStatus.h>

#include <cstring>

namespace {

// One legacy format: its code, the current output format it stands for and
// its text in legacy INI files.
struct FormatRow {
  int32_t legacyCode;
  uint32_t outputFormat;
  const char* text;
};

const FormatRow kDepthFormats[] = {
    {1, KR_OUTPUT_FORMAT_SHIFT_VALUES, "Shifts"},
    {2, KR_OUTPUT_FORMAT_DEPTH_VALUES, "Depth"},
};

const FormatRow kImageFormats[] = {
    {1, KR_OUTPUT_FORMAT_YUV422, "YUV422"},    {2, KR_OUTPUT_FORMAT_RGB24, "RGB24"},
    {3, KR_OUTPUT_FORMAT_GRAYSCALE8, "Gray8"}, {4, KR_OUTPUT_FORMAT_GRAYSCALE16, "Gray16"},
    {5, KR_OUTPUT_FORMAT_JPEG, "JPEG"},
};

const FormatRow kAudioFormats[] = {
    {1, KR_OUTPUT_FORMAT_PCM, "PCM"},
};

// Stream flag names and their bits. "None" adds no bit, so "None" alone is
// 0 and "None|Mirror" is 1.
struct FlagRow {
  const char* name;
  int32_t bit;
};

const FlagRow kStreamFlags[] = {
    {"None", 0},
    {"Mirror", 1},
    {"Crop", 2},
    {"Rotate", 4},
};

// The first row whose key matches, or null.
template <typename Row, size_t N, typename Matches>
const Row* FindRow(const Row (&table)[N], Matches matches) {
  for (const Row& row : table) {
    if (matches(row)) {
      return &row;
    }
  }
  return nullptr;
}

template <size_t N>
KrStatus LegacyToOutput(const FormatRow (&table)[N], int32_t legacyCode, uint32_t* outputFormat, KrStatus unknown) {
  if (outputFormat == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  const FormatRow* row = FindRow(table, [&](const FormatRow& r) { return r.legacyCode == legacyCode; });
  if (row == nullptr) {
    return unknown;
  }
  *outputFormat = row->outputFormat;
  return KR_STATUS_OK;
}

template <size_t N>
KrStatus OutputToLegacy(const FormatRow (&table)[N], uint32_t outputFormat, uint32_t* legacyCode, KrStatus unknown) {
  if (legacyCode == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  const FormatRow* row = FindRow(table, [&](const FormatRow& r) { return r.outputFormat == outputFormat; });
  if (row == nullptr) {
    return unknown;
  }
  *legacyCode = static_cast<uint32_t>(row->legacyCode);
  return KR_STATUS_OK;
}

template <size_t N>
int32_t LegacyFromText(const FormatRow (&table)[N], const char* text) {
  if (text == nullptr) {
    return -1;
  }
  const FormatRow* row = FindRow(table, [&](const FormatRow& r) { return std::strcmp(r.text, text) == 0; });
  return row == nullptr ? -1 : row->legacyCode;
}

}  // namespace

KrStatus KrBCDepthFormatToOutputFormat(int32_t depthFormat, uint32_t* outputFormat) {
  return LegacyToOutput(kDepthFormats, depthFormat, outputFormat, KR_STATUS_TL_BAD_DEPTH_FORMAT);
}

KrStatus KrBCImageFormatToOutputFormat(int32_t imageFormat, uint32_t* outputFormat) {
  return LegacyToOutput(kImageFormats, imageFormat, outputFormat, KR_STATUS_TL_BAD_IMAGE_FORMAT);
}

KrStatus KrBCAudioFormatToOutputFormat(int32_t audioFormat, uint32_t* outputFormat) {
  return LegacyToOutput(kAudioFormats, audioFormat, outputFormat, KR_STATUS_TL_BAD_AUDIO_FORMAT);
}

KrStatus KrBCOutputFormatToDepthFormat(uint32_t outputFormat, uint32_t* depthFormat) {
  return OutputToLegacy(kDepthFormats, outputFormat, depthFormat, KR_STATUS_TL_BAD_DEPTH_FORMAT);
}

KrStatus KrBCOutputFormatToImageFormat(uint32_t outputFormat, uint32_t* imageFormat) {
  return OutputToLegacy(kImageFormats, outputFormat, imageFormat, KR_STATUS_TL_BAD_IMAGE_FORMAT);
}

KrStatus KrBCOutputFormatToAudioFormat(uint32_t outputFormat, uint32_t* audioFormat) {
  return OutputToLegacy(kAudioFormats, outputFormat, audioFormat, KR_STATUS_TL_BAD_AUDIO_FORMAT);
}

int32_t KrBCGetStreamDepthFormatFromString(const char* text) { return LegacyFromText(kDepthFormats, text); }

int32_t KrBCGetStreamImageFormatFromString(const char* text) { return LegacyFromText(kImageFormats, text); }

int32_t KrBCGetStreamAudioFormatFromString(const char* text) { return LegacyFromText(kAudioFormats, text); }

// Names joined with '|', matched exactly; "" is 0. An empty piece ("Mirror|")
// or an unknown one makes the whole text unrecognised.
int32_t KrBCGetStreamFlagsFromString(const char* text) {
  if (text == nullptr) {
    return -1;
  }
  int32_t flags = 0;
  if (*text == '\0') {
    return flags;
  }
  const char* piece = text;
  for (;;) {
    const char* bar = std::strchr(piece, '|');
    const size_t length = bar == nullptr ? std::strlen(piece) : static_cast<size_t>(bar - piece);
    const FlagRow* row = FindRow(kStreamFlags, [&](const FlagRow& r) {
      return std::strlen(r.name) == length && std::strncmp(r.name, piece, length) == 0;
    });
    if (row == nullptr) {
      return -1;
    }
    flags |= row->bit;
    if (bar == nullptr) {
      return flags;
    }
    piece = bar + 1;
  }
}
