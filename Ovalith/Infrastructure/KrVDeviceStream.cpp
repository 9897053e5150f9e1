// The device's per-stream module: the frame fields of one stream.
#include <Ovalith/Infrastructure/KrVDeviceStream.h>

#include <Orvane/OrvaneOS.h>
#include <Ovalith/properties/KrVCheckInternal.h>

#include <algorithm>
#include <cstring>
#include <string>

namespace {

// Private frame buffers are aligned like every other engine buffer.
constexpr size_t kBufferAlignment = 16;

// "InternalKrVDevice.<stream>", cut to the kit's name length.
std::string ModuleName(const KrStreamData* record) {
  std::string name = "InternalKrVDevice.";
  name.append(record->strStreamName, strnlen(record->strStreamName, KR_MAX_NAME_LENGTH));
  name.resize(std::min<size_t>(name.size(), KR_MAX_NAME_LENGTH - 1));
  return name;
}

// The "Buffer" value: the address itself, sizeof(void*) bytes.
KrGeneralBuffer AddressValue(void*& address) { return KrGeneralBuffer{&address, static_cast<uint32_t>(sizeof(void*))}; }

}  // namespace

KrVDeviceStream::KrVDeviceStream(KrStreamData* record, uint32_t size)
    : KrDeviceModule(ModuleName(record).c_str()),
      timestampProperty("Timestamp", 0, record->strStreamName),
      frameIdProperty("FrameId", 0, record->strStreamName),
      isNewProperty("IsNew", 0, record->strStreamName),
      bufferSizeProperty("BufferSize", 0, record->strStreamName),
      bufferProperty("Buffer", &bufferAddress, static_cast<uint32_t>(sizeof(void*)), record->strStreamName),
      frameObject(nullptr),
      streamData(record),
      bufferAddress(record->pData),
      requiredSize(size),
      privateBuffer(nullptr) {}

KrVDeviceStream::~KrVDeviceStream() { krOSFreeAligned(privateBuffer); }

KrStatus KrVDeviceStream::Init() {
  KRV_RETURN_IF_FAILED(KrDeviceModule::Init());
  KrProperty* properties[] = {&timestampProperty, &frameIdProperty, &isNewProperty, &bufferSizeProperty,
                              &bufferProperty};
  KRV_RETURN_IF_FAILED(AddProperties(properties, static_cast<uint32_t>(sizeof(properties) / sizeof(properties[0]))));
  if (requiredSize > 0) {
    KRV_RETURN_IF_FAILED(AllocatePrivateBuffer(requiredSize));
  }
  return KR_STATUS_OK;
}

KrStatus KrVDeviceStream::AllocatePrivateBuffer(uint32_t size) {
  void* buffer = krOSCallocAligned(size, 1, kBufferAlignment);
  if (buffer == nullptr) {
    return KR_STATUS_OS_ALLOC_FAILED;
  }
  if (privateBuffer != nullptr) {
    krOSMemCopy(buffer, privateBuffer, std::min(size, requiredSize));
  }
  // The new buffer is in place before "Buffer" announces it: a handler of
  // that change may ask for the capacity again, and must find it held.
  void* const old = privateBuffer;
  const uint32_t oldSize = requiredSize;
  privateBuffer = buffer;
  requiredSize = size;
  void* address = buffer;
  const KrStatus status = bufferProperty.UnsafeUpdateValue(AddressValue(address));
  if (status != KR_STATUS_OK) {
    privateBuffer = old;
    requiredSize = oldSize;
    krOSFreeAligned(buffer);
    return status;
  }
  // Whoever still wraps the old buffer heard of the new "Buffer" above (the
  // device re-wraps its own frame object right after).
  krOSFreeAligned(old);
  return KR_STATUS_OK;
}

KrStatus KrVDeviceStream::PublishAddress(void* address) {
  if (bufferAddress == address) {
    return KR_STATUS_OK;
  }
  return bufferProperty.UnsafeUpdateValue(AddressValue(address));
}

KrStatus KrVDeviceStream::Reserve(uint32_t size, bool* moved) {
  *moved = false;
  const void* before = bufferAddress;
  if (privateBuffer != nullptr) {
    if (size > requiredSize) {
      KRV_RETURN_IF_FAILED(AllocatePrivateBuffer(size));
    }
  } else {
    KRV_RETURN_IF_FAILED(KrStreamDataReserve(streamData, size));
    KRV_RETURN_IF_FAILED(PublishAddress(streamData->pData));
  }
  *moved = bufferAddress != before;
  return KR_STATUS_OK;
}

KrStatus KrVDeviceStream::PublishRecord() {
  const KrStreamData& record = *streamData;
  // Four plain stores, each followed by its handlers: these integer
  // properties cannot refuse a value.
  timestampProperty.Publish(record.nTimestamp);
  frameIdProperty.Publish(static_cast<uint64_t>(record.nFrameID));
  isNewProperty.Publish(static_cast<uint64_t>(static_cast<int64_t>(record.bIsNew)));
  bufferSizeProperty.Publish(static_cast<uint64_t>(record.nDataSize));
  if (privateBuffer == nullptr) {
    return PublishAddress(record.pData);
  }
  if (record.bIsNew == 0 || record.nDataSize == 0 || record.pData == nullptr) {
    return KR_STATUS_OK;
  }
  // The kit moves a record to a larger buffer when the stream's frames grow;
  // the private buffer grows with it rather than overflow.
  if (record.nDataSize > requiredSize) {
    KRV_RETURN_IF_FAILED(AllocatePrivateBuffer(record.nDataSize));
  }
  krOSMemCopy(privateBuffer, record.pData, record.nDataSize);
  return KR_STATUS_OK;
}

KrStatus KrVDeviceStream::WriteBackToRecord() {
  KrStreamData& record = *streamData;
  const uint32_t size = static_cast<uint32_t>(bufferSizeProperty.GetValue());
  const bool copyFrame = privateBuffer != nullptr && isNewProperty.GetValue() != 0;
  if (copyFrame && size > requiredSize) {
    return KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;  // more than the private buffer holds
  }
  if (copyFrame && size > 0) {
    // The record's own buffer was sized for the stream as it was when the
    // record was made; a frame of the current geometry may need more.
    KRV_RETURN_IF_FAILED(KrStreamDataReserve(&record, size));
  }
  record.nTimestamp = timestampProperty.GetValue();
  record.nFrameID = static_cast<uint32_t>(frameIdProperty.GetValue());
  record.bIsNew = static_cast<int32_t>(isNewProperty.GetValue());
  record.nDataSize = size;
  if (copyFrame && size > 0 && record.pData != nullptr) {
    krOSMemCopy(record.pData, privateBuffer, size);
  }
  return KR_STATUS_OK;
}
