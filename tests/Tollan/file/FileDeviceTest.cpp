// The "File" device through the kit's C interface: recording, playback, seeking, damaged and truncated files.
#include "Tollan/file/RecordingTestSupport.h"
#include <Orvane/Orvane.h>
#include <Tollan/Tollan.h>
#include <Tollan/src/sensor/SensorModes.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace tollan_test {
namespace {

const char* const kTypes[] = {"Depth", "Image", "IR", "Audio"};
const char* const kNames[] = {"depth", "image", "ir", "audio"};
constexpr uint32_t kFrames = 3;
constexpr uint32_t kSize = 64;

using tollan::recording::testing::LoadBytes;
using tollan::recording::testing::SaveBytes;

std::vector<uint8_t> Bytes(int stream, uint32_t frame) {
  return tollan::recording::testing::FrameBytes(uint32_t(stream), frame, kSize + uint32_t(stream));
}
uint64_t Time(int stream, uint32_t frame) { return frame * 33333u + uint64_t(stream); }

void OnLog(const char* mask, int32_t severity, const char*, int, const char* message, void* cookie) {
  auto* warnings = static_cast<std::vector<std::string>*>(cookie);
  if (std::string(mask) == "Tollan" && severity == KR_LOG_SEVERITY_WARNING) warnings->push_back(message);
}

class FileDeviceTest : public KitTest {
 protected:
  // Records kFrames rounds of four streams (created after OpenAllStreams, as the engine's recorder does) and a change
  // of Gain and depth Mirror after round 1. In round 2 image is closed and audio not new: neither is recorded.
  void SetUp() override {
    KitTest::SetUp();
    PropertySet initial;
    ASSERT_EQ(KrPropertySetAddRealProperty(initial.Get(), "Device", "Gain", 1.0), KR_STATUS_OK);
    KrDeviceConfig config{KR_DEVICE_MODE_WRITE, path_.c_str(), initial.Get(), KR_DEVICE_SHARING_EXCLUSIVE};
    ASSERT_EQ(KrDeviceProxyCreateDeviceByName("File", &device_, &config), KR_STATUS_OK);
    EXPECT_EQ(IntOf(device_, "Device", "ReadWriteMode"), 1u);
    ASSERT_EQ(KrDeviceProxyOpenAllStreams(device_), KR_STATUS_OK);
    ASSERT_EQ(KrStreamDataSetCreate(&set_), KR_STATUS_OK);
    for (int s = 0; s < 4; ++s) {
      PropertySet values;
      KrPropertySetAddIntProperty(values.Get(), kNames[s], "RequiredDataSize", kSize + s);
      KrPropertySetAddIntProperty(values.Get(), kNames[s], "XRes", 100 + s);
      ASSERT_EQ(KrDeviceProxyCreateStream(device_, kTypes[s], kNames[s], values.Get()), KR_STATUS_OK);
      ASSERT_EQ(KrDeviceProxyCreateStreamData(device_, kNames[s], &records_[s]), KR_STATUS_OK);
      KrStreamDataSetAdd(set_, records_[s]);
    }
    for (uint32_t f = 1; f <= kFrames; ++f) {
      for (int s = 0; s < 4; ++s) {
        const std::vector<uint8_t> bytes = Bytes(s, f);
        std::memcpy(records_[s]->pData, bytes.data(), bytes.size());
        records_[s]->nDataSize = uint32_t(bytes.size());
        records_[s]->nTimestamp = Time(s, f);
        records_[s]->nFrameID = f;
        records_[s]->bIsNew = s != 3 || f != 2;
      }
      if (f == 2) {
        ASSERT_EQ(KrDeviceProxyCloseStream(device_, "image"), KR_STATUS_OK);
      }
      ASSERT_EQ(KrDeviceProxyWrite(device_, set_), KR_STATUS_OK);
      if (f == 1) {
        ASSERT_EQ(KrDeviceProxySetRealProperty(device_, "Device", "Gain", 2.5), KR_STATUS_OK);
        ASSERT_EQ(KrDeviceProxySetIntProperty(device_, "depth", "Mirror", 1), KR_STATUS_OK);
      }
      if (f == 2) {
        ASSERT_EQ(KrDeviceProxyOpenStream(device_, "image"), KR_STATUS_OK);
      }
    }
    EXPECT_EQ(KrDeviceProxyRead(device_, set_), KR_STATUS_TL_WRONG_MODE);
    ASSERT_EQ(Release(), KR_STATUS_OK);
  }

  // Opens a recording by path (KrDeviceProxyCreate picks the kind), all streams open, one record each in a set.
  KrStatus Play(const std::string& path) {
    Release();
    KrDeviceConfig config{KR_DEVICE_MODE_READ, path.c_str(), nullptr, KR_DEVICE_SHARING_EXCLUSIVE};
    const KrStatus status = KrDeviceProxyCreate(&device_, &config);
    if (status != KR_STATUS_OK) return status;
    EXPECT_EQ(KrDeviceProxyOpenAllStreams(device_), KR_STATUS_OK);
    EXPECT_EQ(KrStreamDataSetCreate(&set_), KR_STATUS_OK);
    for (int s = 0; s < 4; ++s) {
      EXPECT_EQ(KrDeviceProxyCreateStreamData(device_, kNames[s], &records_[s]), KR_STATUS_OK);
      KrStreamDataSetAdd(set_, records_[s]);
    }
    return KR_STATUS_OK;
  }
  KrStatus Release() {
    KrStreamDataSetDestroy(&set_);
    for (KrStreamData*& record : records_) KrDeviceProxyDestroyStreamData(&record);
    return KrDeviceProxyDestroy(&device_);
  }
  void TearDown() override {
    Release();
    KitTest::TearDown();
  }
  std::vector<int> NewMembers() const {
    std::vector<int> found;
    for (int s = 0; s < 4; ++s) {
      if (records_[s]->bIsNew) found.push_back(s);
    }
    return found;
  }
  void ExpectFrame(int s, uint32_t f) const {
    const std::vector<uint8_t> bytes = Bytes(s, f);
    ASSERT_EQ(records_[s]->nDataSize, bytes.size());
    EXPECT_EQ(std::memcmp(records_[s]->pData, bytes.data(), bytes.size()), 0);
    EXPECT_EQ(records_[s]->nTimestamp, Time(s, f));
    EXPECT_EQ(records_[s]->nFrameID, f);
  }
  static void OnNewData(const KrNewStreamDataEventArgs& args, void* cookie) {
    auto* test = static_cast<FileDeviceTest*>(cookie);
    test->events_.push_back(args.strStreamName);
    if (test->events_.size() == 1) test->innerRead_ = KrDeviceProxyRead(test->device_, test->set_);
  }
  double Gain() const { return RealOf(device_, "Device", "Gain"); }

  const std::string path_ = scratch_.Path() + "/session.rec";
  KrDeviceHandle device_ = nullptr;
  KrStreamDataSetHandle set_ = nullptr;
  KrStreamData* records_[4] = {};
  std::vector<std::string> events_;
  KrStatus innerRead_ = KR_STATUS_TL_WRONG_MODE;
};

// Each read brings one round; the changes made after round 1 come with round 2.
TEST_F(FileDeviceTest, PlaysEveryStreamBackByteForByteWithChangesAtTheirPlace) {
  ASSERT_EQ(Play(path_), KR_STATUS_OK);
  char name[KR_MAX_NAME_LENGTH] = {};
  EXPECT_EQ(KrDeviceProxyGetDeviceName(device_, name, sizeof(name)), KR_STATUS_OK);
  EXPECT_STREQ(name, "File");
  EXPECT_EQ(IntOf(device_, "image", "NumberOfFrames"), kFrames - 1);
  EXPECT_EQ(IntOf(device_, "ir", "XRes"), 102u);
  for (uint32_t f = 1; f <= kFrames; ++f) {
    ASSERT_EQ(KrDeviceProxyRead(device_, set_), KR_STATUS_OK) << "frame " << f;
    const std::vector<int> expected = f == 2 ? std::vector<int>{0, 2} : std::vector<int>{0, 1, 2, 3};
    ASSERT_EQ(NewMembers(), expected) << "frame " << f;
    for (int s : expected) ExpectFrame(s, f);
    EXPECT_EQ(Gain(), f >= 2 ? 2.5 : 1.0);
  }
  EXPECT_EQ(IntOf(device_, "depth", "Mirror"), 1u);
  EXPECT_EQ(KrDeviceProxyRead(device_, set_), KR_STATUS_TL_END_OF_FILE);
  EXPECT_TRUE(NewMembers().empty());
  EXPECT_EQ(KrDeviceProxyWrite(device_, set_), KR_STATUS_TL_WRONG_MODE);
  EXPECT_EQ(KrDeviceProxyCreateStream(device_, "Depth", "more", nullptr), KR_STATUS_TL_WRONG_MODE);
  EXPECT_NE(KrDeviceProxySetIntProperty(device_, "depth", "Unrecorded", 1), KR_STATUS_OK);
}

// Round 1 raises four events; the handler's read takes round 2 silently, so playback cannot recurse through the file.
TEST_F(FileDeviceTest, EachFrameReadRaisesNewDataButNotInsideACallback) {
  ASSERT_EQ(Play(path_), KR_STATUS_OK);
  KrCallbackHandle registration = nullptr;
  ASSERT_EQ(KrDeviceProxyRegisterToNewStreamData(device_, &OnNewData, this, &registration), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyRead(device_, set_), KR_STATUS_OK);
  EXPECT_EQ(events_, (std::vector<std::string>{"depth", "image", "ir", "audio"}));
  EXPECT_EQ(innerRead_, KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyRead(device_, set_), KR_STATUS_OK);
  ExpectFrame(0, 3);
  EXPECT_EQ(events_.size(), 8u);
  EXPECT_EQ(KrDeviceProxyUnregisterFromNewStreamData(device_, registration), KR_STATUS_OK);
}

// After image frame 1 alone, with image closed: ir and audio frame 1 and depth frame 2, then ir frame 2. Seeks: frame
// numbers count from 1; a time on depth frame 2 resumes at the other streams' frames 1.
TEST_F(FileDeviceTest, ReadStreamPassesOverOtherStreamsClosedStreamsAreSkippedAndSeeksRestoreProperties) {
  ASSERT_EQ(Play(path_), KR_STATUS_OK);
  uint32_t frame = 0;
  EXPECT_EQ(KrDeviceProxyTellFrame(device_, &frame), KR_STATUS_OK);
  EXPECT_EQ(frame, 1u);
  ASSERT_EQ(KrDeviceProxyReadStream(device_, records_[1]), KR_STATUS_OK);
  ExpectFrame(1, 1);
  ASSERT_EQ(KrDeviceProxyCloseStream(device_, "image"), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyRead(device_, set_), KR_STATUS_OK);
  EXPECT_EQ(NewMembers(), (std::vector<int>{0, 2, 3}));
  ExpectFrame(2, 1);
  ExpectFrame(3, 1);
  ExpectFrame(0, 2);
  ASSERT_EQ(KrDeviceProxyRead(device_, set_), KR_STATUS_OK);
  ExpectFrame(2, 2);
  EXPECT_EQ(KrDeviceProxyReadStream(device_, records_[1]), KR_STATUS_TL_STREAM_NOT_OPEN);
  ASSERT_EQ(KrDeviceProxyOpenStream(device_, "image"), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxySeekFrame(device_, 3), KR_STATUS_OK);
  EXPECT_EQ(Gain(), 2.5);
  ASSERT_EQ(KrDeviceProxyRead(device_, set_), KR_STATUS_OK);
  ExpectFrame(0, 3);
  EXPECT_EQ(KrDeviceProxySeekFrame(device_, 0), KR_STATUS_TL_FRAME_NOT_FOUND);
  ASSERT_EQ(KrDeviceProxySeek(device_, Time(0, 2)), KR_STATUS_OK);
  EXPECT_EQ(Gain(), 1.0);
  uint64_t time = 0;
  EXPECT_EQ(KrDeviceProxyTell(device_, &time), KR_STATUS_OK);
  EXPECT_EQ(time, Time(1, 1));
  ASSERT_EQ(KrDeviceProxyRead(device_, set_), KR_STATUS_OK);
  EXPECT_EQ(NewMembers(), (std::vector<int>{0, 1, 2, 3}));
  ExpectFrame(1, 1);
  ExpectFrame(3, 1);
  ExpectFrame(0, 2);
}

// A recording that lost its trailer and part of its index is scanned whole, and the log says so.
TEST_F(FileDeviceTest, OpeningFailuresAreStatusesAndACutRecordingIsScannedWithAWarning) {
  KrDeviceConfig config{KR_DEVICE_MODE_WRITE, "/nonexistent-directory/x.rec", nullptr, KR_DEVICE_SHARING_EXCLUSIVE};
  EXPECT_EQ(KrDeviceProxyCreateDeviceByName("File", &device_, &config), KR_STATUS_TL_FILE_OPEN_FAILED);
  EXPECT_EQ(device_, nullptr);
  EXPECT_EQ(Play(scratch_.Path() + "/missing.rec"), KR_STATUS_TL_FILE_OPEN_FAILED);
  EXPECT_EQ(Play(scratch_.Write("text.rec", "just some text, not a recording at all")), KR_STATUS_TL_NOT_A_RECORDING);
  const std::vector<uint8_t> whole = LoadBytes(path_);
  SaveBytes(path_, whole.data(), whole.size() - 40);
  std::vector<std::string> warnings;
  ASSERT_EQ(krLogSetCallback(&OnLog, &warnings), KR_STATUS_OK);
  ASSERT_EQ(Play(path_), KR_STATUS_OK);
  krLogSetCallback(nullptr, nullptr);
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].find("scanning"), std::string::npos) << warnings[0];
  int frames = 0;
  while (KrDeviceProxyRead(device_, set_) == KR_STATUS_OK) frames += int(NewMembers().size());
  EXPECT_EQ(frames, 4 * int(kFrames) - 2);  // image and audio frame 2 are not recorded
}

// The damaged depth frame is passed over; the intact frames of its round still arrive.
TEST_F(FileDeviceTest, DamagedFrameGivesCorruptUnlessFrameChecksAreOff) {
  std::vector<uint8_t> bytes = LoadBytes(path_);
  const std::vector<uint8_t> first = Bytes(0, 1);
  auto at = std::search(bytes.begin(), bytes.end(), first.begin(), first.end());
  ASSERT_NE(at, bytes.end());
  *(at + long(first.size()) - 1) ^= 0x40;
  SaveBytes(path_, bytes.data(), bytes.size());
  ASSERT_EQ(Play(path_), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxyRead(device_, set_), KR_STATUS_TL_FILE_CORRUPT);
  EXPECT_EQ(NewMembers(), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(records_[0]->nDataSize, 0u);
  ExpectFrame(1, 1);
  ASSERT_EQ(KrDeviceProxyRead(device_, set_), KR_STATUS_OK);
  ExpectFrame(0, 2);
  ASSERT_EQ(KrDeviceProxySetIntProperty(device_, "Device", "VerifyFrameData", 0), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxySeekFrame(device_, 1), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyRead(device_, set_), KR_STATUS_OK);
  ASSERT_EQ(records_[0]->bIsNew, 1);
  EXPECT_EQ(records_[0]->nFrameID, 1u);
  EXPECT_NE(KrDeviceProxySetIntProperty(device_, "Device", "VerifyFrameData", 2), KR_STATUS_OK);
}

void OnChange(KrDeviceHandle, const char*, const char*, void* cookie) { ++*static_cast<int*>(cookie); }

TEST_F(FileDeviceTest, DerivedSizesOfARecordedStreamAreAnnounced) {
  KrDeviceConfig config{KR_DEVICE_MODE_WRITE, path_.c_str(), nullptr, KR_DEVICE_SHARING_EXCLUSIVE};
  ASSERT_EQ(KrDeviceProxyCreateDeviceByName("File", &device_, &config), KR_STATUS_OK);
  const tollan::sensor::Resolution* from = tollan::sensor::FindResolution(0);
  const tollan::sensor::Resolution* to = tollan::sensor::FindResolution(1);
  ASSERT_TRUE(from != nullptr && to != nullptr && from->xRes != to->xRes);
  PropertySet values;
  KrPropertySetAddIntProperty(values.Get(), "depth", "Resolution", 0);
  KrPropertySetAddIntProperty(values.Get(), "depth", "XRes", from->xRes);
  KrPropertySetAddIntProperty(values.Get(), "depth", "YRes", from->yRes);
  ASSERT_EQ(KrDeviceProxyCreateStream(device_, "Depth", "depth", values.Get()), KR_STATUS_OK);
  int changes = 0;
  KrCallbackHandle registration = nullptr;
  ASSERT_EQ(KrDeviceProxyRegisterToPropertyChange(device_, "depth", "XRes", &OnChange, &changes, &registration),
            KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxySetIntProperty(device_, "depth", "Resolution", 1), KR_STATUS_OK);
  EXPECT_EQ(IntOf(device_, "depth", "XRes"), to->xRes);
  EXPECT_EQ(changes, 1);
  PropertySet audio;
  KrPropertySetAddIntProperty(audio.Get(), "audio", "Resolution", 1);
  ASSERT_EQ(KrDeviceProxyCreateStream(device_, "Audio", "audio", audio.Get()), KR_STATUS_OK);
  uint64_t x = 0;
  EXPECT_NE(KrDeviceProxyGetIntProperty(device_, "audio", "XRes", &x), KR_STATUS_OK) << "sound has no picture size";
  EXPECT_EQ(Release(), KR_STATUS_OK);
}

}  // namespace
}  // namespace tollan_test
