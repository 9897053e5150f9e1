// Recordings that were not closed, were cut, damaged, are not recordings,
// or could not be written: clear statuses, never a crash, and everything
// that was completely written still plays.
#include "RecordingTestSupport.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

namespace tollan {
namespace recording {
namespace testing {
namespace {

class RecordingDamage : public RecordingTest {
 protected:
  void SetUp() override {
    RecordingTest::SetUp();
    Load(false);
  }
  // The raw sample, or the compressed one (every codec).
  void Load(bool compressed) {
    samplePath_ = Path("sample.rec");
    WriteSample(samplePath_, compressed);
    sample_ = LoadBytes(samplePath_);
    full_ = PlayFile(samplePath_).items;
  }

  // Offset of the index chunk, from the trailer.
  uint64_t IndexOffset() const {
    uint64_t offset = 0;
    for (int i = 7; i >= 0; --i) {
      offset = offset << 8 | sample_[sample_.size() - kTrailerPayloadSize + size_t(i)];
    }
    return offset;
  }

  std::string samplePath_;
  std::vector<uint8_t> sample_;
  std::vector<Played> full_;
};

// The damage rules hold for raw and for compressed frames alike.
class RecordingDamageAnywhere : public RecordingDamage, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    RecordingTest::SetUp();
    Load(GetParam());
  }
};

// Every prefix of a recording opens as a recording cut short (or is refused
// as one), and plays a prefix of the whole, ending cleanly; cut just before
// its index it is scanned and plays whole.
TEST_P(RecordingDamageAnywhere, TruncationAtEveryOffsetPlaysAPrefix) {
  const std::string path = Path("prefix.rec");
  size_t longest = 0;
  for (size_t cut = 0; cut < sample_.size(); ++cut) {
    SCOPED_TRACE("cut at " + std::to_string(cut));
    SaveBytes(path, sample_.data(), cut);
    RecordingReader reader;
    const KrStatus status = reader.Open(path.c_str());
    if (cut < kFileHeaderSize) {
      ASSERT_EQ(status, cut < sizeof(kMagic) ? KR_STATUS_TL_NOT_A_RECORDING : KR_STATUS_TL_FILE_CORRUPT);
      continue;
    }
    ASSERT_EQ(status, KR_STATUS_OK);
    EXPECT_TRUE(reader.Report().Scanned());
    const Playback playback = PlayAll(reader);
    ASSERT_EQ(playback.corrupt, 0);
    ASSERT_EQ(playback.end, KR_STATUS_TL_END_OF_FILE);
    ASSERT_TRUE(IsPrefix(playback.items, full_));
    ASSERT_GE(playback.items.size(), longest);  // a longer file never plays less
    longest = playback.items.size();
    if (cut == IndexOffset()) {
      EXPECT_EQ(reader.Report().source, OpenReport::Source::kScanNoIndex);
      EXPECT_EQ(reader.Report().usableBytes, cut);
      EXPECT_EQ(reader.DeviceProperties(), SampleDeviceProperties());
      EXPECT_EQ(playback.items.size(), full_.size());
    }
  }
}

// Flipping a bit anywhere is either refused at open (file header) or
// reported as a damaged chunk when playback reaches it; what does play is
// exactly what was recorded.
TEST_P(RecordingDamageAnywhere, BitFlipAnywhereGivesACorruptStatusAndNothingWrong) {
  const std::string path = Path("flipped.rec");
  for (size_t offset = 0; offset < sample_.size(); ++offset) {
    SCOPED_TRACE("flip at " + std::to_string(offset));
    std::vector<uint8_t> flipped = sample_;
    flipped[offset] ^= uint8_t(1u << (offset % 8));
    SaveBytes(path, flipped.data(), flipped.size());
    RecordingReader reader;
    const KrStatus status = reader.Open(path.c_str());
    if (offset < kFileHeaderSize) {
      ASSERT_TRUE(status == KR_STATUS_TL_NOT_A_RECORDING || status == KR_STATUS_TL_FILE_CORRUPT ||
                  status == KR_STATUS_TL_FILE_VERSION_UNSUPPORTED)
          << std::hex << status;
      continue;
    }
    ASSERT_EQ(status, KR_STATUS_OK);
    const Playback playback = PlayAll(reader);
    ASSERT_EQ(playback.end, KR_STATUS_TL_END_OF_FILE);
    ASSERT_TRUE(IsSubsequence(playback.items, full_));
    if (offset >= IndexOffset()) {
      // Damage to the index or trailer costs speed, never data.
      ASSERT_TRUE(reader.Report().Scanned());
      ASSERT_EQ(playback.items, full_);
    } else {
      // Damage to the device properties loses no playback step, but is
      // still reported.
      ASSERT_GE(playback.corrupt, 1);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(RawAndCompressed, RecordingDamageAnywhere, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Compressed" : "Raw"; });

TEST_F(RecordingDamage, CopyTakenWhileRecordingPlaysWhatWasWrittenByThen) {
  const std::string path = Path("live.rec");
  const std::string copy = Path("copy.rec");
  RecordingWriter writer;
  ASSERT_EQ(writer.Open(path.c_str(), SampleDeviceProperties()), KR_STATUS_OK);
  uint32_t id = 0;
  ASSERT_EQ(writer.AddStream({0, "Depth", "Depth", Compression::kZlib, {}}, &id), KR_STATUS_OK);
  std::vector<uint8_t> depth(320, 0);  // compressible: stored deflated
  for (uint32_t frameId = 1; frameId <= 6; ++frameId) {
    if (frameId == 6) {
      std::filesystem::copy_file(path, copy);
    }
    depth[frameId] = uint8_t(frameId);
    ASSERT_EQ(writer.AppendFrame({id, frameId, frameId * 1000ull, uint32_t(depth.size())}, depth.data()),
              KR_STATUS_OK);
  }
  ASSERT_EQ(writer.Close(), KR_STATUS_OK);

  RecordingReader reader;
  ASSERT_EQ(reader.Open(copy.c_str()), KR_STATUS_OK);
  EXPECT_TRUE(reader.Report().Scanned());
  EXPECT_EQ(reader.FrameCount(id), 5u);
  const Playback playback = PlayAll(reader);
  EXPECT_EQ(playback.corrupt, 0);
  ASSERT_EQ(playback.items.size(), 6u);
  EXPECT_EQ(playback.items.back().data[5], 5);
}

// The data of the first depth frame damaged: reported once and passed
// over, with the index or without it; played as it is without frame checks.
TEST_F(RecordingDamage, DamagedFrameIsReportedAndPlaybackGoesOn) {
  const std::vector<uint8_t> depth1 = FrameBytes(0, 1, kSampleStreams[0].frameSize);
  const auto where = std::search(sample_.begin(), sample_.end(), depth1.begin(), depth1.end());
  ASSERT_NE(where, sample_.end());
  std::vector<uint8_t> damaged = sample_;
  damaged[size_t(where - sample_.begin()) + 10] ^= 0x40;
  const std::string path = Path("frame.rec");
  const struct {
    const char* what;
    bool indexed;
    bool checked;
    int corrupt;
  } cases[] = {{"indexed", true, true, 1}, {"scanned", false, true, 1}, {"unchecked", true, false, 0}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    SaveBytes(path, damaged.data(), c.indexed ? damaged.size() : size_t(IndexOffset()));
    ReaderOptions options;
    options.verifyFrameData = c.checked;
    const Playback playback = PlayFile(path, options);
    EXPECT_EQ(playback.corrupt, c.corrupt);
    EXPECT_EQ(playback.items.size(), full_.size() - size_t(c.corrupt));
    EXPECT_EQ(playback.end, KR_STATUS_TL_END_OF_FILE);
  }
}

// A file header of that version cut to size bytes.
std::vector<uint8_t> HeaderWithVersion(uint32_t version, size_t size) {
  uint8_t header[kFileHeaderSize];
  EncodeFileHeader(header);
  for (int i = 0; i < 4; ++i) {
    header[8 + i] = uint8_t(version >> (8 * i));
  }
  const uint32_t crc = Crc32(header, 16);
  for (int i = 0; i < 4; ++i) {
    header[16 + i] = uint8_t(crc >> (8 * i));
  }
  return std::vector<uint8_t>(header, header + size);
}

// A file header, a chunk header that claims length bytes, and 64 bytes.
std::vector<uint8_t> Claim(uint32_t type, uint32_t length) {
  std::vector<uint8_t> bytes = HeaderWithVersion(kFormatVersion, kFileHeaderSize);
  uint8_t chunk[kChunkHeaderSize];
  EncodeChunkHeader({type, length, 0}, chunk);
  bytes.insert(bytes.end(), chunk, chunk + kChunkHeaderSize);
  bytes.resize(bytes.size() + 64);
  return bytes;
}

// Files that are not playable recordings are refused clearly. Lengths in a
// file are never trusted: a chunk that claims more than the format allows
// or the file holds is not allocated, only reported.
TEST_F(RecordingTest, CraftedFilesAreRefusedOrReportedClearly) {
  std::vector<uint8_t> noise(4096);
  for (size_t i = 0; i < noise.size(); ++i) {
    noise[i] = uint8_t(i * 2654435761u >> 13);
  }
  const std::string text = "[Device]\nKind=File\n";
  const struct {
    const char* what;
    std::vector<uint8_t> bytes;
    KrStatus expected;
    int corrupt;  // steps reported when it opens
  } cases[] = {
      {"empty file", {}, KR_STATUS_TL_NOT_A_RECORDING, 0},
      {"text", std::vector<uint8_t>(text.begin(), text.end()), KR_STATUS_TL_NOT_A_RECORDING, 0},
      {"noise", noise, KR_STATUS_TL_NOT_A_RECORDING, 0},
      {"magic only", std::vector<uint8_t>(kMagic, kMagic + sizeof(kMagic)), KR_STATUS_TL_FILE_CORRUPT, 0},
      {"newer version", HeaderWithVersion(kFormatVersion + 1, kFileHeaderSize), KR_STATUS_TL_FILE_VERSION_UNSUPPORTED,
       0},
      {"newer version, other header", HeaderWithVersion(kFormatVersion + 1, 12), KR_STATUS_TL_FILE_VERSION_UNSUPPORTED,
       0},
      {"version 0", HeaderWithVersion(0, kFileHeaderSize), KR_STATUS_TL_FILE_CORRUPT, 0},
      {"frame beyond the format's limit", Claim(kChunkFrame, 0xFFFFFFF0u), KR_STATUS_OK, 1},
      {"metadata beyond the format's limit", Claim(kChunkPropertyChange, kMaxMetadataPayload + 1), KR_STATUS_OK, 1},
      {"frame beyond the file (cut short)", Claim(kChunkFrame, kMaxFramePayload), KR_STATUS_OK, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = Path("crafted.rec");
    SaveBytes(path, c.bytes.data(), c.bytes.size());
    RecordingReader reader;
    ASSERT_EQ(reader.Open(path.c_str()), c.expected);
    EXPECT_EQ(reader.IsOpen(), c.expected == KR_STATUS_OK);
    if (reader.IsOpen()) {
      const Playback playback = PlayAll(reader);
      EXPECT_EQ(playback.corrupt, c.corrupt);
      EXPECT_EQ(playback.end, KR_STATUS_TL_END_OF_FILE);
    }
  }
  RecordingReader reader;
  EXPECT_EQ(reader.Open(Path("missing.rec").c_str()), KR_STATUS_TL_FILE_OPEN_FAILED);
  EXPECT_EQ(reader.Open(dir_.c_str()), KR_STATUS_TL_FILE_OPEN_FAILED);
}

TEST_F(RecordingTest, WritingToAFullDeviceGivesWriteFailed) {
  RecordingWriter writer;
  EXPECT_EQ(writer.Open("/dev/full", SampleDeviceProperties()), KR_STATUS_TL_FILE_WRITE_FAILED);
  EXPECT_FALSE(writer.IsOpen());
  EXPECT_EQ(writer.Open(Path("no/such/dir.rec").c_str(), {}), KR_STATUS_TL_FILE_OPEN_FAILED);
}

// The disk fills up mid-recording (a file size limit, in a child process):
// the frame that does not fit fails, the file is cut back to its last
// complete chunk, and recording goes on once there is room again.
TEST_F(RecordingTest, DiskFullMidRecordingKeepsEverythingWrittenBefore) {
  const std::string path = Path("full.rec");
  constexpr uint32_t kFrameSize = 500;
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    const rlim_t unlimited = LimitFileSize(4096);
    RecordingWriter writer;
    uint32_t id = 0;
    const bool opened = writer.Open(path.c_str(), {}) == KR_STATUS_OK &&
                        writer.AddStream({0, "Depth", "Depth", Compression::kNone, {}}, &id) == KR_STATUS_OK;
    // Frames until one does not fit; with room again, that frame once more.
    for (uint32_t n = 1; opened && n < 100; ++n) {
      const std::vector<uint8_t> data = FrameBytes(id, n, kFrameSize);
      const KrStatus status = writer.AppendFrame({id, n, n * 10ull, kFrameSize}, data.data());
      if (status == KR_STATUS_OK) {
        continue;
      }
      if (status != KR_STATUS_TL_FILE_WRITE_FAILED || writer.Size() > 4096) {
        break;
      }
      LimitFileSize(unlimited);
      const bool resumed = writer.AppendFrame({id, n, n * 10ull, kFrameSize}, data.data()) == KR_STATUS_OK &&
                           writer.Close() == KR_STATUS_OK;
      _exit(resumed ? int(n) : 103);
    }
    _exit(102);
  }
  int wait = 0;
  ASSERT_EQ(waitpid(child, &wait, 0), child);
  ASSERT_TRUE(WIFEXITED(wait));
  const int frames = WEXITSTATUS(wait);
  ASSERT_LT(frames, 100) << "child failed with " << frames;
  ASSERT_GT(frames, 1);

  RecordingReader reader;
  ASSERT_EQ(reader.Open(path.c_str()), KR_STATUS_OK);
  EXPECT_FALSE(reader.Report().Scanned());
  const Playback playback = PlayAll(reader);
  EXPECT_EQ(playback.corrupt, 0);
  ASSERT_EQ(playback.items.size(), size_t(frames) + 1);  // the stream, then its frames
  for (int n = 1; n <= frames; ++n) {
    EXPECT_EQ(playback.items[size_t(n)].frame.frameId, uint32_t(n));
    EXPECT_EQ(playback.items[size_t(n)].data, FrameBytes(0, uint32_t(n), kFrameSize));
  }
}

}  // namespace
}  // namespace testing
}  // namespace recording
}  // namespace tollan
