// Frame messages of the viewer (layout in ViewFrames.h).
#include "ViewFrames.h"

#include <cstring>

namespace ovalith_view {
namespace {

template <typename T>
void Put(std::vector<uint8_t>* out, size_t offset, T value) {
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

}  // namespace

Message EncodeFrame(FrameKind kind, const KrVStreamData& frame) {
  uint16_t bytesPerUnit = 0, width = 0, height = 0, format = 0;
  uint32_t extra = 0;
  uint16_t noSample = 0, shadow = 0;
  size_t needed = 0;
  if (const auto* pixels = dynamic_cast<const KrVPixelStreamData*>(&frame)) {
    width = pixels->GetXRes();
    height = pixels->GetYRes();
  }
  if (const auto* image = dynamic_cast<const KrVImageMap*>(&frame)) {
    format = static_cast<uint16_t>(image->GetOutputFormat());
    bytesPerUnit = image->GetBytesPerPixel();
  }
  if (const auto* depth = dynamic_cast<const KrVDepthMap*>(&frame)) {
    format = KR_OUTPUT_FORMAT_DEPTH_VALUES;
    bytesPerUnit = 2;
    noSample = depth->GetNoSampleValue();
    shadow = depth->GetShadowValue();
    const float scale = PixelScale(*depth);
    std::memcpy(&extra, &scale, sizeof(extra));
  }
  if (const auto* audio = dynamic_cast<const KrVAudioBuffer*>(&frame)) {
    width = audio->GetNumberOfChannels();
    bytesPerUnit = 2;
    format = KR_OUTPUT_FORMAT_PCM;
    extra = static_cast<uint32_t>(audio->GetSampleRate());
  }
  needed = size_t{width} * height * bytesPerUnit;
  if (kind == FrameKind::kAudio) needed = 0;
  const size_t size = frame.Data() == nullptr ? 0 : frame.GetDataSize();
  if (size < needed || (needed == 0 && kind != FrameKind::kAudio)) return nullptr;
  const size_t payload = needed != 0 ? needed : size;
  auto message = std::make_shared<std::vector<uint8_t>>(kFrameHeaderSize + payload);
  std::memcpy(message->data(), "OVF1", 4);
  Put(message.get(), 4, static_cast<uint8_t>(kind));
  Put(message.get(), 5, static_cast<uint8_t>(format));
  Put(message.get(), 6, bytesPerUnit);
  Put(message.get(), 8, width);
  Put(message.get(), 10, height);
  Put(message.get(), 12, static_cast<uint32_t>(frame.GetFrameID()));
  Put(message.get(), 16, static_cast<uint64_t>(frame.GetTimestamp()));
  Put(message.get(), 24, noSample);
  Put(message.get(), 26, shadow);
  Put(message.get(), 28, extra);
  if (payload != 0) std::memcpy(message->data() + kFrameHeaderSize, frame.Data(), payload);
  return message;
}

}  // namespace ovalith_view
