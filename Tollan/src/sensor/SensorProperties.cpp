// SensorDevice: the modules' properties, answered by the settings objects.
#include "SensorDevice.h"

#include <algorithm>
#include <cstring>

namespace tollan {
namespace sensor {
namespace {

Value ToValue(KrPropertyType type, const StoredValue& v) {
  switch (type) {
    case KR_PROPERTY_TYPE_INTEGER:
      return Value::Int(v.i);
    case KR_PROPERTY_TYPE_REAL:
      return Value::Real(v.r);
    case KR_PROPERTY_TYPE_STRING:
      return Value::String(v.s);
    default:
      return Value::General(v.g.data(), v.g.size());
  }
}

StoredValue FromValue(const Value& v) {
  StoredValue s;
  s.i = v.intValue;
  s.r = v.realValue;
  s.s = v.stringValue;
  s.g = v.generalValue;
  return s;
}

KrStatus SetStored(ModuleSettings& settings, const PropertyRow& row, const StoredValue& v, bool validate) {
  switch (row.type) {
    case KR_PROPERTY_TYPE_INTEGER:
      return settings.Set(row.name, v.i, validate);
    case KR_PROPERTY_TYPE_REAL:
      return settings.Set(row.name, v.r, validate);
    case KR_PROPERTY_TYPE_STRING:
      return settings.Set(row.name, v.s.c_str(), validate);
    default:
      return settings.Set(
          row.name, KrGeneralBuffer{const_cast<uint8_t*>(v.g.data()), static_cast<uint32_t>(v.g.size())}, validate);
  }
}

}  // namespace

void SensorDevice::DeclareModule(const std::string& module, ModuleSettings& settings, SensorStream* stream) {
  for (const PropertyRow* row : settings.Rows()) {
    if (stream != nullptr && std::strcmp(row->name, "Type") == 0) continue;  // declared with every stream
    // The stored value only fixes the type: reads are computed from settings.
    Property& p = AddProperty(module, row->name, ToValue(row->type, StoredValue()));
    p.readOnly = row->access == Access::kReadOnly;
    p.listed = ModuleSettings::IsListed(*row);
    p.validate = [this, module, row, &settings, stream](Value* proposed) {
      return WriteSetting(module, *row, settings, stream, *proposed);
    };
    if (row->flags & kRequest) {
      p.request = [this, row, &settings](const KrGeneralBuffer& buffer) {
        return flash_.Gone() ? KR_STATUS_TL_DEVICE_DISCONNECTED : settings.Get(row->name, buffer);
      };
    } else {
      p.compute = [this, row, &settings, stream](Value* value) { return ReadSetting(*row, settings, stream, value); };
    }
  }
}

KrStatus SensorDevice::WriteSetting(const std::string& module, const PropertyRow& row, ModuleSettings& settings,
                                    SensorStream* stream, const Value& value) {
  if (flash_.Gone()) return KR_STATUS_TL_DEVICE_DISCONNECTED;
  if (stream == nullptr) return SetStored(settings, row, FromValue(value), true);

  const Stream* owner = FindStream(module);
  if ((row.flags & kGeometry) && owner != nullptr && owner->open) return KR_STATUS_TL_STREAM_IS_OPEN;
  // Initial values are checked together when the stream is ready, so that
  // they may come in any order.
  if (!stream->ready) return SetStored(settings, row, FromValue(value), false);
  const StreamSettings before = stream->settings;
  TOLLAN_TRY(SetStored(settings, row, FromValue(value), true));
  for (const char* changed : ModuleSettings::Differences(before, stream->settings)) {
    if (std::strcmp(changed, row.name) != 0) QueuePropertyChangedLocked(module, changed);  // its own comes from the kit
  }
  return KR_STATUS_OK;
}

KrStatus SensorDevice::ReadSetting(const PropertyRow& row, const ModuleSettings& settings, const SensorStream* stream,
                                   Value* value) const {
  if (flash_.Gone()) return KR_STATUS_TL_DEVICE_DISCONNECTED;
  if (row.rule == Rule::kLastFrame && stream != nullptr) {
    // The last frame in a buffer of "RequiredDataSize" bytes (zeros before
    // the first frame, and after a cropped one).
    std::vector<uint8_t> bytes(stream->settings.RequiredDataSize(), 0);
    std::copy_n(stream->frame.begin(), std::min<size_t>(stream->frameSize, bytes.size()), bytes.begin());
    *value = Value::General(bytes.data(), bytes.size());
    value->type = KR_PROPERTY_TYPE_GENERAL;
    return KR_STATUS_OK;
  }
  StoredValue stored;
  TOLLAN_TRY(settings.GetValue(row.name, &stored));
  *value = ToValue(row.type, stored);
  return KR_STATUS_OK;
}

KrStatus SensorDevice::ApplyConfigured(const std::string& module, ModuleSettings& settings, bool validate) const {
  for (const ConfiguredValue& entry : configured_) {
    if (entry.module != module) continue;
    const PropertyRow* row = settings.Find(entry.property.c_str());
    if (row == nullptr) return KR_STATUS_TL_PROPERTY_NOT_FOUND;
    TOLLAN_TRY(SetStored(settings, *row, entry.value, validate));
  }
  return KR_STATUS_OK;
}

void SensorDevice::AfterSet(Module& /*module*/, Property& /*property*/) {
  // A new primary stream, state or mirror changes what waits and frames.
  Signal().notify_all();
}

}  // namespace sensor
}  // namespace tollan
