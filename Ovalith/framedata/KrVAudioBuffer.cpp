#include <Ovalith/framedata/KrVAudioBuffer.h>

#include <Orvane/OrvaneOS.h>
#include <Ovalith/properties/KrVCheckInternal.h>

namespace {

constexpr size_t kAlignment = 16;

// A private sample buffer of allocatedSize bytes holding validSize bytes of
// source and zeros after them; null when it cannot be allocated.
void* CopySamples(const void* source, unsigned int validSize, unsigned int allocatedSize) {
  void* copy = krOSCallocAligned(allocatedSize, 1, kAlignment);
  if (copy != nullptr) {
    krOSMemCopy(copy, source, validSize < allocatedSize ? validSize : allocatedSize);
  }
  return copy;
}

}  // namespace

KrVAudioBuffer::KrVAudioBuffer()
    : KrVStreamData(nullptr, 0, 0),
      samples(nullptr),
      channels(0),
      allocatedSize(0),
      bufferSize(0),
      sampleRate(KR_SAMPLE_RATE_48K),
      ownSamples(nullptr) {}

KrVAudioBuffer::KrVAudioBuffer(KrVStream* boundStream, int isLive, int isDeferred)
    : KrVStreamData(boundStream, isLive, isDeferred),
      samples(nullptr),
      channels(0),
      allocatedSize(0),
      bufferSize(0),
      sampleRate(KR_SAMPLE_RATE_48K),
      ownSamples(nullptr) {
  if (isLive != 0) {
    AddWatchedProperty("SampleRate");
    AddWatchedProperty("NumOfChannels");
    AddWatchedProperty("BufferSize");
  }
  KrVAudioBuffer::ReadPropertiesFromStream();
  // Valid only with a stream behind it: an unbound buffer has nothing to copy into.
  SetValidity(GetStream() != nullptr ? 1 : 0);
}

KrVAudioBuffer::KrVAudioBuffer(const KrVAudioBuffer& other) : KrVStreamData(other), ownSamples(nullptr) {
  CopyFields(other);
}

KrVAudioBuffer& KrVAudioBuffer::operator=(const KrVAudioBuffer& other) {
  if (this != &other) {
    KrVStreamData::operator=(other);
    FreeOwnSamples();
    CopyFields(other);
  }
  return *this;
}

KrVAudioBuffer::~KrVAudioBuffer() { FreeOwnSamples(); }

void KrVAudioBuffer::FreeOwnSamples() {
  krOSFreeAligned(ownSamples);
  ownSamples = nullptr;
}

// ownSamples is null on entry.
void KrVAudioBuffer::CopyFields(const KrVAudioBuffer& other) {
  samples = other.samples;
  channels = other.channels;
  allocatedSize = other.allocatedSize;
  bufferSize = other.bufferSize;
  sampleRate = other.sampleRate;
  if (other.ownSamples != nullptr && other.samples == other.ownSamples) {
    ownSamples = CopySamples(other.ownSamples, other.allocatedSize, other.allocatedSize);
    samples = ownSamples;
    if (ownSamples == nullptr) {
      allocatedSize = 0;  // no memory for the copy: an empty buffer
      bufferSize = 0;
    }
  }
}

KrStatus KrVAudioBuffer::ReadPropertiesFromStream() {
  // The stream's buffer can move (a larger frame); take its current address
  // and the capacity read with it, so Clear stays inside the buffer held.
  KrVStreamData::ReadPropertiesFromStream();
  const KrVStream* source = GetStream();
  if (source == nullptr) {
    return KR_STATUS_OK;
  }
  ReadBufferCapacity();
  samples = KrVStreamData::Data();
  allocatedSize = BufferCapacity();
  if (source->GetBufferSize(bufferSize) != KR_STATUS_OK) {
    return KR_STATUS_OK;
  }
  uint64_t value = 0;
  if (source->GetProperty("SampleRate", value) != KR_STATUS_OK) {
    return KR_STATUS_OK;
  }
  sampleRate = static_cast<KrSampleRate>(static_cast<uint32_t>(value));
  value = 0;
  if (source->GetProperty("NumOfChannels", value) == KR_STATUS_OK) {
    channels = static_cast<unsigned short>(value);
  }
  return KR_STATUS_OK;
}

// The re-read would take the same buffer, capacity and valid bytes; the
// format follows its own notifications.
bool KrVAudioBuffer::FrameSizeNeedsReread(unsigned int size) const {
  return size != bufferSize || samples != KrVStreamData::Data() || allocatedSize != BufferCapacity();
}

void KrVAudioBuffer::Clear() {
  if (samples != nullptr) {
    krOSMemSet(samples, 0, allocatedSize);
  }
}

KrStatus KrVAudioBuffer::CopyFrom(const KrVAudioBuffer& other, unsigned long long frameTimestamp) {
  return KrVStreamData::CopyFrom(other, frameTimestamp);
}

KrStatus KrVAudioBuffer::Initialize(const KrVAudioBuffer& other) {
  if (this == &other) {
    return KR_STATUS_OK;
  }
  if (other.IsValid() == 0 || other.GetStream() == nullptr) {
    return KR_STATUS_QM_NOT_INITIALIZED;
  }
  void* copy = nullptr;
  if (other.allocatedSize > 0) {
    copy = CopySamples(other.samples, other.samples != nullptr ? other.bufferSize : 0, other.allocatedSize);
    if (copy == nullptr) {
      return KR_STATUS_OS_ALLOC_FAILED;
    }
  }
  const KrStatus status = KrVStreamData::Initialize(other);
  if (status != KR_STATUS_OK) {
    krOSFreeAligned(copy);
    return status;
  }
  FreeOwnSamples();
  ownSamples = copy;
  samples = copy;
  channels = other.channels;
  allocatedSize = other.allocatedSize;
  bufferSize = other.bufferSize;
  sampleRate = other.sampleRate;
  SetValidity(1);
  return KR_STATUS_OK;
}

KrStatus KrVAudioBuffer::Clone(KrVAudioBuffer& target) const { return target.Initialize(*this); }
