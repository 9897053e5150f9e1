// The device object and its lifecycle: construction, the creation and open
// operations, mirroring a new kit device (Init), closing, destruction and
// copying another device's frames.
#include <Ovalith/Infrastructure/KrVDevice.h>

#include <Orvane/OrvaneOS.h>
#include <Ovalith/Infrastructure/KrVDeviceStream.h>
#include <Ovalith/framedata/KrVAudioBuffer.h>
#include <Ovalith/framedata/KrVDepthMap.h>
#include <Ovalith/framedata/KrVImageMap.h>
#include <Ovalith/properties/KrVCheckInternal.h>
#include <Ovalith/properties/KrVPropertySet.h>
#include <Ovalith/properties/KrVStream.h>

#include <algorithm>
#include <vector>

namespace {

// Stream names asked for at initialisation; the kit decides which names a
// device with more streams reports.
constexpr uint32_t kMaxInitialStreams = 100;

KrPropertySetHandle HandleOf(const KrVPropertySet* set) { return set != nullptr ? set->GetHandle() : nullptr; }

// The kit reports a second start as 0x307D2; creation from an INI file
// starts the kit itself and takes that as success.
KrStatus AcceptStartedKit(KrStatus status) {
  return status == KR_STATUS_TL_ALREADY_INITIALIZED ? KR_STATUS_OK : status;
}

}  // namespace

KrVDevice::KrVDevice(int compatibilityArgument) { Ctor(compatibilityArgument); }

void KrVDevice::Ctor(int compatibilityArgument) {
  deviceHandle = nullptr;
  depthMap = nullptr;
  imageMap = nullptr;
  irMap = nullptr;
  audioBuffer = nullptr;
  initialized = 0;
  writeMode = 0;
  streamDataSet = nullptr;
  lastStatus = KR_STATUS_OK;
  callbackHandler = nullptr;
  shiftToDepthTable = nullptr;
  shiftToDepthTableSize = 0;
  depthToShiftTable = nullptr;
  depthToShiftTableSize = 0;
  s2dRegistration = nullptr;
  streamsRegistration = nullptr;
  compatibility = compatibilityArgument;
}

KrVDevice::~KrVDevice() {
  if (CloseImpl() != KR_STATUS_OK) {
    ReleaseEverything();
  }
  ReleaseS2DTables36();
}

// ---- kit steps of the creation operations ----

KrStatus KrVDevice::CreateSensorImpl(const char* connectionString, KrVPropertySet* initialValues,
                                     KrDeviceSharingMode sharing) {
  const KrDeviceConfig config{KR_DEVICE_MODE_READ, connectionString, HandleOf(initialValues), sharing};
  return Record(KrDeviceProxyCreateDeviceByName("SensorV2", &deviceHandle, &config));
}

KrStatus KrVDevice::CreateFileImpl(const char* path, KrDeviceMode mode, KrVPropertySet* initialValues) {
  const KrDeviceConfig config{mode, path, HandleOf(initialValues), KR_DEVICE_SHARING_EXCLUSIVE};
  return Record(KrDeviceProxyCreateDeviceByName("File", &deviceHandle, &config));
}

KrStatus KrVDevice::CreateFromINIImpl(const char* iniFile, const char* section, KrVPropertySet* initialValues) {
  const KrStatus started = AcceptStartedKit(TollanInitFromINIFile(iniFile));
  if (started != KR_STATUS_OK) {
    return Record(started);
  }
  return Record(KrDeviceProxyCreateDeviceByINIFile(iniFile, section, &deviceHandle, HandleOf(initialValues)));
}

KrStatus KrVDevice::CreateByConnectionStringImpl(char* connectionString, KrDeviceMode mode,
                                                 KrVPropertySet* initialValues, KrDeviceSharingMode sharing) {
  const KrDeviceConfig config{mode, connectionString, HandleOf(initialValues), sharing};
  return Record(KrDeviceProxyCreate(&deviceHandle, &config));
}

// ---- creation and open operations ----

KrStatus KrVDevice::CloseHeldDevice() {
  // A second creation would overwrite the handle and leave the first kit
  // device running with this object registered on it.
  if (deviceHandle == nullptr && streams.empty() && streamDataSet == nullptr) {
    return KR_STATUS_OK;
  }
  return Record(CloseImpl());
}

KrStatus KrVDevice::InitAfterCreation() {
  lastStatus = KR_STATUS_OK;
  const KrStatus status = Init();
  if (status != KR_STATUS_OK) {
    CloseImpl();
    return Record(status);
  }
  return Record(KR_STATUS_OK);
}

KrStatus KrVDevice::OpenAllAfterCreation() {
  const KrStatus status = KrDeviceProxyOpenAllStreams(deviceHandle);
  if (status != KR_STATUS_OK) {
    CloseImpl();
    return Record(status);
  }
  return Record(KR_STATUS_OK);
}

KrStatus KrVDevice::CreateSensor(const char* connectionString, KrVPropertySet* initialValues,
                                 KrDeviceSharingMode sharing) {
  KRV_RETURN_IF_FAILED(CloseHeldDevice());
  KRV_RETURN_IF_FAILED(CreateSensorImpl(connectionString, initialValues, sharing));
  return InitAfterCreation();
}

KrStatus KrVDevice::CreateFileDevice(const char* path, KrDeviceMode mode, KrVPropertySet* initialValues) {
  KRV_RETURN_IF_FAILED(CloseHeldDevice());
  KRV_RETURN_IF_FAILED(CreateFileImpl(path, mode, initialValues));
  return InitAfterCreation();
}

KrStatus KrVDevice::CreateByConnectionString(char* connectionString, KrDeviceMode mode, KrVPropertySet* initialValues,
                                             KrDeviceSharingMode sharing) {
  KRV_RETURN_IF_FAILED(CloseHeldDevice());
  KRV_RETURN_IF_FAILED(CreateByConnectionStringImpl(connectionString, mode, initialValues, sharing));
  return InitAfterCreation();
}

KrStatus KrVDevice::CreateFromINI(const char* iniFile, const char* section, KrVPropertySet* initialValues) {
  KRV_RETURN_IF_FAILED(CloseHeldDevice());
  KRV_RETURN_IF_FAILED(CreateFromINIImpl(iniFile, section, initialValues));
  return InitAfterCreation();
}

KrStatus KrVDevice::OpenDeviceFromINI(const char* iniFile, const char* section, KrVPropertySet* initialValues) {
  KRV_RETURN_IF_FAILED(CloseHeldDevice());
  KRV_RETURN_IF_FAILED(CreateFromINIImpl(iniFile, section, initialValues));
  const KrStatus configured = KrDeviceProxyLoadConfigFromFile(deviceHandle, iniFile, section);
  if (configured != KR_STATUS_OK) {
    CloseImpl();
    return Record(configured);
  }
  KRV_RETURN_IF_FAILED(InitAfterCreation());
  return OpenAllAfterCreation();
}

KrStatus KrVDevice::OpenSensor(const char* connectionString, KrVPropertySet& initialValues,
                               KrDeviceSharingMode sharing) {
  KRV_RETURN_IF_FAILED(CreateSensor(connectionString, &initialValues, sharing));
  return OpenAllAfterCreation();
}

KrStatus KrVDevice::OpenFileForReading(const char* path) {
  KRV_RETURN_IF_FAILED(CreateFileDevice(path, KR_DEVICE_MODE_READ, nullptr));
  return OpenAllAfterCreation();
}

KrStatus KrVDevice::OpenFileForWriting(const char* path, KrVPropertySet& initialValues) {
  KRV_RETURN_IF_FAILED(CreateFileDevice(path, KR_DEVICE_MODE_WRITE, &initialValues));
  return OpenAllAfterCreation();
}

KrStatus KrVDevice::ConfigureFromINI(const char* iniFile, const char* section) {
  return Record(KrDeviceProxyLoadConfigFromFile(deviceHandle, iniFile, section));
}

// ---- mirroring a new kit device ----

KrStatus KrVDevice::Init() {
  if (streamDataSet != nullptr) {
    KrStreamDataSetDestroy(&streamDataSet);
  }
  KRV_RETURN_IF_FAILED(Record(KrStreamDataSetCreate(&streamDataSet)));

  void* registration = nullptr;
  const KrStatus registered = RegisterForStreamCollectionChangedEvent(this, registration);
  if (registered != KR_STATUS_OK) {
    KrStreamDataSetDestroy(&streamDataSet);
    return Record(registered);
  }
  streamsRegistration = registration;

  // A device without "ReadWriteMode" (or that cannot say) is read.
  uint64_t readWriteMode = 0;
  if (GetProperty("Device", "ReadWriteMode", readWriteMode) == KR_STATUS_OK && readWriteMode == 1) {
    writeMode = 1;
  }

  const char* names[kMaxInitialStreams] = {};
  uint32_t count = kMaxInitialStreams;
  KRV_RETURN_IF_FAILED(Record(KrDeviceProxyGetStreamNames(deviceHandle, names, &count)));
  for (uint32_t i = 0; i < count && i < kMaxInitialStreams; ++i) {
    KRV_RETURN_IF_FAILED(Record(AddStreamToDevice(names[i])));
  }
  initialized = 1;
  return Record(KR_STATUS_OK);
}

// ---- closing ----

void KrVDevice::ReleaseStreams() {
  deferredStreamChanges.clear();  // nothing left to mirror them into
  // Frame objects go first: their destructors unsubscribe through the
  // per-stream modules, which must still be there.
  for (auto& entry : streams) {
    KrVStreamData* frame = entry.second->GetFrameObject();
    ForgetFrameObject(frame);
    delete frame;
    entry.second->SetFrameObject(nullptr);
  }
  // Frame objects a legacy open left in a field without a stream.
  if (imageMap == irMap) {
    imageMap = nullptr;
  }
  delete depthMap;
  delete imageMap;
  delete irMap;
  delete audioBuffer;
  depthMap = nullptr;
  imageMap = nullptr;
  irMap = nullptr;
  audioBuffer = nullptr;
  for (auto& entry : streams) {
    delete entry.second;
  }
  streams.clear();
}

KrStatus KrVDevice::DestroySetMembers() {
  uint32_t count = 0;
  const KrStatus counted = KrStreamDataSetCopyToArray(streamDataSet, nullptr, &count);
  if (counted != KR_STATUS_OK && counted != KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW) {
    return Record(counted);
  }
  if (count == 0) {
    return KR_STATUS_OK;
  }
  KrStreamData** members = static_cast<KrStreamData**>(krOSCalloc(count, sizeof(KrStreamData*)));
  if (members == nullptr) {
    return KR_STATUS_OS_ALLOC_FAILED;
  }
  KrStatus status = KrStreamDataSetCopyToArray(streamDataSet, members, &count);
  for (uint32_t i = 0; status == KR_STATUS_OK && i < count; ++i) {
    status = KrDeviceProxyDestroyStreamData(&members[i]);
  }
  krOSFree(members);
  return status == KR_STATUS_OK ? KR_STATUS_OK : Record(status);
}

KrStatus KrVDevice::CloseImpl() {
  // The depth tables describe this kit device only: a later creation may
  // open another sensor, so they are rebuilt on the next request.
  ReleaseS2DTables36();
  if (deviceHandle != nullptr) {
    // The device's own registration goes first, so that no stream event
    // reaches it once it starts releasing. Destroying the kit device cancels
    // it as well, so a failure here is passed over.
    if (streamsRegistration != nullptr) {
      KrDeviceProxyUnregisterFromStreamsChange(deviceHandle, streamsRegistration);
      streamsRegistration = nullptr;
    }
    // A client callback waiting for the frame lock gives up while the kit
    // waits for it to end (the caller may hold the lock).
    closing.store(1);
    const KrStatus destroyed = KrDeviceProxyDestroy(&deviceHandle);
    closing.store(0);
    // A handle the kit no longer knows (the kit was shut down) has nothing
    // left to destroy.
    if (destroyed != KR_STATUS_OK && destroyed != KR_STATUS_TL_BAD_HANDLE) {
      return Record(destroyed);
    }
    deviceHandle = nullptr;
  }
  streamsRegistration = nullptr;
  // A creation that failed while mirroring holds streams without having
  // completed, so whatever is held is released, initialized or not.
  ReleaseStreams();
  initialized = 0;
  if (streamDataSet != nullptr) {
    KRV_RETURN_IF_FAILED(DestroySetMembers());
    KRV_RETURN_IF_FAILED(Record(KrStreamDataSetDestroy(&streamDataSet)));
  }
  return Record(KR_STATUS_OK);
}

KrStatus KrVDevice::Close() { return Record(CloseImpl()); }

void KrVDevice::ReleaseEverything() {
  ReleaseS2DTables36();
  if (deviceHandle != nullptr && streamsRegistration != nullptr) {
    KrDeviceProxyUnregisterFromStreamsChange(deviceHandle, streamsRegistration);
  }
  streamsRegistration = nullptr;
  // The kit records: those of the set and those of the mirrored streams
  // (the two overlap; each is destroyed once).
  std::vector<KrStreamData*> records;
  for (const auto& entry : streams) {
    records.push_back(entry.second->GetStreamData());
  }
  ReleaseStreams();
  if (deviceHandle != nullptr) {
    closing.store(1);
    KrDeviceProxyDestroy(&deviceHandle);
    closing.store(0);
  }
  deviceHandle = nullptr;
  if (streamDataSet != nullptr) {
    uint32_t count = 0;
    KrStreamDataSetCopyToArray(streamDataSet, nullptr, &count);
    std::vector<KrStreamData*> members(count);
    if (count > 0 && KrStreamDataSetCopyToArray(streamDataSet, members.data(), &count) == KR_STATUS_OK) {
      members.resize(count);
      for (KrStreamData* member : members) {
        if (std::find(records.begin(), records.end(), member) == records.end()) {
          records.push_back(member);
        }
      }
    }
    KrStreamDataSetDestroy(&streamDataSet);
  }
  for (KrStreamData* record : records) {
    KrDeviceProxyDestroyStreamData(&record);
  }
  streamDataSet = nullptr;
  initialized = 0;
}

// ---- copying frames ----

KrStatus KrVDevice::CopyFrom(KrVDevice& source) {
  for (const auto& entry : streams) {
    const char* name = entry.first.c_str();
    KrVStream from;
    KRV_RETURN_IF_FAILED(Record(from.Attach(&source, name)));
    uint64_t isNew = 0;
    KRV_RETURN_IF_FAILED(Record(from.GetProperty("IsNew", isNew)));
    if (isNew != 1) {
      // Nothing new there, so nothing new here either: a later Write must not
      // write this stream's previous frame a second time.
      KRV_RETURN_IF_FAILED(Record(entry.second->SetProperty("IsNew", uint64_t{0})));
      continue;
    }
    KrVStream to;
    KRV_RETURN_IF_FAILED(Record(to.Attach(this, name)));
    KRV_RETURN_IF_FAILED(Record(to.CopyFrom(from, 0)));
    // The frame keeps its id as well as its time stamp (a recording plays
    // the ids back).
    uint64_t frameId = 0;
    KRV_RETURN_IF_FAILED(Record(from.GetProperty("FrameId", frameId)));
    KRV_RETURN_IF_FAILED(Record(entry.second->SetProperty("FrameId", frameId)));
  }
  return Record(KR_STATUS_OK);
}
