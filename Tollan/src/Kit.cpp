// The kit itself: start and shutdown with its configuration ("Tollan.ini"),
// the device kinds, the registry of live devices behind the handles, device
// creation (by kind name, by connection string, by INI section), INI
// configuration of a device, destruction, enumeration and device names.
#include "KitInternal.h"

#include "DeviceBase.h"

#include <ini.h>

#include <Orvane/OrvaneLog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <sys/stat.h>

namespace tollan {

// ---- logging ----

void LogKit(int32_t severity, const char* file, int line, const char* format, ...) {
  char message[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof(message), format, args);
  va_end(args);
  krLogWrite("Tollan", severity, file, line, "%s", message);
}

// ---- INI files ----

const std::string* IniSection::Find(const std::string& key) const {
  for (auto entry = keys.rbegin(); entry != keys.rend(); ++entry) {
    if (entry->first == key) {
      return &entry->second;
    }
  }
  return nullptr;
}

const IniSection* IniFile::Find(const std::string& section) const {
  for (const IniSection& entry : sections) {
    if (entry.name == section) {
      return &entry;
    }
  }
  return nullptr;
}

namespace {

int OnIniEntry(void* user, const char* section, const char* name, const char* value) {
  auto* file = static_cast<IniFile*>(user);
  IniSection* target = nullptr;
  for (IniSection& entry : file->sections) {
    if (entry.name == section) {
      target = &entry;
    }
  }
  if (target == nullptr) {
    file->sections.push_back(IniSection{section, {}});
    target = &file->sections.back();
  }
  if (name != nullptr) {
    target->keys.emplace_back(name, value ? value : "");
  }
  return 1;
}

// inih reports keys only, so a section without keys would be missing: the
// line reader below hands inih its lines and registers every section header
// it passes on.
struct IniLineReader {
  FILE* stream;
  IniFile* file;
  bool atLineStart;
};

char* ReadIniLine(char* line, int size, void* user) {
  auto* reader = static_cast<IniLineReader*>(user);
  if (std::fgets(line, size, reader->stream) == nullptr) {
    return nullptr;
  }
  const bool lineStart = reader->atLineStart;
  const size_t length = std::strlen(line);
  reader->atLineStart = length > 0 && line[length - 1] == '\n';
  if (!lineStart) {
    return line;
  }
  const char* begin = line;
  while (*begin == ' ' || *begin == '\t') {
    ++begin;
  }
  const char* end = *begin == '[' ? std::strchr(begin, ']') : nullptr;
  if (end != nullptr) {
    std::string name(begin + 1, end);
    const size_t first = name.find_first_not_of(" \t");
    const size_t last = name.find_last_not_of(" \t");
    name = first == std::string::npos ? std::string() : name.substr(first, last - first + 1);
    OnIniEntry(reader->file, name.c_str(), nullptr, nullptr);
  }
  return line;
}

}  // namespace

KrStatus ReadIniFile(const std::string& path, IniFile* file) {
  IniFile read;
  read.path = path;
  FILE* stream = std::fopen(path.c_str(), "r");
  if (stream == nullptr) {
    return KR_STATUS_OS_INI_READ_FAILED;
  }
  IniLineReader reader{stream, &read, true};
  const int result = ini_parse_stream(&ReadIniLine, &reader, &OnIniEntry, &read);
  std::fclose(stream);
  if (result < 0) {
    return KR_STATUS_OS_INI_READ_FAILED;
  }
  if (result > 0) {
    TOLLAN_LOG(KR_LOG_SEVERITY_ERROR, "%s: line %d is not INI syntax", path.c_str(), result);
    return KR_STATUS_TL_CONFIG_FAILED;
  }
  *file = std::move(read);
  return KR_STATUS_OK;
}

KrStatus ParseUnsigned(const std::string& text, uint64_t* value) {
  if (text.empty() || text[0] == '-' || text[0] == '+' || text[0] == ' ') {
    return KR_STATUS_OS_BAD_NUMBER;
  }
  const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
  errno = 0;
  char* end = nullptr;
  const unsigned long long number = std::strtoull(text.c_str(), &end, hex ? 16 : 10);
  if (errno != 0 || end == text.c_str() || *end != '\0') {
    return KR_STATUS_OS_BAD_NUMBER;
  }
  *value = number;
  return KR_STATUS_OK;
}

KrStatus ParseReal(const std::string& text, double* value) {
  if (text.empty() || text[0] == ' ') {
    return KR_STATUS_OS_BAD_NUMBER;
  }
  errno = 0;
  char* end = nullptr;
  const double number = std::strtod(text.c_str(), &end);
  if (errno != 0 || end == text.c_str() || *end != '\0') {
    return KR_STATUS_OS_BAD_NUMBER;
  }
  *value = number;
  return KR_STATUS_OK;
}

KrStatus ParseScene(const std::string& text, bool* noise) {
  if (text != "noisy" && text != "clean") return KR_STATUS_OS_BAD_NUMBER;
  *noise = text == "noisy";
  return KR_STATUS_OK;
}

KrStatus ParseHexBytes(const std::string& text, std::vector<uint8_t>* bytes) {
  std::vector<uint8_t> parsed;
  size_t i = 0;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  while (i < text.size()) {
    if (text[i] == ' ' || text[i] == '\t') {
      ++i;
      continue;
    }
    if (i + 1 >= text.size() || digit(text[i]) < 0 || digit(text[i + 1]) < 0) {
      return KR_STATUS_OS_BAD_NUMBER;
    }
    parsed.push_back(static_cast<uint8_t>(digit(text[i]) * 16 + digit(text[i + 1])));
    i += 2;
  }
  *bytes = std::move(parsed);
  return KR_STATUS_OK;
}

// ---- the kit's state ----

namespace {

// Upper bound of "Sensors": far more than any test or user needs, low enough
// that enumeration stays a short list.
constexpr uint64_t kMaxSensors = 64;

struct Kit {
  std::mutex mutex;
  std::shared_ptr<const KitConfig> config;  // null while stopped
  std::map<KrDeviceHandle, std::shared_ptr<DeviceBase>> devices;
  uint64_t nextHandle = 0;
};

Kit& TheKit() {
  static Kit* kit = new Kit();  // never destroyed: devices may be looked up during static destruction
  return *kit;
}

// Keys of the [Tollan] section; the device kinds read their own sections.
struct ConfigKey {
  const char* key;
  KrStatus (*apply)(const std::string& text, KitConfig* config);
};

KrStatus ParseFlag(const std::string& text, bool* flag) {
  uint64_t value = 0;
  TOLLAN_TRY(ParseUnsigned(text, &value));
  if (value > 1) {
    return KR_STATUS_OS_BAD_NUMBER;
  }
  *flag = (value == 1);
  return KR_STATUS_OK;
}

const ConfigKey kTollanKeys[] = {
    {"Sensors",
     [](const std::string& text, KitConfig* config) {
       uint64_t value = 0;
       TOLLAN_TRY(ParseUnsigned(text, &value));
       if (value > kMaxSensors) {
         return KR_STATUS_OS_BAD_NUMBER;
       }
       config->sensors = static_cast<uint32_t>(value);
       return KR_STATUS_OK;
     }},
    {"Paced", [](const std::string& text, KitConfig* config) { return ParseFlag(text, &config->paced); }},
    {"Scene", [](const std::string& text, KitConfig* config) { return ParseScene(text, &config->noise); }},
    {"NoiseSeed", [](const std::string& text, KitConfig* config) { return ParseUnsigned(text, &config->noiseSeed); }},
};

KrStatus LoadConfig(const std::string& path, const std::string& directory, bool required, KitConfig* config) {
  config->directory = directory;
  struct stat info;
  if (!required) {
    // A folder without Tollan.ini means the defaults; a folder that is not
    // there is a mistake (a mistyped path), not a request for them.
    const bool found = ::stat(directory.c_str(), &info) == 0;
    if (!found || !S_ISDIR(info.st_mode)) {
      TOLLAN_LOG(KR_LOG_SEVERITY_ERROR, "kit folder %s: %s", directory.c_str(),
                 found ? "not a folder" : std::strerror(errno));
      return KR_STATUS_TL_BAD_CONFIGURATION;
    }
    if (::stat(path.c_str(), &info) != 0) {
      return KR_STATUS_OK;  // no file: the defaults
    }
  }
  TOLLAN_TRY(ReadIniFile(path, &config->file));
  config->path = path;
  if (const IniSection* section = config->file.Find("Tollan")) {
    for (const ConfigKey& row : kTollanKeys) {
      const std::string* text = section->Find(row.key);
      if (text != nullptr && row.apply(*text, config) != KR_STATUS_OK) {
        TOLLAN_LOG(KR_LOG_SEVERITY_ERROR, "%s: [Tollan] %s=%s is not a valid value", path.c_str(), row.key,
                   text->c_str());
        return KR_STATUS_TL_CONFIG_FAILED;
      }
    }
  }
  return KR_STATUS_OK;
}

KrStatus Start(const std::string& path, const std::string& directory, bool required) {
  Kit& kit = TheKit();
  std::lock_guard<std::mutex> guard(kit.mutex);
  if (kit.config) {
    return KR_STATUS_TL_ALREADY_INITIALIZED;
  }
  auto config = std::make_shared<KitConfig>();
  TOLLAN_TRY(LoadConfig(path, directory, required, config.get()));
  kit.config = std::move(config);
  return KR_STATUS_OK;
}

}  // namespace

std::shared_ptr<const KitConfig> GetKitConfig() {
  Kit& kit = TheKit();
  std::lock_guard<std::mutex> guard(kit.mutex);
  return kit.config;
}

bool IsKitStarted() { return GetKitConfig() != nullptr; }

std::shared_ptr<DeviceBase> FindDevice(KrDeviceHandle handle) {
  Kit& kit = TheKit();
  std::lock_guard<std::mutex> guard(kit.mutex);
  auto found = kit.devices.find(handle);
  return found == kit.devices.end() ? nullptr : found->second;
}

// ---- creation ----

namespace {

struct KindRow {
  const char* name;
  DeviceFactory factory;
};

const KindRow kKinds[] = {
    {"SensorV2", &CreateSensorDevice},
    {"File", &CreateFileDevice},
    {"Scripted", &CreateScriptedDevice},
};

// Connection strings name their kind by prefix; anything else is a path.
struct ConnectionRow {
  const char* prefix;
  const char* kind;
};

const ConnectionRow kConnections[] = {
    {"*:", "SensorV2"},
    {"scripted:", "Scripted"},
};
const char kPathKind[] = "File";

const char* KindOfConnection(const std::string& connection) {
  for (const ConnectionRow& row : kConnections) {
    if (connection.compare(0, std::strlen(row.prefix), row.prefix) == 0) {
      return row.kind;
    }
  }
  return kPathKind;
}

// Handles are numbers dressed as pointers: they are only ever looked up,
// never dereferenced, and never reused within a process.
KrDeviceHandle NewHandleLocked(Kit& kit) {
  ++kit.nextHandle;
  return reinterpret_cast<KrDeviceHandle>(static_cast<uintptr_t>(0x70000000u + kit.nextHandle * 0x10u));
}

KrStatus CreateDevice(DeviceParams params, KrPropertySetHandle initialValues,
                      const std::vector<StreamDefinition>& streams, KrDeviceHandle* handle) {
  params.config = GetKitConfig();
  if (!params.config) {
    return KR_STATUS_TL_NOT_INITIALIZED;
  }
  const KindRow* kind = nullptr;
  for (const KindRow& row : kKinds) {
    if (params.kind == row.name) {
      kind = &row;
    }
  }
  if (kind == nullptr) {
    return KR_STATUS_TL_UNKNOWN_DEVICE_KIND;
  }
  std::shared_ptr<DeviceBase> device;
  TOLLAN_TRY(kind->factory(params, &device));
  Kit& kit = TheKit();
  KrDeviceHandle created;
  {
    std::lock_guard<std::mutex> guard(kit.mutex);
    created = NewHandleLocked(kit);
  }
  const KrStatus status = device->Initialize(created, initialValues, streams);
  if (status != KR_STATUS_OK) {
    device->Destroy();
    return status;
  }
  {
    std::lock_guard<std::mutex> guard(kit.mutex);
    if (kit.config) {
      kit.devices[created] = device;
      *handle = created;
      return KR_STATUS_OK;
    }
  }
  device->Destroy();  // the kit stopped meanwhile
  return KR_STATUS_TL_NOT_INITIALIZED;
}

DeviceParams ParamsOf(const char* kind, const KrDeviceConfig& config) {
  DeviceParams params;
  params.kind = kind;
  params.connection = config.strConnectionString ? config.strConnectionString : "";
  params.mode = config.deviceMode;
  params.sharing = config.sharingMode;
  return params;
}

// Keys of an INI device section besides the stream and property keys.
struct DeviceKey {
  const char* key;
  KrStatus (*apply)(const std::string& text, DeviceParams* params);
};

const DeviceKey kDeviceKeys[] = {
    {"Kind",
     [](const std::string& text, DeviceParams* params) {
       params->kind = text;
       return KR_STATUS_OK;
     }},
    {"Connection",
     [](const std::string& text, DeviceParams* params) {
       params->connection = text;
       return KR_STATUS_OK;
     }},
    {"Mode",
     [](const std::string& text, DeviceParams* params) {
       bool write = false;
       TOLLAN_TRY(ParseFlag(text, &write));
       params->mode = write ? KR_DEVICE_MODE_WRITE : KR_DEVICE_MODE_READ;
       return KR_STATUS_OK;
     }},
    {"Sharing",
     [](const std::string& text, DeviceParams* params) {
       uint64_t value = 0;
       TOLLAN_TRY(ParseUnsigned(text, &value));
       if (value > UINT32_MAX) {
         return KR_STATUS_OS_BAD_NUMBER;
       }
       params->sharing = static_cast<KrDeviceSharingMode>(value);
       return KR_STATUS_OK;
     }},
};

const char kStreamPrefix[] = "Stream.";
const char kDefaultSensor[] = "*:0";

// "Stream.<Name>.<Property>=value" keys, streams in order of their first key.
KrStatus ReadStreamKeys(const IniSection& section, std::vector<StreamDefinition>* streams) {
  const size_t prefix = sizeof(kStreamPrefix) - 1;
  for (const auto& key : section.keys) {
    if (key.first.compare(0, prefix, kStreamPrefix) != 0) {
      continue;
    }
    const size_t dot = key.first.rfind('.');
    if (dot <= prefix || dot + 1 >= key.first.size()) {
      TOLLAN_LOG(KR_LOG_SEVERITY_ERROR, "[%s] %s: a stream key is Stream.<Name>.<Property>", section.name.c_str(),
                 key.first.c_str());
      return KR_STATUS_TL_CONFIG_FAILED;
    }
    const std::string name = key.first.substr(prefix, dot - prefix);
    const std::string property = key.first.substr(dot + 1);
    StreamDefinition* stream = nullptr;
    for (StreamDefinition& existing : *streams) {
      if (existing.name == name) {
        stream = &existing;
      }
    }
    if (stream == nullptr) {
      streams->push_back(StreamDefinition{name, std::string(), {}});
      stream = &streams->back();
    }
    if (property == "Type") {
      stream->type = key.second;
    } else {
      stream->values.emplace_back(property, key.second);
    }
  }
  for (const StreamDefinition& stream : *streams) {
    if (stream.type.empty()) {
      TOLLAN_LOG(KR_LOG_SEVERITY_ERROR, "[%s] stream %s has no Stream.%s.Type", section.name.c_str(),
                 stream.name.c_str(), stream.name.c_str());
      return KR_STATUS_TL_CONFIG_FAILED;
    }
  }
  return KR_STATUS_OK;
}

KrStatus ReadDeviceSection(const char* path, const char* section, IniFile* file, const IniSection** found) {
  TOLLAN_TRY(ReadIniFile(path, file));
  *found = file->Find(section);
  return *found ? KR_STATUS_OK : KR_STATUS_OS_INI_SECTION_NOT_FOUND;
}

}  // namespace
}  // namespace tollan

using tollan::DeviceBase;
using tollan::FindDevice;

// ---- kit lifecycle ----

KrStatus TollanInit(const char* directory) {
  TOLLAN_ENTER("TollanInit", nullptr, directory);
  const std::string folder = (directory && *directory) ? directory : ".";
  return tollan::Start(folder + "/Tollan.ini", folder, false);
}

KrStatus TollanInitFromINIFile(const char* path) {
  TOLLAN_ENTER("TollanInitFromINIFile", nullptr, path);
  TOLLAN_REQUIRE(path);
  const std::string file = path;
  const size_t slash = file.rfind('/');
  const std::string folder = (slash == std::string::npos) ? "." : file.substr(0, slash == 0 ? 1 : slash);
  return tollan::Start(file, folder, true);
}

KrStatus TollanShutdown() {
  TOLLAN_ENTER("TollanShutdown", nullptr);
  tollan::Kit& kit = tollan::TheKit();
  std::map<KrDeviceHandle, std::shared_ptr<DeviceBase>> devices;
  {
    std::lock_guard<std::mutex> guard(kit.mutex);
    if (!kit.config) {
      return KR_STATUS_TL_NOT_INITIALIZED;
    }
    for (const auto& entry : kit.devices) {
      if (entry.second->InCallbackOnThisThread()) {
        return KR_STATUS_TL_DEVICE_BUSY;  // a device cannot end inside its own callback
      }
    }
    devices.swap(kit.devices);
    kit.config.reset();
  }
  for (const auto& entry : devices) {
    entry.second->Destroy();
  }
  return KR_STATUS_OK;
}

// ---- devices ----

KrStatus KrDeviceProxyCreateDeviceByName(const char* kind, KrDeviceHandle* device, const KrDeviceConfig* config) {
  TOLLAN_ENTER("KrDeviceProxyCreateDeviceByName", nullptr, kind, config ? config->strConnectionString : nullptr);
  TOLLAN_REQUIRE(kind);
  TOLLAN_REQUIRE(device);
  TOLLAN_REQUIRE(config);
  return tollan::CreateDevice(tollan::ParamsOf(kind, *config), config->initialValues, {}, device);
}

KrStatus KrDeviceProxyCreate(KrDeviceHandle* device, const KrDeviceConfig* config) {
  TOLLAN_ENTER("KrDeviceProxyCreate", nullptr, config ? config->strConnectionString : nullptr);
  TOLLAN_REQUIRE(device);
  TOLLAN_REQUIRE(config);
  TOLLAN_REQUIRE(config->strConnectionString);
  const char* kind = tollan::KindOfConnection(config->strConnectionString);
  return tollan::CreateDevice(tollan::ParamsOf(kind, *config), config->initialValues, {}, device);
}

KrStatus KrDeviceProxyCreateDeviceByINIFile(const char* path, const char* section, KrDeviceHandle* device,
                                            KrPropertySetHandle initialValues) {
  TOLLAN_ENTER("KrDeviceProxyCreateDeviceByINIFile", nullptr, path, section);
  TOLLAN_REQUIRE(path);
  TOLLAN_REQUIRE(section);
  TOLLAN_REQUIRE(device);
  if (!tollan::IsKitStarted()) {
    return KR_STATUS_TL_NOT_INITIALIZED;
  }
  tollan::IniFile file;
  const tollan::IniSection* found = nullptr;
  TOLLAN_TRY(tollan::ReadDeviceSection(path, section, &file, &found));
  tollan::DeviceParams params;
  params.fromIniSection = true;
  for (const tollan::DeviceKey& row : tollan::kDeviceKeys) {
    const std::string* text = found->Find(row.key);
    if (text != nullptr && row.apply(*text, &params) != KR_STATUS_OK) {
      TOLLAN_LOG(KR_LOG_SEVERITY_ERROR, "%s: [%s] %s=%s is not a valid value", path, section, row.key, text->c_str());
      return KR_STATUS_TL_CONFIG_FAILED;
    }
  }
  // Without "Kind" the connection string decides, and without that too the
  // section is simulated sensor 0 (sections older than these keys).
  if (found->Find("Kind") == nullptr) {
    if (params.connection.empty()) {
      params.connection = tollan::kDefaultSensor;
    }
    params.kind = tollan::KindOfConnection(params.connection);
  } else if (params.connection.empty() && params.kind == "SensorV2") {
    params.connection = tollan::kDefaultSensor;
  }
  std::vector<tollan::StreamDefinition> streams;
  TOLLAN_TRY(tollan::ReadStreamKeys(*found, &streams));
  return tollan::CreateDevice(params, initialValues, streams, device);
}

KrStatus KrDeviceProxyLoadConfigFromFile(KrDeviceHandle device, const char* path, const char* section) {
  TOLLAN_ENTER("KrDeviceProxyLoadConfigFromFile", device, path, section);
  TOLLAN_REQUIRE(device);
  TOLLAN_REQUIRE(path);
  TOLLAN_REQUIRE(section);
  std::shared_ptr<DeviceBase> target = FindDevice(device);
  if (!target) {
    return KR_STATUS_TL_BAD_HANDLE;
  }
  tollan::IniFile file;
  const tollan::IniSection* found = nullptr;
  TOLLAN_TRY(tollan::ReadDeviceSection(path, section, &file, &found));
  return target->LoadConfig(*found);
}

KrStatus KrDeviceProxyDestroy(KrDeviceHandle* device) {
  TOLLAN_ENTER("KrDeviceProxyDestroy", device ? *device : nullptr);
  TOLLAN_REQUIRE(device);
  TOLLAN_REQUIRE(*device);
  tollan::Kit& kit = tollan::TheKit();
  std::shared_ptr<DeviceBase> target;
  {
    std::lock_guard<std::mutex> guard(kit.mutex);
    auto found = kit.devices.find(*device);
    if (found == kit.devices.end()) {
      return KR_STATUS_TL_BAD_HANDLE;
    }
    if (found->second->InCallbackOnThisThread()) {
      return KR_STATUS_TL_DEVICE_BUSY;
    }
    target = found->second;
    kit.devices.erase(found);
  }
  // The handle is gone whatever Destroy reports: a failure only says what
  // the device could not finish (a recording left without its index).
  const KrStatus status = target->Destroy();
  *device = nullptr;
  return status;
}

KrStatus KrDeviceProxyEnumerate(char (*connectionStrings)[KR_MAX_NAME_LENGTH], uint32_t* count) {
  TOLLAN_ENTER("KrDeviceProxyEnumerate", nullptr);
  TOLLAN_REQUIRE(count);
  std::shared_ptr<const tollan::KitConfig> config = tollan::GetKitConfig();
  if (!config) {
    return KR_STATUS_TL_NOT_INITIALIZED;
  }
  if (connectionStrings == nullptr) {
    *count = config->sensors;
    return KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;
  }
  const uint32_t written = std::min(*count, config->sensors);
  for (uint32_t i = 0; i < written; ++i) {
    std::snprintf(connectionStrings[i], KR_MAX_NAME_LENGTH, "*:%u", i);
  }
  *count = written;
  return KR_STATUS_OK;
}

KrStatus KrDeviceProxyGetDeviceName(KrDeviceHandle device, char* name, uint32_t capacity) {
  TOLLAN_ENTER("KrDeviceProxyGetDeviceName", device);
  TOLLAN_REQUIRE(device);
  TOLLAN_REQUIRE(name);
  std::shared_ptr<DeviceBase> target = FindDevice(device);
  if (!target) {
    return KR_STATUS_TL_BAD_HANDLE;
  }
  if (capacity == 0) {
    return KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;
  }
  const std::string& kind = target->Kind();
  const size_t length = std::min<size_t>(kind.size(), capacity - 1);
  std::memcpy(name, kind.data(), length);
  name[length] = '\0';
  return length < kind.size() ? KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW : KR_STATUS_OK;
}
