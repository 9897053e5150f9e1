// "ovalith play --verify" over damaged copies of one small recording: cut
// at every chunk boundary and one byte either side, and a few hundred
// seeded byte flips. For every copy the program must end normally (no
// crash, no sanitizer report), print the frame counts the engine's reader
// delivers, and never pass the copy as verified: its bytes differ from the
// complete recording.
#include "ToolRun.h"

#include <random>

namespace tool_test {
namespace {

constexpr int kFlips = 200;

class ToolCorruptionSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    // Small frames keep each run short: 320x240 depth and image.
    folder.Write("Tollan.ini", "[Tollan]\nPaced = 0\n[SensorV2.0]\nDepth.Resolution = 0\nImage.Resolution = 0\n");
    ASSERT_EQ(folder.Run({"record", "clip.rec", "--frames", "3"}).exitCode, 0);
    clip = folder.Read("clip.rec");
    const RunResult intact = folder.Run({"play", "clip.rec", "--verify"});
    ASSERT_EQ(intact.exitCode, 0) << intact.out;
  }

  // Plays the copy and checks it; false stops the sweep at the first fault.
  bool Check(const std::string& bytes, const std::string& what) {
    SCOPED_TRACE(what);
    folder.Write("copy.rec", bytes);
    const RunResult run = folder.Run({"play", "copy.rec", "--verify"});
    EXPECT_TRUE(run.exitCode == 0 || run.exitCode == 1) << "exit " << run.exitCode << "\n" << run.err;
    EXPECT_EQ(run.err.find("Sanitizer"), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("runtime error"), std::string::npos) << run.err;
    EXPECT_NE(run.exitCode, 0) << run.out;
    EXPECT_EQ(run.out.find("verification passed"), std::string::npos) << run.out;
    Frames delivered;
    {
      ToolFolder::Engine engine(folder);
      delivered = DeliveredFrames(folder.Path("copy.rec"));
    }
    EXPECT_EQ(PlayedFrames(run.out), delivered) << run.out;
    return !::testing::Test::HasFailure();
  }

  using Frames = std::vector<std::pair<std::string, uint64_t>>;
  ToolFolder folder;
  std::string clip;
};

TEST_F(ToolCorruptionSweep, CutsAtEveryChunkBoundary) {
  std::vector<size_t> boundaries = {20};  // after the file header
  for (const Chunk& chunk : Chunks(clip)) boundaries.push_back(chunk.offset + chunk.size);
  ASSERT_EQ(boundaries.back(), clip.size());
  ASSERT_GT(boundaries.size(), 10u);
  for (const size_t boundary : boundaries) {
    for (const size_t cut : {boundary - 1, boundary, boundary + 1}) {
      if (cut >= clip.size()) continue;  // the whole file, or more
      if (!Check(clip.substr(0, cut), "cut at " + std::to_string(cut))) return;
    }
  }
}

// Every other flip lands in the file's structure (file header, chunk
// headers, the start of a frame, whole metadata, index and trailer chunks),
// which is small beside the pixels.
TEST_F(ToolCorruptionSweep, SeededByteFlips) {
  std::vector<size_t> structure;
  for (size_t at = 0; at < 20; ++at) structure.push_back(at);
  for (const Chunk& chunk : Chunks(clip)) {
    const size_t length = chunk.type == "FRAM" ? 16 + 32 : chunk.size;
    for (size_t at = chunk.offset; at < chunk.offset + length; ++at) structure.push_back(at);
  }
  std::mt19937 random(20);
  std::uniform_int_distribution<size_t> anywhere(0, clip.size() - 1);
  std::uniform_int_distribution<size_t> inStructure(0, structure.size() - 1);
  std::uniform_int_distribution<int> mask(1, 255);
  for (int i = 0; i < kFlips; ++i) {
    std::string bytes = clip;
    const size_t at = i % 2 == 0 ? anywhere(random) : structure[inStructure(random)];
    bytes[at] = static_cast<char>(bytes[at] ^ mask(random));
    if (!Check(bytes, "byte " + std::to_string(at) + " flipped")) return;
  }
}

}  // namespace
}  // namespace tool_test
