// KrVAudioBuffer: an audio frame shown as a byte buffer with its sample
// format (channels, sample rate), the buffer's capacity ("RequiredDataSize")
// and the valid bytes at the last re-read. Bound to a stream it points at
// the stream's buffer and follows "SampleRate", "NumOfChannels" and
// "BufferSize".
//
// Ownership: a bound buffer shows the stream's memory. Initialize and Clone
// give the target its own 16-byte-aligned buffer of the source's allocated
// size holding a copy of the source's valid bytes (the rest zeroed); the
// source keeps its samples. The target frees that buffer when it is
// destroyed or initialized again. Copies of a buffer that holds its own
// samples get their own copy of them; other copies share the stream's.
//
// Choices of this implementation:
// - the re-read takes the stream's current "Buffer" first, so the samples
//   follow the stream when its buffer moves;
// - a failed read keeps the previous value of its field;
// - "BufferSize", raised with every frame, re-reads only when its value
//   differs from the valid bytes last read (or the buffer no longer shows
//   the stream's memory as last read); "Buffer", "SampleRate" and
//   "NumOfChannels" re-read whenever raised;
// - KrSampleRate lists the common rates; 48000 is the default.
//
// Threads: as KrVStreamData.
#pragma once

#include <Ovalith/framedata/KrVStreamData.h>

enum KrSampleRate {
  KR_SAMPLE_RATE_8K = 8000,
  KR_SAMPLE_RATE_11K = 11025,
  KR_SAMPLE_RATE_12K = 12000,
  KR_SAMPLE_RATE_16K = 16000,
  KR_SAMPLE_RATE_22K = 22050,
  KR_SAMPLE_RATE_24K = 24000,
  KR_SAMPLE_RATE_32K = 32000,
  KR_SAMPLE_RATE_44K = 44100,
  KR_SAMPLE_RATE_48K = 48000,
};

class KrVAudioBuffer : public KrVStreamData {
 public:
  // Unbound: no data, sizes 0, no channels, 48000 Hz.
  KrVAudioBuffer();
  // Bound to stream; a live buffer also watches "SampleRate",
  // "NumOfChannels" and "BufferSize".
  KrVAudioBuffer(KrVStream* stream, int live, int deferred);
  KrVAudioBuffer(const KrVAudioBuffer& other);
  KrVAudioBuffer& operator=(const KrVAudioBuffer& other);
  ~KrVAudioBuffer() override;

  unsigned char* Data() { return static_cast<unsigned char*>(samples); }
  const unsigned char* Data() const { return static_cast<const unsigned char*>(samples); }
  unsigned char& operator[](int i) { return Data()[i]; }
  const unsigned char& operator[](int i) const { return Data()[i]; }
  // Zeroes the allocated size at the data.
  void Clear();
  unsigned int GetBufferAllocatedSize() const { return allocatedSize; }
  KrSampleRate GetSampleRate() const { return sampleRate; }
  unsigned short GetNumberOfChannels() const { return channels; }
  // The frame's valid bytes, refreshed from "BufferSize" at every data update.
  unsigned int GetBufferSize() const { return GetDataSize(); }
  // Sets the valid bytes that Clone and Initialize copy.
  void SetBufferSize(unsigned int size) { bufferSize = size; }
  // Copies other's current frame into the bound stream.
  KrStatus CopyFrom(const KrVAudioBuffer& other, unsigned long long timestamp);
  // Binds to other's stream, takes its format and a private copy of its
  // samples (see above). 0x20001 when the copy cannot be allocated (nothing
  // changed); KR_STATUS_QM_NOT_INITIALIZED when other is not bound.
  KrStatus Initialize(const KrVAudioBuffer& other);
  // target.Initialize(*this).
  KrStatus Clone(KrVAudioBuffer& target) const;

 protected:
  KrStatus ReadPropertiesFromStream() override;
  bool FrameSizeNeedsReread(unsigned int size) const override;

 private:
  void CopyFields(const KrVAudioBuffer& other);
  void FreeOwnSamples();

  void* samples;               // the audio bytes: the stream's, or ownSamples
  unsigned short channels;     // "NumOfChannels"
  unsigned int allocatedSize;  // capacity in bytes ("RequiredDataSize")
  unsigned int bufferSize;     // valid bytes at the last re-read ("BufferSize")
  KrSampleRate sampleRate;     // "SampleRate"
  void* ownSamples;            // private copy made by Initialize/Clone, or null
};
