// The older interface's property bridge: the 16-bit, 32-bit and pointer
// property overloads on the seven legacy modules ("Depth", "Image", "IR",
// "Audio", "Shifts", "FixedParams", "Device"), translated onto the current
// 64-bit named properties and the IO parameters. Which legacy name does what
// is data: one row per (module, operations, name) in kBridgeRows, one row per
// legacy module in KrVDeviceBC36::kModules, and one small walker per kind of
// operation (integer get, integer set, pointer get, pointer set).
#include <Ovalith/Infrastructure/KrVDevice.h>

#include <Ovalith/framedata/KrVAudioBuffer.h>
#include <Ovalith/framedata/KrVDepthMap.h>
#include <Ovalith/framedata/KrVImageMap.h>
#include <Ovalith/properties/KrVCheckInternal.h>
#include <Ovalith/properties/KrVStream.h>
#include <Tollan/TollanBC.h>

#include <cstring>

namespace {

bool Equal(const char* a, const char* b) { return a != nullptr && b != nullptr && std::strcmp(a, b) == 0; }

// The per-module operations of the bridge, as bits so that a row can serve
// several of them.
enum Op : uint8_t {
  kGet16 = 1u << 0,
  kGet32 = 1u << 1,
  kGetPointer = 1u << 2,
  kSet16 = 1u << 3,
  kSet32 = 1u << 4,
  kSetPointer = 1u << 5,
};
constexpr int kOpCount = 6;
constexpr size_t kLegacyModuleCount = 7;

int OpIndex(Op op) {
  int index = 0;
  while ((1u << index) != op) {
    ++index;
  }
  return index;
}

// What a legacy name does.
enum class Action {
  kRead,             // read the current integer property `name` of the target module
  kIONumber,         // integer IO parameter `number`
  kIOName,           // named IO parameter `name`
  kIOBuffer,         // buffer IO parameter `number` on the caller's memory
  kIOTable,          // buffer IO parameter `number` storing a table's address in the caller's pointer
  kOutputFormat,     // current "OutputFormat" through the kit's legacy conversion
  kStateIfImage,     // "State" of the target, 0 while the "Image" module is missing
  kBufferSizeCheck,  // the frame object's buffer size can be confirmed, not changed
  kAudioBufferSize,  // "BufferSize" of "Audio", up to the allocated size
};

struct Rule {
  Action action;
  const char* name;
  uint32_t number;
};

constexpr Rule Read(const char* property) { return {Action::kRead, property, 0}; }
constexpr Rule IO(uint32_t number) { return {Action::kIONumber, nullptr, number}; }
constexpr Rule IO(const char* name) { return {Action::kIOName, name, 0}; }
constexpr Rule IOBuffer(uint32_t number) { return {Action::kIOBuffer, nullptr, number}; }
constexpr Rule IOTable(uint32_t number) { return {Action::kIOTable, nullptr, number}; }
constexpr Rule kOutputFormat{Action::kOutputFormat, nullptr, 0};
constexpr Rule kStateIfImage{Action::kStateIfImage, nullptr, 0};
constexpr Rule kBufferSizeCheck{Action::kBufferSizeCheck, nullptr, 0};
constexpr Rule kAudioBufferSize{Action::kAudioBufferSize, nullptr, 0};

struct BridgeRow {
  const char* module;  // legacy module
  uint8_t ops;         // Op bits
  const char* name;    // legacy property
  Rule rule;
};

constexpr uint8_t kGetBoth = kGet16 | kGet32;

const BridgeRow kBridgeRows[] = {
    // "Depth" (current "Depth")
    {"Depth", kGet16, "XRes", Read("XRes")},
    {"Depth", kGet16, "YRes", Read("YRes")},
    {"Depth", kGet16, "MinDepthValue", Read("MinDepthValue")},
    {"Depth", kGet16, "MaxDepthValue", Read("MaxDepthValue")},
    {"Depth", kGet16, "ShadowValue", Read("ShadowValue")},
    {"Depth", kGet16, "NoSampleValue", Read("NoSampleValue")},
    {"Depth", kGet16, "FPS", Read("FPS")},
    {"Depth", kGet32, "NumberOfFrames", Read("NumberOfFrames")},
    {"Depth", kGet32, "State", Read("State")},
    {"Depth", kGet32, "InputFormat", Read("InputFormat")},
    {"Depth", kGet32, "Gain", Read("Gain")},
    {"Depth", kGet32, "HoleFilter", Read("HoleFilter")},
    {"Depth", kGet32, "FrameId", Read("FrameId")},
    {"Depth", kGet32, "RequiredDataSize", Read("RequiredDataSize")},
    {"Depth", kGet32, "BufferSize", Read("BufferSize")},
    {"Depth", kGet32, "WhiteBalancedEnabled", Read("WhiteBalancedEnabled")},
    {"Depth", kGet32, "GmcMode", Read("GmcMode")},
    {"Depth", kGet32, "GmcDebug", Read("GmcDebug")},
    {"Depth", kGet32, "Compression", IO("DepthCompression")},
    {"Depth", kGet32, "Registration", IO(13)},
    {"Depth", kGet32, "OutputFormat", kOutputFormat},
    {"Depth", kGetPointer | kSetPointer, "AGCBin", IOBuffer(48)},
    {"Depth", kSet16, "MinDepthValue", IO("MinDepthValue")},
    {"Depth", kSet16, "MaxDepthValue", IO("MaxDepthValue")},
    {"Depth", kSet32, "State", IO("DepthState")},
    {"Depth", kSet32, "Registration", IO(13)},
    {"Depth", kSet32, "Compression", IO("DepthCompression")},
    {"Depth", kSet32, "HoleFilter", IO(8)},
    {"Depth", kSet32, "BufferSize", kBufferSizeCheck},
    {"Depth", kSet32, "Gain", IO(7)},
    {"Depth", kSet32, "WhiteBalancedEnabled", IO("DepthWhiteBalance")},
    {"Depth", kSet32, "GmcMode", IO("GMCMode")},
    {"Depth", kSet32, "GmcDebug", IO(39)},
    // "Image" (current "Image")
    {"Image", kGet16, "XRes", Read("XRes")},
    {"Image", kGet16, "YRes", Read("YRes")},
    {"Image", kGet16, "FPS", Read("FPS")},
    {"Image", kGet32, "NumberOfFrames", Read("NumberOfFrames")},
    {"Image", kGet32, "State", Read("State")},
    {"Image", kGet32, "InputFormat", Read("InputFormat")},
    {"Image", kGet32, "BytesPerPixel", Read("BytesPerPixel")},
    {"Image", kGet32, "Flicker", Read("Flicker")},
    {"Image", kGet32, "FrameId", Read("FrameId")},
    {"Image", kGet32, "RequiredDataSize", Read("RequiredDataSize")},
    {"Image", kGet32, "Quality", Read("Quality")},
    {"Image", kGet32, "Compression", IO("ImageCompression")},
    {"Image", kGet32, "OutputFormat", kOutputFormat},
    {"Image", kGet32 | kSet32, "Gain", IO(2)},
    {"Image", kSet32, "State", IO("ImageState")},
    {"Image", kSet32, "Compression", IO("ImageCompression")},
    {"Image", kSet32, "Flicker", IO(4)},
    {"Image", kSet32, "BufferSize", kBufferSizeCheck},
    {"Image", kSet32, "Quality", IO(38)},
    // "IR" (current "Image")
    {"IR", kGet16, "XRes", Read("XRes")},
    {"IR", kGet16, "YRes", Read("YRes")},
    {"IR", kGet16, "FPS", Read("FPS")},
    {"IR", kGet32, "NumberOfFrames", Read("NumberOfFrames")},
    {"IR", kGet32, "FrameId", Read("FrameId")},
    {"IR", kGet32, "RequiredDataSize", Read("RequiredDataSize")},
    {"IR", kGet32, "BufferSize", Read("BufferSize")},
    {"IR", kGet32, "State", kStateIfImage},
    {"IR", kGet32, "OutputFormat", kOutputFormat},
    {"IR", kGet32 | kSet32, "Compression", IO("ImageCompression")},
    {"IR", kSet32, "State", IO("ImageState")},
    {"IR", kSet32, "BufferSize", kBufferSizeCheck},
    {"IR", kSetPointer, "Cropping", IOBuffer(33)},
    // "Audio" (current "Audio")
    {"Audio", kGet16 | kSet32, "State", IO("AudioEnabled")},
    {"Audio", kGet16 | kSet16, "LeftChannelVolume", IO("AudioLeftChannelVolume")},
    {"Audio", kGet16 | kSet16, "RightChannelVolume", IO("AudioRightChannelVolume")},
    {"Audio", kGet16, "NumOfChannels", Read("NumOfChannels")},
    {"Audio", kGet32, "RequiredDataSize", Read("RequiredDataSize")},
    {"Audio", kGet32, "BufferSize", Read("BufferSize")},
    {"Audio", kGet32, "SampleRate", Read("SampleRate")},
    {"Audio", kGet32, "ReadChunkSize", Read("ReadChunkSize")},
    {"Audio", kGet32 | kSet32, "ReadMode", IO("AudioReadMode")},
    {"Audio", kGet32 | kSet32, "AudioReadSync", IO("AudioReadSync")},
    {"Audio", kGet32 | kSet32, "Compression", IO("AudioCompression")},
    {"Audio", kGet32, "OutputFormat", kOutputFormat},
    {"Audio", kSet32, "BufferSize", kAudioBufferSize},
    {"Audio", kSet32, "ReadChunkSize", IO("AudioReadChunkSize")},
    // "Shifts" (current "Depth")
    {"Shifts", kGetBoth, "ConstShift", Read("ConstShift")},
    {"Shifts", kGetBoth, "PixelSizeFactor", Read("PixelSizeFactor")},
    {"Shifts", kGetBoth, "MaxShift", Read("MaxShift")},
    {"Shifts", kGetBoth, "ParamCoeff", Read("ParamCoeff")},
    {"Shifts", kGetBoth, "ShiftScale", Read("ShiftScale")},
    {"Shifts", kGetPointer, "S2D", IOTable(27)},
    {"Shifts", kGetPointer, "D2S", IOTable(28)},
    // "FixedParams" (current "Depth")
    {"FixedParams", kGetBoth, "ZPD", Read("ZPD")},
    // "Device" (current "Device")
    {"Device", kGet32 | kSet32, "PrimaryStream", IO(25)},
    {"Device", kGet32 | kSet32, "FrameDelay", IO("FrameDelay")},
    {"Device", kGet32 | kSet32, "FrameSync", IO(14)},
    {"Device", kGetPointer | kSetPointer, "CmosBlankingUnits", IOBuffer(46)},
    {"Device", kGetPointer | kSetPointer, "CmosBlankingTime", IOBuffer(47)},
};

const BridgeRow* FindRow(const char* module, Op op, const char* property) {
  for (const BridgeRow& row : kBridgeRows) {
    if ((row.ops & op) != 0 && Equal(row.module, module) && Equal(row.name, property)) {
      return &row;
    }
  }
  return nullptr;
}

// The frame object whose buffer size a legacy "BufferSize" set confirms.
enum class Frame { kNone, kDepth, kImage, kAudio };

using FormatConversion = KrStatus (*)(uint32_t outputFormat, uint32_t* legacyFormat);

}  // namespace

// The table of legacy modules and the walkers. A friend of the device: the
// rows name its private per-module operations, and the walkers record.
class KrVDeviceBC36 {
 public:
  struct LegacyModule {
    const char* name;
    const char* target;  // the current module
    Frame frame;
    FormatConversion toLegacyFormat;
    uint8_t busyOps;    // operations guarded by a busy flag
    uint8_t passOps;    // operations that hand other names to the other width
    uint8_t acceptOps;  // operations that answer other names with success
    KrStatus (KrVDevice::*get16)(const char*, uint16_t&);
    KrStatus (KrVDevice::*get32)(const char*, uint32_t&);
    KrStatus (KrVDevice::*getPointer)(const char*, void*&);
    KrStatus (KrVDevice::*set16)(const char*, uint16_t);
    KrStatus (KrVDevice::*set32)(const char*, uint32_t);  // also the public 16-bit set
    KrStatus (KrVDevice::*setPointer)(const char*, void*);
  };
  static const LegacyModule kModules[kLegacyModuleCount];
  static constexpr size_t kModuleCount = kLegacyModuleCount;

  static const LegacyModule* Find(const char* name) {
    for (size_t i = 0; i < kModuleCount; ++i) {
      if (Equal(kModules[i].name, name)) {
        return &kModules[i];
      }
    }
    return nullptr;
  }

  static KrStatus Refuse(KrVDevice& device) { return device.Record(KR_STATUS_QM_BAD_PARAMETER); }

  // Integer get of either width.
  template <typename T>
  static KrStatus GetInteger(KrVDevice& device, const char* moduleName, const char* property, T& value) {
    constexpr Op op = sizeof(T) == sizeof(uint16_t) ? kGet16 : kGet32;
    const LegacyModule& module = *Find(moduleName);
    Busy busy(module, op);
    if (busy.Refused()) {
      return Refuse(device);
    }
    uint32_t result = 0;
    KrStatus status = KR_STATUS_QM_BAD_PARAMETER;
    if (const BridgeRow* row = FindRow(module.name, op, property)) {
      status = RunGet(device, module, row->rule, result);
    } else if ((module.passOps & op) != 0 && op == kGet32) {
      uint16_t narrow = 0;  // an audio name unknown to both widths reads 0
      status = (device.*module.get16)(property, narrow);
      result = narrow;
    } else if ((module.passOps & op) != 0) {
      status = (device.*module.get32)(property, result);
    } else if ((module.acceptOps & op) != 0) {
      return device.Record(KR_STATUS_OK);
    }
    if (status == KR_STATUS_OK) {
      value = static_cast<T>(result);
    }
    return device.Record(status);
  }

  // Integer set of either width; the value is zero-extended.
  static KrStatus SetInteger(KrVDevice& device, const char* moduleName, Op op, const char* property, uint32_t value) {
    const LegacyModule& module = *Find(moduleName);
    Busy busy(module, op);
    if (busy.Refused()) {
      return Refuse(device);
    }
    if (const BridgeRow* row = FindRow(module.name, op, property)) {
      return device.Record(RunSet(device, module, row->rule, value));
    }
    if ((module.passOps & op) == 0) {
      return Refuse(device);
    }
    if (op == kSet16) {
      return device.Record((device.*module.set32)(property, value));
    }
    // Only a value that fits the 16-bit setter goes on to it.
    if (value >= 0xFFFF) {
      return Refuse(device);
    }
    return device.Record((device.*module.set16)(property, static_cast<uint16_t>(value)));
  }

  static KrStatus GetPointer(KrVDevice& device, const char* moduleName, const char* property, void*& value) {
    const LegacyModule& module = *Find(moduleName);
    const BridgeRow* row = FindRow(module.name, kGetPointer, property);
    if (row == nullptr) {
      return Refuse(device);
    }
    if (row->rule.action == Action::kIOTable) {
      return device.Record(device.GetIOParam(row->rule.number, static_cast<void*>(&value)));
    }
    return device.Record(device.GetIOParam(row->rule.number, value));
  }

  static KrStatus SetPointer(KrVDevice& device, const char* moduleName, const char* property, void* value) {
    const LegacyModule& module = *Find(moduleName);
    const BridgeRow* row = FindRow(module.name, kSetPointer, property);
    if (row == nullptr) {
      return (module.acceptOps & kSetPointer) != 0 ? device.Record(KR_STATUS_OK) : Refuse(device);
    }
    return device.Record(device.SetIOParam(row->rule.number, static_cast<const void*>(value)));
  }

 private:
  // Sets the operation's busy flag for its duration, unless it was set
  // already: then the operation is being re-entered and is refused. Flags
  // are per thread, so threads never refuse each other.
  class Busy {
   public:
    Busy(const LegacyModule& module, Op op)
        : flag_((module.busyOps & op) != 0 ? &flags_[&module - kModules][OpIndex(op)] : nullptr),
          refused_(flag_ != nullptr && *flag_) {
      if (flag_ != nullptr && !refused_) {
        *flag_ = true;
      }
    }
    ~Busy() {
      if (flag_ != nullptr && !refused_) {
        *flag_ = false;
      }
    }
    Busy(const Busy&) = delete;
    Busy& operator=(const Busy&) = delete;
    bool Refused() const { return refused_; }

   private:
    static thread_local bool flags_[kLegacyModuleCount][kOpCount];
    bool* flag_;
    bool refused_;
  };

  static KrVStreamData* FrameOf(const KrVDevice& device, Frame frame) {
    switch (frame) {
      case Frame::kDepth:
        return device.depthMap;
      case Frame::kImage:
        return device.imageMap;
      case Frame::kAudio:
        return device.audioBuffer;
      case Frame::kNone:
        break;
    }
    return nullptr;
  }

  static KrStatus RunGet(KrVDevice& device, const LegacyModule& module, const Rule& rule, uint32_t& result) {
    switch (rule.action) {
      case Action::kRead:
        return ReadLow32(device, module.target, rule.name, result);
      case Action::kIONumber:
      case Action::kIOName: {
        int legacy = 0;
        KRV_RETURN_IF_FAILED(rule.action == Action::kIONumber ? device.GetIOParam(rule.number, legacy)
                                                              : device.GetIOParam(rule.name, legacy));
        result = static_cast<uint32_t>(legacy);
        return KR_STATUS_OK;
      }
      case Action::kOutputFormat: {
        uint32_t format = 0;
        KRV_RETURN_IF_FAILED(ReadLow32(device, module.target, "OutputFormat", format));
        return module.toLegacyFormat(format, &result);
      }
      case Action::kStateIfImage: {
        int exists = 0;
        KRV_RETURN_IF_FAILED(device.DoesModuleExist("Image", &exists));
        if (exists == 0) {
          result = 0;
          return KR_STATUS_OK;
        }
        return ReadLow32(device, module.target, "State", result);
      }
      default:
        return KR_STATUS_QM_BAD_PARAMETER;
    }
  }

  static KrStatus RunSet(KrVDevice& device, const LegacyModule& module, const Rule& rule, uint32_t value) {
    switch (rule.action) {
      case Action::kIONumber:
        return device.SetIOParam(rule.number, static_cast<int>(value));
      case Action::kIOName:
        return device.SetIOParam(rule.name, static_cast<int>(value));
      case Action::kBufferSizeCheck: {
        const KrVStreamData* frame = FrameOf(device, module.frame);
        if (frame == nullptr || frame->GetStream() == nullptr) {
          return KR_STATUS_OK;
        }
        uint32_t size = 0;
        KRV_RETURN_IF_FAILED(frame->GetStream()->GetBufferSize(size));
        return value == size ? KR_STATUS_OK : KR_STATUS_QM_BAD_PARAMETER;
      }
      case Action::kAudioBufferSize: {
        const KrVStreamData* frame = FrameOf(device, module.frame);
        if (frame == nullptr || frame->GetStream() == nullptr) {
          return KR_STATUS_OK;
        }
        uint32_t allocated = 0;
        KRV_RETURN_IF_FAILED(frame->GetStream()->GetBufferAllocatedSize(allocated));
        if (value > allocated) {
          return KR_STATUS_QM_BAD_PARAMETER;
        }
        return device.SetProperty(module.target, "BufferSize", uint64_t{value});
      }
      default:
        return KR_STATUS_QM_BAD_PARAMETER;
    }
  }

  static KrStatus ReadLow32(KrVDevice& device, const char* module, const char* property, uint32_t& result) {
    uint64_t current = 0;
    KRV_RETURN_IF_FAILED(device.GetProperty(module, property, current));
    result = static_cast<uint32_t>(current);
    return KR_STATUS_OK;
  }
};

thread_local bool KrVDeviceBC36::Busy::flags_[kLegacyModuleCount][kOpCount] = {};

namespace {
constexpr uint8_t kNoOps = 0;
}  // namespace

// One row per legacy module: its current module, the frame object of its
// "BufferSize", its format conversion, which operations have busy flags,
// pass unknown names to the other width or accept them, and the per-module
// operations the public overloads dispatch to (null: refused).
const KrVDeviceBC36::LegacyModule KrVDeviceBC36::kModules[kLegacyModuleCount] = {
    {"Depth", "Depth", Frame::kDepth, KrBCOutputFormatToDepthFormat, kGet16 | kGet32 | kSet16 | kSet32,
     kGet16 | kGet32 | kSet16 | kSet32, kNoOps, &KrVDevice::GetDepthProperty, &KrVDevice::GetDepthProperty,
     &KrVDevice::GetDepthProperty, &KrVDevice::SetDepthProperty, &KrVDevice::SetDepthProperty,
     &KrVDevice::SetDepthProperty},
    {"Image", "Image", Frame::kImage, KrBCOutputFormatToImageFormat, kGet16 | kGet32, kGet16 | kGet32, kNoOps,
     &KrVDevice::GetImageProperty, &KrVDevice::GetImageProperty, nullptr, nullptr, &KrVDevice::SetImageProperty,
     nullptr},
    {"IR", "Image", Frame::kImage, KrBCOutputFormatToImageFormat, kGet16 | kGet32, kGet16 | kGet32, kSetPointer,
     &KrVDevice::GetIRProperty, &KrVDevice::GetIRProperty, nullptr, nullptr, &KrVDevice::SetIRProperty,
     &KrVDevice::SetIRProperty},
    {"Audio", "Audio", Frame::kAudio, KrBCOutputFormatToAudioFormat, kGet16 | kGet32 | kSet16 | kSet32,
     kGet32 | kSet16 | kSet32, kGet16, &KrVDevice::GetAudioProperty, &KrVDevice::GetAudioProperty, nullptr,
     &KrVDevice::SetAudioProperty, &KrVDevice::SetAudioProperty, nullptr},
    {"Shifts", "Depth", Frame::kNone, nullptr, kNoOps, kNoOps, kNoOps, &KrVDevice::GetShiftsProperty,
     &KrVDevice::GetShiftsProperty, &KrVDevice::GetShiftsProperty, nullptr, nullptr, nullptr},
    {"FixedParams", "Depth", Frame::kNone, nullptr, kNoOps, kNoOps, kNoOps, &KrVDevice::GetFixedParamsProperty,
     &KrVDevice::GetFixedParamsProperty, nullptr, nullptr, nullptr, nullptr},
    {"Device", "Device", Frame::kNone, nullptr, kNoOps, kNoOps, kNoOps, nullptr, &KrVDevice::GetDeviceProperty,
     &KrVDevice::GetDeviceProperty, nullptr, &KrVDevice::SetDeviceProperty, &KrVDevice::SetDeviceProperty},
};

// ---- public overloads: dispatch by legacy module ----

KrStatus KrVDevice::GetProperty(const char* module, const char* property, uint16_t& value) {
  const KrVDeviceBC36::LegacyModule* legacy = KrVDeviceBC36::Find(module);
  return legacy != nullptr && legacy->get16 != nullptr ? Record((this->*legacy->get16)(property, value))
                                                       : KrVDeviceBC36::Refuse(*this);
}

KrStatus KrVDevice::GetProperty(const char* module, const char* property, uint32_t& value) {
  const KrVDeviceBC36::LegacyModule* legacy = KrVDeviceBC36::Find(module);
  return legacy != nullptr && legacy->get32 != nullptr ? Record((this->*legacy->get32)(property, value))
                                                       : KrVDeviceBC36::Refuse(*this);
}

KrStatus KrVDevice::GetProperty(const char* module, const char* property, void*& value) {
  // "Buffer" of any module is the frame's address, read straight from the
  // current property (which records).
  if (Equal(property, "Buffer")) {
    return GetProperty(module, property, KrGeneralBuffer{&value, static_cast<uint32_t>(sizeof(void*))});
  }
  const KrVDeviceBC36::LegacyModule* legacy = KrVDeviceBC36::Find(module);
  return legacy != nullptr && legacy->getPointer != nullptr ? Record((this->*legacy->getPointer)(property, value))
                                                            : KrVDeviceBC36::Refuse(*this);
}

KrStatus KrVDevice::SetProperty(const char* module, const char* property, uint16_t value) {
  return SetProperty(module, property, uint32_t{value});
}

KrStatus KrVDevice::SetProperty(const char* module, const char* property, uint32_t value) {
  const KrVDeviceBC36::LegacyModule* legacy = KrVDeviceBC36::Find(module);
  return legacy != nullptr && legacy->set32 != nullptr ? Record((this->*legacy->set32)(property, value))
                                                       : KrVDeviceBC36::Refuse(*this);
}

KrStatus KrVDevice::SetProperty(const char* module, const char* property, void* value) {
  const KrVDeviceBC36::LegacyModule* legacy = KrVDeviceBC36::Find(module);
  return legacy != nullptr && legacy->setPointer != nullptr ? Record((this->*legacy->setPointer)(property, value))
                                                            : KrVDeviceBC36::Refuse(*this);
}

// ---- per-module operations ----

KrStatus KrVDevice::GetDepthProperty(const char* property, uint16_t& value) {
  return KrVDeviceBC36::GetInteger(*this, "Depth", property, value);
}
KrStatus KrVDevice::GetDepthProperty(const char* property, uint32_t& value) {
  return KrVDeviceBC36::GetInteger(*this, "Depth", property, value);
}
KrStatus KrVDevice::GetDepthProperty(const char* property, void*& value) {
  return KrVDeviceBC36::GetPointer(*this, "Depth", property, value);
}
KrStatus KrVDevice::GetImageProperty(const char* property, uint16_t& value) {
  return KrVDeviceBC36::GetInteger(*this, "Image", property, value);
}
KrStatus KrVDevice::GetImageProperty(const char* property, uint32_t& value) {
  return KrVDeviceBC36::GetInteger(*this, "Image", property, value);
}
KrStatus KrVDevice::GetIRProperty(const char* property, uint16_t& value) {
  return KrVDeviceBC36::GetInteger(*this, "IR", property, value);
}
KrStatus KrVDevice::GetIRProperty(const char* property, uint32_t& value) {
  return KrVDeviceBC36::GetInteger(*this, "IR", property, value);
}
KrStatus KrVDevice::GetAudioProperty(const char* property, uint16_t& value) {
  return KrVDeviceBC36::GetInteger(*this, "Audio", property, value);
}
KrStatus KrVDevice::GetAudioProperty(const char* property, uint32_t& value) {
  return KrVDeviceBC36::GetInteger(*this, "Audio", property, value);
}
KrStatus KrVDevice::GetShiftsProperty(const char* property, uint16_t& value) {
  return KrVDeviceBC36::GetInteger(*this, "Shifts", property, value);
}
KrStatus KrVDevice::GetShiftsProperty(const char* property, uint32_t& value) {
  return KrVDeviceBC36::GetInteger(*this, "Shifts", property, value);
}
KrStatus KrVDevice::GetShiftsProperty(const char* property, void*& value) {
  return KrVDeviceBC36::GetPointer(*this, "Shifts", property, value);
}
KrStatus KrVDevice::GetFixedParamsProperty(const char* property, uint16_t& value) {
  return KrVDeviceBC36::GetInteger(*this, "FixedParams", property, value);
}
KrStatus KrVDevice::GetFixedParamsProperty(const char* property, uint32_t& value) {
  return KrVDeviceBC36::GetInteger(*this, "FixedParams", property, value);
}
KrStatus KrVDevice::GetDeviceProperty(const char* property, uint32_t& value) {
  return KrVDeviceBC36::GetInteger(*this, "Device", property, value);
}
KrStatus KrVDevice::GetDeviceProperty(const char* property, void*& value) {
  return KrVDeviceBC36::GetPointer(*this, "Device", property, value);
}
KrStatus KrVDevice::SetDepthProperty(const char* property, uint16_t value) {
  return KrVDeviceBC36::SetInteger(*this, "Depth", kSet16, property, value);
}
KrStatus KrVDevice::SetDepthProperty(const char* property, uint32_t value) {
  return KrVDeviceBC36::SetInteger(*this, "Depth", kSet32, property, value);
}
KrStatus KrVDevice::SetDepthProperty(const char* property, void* value) {
  return KrVDeviceBC36::SetPointer(*this, "Depth", property, value);
}
KrStatus KrVDevice::SetImageProperty(const char* property, uint32_t value) {
  return KrVDeviceBC36::SetInteger(*this, "Image", kSet32, property, value);
}
KrStatus KrVDevice::SetIRProperty(const char* property, uint32_t value) {
  return KrVDeviceBC36::SetInteger(*this, "IR", kSet32, property, value);
}
KrStatus KrVDevice::SetIRProperty(const char* property, void* value) {
  return KrVDeviceBC36::SetPointer(*this, "IR", property, value);
}
KrStatus KrVDevice::SetAudioProperty(const char* property, uint16_t value) {
  return KrVDeviceBC36::SetInteger(*this, "Audio", kSet16, property, value);
}
KrStatus KrVDevice::SetAudioProperty(const char* property, uint32_t value) {
  return KrVDeviceBC36::SetInteger(*this, "Audio", kSet32, property, value);
}
KrStatus KrVDevice::SetDeviceProperty(const char* property, uint32_t value) {
  return KrVDeviceBC36::SetInteger(*this, "Device", kSet32, property, value);
}
KrStatus KrVDevice::SetDeviceProperty(const char* property, void* value) {
  return KrVDeviceBC36::SetPointer(*this, "Device", property, value);
}
