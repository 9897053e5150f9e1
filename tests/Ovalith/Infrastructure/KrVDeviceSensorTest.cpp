// End to end on the unpaced simulated sensor: streams mirrored on the kit's
// events, frames read through the frame objects.
#include "DeviceTestSupport.h"

namespace device_test {
namespace {

TEST_F(DeviceTest, SensorFramesReachTheFrameObjectsOfTheStreamsRead) {
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
  ASSERT_EQ(device.Read("Depth"), KR_STATUS_OK);
  EXPECT_EQ(device.GetImageMap()->GetFrameID(), 0u);  // only the stream asked for

  const KrVDepthMap& depth = *device.GetDepthMap();
  for (unsigned int read = 2; read <= 12; ++read) {
    const unsigned long long lastTimestamp = depth.GetTimestamp();
    ASSERT_EQ(device.Read(), KR_STATUS_OK);
    // Unpaced, every read brings the next depth frame.
    EXPECT_EQ(depth.GetFrameID(), read);
    EXPECT_GT(depth.GetTimestamp(), lastTimestamp);
    EXPECT_EQ(depth.GetDataSize(), 320u * 240u * 2u);
  }
  EXPECT_GT(device.GetImageMap()->GetFrameID(), 1u);
  EXPECT_GT(device.GetAudioBuffer()->GetFrameID(), 1u);
  EXPECT_EQ(timestamps.events, std::vector<std::string>(12, "Depth/Timestamp"));
  EXPECT_EQ(device.UnregisterFromPropertyChangedEvent("Depth", "Timestamp", cookie), KR_STATUS_OK);
  ASSERT_EQ(device.Close(), KR_STATUS_OK);
  ASSERT_EQ(device.CreateSensor("*:1", nullptr, KR_DEVICE_SHARING_EXCLUSIVE), KR_STATUS_OK);
  EXPECT_EQ(device.GetDepthMap(), nullptr);
}

}  // namespace
}  // namespace device_test
