// Compressed recordings (format version 2): frames of every codec come back
// exact and stored smaller (their damage rules are in RecordingDamageTest),
// version 1 files still play, and the "File" device's "Compression" property
// chooses the codec per kind of stream.
#include "Tollan/KitTestSupport.h"
#include "Tollan/file/RecordingTestSupport.h"

#include <Tollan/src/file/FrameCodec.h>

#include <gtest/gtest.h>

#include <cstring>

namespace tollan {
namespace recording {
namespace testing {
namespace {

class RecordingCodec : public RecordingTest {};

// Without frame checks a damaged compressed frame still never plays wrong
// bytes silently past the frame, and the codec reports what it can see.
TEST_F(RecordingCodec, DamagedCompressedDataIsCorruptEvenWithoutFrameChecks) {
  const std::string path = Path("codecs.rec");
  WriteCompressed(path);
  std::vector<uint8_t> file = LoadBytes(path);
  // The depth codec's first frame: version, flags, then width 32 and 768
  // pixels; make the version unknown.
  const uint8_t head[] = {32, 0, 0x00, 0x03, 0, 0};
  auto at = std::search(file.begin(), file.end(), std::begin(head), std::end(head));
  ASSERT_NE(at, file.end());
  ASSERT_EQ(*(at - 2), 1);
  *(at - 2) = 9;
  SaveBytes(path, file.data(), file.size());
  ReaderOptions options;
  options.verifyFrameData = false;
  RecordingReader reader;
  ASSERT_EQ(reader.Open(path.c_str(), options), KR_STATUS_OK);
  Item item;
  do {
    ASSERT_EQ(reader.Next(&item), KR_STATUS_OK);
  } while (item.kind != Item::Kind::kFrame);
  ASSERT_EQ(item.frame.streamId, 0u);
  std::vector<uint8_t> data(item.frame.size);
  EXPECT_EQ(reader.ReadFrameData(data.data(), uint32_t(data.size())), KR_STATUS_TL_FILE_CORRUPT);
}

// The version 1 recordings of the fuzz corpus (written before the codecs
// existed, deflated depth among them) play every frame, and give the values
// of every type they were written with: files written by any build read in
// every other.
TEST_F(RecordingCodec, VersionOneRecordingsStillPlay) {
  const uint8_t agc[] = {1, 0, 0x20, 0x03, 0xB8, 0x0B};
  const std::vector<Property> device = {{"Device", "ReadWriteMode", Value::Int(1)},
                                        {"Device", "Gain", Value::Real(1.5)},
                                        {"Device", "PhysicalDeviceName", Value::String("File")},
                                        {"Depth", "AGCBin", Value::General(agc, sizeof(agc))}};
  for (const char* name : {"indexed.rec", "deflated.rec"}) {
    SCOPED_TRACE(name);
    const std::string path = std::string(OVALITH_SOURCE_DIR) + "/tests/fuzz/corpus/recording/" + name;
    ASSERT_EQ(LoadBytes(path).at(8), 1) << "a version 1 file";
    RecordingReader reader;
    ASSERT_EQ(reader.Open(path.c_str()), KR_STATUS_OK);
    EXPECT_EQ(reader.DeviceProperties(), device);
    ASSERT_EQ(reader.PropertyChanges().size(), 2u);
    EXPECT_EQ(reader.PropertyChanges()[1].property, (Property{"Image", "Flags", Value::String("Mirror")}));
    const Playback playback = PlayAll(reader);
    EXPECT_EQ(playback.corrupt, 0);
    int depthFrames = 0;
    for (const Played& played : playback.items) {
      if (played.kind != Item::Kind::kFrame || played.frame.streamId != 0) {
        continue;
      }
      ++depthFrames;
      for (size_t i = 0; i < played.data.size(); ++i) {
        ASSERT_EQ(played.data[i], uint8_t(i / 16 + played.frame.frameId));
      }
    }
    EXPECT_EQ(depthFrames, 3);
  }
}

class FileDeviceCompression : public tollan_test::KitTest {};

// Frame 1 is compressed; frame 2, noise the codec would grow, is stored
// raw; frame 3 is raw because the property changed before it.
TEST_F(FileDeviceCompression, PropertyChoosesTheCodecFromTheNextFrameOn) {
  auto Frame = [](uint32_t f) {
    std::vector<uint8_t> bytes = CompressibleFrame(0, f, kSizes[0]);
    std::mt19937 random(f);
    for (uint8_t& byte : bytes) {
      byte = f == 2 ? uint8_t(random()) : byte;
    }
    return bytes;
  };
  const std::string path = scratch_.Path() + "/compressed.rec";
  tollan_test::PropertySet initial;
  KrPropertySetAddStringProperty(initial.Get(), "Device", "Compression", "depth=depth,image=lz4");
  KrDeviceConfig config{KR_DEVICE_MODE_WRITE, path.c_str(), initial.Get(), KR_DEVICE_SHARING_EXCLUSIVE};
  KrDeviceHandle device = nullptr;
  ASSERT_EQ(KrDeviceProxyCreateDeviceByName("File", &device, &config), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxySetStringProperty(device, "Device", "Compression", "depth=png"),
            KR_STATUS_TL_BAD_PROPERTY_VALUE);
  tollan_test::PropertySet values;
  KrPropertySetAddIntProperty(values.Get(), "Depth", "RequiredDataSize", kSizes[0]);
  KrPropertySetAddIntProperty(values.Get(), "Depth", "XRes", 32);
  ASSERT_EQ(KrDeviceProxyCreateStream(device, "Depth", "Depth", values.Get()), KR_STATUS_OK);
  KrStreamData* record = nullptr;
  ASSERT_EQ(KrDeviceProxyCreateStreamData(device, "Depth", &record), KR_STATUS_OK);
  for (uint32_t f = 1; f <= 3; ++f) {
    if (f == 3) {
      ASSERT_EQ(KrDeviceProxySetStringProperty(device, "Device", "Compression", ""), KR_STATUS_OK);
    }
    const std::vector<uint8_t> bytes = Frame(f);
    std::memcpy(record->pData, bytes.data(), bytes.size());
    record->nDataSize = uint32_t(bytes.size());
    record->nFrameID = f;
    record->nTimestamp = f * 1000;
    record->bIsNew = 1;
    ASSERT_EQ(KrDeviceProxyWriteStream(device, record), KR_STATUS_OK);
  }
  KrDeviceProxyDestroyStreamData(&record);
  ASSERT_EQ(KrDeviceProxyDestroy(&device), KR_STATUS_OK);

  RecordingReader reader;
  ASSERT_EQ(reader.Open(path.c_str()), KR_STATUS_OK);
  EXPECT_EQ(reader.Streams().at(0).compression, Compression::kDepth);
  // The choice is the device's own, never a recorded property or change.
  for (const auto& property : reader.DeviceProperties()) {
    EXPECT_NE(property.name, "Compression");
  }
  for (const auto& change : reader.PropertyChanges()) {
    EXPECT_NE(change.property.name, "Compression");
  }
  Item item;
  for (uint32_t f = 1; f <= 3; ++f) {
    do {
      ASSERT_EQ(reader.Next(&item), KR_STATUS_OK);
    } while (item.kind != Item::Kind::kFrame);
    EXPECT_EQ(reader.CurrentEncoding(), f == 1 ? FrameEncoding::kDepth : FrameEncoding::kRaw) << "frame " << f;
    std::vector<uint8_t> data(item.frame.size);
    ASSERT_EQ(reader.ReadFrameData(data.data(), uint32_t(data.size())), KR_STATUS_OK);
    EXPECT_EQ(data, Frame(f));
  }
}

}  // namespace
}  // namespace testing
}  // namespace recording
}  // namespace tollan
