// The "File" device kind: recordings written and played back (FileDevice.h).
#include "FileDevice.h"

#include <Tollan/src/StreamDataInternal.h>

#include <algorithm>
#include <set>

namespace tollan {
namespace {

// Properties of the device itself: never recorded, never replayed.
const char* const kOwnProperties[] = {"ReadWriteMode", "NumberOfFrames", "VerifyFrameData"};

bool IsOwnProperty(const std::string& name) {
  return std::any_of(std::begin(kOwnProperties), std::end(kOwnProperties),
                     [&](const char* own) { return name == own; });
}

const char* const kStreamTypes[] = {"Depth", "Image", "IR", "Audio"};

}  // namespace

KrStatus CreateFileDevice(const DeviceParams& params, std::shared_ptr<DeviceBase>* device) {
  if (params.connection.empty()) {
    return KR_STATUS_OS_BAD_ARGUMENT;
  }
  *device = std::make_shared<FileDevice>(params);
  return KR_STATUS_OK;
}

FileDevice::FileDevice(const DeviceParams& params) : DeviceBase(params) {}

KrStatus FileDevice::Report(KrStatus status, const char* what) {
  if (status != KR_STATUS_OK && status != KR_STATUS_TL_END_OF_FILE) {
    TOLLAN_LOG(KR_LOG_SEVERITY_ERROR, "recording \"%s\": %s failed (0x%X)", Params().connection.c_str(), what,
               static_cast<unsigned>(status));
  }
  return status;
}

KrStatus FileDevice::Setup() {
  AddProperty("Device", "ReadWriteMode", Value::Int(Writing() ? 1 : 0)).readOnly = true;
  return Writing() ? KR_STATUS_OK : StartReading();
}

KrStatus FileDevice::Start() {
  if (Writing()) {
    TOLLAN_TRY(StartWriting());
  }
  started_ = true;
  return KR_STATUS_OK;
}

void FileDevice::Stop() {
  if (writer_.IsOpen()) {
    closeStatus_ = writer_.Close();
    if (closeStatus_ != KR_STATUS_OK) {
      // Everything written before stays: the chunks are complete, and a
      // reader finds them by scanning.
      TOLLAN_LOG(KR_LOG_SEVERITY_ERROR,
                 "recording \"%s\": its index could not be written (0x%X); the file still plays by scanning",
                 Params().connection.c_str(), static_cast<unsigned>(closeStatus_));
    }
  }
  reader_.Close();
}

// ---- writing ----

std::vector<recording::Property> FileDevice::ModuleProperties(const Module& module) const {
  std::vector<recording::Property> properties;
  for (const auto& property : module.properties) {
    if ((module.stream == nullptr && IsOwnProperty(property->name)) ||
        (module.stream != nullptr && property->name == "Type")) {
      continue;
    }
    properties.push_back(recording::Property{module.name, property->name, property->value});
  }
  return properties;
}

KrStatus FileDevice::StartWriting() {
  for (const char* type : kStreamTypes) {
    AddSupportedStreamType(type);
  }
  std::vector<recording::Property> properties;
  for (const std::string& name : deviceModules_) {
    const std::vector<recording::Property> more = ModuleProperties(*FindModule(name));
    properties.insert(properties.end(), more.begin(), more.end());
  }
  return Report(writer_.Open(Params().connection.c_str(), properties), "creating the file");
}

KrStatus FileDevice::OnUnknownInitialValue(const std::string& module, const std::string& property, const Value& value) {
  if (!Writing()) {
    return DeviceBase::OnUnknownInitialValue(module, property, value);
  }
  // A file being written records whatever it is given.
  if (!started_ && FindModule(module) == nullptr) {
    deviceModules_.push_back(module);
  }
  AddProperty(module, property, value);
  return KR_STATUS_OK;
}

bool FileDevice::DeclareOnSet(const std::string& module, const std::string& property, KrPropertyType type) {
  if (!Writing() || !started_ || module.empty() || property.empty() || module.size() > recording::kMaxNameLength ||
      property.size() > recording::kMaxNameLength || type > KR_PROPERTY_TYPE_GENERAL ||
      (module == "Device" && IsOwnProperty(property))) {
    return false;
  }
  Value empty;
  empty.type = type;
  // A module the device lacks joins as a device-level module.
  Property& declared = AddProperty(module, property, empty);
  const Module* owner = FindModule(module);
  if (owner->stream != nullptr && property == "RequiredDataSize") {
    GuardCapacity(*owner->stream, declared);
  }
  return true;
}

void FileDevice::GuardCapacity(const Stream& stream, Property& property) {
  const uint64_t capacity = RecordCapacity(stream);
  property.validate = [capacity](Value* proposed) {
    return proposed->type == KR_PROPERTY_TYPE_INTEGER && proposed->intValue > capacity ? KR_STATUS_TL_BAD_PROPERTY_VALUE
                                                                                       : KR_STATUS_OK;
  };
}

uint64_t FileDevice::RecordCapacity(const Stream& stream) const {
  auto fixed = capacities_.find(stream.id);
  return fixed != capacities_.end() ? fixed->second : DeviceBase::RecordCapacity(stream);
}

KrStatus FileDevice::OnCreateStream(Stream& /*stream*/) {
  // Played back, streams come from the recording only.
  return (Writing() || declaring_ != nullptr) ? KR_STATUS_OK : KR_STATUS_TL_WRONG_MODE;
}

KrStatus FileDevice::OnStreamReady(Stream& stream) {
  if (!Writing()) {
    return KR_STATUS_OK;
  }
  recording::StreamDefinition definition;
  definition.name = stream.name;
  definition.type = stream.type;
  definition.properties = ModuleProperties(*stream.module);
  uint32_t id = 0;
  TOLLAN_TRY(Report(writer_.AddStream(definition, &id), "recording a stream"));
  writeIds_[stream.id] = id;
  // Records made for the stream get the capacity it was created with, and
  // "RequiredDataSize" may not claim more later (the engine copies frames of
  // up to that size into a record's buffer).
  capacities_[stream.id] = DeviceBase::RecordCapacity(stream);
  if (Property* size = stream.module->Find("RequiredDataSize")) {
    GuardCapacity(stream, *size);
  }
  // Open from its creation: a recorder adds streams after opening all.
  stream.open = true;
  return KR_STATUS_OK;
}

KrStatus FileDevice::OnDestroyStream(Stream& stream) {
  if (!Writing()) {
    return KR_STATUS_OK;
  }
  auto found = writeIds_.find(stream.id);
  if (found == writeIds_.end()) {
    return KR_STATUS_OK;
  }
  TOLLAN_TRY(Report(writer_.RemoveStream(found->second), "recording a stream's removal"));
  writeIds_.erase(found);
  capacities_.erase(stream.id);
  return KR_STATUS_OK;
}

KrStatus FileDevice::BeforeSet(Module& module, Property& property, Value* proposed) {
  if (!Writing() || !started_ || (module.stream == nullptr && IsOwnProperty(property.name))) {
    return KR_STATUS_OK;
  }
  // Initial values of a stream being created go into its definition.
  if (module.stream != nullptr && writeIds_.count(module.stream->id) == 0) {
    return KR_STATUS_OK;
  }
  // Recorded before it is stored: a change the file does not get (a full
  // disk) is refused, so the device never shows a value the file lacks.
  return Report(writer_.AppendPropertyChange(recording::Property{module.name, property.name, *proposed}),
                "recording a property change");
}

KrStatus FileDevice::WriteRecords(Locked& /*lock*/, std::vector<StreamRecord>& records, bool /*single*/) {
  if (!Writing()) {
    return KR_STATUS_TL_WRONG_MODE;
  }
  for (const StreamRecord& member : records) {
    const KrStreamData& record = *member.record;
    if (record.bIsNew == 0 || !member.stream->open) {
      continue;
    }
    auto found = writeIds_.find(member.streamId);
    if (found == writeIds_.end()) {
      return KR_STATUS_TL_STREAM_NOT_FOUND;
    }
    if (record.pData == nullptr && record.nDataSize > 0) {
      return KR_STATUS_OS_NULL_POINTER;
    }
    if (!RecordDataFits(&record, record.nDataSize)) {
      return KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;  // a size beyond the record's own buffer
    }
    const recording::FrameInfo frame{found->second, record.nFrameID, record.nTimestamp, record.nDataSize};
    TOLLAN_TRY(Report(writer_.AppendFrame(frame, record.pData), "writing a frame"));
  }
  return KR_STATUS_OK;
}

// ---- reading ----

KrStatus FileDevice::StartReading() {
  recording::ReaderOptions options;
  TOLLAN_TRY(Report(reader_.Open(Params().connection.c_str(), options), "opening"));
  const recording::OpenReport& report = reader_.Report();
  if (report.Scanned()) {
    TOLLAN_LOG(KR_LOG_SEVERITY_WARNING, "recording \"%s\": %s; opened by scanning (%llu usable bytes%s)",
               Params().connection.c_str(),
               report.source == recording::OpenReport::Source::kScanNoIndex ? "no index (not closed by its writer)"
                                                                            : "its index is damaged",
               static_cast<unsigned long long>(report.usableBytes),
               report.damagedTail ? ", stops at a damaged chunk" : "");
  }
  if (report.damagedChunks > 0) {
    TOLLAN_LOG(KR_LOG_SEVERITY_WARNING, "recording \"%s\": %llu damaged chunks", Params().connection.c_str(),
               static_cast<unsigned long long>(report.damagedChunks));
  }
  AddProperty("Device", "VerifyFrameData", Value::Int(1)).allowed = {0, 1};
  Property& verify = *FindProperty("Device", "VerifyFrameData");
  verify.afterSet = [this, &verify] { reader_.SetVerifyFrameData(verify.value.intValue != 0); };

  for (const recording::Property& property : reader_.DeviceProperties()) {
    if (property.module == "Device" && IsOwnProperty(property.name)) {
      continue;
    }
    AddProperty(property.module, property.name, property.value);
    recordedProperties_.push_back(property);
  }
  // The frame numbers count the first recorded stream that has frames.
  bool primaryFound = false;
  for (const recording::StreamDefinition& definition : reader_.Streams()) {
    recordedStreams_.insert(definition.name);
    if (!primaryFound && reader_.FrameCount(definition.id) > 0) {
      primary_ = definition.id;
      primaryFound = true;
    }
    TOLLAN_TRY(DeclareRecordedStream(definition));
  }
  AddProperty("Device", "NumberOfFrames", Value::Int(primaryFound ? reader_.FrameCount(primary_) : 0)).readOnly = true;
  return KR_STATUS_OK;
}

KrStatus FileDevice::DeclareRecordedStream(const recording::StreamDefinition& definition) {
  // A name recorded again (removed and created anew) plays as one stream.
  Stream* existing = FindStream(definition.name);
  if (existing != nullptr && existing->type == definition.type) {
    streamNames_[definition.id] = definition.name;
    Property* frames = FindProperty(definition.name, "NumberOfFrames");
    frames->value.intValue += reader_.FrameCount(definition.id);
    return KR_STATUS_OK;
  }
  if (existing != nullptr || FindModule(definition.name) != nullptr) {
    TOLLAN_LOG(KR_LOG_SEVERITY_WARNING, "recording \"%s\": stream \"%s\" clashes with a module; left out",
               Params().connection.c_str(), definition.name.c_str());
    return KR_STATUS_OK;
  }
  AddSupportedStreamType(definition.type);
  declaring_ = &definition;
  const KrStatus created = CreateStreamLocked(definition.type, definition.name, nullptr, nullptr);
  declaring_ = nullptr;
  if (created != KR_STATUS_OK) {
    TOLLAN_LOG(KR_LOG_SEVERITY_WARNING, "recording \"%s\": stream \"%s\" cannot be played (0x%X)",
               Params().connection.c_str(), definition.name.c_str(), static_cast<unsigned>(created));
    return KR_STATUS_OK;
  }
  for (const recording::Property& property : definition.properties) {
    if (property.name == "Type" || property.name == "NumberOfFrames") {
      continue;
    }
    recording::Property entry = property;
    entry.module = definition.name;  // a stream's properties live in its module
    AddProperty(entry.module, entry.name, entry.value);
    recordedProperties_.push_back(entry);
  }
  AddProperty(definition.name, "NumberOfFrames", Value::Int(reader_.FrameCount(definition.id))).readOnly = true;
  streamNames_[definition.id] = definition.name;
  return KR_STATUS_OK;
}

Stream* FileDevice::StreamOfRecorded(uint32_t recordedId) const {
  auto found = streamNames_.find(recordedId);
  return found == streamNames_.end() ? nullptr : FindStream(found->second);
}

void FileDevice::ReplayLocked(const recording::Property& recorded) {
  // Changes of a stream's properties name the stream's module; a stream left
  // out of playback leaves nothing to change. Any other module the device
  // lacks was added while recording, and joins here.
  if (FindModule(recorded.module) == nullptr && recordedStreams_.count(recorded.module) != 0) {
    return;
  }
  if (recorded.module == "Device" && IsOwnProperty(recorded.name)) {
    return;
  }
  const Value value = recorded.value;  // by value: the store runs hooks, and recorded is the reader's
  Property* property = FindProperty(recorded.module, recorded.name);
  if (property == nullptr) {
    AddProperty(recorded.module, recorded.name, value);
  } else if (property->value == value) {
    return;
  } else if (property->value.type != value.type) {
    property->value = value;
  } else {
    StoreLocked(recorded.module, recorded.name, value);
    return;
  }
  QueuePropertyChangedLocked(recorded.module, recorded.name);
}

KrStatus FileDevice::ReadRecords(Locked& /*lock*/, std::vector<StreamRecord>& records, bool single) {
  if (Writing()) {
    return KR_STATUS_TL_WRONG_MODE;
  }
  for (StreamRecord& member : records) {
    member.record->bIsNew = 0;
  }
  // A read brings the next frame of each stream it asks for, in recorded
  // order, and stops before a second frame of a stream it already filled:
  // frames written together play back together, as one read of a sensor
  // brings the frames of all its streams. ReadStream brings one frame. To
  // find where a read ends it looks one frame ahead; the property changes
  // after its last frame are left for the next read, so each change applies
  // exactly where it was recorded.
  //
  // A frame whose data fails its check is passed over: its stream has no new
  // frame in this read (and an empty record, since the damaged bytes may have
  // reached it), the other streams still get theirs, and the read then
  // reports the damage. Nothing intact is lost.
  bool delivered = false;
  size_t mark = 0;                                      // just after the last frame delivered
  std::vector<const recording::PropertyChange*> ahead;  // changes passed since then
  std::vector<const KrStreamData*> damaged;             // streams whose frame of this read was damaged
  KrStatus damage = KR_STATUS_OK;
  auto finish = [&]() {
    reader_.Rewind(mark);  // the next read starts just after the last frame taken
    return damage;
  };
  for (;;) {
    recording::Item item;
    const KrStatus status = reader_.Next(&item);
    if (status != KR_STATUS_OK) {
      if (!delivered) {
        return Report(status, "reading");
      }
      // What this read gathered stands; the next read meets the rest.
      return finish();
    }
    if (item.kind == recording::Item::Kind::kPropertyChange) {
      if (delivered) {
        ahead.push_back(item.change);
      } else {
        ReplayLocked(item.change->property);
      }
      continue;
    }
    if (item.kind != recording::Item::Kind::kFrame) {
      continue;  // streams are all present from the start
    }
    Stream* stream = StreamOfRecorded(item.frame.streamId);
    auto member = std::find_if(records.begin(), records.end(),
                               [&](const StreamRecord& r) { return stream != nullptr && r.stream == stream; });
    if (member == records.end()) {
      continue;  // a stream this read does not ask for
    }
    KrStreamData* record = member->record;
    if (record->bIsNew != 0 || std::find(damaged.begin(), damaged.end(), record) != damaged.end()) {
      return finish();  // the next round begins: left for the next read
    }
    for (const recording::PropertyChange* change : ahead) {
      ReplayLocked(change->property);
    }
    ahead.clear();
    void* buffer = ReserveRecordData(record, item.frame.size);
    if (buffer == nullptr) {
      return KR_STATUS_OS_ALLOC_FAILED;
    }
    const KrStatus read = reader_.ReadFrameData(buffer, item.frame.size);
    if (read == KR_STATUS_TL_FILE_CORRUPT) {
      Report(read, "reading a frame");
      record->nDataSize = 0;
      damaged.push_back(record);
      damage = read;
      delivered = true;
      mark = reader_.Mark();
      if (single) {
        return finish();
      }
      continue;
    }
    TOLLAN_TRY(Report(read, "reading a frame"));
    record->nDataSize = item.frame.size;
    record->nTimestamp = item.frame.timestamp;
    record->nFrameID = item.frame.frameId;
    record->bIsNew = 1;
    if (!InCallbackOnThisThread()) {
      QueueNewDataLocked(stream->name);
    }
    delivered = true;
    mark = reader_.Mark();
    if (single) {
      return finish();
    }
  }
}

void FileDevice::RestoreAfterSeekLocked() {
  for (const recording::Property& property : recordedProperties_) {
    ReplayLocked(property);
  }
  for (const recording::PropertyChange* change : reader_.ChangesBeforeCursor()) {
    ReplayLocked(change->property);
  }
}

KrStatus FileDevice::TellTime(uint64_t* timestamp) {
  TOLLAN_REQUIRE(timestamp);
  if (Writing()) {
    return KR_STATUS_TL_WRONG_MODE;
  }
  *timestamp = reader_.TellTime();
  return KR_STATUS_OK;
}

KrStatus FileDevice::SeekTime(uint64_t timestamp) {
  if (Writing()) {
    return KR_STATUS_TL_WRONG_MODE;
  }
  TOLLAN_TRY(reader_.SeekTime(recording::RecordingReader::kAllStreams, timestamp));
  RestoreAfterSeekLocked();
  return KR_STATUS_OK;
}

KrStatus FileDevice::TellFrameNumber(uint32_t* frame) {
  TOLLAN_REQUIRE(frame);
  if (Writing()) {
    return KR_STATUS_TL_WRONG_MODE;
  }
  const uint64_t next = reader_.TellFrame(primary_) + 1;
  *frame = static_cast<uint32_t>(std::min<uint64_t>(next, UINT32_MAX));
  return KR_STATUS_OK;
}

KrStatus FileDevice::SeekFrameNumber(uint32_t frame) {
  if (Writing()) {
    return KR_STATUS_TL_WRONG_MODE;
  }
  if (frame == 0) {
    return KR_STATUS_TL_FRAME_NOT_FOUND;
  }
  TOLLAN_TRY(reader_.SeekFrame(primary_, frame - 1));
  RestoreAfterSeekLocked();
  return KR_STATUS_OK;
}

}  // namespace tollan
