// "ovalith play --verify" over damaged copies of one small recording: the program ends normally, prints the frame
// counts the engine's reader delivers, and never passes a copy as verified.
#include <algorithm>
#include <random>

#include "ToolRun.h"

namespace tool_test {
namespace {

// The recording cut to `cut` bytes, with the byte at `flipAt` (when below the cut) exclusive-or'ed with `mask`.
struct Variant {
  size_t cut;
  size_t flipAt;
  int mask;
};

class ToolCorruptionSweep : public ::testing::Test {
 protected:
  void SetUp() override {
    folder.Write("Tollan.ini", "[Tollan]\nPaced = 0\n[SensorV2.0]\nDepth.Resolution = 0\nImage.Resolution = 0\n");
    ASSERT_EQ(folder.Run({"record", "clip.rec", "--frames", "3"}).exitCode, 0);
    clip = folder.Read("clip.rec");
    const RunResult intact = folder.Run({"play", "clip.rec", "--verify"});
    ASSERT_EQ(intact.exitCode, 0) << intact.out;
  }
  // Plays the copies in batches (a run costs more than a file) and checks every one; stops at the first fault.
  void Sweep(const std::vector<Variant>& variants) {
    constexpr size_t kBatch = 50;
    for (size_t first = 0; first < variants.size(); first += kBatch) {
      const size_t end = std::min(variants.size(), first + kBatch);
      std::vector<std::string> arguments = {"play", "--verify"};
      for (size_t i = first; i < end; ++i) {
        arguments.push_back("copy-" + std::to_string(i) + ".rec");
        std::string bytes = clip.substr(0, variants[i].cut);
        if (variants[i].flipAt < bytes.size()) bytes[variants[i].flipAt] ^= static_cast<char>(variants[i].mask);
        folder.Write(arguments.back(), bytes);
      }
      const RunResult run = folder.Run(arguments);
      ASSERT_EQ(run.exitCode, 1) << run.err;  // ended normally, and nothing passed
      ASSERT_FALSE(Holds(run.err, "Sanitizer"));
      ASSERT_FALSE(Holds(run.err, "runtime error"));
      ToolFolder::Engine engine(folder);
      for (size_t i = first; i < end; ++i) {
        SCOPED_TRACE("cut at " + std::to_string(variants[i].cut) + ", flip at " + std::to_string(variants[i].flipAt));
        const std::string name = "copy-" + std::to_string(i) + ".rec";
        // The lines of the output that belong to this copy.
        const size_t start = run.out.find(name + ": ");
        const size_t next = run.out.find("\ncopy-", start);
        const std::string section = start == std::string::npos
                                        ? ""
                                        : run.out.substr(start, next == std::string::npos ? next : next + 1 - start);
        if (section.empty()) {
          EXPECT_TRUE(Holds(run.err, "cannot open recording " + name + ":"));
        } else {
          EXPECT_TRUE(Holds(section, "verification FAILED"));
        }
        EXPECT_EQ(PlayedFrames(section), DeliveredFrames(folder.Path(name))) << section;
        if (HasFailure()) return;
      }
    }
  }
  ToolFolder folder;
  std::string clip;
};

// Cuts at every chunk boundary and one byte either side, and seeded flips, every other one in the file's structure
// (headers, the start of a frame, whole metadata, index and trailer chunks).
TEST_F(ToolCorruptionSweep, CutsAndByteFlips) {
  std::vector<Variant> variants;
  std::vector<size_t> structure;
  for (size_t at = 0; at < 20; ++at) structure.push_back(at);
  for (const Chunk& chunk : Chunks(clip)) {
    for (const size_t cut : {chunk.offset - 1, chunk.offset, chunk.offset + 1}) variants.push_back({cut, SIZE_MAX, 0});
    const size_t length = chunk.type == "FRAM" ? 16 + 32 : chunk.size;
    for (size_t at = chunk.offset; at < chunk.offset + length; ++at) structure.push_back(at);
  }
  ASSERT_GT(variants.size(), 30u);
  variants.push_back({clip.size() - 1, SIZE_MAX, 0});
  std::mt19937 random(20);
  std::uniform_int_distribution<size_t> anywhere(0, clip.size() - 1);
  std::uniform_int_distribution<size_t> inStructure(0, structure.size() - 1);
  std::uniform_int_distribution<int> mask(1, 255);
  for (int i = 0; i < 200; ++i) {
    const size_t at = i % 2 == 0 ? anywhere(random) : structure[inStructure(random)];
    variants.push_back({clip.size(), at, mask(random)});
  }
  Sweep(variants);
}

}  // namespace
}  // namespace tool_test
