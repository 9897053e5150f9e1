// The older interface's IO parameters, flags and depth tables; the scripted device's journal shows what the kit did.
#include "LegacyTestSupport.h"

#include <Tollan/TollanFlash.h>

namespace legacy_test {
namespace {

constexpr KrStatus kUnknown = KR_STATUS_TL_UNKNOWN_PARAMETER;
constexpr KrStatus kInjected = KR_STATUS_TL_INJECTED_FAILURE;

// {number, module, property, written as a boolean (1 for any non-zero value)}
const std::tuple<uint32_t, const char*, const char*, bool> kNumbered[] = {{0, "Image", "Resolution", false},
                                                                          {1, "Image", "FPS", false},
                                                                          {2, "Image", "Gain", false},
                                                                          {4, "Image", "Flicker", false},
                                                                          {5, "Depth", "Resolution", false},
                                                                          {6, "Depth", "FPS", false},
                                                                          {7, "Depth", "Gain", false},
                                                                          {8, "Depth", "HoleFilter", false},
                                                                          {10, "Image", "Resolution", false},
                                                                          {11, "Image", "FPS", false},
                                                                          {12, "Image", "Gain", false},
                                                                          {13, "Depth", "Registration", true},
                                                                          {14, "Device", "FrameSync", false},
                                                                          {15, "Depth", "Mirror", false},
                                                                          {26, "Device", "ReadWriteMode", false},
                                                                          {30, "Device", "FirmwareLogFilter", false},
                                                                          {31, "Device", "FirmwareMode", false},
                                                                          {38, "Image", "Quality", false},
                                                                          {39, "Depth", "GmcDebug", false},
                                                                          {44, "Device", "APCEnabled", false},
                                                                          {50, "Device", "Mirror", false},
                                                                          {51, "Image", "Mirror", false},
                                                                          {52, "Image", "Mirror", false}};

// A number reads the low 32 bits and writes sign-extended; a missing module reads 0 for a stream, fails for the device.
TEST_F(LegacyTest, EveryNumberNamesItsPropertyFailuresPassThroughUnknownNumbersTouchNothing) {
  Script script = Modules();
  for (const auto& [id, module, property, boolean] : kNumbered) {
    script.IntProperty(module, property, 0);
  }
  Create(script.IntProperty("Device", "Reset", 0).Property("Device", "PrimaryStream", ScriptValue::String("Any")));
  for (const auto& [id, module, property, boolean] : kNumbered) {
    SCOPED_TRACE(id);
    ASSERT_EQ(device->SetProperty(module, property, Tagged(id)), KR_STATUS_OK);
    ClearJournal();
    int value = -7;
    EXPECT_EQ(device->GetIOParam(id, value), KR_STATUS_OK);
    EXPECT_EQ(Target("KrDeviceProxyGetIntProperty"), PathOf(module, property));
    EXPECT_EQ(value, static_cast<int>(0x20000 + id));
    EXPECT_EQ(device->SetIOParam(id, -2), KR_STATUS_OK);
    EXPECT_EQ(Target("KrDeviceProxySetIntProperty"), PathOf(module, property));
    EXPECT_EQ(Current(module, property), boolean ? 1 : ~uint64_t{1});
    device->hidden = {module};
    ClearJournal();
    const bool deviceRule = std::strcmp(module, "Device") == 0;
    ExpectRead(id, deviceRule ? KR_STATUS_TL_MODULE_NOT_FOUND : KR_STATUS_OK, deviceRule ? 77 : 0);
    EXPECT_EQ(CountJournalCalls("KrDeviceProxyGetIntProperty"), 0u);
    device->hidden.clear();
  }
  // Failures pass through; unknown numbers touch nothing; 25 is the primary stream's text.
  for (const char* call : {"KrDeviceProxyDoesModuleExist", "KrDeviceProxyGetIntProperty"}) {
    FailCall(call, kInjected);
    ExpectRead(7u, kInjected, 77);
    EXPECT_EQ(device->GetLastStatus(), kInjected) << call;
    ClearFailures();
  }
  FailCall("KrDeviceProxySetIntProperty", kInjected);
  EXPECT_EQ(device->SetIOParam(7, 1), kInjected);
  ClearFailures();
  // {number, read status, value read, write status}; 49 reads 1 without the kit.
  const std::tuple<uint32_t, KrStatus, int, KrStatus> rows[] = {{49, KR_STATUS_OK, 1, kUnknown},
                                                                {3, kUnknown, 77, kUnknown},
                                                                {53, kUnknown, 77, kUnknown},
                                                                {0xFFFFFFFFu, kUnknown, 77, kUnknown}};
  for (const auto& [id, read, readValue, write] : rows) {
    SCOPED_TRACE(id);
    ClearJournal();
    ExpectRead(id, read, readValue);
    EXPECT_EQ(device->GetLastStatus(), read);
    EXPECT_EQ(device->SetIOParam(id, 1), write);
    EXPECT_TRUE(GetJournal().empty());
  }
  // 29 resets: written, never read.
  ExpectRead(29u, kUnknown, 77);
  EXPECT_EQ(device->SetIOParam(29, 1), KR_STATUS_OK);
  EXPECT_EQ(Current("Device", "Reset"), 1u);
  // 25 is the primary stream, the device's text as a number.
  for (const auto& [number, text] :
       {std::make_pair(1, "Depth"), std::make_pair(2, "Image"), std::make_pair(0, "Any")}) {
    EXPECT_EQ(device->SetIOParam(25, number), KR_STATUS_OK);
    EXPECT_EQ(TextOf(*device, "Device", "PrimaryStream"), text);
    ExpectRead(25u, KR_STATUS_OK, number);
  }
  ClearJournal();
  EXPECT_EQ(device->SetIOParam(25, 3), KR_STATUS_TL_BAD_PRIMARY_STREAM);
  EXPECT_EQ(CountJournalCalls("KrDeviceProxySetStringProperty"), 0u);
  ASSERT_EQ(device->SetProperty("Device", "PrimaryStream", "IR"), KR_STATUS_OK);
  ExpectRead(25u, KR_STATUS_OK, 0);
  FailCall("KrDeviceProxyGetStringProperty", kInjected);
  ExpectRead(25u, kInjected, 77);
}

// {name, module, property, legacy, current, stored, back}: `legacy` stores `current`; `stored` reads as `back`.
const std::tuple<const char*, const char*, const char*, int, uint64_t, uint64_t, int> kNamed[] = {
    {"MinDepthValue", "Depth", "MinDepthValue", -3, ~uint64_t{2}, ~uint64_t{2}, -3},
    {"MaxDepthValue", "Depth", "MaxDepthValue", 7, 7, 9, 9},
    {"GMCMode", "Depth", "GmcMode", 9, 1, 5, 5},
    {"DepthWhiteBalance", "Depth", "WhiteBalancedEnabled", -1, 1, 0, 0},
    {"DepthInputFormat", "Depth", "InputFormat", 3, 1, 3, 3},
    {"DepthState", "Depth", "State", 4, 1, 1, 2},
    {"DepthState", "Depth", "State", 0, 0, 3, 3},
    {"DepthCompression", "Depth", "Compression", 1, 0, 0, 1},
    {"DepthCompression", "Depth", "Compression", 2, 1, 1, 2},
    {"DepthCompression", "Depth", "Compression", 4, 2, 2, 4},
    {"DepthCompression", "Depth", "Compression", 4, 2, 7, 7},
    {"RGBRegistrarState", "Depth", "Registration", 5, 1, 7, 2},
    {"RGBRegistrarState", "Depth", "Registration", 0, 0, 0, 0},
    {"ImageInputFormat", "Image", "InputFormat", 7, 7, 9, 9},
    {"ImageState", "Image", "State", 0, 0, 0, 0},
    {"ImageCompression", "Image", "Compression", 1, 0, 0, 1},
    {"ImageCompression", "Image", "Compression", 2, 3, 3, 2},
    {"ImageCompression", "Image", "Compression", 3, 4, 4, 3},
    {"ImageCompression", "Image", "Compression", 4, 5, 5, 4},
    {"ImageCompression", "Image", "Compression", 4, 5, 2, 2},
    {"AudioEnabled", "Audio", "State", 7, 7, 9, 9},
    {"AudioLeftChannelVolume", "Audio", "LeftChannelVolume", 7, 7, 9, 9},
    {"AudioRightChannelVolume", "Audio", "RightChannelVolume", 7, 7, 9, 9},
    {"AudioSampleRate", "Audio", "SampleRate", 44100, 44100, 48000, 48000},
    {"AudioReadChunkSize", "Audio", "ReadChunkSize", 7, 7, 9, 9},
    {"AudioReadMode", "Audio", "ReadChunkSize", 0, 0, 0, 0},
    {"AudioReadMode", "Audio", "ReadChunkSize", 1, 2120, 100, 1},
    {"AudioCompression", "Audio", "Compression", 1, 0, 0, 1},
    {"AudioCompression", "Audio", "Compression", 1, 0, 3, 3},
    {"FrameDelay", "Device", "FrameDelay", 7, 7, 9, 9},
    {"ReadLogInterval", "Device", "FirmwareLogInterval", 7, 7, 9, 9},
    {"PrintLog", "Device", "FirmwareLogPrint", 7, 7, 9, 9}};

// Every named property, on a device written or not, with an audio stream or not.
Script Named(bool written, bool audio) {
  Script script = LegacyTest::Modules();
  for (const auto& [name, module, property, legacy, current, stored, back] : kNamed) {
    script.IntProperty(module, property, 0);
  }
  if (audio) {
    script.SupportedType("Audio");
  }
  return script.IntProperty("Device", "ReadWriteMode", written ? 1 : 0);
}

// With its module missing, a name reads 0 for a stream (compression: 1, off) and fails for the device.
TEST_F(LegacyTest, EveryNameNamesItsPropertyConvertsBothWaysRefusesAndGuards) {
  Create(Named(true, true));
  for (const auto& [name, module, property, legacy, current, stored, back] : kNamed) {
    SCOPED_TRACE(std::string(name) + " " + std::to_string(legacy));
    ClearJournal();
    EXPECT_EQ(device->SetIOParam(name, legacy), KR_STATUS_OK);
    EXPECT_EQ(Target("KrDeviceProxySetIntProperty"), PathOf(module, property));
    EXPECT_EQ(Current(module, property), current);
    ASSERT_EQ(device->SetProperty(module, property, stored), KR_STATUS_OK);
    ExpectRead(name, KR_STATUS_OK, back);
    EXPECT_EQ(Target("KrDeviceProxyGetIntProperty"), PathOf(module, property));
    device->hidden = {module};
    const bool deviceRule = std::strcmp(module, "Device") == 0;
    const int off = std::strstr(name, "Compression") != nullptr ? 1 : 0;
    ExpectRead(name, deviceRule ? KR_STATUS_TL_MODULE_NOT_FOUND : KR_STATUS_OK, deviceRule ? 77 : off);
    device->hidden.clear();
  }
  ExpectRead("AudioReadSync", KR_STATUS_OK, 0);
  int value = 77;
  for (const char* unknown : {"audioreadsync", "Mirror", ""}) {
    EXPECT_EQ(device->GetIOParam(unknown, value), kUnknown) << unknown;
    EXPECT_EQ(device->SetIOParam(unknown, 1), kUnknown) << unknown;
  }
  EXPECT_EQ(device->GetIOParam(static_cast<const char*>(nullptr), value), kUnknown);
  // Refused values and guards touch nothing.
  Create(Named(true, true));
  const std::tuple<const char*, int, KrStatus> rows[] = {{"ImageCompression", 5, KR_STATUS_QM_BAD_PARAMETER},
                                                         {"DepthCompression", 3, KR_STATUS_QM_BAD_PARAMETER},
                                                         {"AudioCompression", 2, KR_STATUS_QM_BAD_PARAMETER},
                                                         {"AudioReadMode", 2, KR_STATUS_QM_BAD_PARAMETER},
                                                         {"AudioReadSync", 1, KR_STATUS_OS_ERROR},
                                                         {"AudioReadSync", 0, KR_STATUS_OK}};
  for (const auto& [name, value, status] : rows) {
    EXPECT_EQ(device->SetIOParam(name, value), status) << name;
    EXPECT_EQ(device->GetLastStatus(), status);
  }
  EXPECT_EQ(CountJournalCalls("KrDeviceProxySetIntProperty"), 0u);
  // Compression needs a written device.
  Create(Named(false, true));
  for (const char* name : {"DepthCompression", "ImageCompression", "AudioCompression"}) {
    ExpectRead(name, KR_STATUS_QM_BAD_PARAMETER, 77);
    EXPECT_EQ(device->SetIOParam(name, 1), KR_STATUS_QM_BAD_PARAMETER) << name;
  }
  EXPECT_TRUE(GetJournal().empty());
  // Audio names read only with an audio stream; they write without one.
  Create(Named(true, false));
  for (const auto& [name, module, property, legacy, current, stored, back] : kNamed) {
    if (std::strcmp(module, "Audio") == 0 && std::strstr(name, "Compression") == nullptr) {
      ExpectRead(name, kUnknown, 77);
    }
  }
  ExpectRead("AudioReadSync", kUnknown, 77);
  EXPECT_EQ(device->GetIOParam("AudioCompression", value), KR_STATUS_OK);
  EXPECT_EQ(device->SetIOParam("AudioEnabled", 0), KR_STATUS_OK);
  FailCall("KrDeviceProxyGetSupportedStreams", kInjected);
  EXPECT_EQ(device->GetIOParam("AudioEnabled", value), kInjected);
  // Compression 0 removes the stream; the image state is the stream type.
  Create(Script()
             .IntProperty("Device", "ReadWriteMode", 1)
             .Stream("Depth", "Depth")
             .Stream("IR", "Image")
             .StreamProperty("Image", "State", ScriptValue::Int(1)));
  ASSERT_NE(device->GetDepthMap(), nullptr);
  EXPECT_EQ(device->SetIOParam("DepthCompression", 0), KR_STATUS_OK);
  EXPECT_EQ(device->GetDepthMap(), nullptr);
  ExpectRead("DepthCompression", KR_STATUS_OK, 1);
  ExpectRead("ImageState", KR_STATUS_OK, 3);
  ASSERT_EQ(device->SetProperty("Image", "State", uint64_t{0}), KR_STATUS_OK);
  ExpectRead("ImageState", KR_STATUS_OK, 0);
  Create(Script()
             .IntProperty("Device", "ReadWriteMode", 1)
             .Stream("Image", "Image")
             .StreamProperty("Image", "State", ScriptValue::Int(1)));
  ExpectRead("ImageState", KR_STATUS_OK, 1);
}

// {number, module, property, bytes read, bytes written} (0: not that way); flash records are the kit's types.
const std::tuple<uint32_t, const char*, const char*, uint32_t, uint32_t> kBuffers[] = {
    {3, "Device", "ImageControl", 4, 4},
    {9, "Device", "DepthControl", 4, 4},
    {16, "Device", "AHB", 12, 12},
    {17, "Device", "FirmwareParam", 4, 4},
    {18, "Device", "Version", 33, 0},
    {19, "Device", "FlashFile", sizeof(FlashFileRecord), sizeof(FlashFileRecord)},
    {20, "Device", "FileList", sizeof(FileListHeader), 0},
    {21, "Device", "FileAttributes", 0, 4},
    {33, "Image", "Cropping", 0, 12},
    {34, "Device", "I2C", 0, 26},
    {35, "Device", "I2C", 48, 0},
    {36, "Device", "FlashChunk", sizeof(FlashChunkRecord), 0},
    {41, "Device", "TecStatus", 22, 0},
    {43, "Device", "EmitterStatus", 24, 0},
    {45, "Device", "ProjectorFault", 0, 8},
    {46, "Device", "CmosBlankingUnits", 8, 8},
    {47, "Device", "CmosBlankingTime", 10, 10},
    {48, "Depth", "AGCBin", 6, 6}};

TEST_F(LegacyTest, EveryBufferNumberNamesItsPropertyAndMovesItsSizeInItsDirectionsAndSpecialReads) {
  static constexpr BistRecord kBist = {kBistSelectorNesaUnlimited, 0x20003};
  Script script = Modules();
  for (const auto& [id, module, property, readSize, writeSize] : kBuffers) {
    script.Property(module, property, ScriptValue::General(nullptr, 0));
  }
  Create(script.IntProperty("Image", "RequiredDataSize", 5)
             .Property("Image", "LastRawFrame", ScriptValue::General("frame", 5))
             .Property("Device", "BIST", ScriptValue::General(&kBist, sizeof(kBist))));
  for (const auto& [id, module, property, readSize, writeSize] : kBuffers) {
    SCOPED_TRACE(id);
    const std::string path = PathOf(module, property);
    std::vector<uint8_t> buffer(64, 0xEE);
    const std::vector<uint8_t> value = FrameBytes(static_cast<uint8_t>(id), 64);
    // The kit answers only a read of the value's own size.
    ASSERT_EQ(ChangeProperty(kit, module, property, ScriptValue::General(value.data(), readSize)), KR_STATUS_OK);
    ClearJournal();
    EXPECT_EQ(device->GetIOParam(id, static_cast<void*>(buffer.data())), readSize != 0 ? KR_STATUS_OK : kUnknown);
    EXPECT_EQ(Target("KrDeviceProxyGetGeneralProperty"), readSize != 0 ? path : "");
    EXPECT_TRUE(std::equal(buffer.begin(), buffer.begin() + readSize, value.begin()));
    EXPECT_EQ(buffer[readSize], 0xEE);
    EXPECT_EQ(device->SetIOParam(id, static_cast<const void*>(value.data() + 1)),
              writeSize != 0 ? KR_STATUS_OK : kUnknown);
    EXPECT_EQ(Target("KrDeviceProxySetGeneralProperty"), writeSize != 0 ? path : "");
    if (writeSize != 0) {
      std::vector<uint8_t> stored(writeSize);
      EXPECT_EQ(device->GetProperty(module, property, KrGeneralBuffer{stored.data(), writeSize}), KR_STATUS_OK);
      EXPECT_TRUE(std::equal(stored.begin(), stored.end(), value.begin() + 1));
    }
  }
  // The caller's record, the image frame of the size the kit states, and the self-test result.
  const std::vector<uint8_t> version = FrameBytes(1, 33);
  ASSERT_EQ(ChangeProperty(kit, "Device", "Version", ScriptValue::General(version.data(), 33)), KR_STATUS_OK);
  std::vector<uint8_t> bytes(33);
  KrGeneralBuffer record{bytes.data(), 33};
  EXPECT_EQ(device->GetIOParam(24, static_cast<void*>(&record)), KR_STATUS_OK);
  EXPECT_EQ(bytes, version);
  char frame[8] = {};
  EXPECT_EQ(device->GetIOParam(32, static_cast<void*>(frame)), KR_STATUS_OK);
  EXPECT_STREQ(frame, "frame");
  int bist = 77;
  EXPECT_EQ(device->GetIOParam(37, static_cast<void*>(&bist)), KR_STATUS_OK);
  EXPECT_EQ(bist, 0x20003);
  // Integer-only numbers and a null buffer.
  EXPECT_EQ(device->GetIOParam(2, static_cast<void*>(&bist)), kUnknown);
  EXPECT_EQ(device->GetIOParam(37, static_cast<void*>(nullptr)), KR_STATUS_OS_NULL_POINTER);
  EXPECT_EQ(device->GetIOParam(27, static_cast<void*>(nullptr)), KR_STATUS_OS_NULL_POINTER);
  // Numbers read in a way of their own refuse a write.
  for (const uint32_t id : {24u, 27u, 28u, 32u, 37u}) {
    EXPECT_EQ(device->SetIOParam(id, static_cast<const void*>(frame)), kUnknown) << id;
  }
}

TEST_F(LegacyTest, FlagOneIsTheDeviceMirror) {
  Create(Script().IntProperty("Device", "Mirror", 5));
  // {operation, mirror after it}; flag 0 is refused without the kit.
  const std::pair<KrStatus (KrVDevice::*)(int), uint64_t> steps[] = {
      {&KrVDevice::FlipFlag, 0}, {&KrVDevice::FlipFlag, 1}, {&KrVDevice::DisableFlag, 0}, {&KrVDevice::EnableFlag, 1}};
  for (const auto& [operation, mirror] : steps) {
    ClearJournal();
    EXPECT_EQ(((*device).*operation)(0), KR_STATUS_TL_BAD_STREAM_FLAGS);
    EXPECT_EQ(device->GetLastStatus(), KR_STATUS_TL_BAD_STREAM_FLAGS);
    EXPECT_TRUE(GetJournal().empty());
    EXPECT_EQ(((*device).*operation)(1), KR_STATUS_OK);
    EXPECT_EQ(Current("Device", "Mirror"), mirror);
  }
  ASSERT_EQ(device->SetProperty("Device", "Mirror", Tagged(1)), KR_STATUS_OK);
  uint32_t value = 77;
  EXPECT_EQ(device->GetFlag(1, value), KR_STATUS_OK);
  EXPECT_EQ(value, 0x20001u);
  FailCall("KrDeviceProxyGetIntProperty", kInjected);
  value = 77;
  EXPECT_EQ(device->GetFlag(1, value), kInjected);
  EXPECT_EQ(device->FlipFlag(1), kInjected);
  EXPECT_EQ(value, 77u);
  EXPECT_EQ(device->GetFlag(2, value), KR_STATUS_TL_BAD_STREAM_FLAGS);
}

class DepthTables : public LegacyTest {
 public:
  const uint16_t s2d[4] = {0, 900, 600, 450};
  const uint16_t d2s[5] = {0, 1, 2, 3, 3};
  void SetUp() override {
    LegacyTest::SetUp();
    Create(Tables());
  }
  Script Tables() const {
    return Modules()
        .IntProperty("Depth", "MaxShift", 3)
        .IntProperty("Depth", "DeviceMaxDepth", 4)
        .Property("Depth", "S2D", ScriptValue::General(s2d, sizeof(s2d)))
        .Property("Depth", "D2S", ScriptValue::General(d2s, sizeof(d2s)));
  }
  const uint16_t* Table(uint32_t id) {
    void* table = nullptr;
    EXPECT_EQ(device->GetIOParam(id, static_cast<void*>(&table)), KR_STATUS_OK);
    return static_cast<const uint16_t*>(table);
  }
  void Change(const char* property, const void* value, uint32_t size) {
    ASSERT_EQ(ChangeProperty(kit, "Depth", property, ScriptValue::General(value, size)), KR_STATUS_OK);
  }
};

// A "MaxShift" past 16 bits gives 65536 zeros, not a wrapped size; a failure at any call leaves no table.
TEST_F(DepthTables, AreBuiltWholeOnceFollowS2DGoWithTheKitDeviceAndFailuresLeaveNone) {
  ASSERT_EQ(device->SetProperty("Depth", "MaxShift", uint64_t{0x1FFFFFFFF}), KR_STATUS_OK);
  const uint16_t* zeros = Table(27);
  ASSERT_NE(zeros, nullptr);
  EXPECT_EQ(std::count(zeros, zeros + 65536, 0), 65536);
  EXPECT_EQ(std::memcmp(Table(28), d2s, sizeof(d2s)), 0);
  bool completed = false;
  for (uint64_t n = 1; !completed; ++n) {
    SCOPED_TRACE(n);
    ASSERT_LT(n, 20u);
    Create(Tables());
    ClearFailures();
    FailNthCall(n);
    void* table = nullptr;
    const KrStatus status = device->GetIOParam(27, static_cast<void*>(&table));
    completed = GetInjectedFailureCount() == 0;
    EXPECT_EQ(status == KR_STATUS_OK, table != nullptr);
    ClearFailures();
    EXPECT_NE(Table(28), nullptr);
  }
  // On a fresh device the tables are built once, follow "S2D" and go with the kit device.
  Create(Tables());
  const uint16_t* shiftToDepth = Table(27);
  ASSERT_NE(shiftToDepth, nullptr);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(shiftToDepth) % 16, 0u);
  EXPECT_EQ(std::memcmp(shiftToDepth, s2d, sizeof(s2d)), 0);
  ClearJournal();
  const uint16_t* depthToShift = Table(28);
  EXPECT_EQ(std::memcmp(depthToShift, d2s, sizeof(d2s)), 0);
  EXPECT_EQ(Table(27), shiftToDepth);
  EXPECT_TRUE(GetJournal().empty());
  // A change of "S2D" refills both tables in place.
  const uint16_t s2dNew[4] = {0, 800, 500, 400};
  const uint16_t d2sNew[5] = {0, 3, 3, 2, 1};
  Change("D2S", d2sNew, sizeof(d2sNew));
  EXPECT_EQ(std::memcmp(depthToShift, d2s, sizeof(d2s)), 0);
  Change("S2D", s2dNew, sizeof(s2dNew));
  EXPECT_EQ(std::memcmp(shiftToDepth, s2dNew, sizeof(s2dNew)), 0);
  EXPECT_EQ(std::memcmp(depthToShift, d2sNew, sizeof(d2sNew)), 0);
  EXPECT_EQ(device->GetLastStatus(), KR_STATUS_OK);
  // The sizes are read afresh at each change; entries past them read zero.
  ASSERT_EQ(ChangeProperty(kit, "Depth", "MaxShift", ScriptValue::Int(1)), KR_STATUS_OK);
  ASSERT_EQ(ChangeProperty(kit, "Depth", "DeviceMaxDepth", ScriptValue::Int(1)), KR_STATUS_OK);
  Change("D2S", d2s, 4);
  Change("S2D", s2d, 4);
  EXPECT_EQ(std::vector<uint16_t>(shiftToDepth, shiftToDepth + 3), (std::vector<uint16_t>{0, 900, 0}));
  EXPECT_EQ(std::vector<uint16_t>(depthToShift, depthToShift + 3), (std::vector<uint16_t>{0, 1, 0}));
  // Closing cancels the registration before the kit device goes; a new device gets tables of its own.
  ClearJournal();
  ASSERT_EQ(device->Close(), KR_STATUS_OK);
  const std::vector<JournalEntry> journal = GetJournal();
  ASSERT_FALSE(journal.empty());
  EXPECT_EQ(journal[0].call, "KrDeviceProxyUnregisterFromPropertyChange");
  EXPECT_EQ(Target("KrDeviceProxyUnregisterFromPropertyChange"), "Depth/S2D");
  EXPECT_EQ(CountJournalCalls("KrDeviceProxyDestroy"), 1u);
  std::string connection = "scripted:camera";
  ASSERT_EQ(device->CreateByConnectionString(&connection[0], KR_DEVICE_MODE_READ, nullptr, 0), KR_STATUS_OK);
  ClearJournal();
  EXPECT_EQ(std::memcmp(Table(27), s2d, sizeof(s2d)), 0);
  EXPECT_EQ(CountJournalCalls("KrDeviceProxyGetIntProperty", "MaxShift"), 1u);
}

}  // namespace
}  // namespace legacy_test
