// Compressed recordings (format version 2): frames of every codec come back
// exact and stored smaller (their damage rules are in RecordingDamageTest),
// version 1 files still play, and the "File" device's "Compression" property
// chooses the codec per kind of stream.
#include "Tollan/KitTestSupport.h"
#include "Tollan/file/RecordingTestSupport.h"

#include <Tollan/src/file/FrameCodec.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

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

// Compression on the writer's encoder threads: the file holds what the
// synchronous writer writes (every frame, in order, with changes at their
// place), through a queue that fills many times over, from a caller that
// reuses its frame buffer at once.
class RecordingWriterBackground : public RecordingTest {
 protected:
  static void Record(RecordingWriter* writer) {
    const Compression codecs[] = {Compression::kDepth, Compression::kNone, Compression::kLz4};
    for (uint32_t s = 0; s < 3; ++s) {
      const std::string name = "S" + std::to_string(s);
      ASSERT_EQ(writer->AddStream({0, name, "Depth", codecs[s], {{name, "XRes", Value::Int(32)}}}, nullptr),
                KR_STATUS_OK);
    }
    std::vector<uint8_t> buffer;
    for (uint32_t frameId = 1; frameId <= 12 * RecordingWriter::kQueueDepth; ++frameId) {
      for (uint32_t s = 0; s < 3; ++s) {
        buffer = CompressibleFrame(s, frameId, kSizes[0]);
        ASSERT_EQ(writer->AppendFrame({s, frameId, frameId * 1000ull + s, kSizes[0]}, buffer.data()), KR_STATUS_OK);
        std::fill(buffer.begin(), buffer.end(), uint8_t(0xEE));  // the writer must have its own copy
      }
      if (frameId == 7) {
        ASSERT_EQ(writer->AppendPropertyChange({"S0", "Mirror", Value::Int(1)}), KR_STATUS_OK);
      }
    }
    ASSERT_EQ(writer->Close(), KR_STATUS_OK);
  }
  Playback Play(const std::string& path) {
    RecordingReader reader;
    EXPECT_EQ(reader.Open(path.c_str()), KR_STATUS_OK);
    return PlayAll(reader);
  }
};

TEST_F(RecordingWriterBackground, WritesEveryFrameInOrderAsTheCallerDoes) {
  RecordingWriter inline_, background;
  ASSERT_EQ(inline_.Open(Path("inline.rec").c_str(), {}), KR_STATUS_OK);
  ASSERT_EQ(background.Open(Path("background.rec").c_str(), {}), KR_STATUS_OK);
  background.EncodeInBackground(true);
  Record(&inline_);
  Record(&background);
  const Playback expected = Play(Path("inline.rec"));
  const Playback played = Play(Path("background.rec"));
  EXPECT_EQ(played.corrupt, 0);
  ASSERT_EQ(played.items.size(), 3u + 3u * 12 * RecordingWriter::kQueueDepth + 1u);
  EXPECT_TRUE(played.items == expected.items);
}

// The disk fills up (a file size limit, in a child process) while frames
// are written in the background: a later call says so, the caller can go on
// once there is room, and the file plays the frames written, in order.
TEST_F(RecordingWriterBackground, AWriteThatFailsInTheBackgroundFailsALaterCall) {
  const std::string path = Path("full.rec");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlim_t unlimited = LimitFileSize(8192);
    RecordingWriter writer;
    writer.EncodeInBackground(true);
    uint32_t id = 0;
    if (writer.Open(path.c_str(), {}) != KR_STATUS_OK ||
        writer.AddStream({0, "Depth", "Depth", Compression::kZstd, {}}, &id) != KR_STATUS_OK) {
      _exit(101);
    }
    KrStatus status = KR_STATUS_OK;
    uint32_t frameId = 0;
    while (status == KR_STATUS_OK && frameId < 500) {
      ++frameId;
      const std::vector<uint8_t> data = FrameBytes(id, frameId, 600);
      status = writer.AppendFrame({id, frameId, frameId * 10ull, 600}, data.data());
    }
    LimitFileSize(unlimited);
    // Frames queued behind the failed one may fail too: Close reports that.
    const KrStatus closed = writer.Close();
    _exit(status == KR_STATUS_TL_FILE_WRITE_FAILED && (closed == KR_STATUS_OK || closed == status) ? 0 : 102);
  }
  int wait = 0;
  ASSERT_EQ(waitpid(child, &wait, 0), child);
  ASSERT_TRUE(WIFEXITED(wait));
  ASSERT_EQ(WEXITSTATUS(wait), 0) << "no call reported the failed write";

  const Playback playback = Play(path);
  EXPECT_EQ(playback.corrupt, 0);
  EXPECT_EQ(playback.end, KR_STATUS_TL_END_OF_FILE);
  ASSERT_GT(playback.items.size(), 1u);
  uint32_t previous = 0;
  for (size_t n = 1; n < playback.items.size(); ++n) {
    const Played& item = playback.items[n];
    EXPECT_GT(item.frame.frameId, previous);
    EXPECT_EQ(item.data, FrameBytes(0, item.frame.frameId, 600));
    previous = item.frame.frameId;
  }
}

}  // namespace
}  // namespace testing
}  // namespace recording
}  // namespace tollan
