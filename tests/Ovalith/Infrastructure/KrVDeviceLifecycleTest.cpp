// Creating, opening, reading, closing and destroying a device. (Every
// failing step is covered by the fault sweep.)
#include "DeviceTestSupport.h"

#include <algorithm>

namespace device_test {
namespace {

// The engine's status texts, start, shutdown and enumeration.
TEST(EngineStatus, EngineStatusesAreRegisteredInOrder) {
  // The engine group's first and last entries and one between: the
  // registration covers the whole range in order.
  EXPECT_STREQ(krGetStatusName(0x31388), "KR_ERROR_GROUP_HALCYTE_OK");
  EXPECT_STREQ(krGetStatusString(0x31388), "KR_ERROR_GROUP_HALCYTE OK");
  EXPECT_STREQ(krGetStatusName(0x31392), "KR_STATUS_QM_BAD_PARAMETER");
  EXPECT_STREQ(krGetStatusString(0x31392), "Bad parameter!");
  EXPECT_STREQ(krGetStatusString(0x31394), "Matrix must be symmetric for this operation");
  EXPECT_NE(std::string(krGetStatusString(0x31395)).find("Unknown status"), std::string::npos);
}

TEST(EngineLifecycle, InitShutdownAndEnumerate) {
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
  return DeviceTest::CameraScript()
      .Stream("Depth", "Depth")
      .Stream("Image", "Image")
      .Stream("IR", "IR")
      .Stream("Audio", "Audio")
      .Stream("Custom", "Extra");
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
  // Removing the first frees the field for the next depth stream, not for
  // the second.
  ASSERT_EQ(device.RemoveStream("Depth"), KR_STATUS_OK);
  EXPECT_EQ(device.GetDepthMap(), nullptr);
  ASSERT_EQ(device.AddStream("Depth", "Late", nullptr), KR_STATUS_OK);
  EXPECT_STREQ(device.GetDepthMap()->GetStream()->GetName(), "Late");
}

TEST_F(DeviceLifecycle, FrameObjectsAreDeferredUnlessADeviceSaidReadWriteModeOne) {
  KrVDevice device;
  ASSERT_EQ(CreateScripted(device, CameraWithStreams()), KR_STATUS_OK);
  ASSERT_EQ(ChangeProperty(KitHandleOf(device), "Depth", "XRes", ScriptValue::Int(8)), KR_STATUS_OK);
  EXPECT_EQ(device.GetDepthMap()->GetXRes(), 4);  // until the next read
  ASSERT_EQ(device.OpenAllStreams(), KR_STATUS_OK);
  ASSERT_EQ(device.Read(), KR_STATUS_OK);
  EXPECT_EQ(device.GetDepthMap()->GetXRes(), 8);
  // At once; the write mode stays for later creations on the same object.
  Script writing = CameraWithStreams();
  writing.IntProperty("Device", "ReadWriteMode", 1);
  ASSERT_EQ(CreateScripted(device, writing, KR_DEVICE_MODE_WRITE, "writing"), KR_STATUS_OK);
  ASSERT_EQ(ChangeProperty(KitHandleOf(device), "Depth", "XRes", ScriptValue::Int(8)), KR_STATUS_OK);
  EXPECT_EQ(device.GetDepthMap()->GetXRes(), 8);
  ASSERT_EQ(CreateScripted(device, CameraWithStreams()), KR_STATUS_OK);
  ASSERT_EQ(ChangeProperty(KitHandleOf(device), "Depth", "XRes", ScriptValue::Int(8)), KR_STATUS_OK);
  EXPECT_EQ(device.GetDepthMap()->GetXRes(), 8);
}

TEST_F(DeviceLifecycle, OnlyTheFirstHundredStreamsAreMirroredAtCreation) {
  Script crowded = CameraScript();
  for (int i = 0; i < 120; ++i) {
    crowded.Stream("Custom", "S" + std::to_string(i));
  }
  KrVDevice device;
  ASSERT_EQ(CreateScripted(device, crowded), KR_STATUS_OK);
  KrVStreamData* data = nullptr;
  EXPECT_EQ(device.GetStreamData("S99", data), KR_STATUS_OK);
  EXPECT_EQ(device.GetStreamData("S100", data), KR_STATUS_OS_NOT_FOUND);
  ASSERT_EQ(RaiseStreamCollectionChanged(KitHandleOf(device), "S110", KR_STREAM_ADDED), KR_STATUS_OK);
  EXPECT_EQ(device.GetStreamData("S110", data), KR_STATUS_OK);
}

TEST_F(DeviceLifecycle, CloseReleasesWithoutCallingTheKitForGoneRegistrations) {
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
}

TEST_F(DeviceLifecycle, ADestroyedDeviceOrAShutDownKitLeavesNothingBehind) {
  KrDeviceHandle kitDevice = nullptr;
  {
    KrVDevice device;
    ASSERT_EQ(CreateScripted(device, CameraWithStreams()), KR_STATUS_OK);
    kitDevice = KitHandleOf(device);
    FailCall("KrDeviceProxyDestroy");  // let go even when the kit refuses
  }
  ClearFailures();
  EXPECT_EQ(RaiseStreamCollectionChanged(kitDevice, "Late", KR_STREAM_ADDED), KR_STATUS_OK);  // heard by none
  EXPECT_EQ(KrDeviceProxyDestroy(&kitDevice), KR_STATUS_OK);
  KrVDevice device;
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
  EXPECT_EQ(IntOf(created, "Device", "Mirror"), 0u);  // created, not configured
  ASSERT_EQ(created.ConfigureFromINI(ini.c_str(), "Camera"), KR_STATUS_OK);
  EXPECT_EQ(IntOf(created, "Device", "Mirror"), 1u);
  Journal();
  ASSERT_EQ(opened.OpenDeviceFromINI(ini.c_str(), "Camera", nullptr), KR_STATUS_OK);
  ExpectOpened(1, {});
  EXPECT_EQ(IntOf(opened, "Device", "Mirror"), 1u);
  EXPECT_EQ(opened.CreateFromINI(ini.c_str(), "Missing", nullptr), KR_STATUS_OS_INI_SECTION_NOT_FOUND);
}

// End to end on the unpaced simulated sensor: streams mirrored on the
// kit's events, frames read through the frame objects.
TEST_F(DeviceLifecycle, SensorFramesReachTheFrameObjectsOfTheStreamsRead) {
  KrVDevice device;
  ASSERT_EQ(device.CreateSensor("*:0", nullptr, KR_DEVICE_SHARING_EXCLUSIVE), KR_STATUS_OK);
  KrVPropertySet values;
  ASSERT_EQ(values.AddProperty("Depth", "Resolution", uint64_t{0}), KR_STATUS_OK);
  ASSERT_EQ(device.AddStream("Depth", "Depth", &values), KR_STATUS_OK);
  for (const char* type : {"Image", "Audio", "IR"}) {
    ASSERT_EQ(device.AddStream(type, type, nullptr), KR_STATUS_OK) << type;
  }
  ASSERT_EQ(device.RemoveStream("IR"), KR_STATUS_OK);
  EXPECT_EQ(device.GetIRMap(), nullptr);
  ASSERT_EQ(device.OpenAllStreams(), KR_STATUS_OK);
  EventLog timestamps;
  void* cookie = nullptr;
  ASSERT_EQ(device.RegisterForPropertyChangedEvent("Depth", "Timestamp", &timestamps, cookie), KR_STATUS_OK);
  const KrVDepthMap& depth = *device.GetDepthMap();
  for (unsigned int read = 1; read <= 11; ++read) {
    const unsigned long long lastTimestamp = depth.GetTimestamp();
    ASSERT_EQ(device.Read(), KR_STATUS_OK);
    // Unpaced, every read brings the next depth frame.
    EXPECT_EQ(depth.GetFrameID(), read);
    EXPECT_TRUE(read == 1 || depth.GetTimestamp() > lastTimestamp);
    EXPECT_EQ(depth.GetDataSize(), 320u * 240u * 2u);
  }
  const unsigned int imageId = device.GetImageMap()->GetFrameID();
  EXPECT_GT(imageId, 1u);
  EXPECT_GT(device.GetAudioBuffer()->GetFrameID(), 1u);
  ASSERT_EQ(device.Read("Depth"), KR_STATUS_OK);
  EXPECT_EQ(depth.GetFrameID(), 12u);
  EXPECT_EQ(device.GetImageMap()->GetFrameID(), imageId);  // only the stream asked for
  EXPECT_EQ(timestamps.events, std::vector<std::string>(12, "Depth/Timestamp"));
  EXPECT_EQ(device.UnregisterFromPropertyChangedEvent("Depth", "Timestamp", cookie), KR_STATUS_OK);
  ASSERT_EQ(device.Close(), KR_STATUS_OK);
  ASSERT_EQ(device.CreateSensor("*:1", nullptr, KR_DEVICE_SHARING_EXCLUSIVE), KR_STATUS_OK);
  EXPECT_EQ(device.GetDepthMap(), nullptr);
}

}  // namespace
}  // namespace device_test
