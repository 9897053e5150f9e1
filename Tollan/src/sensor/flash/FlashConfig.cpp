// The simulated sensor's flash configuration: the built-in table, the
// configuration keys (a table of rows) and the bytes of configured files.
#include "FlashStore.h"

#include <Tollan/TollanStatus.h>

#include <charconv>
#include <cstdio>
#include <new>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

namespace tollan::sensor {
namespace {

// ---- configuration text ----

std::string Trim(const std::string& text) {
  const size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  const size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// Decimal, or hexadecimal after "0x"/"0X"; the whole text must be the number.
bool ParseUnsigned(const std::string& text, uint64_t maximum, uint64_t* value) {
  std::string digits = Trim(text);
  int base = 10;
  if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
    digits = digits.substr(2);
    base = 16;
  }
  if (digits.empty()) return false;
  uint64_t parsed = 0;
  const char* end = digits.data() + digits.size();
  const auto result = std::from_chars(digits.data(), end, parsed, base);
  if (result.ec != std::errc() || result.ptr != end || parsed > maximum) return false;
  *value = parsed;
  return true;
}

// Splits at commas and blanks, dropping empty pieces.
std::vector<std::string> SplitFields(const std::string& text) {
  std::vector<std::string> fields;
  std::string current;
  for (const char c : text) {
    if (c == ',' || c == ' ' || c == '\t') {
      if (!current.empty()) fields.push_back(current);
      current.clear();
    } else {
      current.push_back(c);
    }
  }
  if (!current.empty()) fields.push_back(current);
  return fields;
}

bool ParseVersion(const std::string& text, FlashIdentity* identity) {
  const std::string trimmed = Trim(text);
  const size_t firstDot = trimmed.find('.');
  const size_t secondDot = firstDot == std::string::npos ? std::string::npos : trimmed.find('.', firstDot + 1);
  if (secondDot == std::string::npos) return false;
  uint64_t major = 0, minor = 0, build = 0;
  if (!ParseUnsigned(trimmed.substr(0, firstDot), 0xFF, &major) ||
      !ParseUnsigned(trimmed.substr(firstDot + 1, secondDot - firstDot - 1), 0xFF, &minor) ||
      !ParseUnsigned(trimmed.substr(secondDot + 1), 0xFFFF, &build)) {
    return false;
  }
  identity->versionMajor = static_cast<uint8_t>(major);
  identity->versionMinor = static_cast<uint8_t>(minor);
  identity->versionBuild = static_cast<uint16_t>(build);
  return true;
}

// "id, type, offset, size[, crc[, attributes]]"; the crc defaults to that of
// the synthesized bytes (made once the table passed its checks, *hasCrc
// false until then).
bool ParseFileLine(const std::string& text, FlashFile* file, bool* hasCrc) {
  const std::vector<std::string> fields = SplitFields(text);
  if (fields.size() < 4 || fields.size() > 6) return false;
  uint64_t values[6] = {0, 0, 0, 0, 0, 0};
  const uint64_t limits[6] = {0x7FFF, 0xFFFF, 0xFFFFFFFF, 0xFFFFFFFF, 0xFFFF, 0xFFFF};
  for (size_t i = 0; i < fields.size(); ++i) {
    if (!ParseUnsigned(fields[i], limits[i], &values[i])) return false;
  }
  file->id = static_cast<uint16_t>(values[0]);
  file->type = static_cast<uint16_t>(values[1]);
  file->offset = static_cast<uint32_t>(values[2]);
  file->size = static_cast<uint32_t>(values[3]);
  file->attributes = static_cast<uint16_t>(values[5]);
  if (file->size < 2) return false;
  file->crc = static_cast<uint16_t>(values[4]);
  *hasCrc = fields.size() > 4;
  return true;
}

// "Set:Reset, Get:Version#2, BIST"
bool ParseFaults(const std::string& text, std::vector<FlashFault>* faults) {
  faults->clear();
  for (const std::string& field : SplitFields(text)) {
    FlashFault fault;
    const size_t hash = field.find('#');
    fault.operation = field.substr(0, hash);
    if (hash != std::string::npos) {
      uint64_t call = 0;
      if (!ParseUnsigned(field.substr(hash + 1), 0xFFFFFFFF, &call) || call == 0) return false;
      fault.call = static_cast<uint32_t>(call);
    }
    if (fault.operation.empty()) return false;
    faults->push_back(fault);
  }
  return true;
}

std::string JoinPath(const std::string& directory, const std::string& path) {
  if (path.empty() || path[0] == '/' || directory.empty()) return path;
  return directory.back() == '/' ? directory + path : directory + "/" + path;
}

// One numeric configuration key: where it goes and its largest value.
struct NumberKey {
  const char* key;
  uint64_t maximum;
  void (*store)(FlashConfig* config, uint64_t value);
};

const NumberKey kNumberKeys[] = {
    {"FirmwareMode", UINT64_MAX, [](FlashConfig* c, uint64_t v) { c->identity.firmwareMode = v; }},
    {"FlashSize", 0xFFFFFFFF, [](FlashConfig* c, uint64_t v) { c->flashSize = static_cast<uint32_t>(v); }},
    {"UpgradeZoneMin", 0xFFFFFFFF, [](FlashConfig* c, uint64_t v) { c->upgradeZoneMin = static_cast<uint32_t>(v); }},
    {"UpgradeZoneMax", 0xFFFFFFFF, [](FlashConfig* c, uint64_t v) { c->upgradeZoneMax = static_cast<uint32_t>(v); }},
    {"FlashMaxFiles", 0xFFFF, [](FlashConfig* c, uint64_t v) { c->maxFiles = static_cast<uint32_t>(v); }},
    {"FlashFaultStatus", 0xFFFFFFFF, [](FlashConfig* c, uint64_t v) { c->faultStatus = static_cast<KrStatus>(v); }},
};

// One text configuration key.
struct TextKey {
  const char* key;
  std::string FlashIdentity::*field;
};

const TextKey kTextKeys[] = {
    {"SerialNumber", &FlashIdentity::serialNumber},
    {"PhysicalDeviceName", &FlashIdentity::physicalDeviceName},
    {"VendorSpecificData", &FlashIdentity::vendorSpecificData},
};

constexpr size_t kMaxTextProperty = 199;  // the kit's text values hold 200 characters

KrStatus ConfigError(std::string* error, const std::string& key, const std::string& value) {
  if (error != nullptr) *error = "bad value for " + key + ": \"" + value + "\"";
  return KR_STATUS_TL_BAD_CONFIGURATION;
}

// A rule the values break together; key names the value that breaks it.
KrStatus RuleError(std::string* error, const std::string& key, const std::string& why) {
  if (error != nullptr) *error = key + ": " + why;
  return KR_STATUS_TL_BAD_CONFIGURATION;
}

std::string Hex(uint64_t value) {
  char text[24];
  std::snprintf(text, sizeof(text), "0x%llX", static_cast<unsigned long long>(value));
  return text;
}

// The flash's rules for the initial table, checked on the numbers alone
// before any file's bytes are made. keys[i] names where files[i] came from.
KrStatus CheckTable(const FlashConfig& config, const std::vector<FlashFile>& files,
                    const std::vector<std::string>& keys, std::string* error) {
  if (config.flashSize == 0) return RuleError(error, "FlashSize", "the flash has no room (0 bytes)");
  if (config.maxFiles == 0) return RuleError(error, "FlashMaxFiles", "the flash must hold at least one file");
  if (files.size() > config.maxFiles) {
    return RuleError(error, "FlashMaxFiles",
                     std::to_string(files.size()) + " files are configured, more than " +
                         std::to_string(config.maxFiles));
  }
  for (size_t i = 0; i < files.size(); ++i) {
    const FlashFile& file = files[i];
    const uint64_t end = uint64_t{file.offset} + file.size;
    if (end > config.flashSize) {
      return RuleError(error, keys[i],
                       "offset " + Hex(file.offset) + " + size " + Hex(file.size) + " ends at " + Hex(end) +
                           ", past FlashSize " + Hex(config.flashSize));
    }
    for (size_t j = 0; j < i; ++j) {
      if (files[j].id == file.id) {
        return RuleError(error, keys[i], "file id " + std::to_string(file.id) + " is also " + keys[j] + "'s");
      }
      const uint64_t otherEnd = uint64_t{files[j].offset} + files[j].size;
      if (file.offset < otherEnd && files[j].offset < end) {
        return RuleError(error, keys[i], "overlaps " + keys[j]);
      }
    }
  }
  return KR_STATUS_OK;
}

KrStatus ParseFlashConfigUnguarded(const FlashConfigLookup& lookup, const std::string& baseDirectory,
                                   FlashConfig* config, std::string* error) {
  FlashConfig result = FlashConfig::Default();
  std::string value;
  for (const NumberKey& row : kNumberKeys) {
    if (!lookup(row.key, &value)) continue;
    uint64_t number = 0;
    if (!ParseUnsigned(value, row.maximum, &number)) return ConfigError(error, row.key, value);
    row.store(&result, number);
  }
  for (const TextKey& row : kTextKeys) {
    if (!lookup(row.key, &value)) continue;
    value = Trim(value);
    if (value.size() > kMaxTextProperty) return ConfigError(error, row.key, value);
    result.identity.*row.field = value;
  }
  if (lookup("FirmwareVersion", &value) && !ParseVersion(value, &result.identity)) {
    return ConfigError(error, "FirmwareVersion", value);
  }
  if (lookup("BISTResult", &value)) {
    uint64_t number = 0;
    if (Trim(value) == "none") {
      result.bistAnswers = false;
    } else if (ParseUnsigned(value, 0xFFFFFFFF, &number)) {
      result.bistResult = static_cast<uint32_t>(number);
    } else {
      return ConfigError(error, "BISTResult", value);
    }
  }
  if (lookup("FlashStateFile", &value)) result.stateFile = JoinPath(baseDirectory, Trim(value));
  if (lookup("FlashFaults", &value) && !ParseFaults(value, &result.faults)) {
    return ConfigError(error, "FlashFaults", value);
  }
  std::vector<FlashFile> files;
  std::vector<std::string> keys;
  std::vector<bool> crcGiven;
  for (uint32_t n = 1;; ++n) {
    const std::string key = "FlashFile" + std::to_string(n);
    if (!lookup(key, &value)) break;
    FlashFile file;
    bool hasCrc = false;
    if (!ParseFileLine(value, &file, &hasCrc)) return ConfigError(error, key, value);
    files.push_back(std::move(file));
    keys.push_back(key + "=" + Trim(value));
    crcGiven.push_back(hasCrc);
  }
  if (result.upgradeZoneMin > result.upgradeZoneMax) {
    return ConfigError(error, "UpgradeZoneMin/UpgradeZoneMax", std::to_string(result.upgradeZoneMin));
  }
  if (files.empty()) {
    // The built-in table must fit the configured flash as well.
    for (const FlashFile& file : result.files) {
      keys.push_back("FlashSize (built-in file " + std::to_string(file.id) + ")");
    }
    const KrStatus checked = CheckTable(result, result.files, keys, error);
    if (checked != KR_STATUS_OK) return checked;
  } else {
    const KrStatus checked = CheckTable(result, files, keys, error);
    if (checked != KR_STATUS_OK) return checked;
    // Only now, with every size checked against the flash, are bytes made.
    for (size_t i = 0; i < files.size(); ++i) {
      FlashFile& file = files[i];
      file.content = SynthesizeFlashContent(file.id, file.type, file.size);
      if (!crcGiven[i]) file.crc = FlashChecksum(file.content.data(), file.content.size());
    }
    result.files = std::move(files);
  }
  *config = std::move(result);
  return KR_STATUS_OK;
}

auto ConfigKey(const FlashConfig& c) {
  const FlashIdentity& i = c.identity;
  return std::tie(i.versionMajor, i.versionMinor, i.versionBuild, i.firmwareMode, i.serialNumber, i.physicalDeviceName,
                  i.vendorSpecificData, c.flashSize, c.upgradeZoneMin, c.upgradeZoneMax, c.maxFiles, c.bistAnswers,
                  c.bistResult, c.stateFile, c.faultStatus);
}

auto FileKey(const FlashFile& f) { return std::tie(f.id, f.type, f.offset, f.size, f.crc, f.attributes, f.content); }

}  // namespace

// ---- configuration ----

FlashConfig FlashConfig::Default() {
  FlashConfig config;
  // id, type, offset, size, attributes: what a freshly made sensor carries.
  const struct {
    uint16_t id, type;
    uint32_t offset, size;
    uint16_t attributes;
  } rows[] = {
      {1, 1, 0x00000, 0x10000, kFlashAttributeReadOnly},  // boot block
      {2, 3, 0x10000, 0x01000, kFlashAttributeReadOnly},  // calibration
      {3, 9, 0x20000, 0x0012E, 0},                        // sensor identity
      {4, kFlashTypeNesaParams, 0x60000, 0x0004E, 0},     // NESA parameters
      {5, 10, 0x100000, 0x40000, 0},                      // firmware image
  };
  for (const auto& row : rows) {
    FlashFile file;
    file.id = row.id;
    file.type = row.type;
    file.offset = row.offset;
    file.size = row.size;
    file.attributes = row.attributes;
    file.content = SynthesizeFlashContent(row.id, row.type, row.size);
    file.crc = FlashChecksum(file.content.data(), file.content.size());
    config.files.push_back(std::move(file));
  }
  // The default NESA parameters carry the checksum that marks them default.
  config.files[3].crc = 0x040E;
  return config;
}

KrStatus ParseFlashConfig(const FlashConfigLookup& lookup, const std::string& baseDirectory, FlashConfig* config,
                          std::string* error) {
  if (!lookup || config == nullptr) return KR_STATUS_OS_NULL_POINTER;
  // Only allocation can throw here; nothing is thrown to the kit's callers.
  try {
    return ParseFlashConfigUnguarded(lookup, baseDirectory, config, error);
  } catch (const std::bad_alloc&) {
    return KR_STATUS_OS_ALLOC_FAILED;
  }
}

bool operator==(const FlashConfig& a, const FlashConfig& b) {
  if (ConfigKey(a) != ConfigKey(b) || a.files.size() != b.files.size() || a.faults.size() != b.faults.size()) {
    return false;
  }
  for (size_t i = 0; i < a.files.size(); ++i) {
    if (FileKey(a.files[i]) != FileKey(b.files[i])) return false;
  }
  for (size_t i = 0; i < a.faults.size(); ++i) {
    if (a.faults[i].operation != b.faults[i].operation || a.faults[i].call != b.faults[i].call) return false;
  }
  return true;
}

std::vector<uint8_t> SynthesizeFlashContent(uint16_t id, uint16_t type, uint32_t size) {
  std::vector<uint8_t> content(size);
  for (uint32_t i = 0; i < size; ++i) content[i] = static_cast<uint8_t>(id * 31u + i);
  if (size > 0) content[0] = static_cast<uint8_t>(type);
  if (size > 1) content[1] = static_cast<uint8_t>(type >> 8);
  return content;
}

}  // namespace tollan::sensor
