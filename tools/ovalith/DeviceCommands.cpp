// ovalith devices, ovalith info: the sensors the kit offers, and every
// module and property of one device with its value.
#include "ToolCommon.h"

#include <Tollan/TollanFlash.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace ovalith_tool {
namespace {

constexpr uint32_t kMaxDevices = 64;

// ---- devices ----

// "serial ..., firmware major.minor.build" of one sensor.
bool DescribeSensor(const char* connection, std::string* text) {
  KrVDevice device;
  KrVPropertySet values;  // no reset for a look at the sensor
  values.AddProperty("Device", "ResetSensorOnStartup", uint64_t{0});
  if (!Check(device.CreateSensor(connection, &values, KR_DEVICE_SHARING_SHARED),
             std::string("cannot open ") + connection)) {
    return false;
  }
  std::string serial;
  VersionRecord version = {};
  if (!GetText(device, "Device", "ID", &serial) ||
      !Check(device.GetProperty("Device", "Version", KrGeneralBuffer{&version, sizeof(version)}),
             "cannot read the firmware version of " + std::string(connection))) {
    return false;
  }
  *text = "serial " + serial + ", firmware " + std::to_string(version.major) + "." + std::to_string(version.minor) +
          "." + std::to_string(version.build);
  return true;
}

int RunDevices() {
  KrVDevice device;
  char connections[kMaxDevices][KR_MAX_NAME_LENGTH] = {};
  uint32_t count = kMaxDevices;
  if (!Check(device.Enumerate(connections, &count), "cannot list the sensors")) return kExitFailed;
  count = std::min(count, kMaxDevices);
  std::printf("%u sensor(s)\n", count);
  bool allDescribed = true;
  for (uint32_t i = 0; i < count; ++i) {
    connections[i][KR_MAX_NAME_LENGTH - 1] = '\0';
    std::string text;
    const bool described = DescribeSensor(connections[i], &text);
    std::printf("  %-8s %s\n", connections[i], described ? text.c_str() : "(cannot be opened)");
    allDescribed = allDescribed && described;
  }
  return allDescribed ? kExitOk : kExitFailed;
}

// ---- info ----

// General values longer than this print as a summary in text output unless
// --full is given (the depth tables run to tens of thousands of digits).
constexpr uint32_t kFullGeneralBytes = 64;
// How many 16-bit entries a summary shows at each end.
constexpr uint32_t kSummaryEntries = 4;

// "20002 bytes, 10001 16-bit entries: 0 0 0 0 ... 2046 2047 2047 2047": the
// size and the first and last entries of a table (the sensor's tables hold
// 16-bit little-endian entries; an odd size shows bytes instead).
std::string TableSummary(const uint8_t* bytes, uint32_t size) {
  const bool entries16 = size % 2 == 0;
  const uint32_t width = entries16 ? 2 : 1, count = size / width;
  const auto entry = [&](uint32_t i) {
    return std::to_string(entries16 ? bytes[2 * i] | bytes[2 * i + 1] << 8 : bytes[i]);
  };
  std::string text = std::to_string(size) + " bytes, " + std::to_string(count) +
                     (entries16 ? " 16-bit entries:" : " 8-bit entries:");
  for (uint32_t i = 0; i < kSummaryEntries; ++i) text += " " + entry(i);
  text += " ...";
  for (uint32_t i = count - kSummaryEntries; i < count; ++i) text += " " + entry(i);
  return text + " (--full shows every byte)";
}

// The value of the enumerator's current entry as text; json quotes texts
// and general values (shown as hexadecimal bytes, always in full; text
// output summarises long ones unless full).
bool ValueText(KrPropertySetEnumeratorHandle entry, KrPropertyType type, bool json, bool full, std::string* text) {
  uint64_t integer = 0;
  double real = 0;
  const char* string = nullptr;
  KrGeneralBuffer general = {};
  switch (type) {
    case KR_PROPERTY_TYPE_INTEGER:
      if (!Check(KrPropertySetEnumeratorGetIntValue(entry, &integer), "cannot read a value")) return false;
      *text = std::to_string(integer);
      return true;
    case KR_PROPERTY_TYPE_REAL:
      if (!Check(KrPropertySetEnumeratorGetRealValue(entry, &real), "cannot read a value")) return false;
      *text = RealText(real, json);
      return true;
    case KR_PROPERTY_TYPE_STRING:
      if (!Check(KrPropertySetEnumeratorGetStringValue(entry, &string), "cannot read a value")) return false;
      *text = json ? Quoted(string) : string;
      return true;
    default:
      if (!Check(KrPropertySetEnumeratorGetGeneralValue(entry, &general), "cannot read a value")) return false;
      if (!json && !full && general.nDataSize > kFullGeneralBytes) {
        *text = TableSummary(static_cast<const uint8_t*>(general.pData), general.nDataSize);
        return true;
      }
      *text = Hex(general.pData, general.nDataSize);
      if (json) *text = Quoted(*text);
      return true;
  }
}

// Prints every entry of set, module by module, as text or as one JSON object.
bool PrintProperties(const KrVPropertySet& set, const std::string& name, bool json, bool full) {
  KrPropertySetEnumeratorHandle entry = nullptr;
  if (!Check(KrPropertySetGetEnumerator(set.GetHandle(), &entry, nullptr), "cannot list the properties")) return false;
  std::string module, out = json ? "{\"device\": " + Quoted(name) + ", \"modules\": {" : "device " + name + "\n";
  bool end = false, ok = true;
  while (ok && (ok = KrPropertySetEnumeratorMoveNext(entry, &end) == KR_STATUS_OK) && !end) {
    KrPropertyType type = KR_PROPERTY_TYPE_INTEGER;
    const char *entryModule = nullptr, *property = nullptr;
    std::string value;
    ok = KrPropertySetEnumeratorGetCurrentPropertyInfo(entry, &type, &entryModule, &property) == KR_STATUS_OK &&
         ValueText(entry, type, json, full, &value);
    if (!ok) break;
    const bool first = module.empty();
    if (entryModule != module) {
      module = entryModule;
      out += json ? std::string(first ? "" : "}, ") + Quoted(module) + ": {" : "[" + module + "]\n";
    } else if (json) {
      out += ", ";
    }
    out += json ? Quoted(property) + ": " + value : "  " + std::string(property) + " = " + value + "\n";
  }
  KrPropertySetEnumeratorFree(&entry);
  if (!ok) return Fail("cannot list the properties of " + name);
  out += json ? std::string(module.empty() ? "" : "}") + "}}\n" : "";
  std::fputs(out.c_str(), stdout);
  return true;
}

// A sensor shows one stream of every type it supports, so that the stream
// settings are listed too.
bool AddSupportedStreams(KrVDevice& device) {
  const char* names[16] = {};
  uint32_t count = 16;
  if (!Check(device.GetSupportedStreams(names, &count), "cannot list the supported streams")) return false;
  for (uint32_t i = 0; i < count && i < 16; ++i) {
    if (!Check(device.AddStream(names[i], names[i], nullptr), std::string("cannot add a ") + names[i] + " stream")) {
      return false;
    }
  }
  return true;
}

// How a recording stores each stream: the codec it was recorded with and its
// frames' bytes in the file against their size as delivered.
bool PrintStorage(KrVDevice& file) {
  std::vector<std::string> names;
  if (!StreamNames(file, &names)) return false;
  // "Codec" shows how the frames read last were stored: one round is read.
  file.Read();
  std::printf("storage\n");
  for (const std::string& name : names) {
    std::string codec;
    uint64_t frames = 0, stored = 0, frameSize = 0;
    if (!GetText(file, name.c_str(), "Codec", &codec) ||
        !Check(file.GetProperty(name.c_str(), "StoredBytes", stored), "cannot read " + name + ".StoredBytes") ||
        !Check(file.GetProperty(name.c_str(), "NumberOfFrames", frames), "cannot read " + name + ".NumberOfFrames")) {
      return false;
    }
    std::printf("  %-8s codec %-5s %12llu bytes", name.c_str(), codec.c_str(), static_cast<unsigned long long>(stored));
    // The delivered size is known when the frame size stayed as recorded.
    if (file.GetProperty(name.c_str(), "RequiredDataSize", frameSize) == KR_STATUS_OK && frames * frameSize > 0) {
      std::printf(", %.3f of %llu bytes raw", static_cast<double>(stored) / static_cast<double>(frames * frameSize),
                  static_cast<unsigned long long>(frames * frameSize));
    }
    std::printf("\n");
  }
  return true;
}

// ---- camera geometry ----

// The pinhole intrinsics of every pixel stream and the motion from each depth
// camera stream to the colour camera, as the engine's KrVCameraIntrinsics and
// KrVCameraExtrinsics give them now (docs/camera-geometry.md). Streams
// without a calibration are left out; nothing to show prints nothing.
bool PrintCameraGeometry(KrVDevice& device) {
  std::vector<std::string> names;
  if (!StreamNames(device, &names)) return false;
  std::string out;
  for (const std::string& name : names) {
    KrVCameraIntrinsics k;
    if (KrVCameraIntrinsics::FromStream(device, name.c_str(), k) != KR_STATUS_OK) continue;
    char line[256];
    std::snprintf(line, sizeof(line), "  %-8s %ux%u  fx %.10g  fy %.10g  cx %.10g  cy %.10g  distortion %s\n",
                  name.c_str(), k.width, k.height, k.fx, k.fy, k.cx, k.cy, k.GetDistortionModel());
    out += line;
  }
  for (const std::string& name : names) {
    std::string type;
    if (!GetText(device, name.c_str(), "Type", &type)) return false;
    KrVCameraExtrinsics e;
    if ((type != "Depth" && type != "IR") || KrVCameraExtrinsics::FromStream(device, name.c_str(), e) != KR_STATUS_OK) {
      continue;
    }
    const double* r = e.rotation;  // "+ 0.0" below prints -0 as 0
    char line[400];
    std::snprintf(line, sizeof(line),
                  "  %s to Image  rotation [%.10g %.10g %.10g; %.10g %.10g %.10g; %.10g %.10g %.10g]  "
                  "translation [%.10g %.10g %.10g] mm\n",
                  name.c_str(), r[0] + 0.0, r[1] + 0.0, r[2] + 0.0, r[3] + 0.0, r[4] + 0.0, r[5] + 0.0, r[6] + 0.0,
                  r[7] + 0.0, r[8] + 0.0, e.translation[0] + 0.0, e.translation[1] + 0.0, e.translation[2] + 0.0);
    out += line;
  }
  if (!out.empty()) std::printf("cameras\n%s", out.c_str());
  return true;
}

int RunInfo(const OptionalText& connection, const OptionalText& file, bool json, bool full) {
  Source source;
  if (!OpenEither(connection, file, {}, &source)) return kExitFailed;
  if (!source.isFile && !AddSupportedStreams(*source.device)) return kExitFailed;
  KrVPropertySet set;
  if (!Check(source.device->GetAllProperties(set, 0, nullptr), "cannot read the properties of " + source.name)) {
    return kExitFailed;
  }
  if (!PrintProperties(set, source.name, json, full)) return kExitFailed;
  if (!json && !PrintCameraGeometry(*source.device)) return kExitFailed;
  if (source.isFile && !json && !PrintStorage(*source.device)) return kExitFailed;
  if (!source.isFile && !json) {
    // What record's --depth, --image, --ir and --audio may ask for.
    std::vector<std::string> names;
    if (!StreamNames(*source.device, &names)) return kExitFailed;
    std::printf("offered modes\n");
    for (const std::string& name : names) {
      std::string type;
      if (!GetText(*source.device, name.c_str(), "Type", &type)) return kExitFailed;
      std::printf("  %-6s %s\n", type.c_str(), OfferedModes(*source.device, type).c_str());
    }
  }
  return kExitOk;
}

}  // namespace

void AddDeviceCommands(CLI::App& app, Command* command) {
  CLI::App* devices = app.add_subcommand("devices", "list every sensor the kit offers, with serial and firmware");
  devices->callback([command] { *command = RunDevices; });

  struct InfoOptions {
    OptionalText connection, file;
    bool json = false;
    bool full = false;
  };
  auto options = std::make_shared<InfoOptions>();
  CLI::App* info = app.add_subcommand("info", "show every module and property of a device or recording");
  CLI::Option* device = AddTextOption(info, "--device", &options->connection, "connection string (default *:0)");
  AddTextOption(info, "--file", &options->file, "a recording")->excludes(device);
  info->add_flag("--json", options->json, "print one JSON object (long tables in full)");
  info->add_flag("--full", options->full, "print long tables (\"S2D\", \"D2S\") in full, not as a summary");
  info->callback([command, options] {
    *command = [options] { return RunInfo(options->connection, options->file, options->json, options->full); };
  });
}

}  // namespace ovalith_tool
