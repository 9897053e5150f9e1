// Frame messages of the viewer (layout in ViewFrames.h).
#include "ViewFrames.h"

#include <cstring>

namespace ovalith_view {
namespace {

template <typename T>
void Put(Bytes* out, size_t offset, T value) {
  // The machine is little-endian (x86-64), as the message is.
  std::memcpy(out->data() + offset, &value, sizeof(value));
}

// World millimetres covered by one pixel column at a depth of 1 mm.
float PixelScale(const KrVDepthMap& depth) {
  const KrVRealWorldTranslator* translator = depth.GetRealWorldTranslator();
  if (translator == nullptr) return 0;
  KrVPoint left(0, 0, 1000), right(1, 0, 1000);
  translator->Projective2RW(left);
  translator->Projective2RW(right);
  return static_cast<float>((right.X() - left.X()) / 1000.0);
}

struct Header {
  FrameKind kind;
  uint16_t format = 0, bytesPerUnit = 0, width = 0, height = 0;
  uint32_t frameId = 0;
  uint64_t timestamp = 0;
  uint16_t noSample = 0, shadow = 0;
  uint32_t extra = 0;
  GridCamera camera;
};

// A message of the header and payload bytes (zero).
std::shared_ptr<Bytes> NewMessage(const Header& h, size_t payload) {
  auto message = std::make_shared<Bytes>(kFrameHeaderSize + payload);
  std::memcpy(message->data(), "OVF2", 4);
  Put(message.get(), 4, static_cast<uint8_t>(h.kind));
  Put(message.get(), 5, static_cast<uint8_t>(h.format));
  Put(message.get(), 6, h.bytesPerUnit);
  Put(message.get(), 8, h.width);
  Put(message.get(), 10, h.height);
  Put(message.get(), 12, h.frameId);
  Put(message.get(), 16, h.timestamp);
  Put(message.get(), 24, h.noSample);
  Put(message.get(), 26, h.shadow);
  Put(message.get(), 28, h.extra);
  Put(message.get(), 32, h.camera.fx);
  Put(message.get(), 36, h.camera.fy);
  Put(message.get(), 40, h.camera.cx);
  Put(message.get(), 44, h.camera.cy);
  return message;
}

uint32_t FloatBits(float value) {
  uint32_t bits = 0;
  std::memcpy(&bits, &value, sizeof(bits));
  return bits;
}

}  // namespace

Message EncodeFrame(FrameKind kind, const KrVStreamData& frame, const GridCamera& camera) {
  Header h;
  h.kind = kind;
  size_t needed = 0;
  if (const auto* pixels = dynamic_cast<const KrVPixelStreamData*>(&frame)) {
    h.width = pixels->GetXRes();
    h.height = pixels->GetYRes();
  }
  if (const auto* image = dynamic_cast<const KrVImageMap*>(&frame)) {
    h.format = static_cast<uint16_t>(image->GetOutputFormat());
    h.bytesPerUnit = image->GetBytesPerPixel();
  }
  if (const auto* depth = dynamic_cast<const KrVDepthMap*>(&frame)) {
    h.format = KR_OUTPUT_FORMAT_DEPTH_VALUES;
    h.bytesPerUnit = 2;
    h.noSample = depth->GetNoSampleValue();
    h.shadow = depth->GetShadowValue();
    h.extra = FloatBits(PixelScale(*depth));
    h.camera = camera;
  }
  if (const auto* audio = dynamic_cast<const KrVAudioBuffer*>(&frame)) {
    h.width = audio->GetNumberOfChannels();
    h.bytesPerUnit = 2;
    h.format = KR_OUTPUT_FORMAT_PCM;
    h.extra = static_cast<uint32_t>(audio->GetSampleRate());
  }
  needed = size_t{h.width} * h.height * h.bytesPerUnit;
  if (kind == FrameKind::kAudio) needed = 0;
  const size_t size = frame.Data() == nullptr ? 0 : frame.GetDataSize();
  if (size < needed || (needed == 0 && kind != FrameKind::kAudio)) return nullptr;
  const size_t payload = needed != 0 ? needed : size;
  h.frameId = static_cast<uint32_t>(frame.GetFrameID());
  h.timestamp = static_cast<uint64_t>(frame.GetTimestamp());
  auto message = NewMessage(h, payload);
  if (payload != 0) std::memcpy(message->data() + kFrameHeaderSize, frame.Data(), payload);
  return message;
}

Message EncodeDepth(const KrVDepthImage& depth, uint32_t frameId, uint64_t timestamp) {
  const size_t count = size_t{depth.width} * depth.height;
  if (count == 0 || depth.pixels.size() < count || depth.width > UINT16_MAX || depth.height > UINT16_MAX) {
    return nullptr;
  }
  Header h;
  h.kind = FrameKind::kDepth;
  h.format = KR_OUTPUT_FORMAT_DEPTH_VALUES;
  h.bytesPerUnit = 2;
  h.width = static_cast<uint16_t>(depth.width);
  h.height = static_cast<uint16_t>(depth.height);
  h.frameId = frameId;
  h.timestamp = timestamp;
  h.noSample = depth.noSampleValue;
  h.shadow = depth.shadowValue;
  h.extra = FloatBits(depth.fx > 0 ? static_cast<float>(1 / depth.fx) : 0.0f);
  h.camera = {static_cast<float>(depth.fx), static_cast<float>(depth.fy), static_cast<float>(depth.cx),
              static_cast<float>(depth.cy)};
  auto message = NewMessage(h, count * 2);
  std::memcpy(message->data() + kFrameHeaderSize, depth.pixels.data(), count * 2);
  return message;
}

std::shared_ptr<Bytes> NewColours(uint16_t width, uint16_t height, uint32_t frameId, uint64_t timestamp,
                                                 const GridCamera& camera) {
  Header h;
  h.kind = FrameKind::kColours;
  h.format = KR_OUTPUT_FORMAT_RGB24;
  h.bytesPerUnit = 3;
  h.width = width;
  h.height = height;
  h.frameId = frameId;
  h.timestamp = timestamp;
  h.camera = camera;
  return NewMessage(h, size_t{width} * height * 3);
}

}  // namespace ovalith_view
