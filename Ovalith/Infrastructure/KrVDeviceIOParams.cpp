// The older interface's IO parameters, flags and depth tables. Numbered and
// named integer parameters, numbered buffer parameters and the flags are rows
// of the tables below, each walked by one small function that turns the
// request into calls of the device's current property operations (overrides
// included), converting values on the way. The depth tables are the one
// piece of state: built on the first request for buffer parameter 27 or 28
// with an entry for every 16-bit index, refilled with the kit's current sizes
// on its "S2D" change event, released when the device closes.
#include <Ovalith/Infrastructure/KrVDevice.h>

#include <Orvane/OrvaneOS.h>
#include <Ovalith/properties/KrVCheckInternal.h>
#include <Tollan/TollanFlash.h>

#include <cstring>

namespace {

bool Equal(const char* a, const char* b) { return a != nullptr && b != nullptr && std::strcmp(a, b) == 0; }

template <typename Row, size_t N>
const Row* FindById(const Row (&rows)[N], uint32_t id) {
  for (const Row& row : rows) {
    if (row.id == id) {
      return &row;
    }
  }
  return nullptr;
}

template <typename Row, size_t N>
const Row* FindByName(const Row (&rows)[N], const char* name) {
  for (const Row& row : rows) {
    if (Equal(row.name, name)) {
      return &row;
    }
  }
  return nullptr;
}

// ---- numbered integer parameters ----

enum class IntRead {
  kStream,         // a missing module reads 0
  kDevice,         // a missing module is 0x30814
  kPrimaryStream,  // the text "PrimaryStream" as a number
  kAlwaysOne,      // nothing read
  kNone,           // not readable
};

enum class IntWrite {
  kPlain,          // sign-extended to 64 bits
  kBoolean,        // 1 for any non-zero value
  kPrimaryStream,  // the number as the text "PrimaryStream"
  kNone,           // not writable
};

struct NumberedIntRow {
  uint32_t id;
  const char* module;
  const char* property;
  IntRead read;
  IntWrite write;
};

// Numbers 10 to 12 and 52 are older aliases of 0 to 2 and 51.
const NumberedIntRow kNumberedIntParams[] = {
    {0, "Image", "Resolution", IntRead::kStream, IntWrite::kPlain},
    {1, "Image", "FPS", IntRead::kStream, IntWrite::kPlain},
    {2, "Image", "Gain", IntRead::kStream, IntWrite::kPlain},
    {4, "Image", "Flicker", IntRead::kStream, IntWrite::kPlain},
    {5, "Depth", "Resolution", IntRead::kStream, IntWrite::kPlain},
    {6, "Depth", "FPS", IntRead::kStream, IntWrite::kPlain},
    {7, "Depth", "Gain", IntRead::kStream, IntWrite::kPlain},
    {8, "Depth", "HoleFilter", IntRead::kStream, IntWrite::kPlain},
    {10, "Image", "Resolution", IntRead::kStream, IntWrite::kPlain},
    {11, "Image", "FPS", IntRead::kStream, IntWrite::kPlain},
    {12, "Image", "Gain", IntRead::kStream, IntWrite::kPlain},
    {13, "Depth", "Registration", IntRead::kStream, IntWrite::kBoolean},
    {14, "Device", "FrameSync", IntRead::kDevice, IntWrite::kPlain},
    {15, "Depth", "Mirror", IntRead::kStream, IntWrite::kPlain},
    {25, "Device", "PrimaryStream", IntRead::kPrimaryStream, IntWrite::kPrimaryStream},
    {26, "Device", "ReadWriteMode", IntRead::kDevice, IntWrite::kPlain},
    {29, "Device", "Reset", IntRead::kNone, IntWrite::kPlain},
    {30, "Device", "FirmwareLogFilter", IntRead::kDevice, IntWrite::kPlain},
    {31, "Device", "FirmwareMode", IntRead::kDevice, IntWrite::kPlain},
    {38, "Image", "Quality", IntRead::kStream, IntWrite::kPlain},
    {39, "Depth", "GmcDebug", IntRead::kStream, IntWrite::kPlain},
    {44, "Device", "APCEnabled", IntRead::kDevice, IntWrite::kPlain},
    {49, nullptr, nullptr, IntRead::kAlwaysOne, IntWrite::kNone},
    {50, "Device", "Mirror", IntRead::kDevice, IntWrite::kPlain},
    {51, "Image", "Mirror", IntRead::kStream, IntWrite::kPlain},
    {52, "Image", "Mirror", IntRead::kStream, IntWrite::kPlain},
};

// The primary stream as a legacy number and as the current text. Reading,
// a text not listed is 0; writing, a number not listed is refused.
struct PrimaryStreamRow {
  int value;
  const char* text;
};
const PrimaryStreamRow kPrimaryStreams[] = {{1, "Depth"}, {2, "Image"}, {0, "Any"}};

// ---- named integer parameters ----

// What a named parameter checks before it touches the device.
enum class Guard {
  kNone,
  kWriteMode,    // compression: only on a device written to
  kAudioStream,  // the kit supports an "Audio" stream
};

enum class NamedRead {
  kStream,   // a missing module reads 0
  kDevice,   // a missing module is 0x30814
  kNothing,  // reads 0, no property
};

struct ValuePair {
  int from;
  int to;
};

// A value conversion between the legacy and the current value.
struct Conversion {
  enum Kind {
    kNone,
    kBoolean,         // non-zero becomes 1
    kNonZeroBecomes,  // non-zero becomes `param`, zero stays 0
    kTable,           // listed values map; on reads others pass unchanged, on writes they are refused
    kStreamType,      // a non-zero image state becomes the stream type (1 image, 3 infra-red)
    kRejectValue,     // the value `param` is refused with 0x10001; others pass
  };
  Kind kind;
  int param;
  const ValuePair* pairs;
  size_t pairCount;
};

constexpr Conversion kSame{Conversion::kNone, 0, nullptr, 0};
constexpr Conversion kBoolean{Conversion::kBoolean, 0, nullptr, 0};
constexpr Conversion NonZeroBecomes(int value) { return {Conversion::kNonZeroBecomes, value, nullptr, 0}; }
template <size_t N>
constexpr Conversion Mapped(const ValuePair (&pairs)[N]) {
  return {Conversion::kTable, 0, pairs, N};
}
constexpr Conversion kStreamType{Conversion::kStreamType, 0, nullptr, 0};
constexpr Conversion RejectValue(int value) { return {Conversion::kRejectValue, value, nullptr, 0}; }

// Compression codes: legacy 0 is "stream off" (the stream is removed on a
// write), so only the other codes appear here.
const ValuePair kDepthCompressionToLegacy[] = {{0, 1}, {1, 2}, {2, 4}};
const ValuePair kDepthCompressionToCurrent[] = {{1, 0}, {2, 1}, {4, 2}};
const ValuePair kImageCompressionToLegacy[] = {{0, 1}, {3, 2}, {4, 3}, {5, 4}};
const ValuePair kImageCompressionToCurrent[] = {{1, 0}, {2, 3}, {3, 4}, {4, 5}};
const ValuePair kAudioCompressionToLegacy[] = {{0, 1}};
const ValuePair kAudioCompressionToCurrent[] = {{1, 0}};
const ValuePair kDepthStateToLegacy[] = {{1, 2}};
// Legacy read mode 1 is the chunked read of 2120 bytes.
const ValuePair kAudioReadModeToCurrent[] = {{0, 0}, {1, 2120}};

struct NamedIntRow {
  const char* name;
  const char* module;  // null: nothing read or written
  const char* property;
  Guard readGuard;
  Guard writeGuard;
  NamedRead read;
  Conversion toLegacy;
  Conversion toCurrent;
  bool zeroRemovesStream;  // writing 0 removes the module's stream
};

constexpr Guard kNoGuard = Guard::kNone;
constexpr Guard kWriting = Guard::kWriteMode;
constexpr Guard kAudio = Guard::kAudioStream;

const NamedIntRow kNamedIntParams[] = {
    {"MinDepthValue", "Depth", "MinDepthValue", kNoGuard, kNoGuard, NamedRead::kStream, kSame, kSame, false},
    {"MaxDepthValue", "Depth", "MaxDepthValue", kNoGuard, kNoGuard, NamedRead::kStream, kSame, kSame, false},
    {"GMCMode", "Depth", "GmcMode", kNoGuard, kNoGuard, NamedRead::kStream, kSame, kBoolean, false},
    {"DepthWhiteBalance", "Depth", "WhiteBalancedEnabled", kNoGuard, kNoGuard, NamedRead::kStream, kSame, kBoolean,
     false},
    {"DepthInputFormat", "Depth", "InputFormat", kNoGuard, kNoGuard, NamedRead::kStream, kSame, kBoolean, false},
    {"DepthState", "Depth", "State", kNoGuard, kNoGuard, NamedRead::kStream, Mapped(kDepthStateToLegacy), kBoolean,
     false},
    {"DepthCompression", "Depth", "Compression", kWriting, kWriting, NamedRead::kStream,
     Mapped(kDepthCompressionToLegacy), Mapped(kDepthCompressionToCurrent), true},
    {"RGBRegistrarState", "Depth", "Registration", kNoGuard, kNoGuard, NamedRead::kStream, NonZeroBecomes(2), kBoolean,
     false},
    {"ImageInputFormat", "Image", "InputFormat", kNoGuard, kNoGuard, NamedRead::kStream, kSame, kSame, false},
    {"ImageState", "Image", "State", kNoGuard, kNoGuard, NamedRead::kStream, kStreamType, kSame, false},
    {"ImageCompression", "Image", "Compression", kWriting, kWriting, NamedRead::kStream,
     Mapped(kImageCompressionToLegacy), Mapped(kImageCompressionToCurrent), true},
    {"AudioEnabled", "Audio", "State", kAudio, kNoGuard, NamedRead::kStream, kSame, kSame, false},
    {"AudioLeftChannelVolume", "Audio", "LeftChannelVolume", kAudio, kNoGuard, NamedRead::kStream, kSame, kSame, false},
    {"AudioRightChannelVolume", "Audio", "RightChannelVolume", kAudio, kNoGuard, NamedRead::kStream, kSame, kSame,
     false},
    {"AudioSampleRate", "Audio", "SampleRate", kAudio, kNoGuard, NamedRead::kStream, kSame, kSame, false},
    {"AudioReadChunkSize", "Audio", "ReadChunkSize", kAudio, kNoGuard, NamedRead::kStream, kSame, kSame, false},
    {"AudioReadMode", "Audio", "ReadChunkSize", kAudio, kNoGuard, NamedRead::kStream, NonZeroBecomes(1),
     Mapped(kAudioReadModeToCurrent), false},
    {"AudioReadSync", nullptr, nullptr, kAudio, kNoGuard, NamedRead::kNothing, kSame, RejectValue(1), false},
    {"AudioCompression", "Audio", "Compression", kWriting, kWriting, NamedRead::kStream,
     Mapped(kAudioCompressionToLegacy), Mapped(kAudioCompressionToCurrent), true},
    {"FrameDelay", "Device", "FrameDelay", kNoGuard, kNoGuard, NamedRead::kDevice, kSame, kSame, false},
    {"ReadLogInterval", "Device", "FirmwareLogInterval", kNoGuard, kNoGuard, NamedRead::kDevice, kSame, kSame, false},
    {"PrintLog", "Device", "FirmwareLogPrint", kNoGuard, kNoGuard, NamedRead::kDevice, kSame, kSame, false},
};

// ---- numbered buffer parameters ----

enum class BufferRead {
  kFixed,             // readSize bytes into the caller's buffer
  kCallerRecord,      // the buffer is a KrGeneralBuffer the caller filled
  kShiftToDepth,      // the buffer receives the table's address
  kDepthToShift,      // the buffer receives the table's address
  kRequiredDataSize,  // as many bytes as "RequiredDataSize" of "Image"
  kBistResult,        // the self-test record's result, as an int
  kNone,              // not readable
};

struct BufferRow {
  uint32_t id;
  const char* module;
  const char* property;
  BufferRead read;
  uint32_t readSize;   // kFixed only
  uint32_t writeSize;  // 0: not writable
};

// The flash records carry an address, so their sizes are the kit's records
// as declared on this platform (the older 32-bit sizes were 10, 6 and 12).
static_assert(sizeof(FlashFileRecord) == sizeof(void*) + 6, "FlashFile: offset, path pointer, attributes");
static_assert(sizeof(FileListHeader) == sizeof(void*) + 2, "FileList: entry pointer, count");
static_assert(sizeof(FlashChunkRecord) == sizeof(void*) + 8, "FlashChunk: offset, size, data pointer");

const BufferRow kBufferParams[] = {
    {3, "Device", "ImageControl", BufferRead::kFixed, 4, 4},
    {9, "Device", "DepthControl", BufferRead::kFixed, 4, 4},
    {16, "Device", "AHB", BufferRead::kFixed, 12, 12},
    {17, "Device", "FirmwareParam", BufferRead::kFixed, 4, 4},
    {18, "Device", "Version", BufferRead::kFixed, 33, 0},
    {19, "Device", "FlashFile", BufferRead::kFixed, sizeof(FlashFileRecord), sizeof(FlashFileRecord)},
    {20, "Device", "FileList", BufferRead::kFixed, sizeof(FileListHeader), 0},
    {21, "Device", "FileAttributes", BufferRead::kNone, 0, 4},
    {24, "Device", "Version", BufferRead::kCallerRecord, 0, 0},
    {27, "Depth", "S2D", BufferRead::kShiftToDepth, 0, 0},
    {28, "Depth", "D2S", BufferRead::kDepthToShift, 0, 0},
    {32, "Image", "LastRawFrame", BufferRead::kRequiredDataSize, 0, 0},
    {33, "Image", "Cropping", BufferRead::kNone, 0, 12},
    {34, "Device", "I2C", BufferRead::kNone, 0, 26},
    {35, "Device", "I2C", BufferRead::kFixed, 48, 0},
    {36, "Device", "FlashChunk", BufferRead::kFixed, sizeof(FlashChunkRecord), 0},
    {37, "Device", "BIST", BufferRead::kBistResult, 0, 0},
    {41, "Device", "TecStatus", BufferRead::kFixed, 22, 0},
    {43, "Device", "EmitterStatus", BufferRead::kFixed, 24, 0},
    {45, "Device", "ProjectorFault", BufferRead::kNone, 0, 8},
    {46, "Device", "CmosBlankingUnits", BufferRead::kFixed, 8, 8},
    {47, "Device", "CmosBlankingTime", BufferRead::kFixed, 10, 10},
    {48, "Depth", "AGCBin", BufferRead::kFixed, 6, 6},
};

// ---- flags ----

struct FlagRow {
  int id;
  const char* module;
  const char* property;
};
const FlagRow kFlags[] = {{1, "Device", "Mirror"}};

const FlagRow* FindFlag(int flag) {
  for (const FlagRow& row : kFlags) {
    if (row.id == flag) {
      return &row;
    }
  }
  return nullptr;
}

// Legacy integer values reach the 64-bit properties sign-extended.
uint64_t Widen(int value) { return static_cast<uint64_t>(static_cast<int64_t>(value)); }

// The legacy value of a current one.
int ToLegacy(const Conversion& conversion, int value) {
  switch (conversion.kind) {
    case Conversion::kNonZeroBecomes:
      return value != 0 ? conversion.param : 0;
    case Conversion::kTable:
      for (size_t i = 0; i < conversion.pairCount; ++i) {
        if (conversion.pairs[i].from == value) {
          return conversion.pairs[i].to;
        }
      }
      return value;
    default:
      return value;
  }
}

// The current value of a legacy one; false for a refused value.
bool ToCurrent(const Conversion& conversion, int value, int* converted) {
  switch (conversion.kind) {
    case Conversion::kBoolean:
      *converted = value != 0 ? 1 : 0;
      return true;
    case Conversion::kTable:
      for (size_t i = 0; i < conversion.pairCount; ++i) {
        if (conversion.pairs[i].from == value) {
          *converted = conversion.pairs[i].to;
          return true;
        }
      }
      return false;
    default:
      *converted = value;
      return true;
  }
}

}  // namespace

// ---- read rules ----

KrStatus KrVDevice::GetModuleIntProperty36(const char* module, const char* property, int* value, int useDefault,
                                           int defaultValue) const {
  // The current property operations are not const; the legacy reads only
  // record their status through them.
  KrVDevice& self = const_cast<KrVDevice&>(*this);
  int exists = 0;
  KRV_RETURN_IF_FAILED(self.DoesModuleExist(module, &exists));
  if (exists == 0) {
    if (useDefault == 0) {
      return KR_STATUS_TL_MODULE_NOT_FOUND;
    }
    *value = defaultValue;
    return KR_STATUS_OK;
  }
  uint64_t current = 0;
  KRV_RETURN_IF_FAILED(self.GetProperty(module, property, current));
  *value = static_cast<int>(static_cast<uint32_t>(current));
  return KR_STATUS_OK;
}

KrStatus KrVDevice::CheckAudioStreamProperties36() const {
  int supported = 0;
  KRV_RETURN_IF_FAILED(const_cast<KrVDevice&>(*this).IsStreamSupported("Audio", &supported));
  return supported != 0 ? KR_STATUS_OK : KR_STATUS_TL_UNKNOWN_PARAMETER;
}

// ---- numbered integer parameters ----

KrStatus KrVDevice::GetIOParam(uint32_t param, int& value) const {
  const NumberedIntRow* row = FindById(kNumberedIntParams, param);
  if (row == nullptr) {
    return Record(KR_STATUS_TL_UNKNOWN_PARAMETER);
  }
  int result = 0;
  KrStatus status = KR_STATUS_OK;
  switch (row->read) {
    case IntRead::kStream:
      status = GetModuleIntProperty36(row->module, row->property, &result, 1, 0);
      break;
    case IntRead::kDevice:
      status = GetModuleIntProperty36(row->module, row->property, &result, 0, 0);
      break;
    case IntRead::kPrimaryStream: {
      char text[KR_MAX_NAME_LENGTH] = {};
      status = const_cast<KrVDevice&>(*this).GetProperty(row->module, row->property, text);
      for (const PrimaryStreamRow& primary : kPrimaryStreams) {
        if (Equal(text, primary.text)) {
          result = primary.value;
        }
      }
      break;
    }
    case IntRead::kAlwaysOne:
      result = 1;
      break;
    case IntRead::kNone:
      status = KR_STATUS_TL_UNKNOWN_PARAMETER;
      break;
  }
  if (status == KR_STATUS_OK) {
    value = result;
  }
  return Record(status);
}

KrStatus KrVDevice::SetIOParam(uint32_t param, int value) {
  const NumberedIntRow* row = FindById(kNumberedIntParams, param);
  if (row == nullptr) {
    return Record(KR_STATUS_TL_UNKNOWN_PARAMETER);
  }
  switch (row->write) {
    case IntWrite::kPlain:
      return Record(SetProperty(row->module, row->property, Widen(value)));
    case IntWrite::kBoolean:
      return Record(SetProperty(row->module, row->property, uint64_t{value != 0 ? 1u : 0u}));
    case IntWrite::kPrimaryStream:
      for (const PrimaryStreamRow& primary : kPrimaryStreams) {
        if (primary.value == value) {
          return Record(SetProperty(row->module, row->property, primary.text));
        }
      }
      return Record(KR_STATUS_TL_BAD_PRIMARY_STREAM);
    case IntWrite::kNone:
      break;
  }
  return Record(KR_STATUS_TL_UNKNOWN_PARAMETER);
}

// ---- named integer parameters ----

KrStatus KrVDevice::GetIOParam(const char* name, int& value) const {
  const NamedIntRow* row = FindByName(kNamedIntParams, name);
  if (row == nullptr) {
    return Record(KR_STATUS_TL_UNKNOWN_PARAMETER);
  }
  if (row->readGuard == Guard::kWriteMode && writeMode == 0) {
    return Record(KR_STATUS_QM_BAD_PARAMETER);
  }
  if (row->readGuard == Guard::kAudioStream) {
    KRV_RETURN_IF_FAILED(Record(CheckAudioStreamProperties36()));
  }
  int result = 0;
  if (row->read != NamedRead::kNothing) {
    const int useDefault = row->read == NamedRead::kStream ? 1 : 0;
    KRV_RETURN_IF_FAILED(Record(GetModuleIntProperty36(row->module, row->property, &result, useDefault, 0)));
  }
  if (row->toLegacy.kind == Conversion::kStreamType) {
    if (result != 0) {
      char type[KR_MAX_NAME_LENGTH] = {};
      KRV_RETURN_IF_FAILED(Record(const_cast<KrVDevice&>(*this).GetProperty(row->module, "Type", type)));
      if (Equal(type, "Image")) {
        result = 1;
      } else if (Equal(type, "IR")) {
        result = 3;
      }
    }
  } else {
    result = ToLegacy(row->toLegacy, result);
  }
  value = result;
  return Record(KR_STATUS_OK);
}

KrStatus KrVDevice::SetIOParam(const char* name, int value) {
  const NamedIntRow* row = FindByName(kNamedIntParams, name);
  if (row == nullptr) {
    return Record(KR_STATUS_TL_UNKNOWN_PARAMETER);
  }
  if (row->writeGuard == Guard::kWriteMode && writeMode == 0) {
    return Record(KR_STATUS_QM_BAD_PARAMETER);
  }
  if (row->zeroRemovesStream && value == 0) {
    return Record(RemoveStream(row->module));
  }
  if (row->toCurrent.kind == Conversion::kRejectValue) {
    return Record(value == row->toCurrent.param ? KR_STATUS_OS_ERROR : KR_STATUS_OK);
  }
  int converted = 0;
  if (!ToCurrent(row->toCurrent, value, &converted)) {
    return Record(KR_STATUS_QM_BAD_PARAMETER);
  }
  if (row->module == nullptr) {
    return Record(KR_STATUS_OK);
  }
  return Record(SetProperty(row->module, row->property, Widen(converted)));
}

// ---- numbered buffer parameters ----

KrStatus KrVDevice::GetIOParam(uint32_t param, void* buffer) const {
  const BufferRow* row = FindById(kBufferParams, param);
  if (row == nullptr || row->read == BufferRead::kNone) {
    return Record(KR_STATUS_TL_UNKNOWN_PARAMETER);
  }
  // Several rows store through the pointer themselves.
  if (buffer == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  KrVDevice& self = const_cast<KrVDevice&>(*this);
  switch (row->read) {
    case BufferRead::kFixed:
      return Record(self.GetProperty(row->module, row->property, KrGeneralBuffer{buffer, row->readSize}));
    case BufferRead::kCallerRecord:
      return Record(self.GetProperty(row->module, row->property, *static_cast<const KrGeneralBuffer*>(buffer)));
    case BufferRead::kShiftToDepth:
    case BufferRead::kDepthToShift: {
      if (shiftToDepthTable == nullptr) {
        KRV_RETURN_IF_FAILED(InitS2DTables36());
      }
      const void* table = row->read == BufferRead::kShiftToDepth ? shiftToDepthTable : depthToShiftTable;
      std::memcpy(buffer, &table, sizeof(table));
      return Record(KR_STATUS_OK);
    }
    case BufferRead::kRequiredDataSize: {
      uint64_t size = 0;
      KRV_RETURN_IF_FAILED(self.GetProperty(row->module, "RequiredDataSize", size));
      return Record(self.GetProperty(row->module, row->property, KrGeneralBuffer{buffer, static_cast<uint32_t>(size)}));
    }
    case BufferRead::kBistResult: {
      // The kit's "BIST" is the general self-test record, not an integer:
      // the parameter reads the record as it stands (the last test run's
      // selector and result) and hands over the result; 0 is a pass.
      BistRecord record = {};
      KRV_RETURN_IF_FAILED(self.GetProperty(row->module, row->property, KrGeneralBuffer{&record, sizeof(record)}));
      const int result = static_cast<int>(record.result);
      std::memcpy(buffer, &result, sizeof(result));
      return Record(KR_STATUS_OK);
    }
    case BufferRead::kNone:
      break;
  }
  return Record(KR_STATUS_TL_UNKNOWN_PARAMETER);
}

KrStatus KrVDevice::SetIOParam(uint32_t param, const void* buffer) {
  const BufferRow* row = FindById(kBufferParams, param);
  if (row == nullptr || row->writeSize == 0) {
    return Record(KR_STATUS_TL_UNKNOWN_PARAMETER);
  }
  // The kit only reads a value it is given.
  return Record(SetProperty(row->module, row->property, KrGeneralBuffer{const_cast<void*>(buffer), row->writeSize}));
}

// ---- flags ----

KrStatus KrVDevice::EnableFlag(int flag) {
  const FlagRow* row = FindFlag(flag);
  return Record(row != nullptr ? SetProperty(row->module, row->property, uint64_t{1}) : KR_STATUS_TL_BAD_STREAM_FLAGS);
}

KrStatus KrVDevice::DisableFlag(int flag) {
  const FlagRow* row = FindFlag(flag);
  return Record(row != nullptr ? SetProperty(row->module, row->property, uint64_t{0}) : KR_STATUS_TL_BAD_STREAM_FLAGS);
}

KrStatus KrVDevice::FlipFlag(int flag) {
  const FlagRow* row = FindFlag(flag);
  if (row == nullptr) {
    return Record(KR_STATUS_TL_BAD_STREAM_FLAGS);
  }
  uint64_t current = 0;
  KRV_RETURN_IF_FAILED(GetProperty(row->module, row->property, current));
  return Record(SetProperty(row->module, row->property, uint64_t{current == 0 ? 1u : 0u}));
}

KrStatus KrVDevice::GetFlag(int flag, uint32_t& value) {
  const FlagRow* row = FindFlag(flag);
  if (row == nullptr) {
    return Record(KR_STATUS_TL_BAD_STREAM_FLAGS);
  }
  uint64_t current = 0;
  KRV_RETURN_IF_FAILED(GetProperty(row->module, row->property, current));
  value = static_cast<uint32_t>(current);
  return Record(KR_STATUS_OK);
}

// ---- depth tables ----

namespace {

// Every table holds one entry per 16-bit value, so a client indexing it with
// any shift or depth pixel stays inside it, whatever "MaxShift" and
// "DeviceMaxDepth" are now or become later.
constexpr uint64_t kTableEntries = 65536;
constexpr uint32_t kTableBytes = static_cast<uint32_t>(kTableEntries * sizeof(uint16_t));

// Fills table with the kit's general property of (largest + 1) 16-bit
// entries and zeroes the entries past it ("no sample"). A table the kit
// cannot give (too large, a failed read) is all zeros. Returns the bytes the
// kit filled.
uint32_t FillTable(KrDeviceHandle device, uint64_t largest, const char* tableProperty, uint16_t* table) {
  uint32_t bytes = 0;
  if (largest < kTableEntries) {
    bytes = static_cast<uint32_t>((largest + 1) * sizeof(uint16_t));
    const KrGeneralBuffer filled{table, bytes};
    if (KrDeviceProxyGetGeneralProperty(device, "Depth", tableProperty, &filled) != KR_STATUS_OK) {
      bytes = 0;
    }
  }
  std::memset(reinterpret_cast<uint8_t*>(table) + bytes, 0, kTableBytes - bytes);
  return bytes;
}

// The current largest index of a table; a failed read gives one the table
// cannot take, so the table reads all zeros.
uint64_t Largest(KrDeviceHandle device, const char* property) {
  uint64_t largest = 0;
  return KrDeviceProxyGetIntProperty(device, "Depth", property, &largest) == KR_STATUS_OK ? largest : kTableEntries;
}

}  // namespace

void KrVDevice::RefreshS2DTables36() const {
  // Straight to the kit: this runs on the kit's event thread, where the
  // device's last status (the application's) must not change. The sizes are
  // read afresh: the change that raised the event may come from a new
  // "MaxShift" or "DeviceMaxDepth".
  shiftToDepthTableSize = FillTable(deviceHandle, Largest(deviceHandle, "MaxShift"), "S2D", shiftToDepthTable);
  depthToShiftTableSize = FillTable(deviceHandle, Largest(deviceHandle, "DeviceMaxDepth"), "D2S", depthToShiftTable);
}

KrStatus KrVDevice::InitS2DTables36() const {
  if (shiftToDepthTable != nullptr) {
    return Record(KR_STATUS_OK);
  }
  KrVDevice& self = const_cast<KrVDevice&>(*this);
  uint64_t maxShift = 0;
  KRV_RETURN_IF_FAILED(self.GetProperty("Depth", "MaxShift", maxShift));
  uint64_t maxDepth = 0;
  KRV_RETURN_IF_FAILED(self.GetProperty("Depth", "DeviceMaxDepth", maxDepth));
  uint16_t* shiftToDepth = static_cast<uint16_t*>(krOSMallocAligned(kTableBytes, 16));
  uint16_t* depthToShift =
      shiftToDepth != nullptr ? static_cast<uint16_t*>(krOSMallocAligned(kTableBytes, 16)) : nullptr;
  if (shiftToDepth == nullptr || depthToShift == nullptr) {
    krOSFreeAligned(shiftToDepth);
    return Record(KR_STATUS_OS_ALLOC_FAILED);
  }
  // Filled before the registration, so an event refills whole tables. The
  // statuses of the table reads are passed over: a table the kit could not
  // give reads zeros until the next "S2D" change.
  shiftToDepthTable = shiftToDepth;
  depthToShiftTable = depthToShift;
  shiftToDepthTableSize = FillTable(deviceHandle, maxShift, "S2D", shiftToDepthTable);
  depthToShiftTableSize = FillTable(deviceHandle, maxDepth, "D2S", depthToShiftTable);
  KrCallbackHandle registration = nullptr;
  const KrStatus registered =
      KrDeviceProxyRegisterToPropertyChange(deviceHandle, "Depth", "S2D", OnS2DTableChanged36, &self, &registration);
  if (registered != KR_STATUS_OK) {
    self.ReleaseS2DTables36();
    return Record(registered);
  }
  s2dRegistration = registration;
  return Record(KR_STATUS_OK);
}

void KrVDevice::OnS2DTableChanged36(KrDeviceHandle /*sender*/, const char* /*module*/, const char* /*property*/,
                                    void* cookie) {
  const KrVDevice* device = static_cast<const KrVDevice*>(cookie);
  if (device == nullptr || device->shiftToDepthTable == nullptr) {
    return;
  }
  device->RefreshS2DTables36();
}

void KrVDevice::ReleaseS2DTables36() {
  if (s2dRegistration != nullptr && deviceHandle != nullptr) {
    // Destroying the kit device cancels it as well; a failure here leaves
    // nothing to undo.
    KrDeviceProxyUnregisterFromPropertyChange(deviceHandle, "Depth", "S2D", s2dRegistration);
  }
  s2dRegistration = nullptr;
  krOSFreeAligned(shiftToDepthTable);
  krOSFreeAligned(depthToShiftTable);
  shiftToDepthTable = nullptr;
  shiftToDepthTableSize = 0;
  depthToShiftTable = nullptr;
  depthToShiftTableSize = 0;
}
