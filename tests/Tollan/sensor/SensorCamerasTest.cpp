// The simulated sensor's two cameras through the kit's calls: their configuration, the properties that describe
// them, and what switching registration raises and changes.
#include "Tollan/KitTestSupport.h"

#include <algorithm>
#include <string>
#include <vector>

namespace tollan_test {
namespace {

void RecordChange(KrDeviceHandle, const char*, const char* property, void* cookie) {
  static_cast<std::vector<std::string>*>(cookie)->push_back(property);
}

class SensorCamerasTest : public ::testing::Test {
 protected:
  void SetUp() override {
    scratch_.Write("Tollan.ini",
                   "[Tollan]\nPaced=0\nSensors=4\nColourFocalLength=480\n[SensorV2.1]\nCameras=one\n"
                   "[SensorV2.2]\nColourYaw=30\n[SensorV2.3]\nCameras=three\n");
    ASSERT_EQ(TollanInit(scratch_.Path().c_str()), KR_STATUS_OK);
  }
  void TearDown() override { TollanShutdown(); }
  static KrStatus Create(const char* connection, KrDeviceHandle* device) {
    KrDeviceConfig config{KR_DEVICE_MODE_READ, connection, nullptr, KR_DEVICE_SHARING_EXCLUSIVE};
    return KrDeviceProxyCreateDeviceByName("SensorV2", device, &config);
  }
  static std::vector<double> Extrinsics(KrDeviceHandle device) {
    std::vector<double> values(12);
    const KrGeneralBuffer buffer{values.data(), 96};
    EXPECT_EQ(KrDeviceProxyGetGeneralProperty(device, "Depth", "ExtrinsicsToImage", &buffer), KR_STATUS_OK);
    return values;
  }
  // The next depth frame's bytes.
  static std::vector<uint8_t> NextDepth(KrDeviceHandle device, KrStreamData* record) {
    EXPECT_EQ(KrDeviceProxyReadStream(device, record), KR_STATUS_OK);
    const auto* data = static_cast<const uint8_t*>(record->pData);
    return std::vector<uint8_t>(data, data + record->nDataSize);
  }
  ScratchDirectory scratch_;
};

TEST_F(SensorCamerasTest, TheRigIsConfiguredRegistrationSwitchesTheViewAndSaysSo) {
  KrDeviceHandle refused = nullptr;
  EXPECT_EQ(Create("*:2", &refused), KR_STATUS_TL_CONFIG_FAILED) << "a turn of 30 degrees is no small rotation";
  EXPECT_EQ(Create("*:3", &refused), KR_STATUS_TL_CONFIG_FAILED);
  for (const char* connection : {"*:0", "*:1"}) {
    SCOPED_TRACE(connection);
    const bool two = std::string(connection) == "*:0";
    KrDeviceHandle device = nullptr;
    ASSERT_EQ(Create(connection, &device), KR_STATUS_OK);
    for (const char* type : {"Depth", "Image"})
      ASSERT_EQ(KrDeviceProxyCreateStream(device, type, type, nullptr), KR_STATUS_OK);
    // The image's camera: the [Tollan] focal length (480 at 640 wide is ZPPS = ZPD / 960), or the depth camera's.
    const double imageFocal = double(IntOf(device, "Image", "ZPD")) / (RealOf(device, "Image", "ZPPS") * 2);
    const double depthFocal = double(IntOf(device, "Depth", "ZPD")) / (RealOf(device, "Depth", "ZPPS") * 2);
    EXPECT_NEAR(imageFocal, two ? 480.0 : depthFocal, 1e-9);
    const std::vector<double> raw = Extrinsics(device);
    EXPECT_NEAR(raw[9], two ? -25.0 : 0.0, 0.01) << "the colour camera 25 mm to the right";
    std::vector<std::string> changes;
    for (const char* property : {"ZPPS", "ExtrinsicsToImage", "S2D"}) {
      KrCallbackHandle handle = nullptr;
      ASSERT_EQ(KrDeviceProxyRegisterToPropertyChange(device, "Depth", property, &RecordChange, &changes, &handle),
                KR_STATUS_OK);
    }
    KrStreamData* record = nullptr;
    ASSERT_EQ(KrDeviceProxyCreateStreamData(device, "Depth", &record), KR_STATUS_OK);
    ASSERT_EQ(KrDeviceProxyOpenAllStreams(device), KR_STATUS_OK);
    const std::vector<uint8_t> unregistered = NextDepth(device, record);
    ASSERT_EQ(KrDeviceProxySetIntProperty(device, "Depth", "Registration", 1), KR_STATUS_OK);
    std::sort(changes.begin(), changes.end());
    // Registered depth is the colour camera's view: its calibration and motion change with it, its tables do not.
    EXPECT_EQ(changes, two ? (std::vector<std::string>{"ExtrinsicsToImage", "ZPPS"}) : std::vector<std::string>{});
    const double registeredFocal = double(IntOf(device, "Depth", "ZPD")) / (RealOf(device, "Depth", "ZPPS") * 2);
    EXPECT_NEAR(registeredFocal, imageFocal, 1e-9);
    EXPECT_NEAR(Extrinsics(device)[9], 0.0, 1e-12);
    // One camera: registration moves nothing. Frames are a function of the id, so frame 3 is compared with
    // frame 3 of the unregistered stream after a reopen.
    NextDepth(device, record);
    const std::vector<uint8_t> registered = NextDepth(device, record);
    ASSERT_EQ(KrDeviceProxySetIntProperty(device, "Depth", "Registration", 0), KR_STATUS_OK);
    ASSERT_EQ(KrDeviceProxyCloseStream(device, "Depth"), KR_STATUS_OK);
    ASSERT_EQ(KrDeviceProxyOpenStream(device, "Depth"), KR_STATUS_OK);
    NextDepth(device, record);
    NextDepth(device, record);
    EXPECT_EQ(NextDepth(device, record) == registered, !two);
    EXPECT_EQ(unregistered.size(), registered.size()) << "frame sizes do not change";
    KrDeviceProxyDestroyStreamData(&record);
    ASSERT_EQ(KrDeviceProxyDestroy(&device), KR_STATUS_OK);
  }
}

}  // namespace
}  // namespace tollan_test
