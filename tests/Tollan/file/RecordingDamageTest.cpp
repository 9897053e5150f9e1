// Files that are not recordings, and recordings that could not be written completely.
#include "RecordingTestSupport.h"
#include <sys/resource.h>
#include <sys/wait.h>

#include <unistd.h>

#include <cerrno>
#include <csignal>

namespace tollan::recording::testing {
namespace {

// A file header of that version cut to size bytes.
std::vector<uint8_t> HeaderWithVersion(uint32_t version, size_t size) {
  uint8_t header[kFileHeaderSize];
  EncodeFileHeader(header);
  for (int i = 0; i < 4; ++i) header[8 + i] = uint8_t(version >> (8 * i));
  const uint32_t crc = Crc32(header, 16);
  for (int i = 0; i < 4; ++i) header[16 + i] = uint8_t(crc >> (8 * i));
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

// A chunk that claims more than the format allows or the file holds is not allocated, only reported.
TEST_F(RecordingTest, CraftedFilesAreRefusedOrReportedClearly) {
  const std::string text = "[Device]\nKind=File\n";
  const uint32_t newer = kFormatVersion + 1;
  const struct {
    const char* what;
    std::vector<uint8_t> bytes;
    KrStatus expected;
    int corrupt;  // steps reported when it opens
  } cases[] = {
      {"text", std::vector<uint8_t>(text.begin(), text.end()), KR_STATUS_TL_NOT_A_RECORDING, 0},
      {"newer version", HeaderWithVersion(newer, kFileHeaderSize), KR_STATUS_TL_FILE_VERSION_UNSUPPORTED, 0},
      {"newer version, other header", HeaderWithVersion(newer, 12), KR_STATUS_TL_FILE_VERSION_UNSUPPORTED, 0},
      {"version 0", HeaderWithVersion(0, kFileHeaderSize), KR_STATUS_TL_FILE_CORRUPT, 0},
      {"frame beyond the format's limit", Claim(kChunkFrame, 0xFFFFFFF0u), KR_STATUS_OK, 1},
      {"metadata beyond the format's limit", Claim(kChunkPropertyChange, kMaxMetadataPayload + 1), KR_STATUS_OK, 1},
      {"frame beyond the file (cut short)", Claim(kChunkFrame, kMaxFramePayload), KR_STATUS_OK, 0},
  };
  const std::string path = Path("crafted.rec");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
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
  EXPECT_EQ(reader.Open(scratch_.Path().c_str()), KR_STATUS_TL_FILE_OPEN_FAILED);
}

// A chunk with no payload (of a later writer's type) that fills the room before the index exactly: still indexed.
TEST_F(RecordingTest, EmptyChunkLastBeforeTheIndexKeepsTheIndex) {
  std::vector<uint8_t> bytes = Claim(FourCC('N', 'E', 'X', 'T'), 0);
  bytes.resize(bytes.size() - 64);
  const auto append = [&bytes](uint32_t type, const std::vector<uint8_t>& payload) {
    uint8_t header[kChunkHeaderSize];
    EncodeChunkHeader({type, uint32_t(payload.size()), Crc32(payload.data(), payload.size())}, header);
    bytes.insert(bytes.end(), header, header + kChunkHeaderSize);
    bytes.insert(bytes.end(), payload.begin(), payload.end());
  };
  const uint64_t indexOffset = bytes.size();
  std::vector<uint8_t> index;
  ByteWriter entries(&index);
  entries.U64(1);
  entries.U64(kFileHeaderSize);
  entries.U64(0);
  entries.U32(FourCC('N', 'E', 'X', 'T'));
  entries.U64(0);  // stream and frame id
  entries.U32(0);  // length
  append(kChunkIndex, index);
  std::vector<uint8_t> trailer;
  ByteWriter(&trailer).U64(indexOffset);
  ByteWriter(&trailer).U64(1);
  append(kChunkTrailer, trailer);
  SaveBytes(Path("empty.rec"), bytes.data(), bytes.size());
  RecordingReader reader;
  ASSERT_EQ(reader.Open(Path("empty.rec").c_str()), KR_STATUS_OK);
  EXPECT_EQ(reader.Report().source, OpenReport::Source::kIndex);
}

constexpr uint32_t kFrameSize = 600;

// Files of this process may grow to bytes only, as on a disk that is full there, and writes past it fail (EFBIG)
// instead of raising SIGXFSZ; returns the limit before.
rlimit LimitFileSize(rlim_t bytes) {
  signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  const rlimit before = limit;
  limit.rlim_cur = bytes;
  setrlimit(RLIMIT_FSIZE, &limit);
  return before;
}

// Records frames until the disk is full (a file size limit), then makes room and closes; returns the frames tried,
// or 101 and up for a call that gave what it must not.
int FillTheDisk(const std::string& path, bool background) {
  const rlimit unlimited = LimitFileSize(4096);
  RecordingWriter writer;
  writer.EncodeInBackground(background);
  const Compression codec = background ? Compression::kZstd : Compression::kNone;
  uint32_t id = 0;
  if (writer.Open(path.c_str(), {}) != KR_STATUS_OK ||
      writer.AddStream({0, "Depth", "Depth", codec, {}}, &id) != KR_STATUS_OK) {
    return 101;
  }
  for (uint32_t n = 1; n < 100; ++n) {
    const std::vector<uint8_t> data = FrameBytes(id, n, kFrameSize);
    const KrStatus status = writer.AppendFrame({id, n, n * 10ull, kFrameSize}, data.data(), nullptr);
    if (status == KR_STATUS_OK) continue;
    if (status != KR_STATUS_TL_FILE_WRITE_FAILED || (!background && writer.Size() > 4096)) return 102;
    // The reason comes with the failure, from whichever thread wrote, and
    // names the frame that was lost.
    const RecordingWriter::WriteFailure lost = writer.LastFailure();
    if (lost.error != EFBIG || lost.what != RecordingWriter::WriteFailure::What::kFrame || lost.stream != "Depth" ||
        lost.ordinal != lost.frameId || lost.ordinal > n) {
      return 105;
    }
    setrlimit(RLIMIT_FSIZE, &unlimited);
    if (background) {
      // Frames queued behind the lost one failed too: Close says so, as a
      // frame, and still writes the index (the parent checks it).
      const KrStatus closed = writer.Close();
      const bool frameNamed = writer.LastFailure().what == RecordingWriter::WriteFailure::What::kFrame;
      return closed == KR_STATUS_OK || (closed == status && frameNamed) ? int(n) : 103;
    }
    const bool resumed = writer.AppendFrame({id, n, n * 10ull, kFrameSize}, data.data(), nullptr) == KR_STATUS_OK &&
                         writer.Close() == KR_STATUS_OK;
    return resumed ? int(n) : 103;
  }
  return 104;
}

// The disk fills up (in a child process): a call fails (in the background, a later one), and the file plays its frames
// in order; inline, the frame that did not fit goes in once there is room again.
class RecordingDiskFull : public RecordingTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RecordingDiskFull, KeepsEverythingWrittenBefore) {
  const bool background = GetParam();
  const std::string path = Path("full.rec");
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(FillTheDisk(path, background));
  int wait = 0;
  ASSERT_EQ(waitpid(child, &wait, 0), child);
  ASSERT_TRUE(WIFEXITED(wait));
  const int frames = WEXITSTATUS(wait);
  ASSERT_LT(frames, 100) << "no call reported the failed write, or the child failed";
  ASSERT_GT(frames, 1);
  RecordingReader reader;
  ASSERT_EQ(reader.Open(path.c_str()), KR_STATUS_OK);
  EXPECT_FALSE(reader.Report().Scanned());
  const Playback playback = PlayAll(reader);
  EXPECT_EQ(playback.corrupt, 0);
  EXPECT_EQ(playback.end, KR_STATUS_TL_END_OF_FILE);
  ASSERT_GT(playback.items.size(), 1u);  // the stream, then its frames
  uint32_t previous = 0;
  for (size_t n = 1; n < playback.items.size(); ++n) {
    const Played& item = playback.items[n];
    EXPECT_GT(item.frame.frameId, previous);
    EXPECT_EQ(item.data, FrameBytes(0, item.frame.frameId, kFrameSize));
    previous = item.frame.frameId;
  }
  if (!background) {
    EXPECT_EQ(playback.items.size(), size_t(frames) + 1);
    EXPECT_EQ(previous, uint32_t(frames));
  }
}

// A recorder killed at many points while its encoders are busy: every frame it
// was told is in the file (AppendFrame said kWritten, or TotalFrames counted
// it, or a Flush returned) is in the file, intact and in order.
TEST_F(RecordingTest, KilledWhileBackgroundEncodingKeepsEveryAcknowledgedFrame) {
  constexpr uint32_t kPairs = 600;  // bounds a child that is never killed
  constexpr uint32_t kDepthBytes = 160 * 120 * 2;
  for (uint32_t run = 0; run < 10; ++run) {
    SCOPED_TRACE(run);
    const std::string path = Path("killed.rec");
    int acks[2];
    ASSERT_EQ(pipe(acks), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      close(acks[0]);
      RecordingWriter writer;
      writer.EncodeInBackground(true);
      uint32_t depth = 0;
      uint32_t image = 0;
      if (writer.Open(path.c_str(), {}) != KR_STATUS_OK ||
          writer.AddStream({0, "Depth", "Depth", Compression::kDepth, {{"Depth", "XRes", Value::Int(160)}}}, &depth) !=
              KR_STATUS_OK ||
          writer.AddStream({0, "Image", "Image", Compression::kZstd, {}}, &image) != KR_STATUS_OK) {
        _exit(2);
      }
      uint64_t appended = 0;
      for (uint32_t n = 1; n <= kPairs; ++n) {
        RecordingWriter::Landed landed = RecordingWriter::Landed::kQueued;
        for (uint32_t id : {depth, image}) {
          const std::vector<uint8_t> data = FrameBytes(id, n, id == depth ? kDepthBytes : kDepthBytes / 2);
          if (writer.AppendFrame({id, n, n * 1000ull, uint32_t(data.size())}, data.data(), &landed) != KR_STATUS_OK) {
            _exit(3);
          }
          ++appended;
        }
        if (n % 16 == 0 && writer.Flush(false) != KR_STATUS_OK) _exit(4);
        const uint64_t ack =
            n % 16 == 0 || landed == RecordingWriter::Landed::kWritten ? appended : writer.TotalFrames();
        if (write(acks[1], &ack, sizeof(ack)) != sizeof(ack)) _exit(5);
      }
      _exit(0);
    }
    close(acks[1]);
    // Killed after a number of acknowledgements that differs from run to run.
    const uint32_t killAfter = 3 + run * 23;
    uint64_t acknowledged = 0;
    uint64_t ack = 0;
    for (uint32_t seen = 0; seen < killAfter && read(acks[0], &ack, sizeof(ack)) == sizeof(ack); ++seen) {
      acknowledged = std::max(acknowledged, ack);
    }
    kill(child, SIGKILL);
    while (read(acks[0], &ack, sizeof(ack)) == sizeof(ack)) acknowledged = std::max(acknowledged, ack);
    close(acks[0]);
    int wait = 0;
    ASSERT_EQ(waitpid(child, &wait, 0), child);
    ASSERT_TRUE(WIFSIGNALED(wait) || (WIFEXITED(wait) && WEXITSTATUS(wait) == 0)) << "the child failed";

    RecordingReader reader;
    ASSERT_EQ(reader.Open(path.c_str()), KR_STATUS_OK);
    const Playback playback = PlayAll(reader);
    EXPECT_EQ(playback.corrupt, 0);
    uint64_t frames = 0;
    for (const Played& item : playback.items) {
      if (item.kind != Item::Kind::kFrame) continue;
      // In the order appended: depth n, image n, depth n + 1, ...
      const uint32_t n = uint32_t(frames / 2 + 1);
      const uint32_t id = uint32_t(frames % 2);
      ASSERT_EQ(item.frame.streamId, id);
      ASSERT_EQ(item.frame.frameId, n);
      ASSERT_EQ(item.data, FrameBytes(id, n, id == 0 ? kDepthBytes : kDepthBytes / 2));
      ++frames;
    }
    EXPECT_GE(frames, acknowledged) << "frames acknowledged as written are missing";
  }
}

// Frames queued while the disk is full are all lost; none silently. The first
// lost frame is named with a count of the queued frames lost after it, and
// the call that reports the loss still takes its own frame, so the frames
// appended are exactly those in the file plus those the reports count.
// What a failure names, as the tool and the File device's "WriteFailure" show it.
TEST(WriteFailureTest, DescribesTheFrameAndTheQueuedFramesLostAfterIt) {
  using What = RecordingWriter::WriteFailure::What;
  const struct {
    RecordingWriter::WriteFailure failure;
    const char* text;
  } cases[] = {
      {{What::kFrame, 0, "Depth", 3, 3, 0}, "frame 3 of stream Depth"},
      {{What::kFrame, 0, "Depth", 3, 7, 0}, "frame 3 (id 7) of stream Depth"},
      {{What::kFrame, 0, "Image", 6, 6, 1}, "frame 6 of stream Image and 1 queued frame after it"},
      {{What::kFrame, 0, "Image", 6, 6, 2}, "frame 6 of stream Image and 2 queued frames after it"},
      {{What::kIndex, 0, "", 0, 0, 0}, "the index"},
      {{What::kNone, 0, "", 0, 0, 0}, ""},
  };
  for (const auto& each : cases) EXPECT_EQ(each.failure.Describe(), each.text);
}

TEST_F(RecordingTest, EveryFrameLostInTheBackgroundIsCounted) {
  const std::string path = Path("lost.rec");
  constexpr uint32_t kFrames = 60;
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(report[0]);
    const rlimit unlimited = LimitFileSize(8192);
    RecordingWriter writer;
    writer.EncodeInBackground(true);
    uint32_t id = 0;
    if (writer.Open(path.c_str(), {}) != KR_STATUS_OK ||
        writer.AddStream({0, "Depth", "Depth", Compression::kZstd, {}}, &id) != KR_STATUS_OK) {
      _exit(2);
    }
    uint64_t counted = 0;  // frames the failures name or count
    auto countLoss = [&](KrStatus status) {
      const RecordingWriter::WriteFailure& lost = writer.LastFailure();
      if (status != KR_STATUS_TL_FILE_WRITE_FAILED || lost.what != RecordingWriter::WriteFailure::What::kFrame ||
          lost.error != EFBIG) {
        _exit(3);
      }
      counted += 1 + lost.alsoLost;
    };
    for (uint32_t n = 1; n <= kFrames; ++n) {
      const std::vector<uint8_t> data = FrameBytes(id, n, kFrameSize);
      RecordingWriter::Landed landed = RecordingWriter::Landed::kWritten;
      const KrStatus status = writer.AppendFrame({id, n, n * 10ull, kFrameSize}, data.data(), &landed);
      // Queued whether or not the call reports an earlier loss.
      if (writer.FramesTaken(id) != n || landed != RecordingWriter::Landed::kQueued) _exit(4);
      if (status != KR_STATUS_OK) countLoss(status);
    }
    const KrStatus flushed = writer.Flush(false);
    if (flushed != KR_STATUS_OK) countLoss(flushed);
    setrlimit(RLIMIT_FSIZE, &unlimited);
    if (writer.Close() != KR_STATUS_OK) _exit(5);
    if (write(report[1], &counted, sizeof(counted)) != sizeof(counted)) _exit(6);
    _exit(0);
  }
  close(report[1]);
  uint64_t counted = 0;
  const bool reported = read(report[0], &counted, sizeof(counted)) == sizeof(counted);
  close(report[0]);
  int wait = 0;
  ASSERT_EQ(waitpid(child, &wait, 0), child);
  ASSERT_TRUE(WIFEXITED(wait) && WEXITSTATUS(wait) == 0) << "child status " << wait;
  ASSERT_TRUE(reported);

  RecordingReader reader;
  ASSERT_EQ(reader.Open(path.c_str()), KR_STATUS_OK);
  const Playback playback = PlayAll(reader);
  EXPECT_EQ(playback.corrupt, 0);
  uint64_t played = 0;
  uint32_t previous = 0;
  for (const Played& item : playback.items) {
    if (item.kind != Item::Kind::kFrame) continue;
    EXPECT_GT(item.frame.frameId, previous);
    EXPECT_EQ(item.data, FrameBytes(0, item.frame.frameId, kFrameSize));
    previous = item.frame.frameId;
    ++played;
  }
  EXPECT_GT(counted, 0u) << "the limit was never reached";
  EXPECT_EQ(played + counted, kFrames) << played << " frames in the file, " << counted << " reported lost";
}

INSTANTIATE_TEST_SUITE_P(InlineAndBackground, RecordingDiskFull, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Background" : "Inline"; });

}  // namespace
}  // namespace tollan::recording::testing
