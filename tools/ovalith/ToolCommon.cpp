// Shared pieces of the ovalith tool: reports, opening devices, capturing a
// frame.
#include "ToolCommon.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace ovalith_tool {

const std::vector<std::string> kStreamOptionNames = {"depth", "image", "ir", "audio"};

namespace {

struct StreamTypeRow {
  const char* option;
  const char* type;
};
const StreamTypeRow kStreamTypes[] = {{"depth", "Depth"}, {"image", "Image"}, {"ir", "IR"}, {"audio", "Audio"}};

constexpr uint32_t kMaxStreams = 100;
// A recording's reads that may fail on damaged chunks in a row before the
// tool gives up on it.
constexpr int kMaxDamagedInARow = 1000;

}  // namespace

bool Check(KrStatus status, const std::string& what) {
  if (status == KR_STATUS_OK) return true;
  std::fprintf(stderr, "ovalith: %s: %s\n", what.c_str(), krGetStatusString(status));
  return false;
}

bool Fail(const std::string& message) {
  std::fprintf(stderr, "ovalith: %s\n", message.c_str());
  return false;
}

std::string StreamTypeOf(const std::string& optionName) {
  for (const StreamTypeRow& row : kStreamTypes) {
    if (optionName == row.option) return row.type;
  }
  return std::string();
}

bool OpenSensor(const std::string& connection, const std::vector<std::string>& types, Source* source) {
  source->isFile = false;
  source->name = connection;
  std::vector<char> text(connection.begin(), connection.end());
  text.push_back('\0');
  KrVDevice& device = *source->device;
  if (!Check(device.CreateByConnectionString(text.data(), KR_DEVICE_MODE_READ, nullptr, KR_DEVICE_SHARING_EXCLUSIVE),
             "cannot open device " + connection)) {
    return false;
  }
  for (const std::string& type : types) {
    if (!Check(device.AddStream(type.c_str(), type.c_str(), nullptr), "cannot add a " + type + " stream")) return false;
  }
  return types.empty() || Check(device.OpenAllStreams(), "cannot open the streams of " + connection);
}

bool OpenRecording(const std::string& path, Source* source) {
  source->isFile = true;
  source->name = path;
  return Check(source->device->OpenFileForReading(path.c_str()), "cannot open recording " + path);
}

bool OpenEither(const std::string& connection, const std::string& file, const std::vector<std::string>& types,
                Source* source) {
  if (!connection.empty() && !file.empty()) return Fail("give either --device or --file, not both");
  if (!file.empty()) return OpenRecording(file, source);
  return OpenSensor(connection.empty() ? "*:0" : connection, types, source);
}

std::vector<std::string> StreamNames(KrVDevice& device) {
  const char* names[kMaxStreams] = {};
  uint32_t count = kMaxStreams;
  std::vector<std::string> result;
  if (!Check(device.GetStreamNames(names, &count), "cannot list the streams")) return result;
  for (uint32_t i = 0; i < count && i < kMaxStreams; ++i) result.emplace_back(names[i]);
  return result;
}

bool GetText(KrVDevice& device, const char* module, const char* property, std::string* value) {
  char text[KR_MAX_NAME_LENGTH] = {};
  if (!Check(device.GetProperty(module, property, text), std::string("cannot read ") + module + "." + property)) {
    return false;
  }
  text[KR_MAX_NAME_LENGTH - 1] = '\0';
  *value = text;
  return true;
}

bool GetInteger(KrVDevice& device, const char* module, const char* property, uint64_t* value) {
  return Check(device.GetProperty(module, property, *value), std::string("cannot read ") + module + "." + property);
}

size_t DepthCapture::ValidCount() const {
  return static_cast<size_t>(
      std::count_if(pixels.begin(), pixels.end(), [this](uint16_t depth) { return Valid(depth); }));
}

namespace {

// A frame shorter than its resolution says (a damaged or foreign recording)
// is refused rather than read past its end.
bool HoldsPixels(const KrVStreamData& frame, size_t bytes, const char* kind) {
  if (frame.Data() != nullptr && frame.GetDataSize() >= bytes) return true;
  return Fail(std::string(kind) + " frame " + std::to_string(frame.GetFrameID()) + " holds " +
              std::to_string(frame.GetDataSize()) + " bytes, " + std::to_string(bytes) + " expected");
}

bool CopyDepth(const KrVDepthMap& map, DepthCapture* depth) {
  const size_t count = size_t{map.GetXRes()} * map.GetYRes();
  if (!HoldsPixels(map, count * 2, "depth")) return false;
  depth->width = map.GetXRes();
  depth->height = map.GetYRes();
  depth->noSampleValue = map.GetNoSampleValue();
  depth->shadowValue = map.GetShadowValue();
  depth->frameId = map.GetFrameID();
  depth->timestamp = map.GetTimestamp();
  depth->pixels.assign(map.Data(), map.Data() + count);
  const KrVRealWorldTranslator* translator = map.GetRealWorldTranslator();
  depth->translator.reset(translator != nullptr ? new KrVRealWorldTranslator(*translator) : nullptr);
  return true;
}

uint8_t Clamp(double value) { return static_cast<uint8_t>(std::min(255.0, std::max(0.0, value + 0.5))); }

// YUV 4:2:2 (Y0 U Y1 V, BT.601) to RGB.
void YuvToRgb(const uint8_t* yuv, size_t pixels, uint8_t* rgb) {
  for (size_t i = 0; i + 1 < pixels; i += 2) {
    const uint8_t* q = yuv + i * 2;
    const double u = q[1] - 128.0, v = q[3] - 128.0;
    for (size_t k = 0; k < 2; ++k) {
      const double y = q[k * 2];
      uint8_t* out = rgb + (i + k) * 3;
      out[0] = Clamp(y + 1.402 * v);
      out[1] = Clamp(y - 0.344136 * u - 0.714136 * v);
      out[2] = Clamp(y + 1.772 * u);
    }
  }
}

bool CopyImage(const KrVImageMap& map, ImageCapture* image) {
  image->width = map.GetXRes();
  image->height = map.GetYRes();
  image->captured = true;
  image->frameId = map.GetFrameID();
  image->timestamp = map.GetTimestamp();
  const size_t pixels = static_cast<size_t>(image->width) * image->height;
  if (!HoldsPixels(map, pixels * map.GetBytesPerPixel(), "image")) return false;
  const uint8_t* data = map.Data();
  image->grey16 = map.GetOutputFormat() == KR_OUTPUT_FORMAT_GRAYSCALE16;
  image->rgb.assign(image->grey16 ? 0 : pixels * 3, 0);
  switch (map.GetOutputFormat()) {
    case KR_OUTPUT_FORMAT_RGB24:
      std::memcpy(image->rgb.data(), data, pixels * 3);
      return true;
    case KR_OUTPUT_FORMAT_GRAYSCALE8:
      for (size_t i = 0; i < pixels; ++i) std::memset(&image->rgb[i * 3], data[i], 3);
      return true;
    case KR_OUTPUT_FORMAT_YUV422:
      YuvToRgb(data, pixels, image->rgb.data());
      return true;
    case KR_OUTPUT_FORMAT_GRAYSCALE16:
      image->grey.resize(pixels);
      std::memcpy(image->grey.data(), data, pixels * 2);
      return true;
    default:
      return Fail("the image stream's output format " + std::to_string(map.GetOutputFormat()) +
                  " cannot be saved as a picture");
  }
}

// One read of the whole device. A recording's damaged frame is skipped (the
// next read goes on after it); its end is *end.
bool ReadOnce(Source& source, bool* end, int* damagedInARow) {
  const KrStatus status = source.device->Read();
  *end = status == KR_STATUS_TL_END_OF_FILE;
  if (status == KR_STATUS_TL_FILE_CORRUPT && source.isFile && ++*damagedInARow < kMaxDamagedInARow) {
    std::fprintf(stderr, "ovalith: warning: a damaged frame of %s was skipped\n", source.name.c_str());
    return true;
  }
  *damagedInARow = 0;
  return *end || Check(status, "cannot read from " + source.name);
}

}  // namespace

bool CaptureFrame(Source& source, uint32_t frameNumber, bool wantImage, DepthCapture* depth, ImageCapture* image) {
  KrVDevice& device = *source.device;
  const KrVDepthMap* depthMap = device.GetDepthMap();
  const KrVImageMap* imageMap = wantImage ? device.GetImageMap() : nullptr;
  if (depthMap == nullptr) return Fail(source.name + " has no depth stream");
  if (wantImage && imageMap == nullptr) return Fail(source.name + " has no image stream");
  uint32_t depthFrames = 0;
  bool haveImage = false, end = false;
  int damaged = 0;
  // The image that goes with the depth frame is the one taken at the same
  // time; a recording may hold it just before or just after the depth frame.
  while (!end && (depthFrames < frameNumber || (wantImage && !haveImage))) {
    if (!ReadOnce(source, &end, &damaged)) return false;
    if (end) break;
    if (imageMap != nullptr && imageMap->IsDataNew()) {
      if (!CopyImage(*imageMap, image)) return false;
      haveImage = depthFrames >= frameNumber;
    }
    if (depthFrames < frameNumber && depthMap->IsDataNew() && ++depthFrames == frameNumber) {
      if (!CopyDepth(*depthMap, depth)) return false;
      haveImage = image != nullptr && image->captured && image->timestamp >= depth->timestamp;
    }
  }
  if (depthFrames < frameNumber) {
    return Fail(source.name + " ends after " + std::to_string(depthFrames) + " depth frames (frame " +
                std::to_string(frameNumber) + " was asked for)");
  }
  if (wantImage && !image->captured) {
    return Fail(source.name + " has no image frame to go with depth frame " + std::to_string(frameNumber));
  }
  return true;
}

std::string Hex(const void* data, size_t size) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  const auto* bytes = static_cast<const uint8_t*>(data);
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

bool WriteFile(const std::string& path, const void* data, size_t size) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return Fail("cannot create " + path + ": " + std::strerror(errno));
  const bool written = std::fwrite(data, 1, size, file) == size;
  const bool closed = std::fclose(file) == 0;
  return (written && closed) || Fail("cannot write " + path);
}

}  // namespace ovalith_tool
