// The "SensorV2" device kind through the kit's calls (SensorDeviceThreadsTest.* is meant for ThreadSanitizer).
#include "Tollan/KitTestSupport.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace tollan_test {
namespace {

constexpr const char* kUnpaced = "[Tollan]\nPaced=0\n";

class SensorDeviceTest : public ::testing::Test {
 protected:
  void TearDown() override {
    for (KrStreamData*& record : records_) KrDeviceProxyDestroyStreamData(&record);
    if (set_ != nullptr) KrStreamDataSetDestroy(&set_);
    TollanShutdown();
  }
  void StartKit(const std::string& ini) {
    scratch_.Write("Tollan.ini", ini);
    ASSERT_EQ(TollanInit(scratch_.Path().c_str()), KR_STATUS_OK);
    ASSERT_EQ(KrStreamDataSetCreate(&set_), KR_STATUS_OK);
  }
  KrStatus Create(const char* connection, KrDeviceHandle* device, KrPropertySetHandle initial = nullptr) {
    KrDeviceConfig config{KR_DEVICE_MODE_READ, connection, initial, KR_DEVICE_SHARING_EXCLUSIVE};
    return KrDeviceProxyCreateDeviceByName("SensorV2", device, &config);
  }
  // A sensor with the given streams (name = type), opened, a record of each in records_ and set_.
  KrDeviceHandle OpenSensor(std::vector<const char*> types, const char* connection = "*:0") {
    KrDeviceHandle device = nullptr;
    EXPECT_EQ(Create(connection, &device), KR_STATUS_OK);
    for (const char* type : types) {
      EXPECT_EQ(KrDeviceProxyCreateStream(device, type, type, nullptr), KR_STATUS_OK) << type;
      KrStreamData* record = nullptr;
      EXPECT_EQ(KrDeviceProxyCreateStreamData(device, type, &record), KR_STATUS_OK);
      EXPECT_EQ(KrStreamDataSetAdd(set_, record), KR_STATUS_OK);
      records_.push_back(record);
    }
    EXPECT_EQ(KrDeviceProxyOpenAllStreams(device), KR_STATUS_OK);
    return device;
  }
  static std::vector<uint8_t> Bytes(const KrStreamData* record) {
    const auto* data = static_cast<const uint8_t*>(record->pData);
    return std::vector<uint8_t>(data, data + record->nDataSize);
  }
  ScratchDirectory scratch_;
  KrStreamDataSetHandle set_ = nullptr;
  std::vector<KrStreamData*> records_;
};

void RecordChange(KrDeviceHandle, const char*, const char* property, void* cookie) {
  static_cast<std::vector<std::string>*>(cookie)->push_back(property);
}

TEST_F(SensorDeviceTest, UnpacedReadsGetConsecutiveFramesFollowTheShiftTablesUntilAReset) {
  StartKit(kUnpaced);
  KrDeviceHandle device = OpenSensor({"Depth", "Image"});
  for (uint32_t id = 1; id <= 5; ++id) {
    ASSERT_EQ(KrDeviceProxyRead(device, set_), KR_STATUS_OK);
    for (const KrStreamData* record : records_) {
      EXPECT_EQ(record->bIsNew, 1);
      EXPECT_EQ(record->nFrameID, id);
      EXPECT_EQ(record->nTimestamp, (id - 1) * 1000000ull / 30);
      EXPECT_EQ(record->nDataSize, IntOf(device, record->strStreamName, "RequiredDataSize"));
    }
  }
  // Ids start again after the stream reopens.
  ASSERT_EQ(KrDeviceProxyCloseStream(device, "Depth"), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxyReadStream(device, records_[0]), KR_STATUS_TL_STREAM_NOT_OPEN);
  ASSERT_EQ(KrDeviceProxyOpenStream(device, "Depth"), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyReadStream(device, records_[0]), KR_STATUS_OK);
  EXPECT_EQ(records_[0]->nFrameID, 1u);
  // Shift parameter changes raise S2D and D2S (on the calling thread), not XRes.
  std::vector<std::string> changes;
  for (const char* property : {"S2D", "D2S", "XRes"}) {
    KrCallbackHandle handle = nullptr;
    ASSERT_EQ(KrDeviceProxyRegisterToPropertyChange(device, "Depth", property, &RecordChange, &changes, &handle),
              KR_STATUS_OK);
  }
  std::vector<uint16_t> before(2048), after(2048);
  const KrGeneralBuffer first{before.data(), 4096}, second{after.data(), 4096};
  ASSERT_EQ(KrDeviceProxyGetGeneralProperty(device, "Depth", "S2D", &first), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxySetRealProperty(device, "Depth", "ZPPS", 0.11), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxySetIntProperty(device, "Depth", "HoleFilter", 0), KR_STATUS_OK);  // not a shift parameter
  std::sort(changes.begin(), changes.end());
  EXPECT_EQ(changes, (std::vector<std::string>{"D2S", "S2D"}));
  ASSERT_EQ(KrDeviceProxyGetGeneralProperty(device, "Depth", "S2D", &second), KR_STATUS_OK);
  EXPECT_NE(before, after);
  // Depth frames follow the new table from the next frame (the one made ahead may still come first).
  ASSERT_EQ(KrDeviceProxyReadStream(device, records_[0]), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyReadStream(device, records_[0]), KR_STATUS_OK);
  std::vector<bool> reportable(65536, false);
  for (uint16_t z : after) reportable[z] = true;
  const auto* depth = static_cast<const uint16_t*>(records_[0]->pData);
  size_t foreign = 0;
  for (size_t i = 0; i < records_[0]->nDataSize / 2; ++i) foreign += (depth[i] > 1 && !reportable[depth[i]]);
  EXPECT_EQ(foreign, 0u);
  // A reset sensor is gone until opened again.
  ASSERT_EQ(KrDeviceProxySetIntProperty(device, "Device", "Reset", 0), KR_STATUS_OK);
  uint64_t value = 0;
  EXPECT_EQ(KrDeviceProxyRead(device, set_), KR_STATUS_TL_DEVICE_DISCONNECTED);
  EXPECT_EQ(KrDeviceProxyGetIntProperty(device, "Depth", "XRes", &value), KR_STATUS_TL_DEVICE_DISCONNECTED);
  EXPECT_EQ(KrDeviceProxySetIntProperty(device, "Device", "Mirror", 1), KR_STATUS_TL_DEVICE_DISCONNECTED);
  ASSERT_EQ(KrDeviceProxyDestroy(&device), KR_STATUS_OK);
  ASSERT_EQ(Create("*:0", &device), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxyGetIntProperty(device, "Device", "Mirror", &value), KR_STATUS_OK);
}

// Sensor 1 takes its section's defaults; sensor 2's bad key refuses it; 0 and 1 give the same frame for an id.
TEST_F(SensorDeviceTest, ConfigurationSetsDefaultsPerSensorAndSettingsNotOfferedAreRefused) {
  StartKit(
      "[Tollan]\nPaced=0\nSensors=5\n[SensorV2.1]\nDepth.Resolution=0\nDevice.Mirror=1\nSerialNumber=SN-42\n"
      "[SensorV2.2]\nDepth.Bogus=3\n[SensorV2.3]\nNoiseSeed=5\n[SensorV2.4]\nNoiseSeed=5\nScene=clean\n");
  KrDeviceHandle refused = nullptr;
  EXPECT_EQ(Create("*:2", &refused), KR_STATUS_TL_CONFIG_FAILED);
  EXPECT_EQ(Create("*:5", &refused), KR_STATUS_TL_DEVICE_NOT_FOUND);
  KrDeviceHandle first = OpenSensor({"Depth"}, "*:0");
  KrDeviceHandle second = OpenSensor({"Depth"}, "*:1");
  KrDeviceHandle reseeded = OpenSensor({"Depth"}, "*:3");
  KrDeviceHandle clean = OpenSensor({"Depth"}, "*:4");
  EXPECT_EQ(IntOf(second, "Depth", "XRes"), 320u);
  EXPECT_EQ(IntOf(second, "Device", "Mirror"), 1u);
  EXPECT_EQ(TextOf(second, "Device", "ID"), "SN-42");
  ASSERT_EQ(KrDeviceProxySetIntProperty(second, "Device", "Mirror", 0), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyCloseAllStreams(second), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxySetIntProperty(second, "Depth", "Resolution", 1), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyOpenAllStreams(second), KR_STATUS_OK);
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(KrDeviceProxyReadStream(first, records_[0]), KR_STATUS_OK);
    ASSERT_EQ(KrDeviceProxyReadStream(second, records_[1]), KR_STATUS_OK);
    ASSERT_EQ(KrDeviceProxyReadStream(reseeded, records_[2]), KR_STATUS_OK);
    ASSERT_EQ(KrDeviceProxyReadStream(clean, records_[3]), KR_STATUS_OK);
  }
  EXPECT_EQ(records_[1]->nFrameID, 3u);
  EXPECT_EQ(Bytes(records_[1]), Bytes(records_[0]));
  EXPECT_NE(Bytes(records_[2]), Bytes(records_[0]));  // another noise seed, other noise
  EXPECT_NE(Bytes(records_[3]), Bytes(records_[2]));  // the same seed without noise
  EXPECT_EQ(KrDeviceProxySetStringProperty(first, "Device", "PrimaryStream", "Elsewhere"),
            KR_STATUS_TL_BAD_PRIMARY_STREAM);
  // Initial values may name rate and size in any order; a set the sensor does not offer refuses the stream.
  PropertySet set;
  KrPropertySetAddIntProperty(set.Get(), "Image", "XRes", 1280);
  KrPropertySetAddIntProperty(set.Get(), "Image", "FPS", 15);
  EXPECT_EQ(KrDeviceProxyCreateStream(first, "Image", "Image", set.Get()), KR_STATUS_OK);
  EXPECT_EQ(IntOf(first, "Image", "RequiredDataSize"), 1280u * 1024 * 3);
  KrPropertySetAddIntProperty(set.Get(), "IR", "XRes", 1280);
  KrPropertySetAddIntProperty(set.Get(), "IR", "FPS", 30);
  EXPECT_EQ(KrDeviceProxyCreateStream(first, "IR", "IR", set.Get()), KR_STATUS_TL_BAD_PROPERTY_VALUE);
}

TEST_F(SensorDeviceTest, OpenStreamsRefuseNewGeometryButTakeOtherChangesAtTheNextFrame) {
  StartKit(kUnpaced);
  KrDeviceHandle device = OpenSensor({"Image"});
  ASSERT_EQ(KrDeviceProxyRead(device, set_), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxySetIntProperty(device, "Image", "Resolution", 0), KR_STATUS_TL_STREAM_IS_OPEN);
  EXPECT_EQ(IntOf(device, "Image", "XRes"), 640u);
  ASSERT_EQ(KrDeviceProxySetIntProperty(device, "Device", "Mirror", 1), KR_STATUS_OK);
  // The frame made before the change may still come; the one after it is mirrored.
  std::vector<uint8_t> mirrored;
  for (int i = 0; i < 3; ++i) {
    ASSERT_EQ(KrDeviceProxyRead(device, set_), KR_STATUS_OK);
    mirrored = Bytes(records_[0]);
  }
  const uint32_t id = records_[0]->nFrameID;
  ASSERT_EQ(KrDeviceProxySetIntProperty(device, "Device", "Mirror", 0), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyCloseStream(device, "Image"), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxySetIntProperty(device, "Image", "Resolution", 0), KR_STATUS_OK);  // closed: accepted
  ASSERT_EQ(KrDeviceProxySetIntProperty(device, "Image", "Resolution", 1), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyOpenStream(device, "Image"), KR_STATUS_OK);
  do {
    ASSERT_EQ(KrDeviceProxyRead(device, set_), KR_STATUS_OK);
  } while (records_[0]->nFrameID < id);
  const std::vector<uint8_t> plain = Bytes(records_[0]);
  ASSERT_EQ(plain.size(), mirrored.size());
  for (size_t u = 0; u < 640; ++u) {  // row 100, pixel by pixel
    ASSERT_EQ(0, std::memcmp(&plain[(100 * 640 + u) * 3], &mirrored[(100 * 640 + 639 - u) * 3], 3));
  }
}

// Paced frames are never early: frame n comes (n - 1) / 60 s after the open at the soonest.
TEST_F(SensorDeviceTest, PacedFramesFollowTheFrameRateAndPrimaryStreamDecidesWhatAReadWaitsFor) {
  StartKit("[Tollan]\nPaced=1\n[SensorV2.0]\nDepth.Resolution=0\nDepth.FPS=60\nImage.Resolution=0\nImage.FPS=15\n");
  const auto beforeOpen = std::chrono::steady_clock::now();
  KrDeviceHandle device = OpenSensor({"Depth", "Image"});
  KrStreamData* depth = records_[0];
  KrStreamData* image = records_[1];
  ASSERT_EQ(KrDeviceProxySetStringProperty(device, "Device", "PrimaryStream", "Depth"), KR_STATUS_OK);
  uint32_t lastId = 0;
  int images = 0;
  for (int i = 0; i < 12; ++i) {
    ASSERT_EQ(KrDeviceProxyRead(device, set_), KR_STATUS_OK);
    ASSERT_EQ(depth->bIsNew, 1);
    ASSERT_GT(depth->nFrameID, lastId);  // a slow reader skips frames, never sees one twice
    lastId = depth->nFrameID;
    EXPECT_EQ(depth->nTimestamp, (lastId - 1) * 1000000ull / 60);
    images += image->bIsNew;
  }
  const auto elapsed = std::chrono::steady_clock::now() - beforeOpen;
  EXPECT_GE(std::chrono::duration_cast<std::chrono::microseconds>(elapsed).count(),
            static_cast<int64_t>(lastId - 1) * 1000000 / 60);
  EXPECT_LT(images, 12);  // images come at a quarter of the rate
  // Reads with this primary stream: how many brought new depth, new image, nothing new.
  auto reads = [&](const char* primary, int count) {
    EXPECT_EQ(KrDeviceProxySetStringProperty(device, "Device", "PrimaryStream", primary), KR_STATUS_OK);
    std::array<int, 3> seen{};
    for (int i = 0; i < count; ++i) {
      EXPECT_EQ(KrDeviceProxyRead(device, set_), KR_STATUS_OK) << primary << " read " << i;
      seen[0] += depth->bIsNew;
      seen[1] += image->bIsNew;
      seen[2] += !depth->bIsNew && !image->bIsNew;
    }
    return seen;
  };
  EXPECT_EQ(reads("Image", 6)[1], 6);
  EXPECT_EQ(reads("Any", 6)[2], 0);
  EXPECT_GT(reads("None", 50)[2], 0);  // returned at once, with nothing new
  ASSERT_EQ(KrDeviceProxySetStringProperty(device, "Device", "PrimaryStream", "Image"), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyCloseStream(device, "Image"), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxyRead(device, set_), KR_STATUS_TL_STREAM_NOT_OPEN);  // never a hang
  ASSERT_EQ(KrDeviceProxyCloseStream(device, "Depth"), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxySetStringProperty(device, "Device", "PrimaryStream", "Any"), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxyRead(device, set_), KR_STATUS_TL_STREAM_NOT_OPEN);
}
struct DataEvents {
  std::atomic<int> calls{0};
  std::atomic<bool> otherThread{true};
  std::thread::id reader;
};

void OnNewData(const KrNewStreamDataEventArgs&, void* cookie) {
  auto* events = static_cast<DataEvents*>(cookie);
  events->calls.fetch_add(1);
  if (std::this_thread::get_id() == events->reader) events->otherThread = false;
}

// Reader, producer and a settings changer at once; a stream is closed and the device destroyed while events run.
using SensorDeviceThreadsTest = SensorDeviceTest;
TEST_F(SensorDeviceThreadsTest, ProducerAndReaderRunTogether) {
  StartKit("[Tollan]\nPaced=0\n[SensorV2.0]\nDepth.Resolution=0\nImage.Resolution=0\n");
  KrDeviceHandle device = OpenSensor({"Depth", "Image", "Audio"});
  DataEvents events;
  events.reader = std::this_thread::get_id();
  KrCallbackHandle handle = nullptr;
  ASSERT_EQ(KrDeviceProxyRegisterToNewStreamData(device, &OnNewData, &events, &handle), KR_STATUS_OK);
  std::atomic<bool> stop{false};
  std::thread changer([&] {
    for (uint64_t n = 0; !stop.load(); ++n) {
      KrDeviceProxySetIntProperty(device, "Device", "Mirror", n & 1);
      KrDeviceProxySetIntProperty(device, "Depth", "ZPD", 110 + n % 20);
    }
  });
  uint32_t lastId = 0;
  for (int i = 0; i < 40; ++i) {
    ASSERT_EQ(KrDeviceProxyRead(device, set_), KR_STATUS_OK);
    ASSERT_GT(records_[0]->nFrameID, lastId);
    lastId = records_[0]->nFrameID;
  }
  std::thread closer([&] { KrDeviceProxyCloseStream(device, "Image"); });
  for (int i = 0; i < 5; ++i) KrDeviceProxyReadStream(device, records_[0]);
  closer.join();
  stop = true;
  changer.join();
  EXPECT_EQ(records_[2]->nDataSize, 1600u * 4);  // one frame period of stereo PCM
  EXPECT_GT(events.calls.load(), 40);
  EXPECT_TRUE(events.otherThread.load());
  for (KrStreamData*& record : records_) KrDeviceProxyDestroyStreamData(&record);
  EXPECT_EQ(KrDeviceProxyDestroy(&device), KR_STATUS_OK);
}

}  // namespace
}  // namespace tollan_test
