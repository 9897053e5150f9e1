// The simulated sensor's flash and identity properties on its "Device" module.
#include "FlashProperties.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace tollan::sensor {
namespace {

const char kDevice[] = "Device";
// Paths handed in records are the caller's text; a longer one is no path.
constexpr size_t kMaxPath = 4096;

KrStatus CheckPath(const char* path) {
  TOLLAN_REQUIRE(path);
  const size_t length = strnlen(path, kMaxPath);
  return (length == 0 || length == kMaxPath) ? KR_STATUS_TL_BAD_PROPERTY_VALUE : KR_STATUS_OK;
}

// Copies a record out of, or into, a caller's general buffer of exactly its size.
template <typename Record>
KrStatus ReadRecord(const KrGeneralBuffer& buffer, Record* record) {
  if (buffer.nDataSize != sizeof(Record)) return KR_STATUS_TL_BAD_PROPERTY_SIZE;
  TOLLAN_REQUIRE(buffer.pData);
  std::memcpy(record, buffer.pData, sizeof(Record));
  return KR_STATUS_OK;
}

template <typename Record>
KrStatus ReadRecord(const Value& value, Record* record) {
  if (value.generalValue.size() != sizeof(Record)) return KR_STATUS_TL_BAD_PROPERTY_SIZE;
  std::memcpy(record, value.generalValue.data(), sizeof(Record));
  return KR_STATUS_OK;
}

template <typename Record>
Value ZeroRecord() {
  const std::vector<uint8_t> zeros(sizeof(Record), 0);
  return Value::General(zeros.data(), zeros.size());
}

std::string DirectoryOf(const KitConfig& kit) {
  if (kit.path.empty()) return kit.directory;
  const size_t slash = kit.path.find_last_of('/');
  return slash == std::string::npos ? std::string(".") : kit.path.substr(0, slash == 0 ? 1 : slash);
}

}  // namespace

KrStatus FlashProperties::Open(const KitConfig& kit, uint32_t sensorIndex) {
  const std::string sectionName = "SensorV2." + std::to_string(sensorIndex);
  const IniSection* section = kit.file.Find(sectionName);
  const FlashConfigLookup lookup = [section](const std::string& key, std::string* value) {
    const std::string* found = section != nullptr ? section->Find(key) : nullptr;
    if (found != nullptr) *value = *found;
    return found != nullptr;
  };
  FlashConfig config;
  std::string error;
  const KrStatus parsed = ParseFlashConfig(lookup, DirectoryOf(kit), &config, &error);
  if (parsed != KR_STATUS_OK) {
    TOLLAN_LOG(KR_LOG_SEVERITY_ERROR, "[%s] %s", sectionName.c_str(), error.c_str());
    return parsed;
  }
  const KrStatus attached = AttachFlashStore(sensorIndex, config, &store_);
  if (attached != KR_STATUS_OK) {
    TOLLAN_LOG(KR_LOG_SEVERITY_ERROR, "[%s] the flash state %s cannot be used", sectionName.c_str(),
               config.stateFile.c_str());
  }
  return attached;
}

KrStatus FlashProperties::Enter(const char* direction, const char* property) {
  if (gone_) return KR_STATUS_TL_DEVICE_DISCONNECTED;
  return store_->CheckFault(std::string(direction) + ":" + property);
}

void FlashProperties::Declare(DeviceBase& device) {
  FlashStore* store = store_.get();
  const FlashIdentity& identity = store->Config().identity;

  // ---- identity ----
  VersionRecord version = {};
  version.major = identity.versionMajor;
  version.minor = identity.versionMinor;
  version.build = identity.versionBuild;
  const Value versionValue = Value::General(&version, sizeof(version));
  Property& versionProperty = device.AddProperty(kDevice, "Version", versionValue);
  versionProperty.readOnly = true;
  versionProperty.compute = [this, versionValue](Value* value) {
    TOLLAN_TRY(Enter("Get", "Version"));
    *value = versionValue;
    return KR_STATUS_OK;
  };

  Property& mode = device.AddProperty(kDevice, "FirmwareMode", Value::Int(identity.firmwareMode));
  mode.compute = [this, &mode](Value* value) {
    TOLLAN_TRY(Enter("Get", "FirmwareMode"));
    *value = mode.value;
    return KR_STATUS_OK;
  };
  mode.validate = [this](Value*) { return Enter("Set", "FirmwareMode"); };

  const struct {
    const char* name;
    const std::string& text;
  } texts[] = {
      {"ID", identity.serialNumber},
      {"PhysicalDeviceName", identity.physicalDeviceName},
      {"VendorSpecificData", identity.vendorSpecificData},
  };
  for (const auto& row : texts) {
    Property& text = device.AddProperty(kDevice, row.name, Value::String(row.text));
    text.readOnly = true;
    const std::string name = row.name;
    const Value stored = Value::String(row.text);
    text.compute = [this, name, stored](Value* value) {
      TOLLAN_TRY(Enter("Get", name.c_str()));
      *value = stored;
      return KR_STATUS_OK;
    };
  }

  // ---- the file system ----
  Property& list = device.AddProperty(kDevice, "FileList", ZeroRecord<FileListHeader>());
  list.readOnly = true;
  list.request = [this, store](const KrGeneralBuffer& buffer) {
    TOLLAN_TRY(Enter("Get", "FileList"));
    FileListHeader header;
    TOLLAN_TRY(ReadRecord(buffer, &header));
    const std::vector<FileListEntry> entries = store->List();
    if (header.count > 0) TOLLAN_REQUIRE(header.entries);
    // The caller's array holds header.count entries; never write past it.
    const size_t written = std::min<size_t>(entries.size(), header.count);
    if (written > 0) std::memcpy(header.entries, entries.data(), written * sizeof(FileListEntry));
    header.count = static_cast<uint16_t>(written);
    std::memcpy(buffer.pData, &header, sizeof(header));
    return written == entries.size() ? KR_STATUS_OK : KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;
  };

  Property& flashFile = device.AddProperty(kDevice, "FlashFile", ZeroRecord<FlashFileRecord>());
  flashFile.generalSize = sizeof(FlashFileRecord);
  flashFile.listed = false;
  flashFile.validate = [this, store](Value* value) {
    TOLLAN_TRY(Enter("Set", "FlashFile"));
    FlashFileRecord record;
    TOLLAN_TRY(ReadRecord(*value, &record));
    TOLLAN_TRY(CheckPath(record.path));
    std::vector<uint8_t> content;
    const KrStatus read = ReadWholeFile(record.path, &content, store->Config().flashSize);
    if (read == KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW) return KR_STATUS_TL_FLASH_FULL;
    TOLLAN_TRY(read);
    return store->Upload(record.offsetOrId, content, record.attributes, nullptr);
  };
  flashFile.request = [this, store](const KrGeneralBuffer& buffer) {
    TOLLAN_TRY(Enter("Get", "FlashFile"));
    FlashFileRecord record;
    TOLLAN_TRY(ReadRecord(buffer, &record));
    TOLLAN_TRY(CheckPath(record.path));
    if (record.offsetOrId > 0xFFFF) return KR_STATUS_TL_FLASH_FILE_NOT_FOUND;
    std::vector<uint8_t> content;
    TOLLAN_TRY(store->Download(static_cast<uint16_t>(record.offsetOrId), &content));
    return WriteFileAtomically(record.path, content);
  };

  Property& remove = device.AddProperty(kDevice, "DeleteFile", Value::Int(0));
  remove.listed = false;
  remove.validate = [this, store](Value* value) {
    TOLLAN_TRY(Enter("Set", "DeleteFile"));
    return store->Delete(value->intValue);
  };

  Property& attributes = device.AddProperty(kDevice, "FileAttributes", ZeroRecord<FileAttributesRecord>());
  attributes.generalSize = sizeof(FileAttributesRecord);
  attributes.listed = false;
  attributes.validate = [this, store](Value* value) {
    TOLLAN_TRY(Enter("Set", "FileAttributes"));
    FileAttributesRecord record;
    TOLLAN_TRY(ReadRecord(*value, &record));
    return store->SetAttributes(record.id, record.attributes);
  };
  attributes.request = [this, store](const KrGeneralBuffer& buffer) {
    TOLLAN_TRY(Enter("Get", "FileAttributes"));
    FileAttributesRecord record;
    TOLLAN_TRY(ReadRecord(buffer, &record));
    uint16_t current = 0;  // the record is packed: no pointer into it
    TOLLAN_TRY(store->GetAttributes(record.id, &current));
    record.attributes = current;
    std::memcpy(buffer.pData, &record, sizeof(record));
    return KR_STATUS_OK;
  };

  Property& chunk = device.AddProperty(kDevice, "FlashChunk", ZeroRecord<FlashChunkRecord>());
  chunk.readOnly = true;
  chunk.request = [this, store](const KrGeneralBuffer& buffer) {
    TOLLAN_TRY(Enter("Get", "FlashChunk"));
    FlashChunkRecord record;
    TOLLAN_TRY(ReadRecord(buffer, &record));
    if (record.size > 0) TOLLAN_REQUIRE(record.data);
    return store->ReadRaw(record.offset, record.size, static_cast<uint8_t*>(record.data));
  };

  // ---- the sensor as a whole ----
  Property& reset = device.AddProperty(kDevice, "Reset", Value::Int(0));
  reset.listed = false;
  reset.validate = [this](Value*) { return Enter("Set", "Reset"); };
  reset.afterSet = [this]() { gone_ = true; };

  Property& bist = device.AddProperty(kDevice, "BIST", ZeroRecord<BistRecord>());
  bist.generalSize = sizeof(BistRecord);
  bist.listed = false;
  bist.validate = [this, store](Value* value) {
    TOLLAN_TRY(Enter("Set", "BIST"));
    BistRecord record;
    TOLLAN_TRY(ReadRecord(*value, &record));
    bool answered = false;
    uint32_t result = 0;  // the record is packed: no pointer into it
    TOLLAN_TRY(store->RunBist(record.selector, &result, &answered));
    record.result = result;
    if (answered) std::memcpy(value->generalValue.data(), &record, sizeof(record));
    return KR_STATUS_OK;
  };
  // Through the kit the result goes back into the caller's own record.
  bist.setRequest = [this, store](const KrGeneralBuffer& buffer) {
    TOLLAN_TRY(Enter("Set", "BIST"));
    BistRecord record;
    TOLLAN_TRY(ReadRecord(buffer, &record));
    bool answered = false;
    uint32_t result = 0;
    TOLLAN_TRY(store->RunBist(record.selector, &result, &answered));
    record.result = result;
    if (answered) std::memcpy(buffer.pData, &record, sizeof(record));
    return KR_STATUS_OK;
  };
}

}  // namespace tollan::sensor
