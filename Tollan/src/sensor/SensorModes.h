// The modes the simulated sensor offers: stream kinds, resolutions, frame
// rates per resolution, output formats per stream kind and audio sample
// rates. Every answer comes from a table of rows in SensorModes.cpp; adding a
// mode is adding a row.
//
// Pure functions over constant tables; any thread.
#pragma once

#include <cstdint>

namespace tollan {
namespace sensor {

// The four stream types of the sensor, in the order of their bits below.
enum class StreamKind : uint8_t { kDepth = 0, kImage = 1, kIR = 2, kAudio = 3 };

// Bit masks of stream kinds, used by the tables to say which kinds a row
// applies to.
constexpr uint8_t kDepthBit = 1;
constexpr uint8_t kImageBit = 2;
constexpr uint8_t kIRBit = 4;
constexpr uint8_t kAudioBit = 8;
constexpr uint8_t kPixelBits = kDepthBit | kImageBit | kIRBit;
constexpr uint8_t kAllStreamBits = kPixelBits | kAudioBit;

constexpr uint8_t KindBit(StreamKind kind) { return static_cast<uint8_t>(1u << static_cast<unsigned>(kind)); }

// "Depth", "Image", "IR" or "Audio".
const char* StreamKindName(StreamKind kind);
// The kind of a stream type text (exact match); false for other texts.
bool StreamKindFromName(const char* type, StreamKind* kind);

// "Resolution" codes and the sizes they stand for.
struct Resolution {
  uint32_t code;
  uint32_t xRes;
  uint32_t yRes;
};
const Resolution* FindResolution(uint32_t code);        // null when unknown
const Resolution* FindResolutionByXRes(uint32_t xRes);  // null when no code has it
const Resolution* FindResolutionByYRes(uint32_t yRes);

// Whether a stream of this kind offers the resolution at any rate, and the
// rate at that resolution. Audio has no resolution: its rates are offered
// whatever code is passed.
bool IsResolutionOffered(StreamKind kind, uint32_t resolution);
bool IsFpsOffered(StreamKind kind, uint32_t resolution, uint32_t fps);

// Output formats (KrOutputFormats codes) a stream kind offers.
bool IsFormatOffered(StreamKind kind, uint32_t outputFormat);
// The output format a stream of the kind has until it is set.
uint32_t DefaultOutputFormat(StreamKind kind);
// Bytes per pixel of a pixel format (per sample for PCM); 0 when unknown.
uint32_t BytesPerPixel(uint32_t outputFormat);

bool IsSampleRateOffered(uint32_t sampleRate);

// Audio frames hold the samples of one frame period: frame n (from 1) holds
// samples [SampleIndex(n - 1), SampleIndex(n)) of each channel, so frames of
// rates that do not divide evenly differ by one sample and none is lost.
uint64_t SampleIndex(uint64_t frames, uint32_t sampleRate, uint32_t fps);
// The largest number of samples per channel that one frame can hold.
uint32_t MaxSamplesPerFrame(uint32_t sampleRate, uint32_t fps);

// Time stamp in microseconds of frame id (from 1) at fps, measured from the
// moment the stream opened, plus offsetUs. Without high resolution the time
// is cut to whole milliseconds (still counted in microseconds).
uint64_t FrameTimestamp(uint32_t frameId, uint32_t fps, uint64_t offsetUs, bool highResolution);

}  // namespace sensor
}  // namespace tollan
