// The older interface's INI configuration: opening a sensor from an
// old-format INI file (a stream section and a "SensorV2" sensor section),
// the stream set-ups of new recordings (fixed defaults, or the layout of
// another device), and capture mode. Every key and its effect is a row of
// the tables below; the walkers are small.
#include <Ovalith/Infrastructure/KrVDevice.h>

#include <Orvane/OrvaneOS.h>
#include <Ovalith/Infrastructure/KrVDeviceLegacy36Internal.h>
#include <Ovalith/Infrastructure/KrVDeviceStream.h>
#include <Ovalith/framedata/KrVPixelStreamData.h>
#include <Ovalith/properties/KrVCheckInternal.h>
#include <Ovalith/properties/KrVPropertySet.h>
#include <Tollan/TollanBC.h>

#include <cstdio>
#include <cstring>

namespace {

using krv36::StreamLayout;

// Text values of the old format are read into a buffer of this size.
constexpr size_t kIniTextSize = 256;
// Source stream names asked for when a recording copies a device's layout.
constexpr uint32_t kMaxSourceStreams = 100;
const char kSensorKind[] = "SensorV2";

#pragma pack(push, 1)
// The value of "Depth"/"AGCBin", little-endian: the kit fills the bounds of
// the bin named by index.
struct DepthAgcBinRecord {
  uint16_t index;
  uint16_t minDepth;
  uint16_t maxDepth;
};
#pragma pack(pop)
static_assert(sizeof(DepthAgcBinRecord) == 6, "DepthAgcBinRecord is 6 bytes");

// INI integers are 32-bit signed; the 64-bit properties take them
// zero-extended.
uint64_t Widen(int32_t value) { return static_cast<uint64_t>(static_cast<uint32_t>(value)); }

bool ReadInt(const char* iniFile, const char* section, const char* key, int32_t* value) {
  return krOSReadIntFromINI(iniFile, section, key, value) == KR_STATUS_OK;
}

bool ReadText(const char* iniFile, const char* section, const char* key, char (&text)[kIniTextSize]) {
  return krOSReadStringFromINI(iniFile, section, key, text, sizeof(text)) == KR_STATUS_OK;
}

// ---- the stream section ----

// A format key turns its text into a legacy code (-1 when unrecognised) and
// the code, read or default, into the stream's "OutputFormat"; an integer
// key replaces one value.
struct StreamKeyRow {
  const char* key;
  int32_t (*formatFromText)(const char*);          // null for integer keys
  KrStatus (*formatToOutput)(int32_t, uint32_t*);  // format keys only
  int32_t defaultFormat;                           // format keys only
  uint64_t* (*field)(StreamLayout&);
};

const StreamKeyRow kStreamKeys[] = {
    {"StreamDepthFormat", KrBCGetStreamDepthFormatFromString, KrBCDepthFormatToOutputFormat, 2,
     [](StreamLayout& l) { return &l.depth.outputFormat; }},
    {"StreamDepthFramesPerSecond", nullptr, nullptr, 0, [](StreamLayout& l) { return &l.depth.fps; }},
    {"StreamDepthXRes", nullptr, nullptr, 0, [](StreamLayout& l) { return &l.depth.xRes; }},
    {"StreamDepthYRes", nullptr, nullptr, 0, [](StreamLayout& l) { return &l.depth.yRes; }},
    {"StreamImageFormat", KrBCGetStreamImageFormatFromString, KrBCImageFormatToOutputFormat, 2,
     [](StreamLayout& l) { return &l.image.outputFormat; }},
    {"StreamImageFramesPerSecond", nullptr, nullptr, 0, [](StreamLayout& l) { return &l.image.fps; }},
    {"StreamImageXRes", nullptr, nullptr, 0, [](StreamLayout& l) { return &l.image.xRes; }},
    {"StreamImageYRes", nullptr, nullptr, 0, [](StreamLayout& l) { return &l.image.yRes; }},
    {"StreamAudioFormat", KrBCGetStreamAudioFormatFromString, KrBCAudioFormatToOutputFormat, 1,
     [](StreamLayout& l) { return &l.audio.outputFormat; }},
    {"StreamAudioNumOfChannels", nullptr, nullptr, 0, [](StreamLayout& l) { return &l.audio.channels; }},
    {"StreamAudioSampleRate", nullptr, nullptr, 0, [](StreamLayout& l) { return &l.audio.sampleRate; }},
};

KrStatus ReadStreamKeys(const char* iniFile, const char* section, StreamLayout* layout) {
  for (const StreamKeyRow& row : kStreamKeys) {
    uint64_t* field = row.field(*layout);
    if (row.formatFromText == nullptr) {
      int32_t value = 0;
      if (ReadInt(iniFile, section, row.key, &value)) {
        *field = Widen(value);
      }
      continue;
    }
    // The output format is always recomputed from a legacy code, so one
    // copied from a source device does not survive.
    int32_t code = row.defaultFormat;
    char text[kIniTextSize] = {};
    if (ReadText(iniFile, section, row.key, text)) {
      code = row.formatFromText(text);
    }
    uint32_t outputFormat = 0;
    KRV_RETURN_IF_FAILED(row.formatToOutput(code, &outputFormat));
    *field = outputFormat;
  }
  return KR_STATUS_OK;
}

// ---- the sensor section ----

enum class SensorKey {
  kIOParamByName,    // SetIOParam(key, v)
  kIOParamByNumber,  // SetIOParam(number, v)
  kProperty,         // SetProperty(module, property, 64-bit v)
  kLegacyProperty,   // the 32-bit legacy setter
  kDepthMode,
  kImageMode,
  kAudioMode,
  kAgcBins,  // DepthAGCBin<n>MinDepth / ...MaxDepth, bins 0 to 3
  kCropping  // IRCroppingEnabled and the four IRCrop keys
};

struct SensorKeyRow {
  const char* key;
  SensorKey kind;
  const char* module;
  const char* property;
  uint32_t number;  // kIOParamByNumber
};

// In the order read and applied.
const SensorKeyRow kSensorKeys[] = {
    {"RGBRegistrarState", SensorKey::kIOParamByName, nullptr, nullptr, 0},
    {"MinDepthValue", SensorKey::kIOParamByName, nullptr, nullptr, 0},
    {"MaxDepthValue", SensorKey::kIOParamByName, nullptr, nullptr, 0},
    {"DepthMode", SensorKey::kDepthMode, "Depth", "InputFormat", 0},
    {"ImageMode", SensorKey::kImageMode, "Image", "InputFormat", 0},
    {"AudioMode", SensorKey::kAudioMode, nullptr, nullptr, 0},
    {"DepthGain", SensorKey::kLegacyProperty, "Depth", "Gain", 0},
    {nullptr, SensorKey::kAgcBins, nullptr, nullptr, 0},
    {"HoleFilter", SensorKey::kProperty, "Depth", "HoleFilter", 0},
    {"FrameSync", SensorKey::kProperty, "Device", "FrameSync", 0},
    {"Flicker", SensorKey::kProperty, "Image", "Flicker", 0},
    {"PrimaryStream", SensorKey::kIOParamByNumber, nullptr, nullptr, 25},  // "Device"/"PrimaryStream"
    {"GMCMode", SensorKey::kIOParamByName, nullptr, nullptr, 0},
    {"IRCroppingEnabled", SensorKey::kCropping, "Image", "Cropping", 0},
    {"AudioLeftChannelVolume", SensorKey::kIOParamByName, nullptr, nullptr, 0},
    {"AudioRightChannelVolume", SensorKey::kIOParamByName, nullptr, nullptr, 0},
    {"AudioReadChunkSize", SensorKey::kIOParamByName, nullptr, nullptr, 0},
    {"DepthWhiteBalance", SensorKey::kIOParamByName, nullptr, nullptr, 0},
    {"SensorLogFilter", SensorKey::kProperty, "Device", "FirmwareLogFilter", 0},
    {"GMCDebug", SensorKey::kProperty, "Depth", "GmcDebug", 0},
};

// "DepthMode" and "ImageMode": the "InputFormat" each mode selects; -1
// leaves the stream closed, -2 (image mode 3) switches to infra-red.
constexpr int64_t kModeClosed = -1;
constexpr int64_t kModeIR = -2;
const int64_t kDepthModes[] = {kModeClosed, 1, 0, 3};
const int64_t kImageModes[] = {kModeClosed, 0, 1, kModeIR, 2, 5};

// The mode table's entry for value, or false outside it.
template <size_t N>
bool ModeOf(const int64_t (&modes)[N], int32_t value, int64_t* mode) {
  if (value < 0 || static_cast<size_t>(value) >= N) {
    return false;
  }
  *mode = modes[value];
  return true;
}

// The crop keys, in reading order; each is required once cropping is on.
const char* const kCropKeys[] = {"IRCropXOffset", "IRCropYOffset", "IRCropXSize", "IRCropYSize"};

}  // namespace

// ---- OpenFromINI ----

KrStatus KrVDevice::OpenFromINI(const char* iniFile, const char* section, KrVStreamContainer* source) {
  KrVPropertySet initialValues;
  KRV_RETURN_IF_FAILED(Record(initialValues.AddProperty("Device", "HighResTimestamps", static_cast<uint64_t>(0))));
  KRV_RETURN_IF_FAILED(CreateFromINI(iniFile, section, &initialValues));

  uint32_t count = 0;
  const KrStatus counted = GetStreamNames(nullptr, &count);
  if (counted != KR_STATUS_OK && counted != KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW) {
    Close();
    return Record(counted);
  }
  if (count != 0) {
    return Record(KR_STATUS_OK);  // streams defined in the current format
  }
  const KrStatus configured = ConfigureDevice36FromINI(iniFile, section, source);
  if (configured != KR_STATUS_OK) {
    CloseImpl();
    return Record(configured);
  }
  return Record(KR_STATUS_OK);
}

KrStatus KrVDevice::ConfigureDevice36FromINI(const char* iniFile, const char* section, KrVStreamContainer* source) {
  StreamLayout layout;
  layout.depth.outputFormat = 1;
  layout.image.outputFormat = 5;

  char deviceName[KR_MAX_NAME_LENGTH] = {};
  KRV_RETURN_IF_FAILED(Record(KrDeviceProxyGetDeviceName(deviceHandle, deviceName, sizeof(deviceName))));
  if (source != nullptr) {
    KRV_RETURN_IF_FAILED(Record(krv36::SeedFromSource(*source, KR_STATUS_OS_ERROR, &layout)));
  }
  KRV_RETURN_IF_FAILED(Record(ReadStreamKeys(iniFile, section, &layout)));
  KRV_RETURN_IF_FAILED(Record(krv36::AddStreams(*this, layout, false)));

  char flagsText[kIniTextSize] = {};
  if (ReadText(iniFile, section, "StreamFlags", flagsText)) {
    const int32_t flags = KrBCGetStreamFlagsFromString(flagsText);
    if (flags == -1) {
      return Record(KR_STATUS_TL_BAD_STREAM_FLAGS);
    }
    // Only the mirror alone counts; a combination turns the mirror off.
    KRV_RETURN_IF_FAILED(SetProperty("Device", "Mirror", static_cast<uint64_t>(flags == 1 ? 1 : 0)));
  }

  KRV_RETURN_IF_FAILED(ConfigureFromOldINIFileAndOpen(iniFile, section));

  int32_t captureMode = 0;
  if (ReadInt(iniFile, section, "CaptureMode", &captureMode) && captureMode == 1) {
    int32_t newFramesOnly = 0;
    ReadInt(iniFile, section, "CaptureModeNewFramesOnly", &newFramesOnly);
    KRV_RETURN_IF_FAILED(StartCaptureMode(newFramesOnly));
  }
  return Record(KR_STATUS_OK);
}

KrStatus KrVDevice::ConfigureFromOldINIFileAndOpen(const char* iniFile, const char* /*section*/) {
  int openDepth = 1;
  int openImage = 1;
  int openAudio = 1;
  char deviceName[KR_MAX_NAME_LENGTH] = {};
  KRV_RETURN_IF_FAILED(Record(KrDeviceProxyGetDeviceName(deviceHandle, deviceName, sizeof(deviceName))));

  if (std::strcmp(deviceName, kSensorKind) == 0) {
    openAudio = 0;
    // The sensor section is named after the device, not after the stream
    // section the caller named.
    KRV_RETURN_IF_FAILED(ApplySensorSection36(iniFile, deviceName, &openDepth, &openImage));
    // A stream the layout left out (a source device without it) is not
    // there to open.
    const struct {
      const char* name;
      int open;
    } streamsToOpen[] = {{"Depth", openDepth}, {"Image", openImage}, {"Audio", openAudio}};
    for (const auto& stream : streamsToOpen) {
      if (stream.open != 0 && FindStream(stream.name) != nullptr) {
        KRV_RETURN_IF_FAILED(OpenStream(stream.name));
      }
    }
  } else {
    KRV_RETURN_IF_FAILED(OpenAllStreams());
  }

  // Reads and the client callbacks deliver the infra-red frames as the image.
  if (irMap != nullptr) {
    imageMap = irMap;
  }
  return Record(KR_STATUS_OK);
}

KrStatus KrVDevice::ApplySensorSection36(const char* iniFile, const char* section, int* openDepth, int* openImage) {
  for (const SensorKeyRow& row : kSensorKeys) {
    if (row.kind == SensorKey::kAgcBins) {
      for (uint32_t bin = 0; bin < 4; ++bin) {
        KRV_RETURN_IF_FAILED(ConfigureAGCDepthBinFromOldINIFile(iniFile, section, bin, 0));
        KRV_RETURN_IF_FAILED(ConfigureAGCDepthBinFromOldINIFile(iniFile, section, bin, 1));
      }
      continue;
    }
    int32_t value = 0;
    if (!ReadInt(iniFile, section, row.key, &value)) {
      continue;  // absent keys change nothing
    }
    int64_t mode = 0;
    switch (row.kind) {
      case SensorKey::kIOParamByName:
        KRV_RETURN_IF_FAILED(SetIOParam(row.key, value));
        break;
      case SensorKey::kIOParamByNumber:
        KRV_RETURN_IF_FAILED(SetIOParam(row.number, value));
        break;
      case SensorKey::kProperty:
        KRV_RETURN_IF_FAILED(SetProperty(row.module, row.property, Widen(value)));
        break;
      case SensorKey::kLegacyProperty:
        KRV_RETURN_IF_FAILED(SetProperty(row.module, row.property, static_cast<uint32_t>(value)));
        break;
      case SensorKey::kDepthMode:
      case SensorKey::kImageMode: {
        const bool depth = row.kind == SensorKey::kDepthMode;
        const bool known = depth ? ModeOf(kDepthModes, value, &mode) : ModeOf(kImageModes, value, &mode);
        if (!known) {
          return Record(KR_STATUS_QM_BAD_PARAMETER);
        }
        if (mode == kModeClosed) {
          *(depth ? openDepth : openImage) = 0;
        } else if (mode == kModeIR) {
          KRV_RETURN_IF_FAILED(SwitchImageToIR36());
        } else {
          KRV_RETURN_IF_FAILED(SetProperty(row.module, row.property, static_cast<uint64_t>(mode)));
        }
        break;
      }
      case SensorKey::kAudioMode:
        // Both accepted modes leave the audio stream closed.
        if (value != 0 && value != 1) {
          return Record(KR_STATUS_QM_BAD_PARAMETER);
        }
        break;
      case SensorKey::kCropping: {
        if (value != 1) {
          break;
        }
        int32_t bounds[4] = {};
        for (size_t i = 0; i < 4; ++i) {
          KRV_RETURN_IF_FAILED(Record(krOSReadIntFromINI(iniFile, section, kCropKeys[i], &bounds[i])));
        }
        CroppingRecord cropping{1, static_cast<uint16_t>(bounds[0]), static_cast<uint16_t>(bounds[1]),
                                static_cast<uint16_t>(bounds[2]), static_cast<uint16_t>(bounds[3])};
        KRV_RETURN_IF_FAILED(SetProperty(row.module, row.property, KrGeneralBuffer{&cropping, sizeof(cropping)}));
        break;
      }
      case SensorKey::kAgcBins:
        break;
    }
  }
  return KR_STATUS_OK;
}

KrStatus KrVDevice::SwitchImageToIR36() {
  KrVPropertySet values;
  static const char* const kKept[] = {"XRes", "YRes", "FPS"};
  for (const char* property : kKept) {
    uint64_t value = 0;
    KRV_RETURN_IF_FAILED(GetProperty("Image", property, value));
    KRV_RETURN_IF_FAILED(Record(values.AddProperty("Image", property, value)));
  }
  KRV_RETURN_IF_FAILED(RemoveStream("Image"));
  return AddStream("IR", "Image", &values);
}

KrStatus KrVDevice::ConfigureAGCDepthBinFromOldINIFile(const char* iniFile, const char* section, uint32_t bin,
                                                       int isMax) {
  char key[64];
  std::snprintf(key, sizeof(key), "DepthAGCBin%u%sDepth", bin, isMax != 0 ? "Max" : "Min");
  int32_t value = 0;
  if (!ReadInt(iniFile, section, key, &value)) {
    return Record(KR_STATUS_OK);
  }
  // The kit fills the bin's current bounds, so the bound not in the file is
  // written back unchanged.
  DepthAgcBinRecord record{static_cast<uint16_t>(bin), 0, 0};
  const KrGeneralBuffer buffer{&record, sizeof(record)};
  KRV_RETURN_IF_FAILED(GetProperty("Depth", "AGCBin", buffer));
  (isMax != 0 ? record.maxDepth : record.minDepth) = static_cast<uint16_t>(value);
  return SetProperty("Depth", "AGCBin", buffer);
}

// ---- stream set-ups of a new recording ----

KrStatus KrVDevice::ConfigureDefault() {
  char deviceName[KR_MAX_NAME_LENGTH] = {};
  KRV_RETURN_IF_FAILED(Record(KrDeviceProxyGetDeviceName(deviceHandle, deviceName, sizeof(deviceName))));
  const bool sensor = std::strcmp(deviceName, kSensorKind) == 0;
  const uint64_t resolution = sensor ? 0 : 1;

  struct Setting {
    const char* property;
    uint64_t value;
  };
  const struct {
    const char* name;
    bool add;
    Setting settings[3];
  } streamsToAdd[] = {
      {"Depth", true, {{"OutputFormat", 1}, {"Resolution", resolution}, {"FPS", 30}}},
      {"Image", true, {{"OutputFormat", 5}, {"Resolution", resolution}, {"FPS", 30}}},
      {"Audio", !sensor, {{"OutputFormat", 7}, {"SampleRate", 44100}, {"NumOfChannels", 2}}},
  };

  KRV_RETURN_IF_FAILED(SetProperty("Device", "Mirror", static_cast<uint64_t>(0)));
  for (const auto& stream : streamsToAdd) {
    if (!stream.add) {
      continue;
    }
    KRV_RETURN_IF_FAILED(AddStream(stream.name, stream.name, nullptr));
    for (const Setting& setting : stream.settings) {
      KRV_RETURN_IF_FAILED(SetProperty(stream.name, setting.property, setting.value));
    }
  }
  return Record(KR_STATUS_OK);
}

KrStatus KrVDevice::ConfigureFileFrom36Device(KrVDevice& source) {
  const char* names[kMaxSourceStreams] = {};
  uint32_t count = kMaxSourceStreams;
  KRV_RETURN_IF_FAILED(Record(source.GetStreamNames(names, &count)));
  // One set serves every stream, as the modules of earlier streams do no
  // harm to later ones (each stream takes the module of its own name).
  KrVPropertySet values;
  for (uint32_t i = 0; i < count && i < kMaxSourceStreams; ++i) {
    char type[KR_MAX_NAME_LENGTH] = {};
    KRV_RETURN_IF_FAILED(Record(source.GetProperty(names[i], "Type", type)));
    KRV_RETURN_IF_FAILED(Record(source.GetAllProperties(values, names[i])));
    KRV_RETURN_IF_FAILED(AddStream(type, names[i], &values));
  }
  return Record(KR_STATUS_OK);
}

// ---- capture mode ----

KrStatus KrVDevice::StartCaptureMode(int newFramesOnly) {
  char current[KR_MAX_NAME_LENGTH] = {};
  KRV_RETURN_IF_FAILED(GetProperty("Device", "PrimaryStream", current));
  std::memcpy(savedPrimaryStream, current, sizeof(savedPrimaryStream));
  primaryStreamSaved = 1;
  return Record(SetProperty("Device", "PrimaryStream", newFramesOnly != 0 ? "Any" : "None"));
}

KrStatus KrVDevice::StopCaptureMode() {
  if (primaryStreamSaved == 0) {
    return Record(KR_STATUS_QM_NOT_ENOUGH_INFORMATION);  // no start: nothing to restore
  }
  return Record(SetProperty("Device", "PrimaryStream", static_cast<const char*>(savedPrimaryStream)));
}
