// The older interface's property bridge: every legacy name of every module
// and width against the scripted device, the passing between widths, the
// refusals and the buffer-size rules.
#include "LegacyTestSupport.h"

#include <cstring>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace legacy_test {
namespace {

constexpr KrStatus kBad = KR_STATUS_QM_BAD_PARAMETER;

class Bridge : public LegacyTest {
 public:
  // Every current property the bridge reaches, on plain device modules.
  static Script Everything() {
    Script script = Modules();
    const std::pair<const char*, std::vector<const char*>> integers[] = {
        {"Depth",
         {"Compression", "Registration", "OutputFormat", "MaxShift", "DeviceMaxDepth", "MinDepthValue", "MaxDepthValue",
          "State", "HoleFilter", "Gain", "WhiteBalancedEnabled", "GmcMode", "GmcDebug"}},
        {"Image", {"Compression", "Gain", "OutputFormat", "State", "Flicker", "Quality"}},
        {"Audio", {"State", "LeftChannelVolume", "RightChannelVolume", "ReadChunkSize", "Compression", "OutputFormat"}},
        {"Device", {"FrameDelay", "FrameSync"}},
    };
    for (const auto& module : integers) {
      for (const char* name : module.second) {
        script.IntProperty(module.first, name, 1);
      }
    }
    for (const char* general : {"S2D", "D2S", "AGCBin"}) {
      script.Property("Depth", general, ScriptValue::General(nullptr, 0));
    }
    return script.Property("Image", "Cropping", ScriptValue::General(nullptr, 0))
        .Property("Device", "CmosBlankingUnits", ScriptValue::General(nullptr, 0))
        .Property("Device", "CmosBlankingTime", ScriptValue::General(nullptr, 0))
        .Property("Device", "PrimaryStream", ScriptValue::String("Any"))
        .IntProperty("Device", "ReadWriteMode", 1)
        .SupportedType("Audio");
  }
};

// Legacy names read straight from the current property of the same name;
// `own` is the width that lists them (0: both widths do).
struct PlainReads {
  const char* module;
  const char* target;
  int own;
  std::vector<const char*> names;
};

const PlainReads kPlainReads[] = {
    {"Depth", "Depth", 16, {"XRes", "YRes", "MinDepthValue", "MaxDepthValue", "ShadowValue", "NoSampleValue", "FPS"}},
    {"Depth",
     "Depth",
     32,
     {"NumberOfFrames", "State", "InputFormat", "Gain", "HoleFilter", "FrameId", "RequiredDataSize", "BufferSize",
      "WhiteBalancedEnabled", "GmcMode", "GmcDebug"}},
    {"Image", "Image", 16, {"XRes", "YRes", "FPS"}},
    {"Image",
     "Image",
     32,
     {"NumberOfFrames", "State", "InputFormat", "BytesPerPixel", "Flicker", "FrameId", "RequiredDataSize", "Quality"}},
    {"IR", "Image", 16, {"XRes", "YRes", "FPS"}},
    {"IR", "Image", 32, {"NumberOfFrames", "FrameId", "RequiredDataSize", "BufferSize", "State"}},
    {"Audio", "Audio", 16, {"NumOfChannels"}},
    {"Audio", "Audio", 32, {"RequiredDataSize", "BufferSize", "SampleRate", "ReadChunkSize"}},
    {"Shifts", "Depth", 0, {"ConstShift", "PixelSizeFactor", "MaxShift", "ParamCoeff", "ShiftScale"}},
    {"FixedParams", "Depth", 0, {"ZPD"}},
};

TEST_F(Bridge, PlainNamesReadTheirCurrentPropertyAtEitherWidth) {
  Script script = Modules();
  std::set<std::string> declared;
  for (const PlainReads& row : kPlainReads) {
    for (const char* name : row.names) {
      if (declared.insert(std::string(row.target) + "/" + name).second) {
        script.IntProperty(row.target, name, 0);
      }
    }
  }
  Create(script);
  uint32_t tag = 1;
  for (const PlainReads& row : kPlainReads) {
    for (const char* name : row.names) {
      SCOPED_TRACE(std::string(row.module) + "/" + name);
      ASSERT_EQ(device->SetProperty(row.target, name, Tagged(++tag)), KR_STATUS_OK);
      const uint32_t low16 = tag, low32 = 0x20000 + tag;
      uint32_t wide = 7;
      EXPECT_EQ(device->GetProperty(row.module, name, wide), KR_STATUS_OK);
      // A 32-bit read of a 16-bit name passes through the 16-bit getter.
      EXPECT_EQ(wide, row.own == 16 ? low16 : low32);
      uint16_t narrow = 7;
      const bool audioAccepts = row.own == 32 && std::strcmp(row.module, "Audio") == 0;
      EXPECT_EQ(device->GetProperty(row.module, name, narrow), KR_STATUS_OK);
      EXPECT_EQ(narrow, audioAccepts ? 7 : low16);
      EXPECT_EQ(device->GetLastStatus(), KR_STATUS_OK);

      FailCall("KrDeviceProxyGetIntProperty", KR_STATUS_TL_INJECTED_FAILURE);
      wide = 7;
      EXPECT_EQ(device->GetProperty(row.module, name, wide), KR_STATUS_TL_INJECTED_FAILURE);
      EXPECT_EQ(device->GetLastStatus(), KR_STATUS_TL_INJECTED_FAILURE);
      EXPECT_EQ(wide, 7u);
      ClearFailures();
    }
  }
}

// A legacy name reached through the IO parameters: the kit call names
// `target`, whose current value `current` is the legacy `legacy`.
struct Route {
  const char* module;
  int width;
  const char* name;
  const char* target;  // null: no property is read
  uint64_t current;
  uint32_t legacy;
};

const Route kGets[] = {
    {"Depth", 32, "Compression", "Depth/Compression", 1, 2},
    {"Depth", 32, "Registration", "Depth/Registration", Tagged(5), 0x20005},
    {"Depth", 32, "OutputFormat", "Depth/OutputFormat", 1, 2},
    {"Image", 32, "Compression", "Image/Compression", 3, 2},
    {"Image", 32, "Gain", "Image/Gain", Tagged(4), 0x20004},
    {"Image", 32, "OutputFormat", "Image/OutputFormat", 5, 2},
    {"IR", 32, "Compression", "Image/Compression", 4, 3},
    {"IR", 32, "OutputFormat", "Image/OutputFormat", 8, 4},
    {"Audio", 16, "State", "Audio/State", Tagged(1), 1},
    {"Audio", 16, "LeftChannelVolume", "Audio/LeftChannelVolume", 40, 40},
    {"Audio", 16, "RightChannelVolume", "Audio/RightChannelVolume", 30, 30},
    {"Audio", 32, "ReadMode", "Audio/ReadChunkSize", 2120, 1},
    {"Audio", 32, "AudioReadSync", nullptr, 0, 0},
    {"Audio", 32, "Compression", "Audio/Compression", 0, 1},
    {"Audio", 32, "OutputFormat", "Audio/OutputFormat", 7, 1},
    {"Device", 32, "FrameDelay", "Device/FrameDelay", 7, 7},
    {"Device", 32, "FrameSync", "Device/FrameSync", Tagged(2), 0x20002},
};

const Route kSets[] = {
    {"Depth", 16, "MinDepthValue", "Depth/MinDepthValue", 5, 5},
    {"Depth", 16, "MaxDepthValue", "Depth/MaxDepthValue", 600, 600},
    {"Depth", 32, "State", "Depth/State", 1, 3},
    {"Depth", 32, "Registration", "Depth/Registration", 1, 7},
    {"Depth", 32, "Compression", "Depth/Compression", 2, 4},
    {"Depth", 32, "HoleFilter", "Depth/HoleFilter", 0x12346, 0x12346},
    {"Depth", 32, "Gain", "Depth/Gain", 0x12345, 0x12345},
    {"Depth", 32, "WhiteBalancedEnabled", "Depth/WhiteBalancedEnabled", 1, 9},
    {"Depth", 32, "GmcMode", "Depth/GmcMode", 1, 9},
    {"Depth", 32, "GmcDebug", "Depth/GmcDebug", 0x12347, 0x12347},
    {"Image", 32, "State", "Image/State", 1, 1},
    {"Image", 32, "Compression", "Image/Compression", 3, 2},
    {"Image", 32, "Gain", "Image/Gain", 70000, 70000},
    {"Image", 16, "Flicker", "Image/Flicker", 50, 50},
    {"Image", 32, "Quality", "Image/Quality", 70001, 70001},
    {"IR", 32, "State", "Image/State", 5, 5},
    {"IR", 32, "Compression", "Image/Compression", 4, 3},
    {"Audio", 16, "LeftChannelVolume", "Audio/LeftChannelVolume", 30, 30},
    {"Audio", 16, "RightChannelVolume", "Audio/RightChannelVolume", 31, 31},
    {"Audio", 32, "RightChannelVolume", "Audio/RightChannelVolume", 20, 20},
    {"Audio", 32, "State", "Audio/State", 1, 1},
    {"Audio", 32, "ReadChunkSize", "Audio/ReadChunkSize", 100, 100},
    {"Audio", 32, "ReadMode", "Audio/ReadChunkSize", 2120, 1},
    {"Audio", 32, "Compression", "Audio/Compression", 0, 1},
    {"Device", 32, "FrameDelay", "Device/FrameDelay", 4, 4},
    {"Device", 16, "FrameSync", "Device/FrameSync", 1, 1},
};

std::pair<std::string, std::string> Split(const std::string& path) {
  const size_t slash = path.find('/');
  return {path.substr(0, slash), path.substr(slash + 1)};
}

TEST_F(Bridge, ConvertedNamesReadThroughTheIOParameters) {
  Create(Everything());
  for (const Route& row : kGets) {
    SCOPED_TRACE(std::string(row.module) + "/" + row.name);
    if (row.target != nullptr) {
      const auto target = Split(row.target);
      ASSERT_EQ(device->SetProperty(target.first.c_str(), target.second.c_str(), row.current), KR_STATUS_OK);
    }
    ClearJournal();
    uint32_t value = 77;
    if (row.width == 16) {
      uint16_t narrow = 77;
      EXPECT_EQ(device->GetProperty(row.module, row.name, narrow), KR_STATUS_OK);
      value = narrow;
    } else {
      EXPECT_EQ(device->GetProperty(row.module, row.name, value), KR_STATUS_OK);
    }
    EXPECT_EQ(value, row.legacy);
    EXPECT_EQ(Target("KrDeviceProxyGetIntProperty"), row.target != nullptr ? row.target : "");
  }
  ASSERT_EQ(device->SetProperty("Device", "PrimaryStream", "Image"), KR_STATUS_OK);
  uint32_t value = 77;
  EXPECT_EQ(device->GetProperty("Device", "PrimaryStream", value), KR_STATUS_OK);
  EXPECT_EQ(value, 2u);
  // A current format the kit's conversion does not know is its failure.
  ASSERT_EQ(device->SetProperty("Depth", "OutputFormat", uint64_t{9}), KR_STATUS_OK);
  value = 77;
  EXPECT_EQ(device->GetProperty("Depth", "OutputFormat", value), KR_STATUS_TL_BAD_DEPTH_FORMAT);
  EXPECT_EQ(value, 77u);
}

TEST_F(Bridge, SetsWriteTheirCurrentPropertyThroughTheIOParameters) {
  Create(Everything());
  for (const Route& row : kSets) {
    SCOPED_TRACE(std::string(row.module) + "/" + row.name);
    ClearJournal();
    const KrStatus status = row.width == 16
                                ? device->SetProperty(row.module, row.name, static_cast<uint16_t>(row.legacy))
                                : device->SetProperty(row.module, row.name, row.legacy);
    EXPECT_EQ(status, KR_STATUS_OK);
    EXPECT_EQ(Target("KrDeviceProxySetIntProperty"), row.target);
    const auto target = Split(row.target);
    EXPECT_EQ(Current(target.first.c_str(), target.second.c_str()), row.current);
  }
  EXPECT_EQ(device->SetProperty("Device", "PrimaryStream", uint32_t{1}), KR_STATUS_OK);
  EXPECT_EQ(TextOf(*device, "Device", "PrimaryStream"), "Depth");
  EXPECT_EQ(device->SetProperty("Audio", "AudioReadSync", uint32_t{1}), KR_STATUS_OS_ERROR);
}

TEST_F(Bridge, UnknownNamesAreRefusedAndLeaveEveryOperationFree) {
  Create(Everything());
  const uint32_t kUnset = 0xABCD;
  const struct {
    const char* module;
    KrStatus get16, get32, getPointer, set16, set32, setPointer;
    uint32_t get32Value;  // kUnset: untouched
  } rows[] = {
      {"Depth", kBad, kBad, kBad, kBad, kBad, kBad, kUnset},
      {"Image", kBad, kBad, kBad, kBad, kBad, kBad, kUnset},
      {"IR", kBad, kBad, kBad, kBad, kBad, KR_STATUS_OK, kUnset},
      {"Audio", KR_STATUS_OK, KR_STATUS_OK, kBad, kBad, kBad, kBad, 0},
      {"Shifts", kBad, kBad, kBad, kBad, kBad, kBad, kUnset},
      {"FixedParams", kBad, kBad, kBad, kBad, kBad, kBad, kUnset},
      {"Device", kBad, kBad, kBad, kBad, kBad, kBad, kUnset},
      {"depth", kBad, kBad, kBad, kBad, kBad, kBad, kUnset},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.module);
    uint16_t narrow = 0xABCD;
    uint32_t wide = kUnset;
    void* pointer = &wide;
    EXPECT_EQ(device->GetProperty(row.module, "Nope", narrow), row.get16);
    EXPECT_EQ(narrow, 0xABCD);
    EXPECT_EQ(device->GetProperty(row.module, "Nope", wide), row.get32);
    EXPECT_EQ(wide, row.get32Value);
    EXPECT_EQ(device->GetLastStatus(), row.get32);
    EXPECT_EQ(device->GetProperty(row.module, "Nope", pointer), row.getPointer);
    EXPECT_EQ(pointer, &wide);
    EXPECT_EQ(device->SetProperty(row.module, "Nope", uint16_t{1}), row.set16);
    EXPECT_EQ(device->SetProperty(row.module, "Nope", uint32_t{1}), row.set32);
    EXPECT_EQ(device->SetProperty(row.module, "Nope", pointer), row.setPointer);
  }
  EXPECT_EQ(CountJournalCalls("KrDeviceProxySetIntProperty") + CountJournalCalls("KrDeviceProxySetGeneralProperty"),
            0u);
  // Refusals the older interface made by name and value.
  uint16_t narrow = 0;
  uint32_t wide = 0;
  EXPECT_EQ(device->GetProperty("Device", "FrameSync", narrow), KR_STATUS_QM_BAD_PARAMETER);
  EXPECT_EQ(device->GetProperty("Shifts", "ZPD", wide), KR_STATUS_QM_BAD_PARAMETER);
  EXPECT_EQ(device->SetProperty("Shifts", "MaxShift", uint32_t{1}), KR_STATUS_QM_BAD_PARAMETER);
  EXPECT_EQ(device->SetProperty("Depth", "MaxDepthValue", uint32_t{65535}), KR_STATUS_QM_BAD_PARAMETER);
  EXPECT_EQ(device->SetProperty("Depth", "MaxDepthValue", uint32_t{65534}), KR_STATUS_OK);
  EXPECT_EQ(Current("Depth", "MaxDepthValue"), 65534u);
  // Every operation is free again: names each width knows still work.
  EXPECT_EQ(device->GetProperty("Depth", "Gain", narrow), KR_STATUS_OK);
  EXPECT_EQ(device->SetProperty("Audio", "LeftChannelVolume", uint32_t{3}), KR_STATUS_OK);
}

TEST_F(Bridge, PointerNamesMoveTheirBytesAndTheTables) {
  Create(Everything());
  const struct {
    const char* module;
    const char* name;
    const char* target;
    uint32_t size;
    bool readable;
  } rows[] = {{"Depth", "AGCBin", "Depth", 6, true},
              {"IR", "Cropping", "Image", 12, false},
              {"Device", "CmosBlankingUnits", "Device", 8, true},
              {"Device", "CmosBlankingTime", "Device", 10, true}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    uint8_t written[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_EQ(device->SetProperty(row.module, row.name, static_cast<void*>(written)), KR_STATUS_OK);
    uint8_t stored[12] = {};
    EXPECT_EQ(device->GetProperty(row.target, row.name, KrGeneralBuffer{stored, row.size}), KR_STATUS_OK);
    EXPECT_EQ(std::memcmp(stored, written, row.size), 0);
    uint8_t read[12] = {};
    void* pointer = read;
    EXPECT_EQ(device->GetProperty(row.module, row.name, pointer), row.readable ? KR_STATUS_OK : kBad);
    EXPECT_EQ(std::memcmp(read, written, row.size) == 0, row.readable);
  }
  for (const auto& table : {std::make_pair("S2D", 27u), std::make_pair("D2S", 28u)}) {
    void* fromBridge = nullptr;
    void* fromIO = nullptr;
    EXPECT_EQ(device->GetProperty("Shifts", table.first, fromBridge), KR_STATUS_OK);
    EXPECT_EQ(device->GetIOParam(table.second, static_cast<void*>(&fromIO)), KR_STATUS_OK);
    EXPECT_NE(fromBridge, nullptr);
    EXPECT_EQ(fromBridge, fromIO);
  }
}

TEST_F(Bridge, BufferSizesAreConfirmedAndTheFrameAddressIsRead) {
  Script script = CameraScript();
  for (const char* stream : {"Depth", "Image", "Audio"}) {
    script.Stream(stream, stream).Frame(stream, FrameBytes(1, 12), 10, 1);
  }
  Create(script.TypeProperty("Audio", "State", ScriptValue::Int(0)));
  ASSERT_EQ(device->OpenAllStreams(), KR_STATUS_OK);
  ASSERT_EQ(device->Read(), KR_STATUS_OK);
  for (const char* module : {"Depth", "Image", "IR"}) {
    EXPECT_EQ(device->SetProperty(module, "BufferSize", uint32_t{12}), KR_STATUS_OK) << module;
    EXPECT_EQ(device->SetProperty(module, "BufferSize", uint32_t{13}), KR_STATUS_QM_BAD_PARAMETER) << module;
  }
  // Audio: up to the allocated size, and written.
  EXPECT_EQ(device->SetProperty("Audio", "BufferSize", uint32_t{kFrameBytes + 1}), KR_STATUS_QM_BAD_PARAMETER);
  EXPECT_EQ(device->SetProperty("Audio", "BufferSize", uint32_t{kFrameBytes}), KR_STATUS_OK);
  EXPECT_EQ(Current("Audio", "BufferSize"), kFrameBytes);
  EXPECT_EQ(device->SetProperty("Audio", "State", uint32_t{1}), KR_STATUS_OK);

  void* address = nullptr;
  EXPECT_EQ(device->GetProperty("Depth", "Buffer", address), KR_STATUS_OK);
  EXPECT_EQ(address, static_cast<void*>(device->GetDepthMap()->Data()));

  // Without the frame object there is nothing to confirm against.
  ASSERT_EQ(device->RemoveStream("Depth"), KR_STATUS_OK);
  EXPECT_EQ(device->SetProperty("Depth", "BufferSize", uint32_t{13}), KR_STATUS_OK);
}

TEST_F(Bridge, InfraRedStateFollowsTheImageModuleInEitherMode) {
  Create(Modules().IntProperty("Image", "State", 1));
  uint32_t state = 77;
  EXPECT_EQ(device->GetProperty("IR", "State", state), KR_STATUS_OK);
  EXPECT_EQ(state, 1u);
  device->hidden = {"Image"};
  EXPECT_EQ(device->GetProperty("IR", "State", state), KR_STATUS_OK);
  EXPECT_EQ(state, 0u);
  FailCall("KrDeviceProxyDoesModuleExist", KR_STATUS_TL_INJECTED_FAILURE);
  device->hidden.clear();
  state = 77;
  EXPECT_EQ(device->GetProperty("IR", "State", state), KR_STATUS_TL_INJECTED_FAILURE);
  EXPECT_EQ(state, 77u);
  ClearFailures();

  // A legacy device always has "Image": a kit without it fails the read.
  Create(Script(), 1);
  EXPECT_EQ(device->GetProperty("IR", "State", state), KR_STATUS_TL_MODULE_NOT_FOUND);
  EXPECT_EQ(CountJournalCalls("KrDeviceProxyDoesModuleExist"), 0u);
}

}  // namespace
}  // namespace legacy_test
