// The "File" device kind: recordings written and played back (FileDevice.h).
#include "FileDevice.h"

#include <Tollan/src/StreamDataInternal.h>
#include <Tollan/src/sensor/SensorModes.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

namespace tollan {
namespace {

// Properties of the device itself: never recorded, never replayed.
const char* const kOwnProperties[] = {"ReadWriteMode",   "NumberOfFrames", "VerifyFrameData", "Compression",
                                      "Complete",        "IgnoredTailBytes", "Flush",         "FramesQueued",
                                      "WriteFailure",    "WriteError",       "EncoderFellBehind"};

bool IsOwnProperty(const std::string& name) {
  return std::any_of(std::begin(kOwnProperties), std::end(kOwnProperties),
                     [&](const char* own) { return name == own; });
}

const char* const kStreamTypes[] = {"Depth", "Image", "IR", "Audio"};

// The settings a written stream's frame geometry follows.
const char* const kGeometrySettings[] = {"Resolution", "XRes", "YRes", "OutputFormat", "SampleRate", "NumOfChannels",
                                         "FPS"};

bool IsGeometrySetting(const std::string& name) {
  return std::any_of(std::begin(kGeometrySettings), std::end(kGeometrySettings),
                     [&](const char* setting) { return name == setting; });
}

// An integer setting of a module; false when absent or of another type.
bool IntSetting(const Module& module, const char* name, uint64_t* value) {
  const Property* property = module.Find(name);
  if (property == nullptr || property->value.type != KR_PROPERTY_TYPE_INTEGER) {
    return false;
  }
  *value = property->value.intValue;
  return true;
}

// The output format a stream of the type has when its settings name none:
// the simulated sensor's defaults (a type of another kit's, depth's).
uint64_t DefaultOutputFormat(const std::string& type) {
  sensor::StreamKind kind = sensor::StreamKind::kDepth;
  sensor::StreamKindFromName(type.c_str(), &kind);
  return sensor::DefaultOutputFormat(kind);
}

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
  if (Writing()) {
    AddCompressionProperty();
    AddWriteStateProperties();
  }
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
    const recording::RecordingWriter::WriteFailure& failure = writer_.LastFailure();
    const std::string reason = failure.error != 0 ? std::string(" (") + std::strerror(failure.error) + ")" : "";
    if (closeStatus_ != KR_STATUS_OK && failure.what == recording::RecordingWriter::WriteFailure::What::kIndex) {
      // Everything written before stays: the chunks are complete, and a
      // reader finds them by scanning.
      TOLLAN_LOG(KR_LOG_SEVERITY_ERROR,
                 "recording \"%s\": its index could not be written%s; the file still plays by scanning",
                 Params().connection.c_str(), reason.c_str());
    } else if (closeStatus_ != KR_STATUS_OK) {
      TOLLAN_LOG(KR_LOG_SEVERITY_ERROR, "recording \"%s\": %s could not be written%s; the file is closed with its index",
                 Params().connection.c_str(), failure.Describe().c_str(), reason.c_str());
    }
    // The engine's recorder takes the reason from here after the close.
    if (closeStatus_ != KR_STATUS_OK) errno = failure.error;
  }
  reader_.Close();
}

// ---- writing ----

// "Device"."Compression" (write mode): the codec of each kind of stream, as
// FrameCodec.h's codec choice text. Streams created later start with it; a
// change applies to the existing streams from their next frame. Empty (the
// default) stores frames as they are, as recordings always did.
void FileDevice::AddCompressionProperty() {
  Property& compression = AddProperty("Device", "Compression", Value::String(""));
  compression.validate = [](Value* proposed) {
    recording::CodecChoice choice;
    return proposed->type == KR_PROPERTY_TYPE_STRING &&
                   recording::ParseCodecChoice(proposed->stringValue.c_str(), &choice)
               ? KR_STATUS_OK
               : KR_STATUS_TL_BAD_PROPERTY_VALUE;
  };
  compression.afterSet = [this] {
    const recording::CodecChoice choice = CodecChoiceNow();
    for (const auto& stream : Streams()) {
      auto recorded = writeIds_.find(stream->id);
      if (recorded != writeIds_.end()) {
        writer_.SetCompression(recorded->second, recording::Compression(choice.For(stream->type.c_str())));
      }
    }
  };
}

void FileDevice::AddWriteStateProperties() {
  // 1: every queued frame into the file; 2: and the file to the disk.
  Property& flush = AddProperty("Device", "Flush", Value::Int(0));
  flush.allowed = {0, 1, 2};
  flush.validate = [this](Value* proposed) {
    return proposed->intValue == 0 ? KR_STATUS_OK
                                   : Report(writer_.Flush(proposed->intValue == 2), "writing queued frames");
  };
  Property& queued = AddProperty("Device", "FramesQueued", Value::Int(0));
  queued.readOnly = true;
  queued.compute = [this](Value* value) {
    *value = Value::Int(writer_.Queued());
    return KR_STATUS_OK;
  };
  Property& failure = AddProperty("Device", "WriteFailure", Value::String(""));
  failure.readOnly = true;
  failure.compute = [this](Value* value) {
    *value = Value::String(writer_.LastFailure().Describe());
    return KR_STATUS_OK;
  };
  Property& error = AddProperty("Device", "WriteError", Value::Int(0));
  error.readOnly = true;
  error.compute = [this](Value* value) {
    *value = Value::Int(uint64_t(writer_.LastFailure().error));
    return KR_STATUS_OK;
  };
  Property& behind = AddProperty("Device", "EncoderFellBehind", Value::String(""));
  behind.readOnly = true;
  behind.compute = [this](Value* value) {
    *value = Value::String(writer_.FellBehind());
    return KR_STATUS_OK;
  };
}

recording::CodecChoice FileDevice::CodecChoiceNow() const {
  recording::CodecChoice choice;
  const Property* compression = FindProperty("Device", "Compression");
  if (compression != nullptr) recording::ParseCodecChoice(compression->value.stringValue.c_str(), &choice);
  return choice;
}

std::vector<recording::Property> FileDevice::ModuleProperties(const Module& module) const {
  std::vector<recording::Property> properties;
  for (const auto& property : module.properties) {
    if ((module.stream == nullptr && IsOwnProperty(property->name)) ||
        (module.stream != nullptr &&
         (property->name == "Type" || property->name == "FramesWritten" || property->name == "FramesTaken"))) {
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
  // Compression runs beside the application's reading thread, which then
  // only copies each compressed frame.
  writer_.EncodeInBackground(true);
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
  const uint64_t id = stream.id;
  property.validate = [this, id](Value* proposed) {
    if (proposed->type != KR_PROPERTY_TYPE_INTEGER) {
      return KR_STATUS_OK;
    }
    return GrowCapacity(id, proposed->intValue);
  };
}

KrStatus FileDevice::GrowCapacity(uint64_t streamId, uint64_t size) {
  // A frame the format cannot hold is refused here rather than at its write.
  if (size > recording::kMaxFrameDataSize) {
    return KR_STATUS_TL_BAD_PROPERTY_VALUE;
  }
  uint64_t& capacity = capacities_[streamId];
  if (size > capacity) {
    // The records made so far grow too: the engine copies frames of up to
    // "RequiredDataSize" bytes into them.
    TOLLAN_TRY(ReserveStreamRecords(Handle(), streamId, size));
    capacity = size;
  }
  return KR_STATUS_OK;
}

uint64_t FileDevice::RecordCapacity(const Stream& stream) const {
  auto known = capacities_.find(stream.id);
  const uint64_t required = DeviceBase::RecordCapacity(stream);
  return known != capacities_.end() ? std::max(known->second, required) : required;
}

bool FileDevice::DeriveGeometry(const Stream& stream, uint64_t* bytesPerPixel, uint64_t* requiredSize) const {
  const Module& module = *stream.module;
  uint64_t format = DefaultOutputFormat(stream.type);
  IntSetting(module, "OutputFormat", &format);
  const uint64_t bytes = format <= UINT32_MAX ? sensor::BytesPerPixel(static_cast<uint32_t>(format)) : 0;
  if (bytes == 0) {
    return false;  // a format of no fixed size (compressed): the settings say nothing
  }
  *bytesPerPixel = bytes;
  if (stream.type == "Audio") {
    uint64_t rate = 0;
    uint64_t channels = 0;
    uint64_t fps = 30;
    IntSetting(module, "FPS", &fps);
    if (!IntSetting(module, "SampleRate", &rate) || !IntSetting(module, "NumOfChannels", &channels) || fps == 0 ||
        rate > UINT32_MAX || fps > UINT32_MAX || channels > 0xFFFF) {
      return false;
    }
    *requiredSize =
        uint64_t{sensor::MaxSamplesPerFrame(static_cast<uint32_t>(rate), static_cast<uint32_t>(fps))} * channels * bytes;
    return true;
  }
  uint64_t x = 0;
  uint64_t y = 0;
  if (!IntSetting(module, "XRes", &x) || !IntSetting(module, "YRes", &y) || x == 0 || y == 0) {
    uint64_t code = 0;
    const sensor::Resolution* resolution =
        IntSetting(module, "Resolution", &code) && code <= UINT32_MAX ? sensor::FindResolution(uint32_t(code)) : nullptr;
    if (resolution == nullptr) {
      return false;
    }
    x = resolution->xRes;
    y = resolution->yRes;
  }
  if (x > 0xFFFF || y > 0xFFFF) {
    return false;
  }
  *requiredSize = x * y * bytes;
  return true;
}

KrStatus FileDevice::SetDerivedLocked(Stream& stream, const char* name, uint64_t number) {
  const Value value = Value::Int(number);
  Property* property = stream.module->Find(name);
  if (property != nullptr && property->value == value) {
    return KR_STATUS_OK;
  }
  if (std::string(name) == "RequiredDataSize") {
    TOLLAN_TRY(GrowCapacity(stream.id, number));
  }
  const bool recorded = writeIds_.count(stream.id) != 0;
  if (recorded) {
    TOLLAN_TRY(Report(writer_.AppendPropertyChange(recording::Property{stream.name, name, value}),
                      "recording a property change"));
  }
  if (property == nullptr) {
    Property& added = AddProperty(stream.name, name, value);
    if (added.name == "RequiredDataSize") {
      GuardCapacity(stream, added);
    }
  } else {
    property->value = value;
  }
  if (recorded) {
    QueuePropertyChangedLocked(stream.name, name);
  }
  return KR_STATUS_OK;
}

KrStatus FileDevice::UpdateGeometryLocked(Stream& stream, const std::string& changed) {
  Module& module = *stream.module;
  // "Resolution" and "XRes"/"YRes" stay in step, as on the sensor: a code
  // sets the sizes, and sizes that a code stands for set the code.
  uint64_t code = 0;
  uint64_t x = 0;
  uint64_t y = 0;
  const bool hasCode = IntSetting(module, "Resolution", &code);
  const sensor::Resolution* byCode = hasCode && code <= UINT32_MAX ? sensor::FindResolution(uint32_t(code)) : nullptr;
  const bool hasSizes = IntSetting(module, "XRes", &x) && IntSetting(module, "YRes", &y);
  if (stream.type != "Audio") {
    if (byCode != nullptr && (changed == "Resolution" || !hasSizes)) {
      TOLLAN_TRY(SetDerivedLocked(stream, "XRes", byCode->xRes));
      TOLLAN_TRY(SetDerivedLocked(stream, "YRes", byCode->yRes));
    } else if (hasCode && hasSizes && (changed == "XRes" || changed == "YRes")) {
      const sensor::Resolution* bySizes = x <= UINT32_MAX ? sensor::FindResolutionByXRes(uint32_t(x)) : nullptr;
      if (bySizes != nullptr && bySizes->yRes == y) {
        TOLLAN_TRY(SetDerivedLocked(stream, "Resolution", bySizes->code));
      }
    }
  }
  uint64_t bytesPerPixel = 0;
  uint64_t requiredSize = 0;
  if (!DeriveGeometry(stream, &bytesPerPixel, &requiredSize)) {
    return KR_STATUS_OK;  // nothing to derive from: what the stream was given stands
  }
  if (stream.type != "Audio") {
    TOLLAN_TRY(SetDerivedLocked(stream, "BytesPerPixel", bytesPerPixel));
  }
  return SetDerivedLocked(stream, "RequiredDataSize", requiredSize);
}

void FileDevice::AfterSet(Module& module, Property& property) {
  if (!Writing() || module.stream == nullptr || !IsGeometrySetting(property.name)) {
    return;
  }
  // The set itself stands; a derived value that could not be recorded is
  // reported in the log and the stream keeps its previous geometry.
  Report(UpdateGeometryLocked(*module.stream, property.name), "deriving a stream's frame size");
}

KrStatus FileDevice::OnCreateStream(Stream& /*stream*/) {
  // Played back, streams come from the recording only.
  return (Writing() || declaring_ != nullptr) ? KR_STATUS_OK : KR_STATUS_TL_WRONG_MODE;
}

KrStatus FileDevice::OnStreamReady(Stream& stream) {
  if (!Writing()) {
    return KR_STATUS_OK;
  }
  // The frame geometry follows the settings the stream was created with;
  // the derived values go into its definition.
  TOLLAN_TRY(UpdateGeometryLocked(stream, std::string()));
  recording::StreamDefinition definition;
  definition.name = stream.name;
  definition.type = stream.type;
  definition.properties = ModuleProperties(*stream.module);
  definition.compression = recording::Compression(CodecChoiceNow().For(stream.type.c_str()));
  uint32_t id = 0;
  TOLLAN_TRY(Report(writer_.AddStream(definition, &id), "recording a stream"));
  writeIds_[stream.id] = id;
  Property& written = AddProperty(stream.name, "FramesWritten", Value::Int(0));
  written.readOnly = true;
  written.compute = [this, id](Value* value) {
    *value = Value::Int(writer_.FrameCount(id));
    return KR_STATUS_OK;
  };
  Property& taken = AddProperty(stream.name, "FramesTaken", Value::Int(0));
  taken.readOnly = true;
  taken.compute = [this, id](Value* value) {
    *value = Value::Int(writer_.FramesTaken(id));
    return KR_STATUS_OK;
  };
  // Records hold "RequiredDataSize" bytes at least, and grow with it (the
  // engine copies frames of up to that size into a record's buffer).
  TOLLAN_TRY(GrowCapacity(stream.id, DeviceBase::RecordCapacity(stream)));
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
  KrStatus earlier = KR_STATUS_OK;  // an earlier frame's failure reported by this write
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
    // A compressed frame may only be queued: "FramesWritten" tells what is in the file.
    const uint64_t takenBefore = writer_.FramesTaken(found->second);
    const KrStatus status = Report(writer_.AppendFrame(frame, record.pData, nullptr), "writing a frame");
    if (status != KR_STATUS_OK && writer_.FramesTaken(found->second) == takenBefore) {
      return status;  // this frame is not in the file: the caller may write it again
    }
    if (status != KR_STATUS_OK && earlier == KR_STATUS_OK) {
      // An earlier queued frame was lost; this one was taken, and so are the
      // rest of this write's frames.
      earlier = status;
    }
  }
  return earlier;
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
  // What a checker needs to tell a closed recording from a cut one: closed
  // means the index and trailer were found intact; the tail is whatever
  // follows the last complete chunk (a partly written chunk, foreign bytes).
  AddProperty("Device", "Complete", Value::Int(report.Scanned() ? 0 : 1)).readOnly = true;
  AddProperty("Device", "IgnoredTailBytes", Value::Int(reader_.FileSize() - report.usableBytes)).readOnly = true;
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
    FindProperty(definition.name, "NumberOfFrames")->value.intValue += reader_.FrameCount(definition.id);
    FindProperty(definition.name, "StoredBytes")->value.intValue += reader_.StoredBytes(definition.id);
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
    if (property.name == "Type" || property.name == "NumberOfFrames" || property.name == "Codec" ||
        property.name == "StoredBytes") {
      continue;
    }
    recording::Property entry = property;
    entry.module = definition.name;  // a stream's properties live in its module
    AddProperty(entry.module, entry.name, entry.value);
    recordedProperties_.push_back(entry);
  }
  // What the file says of the stream itself: its frames, the codec it was
  // recorded with (until a frame read shows another) and the bytes its
  // frames take in the file.
  AddProperty(definition.name, "NumberOfFrames", Value::Int(reader_.FrameCount(definition.id))).readOnly = true;
  const auto codec = static_cast<recording::Codec>(static_cast<uint32_t>(definition.compression));
  AddProperty(definition.name, "Codec", Value::String(recording::CodecName(codec))).readOnly = true;
  AddProperty(definition.name, "StoredBytes", Value::Int(reader_.StoredBytes(definition.id))).readOnly = true;
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
    void* buffer = ReserveFrameData(record, item.frame.size);
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
    ShowCodecLocked(*stream);
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

void FileDevice::ShowCodecLocked(const Stream& stream) {
  // Frames choose their codec one by one (a frame that would not shrink is
  // stored raw): "Codec" follows the frame read last.
  const auto codec = static_cast<recording::Codec>(static_cast<uint32_t>(reader_.CurrentEncoding()));
  const bool raw = codec == recording::Codec::kRaw;
  Property* shown = stream.module->Find("Codec");
  if (shown != nullptr && !raw && shown->value.stringValue != recording::CodecName(codec)) {
    shown->value = Value::String(recording::CodecName(codec));
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
