// Devices on the scripted kit and the simulated sensor: lifecycle, properties, events, streams read and written.
#include "DeviceTestSupport.h"

namespace device_test {
namespace {

// The engine group's statuses: its first and last entries and one between, in order.
TEST(Engine, StatusesInitShutdownAndEnumerate) {
  EXPECT_STREQ(krGetStatusName(0x31388), "KR_ERROR_GROUP_HALCYTE_OK");
  EXPECT_STREQ(krGetStatusString(0x31388), "KR_ERROR_GROUP_HALCYTE OK");
  EXPECT_STREQ(krGetStatusName(0x31392), "KR_STATUS_QM_BAD_PARAMETER");
  EXPECT_STREQ(krGetStatusString(0x31392), "Bad parameter!");
  EXPECT_STREQ(krGetStatusString(0x31394), "Matrix must be symmetric for this operation");
  EXPECT_NE(std::string(krGetStatusString(0x31395)).find("Unknown status"), std::string::npos);
  EXPECT_NE(KrVDevice::EngineInit("/nonexistent/dir/Tollan.ini"), KR_STATUS_OK);
  ASSERT_EQ(KrVDevice::EngineInit(nullptr, "."), KR_STATUS_OK);
  EXPECT_EQ(KrVDevice::EngineInit("anything", "."), KR_STATUS_OK);  // a second init succeeds
  EXPECT_EQ(TollanInit("."), KR_STATUS_TL_ALREADY_INITIALIZED);
  // Enumerating on a never created device leaves its last status.
  KrVDevice device;
  char sensors[4][200];
  uint32_t count = 4;
  EXPECT_EQ(device.Enumerate(sensors, &count), KR_STATUS_OK);
  ASSERT_GE(count, 1u);
  EXPECT_STREQ(sensors[0], "*:0");
  uint32_t onlyCount = 0;
  EXPECT_EQ(device.Enumerate(nullptr, &onlyCount), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  EXPECT_EQ(onlyCount, count);
  EXPECT_EQ(device.GetLastStatus(), KR_STATUS_OK);
  // Shutdown passes the kit's status through.
  EXPECT_EQ(KrVDevice::EngineShutdown(), KR_STATUS_OK);
  EXPECT_EQ(KrVDevice::EngineShutdown(), KR_STATUS_TL_NOT_INITIALIZED);
}

using DeviceLifecycle = DeviceTest;

Script CameraWithStreams() {
  Script script = DeviceTest::CameraScript();
  for (const char* type : {"Depth", "Image", "IR", "Audio"}) {
    script.Stream(type, type);
  }
  return script.Stream("Custom", "Extra");
}

TEST_F(DeviceLifecycle, CreationMirrorsEveryStreamWithAFrameObjectOfItsType) {
  KrVDevice device;
  EXPECT_EQ(device.GetDepthMap(), nullptr);
  EXPECT_EQ(device.Read("Depth"), KR_STATUS_OS_NOT_FOUND);
  EXPECT_EQ(device.Close(), KR_STATUS_OK);  // never created
  EXPECT_EQ(device.GetLastStatus(), KR_STATUS_OK);
  ASSERT_EQ(CreateScripted(device, CameraWithStreams().Stream("Depth", "Far")), KR_STATUS_OK);
  const std::pair<const char*, const KrVStreamData*> rows[] = {{"Depth", device.GetDepthMap()},
                                                               {"Image", device.GetImageMap()},
                                                               {"IR", device.GetIRMap()},
                                                               {"Audio", device.GetAudioBuffer()}};
  for (const auto& row : rows) {
    KrVStreamData* data = nullptr;
    ASSERT_EQ(device.GetStreamData(row.first, data), KR_STATUS_OK);
    ASSERT_EQ(data, row.second) << row.first;
    EXPECT_STREQ(data->GetStream()->GetName(), row.first);
  }
  // Other types, and a second stream of a type, get plain frame objects.
  for (const char* plain : {"Extra", "Far"}) {
    KrVStreamData* data = nullptr;
    ASSERT_EQ(device.GetStreamData(plain, data), KR_STATUS_OK);
    EXPECT_EQ(dynamic_cast<KrVPixelStreamData*>(data), nullptr) << plain;
    EXPECT_EQ(dynamic_cast<KrVAudioBuffer*>(data), nullptr) << plain;
  }
  // Removing the first frees the field for the next depth stream, not for the second.
  ASSERT_EQ(device.RemoveStream("Depth"), KR_STATUS_OK);
  EXPECT_EQ(device.GetDepthMap(), nullptr);
  ASSERT_EQ(device.AddStream("Depth", "Late", nullptr), KR_STATUS_OK);
  EXPECT_STREQ(device.GetDepthMap()->GetStream()->GetName(), "Late");
}

TEST_F(DeviceLifecycle, FrameObjectsAreDeferredUnlessADeviceSaidReadWriteModeOne) {
  KrVDevice device;
  // {"ReadWriteMode" said, columns before a read}: once said, it stays for later creations on the same object.
  const std::pair<bool, int> rows[] = {{false, 4}, {true, 8}, {false, 8}};
  for (const auto& [writeMode, xRes] : rows) {
    SCOPED_TRACE(writeMode);
    Script script = CameraWithStreams();
    ASSERT_EQ(CreateScripted(device, writeMode ? script.IntProperty("Device", "ReadWriteMode", 1) : script),
              KR_STATUS_OK);
    ASSERT_EQ(ChangeProperty(KitHandleOf(device), "Depth", "XRes", ScriptValue::Int(8)), KR_STATUS_OK);
    EXPECT_EQ(device.GetDepthMap()->GetXRes(), xRes);
    ASSERT_EQ(device.OpenAllStreams(), KR_STATUS_OK);
    ASSERT_EQ(device.Read(), KR_STATUS_OK);
    EXPECT_EQ(device.GetDepthMap()->GetXRes(), 8);
  }
}

TEST_F(DeviceLifecycle, CloseDestroyAndShutdownReleaseWithoutCallingTheKitForGoneRegistrations) {
  KrVDevice device;
  ASSERT_EQ(CreateScripted(device, CameraWithStreams()), KR_STATUS_OK);
  const KrDeviceHandle first = KitHandleOf(device);
  Journal();
  // A second creation closes the device held before.
  ASSERT_EQ(CreateScripted(device, CameraWithStreams(), KR_DEVICE_MODE_READ, "second"), KR_STATUS_OK);
  const std::vector<JournalEntry> journal = GetJournal();
  auto position = [&](const char* call) {
    return std::find_if(journal.begin(), journal.end(), [&](const JournalEntry& entry) { return entry.call == call; });
  };
  ASSERT_NE(position("KrDeviceProxyDestroy"), journal.end());
  EXPECT_EQ(position("KrDeviceProxyDestroy")->device, first);
  EXPECT_LT(position("KrDeviceProxyDestroy"), position("KrDeviceProxyCreate"));
  // Frame objects released after the kit device do not call the kit.
  EXPECT_EQ(CountJournalCalls("KrDeviceProxyUnregisterFromPropertyChange"), 0u);
  ASSERT_EQ(device.Close(), KR_STATUS_OK);
  ClearJournal();
  EXPECT_EQ(device.Close(), KR_STATUS_OK);
  EXPECT_TRUE(GetJournal().empty());
  // A destroyed device lets go of its kit device even when the kit refuses.
  KrDeviceHandle kitDevice = nullptr;
  {
    KrVDevice destroyed;
    ASSERT_EQ(CreateScripted(destroyed, CameraWithStreams()), KR_STATUS_OK);
    kitDevice = KitHandleOf(destroyed);
    FailCall("KrDeviceProxyDestroy");
  }
  ClearFailures();
  EXPECT_EQ(RaiseStreamCollectionChanged(kitDevice, "Late", KR_STREAM_ADDED), KR_STATUS_OK);  // heard by none
  EXPECT_EQ(KrDeviceProxyDestroy(&kitDevice), KR_STATUS_OK);
  // A shut down kit leaves nothing behind.
  ASSERT_EQ(CreateScripted(device, CameraWithStreams()), KR_STATUS_OK);
  ASSERT_EQ(KrVDevice::EngineShutdown(), KR_STATUS_OK);
  EXPECT_EQ(device.Close(), KR_STATUS_OK);
  ASSERT_EQ(KrVDevice::EngineInit(nullptr, directory_.c_str()), KR_STATUS_OK);
  EXPECT_EQ(CreateScripted(device, CameraWithStreams()), KR_STATUS_OK);
}

TEST_F(DeviceLifecycle, IniSectionsCreateConfigureAndOpen) {
  ASSERT_EQ(DefineScript("ini", CameraWithStreams()), KR_STATUS_OK);
  const std::string ini = Write("devices.ini", "[Camera]\nKind=Scripted\nConnection=ini\nDevice.Mirror=1\n");
  KrVDevice created, opened;
  ASSERT_EQ(created.CreateFromINI(ini.c_str(), "Camera", nullptr), KR_STATUS_OK);
  EXPECT_EQ(ValueOf(created, "Device", "Mirror"), 0u);  // created, not configured
  ASSERT_EQ(created.ConfigureFromINI(ini.c_str(), "Camera"), KR_STATUS_OK);
  EXPECT_EQ(ValueOf(created, "Device", "Mirror"), 1u);
  Journal();
  ASSERT_EQ(opened.OpenDeviceFromINI(ini.c_str(), "Camera", nullptr), KR_STATUS_OK);
  ExpectOpened(1, {});
  EXPECT_EQ(ValueOf(opened, "Device", "Mirror"), 1u);
  EXPECT_EQ(opened.CreateFromINI(ini.c_str(), "Missing", nullptr), KR_STATUS_OS_INI_SECTION_NOT_FOUND);
}

// End to end on the unpaced simulated sensor: every read brings the next frame of each stream read.
TEST_F(DeviceLifecycle, SensorFramesReachTheFrameObjectsOfTheStreamsRead) {
  KrVDevice device;
  OpenSensor(device, {"Depth", "Image"});
  EventLog timestamps;
  void* cookie = nullptr;
  ASSERT_EQ(device.RegisterForPropertyChangedEvent("Depth", "Timestamp", &timestamps, cookie), KR_STATUS_OK);
  const KrVDepthMap& depth = *device.GetDepthMap();
  ASSERT_EQ(device.Read(), KR_STATUS_OK);
  ASSERT_EQ(device.Read(), KR_STATUS_OK);
  EXPECT_EQ(device.GetImageMap()->GetFrameID(), 2u);
  ASSERT_EQ(device.Read("Depth"), KR_STATUS_OK);
  EXPECT_EQ(depth.GetFrameID(), 3u);
  EXPECT_EQ(depth.GetDataSize(), 320u * 240u * 2u);
  EXPECT_EQ(device.GetImageMap()->GetFrameID(), 2u);  // only the stream asked for
  EXPECT_EQ(timestamps.events, std::vector<std::string>(3, "Depth/Timestamp"));
  EXPECT_EQ(device.UnregisterFromPropertyChangedEvent("Depth", "Timestamp", cookie), KR_STATUS_OK);
  ASSERT_EQ(device.Close(), KR_STATUS_OK);
  ASSERT_EQ(device.CreateSensor("*:1", nullptr, KR_DEVICE_SHARING_EXCLUSIVE), KR_STATUS_OK);
  EXPECT_EQ(device.GetDepthMap(), nullptr);
}

class DeviceStreams : public DeviceTest {
 public:
  void Create(const Script& script, KrDeviceMode mode = KR_DEVICE_MODE_READ, int compatibility = 0) {
    device.reset(new KrVDevice(compatibility));
    ASSERT_EQ(CreateScripted(*device, script, mode), KR_STATUS_OK);
    ASSERT_EQ(device->OpenAllStreams(), KR_STATUS_OK);
    kit = KitHandleOf(*device);
    Journal();
  }
  void* Buffer(const char* stream) {
    void* address = nullptr;
    EXPECT_EQ(device->GetProperty(stream, "Buffer", KrGeneralBuffer{&address, sizeof(void*)}), KR_STATUS_OK);
    return address;
  }
  std::vector<ScriptFrame> Written() {
    std::vector<ScriptFrame> frames;
    EXPECT_EQ(GetWrittenFrames(kit, &frames), KR_STATUS_OK);
    return frames;
  }
  std::unique_ptr<KrVDevice> device;
  KrDeviceHandle kit = nullptr;
};

TEST_F(DeviceStreams, AStreamReportedTwiceReplacesTheOldOneAndReleasesItOnce) {
  Create(CameraScript().Stream("Depth", "Depth").Frame("Depth", FrameBytes(3), 10, 1));
  ASSERT_EQ(RaiseStreamCollectionChanged(kit, "Depth", KR_STREAM_ADDED), KR_STATUS_OK);
  EXPECT_EQ(CountJournalCalls("KrDeviceProxyDestroyStreamData"), 1u);
  ASSERT_EQ(device->Read(), KR_STATUS_OK);
  EXPECT_EQ(device->GetDepthMap()->GetFrameID(), 1u);
  EXPECT_EQ(std::memcmp(device->GetDepthMap()->Data(), FrameBytes(3).data(), kFrameBytes), 0);
  // The old record cannot leave the set: the old stream stays whole.
  const KrVDepthMap* before = device->GetDepthMap();
  FailCall("KrStreamDataSetRemove", KR_STATUS_TL_INJECTED_FAILURE, 0, 1);
  ASSERT_EQ(RaiseStreamCollectionChanged(kit, "Depth", KR_STREAM_ADDED), KR_STATUS_OK);
  EXPECT_EQ(device->GetDepthMap(), before);
  ClearFailures();
  // Removal events: an unknown name changes nothing, a second one neither.
  ClearJournal();
  for (const char* removed : {"Nothing", "Depth", "Depth"}) {
    ASSERT_EQ(RaiseStreamCollectionChanged(kit, removed, KR_STREAM_REMOVED), KR_STATUS_OK);
  }
  EXPECT_EQ(CountJournalCalls("KrDeviceProxyDestroyStreamData"), 1u);
  EXPECT_EQ(device->GetDepthMap(), nullptr);
  // A binding failure takes the new stream out again.
  Create(CameraScript());
  FailCall("KrDeviceProxyDoesModuleExist", KR_STATUS_TL_INJECTED_FAILURE, 0, 1);
  ASSERT_EQ(device->AddStream("Depth", "Depth", nullptr), KR_STATUS_OK);  // the kit made it
  ClearFailures();
  EXPECT_EQ(device->GetDepthMap(), nullptr);
  EXPECT_EQ(CountJournalCalls("KrDeviceProxyDestroyStreamData"), 1u);
  ASSERT_EQ(RaiseStreamCollectionChanged(kit, "Depth", KR_STREAM_ADDED), KR_STATUS_OK);
  EXPECT_NE(device->GetDepthMap(), nullptr);
}

TEST_F(DeviceStreams, CompatibilityModeCopiesNewFramesIntoAPrivateBuffer) {
  // Not new, then larger than the private buffer.
  Create(CameraScript()
             .Stream("Depth", "Depth")
             .Frame("Depth", FrameBytes(1), 10, 1)
             .Frame("Depth", FrameBytes(2), 20, 2, false)
             .Frame("Depth", FrameBytes(9, 2 * kFrameBytes), 30, 3),
         KR_DEVICE_MODE_READ, 1);
  void* privateBuffer = Buffer("Depth");
  EXPECT_EQ(reinterpret_cast<uintptr_t>(privateBuffer) % 16, 0u);
  for (int read = 0; read < 2; ++read) {
    ASSERT_EQ(device->Read(), KR_STATUS_OK);
    EXPECT_EQ(Buffer("Depth"), privateBuffer);
    EXPECT_EQ(std::memcmp(privateBuffer, FrameBytes(1).data(), kFrameBytes), 0);
    EXPECT_EQ(ValueOf(*device, "Depth", "IsNew"), read == 0 ? 1u : 0u);
  }
  ASSERT_EQ(device->Read(), KR_STATUS_OK);
  EXPECT_EQ(ValueOf(*device, "Depth", "BufferSize"), 2 * kFrameBytes);
  EXPECT_EQ(std::memcmp(Buffer("Depth"), FrameBytes(9, 2 * kFrameBytes).data(), 2 * kFrameBytes), 0);
  EXPECT_EQ(static_cast<const void*>(device->GetDepthMap()->Data()), Buffer("Depth"));
  // A stream named as the older interface names them, without a size, follows the kit's buffer.
  Script script = CameraScript();
  script.typeProperties.clear();
  script.Stream("Custom", "Audio").StreamProperty("Audio", "RequiredDataSize", ScriptValue::Int(0));
  Create(script.Frame("Audio", FrameBytes(4), 10, 1), KR_DEVICE_MODE_READ, 1);
  ASSERT_EQ(device->Read(), KR_STATUS_OK);
  KrVStreamData* audio = nullptr;
  ASSERT_EQ(device->GetStreamData("Audio", audio), KR_STATUS_OK);
  EXPECT_EQ(audio->Data(), Buffer("Audio"));
  EXPECT_EQ(std::memcmp(Buffer("Audio"), FrameBytes(4).data(), kFrameBytes), 0);
}

// Copied or (compatibility mode) privately buffered frames go out at the common write; a missing stream fails a copy.
TEST_F(DeviceStreams, WritesSendTheNewFramesWithTheirProperties) {
  KrVDevice source;
  Script script = CameraScript().Stream("Custom", "Image").Stream("Custom", "B").Frame("Image", FrameBytes(60), 123, 1);
  ASSERT_EQ(CreateScripted(source, script.Frame("B", FrameBytes(50), 222, 1, false), KR_DEVICE_MODE_READ, "source"),
            KR_STATUS_OK);
  ASSERT_EQ(source.OpenAllStreams(), KR_STATUS_OK);
  ASSERT_EQ(source.Read(), KR_STATUS_OK);
  KrVStream from;
  ASSERT_EQ(source.GetStream("Image", from), KR_STATUS_OK);
  Create(CameraScript().Stream("Custom", "Image").Stream("Custom", "B"), KR_DEVICE_MODE_WRITE);
  ASSERT_EQ(device->CopyFrom(source), KR_STATUS_OK);
  ASSERT_EQ(device->SetProperty("Image", "FrameId", uint64_t{5}), KR_STATUS_OK);
  ASSERT_EQ(device->Write(), KR_STATUS_OK);
  ASSERT_EQ(Written().size(), 1u);  // B's frame was not new
  EXPECT_EQ(Written()[0].stream, "Image");
  EXPECT_EQ(Written()[0].data, FrameBytes(60));
  EXPECT_EQ(Written()[0].timestamp, 123u);
  EXPECT_EQ(Written()[0].frameId, 5u);
  KrVStream own;
  ASSERT_EQ(device->GetStream("Image", own), KR_STATUS_OK);
  EXPECT_EQ(device->Write(own), KR_STATUS_OK);
  EXPECT_EQ(Written().size(), 2u);
  EXPECT_EQ(device->Write("Nothing"), KR_STATUS_OS_NOT_FOUND);
  EXPECT_EQ(device->GetLastStatus(), KR_STATUS_OS_NOT_FOUND);
  Create(CameraScript().Stream("Custom", "Image"), KR_DEVICE_MODE_WRITE, 1);
  ASSERT_EQ(device->Write(from), KR_STATUS_OK);
  EXPECT_TRUE(Written().empty());
  ASSERT_EQ(device->Write(), KR_STATUS_OK);
  ASSERT_EQ(Written().size(), 1u);
  EXPECT_EQ(Written()[0].data, FrameBytes(60));
  EXPECT_EQ(Written()[0].timestamp, 123u);
  // More than the private buffer holds is refused, nothing written.
  ASSERT_EQ(device->SetProperty("Image", "BufferSize", uint64_t{kFrameBytes + 1}), KR_STATUS_OK);
  EXPECT_EQ(device->Write(), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  EXPECT_EQ(Written().size(), 1u);
  Create(CameraScript().Stream("Custom", "Image").Stream("Custom", "Z"), KR_DEVICE_MODE_WRITE);
  EXPECT_EQ(device->CopyFrom(source), KR_STATUS_OS_ERROR);
  EXPECT_EQ(device->GetLastStatus(), KR_STATUS_OS_ERROR);
}

TEST_F(DeviceStreams, FindingAndAskingAboutStreams) {
  Script script = CameraScript().Stream("Image", "Zeta").Stream("Image", "Alpha").Stream("Depth", "Depth");
  for (int i = 0; i < 120; ++i) {
    script.SupportedType("T" + std::to_string(i)).Stream("Custom", "S" + std::to_string(i));
  }
  Create(script);
  // Only the first 100 streams are mirrored at creation; later ones when the kit adds them.
  KrVStreamData* data = nullptr;
  EXPECT_EQ(device->GetStreamData("S96", data), KR_STATUS_OK);
  EXPECT_EQ(device->GetStreamData("S97", data), KR_STATUS_OS_NOT_FOUND);
  ASSERT_EQ(RaiseStreamCollectionChanged(kit, "S110", KR_STREAM_ADDED), KR_STATUS_OK);
  EXPECT_EQ(device->GetStreamData("S110", data), KR_STATUS_OK);
  KrVStream stream;
  ASSERT_EQ(device->FindStreamOfType("Image", stream), KR_STATUS_OK);
  EXPECT_STREQ(stream.GetName(), "Zeta");
  EXPECT_EQ(device->FindStreamOfType("Audio", stream), KR_STATUS_OS_NOT_FOUND);
  EXPECT_FALSE(stream.IsAttached());
  FailCall("KrDeviceProxyGetStringProperty", KR_STATUS_TL_INJECTED_FAILURE, 0, 1);
  EXPECT_EQ(device->FindStreamOfType("Depth", stream), KR_STATUS_TL_INJECTED_FAILURE);
  // Only the first 100 supported types count (five of the camera's, then T0...).
  const std::pair<const char*, int> rows[] = {{"IR", 1}, {"T94", 1}, {"T95", 0}, {"ir", 0}};
  for (const auto& row : rows) {
    int supported = 7;
    EXPECT_EQ(device->IsStreamSupported(row.first, &supported), KR_STATUS_OK);
    EXPECT_EQ(supported, row.second) << row.first;
  }
}

Script OneDepthFrame() {
  return DeviceTest::CameraScript().Stream("Depth", "Depth").Frame("Depth", DeviceTest::FrameBytes(1), 1000, 7);
}

// Frame fields come from the last read and stay in the stream's module; the rest, and its statuses, are the kit's.
TEST_F(DeviceStreams, FrameFieldsComeFromTheLastReadEvenAFailedOneAndTheRestFromTheKit) {
  Create(OneDepthFrame().Frame("Depth", FrameBytes(2), 20, 2, false));
  EventLog log;
  void* cookie = nullptr;
  ASSERT_EQ(device->RegisterForPropertyChangedEvent("Depth", "IsNew", &log, cookie), KR_STATUS_OK);
  ASSERT_EQ(device->Read(), KR_STATUS_OK);
  const std::pair<const char*, uint64_t> rows[] = {
      {"FrameId", 7}, {"Timestamp", 1000}, {"IsNew", 1}, {"BufferSize", kFrameBytes}, {"XRes", 4}};
  for (const auto& row : rows) {
    EXPECT_EQ(ValueOf(*device, "Depth", row.first), row.second) << row.first;
  }
  // A read of a frame that is not new, and a failing one: each publishes the records.
  ASSERT_EQ(device->Read(), KR_STATUS_OK);
  EXPECT_EQ(ValueOf(*device, "Depth", "IsNew"), 0u);
  EXPECT_EQ(device->GetDepthMap()->IsDataNew(), 0);
  FailCall("KrDeviceProxyRead", KR_STATUS_TL_TIMEOUT, 0, 1);
  EXPECT_EQ(device->Read(), KR_STATUS_TL_TIMEOUT);
  EXPECT_EQ(device->GetLastStatus(), KR_STATUS_TL_TIMEOUT);
  EXPECT_EQ(log.events.size(), 3u);
  ClearJournal();
  EXPECT_EQ(device->SetProperty("Depth", "FrameId", uint64_t{5}), KR_STATUS_OK);
  EXPECT_TRUE(GetJournal().empty());
  EXPECT_EQ(ValueOf(*device, "Depth", "FrameId"), 5u);
  EXPECT_EQ(device->SetProperty("Depth", "XRes", uint64_t{8}), KR_STATUS_OK);
  EXPECT_EQ(CountJournalCalls("KrDeviceProxySetIntProperty", "XRes"), 1u);
  EXPECT_EQ(device->SetProperty("Depth", "FrameId", "text"), KR_STATUS_TL_BAD_PROPERTY_TYPE);
  uint64_t value = 0;
  EXPECT_EQ(device->GetProperty("Nowhere", "XRes", value), KR_STATUS_TL_MODULE_NOT_FOUND);
  EXPECT_EQ(device->GetLastStatus(), KR_STATUS_TL_MODULE_NOT_FOUND);
  void* address = nullptr;
  void* moved = &value;
  EXPECT_EQ(device->SetProperty("Depth", "Buffer", KrGeneralBuffer{&moved, sizeof(void*)}), KR_STATUS_OK);
  EXPECT_EQ(device->GetProperty("Depth", "Buffer", KrGeneralBuffer{&address, sizeof(void*)}), KR_STATUS_OK);
  EXPECT_EQ(address, moved);
  EXPECT_DOUBLE_EQ(ValueOf<double>(*device, "Depth", "ZPPS"), 0.1);
  EXPECT_EQ(TextOf(*device, "Depth", "Type"), "Depth");
  // Type and existence questions follow the same rule.
  const std::tuple<const char*, const char*, KrPropertyType> kinds[] = {
      {"Depth", "Buffer", KR_PROPERTY_TYPE_GENERAL},
      {"Depth", "IsNew", KR_PROPERTY_TYPE_INTEGER},
      {"Depth", "ZPPS", KR_PROPERTY_TYPE_REAL},
      {"Device", "PrimaryStream", KR_PROPERTY_TYPE_STRING}};
  for (const auto& [module, property, expected] : kinds) {
    KrPropertyType type = KR_PROPERTY_TYPE_GENERAL;
    int exists = 0;
    EXPECT_EQ(device->GetPropertyType(module, property, type), KR_STATUS_OK);
    EXPECT_EQ(device->DoesPropertyExist(module, property, &exists), KR_STATUS_OK);
    EXPECT_EQ(type, expected) << property;
    EXPECT_EQ(exists, 1) << property;
  }
  int exists = 1;
  EXPECT_EQ(device->DoesPropertyExist("Depth", "Nothing", &exists), KR_STATUS_OK);
  EXPECT_EQ(exists, 0);
}

TEST_F(DeviceStreams, ALegacyDeviceAnswersModulesItselfAndReadsFixedParamsFromDepth) {
  Create(OneDepthFrame());
  KrVDevice legacy(1);
  ASSERT_EQ(CreateScripted(legacy, CameraScript().Stream("Depth", "Depth"), KR_DEVICE_MODE_READ, "legacy"),
            KR_STATUS_OK);
  int exists = 0;
  EXPECT_EQ(legacy.DoesModuleExist("Shifts", &exists), KR_STATUS_OK);
  EXPECT_EQ(exists, 1);
  EXPECT_EQ(device->DoesModuleExist("Shifts", &exists), KR_STATUS_OK);
  EXPECT_EQ(exists, 0);
  EXPECT_EQ(legacy.DoesModuleExist("Color", &exists), KR_STATUS_OK);
  EXPECT_EQ(exists, 0);
  EXPECT_DOUBLE_EQ(ValueOf<double>(legacy, "FixedParams", "ZPPS"), 0.1);
  double zpps = 0;
  EXPECT_EQ(device->GetProperty("FixedParams", "ZPPS", zpps), KR_STATUS_TL_MODULE_NOT_FOUND);
  // The older interface's existence answers are fixed lists.
  const std::pair<const char*, std::vector<const char*>> lists[] = {
      {"Shifts", {"ConstShift", "PixelSizeFactor", "MaxShift", "ParamCoeff", "ShiftScale", "S2D", "D2S"}},
      {"FixedParams", {"ZPD", "ZPPS", "LDDIS"}},
      {"Device", {"PrimaryStream", "FrameDelay", "CmosBlankingUnits", "CmosBlankingTime", "FrameSync"}}};
  for (const auto& list : lists) {
    for (const char* property : list.second) {
      EXPECT_NE(device->IsPropertyExist(list.first, property), 0) << list.first << "/" << property;
    }
  }
  const std::pair<const char*, const char*> absent[] = {
      {"Shifts", "ZPD"}, {"Device", "Mirror"}, {"Depth", "XRes"}, {"fixedparams", "ZPD"}};
  for (const auto& pair : absent) {
    EXPECT_EQ(device->IsPropertyExist(pair.first, pair.second), 0) << pair.first << "/" << pair.second;
  }
  for (const char* module : {"Depth", "Image", "IR", "Audio", "Shifts", "FixedParams", "Device"}) {
    EXPECT_NE(device->IsModuleExist(module), 0) << module;
  }
  EXPECT_EQ(device->IsModuleExist("depth"), 0);
  EXPECT_EQ(device->IsModuleExist(nullptr), 0);
}

TEST_F(DeviceStreams, HandlersHearTheStreamTheKitAndTheStreamCollection) {
  Create(OneDepthFrame());
  EventLog log;
  void* cookies[4] = {};
  ASSERT_EQ(device->RegisterForPropertyChangedEvent("Depth", "FrameId", &log, cookies[0]), KR_STATUS_OK);
  ASSERT_EQ(device->RegisterForPropertyChangedEvent("Depth", "XRes", &log, cookies[1]), KR_STATUS_OK);
  ASSERT_EQ(device->RegisterForNewDataFromStreamEvent(&log, cookies[2]), KR_STATUS_OK);
  ASSERT_EQ(device->RegisterForStreamCollectionChangedEvent(&log, cookies[3]), KR_STATUS_OK);
  LogCapture captured("Infrastructure/KrVDevice");
  ASSERT_EQ(device->Read(), KR_STATUS_OK);
  ASSERT_EQ(ChangeProperty(kit, "Depth", "XRes", ScriptValue::Int(8)), KR_STATUS_OK);
  ASSERT_EQ(RaiseNewData(kit, "Depth"), KR_STATUS_OK);
  ASSERT_EQ(RaiseStreamCollectionChanged(kit, "Other", KR_STREAM_ADDED), KR_STATUS_OK);
  ASSERT_EQ(RaiseStreamCollectionChanged(kit, "Other", KR_STREAM_REMOVED), KR_STATUS_OK);
  ASSERT_EQ(RaiseStreamCollectionChanged(kit, "Other", 2), KR_STATUS_OK);
  EXPECT_EQ(log.events, (std::vector<std::string>{"Depth/FrameId", "Depth/XRes", "new Depth", "+Other", "-Other"}));
  // Type 2 calls no handler: one line for this handler, one for the device's own.
  EXPECT_EQ(captured.lines, std::vector<std::string>(2, "3 Internal error: unknown stream collection event type: 2"));
  EXPECT_EQ(device->UnregisterFromPropertyChangedEvent("Depth", "FrameId", cookies[0]), KR_STATUS_OK);
  EXPECT_EQ(device->UnregisterFromPropertyChangedEvent("Depth", "XRes", cookies[1]), KR_STATUS_OK);
  EXPECT_EQ(device->UnregisterFromNewDataFromStreamEvent(cookies[2]), KR_STATUS_OK);
  EXPECT_EQ(device->UnregisterFromStreamCollectionChangedEvent(cookies[3]), KR_STATUS_OK);
  log.events.clear();
  ASSERT_EQ(device->Read(), KR_STATUS_OK);
  ASSERT_EQ(ChangeProperty(kit, "Depth", "XRes", ScriptValue::Int(4)), KR_STATUS_OK);
  ASSERT_EQ(RaiseNewData(kit, "Depth"), KR_STATUS_OK);
  ASSERT_EQ(RaiseStreamCollectionChanged(kit, "Other", KR_STREAM_ADDED), KR_STATUS_OK);
  EXPECT_TRUE(log.events.empty());
  // Null arguments are refused without recording or the kit.
  ASSERT_EQ(device->Read("Nothing"), KR_STATUS_OS_NOT_FOUND);
  ClearJournal();
  void* cookie = nullptr;
  int exists = 0;
  const KrStatus refused[] = {
      device->RegisterForPropertyChangedEvent("Depth", "FrameId", nullptr, cookie),
      device->RegisterForStreamCollectionChangedEvent(nullptr, cookie),
      device->RegisterForNewDataFromStreamEvent(nullptr, cookie),
      device->UnregisterFromPropertyChangedEvent("Depth", "FrameId", nullptr),
      device->UnregisterFromPropertyChangedEvent(nullptr, "FrameId", &exists),
      device->DoesModuleExist("Depth", nullptr),
      device->DoesPropertyExist("Depth", "IsNew", nullptr),
      device->Write(static_cast<const char*>(nullptr)),
  };
  EXPECT_EQ(std::vector<KrStatus>(std::begin(refused), std::end(refused)),
            std::vector<KrStatus>(std::size(refused), KR_STATUS_OS_NULL_POINTER));
  EXPECT_EQ(device->GetLastStatus(), KR_STATUS_OS_NOT_FOUND);
  EXPECT_TRUE(GetJournal().empty());
}

}  // namespace
}  // namespace device_test
