// Stream modes on the command line ("640x480@30:rgb24", "44100x1@30") and
// the modes a sensor offers, found by asking it: a stream created with a
// combination the sensor does not offer is refused, so every candidate
// combination is tried on a stream that is removed again.
#include "ToolCommon.h"

#include <cstdio>
#include <cstdlib>

namespace ovalith_tool {
namespace {

struct FormatName {
  const char* name;
  uint32_t format;
};
const FormatName kFormatNames[] = {
    {"shift", KR_OUTPUT_FORMAT_SHIFT_VALUES}, {"depth", KR_OUTPUT_FORMAT_DEPTH_VALUES},
    {"grey8", KR_OUTPUT_FORMAT_GRAYSCALE8},   {"rgb24", KR_OUTPUT_FORMAT_RGB24},
    {"yuv422", KR_OUTPUT_FORMAT_YUV422},      {"pcm", KR_OUTPUT_FORMAT_PCM},
    {"grey16", KR_OUTPUT_FORMAT_GRAYSCALE16}, {"jpeg", KR_OUTPUT_FORMAT_JPEG},
};

// What is tried when the sensor is asked what it offers.
constexpr uint64_t kMaxResolutionCode = 7;
const uint64_t kFrameRates[] = {5, 6, 10, 12, 15, 20, 24, 25, 30, 50, 60, 90, 100, 120};
const uint64_t kSampleRates[] = {8000, 11025, 16000, 22050, 24000, 32000, 44100, 48000, 88200, 96000};
constexpr uint64_t kMaxChannels = 8;
constexpr uint64_t kMaxFormatCode = 15;

std::string FormatText(uint64_t format) {
  for (const FormatName& row : kFormatNames) {
    if (row.format == format) return row.name;
  }
  return std::to_string(format);
}

// A whole decimal number from text[*at], which moves past it.
bool Number(const std::string& text, size_t* at, uint64_t* value) {
  const size_t start = *at;
  uint64_t result = 0;
  while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9' && *at - start < 9) {
    result = result * 10 + static_cast<uint64_t>(text[*at] - '0');
    ++*at;
  }
  *value = result;
  return *at > start && result > 0 && (*at == text.size() || text[*at] < '0' || text[*at] > '9');
}

// Whether the sensor accepts a stream of this type with these values.
bool Accepts(KrVDevice& device, const std::string& type, const std::vector<std::pair<const char*, uint64_t>>& values,
             uint64_t* xRes = nullptr, uint64_t* yRes = nullptr) {
  static const char kProbe[] = "ovalith-probe";
  KrVPropertySet set;
  for (const auto& value : values) set.AddProperty(kProbe, value.first, value.second);
  if (device.AddStream(type.c_str(), kProbe, &set) != KR_STATUS_OK) return false;
  if (xRes != nullptr) device.GetProperty(kProbe, "XRes", *xRes);
  if (yRes != nullptr) device.GetProperty(kProbe, "YRes", *yRes);
  device.RemoveStream(kProbe);
  return true;
}

std::string Joined(const std::vector<uint64_t>& values, const char* separator) {
  std::string text;
  for (const uint64_t value : values) text += (text.empty() ? "" : separator) + std::to_string(value);
  return text;
}

}  // namespace

bool ParseStreamMode(const std::string& option, const std::string& text, StreamMode* mode) {
  mode->type = StreamTypeOf(option);
  mode->text = text;
  mode->values.clear();
  const bool audio = option == "audio";
  const std::string usage =
      audio ? "RATE[xCHANNELS][@FPS], e.g. 44100x1@30" : "WIDTHxHEIGHT[@FPS][:FORMAT], e.g. 640x480@30";
  const auto bad = [&] { return Fail("--" + option + " " + text + ": give " + usage); };
  size_t at = 0;
  uint64_t first = 0, second = 0, fps = 0;
  if (!Number(text, &at, &first)) return bad();
  const bool hasSecond = at < text.size() && text[at] == 'x';
  if (hasSecond && !Number(text, &++at, &second)) return bad();
  if (!audio && !hasSecond) return bad();
  const bool hasFps = at < text.size() && text[at] == '@';
  if (hasFps && !Number(text, &++at, &fps)) return bad();
  if (audio) {
    mode->values.push_back({"SampleRate", first});
    if (hasSecond) mode->values.push_back({"NumOfChannels", second});
  } else {
    mode->values.push_back({"XRes", first});
    mode->values.push_back({"YRes", second});
  }
  if (hasFps) mode->values.push_back({"FPS", fps});
  if (!audio && at < text.size() && text[at] == ':') {
    const std::string name = text.substr(at + 1);
    for (const FormatName& row : kFormatNames) {
      if (name == row.name) {
        mode->values.push_back({"OutputFormat", row.format});
        return true;
      }
    }
    std::string names;
    for (const FormatName& row : kFormatNames) names += std::string(names.empty() ? "" : ", ") + row.name;
    return Fail("--" + option + " " + text + ": unknown format " + name + " (formats: " + names + ")");
  }
  return at == text.size() || bad();
}

std::string OfferedModes(KrVDevice& device, const std::string& type) {
  std::string text;
  std::vector<std::pair<const char*, uint64_t>> base;  // a mode that works, for trying formats
  if (type == "Audio") {
    std::vector<uint64_t> rates, channels, fps;
    for (const uint64_t rate : kSampleRates) {
      if (Accepts(device, type, {{"SampleRate", rate}})) rates.push_back(rate);
    }
    for (uint64_t count = 1; count <= kMaxChannels; ++count) {
      if (Accepts(device, type, {{"NumOfChannels", count}})) channels.push_back(count);
    }
    for (const uint64_t rate : kFrameRates) {
      if (Accepts(device, type, {{"FPS", rate}})) fps.push_back(rate);
    }
    text = "sample rates " + Joined(rates, ",") + "; channels " + Joined(channels, ",") + "; fps " + Joined(fps, ",");
  } else {
    for (uint64_t code = 0; code <= kMaxResolutionCode; ++code) {
      std::vector<uint64_t> fps;
      uint64_t x = 0, y = 0;
      for (const uint64_t rate : kFrameRates) {
        if (Accepts(device, type, {{"Resolution", code}, {"FPS", rate}}, &x, &y)) fps.push_back(rate);
      }
      if (fps.empty()) continue;
      if (base.empty()) base = {{"Resolution", code}, {"FPS", fps.front()}};
      text += (text.empty() ? "" : "  ") + std::to_string(x) + "x" + std::to_string(y) + "@" + Joined(fps, ",");
    }
  }
  std::string formats;
  for (uint64_t format = 0; format <= kMaxFormatCode; ++format) {
    std::vector<std::pair<const char*, uint64_t>> values = base;
    values.push_back({"OutputFormat", format});
    if (Accepts(device, type, values)) formats += (formats.empty() ? "" : ",") + FormatText(format);
  }
  return (text.empty() ? "none" : text) + "; formats " + (formats.empty() ? "none" : formats);
}

}  // namespace ovalith_tool
