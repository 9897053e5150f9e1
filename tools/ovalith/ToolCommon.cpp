// Shared pieces of the ovalith tool: reports, opening devices, capturing a
// frame.
#include "ToolCommon.h"

#include <algorithm>
#include <cmath>
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

// A recording's reads that may fail on damaged chunks in a row before the
// tool gives up on it.
constexpr int kMaxDamagedInARow = 1000;

}  // namespace

CLI::Validator PositiveFinite() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        double value = 0;
        const bool number = CLI::detail::lexical_cast(text, value);
        if (number && std::isfinite(value) && value > 0) return std::string();
        return "Value " + text + " is not a number above zero";
      },
      "POSITIVE", "positive");
}

bool Check(KrStatus status, const std::string& what) {
  if (status == KR_STATUS_OK) return true;
  std::fprintf(stderr, "ovalith: %s: %s\n", what.c_str(), krGetStatusString(status));
  return false;
}

bool Fail(const std::string& message) {
  std::fprintf(stderr, "ovalith: %s\n", message.c_str());
  return false;
}

bool SetCompression(KrVDeviceRecorder& recorder, const std::string& compress) {
  if (compress.empty() ||
      Check(recorder.GetWriteDevice()->SetProperty("Device", "Compression", compress.c_str()),
            "--compress " + compress + " is not a codec choice (e.g. depth=depth,image=lz4; codecs: raw, depth, lz4, "
            "zstd, zlib)")) {
    return true;
  }
  recorder.StopRecording();
  return false;
}

std::string StreamTypeOf(const std::string& optionName) {
  for (const StreamTypeRow& row : kStreamTypes) {
    if (optionName == row.option) return row.type;
  }
  return std::string();
}

bool OpenSensor(const std::string& connection, const std::vector<std::string>& types, Source* source,
                const std::vector<StreamMode>& modes) {
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
    const StreamMode* mode = nullptr;
    for (const StreamMode& given : modes) mode = given.type == type ? &given : mode;
    if (mode == nullptr) {
      if (!Check(device.AddStream(type.c_str(), type.c_str(), nullptr), "cannot add a " + type + " stream")) return false;
      continue;
    }
    KrVPropertySet values;
    for (const auto& value : mode->values) values.AddProperty(type.c_str(), value.first, value.second);
    const KrStatus added = device.AddStream(type.c_str(), type.c_str(), &values);
    if (added == KR_STATUS_TL_BAD_PROPERTY_VALUE) {
      return Fail(connection + " does not offer " + type + " " + mode->text + "; it offers " +
                  OfferedModes(device, type));
    }
    if (!Check(added, "cannot add a " + type + " stream in mode " + mode->text)) return false;
  }
  return types.empty() || Check(device.OpenAllStreams(), "cannot open the streams of " + connection);
}

bool OpenRecording(const std::string& path, Source* source) {
  source->isFile = true;
  source->name = path;
  return Check(source->device->OpenFileForReading(path.c_str()), "cannot open recording " + path);
}

bool OpenEither(const OptionalText& connection, const OptionalText& file, const std::vector<std::string>& types,
                Source* source) {
  if (connection.given && file.given) return Fail("give either --device or --file, not both");
  if (!NotEmpty(connection, "--device") || !NotEmpty(file, "--file")) return false;
  if (file.given) return OpenRecording(file.value, source);
  return OpenSensor(connection.given ? connection.value : "*:0", types, source);
}

CLI::Option* AddTextOption(CLI::App* app, const std::string& name, OptionalText* option, const std::string& help) {
  return app->add_option_function<std::string>(
      name,
      [option](const std::string& value) {
        option->value = value;
        option->given = true;
      },
      help);
}

bool NotEmpty(const OptionalText& option, const char* name) {
  return !option.given || !option.value.empty() || Fail(std::string(name) + " needs a value; \"\" names nothing");
}

bool StreamNames(KrVDevice& device, std::vector<std::string>* names) {
  // The kit says how many names there are when the list is too short.
  uint32_t count = 0;
  KrStatus status = device.GetStreamNames(nullptr, &count);
  std::vector<const char*> list;
  for (int attempt = 0; attempt < 4 && (status == KR_STATUS_OK || status == KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
       ++attempt) {
    list.assign(count + 1, nullptr);
    count = static_cast<uint32_t>(list.size());
    status = device.GetStreamNames(list.data(), &count);
    if (status == KR_STATUS_OK) break;
  }
  if (!Check(status, "cannot list the streams")) return false;
  names->clear();
  for (uint32_t i = 0; i < count && i < list.size(); ++i) names->emplace_back(list[i]);
  return true;
}

// JSON text of a string.
std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", static_cast<unsigned char>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

// The shortest text that reads back as the same double. JSON has no
// not-a-number or infinity: they are null there.
std::string RealText(double value, bool json) {
  if (json && !std::isfinite(value)) return "null";
  char text[64];
  for (int precision = 6; precision <= 17; ++precision) {
    std::snprintf(text, sizeof(text), "%.*g", precision, value);
    if (std::strtod(text, nullptr) == value) break;
  }
  return text;
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

bool HoldsPixels(const KrVStreamData& frame, size_t bytes, const char* kind) {
  if (frame.Data() != nullptr && frame.GetDataSize() == bytes) return true;
  return Fail(std::string(kind) + " frame " + std::to_string(frame.GetFrameID()) + " holds " +
              std::to_string(frame.GetDataSize()) + " bytes, " + std::to_string(bytes) + " expected");
}

namespace {

// The stream's resolution must be whole numbers a picture can have; a
// recording may hold anything, and the frame object keeps only 16 bits.
bool HasResolution(const KrVPixelStreamData& map, const char* kind) {
  const KrVStream* stream = map.GetStream();
  uint64_t x = 0, y = 0;
  const bool whole = stream != nullptr && stream->GetProperty("XRes", x) == KR_STATUS_OK &&
                     stream->GetProperty("YRes", y) == KR_STATUS_OK;
  if (whole && x > 0 && y > 0 && x <= UINT16_MAX && y <= UINT16_MAX && map.GetXRes() > 0 && map.GetYRes() > 0) {
    return true;
  }
  return Fail(std::string("the ") + kind + " stream has no usable resolution (XRes and YRes must be whole numbers "
              "from 1 to 65535)");
}

bool CopyDepth(const KrVDepthMap& map, DepthCapture* depth) {
  if (!HasResolution(map, "depth")) return false;
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

// The bytes a pixel of each picture format takes, from the format itself:
// the conversions below read this many, whatever "BytesPerPixel" claims.
size_t FormatBytesPerPixel(uint32_t format) {
  switch (format) {
    case KR_OUTPUT_FORMAT_RGB24:
      return 3;
    case KR_OUTPUT_FORMAT_YUV422:
    case KR_OUTPUT_FORMAT_GRAYSCALE16:
      return 2;
    case KR_OUTPUT_FORMAT_GRAYSCALE8:
      return 1;
    default:
      return 0;
  }
}

bool CopyImage(const KrVImageMap& map, ImageCapture* image) {
  image->captured = false;
  if (!HasResolution(map, "image")) return false;
  image->width = map.GetXRes();
  image->height = map.GetYRes();
  image->frameId = map.GetFrameID();
  image->timestamp = map.GetTimestamp();
  const size_t pixels = static_cast<size_t>(image->width) * image->height;
  const size_t bytesPerPixel = FormatBytesPerPixel(map.GetOutputFormat());
  if (bytesPerPixel == 0) {
    return Fail("the image stream's output format " + std::to_string(map.GetOutputFormat()) +
                " cannot be saved as a picture");
  }
  if (!HoldsPixels(map, pixels * bytesPerPixel, "image")) return false;
  image->captured = true;
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

// One read of the whole device. A read of a recording that meets a damaged
// chunk still brings the intact frames of the other streams (they are new);
// *damaged says it met one, *end that the recording ended.
bool ReadOnce(Source& source, bool* end, bool* damaged, int* damagedInARow) {
  const KrStatus status = source.device->Read();
  *end = status == KR_STATUS_TL_END_OF_FILE;
  *damaged = status == KR_STATUS_TL_FILE_CORRUPT && source.isFile;
  if (*damaged) {
    if (++*damagedInARow >= kMaxDamagedInARow) return Check(status, "cannot read from " + source.name);
    std::fprintf(stderr, "ovalith: warning: a damaged frame or chunk of %s was passed over\n", source.name.c_str());
    return true;
  }
  *damagedInARow = 0;
  return *end || Check(status, "cannot read from " + source.name);
}

}  // namespace

bool CaptureFrame(Source& source, uint32_t frameNumber, ImageWish wish, DepthCapture* depth, ImageCapture* image,
                  DepthFiltering* filtering) {
  KrVDevice& device = *source.device;
  const KrVDepthMap* depthMap = device.GetDepthMap();
  const KrVImageMap* imageMap = wish != ImageWish::kNone ? device.GetImageMap() : nullptr;
  if (depthMap == nullptr) return Fail(source.name + " has no depth stream");
  if (wish == ImageWish::kRequired && imageMap == nullptr) return Fail(source.name + " has no image stream");
  uint32_t depthFrames = 0;
  bool haveImage = false, end = false;
  int damagedInARow = 0;
  // A recording plays the frames taken together in one read, so the image
  // of a depth frame is the one of the same read. A sensor's image may come
  // a read later: the first one at or after the depth frame is taken.
  while (!end && (depthFrames < frameNumber || (imageMap != nullptr && !haveImage && !source.isFile))) {
    bool damaged = false;
    if (!ReadOnce(source, &end, &damaged, &damagedInARow)) return false;
    if (end) break;
    const bool depthNew = depthFrames < frameNumber && depthMap->IsDataNew();
    if (damaged && !depthNew && depthFrames < frameNumber) {
      // The damaged frame may have been a depth frame: counting on would
      // hand out a later frame under this number.
      return Fail(source.name + ": a damaged chunk after depth frame " + std::to_string(depthFrames) +
                  " may hold a depth frame, so depth frame " + std::to_string(frameNumber) + " cannot be told");
    }
    const bool takeDepth = depthNew && ++depthFrames == frameNumber;
    if (depthNew && !takeDepth && filtering != nullptr) {  // the filters' history
      DepthCapture earlier;
      if (!CopyDepth(*depthMap, &earlier) || !filtering->Apply(&earlier)) return false;
    }
    const bool imageNew = imageMap != nullptr && imageMap->IsDataNew();
    if (imageNew && (!source.isFile || takeDepth)) {
      if (!CopyImage(*imageMap, image)) return false;
      haveImage = !source.isFile && depthFrames >= frameNumber;
    }
    if (takeDepth) {
      if (!CopyDepth(*depthMap, depth)) return false;
      if (filtering != nullptr && !filtering->Apply(depth)) return false;
      haveImage = image != nullptr && image->captured &&
                  (source.isFile ? imageNew : image->timestamp >= depth->timestamp);
    }
  }
  if (depthFrames < frameNumber) {
    return Fail(source.name + " ends after " + std::to_string(depthFrames) + " depth frames (frame " +
                std::to_string(frameNumber) + " was asked for)");
  }
  if (imageMap != nullptr && !haveImage) {
    const std::string missing = "no image frame was taken with depth frame " + std::to_string(frameNumber) +
                                " of " + source.name + " (damaged or not recorded)";
    if (wish == ImageWish::kRequired) return Fail(missing);
    std::fprintf(stderr, "ovalith: warning: %s\n", missing.c_str());
    image->captured = false;
  }
  return true;
}

bool CaptureDepth(const KrVDepthMap& map, DepthCapture* depth) { return CopyDepth(map, depth); }

bool DepthFiltering::Parse(const std::string& filterText) {
  text = filterText;
  std::string error;
  if (chain.Parse(filterText, &error) == KR_STATUS_OK && !chain.Empty()) return true;
  return Fail("--filter " + filterText + ": " + (error.empty() ? "no filter given" : error));
}

bool DepthFiltering::KeepsSize() {
  KrVDepthImage probe, out;
  probe.width = probe.height = 12;
  probe.pixels.assign(144, 1000);
  const bool same = chain.Apply(probe, out) == KR_STATUS_OK && out.width == probe.width && out.height == probe.height;
  chain.Reset();  // the probe is no frame of the stream
  return same;
}

bool DepthFiltering::Apply(DepthCapture* depth) {
  // The translator's model: centred principal point, square pixels,
  // fx = ZPD / (ZPPS F). Without a calibration the camera stays unknown (0):
  // filters other than decimation need none, and a cloud then refuses.
  KrVDepthImage in, out;
  const KrVRealWorldTranslator* translator = depth->translator.get();
  if (translator != nullptr && translator->GetZPPS() > 0 && translator->GetF() > 0 && translator->GetZPD() > 0) {
    in.fx = in.fy = translator->GetZPD() / (translator->GetZPPS() * translator->GetF());
    in.cx = translator->GetParentXRes() / 2 - translator->GetXOffset();
    in.cy = translator->GetParentYRes() / 2 - translator->GetYOffset();
  }
  in.width = depth->width;
  in.height = depth->height;
  in.pixels.swap(depth->pixels);
  in.noSampleValue = depth->noSampleValue;
  in.shadowValue = depth->shadowValue;
  if (!Check(chain.Apply(in, out), "--filter " + text + ": cannot filter depth frame id " +
                                       std::to_string(depth->frameId))) {
    return false;
  }
  if (out.width > UINT16_MAX || out.height > UINT16_MAX || out.pixels.size() != size_t{out.width} * out.height) {
    return Fail("--filter " + text + ": the filters gave a frame of an unusable size");
  }
  depth->width = static_cast<uint16_t>(out.width);
  depth->height = static_cast<uint16_t>(out.height);
  depth->pixels.swap(out.pixels);
  width = out.width;
  height = out.height;
  fx = out.fx, fy = out.fy, cx = out.cx, cy = out.cy;
  return true;
}

bool CaptureImage(const KrVImageMap& map, ImageCapture* image) { return CopyImage(map, image); }

std::string FrameLabel(uint32_t number, uint32_t id) {
  std::string label = "frame " + std::to_string(number);
  if (id != number) label += " (id " + std::to_string(id) + ")";
  return label;
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
