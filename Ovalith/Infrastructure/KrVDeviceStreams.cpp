// Device streams: mirroring the kit's streams (per-stream modules, records
// and frame objects), the stream set, reading, writing, seeking.
#include <Ovalith/Infrastructure/KrVDevice.h>

#include <Orvane/OrvaneOS.h>
#include <Ovalith/Infrastructure/KrVDeviceStream.h>
#include <Ovalith/framedata/KrVAudioBuffer.h>
#include <Ovalith/framedata/KrVDepthMap.h>
#include <Ovalith/framedata/KrVImageMap.h>
#include <Ovalith/properties/KrVCheckInternal.h>
#include <Ovalith/properties/KrVPropertySet.h>
#include <Ovalith/properties/KrVStream.h>

#include <cstring>
#include <new>

namespace {

// Supported stream types asked for by IsStreamSupported.
constexpr uint32_t kMaxSupportedStreams = 100;

bool IsType(const char* type, const char* wanted) { return std::strcmp(type, wanted) == 0; }

// Frame objects follow their stream live; a device opened for writing makes
// them re-read at once instead of at the next read (there is no next read).
template <typename Frame>
Frame* MakeFrame(KrVStream& stream, int deferred) {
  return new (std::nothrow) Frame(&stream, 1, deferred);
}

}  // namespace

// ---- mirroring ----

// Mirroring changes the frame objects, so it waits for a client callback
// that is reading them.
void KrVDevice::OnStreamAdded(const char* streamName) {
  std::lock_guard<std::recursive_mutex> guard(frameMutex);
  if (publishing > 0 && streamName != nullptr) {
    deferredStreamChanges.emplace_back(streamName, true);
    return;
  }
  AddStreamToDevice(streamName);
}

void KrVDevice::OnStreamRemoved(const char* streamName) {
  std::lock_guard<std::recursive_mutex> guard(frameMutex);
  // A handler running inside the publishing may remove the very stream
  // being published; its module and frame object live until it is done.
  if (publishing > 0 && streamName != nullptr) {
    deferredStreamChanges.emplace_back(streamName, false);
    return;
  }
  RemoveStreamFromDevice(streamName);
}

void KrVDevice::ApplyDeferredStreamChanges() {
  while (!deferredStreamChanges.empty()) {
    const std::pair<std::string, bool> change = deferredStreamChanges.front();
    deferredStreamChanges.erase(deferredStreamChanges.begin());
    if (change.second) {
      AddStreamToDevice(change.first.c_str());
    } else {
      RemoveStreamFromDevice(change.first.c_str());
    }
  }
}

KrStatus KrVDevice::DiscardRecord(KrStreamData* record) {
  // A record the set still holds is destroyed with the set's members at
  // close; destroying it now would leave the set pointing at freed memory.
  KRV_RETURN_IF_FAILED(KrStreamDataSetRemove(streamDataSet, record));
  const KrStatus destroyed = KrDeviceProxyDestroyStreamData(&record);
  if (destroyed != KR_STATUS_OK) {
    KrStreamDataSetAdd(streamDataSet, record);
  }
  return destroyed;
}

void KrVDevice::ForgetFrameObject(const KrVStreamData* frame) {
  if (frame == nullptr) {
    return;
  }
  if (depthMap == frame) {
    depthMap = nullptr;
  }
  if (imageMap == frame) {
    imageMap = nullptr;
  }
  if (irMap == frame) {
    irMap = nullptr;
  }
  if (audioBuffer == frame) {
    audioBuffer = nullptr;
  }
}

KrStatus KrVDevice::MakeFrameObject(const char* streamName, const char* type, KrVStreamData** made) {
  KrVStream stream;
  KRV_RETURN_IF_FAILED(stream.Attach(this, streamName));
  const int deferred = writeMode != 0 ? 0 : 1;
  // The first stream of each known type gets the typed object and its
  // device field; any other stream a plain frame object.
  KrVStreamData* frame = nullptr;
  if (IsType(type, "Depth") && depthMap == nullptr) {
    frame = depthMap = MakeFrame<KrVDepthMap>(stream, deferred);
  } else if (IsType(type, "Image") && imageMap == nullptr) {
    frame = imageMap = MakeFrame<KrVImageMap>(stream, deferred);
  } else if (IsType(type, "IR") && irMap == nullptr) {
    frame = irMap = MakeFrame<KrVImageMap>(stream, deferred);
  } else if (IsType(type, "Audio") && audioBuffer == nullptr) {
    frame = audioBuffer = MakeFrame<KrVAudioBuffer>(stream, deferred);
  } else {
    frame = MakeFrame<KrVStreamData>(stream, deferred);
  }
  if (frame == nullptr) {
    return KR_STATUS_OS_ALLOC_FAILED;
  }
  *made = frame;
  return KR_STATUS_OK;
}

KrStreamData* KrVDevice::DropStreamEntry(const char* streamName) {
  const auto found = streams.find(streamName);
  if (found == streams.end()) {
    return nullptr;
  }
  KrVDeviceStream* stream = found->second;
  // The frame object unsubscribes through the per-stream module, so it goes
  // while the module is still in the map.
  KrVStreamData* frame = stream->GetFrameObject();
  ForgetFrameObject(frame);
  delete frame;
  KrStreamData* record = stream->GetStreamData();
  streams.erase(found);
  delete stream;
  return record;
}

KrStatus KrVDevice::AddStreamToDevice(const char* streamName) {
  if (streamName == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  char type[KR_MAX_NAME_LENGTH] = {};
  KRV_RETURN_IF_FAILED(KrDeviceProxyGetStringProperty(deviceHandle, streamName, "Type", type));
  uint32_t privateSize = 0;
  if (compatibility != 0) {
    uint64_t required = 0;
    KRV_RETURN_IF_FAILED(KrDeviceProxyGetIntProperty(deviceHandle, streamName, "RequiredDataSize", &required));
    privateSize = static_cast<uint32_t>(required);
  }

  KrStreamData* record = nullptr;
  KRV_RETURN_IF_FAILED(KrDeviceProxyCreateStreamData(deviceHandle, streamName, &record));
  KrStatus status = KrStreamDataSetAdd(streamDataSet, record);
  if (status != KR_STATUS_OK) {
    KrDeviceProxyDestroyStreamData(&record);
    return status;
  }

  KrVDeviceStream* stream = new (std::nothrow) KrVDeviceStream(record, privateSize);
  status = stream != nullptr ? stream->Init() : KR_STATUS_OS_ALLOC_FAILED;
  if (status == KR_STATUS_OK) {
    // A name reported again replaces the stream mirrored before; the old
    // record leaves the set first, so a failure keeps the old stream whole.
    const KrVDeviceStream* old = FindStream(streamName);
    if (old != nullptr) {
      status = DiscardRecord(old->GetStreamData());
      if (status == KR_STATUS_OK) {
        DropStreamEntry(streamName);
      }
    }
  }
  if (status == KR_STATUS_OK) {
    try {
      streams.emplace(streamName, stream);
    } catch (const std::bad_alloc&) {
      status = KR_STATUS_OS_ALLOC_FAILED;
    }
  }
  if (status != KR_STATUS_OK) {
    delete stream;
    DiscardRecord(record);
    return status;
  }

  KrVStreamData* frame = nullptr;
  status = MakeFrameObject(streamName, type, &frame);
  if (status != KR_STATUS_OK) {
    streams.erase(streamName);
    delete stream;
    DiscardRecord(record);
    return status;
  }
  stream->SetFrameObject(frame);
  return KR_STATUS_OK;
}

KrStatus KrVDevice::RemoveStreamFromDevice(const char* streamName) {
  if (streamName == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  if (FindStream(streamName) == nullptr) {
    return KR_STATUS_OS_NOT_FOUND;  // nothing mirrored under that name
  }
  return DiscardRecord(DropStreamEntry(streamName));
}

// ---- the stream set ----

KrStatus KrVDevice::GetSupportedStreams(const char** names, uint32_t* count) {
  return Record(KrDeviceProxyGetSupportedStreams(deviceHandle, names, count));
}

KrStatus KrVDevice::IsStreamSupported(const char* name, int* supported) {
  if (supported == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  *supported = 0;
  const char* names[kMaxSupportedStreams] = {};
  uint32_t count = kMaxSupportedStreams;
  KRV_RETURN_IF_FAILED(Record(KrDeviceProxyGetSupportedStreams(deviceHandle, names, &count)));
  for (uint32_t i = 0; i < count && i < kMaxSupportedStreams; ++i) {
    if (name != nullptr && names[i] != nullptr && std::strcmp(names[i], name) == 0) {
      *supported = 1;
      break;
    }
  }
  return Record(KR_STATUS_OK);
}

KrStatus KrVDevice::GetStreamNames(const char** names, uint32_t* count) {
  return Record(KrDeviceProxyGetStreamNames(deviceHandle, names, count));
}

KrStatus KrVDevice::AddStream(const char* type, const char* name, const KrVPropertySet* initialValues) {
  const KrPropertySetHandle values = initialValues != nullptr ? initialValues->GetHandle() : nullptr;
  return Record(KrDeviceProxyCreateStream(deviceHandle, type, name, values));
}

KrStatus KrVDevice::AddStream(const char* /*name*/) { return Record(KR_STATUS_QM_UNSUPPORTED_FUNCTIONALITY); }

KrStatus KrVDevice::AddStream(const char* /*name*/, const KrVStream& /*stream*/) {
  return Record(KR_STATUS_QM_UNSUPPORTED_FUNCTIONALITY);
}

KrStatus KrVDevice::RemoveStream(const char* name) { return Record(KrDeviceProxyDestroyStream(deviceHandle, name)); }

KrStatus KrVDevice::OpenStream(const char* name) { return Record(KrDeviceProxyOpenStream(deviceHandle, name)); }

KrStatus KrVDevice::CloseStream(const char* name) { return Record(KrDeviceProxyCloseStream(deviceHandle, name)); }

KrStatus KrVDevice::OpenAllStreams() { return Record(KrDeviceProxyOpenAllStreams(deviceHandle)); }

KrStatus KrVDevice::CloseAllStreams() { return Record(KrDeviceProxyCloseAllStreams(deviceHandle)); }

KrStatus KrVDevice::FindStreamOfType(const char* type, KrVStream& stream) {
  if (type == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  stream.Detach();
  uint32_t count = 0;
  const KrStatus counted = KrDeviceProxyGetStreamNames(deviceHandle, nullptr, &count);
  if (counted != KR_STATUS_OK && counted != KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW) {
    return Record(counted);
  }
  if (count == 0) {
    return Record(KR_STATUS_OS_NOT_FOUND);
  }
  const char** names = static_cast<const char**>(krOSCalloc(count, sizeof(const char*)));
  if (names == nullptr) {
    return KR_STATUS_OS_ALLOC_FAILED;
  }
  KrStatus status = Record(KrDeviceProxyGetStreamNames(deviceHandle, names, &count));
  for (uint32_t i = 0; status == KR_STATUS_OK && i < count; ++i) {
    char streamType[KR_MAX_NAME_LENGTH] = {};
    status = GetProperty(names[i], "Type", streamType);
    if (status == KR_STATUS_OK && std::strcmp(streamType, type) == 0) {
      status = Record(stream.Attach(this, names[i]));
      krOSFree(names);
      return status;
    }
  }
  krOSFree(names);
  return status != KR_STATUS_OK ? status : Record(KR_STATUS_OS_NOT_FOUND);
}

KrStatus KrVDevice::GetStream(const char* name, KrVStream& stream) { return Record(stream.Attach(this, name)); }

KrStatus KrVDevice::GetStreamData(const char* name, KrVStreamData*& data) {
  if (name == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  const KrVDeviceStream* stream = FindStream(name);
  if (stream == nullptr) {
    return Record(KR_STATUS_OS_NOT_FOUND);
  }
  data = stream->GetFrameObject();
  return Record(KR_STATUS_OK);
}

KrStatus KrVDevice::HoldFrameBuffer(const char* name, KrBufferHold* hold) {
  if (name == nullptr || hold == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  const KrVDeviceStream* stream = FindStream(name);
  if (stream == nullptr) {
    return Record(KR_STATUS_OS_NOT_FOUND);
  }
  if (compatibility != 0) {
    return Record(KR_STATUS_TL_NOT_SUPPORTED);
  }
  return Record(KrStreamDataHoldBuffer(stream->GetStreamData(), hold));
}

// ---- reading ----

KrStatus KrVDevice::UpdateStream(KrVDeviceStream& stream) {
  // Handlers of the frame fields run inside PublishRecord, before the frame
  // object hears of the new frame.
  KRV_RETURN_IF_FAILED(stream.PublishRecord());
  TellFrameObject(stream);
  return KR_STATUS_OK;
}

void KrVDevice::TellFrameObject(KrVDeviceStream& stream) {
  KrVStreamData* frame = stream.GetFrameObject();
  if (frame == nullptr) {
    return;
  }
  // The lookup by name would land on this very module: the map holds one
  // module per name and the frame object goes with it. A frame object bound
  // elsewhere (Initialize) keeps its own stream's fields.
  const KrVStream* handle = frame->GetStream();
  const char* bound = handle != nullptr ? handle->GetName() : nullptr;
  if (bound != nullptr && handle->GetCreator() == this && std::strcmp(bound, stream.GetStreamName()) == 0) {
    frame->UnderlyingStreamUpdated(stream.GetFrameFields());
  } else {
    frame->UnderlyingStreamUpdated();
  }
}

KrStatus KrVDevice::UpdateAllStreams() {
  ++publishing;
  KrStatus status = KR_STATUS_OK;
  for (const auto& entry : streams) {
    status = UpdateStream(*entry.second);
    if (status != KR_STATUS_OK) {
      break;
    }
  }
  if (--publishing == 0) {
    ApplyDeferredStreamChanges();
  }
  return status;
}

KrStatus KrVDevice::Read() {
  // Holds the frame lock; the client callbacks run when it ends.
  ReadScope36 scope(*this, nullptr);
  const KrStatus status = KrDeviceProxyRead(deviceHandle, streamDataSet);
  // The records are published even after a failed read, so the properties
  // show what the kit left in them.
  const KrStatus updated = UpdateAllStreams();
  return scope.Published(Record(status != KR_STATUS_OK ? status : updated), nullptr);
}

KrStatus KrVDevice::Read(const char* name) {
  if (name == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  ReadScope36 scope(*this, name);
  KrVDeviceStream* stream = FindStream(name);
  if (stream == nullptr) {
    return Record(KR_STATUS_OS_NOT_FOUND);
  }
  const KrStatus status = KrDeviceProxyReadStream(deviceHandle, stream->GetStreamData());
  // The frame object is taken before the deferred changes, which may remove the stream.
  const KrVStreamData* frame = stream->GetFrameObject();
  ++publishing;
  const KrStatus updated = UpdateStream(*stream);
  if (--publishing == 0) {
    ApplyDeferredStreamChanges();
  }
  return scope.Published(Record(updated != KR_STATUS_OK ? updated : status), frame);
}

KrStatus KrVDevice::Read(const KrVStream& stream) {
  if (stream.GetName() == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  return Record(Read(stream.GetName()));
}

// ---- writing ----

KrStatus KrVDevice::Write() {
  std::lock_guard<std::recursive_mutex> guard(frameMutex);
  for (const auto& entry : streams) {
    KRV_RETURN_IF_FAILED(Record(entry.second->WriteBackToRecord()));
  }
  return Record(KrDeviceProxyWrite(deviceHandle, streamDataSet));
}

KrStatus KrVDevice::Write(const char* name) {
  if (name == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  std::lock_guard<std::recursive_mutex> guard(frameMutex);
  KrVDeviceStream* stream = FindStream(name);
  if (stream == nullptr) {
    return Record(KR_STATUS_OS_NOT_FOUND);
  }
  KRV_RETURN_IF_FAILED(Record(stream->WriteBackToRecord()));
  return Record(KrDeviceProxyWriteStream(deviceHandle, stream->GetStreamData()));
}

KrStatus KrVDevice::Write(KrVStream& stream) {
  if (stream.GetName() == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  std::lock_guard<std::recursive_mutex> guard(frameMutex);
  return Record(compatibility == 0 ? Write(stream.GetName()) : Write36(stream));
}

KrStatus KrVDevice::Write36(KrVStream& stream) {
  KrVStream target;
  KRV_RETURN_IF_FAILED(target.Attach(this, stream.GetName()));
  // Timestamp 0 keeps the source frame's time stamp.
  return target.CopyFrom(stream, 0);
}

// ---- position in a recording ----

KrStatus KrVDevice::TellTime(uint64_t* time) { return Record(KrDeviceProxyTell(deviceHandle, time)); }

KrStatus KrVDevice::SeekTime(uint64_t time) { return Record(KrDeviceProxySeek(deviceHandle, time)); }

KrStatus KrVDevice::TellFrame(uint32_t* frame) { return Record(KrDeviceProxyTellFrame(deviceHandle, frame)); }

KrStatus KrVDevice::SeekFrame(uint32_t frame) { return Record(KrDeviceProxySeekFrame(deviceHandle, frame)); }
