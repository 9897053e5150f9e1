// The "Scripted" device kind.
#include "ScriptedDevice.h"

#include "StreamDataInternal.h"

#include <cstring>

namespace tollan {

namespace {
const char kScriptedPrefix[] = "scripted:";
}  // namespace

Value ToValue(const testing::ScriptValue& value) {
  switch (value.type) {
    case KR_PROPERTY_TYPE_INTEGER:
      return Value::Int(value.intValue);
    case KR_PROPERTY_TYPE_REAL:
      return Value::Real(value.realValue);
    case KR_PROPERTY_TYPE_STRING:
      return Value::String(value.stringValue);
    case KR_PROPERTY_TYPE_GENERAL:
      return Value::General(value.generalValue.data(), value.generalValue.size());
  }
  return Value();
}

KrStatus CreateScriptedDevice(const DeviceParams& params, std::shared_ptr<DeviceBase>* device) {
  std::string name = params.connection;
  if (name.compare(0, sizeof(kScriptedPrefix) - 1, kScriptedPrefix) == 0) {
    name = name.substr(sizeof(kScriptedPrefix) - 1);
  }
  testing::Script script;
  if (!FindScript(name, &script)) {
    TOLLAN_LOG(KR_LOG_SEVERITY_ERROR, "no script named \"%s\"", name.c_str());
    return KR_STATUS_TL_DEVICE_NOT_FOUND;
  }
  *device = std::make_shared<ScriptedDevice>(params, std::move(script));
  return KR_STATUS_OK;
}

ScriptedDevice::ScriptedDevice(const DeviceParams& params, testing::Script script)
    : DeviceBase(params), script_(std::move(script)), frames_(script_.frames) {}

void ScriptedDevice::Declare(const std::string& module, const testing::ScriptProperty& property) {
  Property& declared = AddProperty(module, property.name, ToValue(property.value));
  declared.readOnly = (property.flags & testing::kScriptReadOnly) != 0;
  declared.listed = (property.flags & testing::kScriptUnlisted) == 0;
  declared.allowed = property.allowedInts;
  if ((property.flags & testing::kScriptFixedSize) != 0) {
    declared.generalSize = static_cast<uint32_t>(property.value.generalValue.size());
  }
}

KrStatus ScriptedDevice::Setup() {
  for (const std::string& module : script_.modules) {
    AddModule(module);
  }
  for (const testing::ScriptProperty& property : script_.properties) {
    Declare(property.module.empty() ? "Device" : property.module, property);
  }
  for (const std::string& type : script_.supportedTypes) {
    AddSupportedStreamType(type);
  }
  for (const auto& stream : script_.streams) {
    AddSupportedStreamType(stream.type);
    TOLLAN_TRY(CreateStreamLocked(stream.type, stream.name, nullptr, nullptr));
  }
  return KR_STATUS_OK;
}

KrStatus ScriptedDevice::OnCreateStream(Stream& stream) {
  for (const testing::ScriptProperty& property : script_.typeProperties) {
    if (property.module == stream.type) {
      Declare(stream.name, property);
    }
  }
  for (const testing::ScriptProperty& property : script_.streamProperties) {
    if (property.module == stream.name) {
      Declare(stream.name, property);
    }
  }
  return KR_STATUS_OK;
}

KrStatus ScriptedDevice::OnUnknownInitialValue(const std::string& module, const std::string& property,
                                               const Value& value) {
  if (!script_.acceptUnknownInitialValues) {
    return DeviceBase::OnUnknownInitialValue(module, property, value);
  }
  AddProperty(module, property, value);
  return KR_STATUS_OK;
}

KrStatus ScriptedDevice::PushFrame(const testing::ScriptFrame& frame) {
  Locked lock(*this);
  if (ClosedLocked()) {
    return KR_STATUS_TL_BAD_HANDLE;
  }
  frames_.push_back(frame);
  return KR_STATUS_OK;
}

KrStatus ScriptedDevice::GetWrittenFrames(std::vector<testing::ScriptFrame>* frames) {
  Locked lock(*this);
  if (ClosedLocked()) {
    return KR_STATUS_TL_BAD_HANDLE;
  }
  *frames = written_;
  return KR_STATUS_OK;
}

KrStatus ScriptedDevice::ReadRecords(Locked& /*lock*/, std::vector<StreamRecord>& records, bool /*single*/) {
  for (StreamRecord& target : records) {
    const std::string& name = target.stream->name;
    size_t& cursor = cursors_[name];
    while (cursor < frames_.size() && frames_[cursor].stream != name) {
      ++cursor;
    }
    const uint64_t readIndex = readCounts_[name]++;
    const testing::ScriptFrame* frame = nullptr;
    testing::ScriptFrame generated;
    if (cursor < frames_.size()) {
      frame = &frames_[cursor++];
    } else if (script_.generator && script_.generator(name, readIndex, &generated)) {
      frame = &generated;
    }
    if (frame == nullptr) {
      target.record->bIsNew = 0;  // the last frame stays in the record
      continue;
    }
    TOLLAN_TRY(FillRecord(target.record, frame->data.data(), static_cast<uint32_t>(frame->data.size()),
                          frame->timestamp, frame->frameId, frame->isNew));
    lastTimestamp_ = frame->timestamp;
    lastFrameId_ = frame->frameId;
  }
  return KR_STATUS_OK;
}

KrStatus ScriptedDevice::WriteRecords(Locked& /*lock*/, std::vector<StreamRecord>& records, bool /*single*/) {
  if (Params().mode != KR_DEVICE_MODE_WRITE) {
    return KR_STATUS_TL_WRONG_MODE;
  }
  for (const StreamRecord& target : records) {
    const KrStreamData* record = target.record;
    if (record->bIsNew == 0) {
      continue;
    }
    if (!target.stream->open) {
      return KR_STATUS_TL_STREAM_NOT_OPEN;
    }
    if (record->nDataSize > 0 && record->pData == nullptr) {
      return KR_STATUS_OS_NULL_POINTER;
    }
    testing::ScriptFrame frame;
    frame.stream = target.stream->name;
    const auto* bytes = static_cast<const uint8_t*>(record->pData);
    frame.data.assign(bytes, bytes + record->nDataSize);
    frame.timestamp = record->nTimestamp;
    frame.frameId = record->nFrameID;
    frame.isNew = true;
    written_.push_back(std::move(frame));
  }
  return KR_STATUS_OK;
}

template <typename Test>
void ScriptedDevice::SeekWhere(Test test) {
  for (const auto& stream : Streams()) {
    size_t index = 0;
    while (index < frames_.size() && (frames_[index].stream != stream->name || !test(frames_[index]))) {
      ++index;
    }
    cursors_[stream->name] = index;
  }
}

KrStatus ScriptedDevice::TellTime(uint64_t* timestamp) {
  if (!script_.seekable) {
    return KR_STATUS_TL_NOT_SUPPORTED;
  }
  *timestamp = lastTimestamp_;
  return KR_STATUS_OK;
}

KrStatus ScriptedDevice::SeekTime(uint64_t timestamp) {
  if (!script_.seekable) {
    return KR_STATUS_TL_NOT_SUPPORTED;
  }
  SeekWhere([&](const testing::ScriptFrame& frame) { return frame.timestamp >= timestamp; });
  return KR_STATUS_OK;
}

KrStatus ScriptedDevice::TellFrameNumber(uint32_t* frame) {
  if (!script_.seekable) {
    return KR_STATUS_TL_NOT_SUPPORTED;
  }
  *frame = lastFrameId_;
  return KR_STATUS_OK;
}

KrStatus ScriptedDevice::SeekFrameNumber(uint32_t frame) {
  if (!script_.seekable) {
    return KR_STATUS_TL_NOT_SUPPORTED;
  }
  SeekWhere([&](const testing::ScriptFrame& candidate) { return candidate.frameId >= frame; });
  return KR_STATUS_OK;
}

}  // namespace tollan
