// Seeking and telling, through the index and scanned (the same recording without its index) alike.
#include "RecordingTestSupport.h"
#include <unistd.h>

#include <utility>

namespace tollan::recording::testing {
namespace {

constexpr uint32_t kDepth = 0;
constexpr uint32_t kImage = 1;
constexpr uint64_t kPeriod = 33333;
constexpr uint32_t kFrames = 10;

class RecordingSeek : public RecordingTest, public ::testing::WithParamInterface<bool> {
 protected:
  // Depth frame n (0-based) at n * kPeriod, image 1 ms later; a property change after depth frames 2 and 6.
  void SetUp() override {
    RecordingTest::SetUp();
    const std::string path = Path("timeline.rec");
    RecordingWriter writer;
    ASSERT_EQ(writer.Open(path.c_str(), {}), KR_STATUS_OK);
    ASSERT_EQ(writer.AddStream({0, "Depth", "Depth", Compression::kNone, {}}, nullptr), KR_STATUS_OK);
    ASSERT_EQ(writer.AddStream({0, "Image", "Image", Compression::kNone, {}}, nullptr), KR_STATUS_OK);
    for (uint32_t n = 0; n < kFrames; ++n) {
      const std::vector<uint8_t> data = FrameBytes(kDepth, n, 8);
      ASSERT_EQ(writer.AppendFrame({kDepth, n + 1, n * kPeriod, 8}, data.data(), nullptr), KR_STATUS_OK);
      if (n == 2 || n == 6) {
        ASSERT_EQ(writer.AppendPropertyChange({"Depth", "Mirror", Value::Int(n)}), KR_STATUS_OK);
      }
      ASSERT_EQ(writer.AppendFrame({kImage, n + 1, n * kPeriod + 1000, 8}, data.data(), nullptr), KR_STATUS_OK);
    }
    const uint64_t withoutIndex = writer.Size();
    ASSERT_EQ(writer.Close(), KR_STATUS_OK);
    if (!GetParam()) {
      ASSERT_EQ(truncate(path.c_str(), off_t(withoutIndex)), 0);
    }
    ASSERT_EQ(reader_.Open(path.c_str()), KR_STATUS_OK);
    ASSERT_EQ(reader_.Report().Scanned(), !GetParam());
  }

  std::pair<uint32_t, uint32_t> NextFrame() {
    Item item;
    while (reader_.Next(&item) == KR_STATUS_OK) {
      if (item.kind == Item::Kind::kFrame) return {item.frame.streamId, item.frame.frameId};
    }
    return {};
  }

  RecordingReader reader_;
};

TEST_P(RecordingSeek, SeeksGoToThatFrameOrTheNearestEarlierOneWithTheChangesBeforeIt) {
  ASSERT_EQ(reader_.SeekFrame(kDepth, 4), KR_STATUS_OK);
  EXPECT_EQ(reader_.TellFrame(kDepth), 4u);
  EXPECT_EQ(reader_.TellTime(), 4 * kPeriod);
  // The changes a player re-applies: the one after depth frame 2.
  ASSERT_EQ(reader_.ChangesBeforeCursor().size(), 1u);
  EXPECT_EQ(reader_.ChangesBeforeCursor()[0]->property.value, Value::Int(2));
  EXPECT_EQ(NextFrame(), std::make_pair(kDepth, 5u));
  EXPECT_EQ(reader_.TellFrame(kDepth), 5u);
  EXPECT_EQ(reader_.TellFrame(kImage), 4u);  // the image frame of that round is next
  ASSERT_EQ(reader_.SeekFrame(kImage, 9), KR_STATUS_OK);
  EXPECT_EQ(reader_.ChangesBeforeCursor().size(), 2u);
  ASSERT_EQ(reader_.SeekFrame(kImage, 0), KR_STATUS_OK);
  EXPECT_TRUE(reader_.ChangesBeforeCursor().empty());
  EXPECT_EQ(NextFrame(), std::make_pair(kImage, 1u));
  // Beyond the stream, or an unknown stream: refused, cursor kept.
  EXPECT_EQ(reader_.SeekFrame(kImage, kFrames), KR_STATUS_TL_FRAME_NOT_FOUND);
  EXPECT_EQ(reader_.SeekFrame(9, 0), KR_STATUS_TL_FRAME_NOT_FOUND);
  EXPECT_EQ(reader_.TellFrame(kImage), 1u);
  const struct {
    const char* what;
    uint64_t time;
    uint32_t expectedFrameId;  // of the depth stream
  } cases[] = {
      {"exact time", 3 * kPeriod, 4},
      {"between two frames", 3 * kPeriod + kPeriod / 2, 4},
      {"just before a frame", 5 * kPeriod - 1, 5},
      {"before the first frame", 0, 1},
      {"after the last frame", 100 * kPeriod, kFrames},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(reader_.SeekTime(kDepth, c.time), KR_STATUS_OK);
    EXPECT_EQ(NextFrame(), std::make_pair(kDepth, c.expectedFrameId));
  }
  // All streams, just after depth frame 3: image resumes at its frame 2, recorded before depth frame 3.
  ASSERT_EQ(reader_.SeekTime(RecordingReader::kAllStreams, 3 * kPeriod + 500), KR_STATUS_OK);
  EXPECT_EQ(reader_.TellFrame(kImage), 2u);
  EXPECT_EQ(reader_.TellFrame(kDepth), 3u);
  EXPECT_EQ(reader_.TellTime(), 2 * kPeriod + 1000);
  EXPECT_EQ(NextFrame(), std::make_pair(kImage, 3u));
  EXPECT_EQ(NextFrame(), std::make_pair(kDepth, 4u));
  Item item;  // at the end, tell gives the last frame
  while (reader_.Next(&item) == KR_STATUS_OK) {
  }
  EXPECT_EQ(reader_.TellFrame(kDepth), kFrames);
  EXPECT_EQ(reader_.TellTime(), (kFrames - 1) * kPeriod + 1000);
}

INSTANTIATE_TEST_SUITE_P(IndexedAndScanned, RecordingSeek, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Indexed" : "Scanned"; });

}  // namespace
}  // namespace tollan::recording::testing
