// Recordings play back what was written: frames byte for byte with their
// times and ids, device and stream properties, and property changes and
// stream changes at their place.
#include "RecordingTestSupport.h"

namespace tollan {
namespace recording {
namespace testing {
namespace {

class RecordingRoundTrip : public RecordingTest {};

// The sample raw, and with every codec: each compressed frame stored
// smaller (but the empty one), all played back exact.
class RecordingSample : public RecordingTest, public ::testing::WithParamInterface<bool> {};

TEST_P(RecordingSample, FramesOfEveryStreamKindComeBackByteForByte) {
  const bool compressed = GetParam();
  const std::string path = Path("sample.rec");
  WriteSample(path, compressed);
  ASSERT_EQ(LoadBytes(path)[8], kFormatVersion);

  RecordingReader reader;
  ASSERT_EQ(reader.Open(path.c_str()), KR_STATUS_OK);
  EXPECT_FALSE(reader.Report().Scanned());
  EXPECT_EQ(reader.DeviceProperties(), SampleDeviceProperties());
  ASSERT_EQ(reader.Streams().size(), 4u);
  for (uint32_t id = 0; id < 4; ++id) {
    const StreamDefinition& stream = reader.Streams()[id];
    EXPECT_EQ(stream.id, id);
    EXPECT_EQ(stream.name, kSampleStreams[id].name);
    EXPECT_EQ(stream.type, kSampleStreams[id].type);
    EXPECT_EQ(stream.compression, compressed ? kCodecs[id] : Compression::kNone);
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
    if (played.kind != Item::Kind::kFrame) {
      continue;
    }
    // Written in rounds: streams 0 to 3 of frame 1, then of frame 2, ...
    const uint32_t id = frames % 4;
    const uint32_t frameId = frames / 4 + 1;
    SCOPED_TRACE(std::string(kSampleStreams[id].name) + " frame " + std::to_string(frameId));
    EXPECT_EQ(played.frame.streamId, id);
    EXPECT_EQ(played.frame.frameId, frameId);
    EXPECT_EQ(played.frame.timestamp, frameId * 33333ull + id);
    EXPECT_EQ(played.data, SampleFrame(compressed, id, frameId));
    if (compressed && !played.data.empty()) {
      EXPECT_EQ(uint32_t(played.encoding), uint32_t(kCodecs[id]));
      EXPECT_LT(played.storedSize, played.frame.size);
    } else {
      EXPECT_EQ(played.encoding, FrameEncoding::kRaw);
    }
    ++frames;
  }
  EXPECT_EQ(frames, 12u);
  // Reading on at the end keeps saying so.
  Item item;
  EXPECT_EQ(reader.Next(&item), KR_STATUS_TL_END_OF_FILE);
  // A buffer smaller than the frame is refused, not overrun.
  ASSERT_EQ(reader.SeekFrame(0, 0), KR_STATUS_OK);
  ASSERT_EQ(reader.Next(&item), KR_STATUS_OK);
  std::vector<uint8_t> small(item.frame.size - 1);
  EXPECT_EQ(reader.ReadFrameData(small.data(), uint32_t(small.size())), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
}

INSTANTIATE_TEST_SUITE_P(RawAndCompressed, RecordingSample, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) { return info.param ? "Compressed" : "Raw"; });

TEST_F(RecordingRoundTrip, PropertyChangesAndStreamChangesReplayAtTheirPlace) {
  const std::string path = Path("changes.rec");
  {
    RecordingWriter writer;
    ASSERT_EQ(writer.Open(path.c_str(), {}), KR_STATUS_OK);
    uint32_t depth = 0;
    uint32_t audio = 0;
    ASSERT_EQ(writer.AddStream({0, "Depth", "Depth", Compression::kNone, {}}, &depth), KR_STATUS_OK);
    ASSERT_EQ(writer.AppendPropertyChange({"Depth", "Resolution", Value::Int(2)}), KR_STATUS_OK);
    const std::vector<uint8_t> data = FrameBytes(0, 1, 16);
    ASSERT_EQ(writer.AppendFrame({depth, 1, 100, 16}, data.data()), KR_STATUS_OK);
    ASSERT_EQ(writer.AddStream({0, "Audio", "Audio", Compression::kNone, {}}, &audio), KR_STATUS_OK);
    ASSERT_EQ(writer.AppendFrame({audio, 1, 150, 16}, data.data()), KR_STATUS_OK);
    ASSERT_EQ(writer.AppendPropertyChange({"Device", "Gain", Value::Real(0.5)}), KR_STATUS_OK);
    ASSERT_EQ(writer.RemoveStream(audio), KR_STATUS_OK);
    ASSERT_EQ(writer.AppendFrame({depth, 2, 200, 16}, data.data()), KR_STATUS_OK);
    ASSERT_EQ(writer.Close(), KR_STATUS_OK);
  }

  RecordingReader reader;
  ASSERT_EQ(reader.Open(path.c_str()), KR_STATUS_OK);
  const Playback playback = PlayAll(reader);
  using Kind = Item::Kind;
  const std::vector<std::pair<Kind, uint32_t>> expected = {
      {Kind::kStreamAdded, 0}, {Kind::kPropertyChange, 0}, {Kind::kFrame, 0},         {Kind::kStreamAdded, 1},
      {Kind::kFrame, 1},       {Kind::kPropertyChange, 0}, {Kind::kStreamRemoved, 1}, {Kind::kFrame, 0}};
  ASSERT_EQ(playback.items.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) {
    EXPECT_EQ(playback.items[i].kind, expected[i].first) << "step " << i;
    EXPECT_EQ(playback.items[i].streamId, expected[i].second) << "step " << i;
  }
  // Each change knows where it was made: after how many frames, at what time.
  const PropertyChange& first = playback.items[1].change;
  EXPECT_EQ(first.property, (Property{"Depth", "Resolution", Value::Int(2)}));
  EXPECT_EQ(first.framesBefore, 0u);
  const PropertyChange& second = playback.items[5].change;
  EXPECT_EQ(second.property, (Property{"Device", "Gain", Value::Real(0.5)}));
  EXPECT_EQ(second.framesBefore, 2u);
  EXPECT_EQ(second.timestamp, 150u);
  EXPECT_EQ(reader.PropertyChanges().size(), 2u);
}

TEST_F(RecordingRoundTrip, WriterRefusesWhatTheFormatCannotCarry) {
  const std::string path = Path("refused.rec");
  RecordingWriter writer;
  const std::string longName(KR_MAX_NAME_LENGTH, 'x');
  // Names and texts must fit the kit's 200-character buffers.
  EXPECT_EQ(writer.Open(path.c_str(), {{longName, "P", Value::Int(1)}}), KR_STATUS_OS_BAD_ARGUMENT);
  EXPECT_FALSE(writer.IsOpen());
  ASSERT_EQ(writer.Open(path.c_str(), {}), KR_STATUS_OK);
  uint32_t id = 0;
  EXPECT_EQ(writer.AddStream({0, "", "Depth", Compression::kNone, {}}, &id), KR_STATUS_OS_BAD_ARGUMENT);
  ASSERT_EQ(writer.AddStream({0, "Depth", "Depth", Compression::kNone, {}}, &id), KR_STATUS_OK);
  EXPECT_EQ(writer.AddStream({0, "Depth", "Depth", Compression::kNone, {}}, &id), KR_STATUS_TL_STREAM_ALREADY_EXISTS);
  EXPECT_EQ(writer.AppendPropertyChange({"Device", "Name", Value::String(longName.c_str())}),
            KR_STATUS_OS_BAD_ARGUMENT);
  const uint8_t byte = 0;
  EXPECT_EQ(writer.AppendFrame({7, 1, 0, 1}, &byte), KR_STATUS_TL_STREAM_NOT_FOUND);
  EXPECT_EQ(writer.AppendFrame({id, 1, 0, 1}, nullptr), KR_STATUS_OS_NULL_POINTER);
  ASSERT_EQ(writer.RemoveStream(id), KR_STATUS_OK);
  EXPECT_EQ(writer.AppendFrame({id, 1, 0, 1}, &byte), KR_STATUS_TL_STREAM_NOT_FOUND);
  EXPECT_EQ(writer.RemoveStream(id), KR_STATUS_TL_STREAM_NOT_FOUND);
  // A removed stream's name can be used again, under a new id.
  uint32_t again = 0;
  ASSERT_EQ(writer.AddStream({0, "Depth", "Depth", Compression::kNone, {}}, &again), KR_STATUS_OK);
  EXPECT_EQ(again, 1u);
  EXPECT_EQ(writer.Close(), KR_STATUS_OK);
  EXPECT_EQ(writer.AppendFrame({again, 1, 0, 1}, &byte), KR_STATUS_TL_WRONG_MODE);
}

}  // namespace
}  // namespace testing
}  // namespace recording
}  // namespace tollan
