// tollan::DeviceBase: lifecycle, streams, records, reading and writing.
// Properties are in DeviceProperties.cpp, events in Events.cpp.
#include "DeviceBase.h"

#include "StreamDataInternal.h"

#include <algorithm>
#include <atomic>

namespace tollan {
namespace {

std::atomic<uint64_t> gNextStreamId{1};

}  // namespace

KrStatus FillNameList(const std::vector<const char*>& entries, const char** out, uint32_t* count) {
  TOLLAN_REQUIRE(count);
  if (out == nullptr) {
    *count = static_cast<uint32_t>(entries.size());
    return KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;
  }
  const uint32_t written = std::min<uint32_t>(*count, static_cast<uint32_t>(entries.size()));
  std::copy(entries.begin(), entries.begin() + written, out);
  *count = written;
  return KR_STATUS_OK;
}

DeviceBase::DeviceBase(const DeviceParams& params) : params_(params) {}

DeviceBase::~DeviceBase() = default;

DeviceBase::Locked::Locked(DeviceBase& device) : device_(device), lock_(device.mutex_) {}

DeviceBase::Locked::~Locked() {
  std::vector<Event> events;
  events.swap(device_.pending_);
  lock_.unlock();
  if (!events.empty()) {
    device_.Dispatch(events);
  }
}

KrStatus DeviceBase::CheckOpenLocked() const { return closed_ ? KR_STATUS_TL_BAD_HANDLE : KR_STATUS_OK; }

// ---- lifecycle ----

KrStatus DeviceBase::Initialize(KrDeviceHandle handle, KrPropertySetHandle initialValues,
                                const std::vector<StreamDefinition>& streams) {
  handle_ = handle;
  Locked lock(*this);
  AddModule("Device");
  TOLLAN_TRY(Setup());
  // Described streams come before the initial values, so that the values may
  // also address those streams' modules.
  for (const StreamDefinition& stream : streams) {
    TOLLAN_TRY(CreateStreamLocked(stream.type, stream.name, nullptr, &stream.values));
  }
  TOLLAN_TRY(ApplyDeviceInitialValuesLocked(initialValues));
  return Start();
}

KrStatus DeviceBase::Destroy() {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    closed_ = true;
    pending_.clear();
  }
  signal_.notify_all();
  {
    std::unique_lock<std::mutex> lock(eventsMutex_);
    eventsClosed_ = true;
    registrations_.clear();
    const std::thread::id self = std::this_thread::get_id();
    eventsDone_.wait(lock, [&] {
      return std::none_of(running_.begin(), running_.end(), [&](const auto& entry) { return entry.first != self; });
    });
  }
  Stop();
  return StopResult();
}

// ---- streams ----

const char* DeviceBase::InternLocked(const std::string& text) { return interned_.insert(text).first->c_str(); }

KrStatus DeviceBase::GetSupportedStreams(const char** types, uint32_t* count) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  std::vector<const char*> entries;
  for (const std::string& type : supportedTypes_) {
    entries.push_back(InternLocked(type));
  }
  return FillNameList(entries, types, count);
}

KrStatus DeviceBase::GetStreamNames(const char** names, uint32_t* count) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  std::vector<const char*> entries;
  for (const auto& stream : streams_) {
    entries.push_back(InternLocked(stream->name));
  }
  return FillNameList(entries, names, count);
}

void DeviceBase::AddSupportedStreamType(const std::string& type) {
  if (std::find(supportedTypes_.begin(), supportedTypes_.end(), type) == supportedTypes_.end()) {
    supportedTypes_.push_back(type);
  }
}

Stream* DeviceBase::FindStream(const std::string& name) const {
  const auto found = streamsByName_.find(name);
  return found == streamsByName_.end() ? nullptr : found->second;
}

Stream* DeviceBase::FindStreamById(uint64_t id) const {
  const auto found = streamsById_.find(id);
  return found == streamsById_.end() ? nullptr : found->second;
}

KrStatus DeviceBase::CreateStream(const char* type, const char* name, KrPropertySetHandle initialValues) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  return CreateStreamLocked(type, name, initialValues, nullptr);
}

KrStatus DeviceBase::CreateStreamLocked(const std::string& type, const std::string& name,
                                        KrPropertySetHandle initialValues,
                                        const std::vector<std::pair<std::string, std::string>>* textValues) {
  if (name.empty() || name.size() >= KR_MAX_NAME_LENGTH || type.size() >= KR_MAX_NAME_LENGTH) {
    return KR_STATUS_OS_BAD_ARGUMENT;
  }
  if (FindModule(name) != nullptr) {
    return FindStream(name) ? KR_STATUS_TL_STREAM_ALREADY_EXISTS : KR_STATUS_TL_MODULE_ALREADY_EXISTS;
  }
  if (std::find(supportedTypes_.begin(), supportedTypes_.end(), type) == supportedTypes_.end()) {
    return KR_STATUS_TL_UNSUPPORTED_STREAM_TYPE;
  }
  auto stream = std::make_unique<Stream>();
  auto module = std::make_unique<Module>();
  stream->id = gNextStreamId.fetch_add(1);
  stream->name = name;
  stream->type = type;
  stream->module = module.get();
  module->name = name;
  module->stream = stream.get();
  Stream* created = stream.get();
  modulesByName_.emplace(name, module.get());
  streamsByName_.emplace(name, created);
  streamsById_.emplace(created->id, created);
  modules_.push_back(std::move(module));
  streams_.push_back(std::move(stream));
  AddProperty(name, "Type", Value::String(type)).readOnly = true;

  KrStatus status = OnCreateStream(*created);
  if (status == KR_STATUS_OK && initialValues != nullptr) {
    status =
        VisitProperties(initialValues, name.c_str(), [&](const char* m, const char* p, const PropertyValue& value) {
          return ApplyInitialLocked(m, p, Value::FromView(value));
        });
    if (status == KR_STATUS_OS_NOT_FOUND) {  // the set holds nothing for this stream
      status = KR_STATUS_OK;
    }
  }
  if (status == KR_STATUS_OK && textValues != nullptr) {
    for (const auto& entry : *textValues) {
      status = ApplyInitialTextLocked(name, entry.first, entry.second);
      if (status != KR_STATUS_OK) {
        break;
      }
    }
  }
  if (status == KR_STATUS_OK) {
    status = OnStreamReady(*created);
  }
  if (status != KR_STATUS_OK) {
    RemoveStreamLocked(created);
    return status;
  }
  QueueStreamCollectionLocked(name, KR_STREAM_ADDED);
  return KR_STATUS_OK;
}

void DeviceBase::RemoveStreamLocked(Stream* stream) {
  Module* module = stream->module;
  modulesByName_.erase(module->name);
  streamsByName_.erase(stream->name);
  streamsById_.erase(stream->id);
  modules_.erase(std::remove_if(modules_.begin(), modules_.end(), [&](const auto& m) { return m.get() == module; }),
                 modules_.end());
  streams_.erase(std::remove_if(streams_.begin(), streams_.end(), [&](const auto& s) { return s.get() == stream; }),
                 streams_.end());
}

KrStatus DeviceBase::DestroyStream(const char* name) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  return DestroyStreamLocked(name);
}

KrStatus DeviceBase::DestroyStreamLocked(const std::string& name) {
  Stream* stream = FindStream(name);
  if (stream == nullptr) {
    return KR_STATUS_TL_STREAM_NOT_FOUND;
  }
  if (stream->open) {
    TOLLAN_TRY(OnCloseStream(*stream));
    stream->open = false;
  }
  TOLLAN_TRY(OnDestroyStream(*stream));
  RemoveStreamLocked(stream);
  QueueStreamCollectionLocked(name, KR_STREAM_REMOVED);
  return KR_STATUS_OK;
}

KrStatus DeviceBase::OpenStream(const char* name) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  Stream* stream = FindStream(name);
  if (stream == nullptr) {
    return KR_STATUS_TL_STREAM_NOT_FOUND;
  }
  if (!stream->open) {
    TOLLAN_TRY(OnOpenStream(*stream));
    stream->open = true;
  }
  return KR_STATUS_OK;
}

KrStatus DeviceBase::CloseStream(const char* name) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  Stream* stream = FindStream(name);
  if (stream == nullptr) {
    return KR_STATUS_TL_STREAM_NOT_FOUND;
  }
  if (stream->open) {
    TOLLAN_TRY(OnCloseStream(*stream));
    stream->open = false;
  }
  return KR_STATUS_OK;
}

KrStatus DeviceBase::OpenAllStreams() {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  for (const auto& stream : streams_) {
    if (!stream->open) {
      TOLLAN_TRY(OnOpenStream(*stream));
      stream->open = true;
    }
  }
  return KR_STATUS_OK;
}

KrStatus DeviceBase::CloseAllStreams() {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  for (const auto& stream : streams_) {
    if (stream->open) {
      TOLLAN_TRY(OnCloseStream(*stream));
      stream->open = false;
    }
  }
  return KR_STATUS_OK;
}

// ---- records, reading and writing ----

uint64_t DeviceBase::RecordCapacity(const Stream& stream) const {
  const Property* size = stream.module->Find("RequiredDataSize");
  return (size != nullptr && size->value.type == KR_PROPERTY_TYPE_INTEGER) ? size->value.intValue : 0;
}

KrStatus DeviceBase::CreateRecord(const char* name, KrStreamData** record) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  Stream* stream = FindStream(name);
  if (stream == nullptr) {
    return KR_STATUS_TL_STREAM_NOT_FOUND;
  }
  return NewRecord(handle_, stream->id, stream->name, RecordCapacity(*stream), record);
}

KrStatus DeviceBase::ResolveRecordsLocked(const std::vector<KrStreamData*>& records, bool forRead,
                                          std::vector<StreamRecord>* resolved) {
  for (KrStreamData* record : records) {
    KrDeviceHandle owner = nullptr;
    uint64_t streamId = 0;
    if (!GetRecordOwner(record, &owner, &streamId)) {
      return KR_STATUS_TL_BAD_HANDLE;
    }
    Stream* stream = (owner == handle_) ? FindStreamById(streamId) : nullptr;
    if (stream == nullptr) {
      return KR_STATUS_TL_STREAM_NOT_FOUND;
    }
    // A read of a set passes over closed streams: their members only learn
    // that nothing new came.
    if (forRead && !stream->open) {
      record->bIsNew = 0;
      continue;
    }
    resolved->push_back(StreamRecord{record, stream, streamId});
  }
  return KR_STATUS_OK;
}

KrStatus DeviceBase::Read(const std::vector<KrStreamData*>& records) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  std::vector<StreamRecord> resolved;
  TOLLAN_TRY(ResolveRecordsLocked(records, true, &resolved));
  return ReadRecords(lock, resolved, false);
}

KrStatus DeviceBase::ReadStream(KrStreamData* record) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  std::vector<StreamRecord> resolved;
  TOLLAN_TRY(ResolveRecordsLocked({record}, false, &resolved));
  if (!resolved.front().stream->open) {
    return KR_STATUS_TL_STREAM_NOT_OPEN;
  }
  return ReadRecords(lock, resolved, true);
}

KrStatus DeviceBase::Write(const std::vector<KrStreamData*>& records) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  std::vector<StreamRecord> resolved;
  TOLLAN_TRY(ResolveRecordsLocked(records, false, &resolved));
  return WriteRecords(lock, resolved, false);
}

KrStatus DeviceBase::WriteStream(KrStreamData* record) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  std::vector<StreamRecord> resolved;
  TOLLAN_TRY(ResolveRecordsLocked({record}, false, &resolved));
  return WriteRecords(lock, resolved, true);
}

KrStatus DeviceBase::ReadRecords(Locked& /*lock*/, std::vector<StreamRecord>& /*records*/, bool /*single*/) {
  return params_.mode == KR_DEVICE_MODE_WRITE ? KR_STATUS_TL_WRONG_MODE : KR_STATUS_TL_NOT_SUPPORTED;
}

KrStatus DeviceBase::WriteRecords(Locked& /*lock*/, std::vector<StreamRecord>& /*records*/, bool /*single*/) {
  return params_.mode == KR_DEVICE_MODE_WRITE ? KR_STATUS_TL_NOT_SUPPORTED : KR_STATUS_TL_WRONG_MODE;
}

KrStatus DeviceBase::TellTime(uint64_t* /*timestamp*/) { return KR_STATUS_TL_NOT_SUPPORTED; }
KrStatus DeviceBase::SeekTime(uint64_t /*timestamp*/) { return KR_STATUS_TL_NOT_SUPPORTED; }
KrStatus DeviceBase::TellFrameNumber(uint32_t* /*frame*/) { return KR_STATUS_TL_NOT_SUPPORTED; }
KrStatus DeviceBase::SeekFrameNumber(uint32_t /*frame*/) { return KR_STATUS_TL_NOT_SUPPORTED; }

KrStatus DeviceBase::Tell(uint64_t* timestamp) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  return TellTime(timestamp);
}

KrStatus DeviceBase::Seek(uint64_t timestamp) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  return SeekTime(timestamp);
}

KrStatus DeviceBase::TellFrame(uint32_t* frame) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  return TellFrameNumber(frame);
}

KrStatus DeviceBase::SeekFrame(uint32_t frame) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  return SeekFrameNumber(frame);
}

}  // namespace tollan
