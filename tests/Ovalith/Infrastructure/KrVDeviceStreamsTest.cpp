// Device streams on the scripted device: mirroring (kit events, a name
// reported twice, more streams of a type, compatibility mode), reading,
// writing and finding streams.
#include "DeviceTestSupport.h"

#include <cstdint>
#include <cstring>
#include <memory>

namespace device_test {
namespace {

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
}

TEST_F(DeviceStreams, ABindingFailureTakesTheNewStreamOutAgain) {
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
    EXPECT_EQ(IntOf(*device, "Depth", "IsNew"), read == 0 ? 1u : 0u);
  }
  ASSERT_EQ(device->Read(), KR_STATUS_OK);
  EXPECT_EQ(IntOf(*device, "Depth", "BufferSize"), 2 * kFrameBytes);
  EXPECT_EQ(std::memcmp(Buffer("Depth"), FrameBytes(9, 2 * kFrameBytes).data(), 2 * kFrameBytes), 0);
  EXPECT_EQ(static_cast<const void*>(device->GetDepthMap()->Data()), Buffer("Depth"));
  // A stream named as the older interface names them, without a size,
  // follows the kit's buffer.
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

// Writes send the new frames with their properties: frames copied from
// another device, or (compatibility mode) put into the private buffer by a
// stream write and sent by the common write. A stream the source lacks
// fails the copy.
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

TEST_F(DeviceStreams, ReadsPublishTheRecordsEvenWhenTheKitFails) {
  Create(CameraScript()
             .Stream("Depth", "Depth")
             .Frame("Depth", FrameBytes(1), 10, 1)
             .Frame("Depth", FrameBytes(2), 20, 2, false));
  EventLog log;
  void* cookie = nullptr;
  ASSERT_EQ(device->RegisterForPropertyChangedEvent("Depth", "IsNew", &log, cookie), KR_STATUS_OK);
  ASSERT_EQ(device->Read(), KR_STATUS_OK);
  EXPECT_EQ(IntOf(*device, "Depth", "IsNew"), 1u);
  ASSERT_EQ(device->Read(), KR_STATUS_OK);
  EXPECT_EQ(IntOf(*device, "Depth", "IsNew"), 0u);
  EXPECT_EQ(device->GetDepthMap()->IsDataNew(), 0);
  FailCall("KrDeviceProxyRead", KR_STATUS_TL_TIMEOUT, 0, 1);
  EXPECT_EQ(device->Read(), KR_STATUS_TL_TIMEOUT);
  EXPECT_EQ(device->GetLastStatus(), KR_STATUS_TL_TIMEOUT);
  EXPECT_EQ(log.events.size(), 3u);
}

TEST_F(DeviceStreams, FindingAndAskingAboutStreams) {
  Script script = CameraScript().Stream("Image", "Zeta").Stream("Image", "Alpha").Stream("Depth", "Depth");
  for (int i = 0; i < 110; ++i) {
    script.SupportedType("T" + std::to_string(i));
  }
  Create(script);
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

}  // namespace
}  // namespace device_test
