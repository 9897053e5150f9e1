// The device recorder: a write device that repeats the source's streams,
// property changes and frames (KrVDeviceRecorder.h).
#include <Ovalith/Infrastructure/KrVDeviceRecorder.h>

#include <Orvane/OrvaneLog.h>
#include <Orvane/OrvaneOS.h>
#include <Orvane/OrvaneStatus.h>
#include <Ovalith/properties/KrVCheckInternal.h>
#include <Ovalith/properties/KrVPropertySet.h>
#include <Ovalith/properties/KrVStream.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <tuple>

namespace {

constexpr const char* kLogMask = "QMCore";
constexpr const char* kLogSource = "Infrastructure/KrVDeviceRecorder";

// The recorder's log sites keep fixed line numbers, so that log filters and
// support scripts written against earlier releases keep matching them.
constexpr int kLineNoPropertyInfo = 506;
constexpr int kLineUnknownType = 558;
constexpr int kLineChangeFailed = 563;
constexpr int kLineAddFailed = 576;
constexpr int kLineRemoveFailed = 589;

// Stream names asked of the source when recording all of its streams.
constexpr uint32_t kMaxStreams = 100;

using Lock = std::lock_guard<std::recursive_mutex>;

// An unregistration that fails because the source's kit device is gone
// (the source was closed, perhaps created anew, or the kit shut down): the
// registration went with that device, so it counts as cancelled.
bool RegistrationGone(KrStatus status) {
  return status == KR_STATUS_OS_NULL_POINTER || status == KR_STATUS_TL_BAD_HANDLE ||
         status == KR_STATUS_TL_BAD_REGISTRATION;
}

// A failure the event path reports and drops.
void LogFailure(int line, const char* format, KrStatus status) {
  krLogWrite(kLogMask, KR_LOG_SEVERITY_WARNING, kLogSource, line, format, krGetStatusString(status));
}

}  // namespace

KrVDeviceRecorder::KrVDeviceRecorder(KrVDevice* sourceDevice, const char* name)
    : source(sourceDevice),
      writeDevice(nullptr),
      recordNewStreams(0),
      writeError(0),
      streamsRegistration(nullptr),
      stopping(false) {
  fileName[0] = '\0';
  if (name != nullptr) {
    std::strncpy(fileName, name, sizeof(fileName) - 1);
    fileName[sizeof(fileName) - 1] = '\0';
  }
}

KrVDeviceRecorder::~KrVDeviceRecorder() {
  // A recording still running is stopped, so that the source never calls
  // into a destroyed recorder and the file gets its index.
  if (IsRecordingOrRegistered() && StopRecording() != KR_STATUS_OK) {
    Abandon();
  }
  for (KrVStream* stream : recordedStreams) {
    delete stream;
  }
}

std::string KrVDeviceRecorder::Key(const char* module, const char* property) {
  std::string key(module);
  key.push_back('\0');
  key.append(property);
  return key;
}

KrVDevice* KrVDeviceRecorder::GetWriteDevice() const {
  Lock lock(lock_);
  return writeDevice;
}

bool KrVDeviceRecorder::IsRecordingOrRegistered() const {
  Lock lock(lock_);
  if (writeDevice != nullptr || streamsRegistration != nullptr || !recordedStreams.empty()) {
    return true;
  }
  return std::any_of(propertyMap.begin(), propertyMap.end(),
                     [](const PropertyMap::value_type& entry) { return entry.second.registration != nullptr; });
}

// ---- starting and stopping ----

KrStatus KrVDeviceRecorder::StartRecording(int recordAllStreams) {
  if (source == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  {
    Lock lock(lock_);
    if (writeDevice != nullptr) {
      return KR_STATUS_OS_ERROR;  // already recording
    }
    recordNewStreams = recordAllStreams;
    writeFailure.clear();
    writeError = 0;
  }
  KrVPropertySet deviceProperties;
  KRV_RETURN_IF_FAILED(source->GetAllProperties(deviceProperties, 1, nullptr));
  KrVDevice* device = new (std::nothrow) KrVDevice(0);
  if (device == nullptr) {
    return KR_STATUS_OS_ALLOC_FAILED;
  }
  const KrStatus opened = device->OpenFileForWriting(fileName, deviceProperties);
  if (opened != KR_STATUS_OK) {
    delete device;
    return opened;
  }

  KrStatus status = KR_STATUS_OK;
  {
    Lock lock(lock_);
    writeDevice = device;
    status = RegisterForAllProps(deviceProperties);
    if (status == KR_STATUS_OK) {
      // Held while registering, so an event raised at once sees the handle.
      status = source->RegisterForStreamCollectionChangedEvent(this, streamsRegistration);
    }
  }
  if (status == KR_STATUS_OK && recordAllStreams != 0) {
    const char* names[kMaxStreams] = {};
    uint32_t count = kMaxStreams;
    status = source->GetStreamNames(names, &count);
    for (uint32_t i = 0; status == KR_STATUS_OK && i < count && i < kMaxStreams; ++i) {
      Lock lock(lock_);
      // A stream the source added since the registration above is already
      // recorded by its event.
      const bool recorded = std::any_of(recordedStreams.begin(), recordedStreams.end(),
                                        [&](const KrVStream* s) { return std::strcmp(s->GetName(), names[i]) == 0; });
      if (!recorded) {
        status = AddStreamLocked(names[i]);
      }
    }
  }
  if (status != KR_STATUS_OK) {
    // A failed start leaves nothing behind: no registration on the source
    // and no write device.
    if (StopRecording() != KR_STATUS_OK) {
      Abandon();
    }
  }
  return status;
}

KrStatus KrVDeviceRecorder::StopRecording() {
  if (!IsRecordingOrRegistered()) {
    return KR_STATUS_OK;  // nothing to stop
  }
  {
    Lock lock(lock_);
    stopping = true;
  }
  const KrStatus status = StopSteps();
  Lock lock(lock_);
  stopping = false;
  return status;
}

KrStatus KrVDeviceRecorder::StopSteps() {
  // No registration is cancelled with lock_ held: the source waits for a
  // callback of it that is running, and that callback waits for lock_.
  void* registration = nullptr;
  {
    Lock lock(lock_);
    registration = streamsRegistration;
  }
  if (registration != nullptr) {
    const KrStatus status = source->UnregisterFromStreamCollectionChangedEvent(registration);
    if (status != KR_STATUS_OK && !RegistrationGone(status)) {
      return status;
    }
    Lock lock(lock_);
    streamsRegistration = nullptr;
  }
  // The streams end with the file: nothing is written for them here, so a
  // full disk cannot keep the recording from stopping.
  {
    Lock lock(lock_);
    for (KrVStream* stream : recordedStreams) {
      delete stream;
    }
    recordedStreams.clear();
  }
  // Whatever is still watched: the device-level properties, the remains of
  // a stream whose recording failed half-way, a module the source no longer
  // lists. The map holds every registration, so nothing is asked of the
  // source (which may be closed already); the map is left empty, ready for
  // a restart.
  KRV_RETURN_IF_FAILED(CancelRegistrations(nullptr, true));

  Lock lock(lock_);
  KrStatus closed = KR_STATUS_OK;
  if (writeDevice != nullptr) {
    // Queued frames first, so that a frame lost there is told apart from
    // the index: after the flush the close has only the index to write.
    const KrStatus flushed = writeDevice->SetProperty("Device", "Flush", uint64_t{1});
    if (flushed != KR_STATUS_OK) {
      NoteWriteFailure();
    }
    // A close that could not finish the file (its index) is reported, but
    // the file device is gone all the same: the recorder lets go of it.
    errno = 0;
    closed = writeDevice->Close();
    if (closed != KR_STATUS_OK) {
      writeError = errno;  // the file device leaves the reason of its index there
      writeFailure = flushed != KR_STATUS_OK ? writeFailure + " and the index" : std::string("the index");
    }
    delete writeDevice;
    writeDevice = nullptr;
    if (closed == KR_STATUS_OK) {
      closed = flushed;
    }
  }
  lastWritten.clear();
  return closed;
}

void KrVDeviceRecorder::NoteWriteFailure() {
  char text[KR_MAX_NAME_LENGTH] = {};
  uint64_t error = 0;
  writeFailure = writeDevice->GetProperty("Device", "WriteFailure", text) == KR_STATUS_OK ? text : "";
  writeError = writeDevice->GetProperty("Device", "WriteError", error) == KR_STATUS_OK ? int(error) : 0;
}

KrStatus KrVDeviceRecorder::Flush(int durable) {
  Lock lock(lock_);
  if (writeDevice == nullptr) {
    return KR_STATUS_QM_NOT_INITIALIZED;
  }
  const KrStatus status = writeDevice->SetProperty("Device", "Flush", uint64_t{durable != 0 ? 2u : 1u});
  if (status != KR_STATUS_OK) {
    NoteWriteFailure();
  }
  return status;
}

const char* KrVDeviceRecorder::GetWriteFailure() const {
  Lock lock(lock_);
  return writeFailure.c_str();
}

int KrVDeviceRecorder::GetWriteError() const {
  Lock lock(lock_);
  return writeError;
}

void KrVDeviceRecorder::Abandon() {
  void* registration = nullptr;
  {
    Lock lock(lock_);
    registration = streamsRegistration;
    streamsRegistration = nullptr;
  }
  if (registration != nullptr && source != nullptr) {
    source->UnregisterFromStreamCollectionChangedEvent(registration);
  }
  std::vector<std::tuple<std::string, std::string, void*>> registrations;
  {
    Lock lock(lock_);
    for (auto& entry : propertyMap) {
      if (entry.second.registration != nullptr) {
        registrations.emplace_back(entry.second.module, entry.second.property, entry.second.registration);
        entry.second.registration = nullptr;
      }
    }
  }
  for (const auto& r : registrations) {
    source->UnregisterFromPropertyChangedEvent(std::get<0>(r).c_str(), std::get<1>(r).c_str(), std::get<2>(r));
  }
  Lock lock(lock_);
  propertyMap.clear();
  for (KrVStream* stream : recordedStreams) {
    delete stream;
  }
  recordedStreams.clear();
  lastWritten.clear();
  // The device's destructor closes the file (with its index) as far as it
  // can.
  delete writeDevice;
  writeDevice = nullptr;
}

// ---- streams ----

KrStatus KrVDeviceRecorder::AddStream(const char* streamName) {
  if (streamName == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  Lock lock(lock_);
  if (writeDevice == nullptr) {
    return KR_STATUS_QM_NOT_INITIALIZED;  // not recording
  }
  return AddStreamLocked(streamName);
}

KrStatus KrVDeviceRecorder::AddStreamLocked(const char* streamName) {
  char type[KR_MAX_NAME_LENGTH] = {};
  KRV_RETURN_IF_FAILED(source->GetProperty(streamName, "Type", type));
  KrVPropertySet properties;
  KRV_RETURN_IF_FAILED(source->GetAllProperties(properties, streamName));
  // The stream is created in the file with the source's current values.
  KRV_RETURN_IF_FAILED(writeDevice->AddStream(type, streamName, &properties));
  // The write device mirrors the new stream on the kit's event, which has no
  // way to report a failure; a stream it could not mirror would be left out
  // of every write without a word.
  KrVStreamData* mirrored = nullptr;
  KRV_RETURN_IF_FAILED(writeDevice->GetStreamData(streamName, mirrored));
  KRV_RETURN_IF_FAILED(RegisterForAllProps(properties));
  KrVStream* stream = new (std::nothrow) KrVStream();
  if (stream == nullptr) {
    return KR_STATUS_OS_ALLOC_FAILED;
  }
  const KrStatus attached = stream->Attach(source, streamName);
  if (attached != KR_STATUS_OK) {
    delete stream;
    return attached;
  }
  try {
    recordedStreams.push_back(stream);
  } catch (const std::bad_alloc&) {
    delete stream;
    return KR_STATUS_OS_ALLOC_FAILED;
  }
  return KR_STATUS_OK;
}

KrStatus KrVDeviceRecorder::RemoveStream(const char* streamName) {
  if (streamName == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  {
    Lock lock(lock_);
    if (writeDevice == nullptr) {
      return KR_STATUS_QM_NOT_INITIALIZED;
    }
    KRV_RETURN_IF_FAILED(writeDevice->RemoveStream(streamName));
    const auto found = std::find_if(recordedStreams.begin(), recordedStreams.end(),
                                    [&](const KrVStream* s) { return std::strcmp(s->GetName(), streamName) == 0; });
    if (found != recordedStreams.end()) {
      delete *found;
      recordedStreams.erase(found);
    }
    lastWritten.erase(streamName);
  }
  // The registrations made for the stream are found in the map rather than
  // through the source: a stream the source removed no longer lists its
  // properties, and its registrations must go all the same.
  return CancelRegistrations(streamName, true);
}

// ---- property registrations ----

KrStatus KrVDeviceRecorder::RegisterForAllProps(KrVPropertySet& set) {
  KrVPropertySetEnumerator enumerator(set, nullptr);
  for (;;) {
    bool end = false;
    KRV_RETURN_IF_FAILED(enumerator.MoveNext(&end));
    if (end) {
      return KR_STATUS_OK;
    }
    KrPropertyType type = KR_PROPERTY_TYPE_INTEGER;
    const char* module = nullptr;
    const char* property = nullptr;
    KRV_RETURN_IF_FAILED(enumerator.GetCurrentPropertyInfo(&type, &module, &property));
    uint32_t size = 0;
    if (type == KR_PROPERTY_TYPE_GENERAL) {
      KrGeneralBuffer value = {nullptr, 0};
      KRV_RETURN_IF_FAILED(enumerator.GetCurrentGeneralValue(&value));
      size = value.nDataSize;
    }
    std::string key = Key(module, property);
    try {
      if (propertyMap.count(key) != 0) {
        return KR_STATUS_OS_ERROR;  // already watched
      }
      propertyMap.emplace(key, PropertyEntry{module, property, static_cast<uint32_t>(type), size, nullptr});
    } catch (const std::bad_alloc&) {
      return KR_STATUS_OS_ALLOC_FAILED;
    }
    const auto entry = propertyMap.find(key);
    if (entry == propertyMap.end()) {
      return KR_STATUS_OS_NOT_FOUND;
    }
    KRV_RETURN_IF_FAILED(source->RegisterForPropertyChangedEvent(module, property, this, entry->second.registration));
  }
}

KrStatus KrVDeviceRecorder::CancelRegistrations(const char* module, bool erase) {
  std::vector<std::string> keys;
  {
    Lock lock(lock_);
    for (const auto& entry : propertyMap) {
      if (module == nullptr || entry.second.module == module) {
        keys.push_back(entry.first);
      }
    }
  }
  return CancelKeys(keys, erase);
}

KrStatus KrVDeviceRecorder::CancelKeys(const std::vector<std::string>& keys, bool erase) {
  struct Pending {
    const std::string* key;
    std::string module;
    std::string property;
    void* registration;
  };
  std::vector<Pending> pending;
  {
    // Entries leave the watched state before their registration goes, so a
    // change raised meanwhile is dropped quietly instead of repeated.
    Lock lock(lock_);
    for (const std::string& key : keys) {
      const auto found = propertyMap.find(key);
      if (found != propertyMap.end() && found->second.registration != nullptr) {
        pending.push_back(Pending{&key, found->second.module, found->second.property, found->second.registration});
        found->second.registration = nullptr;
      }
    }
  }
  for (size_t i = 0; i < pending.size(); ++i) {
    const KrStatus status = source->UnregisterFromPropertyChangedEvent(
        pending[i].module.c_str(), pending[i].property.c_str(), pending[i].registration);
    if (status != KR_STATUS_OK && !RegistrationGone(status)) {
      Lock lock(lock_);
      for (size_t j = i; j < pending.size(); ++j) {
        const auto found = propertyMap.find(*pending[j].key);
        if (found != propertyMap.end()) {
          found->second.registration = pending[j].registration;
        }
      }
      return status;
    }
  }
  if (erase) {
    Lock lock(lock_);
    for (const std::string& key : keys) {
      const auto found = propertyMap.find(key);
      if (found != propertyMap.end() && found->second.registration == nullptr) {
        propertyMap.erase(found);
      }
    }
  }
  return KR_STATUS_OK;
}

// ---- frames ----

KrStatus KrVDeviceRecorder::WriteData() {
  Lock lock(lock_);
  if (writeDevice == nullptr) {
    return KR_STATUS_QM_NOT_INITIALIZED;
  }
  // Stream by stream, so that each frame that reached the file is known
  // even when a later stream fails: a retry then writes only what is left.
  // The frames land in the file in the same order as one write of them all.
  KrStatus failed = KR_STATUS_OK;  // an earlier queued frame's loss, reported here
  for (const KrVStream* stream : recordedStreams) {
    uint64_t isNew = 0;
    KRV_RETURN_IF_FAILED(stream->GetProperty("IsNew", isNew));
    if (isNew != 1) {
      continue;
    }
    FrameMark mark;
    KRV_RETURN_IF_FAILED(stream->GetProperty("FrameId", mark.frameId));
    KRV_RETURN_IF_FAILED(stream->GetProperty("Timestamp", mark.timestamp));
    KRV_RETURN_IF_FAILED(stream->GetProperty("BufferSize", mark.size));
    mark.written = true;
    FrameMark& last = lastWritten[stream->GetName()];
    if (last.written && last.frameId == mark.frameId && last.timestamp == mark.timestamp && last.size == mark.size) {
      continue;  // written by an earlier call: the source has not read since
    }
    KrVStream target;
    KRV_RETURN_IF_FAILED(target.Attach(writeDevice, stream->GetName()));
    KRV_RETURN_IF_FAILED(target.CopyFrom(*stream, 0));
    // The copy takes bytes and time stamp; the frame id follows here, so
    // that the recording keeps the source's.
    KRV_RETURN_IF_FAILED(writeDevice->SetProperty(stream->GetName(), "FrameId", mark.frameId));
    uint64_t takenBefore = 0;
    KRV_RETURN_IF_FAILED(writeDevice->GetProperty(stream->GetName(), "FramesTaken", takenBefore));
    const KrStatus written = writeDevice->Write(stream->GetName());
    if (written != KR_STATUS_OK) {
      NoteWriteFailure();
      uint64_t takenAfter = takenBefore;
      writeDevice->GetProperty(stream->GetName(), "FramesTaken", takenAfter);
      if (takenAfter == takenBefore) {
        return written;  // this frame is not in the file: a retry writes it
      }
      // An earlier queued frame was lost; this one was taken all the same,
      // and the other streams' frames still go in.
      if (failed == KR_STATUS_OK) failed = written;
    }
    last = mark;
  }
  return failed;
}

// ---- events ----

KrStatus KrVDeviceRecorder::RefreshGeneralSize(const char* module, const char* property, PropertyEntry& entry) {
  KrVPropertySet set;
  KRV_RETURN_IF_FAILED(source->GetAllProperties(set, module));
  KrVPropertySetEnumerator enumerator(set, module);
  for (;;) {
    bool end = false;
    KRV_RETURN_IF_FAILED(enumerator.MoveNext(&end));
    if (end) {
      return KR_STATUS_OS_NOT_FOUND;
    }
    KrPropertyType type = KR_PROPERTY_TYPE_INTEGER;
    const char* foundModule = nullptr;
    const char* foundProperty = nullptr;
    KRV_RETURN_IF_FAILED(enumerator.GetCurrentPropertyInfo(&type, &foundModule, &foundProperty));
    if (type == KR_PROPERTY_TYPE_GENERAL && std::strcmp(foundProperty, property) == 0) {
      KrGeneralBuffer value = {nullptr, 0};
      KRV_RETURN_IF_FAILED(enumerator.GetCurrentGeneralValue(&value));
      entry.size = value.nDataSize;
      return KR_STATUS_OK;
    }
  }
}

KrStatus KrVDeviceRecorder::CopyProperty(const char* module, const char* property, PropertyEntry& entry) {
  switch (entry.type) {
    case KR_PROPERTY_TYPE_INTEGER: {
      uint64_t value = 0;
      KRV_RETURN_IF_FAILED(source->GetProperty(module, property, value));
      return writeDevice->SetProperty(module, property, value);
    }
    case KR_PROPERTY_TYPE_REAL: {
      double value = 0.0;
      KRV_RETURN_IF_FAILED(source->GetProperty(module, property, value));
      return writeDevice->SetProperty(module, property, value);
    }
    case KR_PROPERTY_TYPE_STRING: {
      char value[KR_MAX_NAME_LENGTH] = {};
      KRV_RETURN_IF_FAILED(source->GetProperty(module, property, value));
      return writeDevice->SetProperty(module, property, static_cast<const char*>(value));
    }
    default: {  // general; the caller has checked the type
      // A general value may change size with the settings it follows (the
      // depth tables do); then the size is looked up again, once.
      for (int attempt = 0;; ++attempt) {
        // One byte at least, so that an empty value still gets a buffer.
        void* data = krOSMalloc(entry.size > 0 ? entry.size : 1);
        if (data == nullptr) {
          return KR_STATUS_OS_ALLOC_FAILED;
        }
        const KrGeneralBuffer value = {data, entry.size};
        KrStatus status = source->GetProperty(module, property, value);
        if (status == KR_STATUS_OK) {
          status = writeDevice->SetProperty(module, property, value);
        }
        krOSFree(data);
        if (status != KR_STATUS_TL_BAD_PROPERTY_SIZE || attempt > 0) {
          return status;
        }
        const uint32_t oldSize = entry.size;
        KRV_RETURN_IF_FAILED(RefreshGeneralSize(module, property, entry));
        if (entry.size == oldSize) {
          return status;
        }
      }
    }
  }
}

void KrVDeviceRecorder::OnModulePropertyChanged(const char* module, const char* property) {
  Lock lock(lock_);
  // Not recording (any more), or stopping: the change falls after the end
  // of what is recorded.
  if (writeDevice == nullptr || stopping) {
    return;
  }
  const auto found = propertyMap.find(Key(module, property));
  if (found == propertyMap.end()) {
    LogFailure(kLineNoPropertyInfo,
               "[DeviceRecorder] Failed to get changed property info - change will not be recorded: %s",
               KR_STATUS_OS_NOT_FOUND);
    return;
  }
  // A registration being cancelled: the stream's recording has ended.
  if (found->second.registration == nullptr) {
    return;
  }
  if (found->second.type > static_cast<uint32_t>(KR_PROPERTY_TYPE_GENERAL)) {
    krLogWrite(kLogMask, KR_LOG_SEVERITY_ERROR, kLogSource, kLineUnknownType,
               "[DeviceRecorder] Unknown property type: %d", static_cast<int>(found->second.type));
    return;
  }
  const KrStatus status = CopyProperty(module, property, found->second);
  if (status != KR_STATUS_OK) {
    LogFailure(kLineChangeFailed, "[DeviceRecorder] Failed to change property: %s", status);
  }
}

void KrVDeviceRecorder::OnStreamAdded(const char* stream) {
  KrStatus status = KR_STATUS_OK;
  {
    Lock lock(lock_);
    if (recordNewStreams == 0 || writeDevice == nullptr || stopping) {
      return;
    }
    status = AddStreamLocked(stream);
  }
  if (status != KR_STATUS_OK) {
    LogFailure(kLineAddFailed, "[DeviceRecorder] Failed to add new stream: %s", status);
  }
}

void KrVDeviceRecorder::OnStreamRemoved(const char* stream) {
  {
    Lock lock(lock_);
    if (stopping) {
      return;  // the stop removes every stream itself
    }
  }
  const KrStatus status = RemoveStream(stream);
  if (status != KR_STATUS_OK) {
    LogFailure(kLineRemoveFailed, "[DeviceRecorder] Failed to remove stream: %s", status);
  }
}
