#include <Ovalith/framedata/KrVStreamData.h>

#include <Ovalith/Infrastructure/KrVStatus.h>
#include <Ovalith/properties/KrVCheckInternal.h>
#include <Tollan/TollanModule.h>

#include <cstring>
#include <new>

// One subscription: the property's name (the caller's text) and the cookie
// the device gave for it.
struct KrVStreamData::WatchedProperty {
  const char* property;
  void* cookie;
  WatchedProperty* next;
};

KrVStreamData::KrVStreamData(KrVStream* boundStream, int isLive, int isDeferred)
    : live(isLive),
      deferred(isDeferred),
      watched(nullptr),
      watchedLast(nullptr),
      propertiesChanged(0),
      sizeChanged(0),
      stream(nullptr),
      valid(0),
      dataNew(0),
      timestamp(0),
      frameId(0),
      data(nullptr),
      dataSize(0),
      capacity(0) {
  if (boundStream == nullptr) {
    return;
  }
  stream = new (std::nothrow) KrVStream(*boundStream);
  if (stream == nullptr) {
    return;  // stays unbound
  }
  valid = 1;
  if (live != 0) {
    AddWatchedProperty("Buffer");
  }
  KrVStreamData::ReadPropertiesFromStream();
}

KrVStreamData::KrVStreamData(const KrVStreamData& other)
    : KrVModulePropertyChangedHandler(other),
      live(0),
      deferred(0),
      watched(nullptr),
      watchedLast(nullptr),
      propertiesChanged(0),
      sizeChanged(0),
      stream(nullptr),
      valid(0),
      dataNew(0),
      timestamp(0),
      frameId(0),
      data(nullptr),
      dataSize(0),
      capacity(0) {
  CopyBinding(other);
}

KrVStreamData& KrVStreamData::operator=(const KrVStreamData& other) {
  if (this != &other) {
    ReleaseBinding();
    CopyBinding(other);
  }
  return *this;
}

KrVStreamData::~KrVStreamData() { ReleaseBinding(); }

void KrVStreamData::CopyBinding(const KrVStreamData& other) {
  live = other.live;
  deferred = other.deferred;
  propertiesChanged = other.propertiesChanged;
  sizeChanged = other.sizeChanged;
  valid = other.valid;
  dataNew = other.dataNew;
  timestamp = other.timestamp;
  frameId = other.frameId;
  data = other.data;
  dataSize = other.dataSize;
  capacity = other.capacity;
  if (other.stream == nullptr) {
    return;
  }
  stream = new (std::nothrow) KrVStream(*other.stream);
  if (stream == nullptr) {
    valid = 0;  // without a handle the copy cannot reach the stream
    return;
  }
  SubscribeAll(other.watched);
}

void KrVStreamData::SubscribeAll(const WatchedProperty* first) {
  for (const WatchedProperty* entry = first; entry != nullptr; entry = entry->next) {
    Subscribe(entry->property);
  }
}

void KrVStreamData::UnsubscribeAll() {
  if (stream == nullptr) {
    return;
  }
  for (WatchedProperty* entry = watched; entry != nullptr; entry = entry->next) {
    stream->UnregisterFromPropertyChangedEvent(entry->property, entry->cookie);
  }
}

void KrVStreamData::FreeWatchList() {
  while (watched != nullptr) {
    WatchedProperty* next = watched->next;
    delete watched;
    watched = next;
  }
  watchedLast = nullptr;
}

void KrVStreamData::ReleaseBinding() {
  UnsubscribeAll();
  FreeWatchList();
  delete stream;
  stream = nullptr;
}

KrVStreamContainer* KrVStreamData::GetCreator() const { return stream != nullptr ? stream->GetCreator() : nullptr; }

KrStatus KrVStreamData::AddWatchedProperty(const char* property) {
  if (valid == 0 || stream == nullptr) {
    return KR_STATUS_QM_ERROR;
  }
  return Subscribe(property);
}

// Copies and re-binding subscribe again whatever the validity: an object
// made invalid by its derived class (an unreachable buffer) still watches.
KrStatus KrVStreamData::Subscribe(const char* property) {
  auto* entry = new (std::nothrow) WatchedProperty{property, nullptr, nullptr};
  if (entry == nullptr) {
    return KR_STATUS_OS_ALLOC_FAILED;
  }
  // Entry first: a subscription that could not be recorded could never be
  // cancelled.
  const KrStatus status = stream->RegisterForPropertyChangedEvent(property, this, entry->cookie);
  if (status != KR_STATUS_OK) {
    delete entry;
    return status;
  }
  if (watchedLast == nullptr) {
    watched = entry;
  } else {
    watchedLast->next = entry;
  }
  watchedLast = entry;
  return KR_STATUS_OK;
}

void KrVStreamData::OnModulePropertyChanged(const char* /*module*/, const char* property) {
  if (deferred != 0) {
    // "BufferSize" comes with every frame, mostly unchanged: marked apart,
    // so that the update can tell whether it asks for anything.
    if (property != nullptr && std::strcmp(property, "BufferSize") == 0) {
      sizeChanged = 1;
    } else {
      propertiesChanged = 1;
    }
    return;
  }
  ReadPropertiesFromStream();
}

KrStatus KrVStreamData::ReadPropertiesFromStream() {
  if (stream == nullptr) {
    return KR_STATUS_QM_ERROR;
  }
  return stream->GetBuffer(data);
}

KrStatus KrVStreamData::ReadBufferCapacity() {
  capacity = 0;
  if (stream == nullptr) {
    return KR_STATUS_QM_ERROR;
  }
  // The capacity first: a device makes the buffer hold it before it
  // answers, which may move "Buffer", so the address is read again after it.
  uint32_t held = 0;
  KRV_RETURN_IF_FAILED(stream->GetBufferAllocatedSize(held));
  KRV_RETURN_IF_FAILED(stream->GetBuffer(data));
  capacity = data != nullptr ? held : 0;
  return KR_STATUS_OK;
}

namespace {

// Reads an integer frame field; a failed read keeps the previous value.
template <typename Field>
void ReadField(const KrVStream& stream, const char* property, Field& field) {
  uint64_t value = 0;
  if (stream.GetProperty(property, value) == KR_STATUS_OK) {
    field = static_cast<Field>(value);
  }
}

}  // namespace

bool KrVStreamData::FrameSizeNeedsReread(unsigned int /*size*/) const { return true; }

KrStatus KrVStreamData::RereadIfChanged(const uint64_t* size) {
  if (deferred == 0) {
    return KR_STATUS_OK;
  }
  const bool asked = propertiesChanged != 0 ||
                     (sizeChanged != 0 && (size == nullptr || FrameSizeNeedsReread(static_cast<unsigned int>(*size))));
  if (asked) {
    KRV_RETURN_IF_FAILED(ReadPropertiesFromStream());
    propertiesChanged = 0;
  }
  sizeChanged = 0;
  return KR_STATUS_OK;
}

KrStatus KrVStreamData::UnderlyingStreamUpdated() {
  if (valid == 0 || stream == nullptr) {
    return KR_STATUS_QM_ERROR;
  }
  KRV_RETURN_IF_FAILED(RereadIfChanged(nullptr));
  ReadField(*stream, "Timestamp", timestamp);
  ReadField(*stream, "FrameId", frameId);
  ReadField(*stream, "IsNew", dataNew);
  ReadField(*stream, "BufferSize", dataSize);
  return KR_STATUS_OK;
}

KrStatus KrVStreamData::UnderlyingStreamUpdated(const FrameFieldProperties& fields) {
  if (valid == 0 || stream == nullptr) {
    return KR_STATUS_QM_ERROR;
  }
  const uint64_t size = fields.bufferSize->GetValue();
  KRV_RETURN_IF_FAILED(RereadIfChanged(&size));
  // Read after the re-read, as the lookups by name would: the re-read may
  // move the buffer, and the handlers of that change may write the fields.
  timestamp = static_cast<unsigned long long>(fields.timestamp->GetValue());
  frameId = static_cast<unsigned int>(fields.frameId->GetValue());
  dataNew = static_cast<int>(fields.isNew->GetValue());
  dataSize = static_cast<unsigned int>(fields.bufferSize->GetValue());
  return KR_STATUS_OK;
}

namespace {

// The setters' shared rule: a live object writes the stream first and keeps
// its field when that fails.
template <typename Field, typename Value>
KrStatus SetField(int live, KrVStream* stream, const char* property, uint64_t streamValue, Field& field, Value value) {
  if (live != 0) {
    if (stream == nullptr) {
      return KR_STATUS_QM_ERROR;
    }
    KRV_RETURN_IF_FAILED(stream->SetProperty(property, streamValue));
  }
  field = value;
  return KR_STATUS_OK;
}

}  // namespace

KrStatus KrVStreamData::SetTimestamp(unsigned long long value) {
  return SetField(live, stream, "Timestamp", value, timestamp, value);
}

KrStatus KrVStreamData::SetFrameID(unsigned int value) {
  return SetField(live, stream, "FrameId", value, frameId, value);
}

KrStatus KrVStreamData::SetDataSize(unsigned int value) {
  return SetField(live, stream, "BufferSize", value, dataSize, value);
}

KrStatus KrVStreamData::SetDataNew(int value) {
  // Sign-extended: -1 reaches the stream as all 64 bits set.
  const auto extended = static_cast<uint64_t>(static_cast<int64_t>(value));
  return SetField(live, stream, "IsNew", extended, dataNew, value);
}

KrStatus KrVStreamData::CopyFrom(const void* buffer, unsigned int size, unsigned long long frameTimestamp) {
  if (valid == 0 || stream == nullptr) {
    return KR_STATUS_QM_ERROR;
  }
  return stream->CopyFrom(buffer, size, frameTimestamp);
}

KrStatus KrVStreamData::CopyFrom(const KrVStreamData& other, unsigned long long frameTimestamp) {
  if (frameTimestamp == 0) {
    frameTimestamp = other.timestamp;
  }
  return CopyFrom(other.data, other.dataSize, frameTimestamp);
}

KrStatus KrVStreamData::Initialize(const KrVStreamData& other) {
  if (other.valid == 0 || other.stream == nullptr) {
    return KR_STATUS_QM_NOT_INITIALIZED;
  }
  if (this == &other) {
    return KR_STATUS_OK;
  }
  KrVStream* handle = stream;
  if (handle == nullptr) {
    handle = new (std::nothrow) KrVStream();
    if (handle == nullptr) {
      return KR_STATUS_OS_ALLOC_FAILED;
    }
  }
  // The watched properties move to the new stream: cancel them on the old
  // handle, re-bind, and subscribe again on the new one.
  UnsubscribeAll();
  WatchedProperty* previous = watched;
  watched = nullptr;
  watchedLast = nullptr;
  *handle = *other.stream;
  stream = handle;
  valid = 1;
  dataNew = other.dataNew;
  timestamp = other.timestamp;
  frameId = other.frameId;
  SubscribeAll(previous);
  while (previous != nullptr) {
    WatchedProperty* next = previous->next;
    delete previous;
    previous = next;
  }
  return KR_STATUS_OK;
}
