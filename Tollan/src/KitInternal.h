// Inside view of the Tollan kit: its started state and configuration, the
// registry of live devices behind the opaque handles, INI reading shared by
// the configuration and the device sections, and the one entry helper that
// every exported call goes through (journal and injected failures).
//
// Everything here is safe from any thread: the kit state and the device
// registry have their own locks, and a configuration, once published, is
// immutable (readers hold a shared pointer to a snapshot).
#pragma once

#include <Orvane/OrvaneLog.h>
#include <Orvane/OrvaneTypes.h>
#include <Tollan/TollanDevice.h>
#include <Tollan/TollanStatus.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

// Returns from the calling function when the status is a failure.
#define TOLLAN_TRY(expression)                   \
  do {                                           \
    const KrStatus tollanStatus_ = (expression); \
    if (tollanStatus_ != KR_STATUS_OK) {         \
      return tollanStatus_;                      \
    }                                            \
  } while (0)

// Returns 0x10004 from the calling function when the pointer is null.
#define TOLLAN_REQUIRE(pointer)         \
  do {                                  \
    if ((pointer) == nullptr) {         \
      return KR_STATUS_OS_NULL_POINTER; \
    }                                   \
  } while (0)

// First statement of every exported kit call: journals the call with its key
// arguments and returns an injected failure when the test tables ask for one.
// Arguments: call name, device handle (or null), then up to three texts.
#define TOLLAN_ENTER(...) TOLLAN_TRY(::tollan::EnterCall(__VA_ARGS__))

namespace tollan {

class DeviceBase;

// ---- INI files ----

// One section of an INI file: keys in file order (a repeated key keeps each
// occurrence; lookups take the last).
struct IniSection {
  std::string name;
  std::vector<std::pair<std::string, std::string>> keys;
  const std::string* Find(const std::string& key) const;  // null when absent
};

// A whole INI file read with inih; sections in order of first appearance
// (a section that appears twice is merged).
struct IniFile {
  std::string path;
  std::vector<IniSection> sections;
  const IniSection* Find(const std::string& section) const;  // null when absent
};

// Reads the file. Missing or unreadable: 0x1000B; a syntax error: 0x307D8.
KrStatus ReadIniFile(const std::string& path, IniFile* file);

// Text to value conversions used by every INI key of the kit. Integers are
// decimal or "0x" hexadecimal, unsigned 64-bit, the whole text; reals are the
// whole text read by strtod; general values are hexadecimal byte pairs
// (blanks between pairs allowed). Anything else: 0x10015.
KrStatus ParseUnsigned(const std::string& text, uint64_t* value);
KrStatus ParseReal(const std::string& text, double* value);
KrStatus ParseHexBytes(const std::string& text, std::vector<uint8_t>* bytes);
// The simulated sensor's scene: "noisy" (*noise true) or "clean"; else 0x10015.
KrStatus ParseScene(const std::string& text, bool* noise);

// ---- configuration ----

// The kit's configuration as read at start (see docs/tollan-configuration.md).
struct KitConfig {
  std::string path;       // the file read, empty when none was present
  std::string directory;  // the directory given to TollanInit ("." for the current one)
  uint32_t sensors = 1;   // number of simulated sensors ("*:0" .. "*:N-1")
  bool paced = true;      // simulated frames follow their frame rate
  bool noise = true;      // simulated frames carry sensor noise ("Scene" noisy); false: the clean scene
  uint64_t noiseSeed = 0; // seed of that noise
  IniFile file;           // every section of the file, for the device kinds ("SensorV2.N" and others)
};

// The configuration of the running kit; null when the kit is not started.
std::shared_ptr<const KitConfig> GetKitConfig();
bool IsKitStarted();

// ---- device kinds ----

// What a device kind is asked to create.
struct DeviceParams {
  std::string kind;        // "SensorV2", "File", "Scripted"
  std::string connection;  // as given; kinds interpret it ("*:N", a path, a script name)
  KrDeviceMode mode = KR_DEVICE_MODE_READ;
  KrDeviceSharingMode sharing = KR_DEVICE_SHARING_EXCLUSIVE;
  bool fromIniSection = false;  // an INI section describes the streams: create none by default
  std::shared_ptr<const KitConfig> config;
};

// Makes a device object of one kind and declares its modules, properties and
// streams (DeviceBase::Setup). Unknown connection: KR_STATUS_TL_DEVICE_NOT_FOUND.
using DeviceFactory = KrStatus (*)(const DeviceParams& params, std::shared_ptr<DeviceBase>* device);

// The factories of the kinds, each in its own source file.
KrStatus CreateSensorDevice(const DeviceParams& params, std::shared_ptr<DeviceBase>* device);
KrStatus CreateFileDevice(const DeviceParams& params, std::shared_ptr<DeviceBase>* device);
KrStatus CreateScriptedDevice(const DeviceParams& params, std::shared_ptr<DeviceBase>* device);

// ---- the registry of live devices ----

// The live device behind a handle, or null (never started, destroyed, random).
std::shared_ptr<DeviceBase> FindDevice(KrDeviceHandle handle);

// ---- journal and injected failures (Testing.cpp) ----

// Counts the call, journals it when the journal is on, and returns the status
// of an injected failure that applies (KR_STATUS_OK otherwise).
// The texts are the call's key arguments (module, property, stream, kind);
// null texts are journaled as "(null)".
KrStatus EnterCallN(const char* call, KrDeviceHandle device, const char* const* args, int count);
inline KrStatus EnterCall(const char* call, KrDeviceHandle device) { return EnterCallN(call, device, nullptr, 0); }
inline KrStatus EnterCall(const char* call, KrDeviceHandle device, const char* a1) {
  const char* args[] = {a1};
  return EnterCallN(call, device, args, 1);
}
inline KrStatus EnterCall(const char* call, KrDeviceHandle device, const char* a1, const char* a2) {
  const char* args[] = {a1, a2};
  return EnterCallN(call, device, args, 2);
}
inline KrStatus EnterCall(const char* call, KrDeviceHandle device, const char* a1, const char* a2, const char* a3) {
  const char* args[] = {a1, a2, a3};
  return EnterCallN(call, device, args, 3);
}

// ---- logging ----

// One line of the kit's log (mask "Tollan").
void LogKit(int32_t severity, const char* file, int line, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;
#define TOLLAN_LOG(severity, ...) ::tollan::LogKit((severity), __FILE__, __LINE__, __VA_ARGS__)

}  // namespace tollan
