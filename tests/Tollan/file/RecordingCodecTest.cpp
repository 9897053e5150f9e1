// Compressed recordings (format version 2): frames of every codec come back
// exact, the damage rules of the format hold for them unchanged, version 1
// files still play, and the "File" device's "Compression" property chooses
// the codec per kind of stream.
#include "Tollan/KitTestSupport.h"
#include "Tollan/file/RecordingTestSupport.h"

#include <Tollan/src/file/FrameCodec.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <random>

namespace tollan {
namespace recording {
namespace testing {
namespace {

// Frames each codec shrinks: depth of a slanted wall with noise and a hole,
// and repeating colour, infra-red and sound.
std::vector<uint8_t> CompressibleFrame(uint32_t stream, uint32_t frameId, uint32_t size) {
  std::vector<uint8_t> bytes(size);
  std::mt19937 random(stream * 100 + frameId);
  for (uint32_t i = 0; i + 1 < size; i += 2) {
    const uint32_t pixel = i / 2;
    const uint16_t depth = pixel % 32 > 26 ? 0 : uint16_t(2000 + pixel % 32 * 9 + pixel / 32 * 3 + random() % 3 * 26);
    const uint16_t other = uint16_t(pixel % 6 * 1000 + frameId);
    const uint16_t value = stream == 0 ? depth : other;
    bytes[i] = uint8_t(value);
    bytes[i + 1] = uint8_t(value >> 8);
  }
  return bytes;
}

constexpr Compression kCodecs[] = {Compression::kDepth, Compression::kLz4, Compression::kZstd, Compression::kZlib};
constexpr uint32_t kSizes[] = {32 * 24 * 2, 600, 600, 400};

class RecordingCodec : public RecordingTest {
 protected:
  void WriteCompressed(const std::string& path) {
    RecordingWriter writer;
    ASSERT_EQ(writer.Open(path.c_str(), SampleDeviceProperties()), KR_STATUS_OK);
    for (uint32_t s = 0; s < 4; ++s) {
      const std::string name = "S" + std::to_string(s);
      uint32_t id = 0;
      ASSERT_EQ(writer.AddStream({0, name, "Depth", kCodecs[s], {{name, "XRes", Value::Int(32)}}}, &id), KR_STATUS_OK);
    }
    for (uint32_t frameId = 1; frameId <= 3; ++frameId) {
      for (uint32_t s = 0; s < 4; ++s) {
        const std::vector<uint8_t> data = CompressibleFrame(s, frameId, kSizes[s]);
        ASSERT_EQ(writer.AppendFrame({s, frameId, frameId * 1000ull + s, kSizes[s]}, data.data()), KR_STATUS_OK);
      }
      if (frameId == 2) {
        ASSERT_EQ(writer.AppendPropertyChange({"S0", "Mirror", Value::Int(1)}), KR_STATUS_OK);
      }
    }
    ASSERT_EQ(writer.Close(), KR_STATUS_OK);
  }
};

TEST_F(RecordingCodec, EveryCodecRoundTripsAndDamageIsFoundNeverPlayed) {
  const std::string path = Path("codecs.rec");
  WriteCompressed(path);
  const std::vector<uint8_t> file = LoadBytes(path);
  ASSERT_EQ(file[8], kFormatVersion);
  uint64_t raw = 0;
  for (uint32_t size : kSizes) raw += 3 * size;
  EXPECT_LT(file.size(), raw) << "every stream's frames were stored smaller";
  std::vector<Played> full;
  {
    RecordingReader reader;
    ASSERT_EQ(reader.Open(path.c_str()), KR_STATUS_OK);
    Item item;
    while (reader.Next(&item) == KR_STATUS_OK) {
      if (item.kind != Item::Kind::kFrame) continue;
      EXPECT_EQ(uint32_t(reader.CurrentEncoding()), uint32_t(kCodecs[item.frame.streamId]));
      EXPECT_LT(reader.CurrentStoredSize(), item.frame.size);
      std::vector<uint8_t> data(item.frame.size);
      ASSERT_EQ(reader.ReadFrameData(data.data(), uint32_t(data.size())), KR_STATUS_OK);
      EXPECT_EQ(data, CompressibleFrame(item.frame.streamId, item.frame.frameId, item.frame.size));
    }
  }
  {
    RecordingReader reader;
    ASSERT_EQ(reader.Open(path.c_str()), KR_STATUS_OK);
    full = PlayAll(reader).items;
  }
  const std::string damaged = Path("damaged.rec");
  for (size_t offset = kFileHeaderSize; offset < file.size(); ++offset) {
    SCOPED_TRACE("offset " + std::to_string(offset));
    // Cut there: a prefix plays, cleanly.
    SaveBytes(damaged, file.data(), offset);
    {
      RecordingReader reader;
      ASSERT_EQ(reader.Open(damaged.c_str()), KR_STATUS_OK);
      const Playback playback = PlayAll(reader);
      ASSERT_EQ(playback.corrupt, 0);
      ASSERT_TRUE(IsPrefix(playback.items, full));
    }
    // A bit flipped there: reported, and what plays is what was recorded.
    std::vector<uint8_t> flipped = file;
    flipped[offset] ^= uint8_t(1u << (offset % 8));
    SaveBytes(damaged, flipped.data(), flipped.size());
    RecordingReader reader;
    ASSERT_EQ(reader.Open(damaged.c_str()), KR_STATUS_OK);
    const Playback playback = PlayAll(reader);
    ASSERT_EQ(playback.end, KR_STATUS_TL_END_OF_FILE);
    ASSERT_TRUE(IsSubsequence(playback.items, full));
  }
}

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
// existed, deflated depth among them) play every frame.
TEST_F(RecordingCodec, VersionOneRecordingsStillPlay) {
  for (const char* name : {"indexed.rec", "deflated.rec"}) {
    const std::string path = std::string(OVALITH_SOURCE_DIR) + "/tests/fuzz/corpus/recording/" + name;
    ASSERT_EQ(LoadBytes(path).at(8), 1) << name << " is a version 1 file";
    RecordingReader reader;
    ASSERT_EQ(reader.Open(path.c_str()), KR_STATUS_OK) << name;
    const Playback playback = PlayAll(reader);
    EXPECT_EQ(playback.corrupt, 0) << name;
    int depthFrames = 0;
    for (const Played& played : playback.items) {
      if (played.kind != Item::Kind::kFrame || played.frame.streamId != 0) continue;
      ++depthFrames;
      for (size_t i = 0; i < played.data.size(); ++i) {
        ASSERT_EQ(played.data[i], uint8_t(i / 16 + played.frame.frameId)) << name;
      }
    }
    EXPECT_EQ(depthFrames, 3) << name;
  }
}

class FileDeviceCompression : public tollan_test::KitTest {};

TEST_F(FileDeviceCompression, PropertyChoosesTheCodecFromTheNextFrameOn) {
  const std::string path = scratch_.Path() + "/compressed.rec";
  KrPropertySetHandle initial = nullptr;
  ASSERT_EQ(KrPropertySetCreate(&initial), KR_STATUS_OK);
  ASSERT_EQ(KrPropertySetAddStringProperty(initial, "Device", "Compression", "depth=depth,image=lz4"), KR_STATUS_OK);
  KrDeviceConfig config{KR_DEVICE_MODE_WRITE, path.c_str(), initial, KR_DEVICE_SHARING_EXCLUSIVE};
  KrDeviceHandle device = nullptr;
  ASSERT_EQ(KrDeviceProxyCreateDeviceByName("File", &device, &config), KR_STATUS_OK);
  KrPropertySetDestroy(&initial);
  EXPECT_EQ(KrDeviceProxySetStringProperty(device, "Device", "Compression", "depth=png"),
            KR_STATUS_TL_BAD_PROPERTY_VALUE);
  KrPropertySetHandle values = nullptr;
  ASSERT_EQ(KrPropertySetCreate(&values), KR_STATUS_OK);
  KrPropertySetAddIntProperty(values, "Depth", "RequiredDataSize", kSizes[0]);
  KrPropertySetAddIntProperty(values, "Depth", "XRes", 32);
  ASSERT_EQ(KrDeviceProxyCreateStream(device, "Depth", "Depth", values), KR_STATUS_OK);
  KrPropertySetDestroy(&values);
  KrStreamData* record = nullptr;
  ASSERT_EQ(KrDeviceProxyCreateStreamData(device, "Depth", &record), KR_STATUS_OK);
  for (uint32_t f = 1; f <= 2; ++f) {
    if (f == 2) {
      ASSERT_EQ(KrDeviceProxySetStringProperty(device, "Device", "Compression", ""), KR_STATUS_OK);
    }
    const std::vector<uint8_t> bytes = CompressibleFrame(0, f, kSizes[0]);
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
  for (const auto& property : reader.DeviceProperties()) EXPECT_NE(property.name, "Compression");
  Item item;
  for (uint32_t f = 1; f <= 2; ++f) {
    ASSERT_EQ(reader.Next(&item), KR_STATUS_OK);
    while (item.kind != Item::Kind::kFrame) ASSERT_EQ(reader.Next(&item), KR_STATUS_OK);
    EXPECT_EQ(reader.CurrentEncoding(), f == 1 ? FrameEncoding::kDepth : FrameEncoding::kRaw);
    std::vector<uint8_t> data(item.frame.size);
    ASSERT_EQ(reader.ReadFrameData(data.data(), uint32_t(data.size())), KR_STATUS_OK);
    EXPECT_EQ(data, CompressibleFrame(0, f, kSizes[0]));
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
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    const rlim_t unlimited = limit.rlim_cur;
    limit.rlim_cur = 8192;
    setrlimit(RLIMIT_FSIZE, &limit);
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
    limit.rlim_cur = unlimited;
    setrlimit(RLIMIT_FSIZE, &limit);
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
