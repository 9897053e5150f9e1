// Recordings play back what was written, and cut or damaged anywhere play only what was written.
#include "RecordingTestSupport.h"

#include <filesystem>

namespace tollan::recording::testing {
namespace {

class RecordingSample : public RecordingTest, public ::testing::WithParamInterface<bool> {
 protected:
  void SetUp() override {
    RecordingTest::SetUp();
    const std::string path = Path("sample.rec");
    WriteSample(path, GetParam());
    sample_ = LoadBytes(path);
    full_ = PlayFile(path).items;
  }

  // Offset of the index chunk, from the trailer.
  uint64_t IndexOffset() const {
    uint64_t offset = 0;
    for (int i = 7; i >= 0; --i) offset = offset << 8 | sample_[sample_.size() - kTrailerPayloadSize + size_t(i)];
    return offset;
  }

  std::vector<uint8_t> sample_;
  std::vector<Played> full_;
};

TEST_P(RecordingSample, FramesOfEveryStreamKindComeBackByteForByte) {
  const bool compressed = GetParam();
  ASSERT_EQ(sample_[8], kFormatVersion);
  RecordingReader reader;
  ASSERT_EQ(reader.Open(Path("sample.rec").c_str()), KR_STATUS_OK);
  EXPECT_FALSE(reader.Report().Scanned());
  EXPECT_EQ(reader.DeviceProperties(), SampleDeviceProperties());
  ASSERT_EQ(reader.Streams().size(), 4u);
  for (uint32_t id = 0; id < 4; ++id) {
    const StreamDefinition& stream = reader.Streams()[id];
    EXPECT_EQ(stream.id, id);
    EXPECT_EQ(stream.name, kSampleStreams[id].name);
    EXPECT_EQ(stream.type, kSampleStreams[id].name);
    EXPECT_EQ(stream.compression, compressed ? kSampleStreams[id].codec : Compression::kNone);
    ASSERT_EQ(stream.properties.size(), 2u);
    EXPECT_EQ(stream.properties[0].value, Value::Int(kSampleStreams[id].outputFormat));
    EXPECT_EQ(reader.FrameCount(id), 3u);
  }
  EXPECT_EQ(reader.TotalFrames(), 12u);
  const Playback playback = PlayAll(reader);
  EXPECT_EQ(playback.corrupt, 0);
  EXPECT_EQ(playback.end, KR_STATUS_TL_END_OF_FILE);
  uint32_t frames = 0;
  for (const Played& played : playback.items) {
    if (played.kind != Item::Kind::kFrame) continue;
    const uint32_t id = frames % 4;
    const uint32_t frameId = frames / 4 + 1;
    SCOPED_TRACE(std::string(kSampleStreams[id].name) + " frame " + std::to_string(frameId));
    EXPECT_EQ(played.frame.streamId, id);
    EXPECT_EQ(played.frame.frameId, frameId);
    EXPECT_EQ(played.frame.timestamp, frameId * 33333ull + id);
    EXPECT_EQ(played.data, SampleFrame(compressed, id, frameId));
    if (compressed && !played.data.empty()) {
      EXPECT_EQ(uint32_t(played.encoding), uint32_t(kSampleStreams[id].codec));
      EXPECT_LT(played.storedSize, played.frame.size);
    } else {
      EXPECT_EQ(played.encoding, FrameEncoding::kRaw);
    }
    ++frames;
  }
  EXPECT_EQ(frames, 12u);
  Item item;  // reading on at the end keeps saying so
  EXPECT_EQ(reader.Next(&item), KR_STATUS_TL_END_OF_FILE);
  // A buffer smaller than the frame is refused, not overrun.
  ASSERT_EQ(reader.SeekFrame(0, 0), KR_STATUS_OK);
  ASSERT_EQ(reader.Next(&item), KR_STATUS_OK);
  std::vector<uint8_t> small(item.frame.size - 1);
  EXPECT_EQ(reader.ReadFrameData(small.data(), uint32_t(small.size())), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
}

// Cut at any offset: a prefix of the whole plays (cut before the index, all). A bit flipped: refused at open (file
// header) or reported when reached, and what plays is exactly what was recorded.
TEST_P(RecordingSample, TruncationOrBitFlipAnywherePlaysOnlyWhatWasRecorded) {
  const std::string path = Path("damaged.rec");
  size_t longest = 0;
  for (size_t offset = 0; offset < sample_.size(); ++offset) {
    SCOPED_TRACE("at " + std::to_string(offset));
    SaveBytes(path, sample_.data(), offset);
    RecordingReader reader;
    KrStatus status = reader.Open(path.c_str());
    if (offset < kFileHeaderSize) {
      ASSERT_EQ(status, offset < sizeof(kMagic) ? KR_STATUS_TL_NOT_A_RECORDING : KR_STATUS_TL_FILE_CORRUPT);
    } else {
      ASSERT_EQ(status, KR_STATUS_OK);
      EXPECT_TRUE(reader.Report().Scanned());
      const Playback playback = PlayAll(reader);
      ASSERT_EQ(playback.corrupt, 0);
      ASSERT_EQ(playback.end, KR_STATUS_TL_END_OF_FILE);
      ASSERT_LE(playback.items.size(), full_.size());
      ASSERT_TRUE(std::equal(playback.items.begin(), playback.items.end(), full_.begin()));
      ASSERT_GE(playback.items.size(), longest);  // a longer file never plays less
      longest = playback.items.size();
      if (offset == IndexOffset()) {
        EXPECT_EQ(reader.Report().source, OpenReport::Source::kScanNoIndex);
        EXPECT_EQ(reader.Report().usableBytes, offset);
        EXPECT_EQ(reader.DeviceProperties(), SampleDeviceProperties());
        EXPECT_EQ(playback.items.size(), full_.size());
      }
    }
    std::vector<uint8_t> flipped = sample_;
    flipped[offset] ^= uint8_t(1u << (offset % 8));
    SaveBytes(path, flipped.data(), flipped.size());
    status = reader.Open(path.c_str());
    if (offset < kFileHeaderSize) {
      ASSERT_TRUE(status == KR_STATUS_TL_NOT_A_RECORDING || status == KR_STATUS_TL_FILE_CORRUPT ||
                  status == KR_STATUS_TL_FILE_VERSION_UNSUPPORTED)
          << std::hex << status;
      continue;
    }
    ASSERT_EQ(status, KR_STATUS_OK);
    const Playback playback = PlayAll(reader);
    ASSERT_EQ(playback.end, KR_STATUS_TL_END_OF_FILE);
    size_t next = 0;  // what played is a subsequence of the whole
    for (const Played& played : playback.items) {
      while (next < full_.size() && !(full_[next] == played)) ++next;
      ASSERT_LT(next++, full_.size());
    }
    if (offset >= IndexOffset()) {
      // Damage to the index or trailer costs speed, never data.
      ASSERT_TRUE(reader.Report().Scanned());
      ASSERT_EQ(playback.items, full_);
    } else {
      // Damaged device properties lose no playback step, but are reported.
      ASSERT_GE(playback.corrupt, 1);
    }
  }
}

// Without frame checks a raw frame plays as it is; the codec still refuses a compressed one it cannot read.
TEST_P(RecordingSample, DamagedFrameIsReportedAndPlaybackGoesOn) {
  std::vector<uint8_t> damaged = sample_;
  if (GetParam()) {
    // The depth codec's header: version, flags, width 32, 768 pixels.
    const uint8_t head[] = {32, 0, 0x00, 0x03, 0, 0};
    const auto at = std::search(damaged.begin(), damaged.end(), std::begin(head), std::end(head));
    ASSERT_NE(at, damaged.end());
    ASSERT_EQ(*(at - 2), 1);
    *(at - 2) = 9;
  } else {
    const std::vector<uint8_t> depth1 = FrameBytes(0, 1, kSampleStreams[0].rawSize);
    const auto at = std::search(damaged.begin(), damaged.end(), depth1.begin(), depth1.end());
    ASSERT_NE(at, damaged.end());
    *(at + 10) ^= 0x40;
  }
  const std::string path = Path("frame.rec");
  const struct {
    const char* what;
    bool indexed;
    bool checked;
    int corrupt;
  } cases[] = {{"indexed", true, true, 1}, {"scanned", false, true, 1}, {"unchecked", true, false, GetParam() ? 1 : 0}};
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

INSTANTIATE_TEST_SUITE_P(RawAndCompressed, RecordingSample, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Compressed" : "Raw"; });

TEST_F(RecordingTest, ChangesReplayAtTheirPlaceAndTheWriterRefusesWhatTheFormatCannotCarry) {
  const std::string path = Path("changes.rec");
  RecordingWriter writer;
  ASSERT_EQ(writer.Open(path.c_str(), {}), KR_STATUS_OK);
  uint32_t depth = 0;
  uint32_t audio = 0;
  ASSERT_EQ(writer.AddStream({0, "Depth", "Depth", Compression::kNone, {}}, &depth), KR_STATUS_OK);
  ASSERT_EQ(writer.AppendPropertyChange({"Depth", "Resolution", Value::Int(2)}), KR_STATUS_OK);
  const std::vector<uint8_t> data = FrameBytes(0, 1, 16);
  ASSERT_EQ(writer.AppendFrame({depth, 1, 100, 16}, data.data(), nullptr), KR_STATUS_OK);
  ASSERT_EQ(writer.AddStream({0, "Audio", "Audio", Compression::kNone, {}}, &audio), KR_STATUS_OK);
  ASSERT_EQ(writer.AppendFrame({audio, 1, 150, 16}, data.data(), nullptr), KR_STATUS_OK);
  ASSERT_EQ(writer.AppendPropertyChange({"Device", "Gain", Value::Real(0.5)}), KR_STATUS_OK);
  ASSERT_EQ(writer.RemoveStream(audio), KR_STATUS_OK);
  ASSERT_EQ(writer.AppendFrame({depth, 2, 200, 16}, data.data(), nullptr), KR_STATUS_OK);
  std::filesystem::copy_file(path, Path("copy.rec"));
  ASSERT_EQ(writer.Close(), KR_STATUS_OK);
  RecordingReader reader;
  ASSERT_EQ(reader.Open(path.c_str()), KR_STATUS_OK);
  const Playback playback = PlayAll(reader);
  using Kind = Item::Kind;
  const std::vector<std::pair<Kind, uint32_t>> expected = {
      {Kind::kStreamAdded, 0}, {Kind::kPropertyChange, 0}, {Kind::kFrame, 0},         {Kind::kStreamAdded, 1},
      {Kind::kFrame, 1},       {Kind::kPropertyChange, 0}, {Kind::kStreamRemoved, 1}, {Kind::kFrame, 0}};
  std::vector<std::pair<Kind, uint32_t>> steps;
  for (const Played& step : playback.items) steps.emplace_back(step.kind, step.streamId);
  ASSERT_EQ(steps, expected);
  const PropertyChange& first = playback.items[1].change;
  EXPECT_EQ(first.property, (Property{"Depth", "Resolution", Value::Int(2)}));
  EXPECT_EQ(first.framesBefore, 0u);
  const PropertyChange& second = playback.items[5].change;
  EXPECT_EQ(second.property, (Property{"Device", "Gain", Value::Real(0.5)}));
  EXPECT_EQ(second.framesBefore, 2u);
  EXPECT_EQ(second.timestamp, 150u);
  EXPECT_EQ(reader.PropertyChanges().size(), 2u);
  RecordingReader copy;  // a copy taken while recording plays what was written by then
  ASSERT_EQ(copy.Open(Path("copy.rec").c_str()), KR_STATUS_OK);
  EXPECT_TRUE(copy.Report().Scanned());
  EXPECT_EQ(copy.FrameCount(depth), 2u);
  EXPECT_EQ(PlayAll(copy).items, playback.items);
  const std::string refused = Path("refused.rec");
  RecordingWriter refusing;
  EXPECT_EQ(refusing.Open("/dev/full", SampleDeviceProperties()), KR_STATUS_TL_FILE_WRITE_FAILED);
  EXPECT_FALSE(refusing.IsOpen());
  EXPECT_EQ(refusing.Open(Path("no/such/dir.rec").c_str(), {}), KR_STATUS_TL_FILE_OPEN_FAILED);
  const std::string longName(KR_MAX_NAME_LENGTH, 'x');  // names and texts must fit the kit's buffers
  EXPECT_EQ(refusing.Open(refused.c_str(), {{longName, "P", Value::Int(1)}}), KR_STATUS_OS_BAD_ARGUMENT);
  EXPECT_FALSE(refusing.IsOpen());
  ASSERT_EQ(refusing.Open(refused.c_str(), {}), KR_STATUS_OK);
  uint32_t id = 0;
  EXPECT_EQ(refusing.AddStream({0, "", "Depth", Compression::kNone, {}}, &id), KR_STATUS_OS_BAD_ARGUMENT);
  ASSERT_EQ(refusing.AddStream({0, "Depth", "Depth", Compression::kNone, {}}, &id), KR_STATUS_OK);
  EXPECT_EQ(refusing.AddStream({0, "Depth", "Depth", Compression::kNone, {}}, &id), KR_STATUS_TL_STREAM_ALREADY_EXISTS);
  EXPECT_EQ(refusing.AppendPropertyChange({"Device", "Name", Value::String(longName.c_str())}),
            KR_STATUS_OS_BAD_ARGUMENT);
  const uint8_t byte = 0;
  EXPECT_EQ(refusing.AppendFrame({7, 1, 0, 1}, &byte, nullptr), KR_STATUS_TL_STREAM_NOT_FOUND);
  EXPECT_EQ(refusing.AppendFrame({id, 1, 0, 1}, nullptr, nullptr), KR_STATUS_OS_NULL_POINTER);
  ASSERT_EQ(refusing.RemoveStream(id), KR_STATUS_OK);
  EXPECT_EQ(refusing.AppendFrame({id, 1, 0, 1}, &byte, nullptr), KR_STATUS_TL_STREAM_NOT_FOUND);
  EXPECT_EQ(refusing.RemoveStream(id), KR_STATUS_TL_STREAM_NOT_FOUND);
  // A removed stream's name can be used again, under a new id.
  uint32_t again = 0;
  ASSERT_EQ(refusing.AddStream({0, "Depth", "Depth", Compression::kNone, {}}, &again), KR_STATUS_OK);
  EXPECT_EQ(again, 1u);
  EXPECT_EQ(refusing.Close(), KR_STATUS_OK);
  EXPECT_EQ(refusing.AppendFrame({again, 1, 0, 1}, &byte, nullptr), KR_STATUS_TL_WRONG_MODE);
  RecordingReader empty;  // a recording without frames has none to seek to
  ASSERT_EQ(empty.Open(refused.c_str()), KR_STATUS_OK);
  EXPECT_EQ(empty.SeekTime(RecordingReader::kAllStreams, 0), KR_STATUS_TL_FRAME_NOT_FOUND);
  EXPECT_EQ(empty.SeekFrame(again, 0), KR_STATUS_TL_FRAME_NOT_FOUND);
  EXPECT_EQ(empty.TellTime(), 0u);
}

}  // namespace
}  // namespace tollan::recording::testing
