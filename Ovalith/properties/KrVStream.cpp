#include <Ovalith/properties/KrVStream.h>

#include <Orvane/OrvaneOS.h>
#include <Ovalith/properties/KrVCheckInternal.h>

KrVStream::~KrVStream() = default;

KrStatus KrVStream::GetBuffer(void*& buffer) const {
  const KrGeneralBuffer value = {&buffer, static_cast<uint32_t>(sizeof(void*))};
  return GetProperty("Buffer", value);
}

KrStatus KrVStream::GetSize(const char* property, uint32_t& size) const {
  uint64_t value = 0;
  KRV_RETURN_IF_FAILED(GetProperty(property, value));
  size = static_cast<uint32_t>(value);
  return KR_STATUS_OK;
}

KrStatus KrVStream::GetBufferSize(uint32_t& size) const { return GetSize("BufferSize", size); }

KrStatus KrVStream::GetBufferAllocatedSize(uint32_t& size) const { return GetSize("RequiredDataSize", size); }

KrStatus KrVStream::CopyFrom(const KrVStream& source, uint64_t timestamp) {
  uint32_t size = 0;
  KRV_RETURN_IF_FAILED(source.GetBufferSize(size));
  void* data = nullptr;
  KRV_RETURN_IF_FAILED(source.GetBuffer(data));
  if (timestamp == 0) {
    uint64_t sourceTimestamp = 0;
    if (source.GetProperty("Timestamp", sourceTimestamp) == KR_STATUS_OK) {
      timestamp = sourceTimestamp;
    }
  }
  return CopyFrom(data, size, timestamp);
}

KrStatus KrVStream::CopyFrom(const void* data, uint32_t size, uint64_t timestamp) {
  uint32_t capacity = 0;
  KRV_RETURN_IF_FAILED(GetBufferAllocatedSize(capacity));
  if (size > capacity) {
    return KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;
  }
  void* destination = nullptr;
  KRV_RETURN_IF_FAILED(GetBuffer(destination));
  if (size > 0 && (data == nullptr || destination == nullptr)) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  // A stream copied onto itself shares one buffer; krOSMemCopy copes with
  // the overlap.
  krOSMemCopy(destination, data, size);
  KRV_RETURN_IF_FAILED(SetProperty("BufferSize", static_cast<uint64_t>(size)));
  KRV_RETURN_IF_FAILED(SetProperty("Timestamp", timestamp));
  return SetProperty("IsNew", static_cast<uint64_t>(1));
}
