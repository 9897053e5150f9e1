// The older interface's property bridge: every legacy name of every module and width, refusals, buffer-size rules.
#include "LegacyTestSupport.h"

namespace legacy_test {
namespace {

constexpr KrStatus kBad = KR_STATUS_QM_BAD_PARAMETER;

// {legacy module, current module, width listing them (0: both), names read from the current property so named}
const std::tuple<const char*, const char*, int, std::vector<const char*>> kPlainReads[] = {
    {"Depth", "Depth", 16, {"XRes", "YRes", "MinDepthValue", "MaxDepthValue", "ShadowValue", "NoSampleValue", "FPS"}},
    {"Depth", "Depth", 32, {"NumberOfFrames", "State", "InputFormat", "Gain", "HoleFilter", "FrameId"}},
    {"Depth", "Depth", 32, {"RequiredDataSize", "BufferSize", "WhiteBalancedEnabled", "GmcMode", "GmcDebug"}},
    {"Image", "Image", 16, {"XRes", "YRes", "FPS"}},
    {"Image", "Image", 32, {"NumberOfFrames", "State", "InputFormat", "BytesPerPixel", "Flicker", "FrameId"}},
    {"Image", "Image", 32, {"RequiredDataSize", "Quality"}},
    {"IR", "Image", 16, {"XRes", "YRes", "FPS"}},
    {"IR", "Image", 32, {"NumberOfFrames", "FrameId", "RequiredDataSize", "BufferSize", "State"}},
    {"Audio", "Audio", 16, {"NumOfChannels"}},
    {"Audio", "Audio", 32, {"RequiredDataSize", "BufferSize", "SampleRate", "ReadChunkSize"}},
    {"Shifts", "Depth", 0, {"ConstShift", "PixelSizeFactor", "MaxShift", "ParamCoeff", "ShiftScale"}},
    {"FixedParams", "Depth", 0, {"ZPD"}},
};

enum Op : unsigned { kGet16 = 1, kGet32 = 2, kSet16 = 4, kSet32 = 8 };

// {legacy module, name, operations, current module, property, current, legacy}: `current` reads as `legacy`.
const std::tuple<const char*, const char*, unsigned, const char*, const char*, uint64_t, uint32_t> kRoutes[] = {
    {"Depth", "Compression", kGet32 | kSet32, "Depth", "Compression", 1, 2},
    {"Depth", "Registration", kGet32 | kSet32, "Depth", "Registration", 1, 1},
    {"Depth", "OutputFormat", kGet32, "Depth", "OutputFormat", 1, 2},
    {"Depth", "MinDepthValue", kSet16, "Depth", "MinDepthValue", 5, 5},
    {"Depth", "MaxDepthValue", kSet16, "Depth", "MaxDepthValue", 600, 600},
    {"Depth", "State", kSet32, "Depth", "State", 1, 3},
    {"Depth", "HoleFilter", kSet32, "Depth", "HoleFilter", 0x12346, 0x12346},
    {"Depth", "Gain", kSet32, "Depth", "Gain", 0x12345, 0x12345},
    {"Depth", "WhiteBalancedEnabled", kSet32, "Depth", "WhiteBalancedEnabled", 1, 9},
    {"Depth", "GmcMode", kSet32, "Depth", "GmcMode", 1, 9},
    {"Depth", "GmcDebug", kSet32, "Depth", "GmcDebug", 0x12347, 0x12347},
    {"Image", "Compression", kGet32 | kSet32, "Image", "Compression", 3, 2},
    {"Image", "Gain", kGet32 | kSet32, "Image", "Gain", 70000, 70000},
    {"Image", "OutputFormat", kGet32, "Image", "OutputFormat", 5, 2},
    {"Image", "State", kSet32, "Image", "State", 1, 1},
    {"Image", "Flicker", kSet16, "Image", "Flicker", 50, 50},
    {"Image", "Quality", kSet32, "Image", "Quality", 70001, 70001},
    {"IR", "Compression", kGet32 | kSet32, "Image", "Compression", 4, 3},
    {"IR", "OutputFormat", kGet32, "Image", "OutputFormat", 8, 4},
    {"IR", "State", kSet32, "Image", "State", 5, 5},
    {"Audio", "State", kGet16 | kSet32, "Audio", "State", 1, 1},
    {"Audio", "LeftChannelVolume", kGet16 | kSet16, "Audio", "LeftChannelVolume", 40, 40},
    {"Audio", "RightChannelVolume", kGet16 | kSet16 | kSet32, "Audio", "RightChannelVolume", 30, 30},
    {"Audio", "ReadChunkSize", kSet32, "Audio", "ReadChunkSize", 100, 100},
    {"Audio", "ReadMode", kGet32 | kSet32, "Audio", "ReadChunkSize", 2120, 1},
    {"Audio", "Compression", kGet32 | kSet32, "Audio", "Compression", 0, 1},
    {"Audio", "OutputFormat", kGet32, "Audio", "OutputFormat", 7, 1},
    {"Device", "FrameDelay", kGet32 | kSet32, "Device", "FrameDelay", 7, 7},
    {"Device", "FrameSync", kGet32 | kSet16, "Device", "FrameSync", 3, 3},
};

class Bridge : public LegacyTest {
 public:
  // Every current property the bridge reaches, on plain device modules.
  void SetUp() override {
    LegacyTest::SetUp();
    Script script = Modules().IntProperty("Depth", "DeviceMaxDepth", 1);
    for (const auto& [module, target, own, names] : kPlainReads) {
      for (const char* name : names) {
        script.IntProperty(target, name, 1);
      }
    }
    for (const auto& [module, name, ops, targetModule, property, current, legacy] : kRoutes) {
      script.IntProperty(targetModule, property, 1);
    }
    for (const char* general : {"S2D", "D2S", "AGCBin"}) {
      script.Property("Depth", general, ScriptValue::General(nullptr, 0));
    }
    Create(script.Property("Image", "Cropping", ScriptValue::General(nullptr, 0))
               .Property("Device", "CmosBlankingUnits", ScriptValue::General(nullptr, 0))
               .Property("Device", "CmosBlankingTime", ScriptValue::General(nullptr, 0))
               .Property("Device", "PrimaryStream", ScriptValue::String("Any"))
               .IntProperty("Device", "ReadWriteMode", 1)
               .SupportedType("Audio"));
  }
};

TEST_F(Bridge, PlainNamesReadTheirCurrentPropertyAtEitherWidth) {
  uint32_t tag = 1;
  for (const auto& [module, target, own, names] : kPlainReads) {
    for (const char* name : names) {
      SCOPED_TRACE(std::string(module) + "/" + name);
      ASSERT_EQ(device->SetProperty(target, name, Tagged(++tag)), KR_STATUS_OK);
      const uint32_t low16 = tag;
      const uint32_t low32 = 0x20000 + tag;
      uint32_t wide = 7;
      EXPECT_EQ(device->GetProperty(module, name, wide), KR_STATUS_OK);
      // A 32-bit read of a 16-bit name passes through the 16-bit getter.
      EXPECT_EQ(wide, own == 16 ? low16 : low32);
      uint16_t narrow = 7;
      const bool audioAccepts = own == 32 && std::strcmp(module, "Audio") == 0;
      EXPECT_EQ(device->GetProperty(module, name, narrow), KR_STATUS_OK);
      EXPECT_EQ(narrow, audioAccepts ? 7 : low16);
    }
  }
  // The infra-red state reads 0 while "Image" is missing; a failed query passes through and stores nothing.
  device->hidden = {"Image"};
  uint32_t wide = 7;
  EXPECT_EQ(device->GetProperty("IR", "State", wide), KR_STATUS_OK);
  EXPECT_EQ(wide, 0u);
  device->hidden.clear();
  FailCall("KrDeviceProxyDoesModuleExist", KR_STATUS_TL_INJECTED_FAILURE);
  FailCall("KrDeviceProxyGetIntProperty", KR_STATUS_TL_INJECTED_FAILURE);
  wide = 7;
  uint16_t narrow = 7;
  EXPECT_EQ(device->GetProperty("IR", "State", wide), KR_STATUS_TL_INJECTED_FAILURE);
  EXPECT_EQ(device->GetProperty("Depth", "Gain", wide), KR_STATUS_TL_INJECTED_FAILURE);
  EXPECT_EQ(device->GetProperty("Depth", "XRes", narrow), KR_STATUS_TL_INJECTED_FAILURE);
  EXPECT_EQ(device->GetLastStatus(), KR_STATUS_TL_INJECTED_FAILURE);
  EXPECT_EQ(wide, 7u);
  EXPECT_EQ(narrow, 7u);
}

TEST_F(Bridge, ConvertedNamesReachTheirPropertyThroughTheIOParameters) {
  for (const auto& [module, name, ops, targetModule, property, current, legacy] : kRoutes) {
    const std::string path = PathOf(targetModule, property);
    for (const unsigned op : {kSet16, kSet32, kGet16, kGet32}) {
      if ((ops & op) == 0) {
        continue;
      }
      SCOPED_TRACE(std::string(module) + "/" + name + " op " + std::to_string(op));
      const bool set = op == kSet16 || op == kSet32;
      // A set must change the value; a get reads the current one.
      ASSERT_EQ(device->SetProperty(targetModule, property, set ? uint64_t{0xBAD} : current), KR_STATUS_OK);
      ClearJournal();
      uint32_t wide = 77;
      uint16_t narrow = 77;
      KrStatus status = KR_STATUS_OK;
      if (op == kSet16) {
        status = device->SetProperty(module, name, static_cast<uint16_t>(legacy));
      } else if (op == kSet32) {
        status = device->SetProperty(module, name, legacy);
      } else if (op == kGet16) {
        status = device->GetProperty(module, name, narrow);
        wide = narrow;
      } else {
        status = device->GetProperty(module, name, wide);
      }
      EXPECT_EQ(status, KR_STATUS_OK);
      EXPECT_EQ(Target(set ? "KrDeviceProxySetIntProperty" : "KrDeviceProxyGetIntProperty"), path);
      EXPECT_EQ(set ? Current(targetModule, property) : wide, set ? current : legacy);
    }
  }
  // Read sync reads 0 without any property and refuses 1.
  ClearJournal();
  uint32_t value = 77;
  EXPECT_EQ(device->GetProperty("Audio", "AudioReadSync", value), KR_STATUS_OK);
  EXPECT_EQ(value, 0u);
  EXPECT_EQ(Target("KrDeviceProxyGetIntProperty"), "");
  EXPECT_EQ(device->SetProperty("Audio", "AudioReadSync", uint32_t{1}), KR_STATUS_OS_ERROR);
  // The primary stream is the device text as a number.
  EXPECT_EQ(device->SetProperty("Device", "PrimaryStream", uint32_t{1}), KR_STATUS_OK);
  EXPECT_EQ(TextOf(*device, "Device", "PrimaryStream"), "Depth");
  ASSERT_EQ(device->SetProperty("Device", "PrimaryStream", "Image"), KR_STATUS_OK);
  EXPECT_EQ(device->GetProperty("Device", "PrimaryStream", value), KR_STATUS_OK);
  EXPECT_EQ(value, 2u);
  // A current format the kit's conversion does not know is its failure.
  ASSERT_EQ(device->SetProperty("Depth", "OutputFormat", uint64_t{9}), KR_STATUS_OK);
  value = 77;
  EXPECT_EQ(device->GetProperty("Depth", "OutputFormat", value), KR_STATUS_TL_BAD_DEPTH_FORMAT);
  EXPECT_EQ(value, 77u);
}

TEST_F(Bridge, UnknownNamesAreRefusedPointerNamesMoveBytesAndBufferSizesAreConfirmed) {
  // Only the infra-red pointer set and the audio integer gets (32 bits read 0) take a name they do not know.
  for (const char* module : {"Depth", "Image", "IR", "Audio", "Shifts", "FixedParams", "Device", "depth"}) {
    SCOPED_TRACE(module);
    const KrStatus audioGet = std::strcmp(module, "Audio") == 0 ? KR_STATUS_OK : kBad;
    uint16_t narrow = 0xABCD;
    uint32_t wide = 0xABCD;
    void* pointer = &wide;
    EXPECT_EQ(device->GetProperty(module, "Nope", narrow), audioGet);
    EXPECT_EQ(narrow, 0xABCD);
    EXPECT_EQ(device->GetProperty(module, "Nope", wide), audioGet);
    EXPECT_EQ(wide, audioGet == KR_STATUS_OK ? 0u : 0xABCDu);
    EXPECT_EQ(device->GetLastStatus(), audioGet);
    EXPECT_EQ(device->GetProperty(module, "Nope", pointer), kBad);
    EXPECT_EQ(pointer, &wide);
    EXPECT_EQ(device->SetProperty(module, "Nope", uint16_t{1}), kBad);
    EXPECT_EQ(device->SetProperty(module, "Nope", uint32_t{1}), kBad);
    EXPECT_EQ(device->SetProperty(module, "Nope", pointer), std::strcmp(module, "IR") == 0 ? KR_STATUS_OK : kBad);
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
  // Pointer names move their bytes and hand over the tables: {legacy module, name, current module, bytes, readable}
  const std::tuple<const char*, const char*, const char*, uint32_t, bool> rows[] = {
      {"Depth", "AGCBin", "Depth", 6, true},
      {"IR", "Cropping", "Image", 12, false},
      {"Device", "CmosBlankingUnits", "Device", 8, true},
      {"Device", "CmosBlankingTime", "Device", 10, true}};
  for (const auto& [module, name, target, size, readable] : rows) {
    SCOPED_TRACE(name);
    uint8_t written[12] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
    EXPECT_EQ(device->SetProperty(module, name, static_cast<void*>(written)), KR_STATUS_OK);
    uint8_t stored[12] = {};
    EXPECT_EQ(device->GetProperty(target, name, KrGeneralBuffer{stored, size}), KR_STATUS_OK);
    EXPECT_EQ(std::memcmp(stored, written, size), 0);
    uint8_t read[12] = {};
    void* pointer = read;
    EXPECT_EQ(device->GetProperty(module, name, pointer), readable ? KR_STATUS_OK : kBad);
    EXPECT_EQ(std::memcmp(read, written, size) == 0, readable);
  }
  for (const auto& table : {std::make_pair("S2D", 27u), std::make_pair("D2S", 28u)}) {
    void* fromBridge = nullptr;
    void* fromIO = nullptr;
    EXPECT_EQ(device->GetProperty("Shifts", table.first, fromBridge), KR_STATUS_OK);
    EXPECT_EQ(device->GetIOParam(table.second, static_cast<void*>(&fromIO)), KR_STATUS_OK);
    EXPECT_NE(fromBridge, nullptr);
    EXPECT_EQ(fromBridge, fromIO);
  }
  // Buffer sizes are confirmed against the frame objects; the frame address is read.
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

}  // namespace
}  // namespace legacy_test
