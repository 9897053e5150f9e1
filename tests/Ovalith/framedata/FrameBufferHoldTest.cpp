// A frame buffer held for a view outlives what would otherwise free it: the
// stream moving to a larger buffer, and the device closing.
#include <Ovalith/Ovalith.h>

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "Ovalith/Infrastructure/DeviceTestSupport.h"

namespace {

class FrameBufferHoldTest : public device_test::DeviceTest {
 protected:
  // Opens the simulated sensor's depth stream at "Resolution" resolution.
  void OpenDepth(KrVDevice& device, uint64_t resolution) {
    KrVPropertySet initial;
    initial.AddProperty("Depth", "Resolution", resolution);
    ASSERT_EQ(device.CreateSensor("*:0", nullptr, KR_DEVICE_SHARING_EXCLUSIVE), KR_STATUS_OK);
    ASSERT_EQ(device.AddStream("Depth", "Depth", &initial), KR_STATUS_OK);
    ASSERT_EQ(device.OpenAllStreams(), KR_STATUS_OK);
  }
};

TEST_F(FrameBufferHoldTest, HeldFrameKeepsItsBytesWhenTheStreamGrowsAndTheDeviceCloses) {
  KrVDevice device;
  OpenDepth(device, 0);
  ASSERT_EQ(device.Read(), KR_STATUS_OK);
  KrVDepthMap* map = device.GetDepthMap();
  ASSERT_NE(map, nullptr);
  const uint16_t* held = map->Data();
  const std::vector<uint16_t> frame(held, held + size_t{map->GetXRes()} * map->GetYRes());
  KrBufferHold hold = nullptr;
  ASSERT_EQ(device.HoldFrameBuffer("Depth", &hold), KR_STATUS_OK);

  // A larger resolution moves the stream to a larger buffer.
  ASSERT_EQ(device.CloseStream("Depth"), KR_STATUS_OK);
  ASSERT_EQ(device.SetProperty("Depth", "Resolution", uint64_t{1}), KR_STATUS_OK);
  ASSERT_EQ(device.OpenStream("Depth"), KR_STATUS_OK);
  ASSERT_EQ(device.Read(), KR_STATUS_OK);
  ASSERT_GT(size_t{map->GetXRes()} * map->GetYRes(), frame.size());
  ASSERT_NE(static_cast<const void*>(map->Data()), static_cast<const void*>(held));
  EXPECT_EQ(std::memcmp(held, frame.data(), frame.size() * sizeof(uint16_t)), 0);

  ASSERT_EQ(device.Close(), KR_STATUS_OK);
  EXPECT_EQ(std::memcmp(held, frame.data(), frame.size() * sizeof(uint16_t)), 0);
  EXPECT_EQ(KrStreamDataReleaseBuffer(&hold), KR_STATUS_OK);
  EXPECT_EQ(hold, nullptr);
  EXPECT_EQ(KrStreamDataReleaseBuffer(&hold), KR_STATUS_OK);
}

TEST_F(FrameBufferHoldTest, HoldIsRefusedWhereNoKitBufferIsBehindTheFrame) {
  KrBufferHold hold = nullptr;
  KrVDevice device;
  OpenDepth(device, 0);
  EXPECT_EQ(device.HoldFrameBuffer("Image", &hold), KR_STATUS_OS_NOT_FOUND);
  EXPECT_EQ(device.HoldFrameBuffer(nullptr, &hold), KR_STATUS_OS_NULL_POINTER);
  EXPECT_EQ(device.HoldFrameBuffer("Depth", nullptr), KR_STATUS_OS_NULL_POINTER);

  KrVDevice compatible(1);
  OpenDepth(compatible, 0);
  EXPECT_EQ(compatible.HoldFrameBuffer("Depth", &hold), KR_STATUS_TL_NOT_SUPPORTED);
  EXPECT_EQ(hold, nullptr);
}

}  // namespace
