// SensorDevice: creation, configuration and the stream lifecycle.
#include "SensorDevice.h"

#include <Orvane/OrvaneLog.h>

#include <algorithm>

namespace tollan {

namespace sensor {
namespace {

const char kSensorPrefix[] = "*:";
const char* const kStreamTypes[] = {"Depth", "Image", "IR", "Audio"};

// The module part of a "<Module>.<Property>" configuration key that names a
// stream type or "Device"; empty for other keys.
std::string ConfiguredModule(const std::string& key) {
  const size_t dot = key.find('.');
  if (dot == std::string::npos) return "";
  const std::string module = key.substr(0, dot);
  StreamKind kind;
  return (module == "Device" || StreamKindFromName(module.c_str(), &kind)) ? module : "";
}

KrStatus ParseText(KrPropertyType type, const std::string& text, StoredValue* value) {
  switch (type) {
    case KR_PROPERTY_TYPE_INTEGER:
      return ParseUnsigned(text, &value->i);
    case KR_PROPERTY_TYPE_REAL:
      return ParseReal(text, &value->r);
    case KR_PROPERTY_TYPE_STRING:
      value->s = text;
      return KR_STATUS_OK;
    default:
      return ParseHexBytes(text, &value->g);
  }
}

KrStatus ConfigError(uint32_t index, const std::string& key, const std::string& text) {
  TOLLAN_LOG(KR_LOG_SEVERITY_ERROR, "[SensorV2.%u] %s=%s is not a value the sensor accepts", index, key.c_str(),
             text.c_str());
  return KR_STATUS_TL_CONFIG_FAILED;
}

}  // namespace

SensorDevice::SensorDevice(const DeviceParams& params, uint32_t index)
    : DeviceBase(params), index_(index), paced_(params.config ? params.config->paced : true) {
  noise_.enabled = params.config ? params.config->noise : true;
  noise_.seed = params.config ? params.config->noiseSeed : 0;
}

SensorDevice::~SensorDevice() { Stop(); }

KrStatus SensorDevice::Prepare() {
  if (!Params().config) return KR_STATUS_TL_NOT_INITIALIZED;
  const KitConfig& kit = *Params().config;
  // The cameras: [Tollan] keys for every sensor, then the sensor's own.
  if (const IniSection* section = kit.file.Find("Tollan")) {
    for (const auto& entry : section->keys) {
      bool known = false;
      if (rig_.Configure(entry.first, entry.second, &known) != KR_STATUS_OK) {
        TOLLAN_LOG(KR_LOG_SEVERITY_ERROR, "[Tollan] %s=%s is not a value the sensor accepts", entry.first.c_str(),
                   entry.second.c_str());
        return KR_STATUS_TL_CONFIG_FAILED;
      }
    }
  }
  if (const IniSection* section = kit.file.Find("SensorV2." + std::to_string(index_))) {
    for (const auto& entry : section->keys) {
      const std::string& key = entry.first;
      bool camera = false;
      if (rig_.Configure(key, entry.second, &camera) != KR_STATUS_OK) return ConfigError(index_, key, entry.second);
      if (camera) continue;
      if (key == "Paced") {
        uint64_t paced = 0;
        if (ParseUnsigned(entry.second, &paced) != KR_STATUS_OK || paced > 1) {
          return ConfigError(index_, key, entry.second);
        }
        paced_ = paced == 1;
        continue;
      }
      if (key == "Scene" || key == "NoiseSeed") {
        const KrStatus parsed = key == "Scene" ? ParseScene(entry.second, &noise_.enabled)
                                               : ParseUnsigned(entry.second, &noise_.seed);
        if (parsed != KR_STATUS_OK) return ConfigError(index_, key, entry.second);
        continue;
      }
      const std::string module = ConfiguredModule(key);
      if (module.empty()) continue;  // the flash's keys, or keys of other parts
      StreamKind kind = StreamKind::kDepth;
      const bool isStream = StreamKindFromName(module.c_str(), &kind);
      const StreamSettings streamRows(kind);
      const ModuleSettings& rows = isStream ? static_cast<const ModuleSettings&>(streamRows) : device_;
      ConfiguredValue value{module, key.substr(module.size() + 1), {}};
      const PropertyRow* row = rows.Find(value.property.c_str());
      if (row == nullptr || row->access == Access::kReadOnly ||
          ParseText(row->type, entry.second, &value.value) != KR_STATUS_OK) {
        return ConfigError(index_, key, entry.second);
      }
      configured_.push_back(std::move(value));
    }
  }
  // Each stream type's defaults must make a stream the sensor offers.
  for (const char* type : kStreamTypes) {
    StreamKind kind;
    StreamKindFromName(type, &kind);
    StreamSettings trial(kind);
    if (ApplyConfigured(type, trial, false) != KR_STATUS_OK || trial.Commit() != KR_STATUS_OK) {
      return ConfigError(index_, std::string(type) + ".*", "(these defaults together)");
    }
  }
  DeviceSettings trial;
  if (ApplyConfigured("Device", trial, true) != KR_STATUS_OK) {
    return ConfigError(index_, "Device.*", "(these defaults)");
  }
  return flash_.Open(kit, index_);
}

KrStatus SensorDevice::Setup() {
  device_.SetStreamNameCheck([this](const char* name) { return FindStream(name) != nullptr; });
  TOLLAN_TRY(ApplyConfigured("Device", device_, true));
  DeclareModule("Device", device_, nullptr);
  flash_.Declare(*this);
  for (const char* type : kStreamTypes) AddSupportedStreamType(type);
  return KR_STATUS_OK;
}

KrStatus SensorDevice::Start() {
  producer_ = std::thread([this] { ProducerLoop(); });
  return KR_STATUS_OK;
}

void SensorDevice::Stop() {
  {
    Locked lock(*this);
    stopping_ = true;
  }
  Signal().notify_all();
  if (!producer_.joinable()) return;
  if (producer_.get_id() == std::this_thread::get_id()) {
    producer_.detach();  // stopped from one of its own callbacks: it ends on its own
  } else {
    producer_.join();
  }
}

KrStatus SensorDevice::OnCreateStream(Stream& stream) {
  StreamKind kind;
  if (!StreamKindFromName(stream.type.c_str(), &kind)) return KR_STATUS_TL_UNSUPPORTED_STREAM_TYPE;
  auto state = std::make_unique<SensorStream>(kind);
  state->settings.SetRig(rig_);
  TOLLAN_TRY(ApplyConfigured(stream.type, state->settings, false));
  SensorStream* created = state.get();
  stream.state = std::move(state);
  DeclareModule(stream.name, created->settings, created);
  return KR_STATUS_OK;
}

KrStatus SensorDevice::OnStreamReady(Stream& stream) {
  SensorStream& state = State(stream);
  TOLLAN_TRY(state.settings.Commit());
  state.ready = true;
  return KR_STATUS_OK;
}

KrStatus SensorDevice::OnDestroyStream(Stream& stream) {
  primarySeen_.erase(stream.id);
  Signal().notify_all();
  return KR_STATUS_OK;
}

KrStatus SensorDevice::OnOpenStream(Stream& stream) {
  if (flash_.Gone()) return KR_STATUS_TL_DEVICE_DISCONNECTED;
  SensorStream& state = State(stream);
  const bool othersOpen =
      std::any_of(Streams().begin(), Streams().end(), [&](const auto& s) { return s.get() != &stream && s->open; });
  const Clock::time_point now = Clock::now();
  if (!othersOpen) sessionStart_ = now;
  ++state.generation;
  state.frameId = state.consumedId = 0;
  state.frameSize = 0;
  state.delivered.clear();
  // Streams opened while others run join the device's frame grid, so that
  // frames of equal rates fall on the same instants.
  const uint64_t period = 1000000u / std::max(1u, state.settings.Fps());
  state.startUs = paced_ ? (SessionMicros(now) + period / 2) / period * period : 0;
  Signal().notify_all();
  return KR_STATUS_OK;
}

KrStatus SensorDevice::OnCloseStream(Stream& stream) {
  SensorStream& state = State(stream);
  state.frameId = state.consumedId = 0;
  state.frameSize = 0;
  Signal().notify_all();
  return KR_STATUS_OK;
}

uint64_t SensorDevice::RecordCapacity(const Stream& stream) const {
  return stream.state ? State(stream).settings.RequiredDataSize() : 0;
}

uint64_t SensorDevice::SessionMicros(Clock::time_point at) const {
  return static_cast<uint64_t>(
      std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::microseconds>(at - sessionStart_).count()));
}

}  // namespace sensor

KrStatus CreateSensorDevice(const DeviceParams& params, std::shared_ptr<DeviceBase>* device) {
  const std::string connection = params.connection.empty() ? "*:0" : params.connection;
  uint64_t index = 0;
  if (connection.compare(0, sizeof(sensor::kSensorPrefix) - 1, sensor::kSensorPrefix) != 0 ||
      ParseUnsigned(connection.substr(sizeof(sensor::kSensorPrefix) - 1), &index) != KR_STATUS_OK ||
      params.config == nullptr || index >= params.config->sensors) {
    return KR_STATUS_TL_DEVICE_NOT_FOUND;
  }
  if (params.mode != KR_DEVICE_MODE_READ) return KR_STATUS_TL_WRONG_MODE;  // a sensor only delivers frames
  auto sensor = std::make_shared<sensor::SensorDevice>(params, static_cast<uint32_t>(index));
  TOLLAN_TRY(sensor->Prepare());
  *device = std::move(sensor);
  return KR_STATUS_OK;
}

}  // namespace tollan
