// End to end on the unpaced simulated sensor: streams mirrored on the kit's
// events, frames read through the frame objects.
#include "DeviceTestSupport.h"

namespace device_test {
namespace {

class SensorDevice : public DeviceTest {
 public:
  void SetUp() override {
    DeviceTest::SetUp();
    ASSERT_EQ(device.CreateSensor("*:0", nullptr, KR_DEVICE_SHARING_EXCLUSIVE), KR_STATUS_OK);
  }
  void* BufferOf(const char* stream) {
    void* address = nullptr;
    EXPECT_EQ(device.GetProperty(stream, "Buffer", KrGeneralBuffer{&address, sizeof(void*)}), KR_STATUS_OK);
    return address;
  }

  KrVDevice device;
};

TEST_F(SensorDevice, ReadsThirtyFramesOfDepthImageAndAudio) {
  for (const char* type : {"Depth", "Image", "Audio"}) {
    ASSERT_EQ(device.AddStream(type, type, nullptr), KR_STATUS_OK) << type;
  }
  ASSERT_EQ(device.OpenAllStreams(), KR_STATUS_OK);
  ASSERT_NE(device.GetDepthMap(), nullptr);
  ASSERT_NE(device.GetImageMap(), nullptr);
  ASSERT_NE(device.GetAudioBuffer(), nullptr);
  EXPECT_EQ(device.GetIRMap(), nullptr);
  EventLog timestamps;
  void* cookie = nullptr;
  ASSERT_EQ(device.RegisterForPropertyChangedEvent("Depth", "Timestamp", &timestamps, cookie), KR_STATUS_OK);

  const KrVDepthMap& depth = *device.GetDepthMap();
  unsigned int imageId = 0, audioId = 0;
  for (unsigned int read = 1; read <= 30; ++read) {
    SCOPED_TRACE(read);
    const unsigned long long lastTimestamp = depth.GetTimestamp();
    ASSERT_EQ(device.Read(), KR_STATUS_OK);
    // Unpaced, every read brings the next depth frame.
    EXPECT_EQ(depth.GetFrameID(), read);
    EXPECT_TRUE(read == 1 || depth.GetTimestamp() > lastTimestamp);
    EXPECT_EQ(depth.GetXRes(), 640);
    EXPECT_EQ(depth.GetDataSize(), 640u * 480u * 2u);
    EXPECT_EQ(static_cast<const void*>(depth.Data()), BufferOf("Depth"));
    EXPECT_EQ(static_cast<const void*>(device.GetImageMap()->Data()), BufferOf("Image"));
    EXPECT_GE(device.GetImageMap()->GetFrameID(), imageId);
    EXPECT_GE(device.GetAudioBuffer()->GetFrameID(), audioId);
    imageId = device.GetImageMap()->GetFrameID();
    audioId = device.GetAudioBuffer()->GetFrameID();
  }
  EXPECT_GT(imageId, 1u);
  EXPECT_GT(audioId, 1u);
  EXPECT_EQ(timestamps.events, std::vector<std::string>(30, "Depth/Timestamp"));
  EXPECT_EQ(device.UnregisterFromPropertyChangedEvent("Depth", "Timestamp", cookie), KR_STATUS_OK);
}

TEST_F(SensorDevice, StreamsFollowTheKitAndTheirSettings) {
  KrVPropertySet values;
  ASSERT_EQ(values.AddProperty("Depth", "Resolution", uint64_t{0}), KR_STATUS_OK);
  ASSERT_EQ(device.AddStream("Depth", "Depth", &values), KR_STATUS_OK);
  ASSERT_EQ(device.AddStream("IR", "IR", nullptr), KR_STATUS_OK);
  ASSERT_EQ(device.OpenAllStreams(), KR_STATUS_OK);
  ASSERT_EQ(device.Read("Depth"), KR_STATUS_OK);
  EXPECT_EQ(device.GetDepthMap()->GetXRes(), 320);
  EXPECT_EQ(device.GetDepthMap()->GetFrameID(), 1u);
  EXPECT_EQ(device.GetIRMap()->GetFrameID(), 0u);  // only the stream asked for
  EXPECT_EQ(device.GetImageMap(), nullptr);

  ASSERT_EQ(device.RemoveStream("IR"), KR_STATUS_OK);
  EXPECT_EQ(device.GetIRMap(), nullptr);
  ASSERT_EQ(device.Close(), KR_STATUS_OK);
  ASSERT_EQ(device.CreateSensor("*:1", nullptr, KR_DEVICE_SHARING_EXCLUSIVE), KR_STATUS_OK);
  EXPECT_EQ(device.GetDepthMap(), nullptr);
}

}  // namespace
}  // namespace device_test
