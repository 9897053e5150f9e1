// The simulated sensor's sound: 16-bit PCM, interleaved by channel, a pure
// function of the sample index so that every frame id always gives the same
// bytes. The left channel plays 440 Hz, the right 660 Hz (mono: the left
// only); at the start of every second both add a 40 ms beep at 1760 Hz, so
// time can be checked by ear or by test. "LeftChannelVolume" and
// "RightChannelVolume" (0..100) scale the channels.
//
// Frame n (from 1) holds samples [SampleIndex(n - 1), SampleIndex(n)) of
// each channel (SensorModes.h): rates that do not divide by the frame rate
// give frames that differ by one sample, and no sample is lost or repeated.
//
// Stateless apart from a shared constant table; any thread.
#pragma once

#include "StreamSettings.h"

#include <Orvane/OrvaneTypes.h>

#include <cstdint>

namespace tollan {
namespace sensor {

struct AudioParams {
  uint32_t sampleRate = 48000;
  uint32_t channels = 2;
  uint32_t fps = 30;
  uint32_t leftVolume = 100;
  uint32_t rightVolume = 100;
};

AudioParams MakeAudioParams(const StreamSettings& settings);

// Bytes of audio frame frameId.
uint32_t AudioFrameBytes(const AudioParams& params, uint32_t frameId);

// Value of sample index n of a channel (0 left, 1 right) at full volume.
int16_t AudioSample(const AudioParams& params, uint64_t n, uint32_t channel);

// Writes audio frame frameId into out and sets *size to its bytes. A buffer
// smaller than the frame: 0x10007, nothing written.
KrStatus RenderAudio(const AudioParams& params, uint32_t frameId, void* out, uint32_t capacity, uint32_t* size);

}  // namespace sensor
}  // namespace tollan
