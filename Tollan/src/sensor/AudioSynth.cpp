#include "AudioSynth.h"

#include <cmath>
#include <cstring>

namespace tollan {
namespace sensor {
namespace {

constexpr uint32_t kWaveSize = 4096;
constexpr uint32_t kLeftHz = 440, kRightHz = 660, kBeepHz = 1760;
constexpr int32_t kToneLevel = 8000, kBeepLevel = 4000;

// One period of a sine at full scale, built once.
const int16_t* SineTable() {
  static const struct Table {
    int16_t values[kWaveSize];
    Table() {
      for (uint32_t i = 0; i < kWaveSize; ++i) {
        values[i] = static_cast<int16_t>(std::lround(32767.0 * std::sin(2.0 * 3.14159265358979323846 * i / kWaveSize)));
      }
    }
  } table;
  return table.values;
}

// sin(2 pi f n / rate) at full scale, from exact integer phase.
int32_t Tone(uint64_t n, uint32_t hz, uint32_t rate) {
  const uint64_t phase = (n * hz) % rate;
  return SineTable()[phase * kWaveSize / rate];
}

}  // namespace

AudioParams MakeAudioParams(const StreamSettings& s) {
  AudioParams p;
  p.sampleRate = s.SampleRate();
  p.channels = s.Channels();
  p.fps = s.Fps();
  p.leftVolume = s.LeftVolume();
  p.rightVolume = s.RightVolume();
  return p;
}

uint32_t AudioFrameBytes(const AudioParams& p, uint32_t frameId) {
  if (frameId == 0) return 0;
  const uint64_t samples = SampleIndex(frameId, p.sampleRate, p.fps) - SampleIndex(frameId - 1, p.sampleRate, p.fps);
  return static_cast<uint32_t>(samples * p.channels * sizeof(int16_t));
}

int16_t AudioSample(const AudioParams& p, uint64_t n, uint32_t channel) {
  if (p.sampleRate == 0) return 0;
  int32_t value = kToneLevel * Tone(n, channel == 0 ? kLeftHz : kRightHz, p.sampleRate) / 32767;
  if (n % p.sampleRate < p.sampleRate / 25) value += kBeepLevel * Tone(n, kBeepHz, p.sampleRate) / 32767;
  return static_cast<int16_t>(value);
}

KrStatus RenderAudio(const AudioParams& p, uint32_t frameId, void* out, uint32_t capacity, uint32_t* size) {
  if (size == nullptr || (out == nullptr && capacity != 0)) return KR_STATUS_OS_NULL_POINTER;
  const uint32_t bytes = AudioFrameBytes(p, frameId);
  if (capacity < bytes) return KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;
  const uint64_t first = frameId == 0 ? 0 : SampleIndex(frameId - 1, p.sampleRate, p.fps);
  const uint64_t count = bytes / sizeof(int16_t) / (p.channels ? p.channels : 1);
  const int32_t volume[2] = {static_cast<int32_t>(p.leftVolume), static_cast<int32_t>(p.rightVolume)};
  uint8_t* dst = static_cast<uint8_t*>(out);
  for (uint64_t i = 0; i < count; ++i) {
    for (uint32_t ch = 0; ch < p.channels; ++ch, dst += sizeof(int16_t)) {
      const int16_t s = static_cast<int16_t>(AudioSample(p, first + i, ch) * volume[ch & 1] / 100);
      std::memcpy(dst, &s, sizeof(s));
    }
  }
  *size = bytes;
  return KR_STATUS_OK;
}

}  // namespace sensor
}  // namespace tollan
