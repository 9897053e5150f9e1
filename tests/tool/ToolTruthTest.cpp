// The ovalith tool on damaged, cut and foreign recordings and on a full
// disk: what it reports must be what the file holds, and a failure must
// never pass for success.
#include "ToolRun.h"

#include <cmath>
#include <limits>
#include <sstream>

namespace tool_test {
namespace {

using Frames = std::vector<std::pair<std::string, uint64_t>>;

std::string CommandLine(const std::vector<std::string>& arguments) {
  std::string text;
  for (const std::string& argument : arguments) text += argument + " ";
  return text;
}

class ToolTruth : public ::testing::Test {
 protected:
  // Five rounds of depth, image and audio: frame chunks 3k, 3k+1, 3k+2 are
  // depth, image and audio frame k+1.
  void SetUp() override {
    ASSERT_EQ(folder.Run({"record", "clip.rec", "--frames", "5"}).exitCode, 0);
    clip = folder.Read("clip.rec");
    for (const Chunk& chunk : Chunks(clip)) {
      if (chunk.type == "FRAM") frameChunks.push_back(chunk);
    }
    ASSERT_EQ(frameChunks.size(), 15u);
  }
  // clip.rec with one byte of frame chunk `index` flipped (past its
  // header, in the pixels).
  void WriteWithDamagedFrame(const std::string& name, size_t index) {
    std::string bytes = clip;
    bytes[frameChunks[index].offset + 16 + 200] ^= 0x20;
    folder.Write(name, bytes);
  }
  Frames Delivered(const std::string& name) {
    ToolFolder::Engine engine(folder);
    return DeliveredFrames(folder.Path(name));
  }

  ToolFolder folder;
  std::string clip;
  std::vector<Chunk> frameChunks;
};

// A depth stream of 320x240 and an image stream as the case says.
std::vector<CraftedStream> DepthAndImage(uint64_t xRes, uint64_t format, uint64_t claimedBytesPerPixel,
                                         uint32_t imageBytes) {
  return {
      {"Depth", "Depth", {{"XRes", 320}, {"YRes", 240}, {"OutputFormat", 1}, {"BytesPerPixel", 2}}, {}, 320 * 240 * 2},
      {"Image",
       "Image",
       {{"XRes", xRes}, {"YRes", 240}, {"OutputFormat", format}, {"BytesPerPixel", claimedBytesPerPixel}},
       {},
       imageBytes}};
}

std::vector<CraftedStream> RealWidth(std::vector<CraftedStream> streams) {
  streams[1].integers.erase(streams[1].integers.begin());  // XRes
  streams[1].reals.push_back({"XRes", 320.5});
  return streams;
}

TEST_F(ToolTruth, PicturesAreNeverMadeFromFramesSmallerThanTheirFormatNeeds) {
  struct Case {
    const char* what;
    std::vector<CraftedStream> streams;
    std::string message;
    bool cloudColoured;  // a point cloud takes its colours from the image
  };
  // Formats by the kit's codes: 5 RGB 24-bit, 6 YUV 4:2:2, 8 grey 16-bit.
  const Case cases[] = {
      {"RGB claiming 1 byte a pixel", DepthAndImage(320, 5, 1, 320 * 240), "holds 76800 bytes, 230400 expected", true},
      {"YUV claiming 1 byte a pixel", DepthAndImage(320, 6, 1, 320 * 240), "holds 76800 bytes, 153600 expected", true},
      {"grey 16 claiming 1 byte a pixel", DepthAndImage(320, 8, 1, 320 * 240), "holds 76800 bytes, 153600 expected",
       false},
      {"an image 0 pixels wide", DepthAndImage(0, 5, 3, 320 * 240 * 3), "no usable resolution", true},
      {"an image 320.5 pixels wide", RealWidth(DepthAndImage(320, 5, 3, 320 * 240 * 3)), "no usable resolution", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    {
      ToolFolder::Engine engine(folder);
      ASSERT_TRUE(WriteRecording(folder.Path("lying.rec"), c.streams, 2));
    }
    const RunResult snapshot = folder.Run({"snapshot", "--file", "lying.rec", "--image", "i.png"});
    EXPECT_EQ(snapshot.exitCode, 1) << snapshot.out;
    EXPECT_NE(snapshot.err.find(c.message), std::string::npos) << snapshot.err;
    EXPECT_FALSE(folder.Exists("i.png"));
    if (c.cloudColoured) {
      const RunResult cloud = folder.Run({"cloud", "--file", "lying.rec", "--out", "c.ply"});
      EXPECT_EQ(cloud.exitCode, 1) << cloud.out;
      EXPECT_NE(cloud.err.find(c.message), std::string::npos) << cloud.err;
      EXPECT_FALSE(folder.Exists("c.ply"));
    }
  }
}

TEST_F(ToolTruth, VerifyFailsUnlessTheFileWasClosedAndReportsWhatItPlayed) {
  struct Case {
    const char* what;
    std::string bytes;
    std::string report;
  };
  const size_t firstFrame = frameChunks.front().offset;
  const Case cases[] = {
      {"cut in half", clip.substr(0, clip.size() / 2), "closed: NO"},
      {"streams but no frames", clip.substr(0, firstFrame), "closed: NO"},
      {"cut inside the first frame", clip.substr(0, firstFrame + 1000), "1000 tail byte(s)"},
      {"bytes after the trailer", clip + "extra", "5 tail byte(s)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    folder.Write("cut.rec", c.bytes);
    const RunResult verify = folder.Run({"play", "cut.rec", "--verify"});
    EXPECT_EQ(verify.exitCode, 1) << verify.out << verify.err;
    EXPECT_NE(verify.out.find(c.report), std::string::npos) << verify.out;
    EXPECT_NE(verify.out.find("verification FAILED"), std::string::npos) << verify.out;
    EXPECT_EQ(PlayedFrames(verify.out), Delivered("cut.rec")) << verify.out;
  }
  const RunResult intact = folder.Run({"play", "clip.rec", "--verify"});
  EXPECT_EQ(intact.exitCode, 0) << intact.out;
  EXPECT_NE(intact.out.find("closed: yes"), std::string::npos) << intact.out;
}

TEST_F(ToolTruth, PlayCountsTheIntactFramesOfADamagedRound) {
  WriteWithDamagedFrame("damaged.rec", 4);  // image frame 2
  const RunResult play = folder.Run({"play", "damaged.rec"});
  EXPECT_EQ(play.exitCode, 0) << play.err;
  EXPECT_EQ(PlayedFrames(play.out), (Frames{{"Depth", 5}, {"Image", 4}, {"Audio", 5}})) << play.out;
}

TEST_F(ToolTruth, SnapshotOfADamagedFileGivesTheFrameOfThatNumberOrFails) {
  WriteWithDamagedFrame("image2.rec", 4);  // image frame 2
  WriteWithDamagedFrame("depth2.rec", 3);  // depth frame 2
  DepthFrame third;
  {
    ToolFolder::Engine engine(folder);
    ASSERT_TRUE(ReadDepthFrame(folder.Path("clip.rec"), 3, &third));
  }
  ASSERT_EQ(folder.Run({"snapshot", "--file", "image2.rec", "--frame", "3", "--depth16", "d.png"}).exitCode, 0);
  const PngImage png = ReadPng(folder.Path("d.png"));
  ASSERT_TRUE(png.ok);
  size_t wrong = 0;
  for (uint32_t i = 0; i < third.pixels.size(); ++i) {
    const uint8_t* p = &png.rows[i / png.width][(i % png.width) * 2];
    wrong += (p[0] << 8 | p[1]) != third.pixels[i];
  }
  EXPECT_EQ(wrong, 0u) << "not depth frame 3";

  struct Case {
    std::vector<std::string> arguments;
    std::string message;
  };
  const Case cases[] = {
      {{"snapshot", "--file", "image2.rec", "--frame", "2", "--image", "i.png"},
       "no image frame was taken with depth frame 2"},
      {{"snapshot", "--file", "depth2.rec", "--frame", "3", "--depth", "d3.png"}, "depth frame 3 cannot be told"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(CommandLine(c.arguments));
    const RunResult run = folder.Run(c.arguments);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
  EXPECT_FALSE(folder.Exists("i.png"));
  EXPECT_FALSE(folder.Exists("d3.png"));
}

// Files may not grow past 4 MB: the disk fills in the third round.
TEST_F(ToolTruth, RecordOnAFullDiskReportsWhatTheFileHolds) {
  const RunResult run = folder.RunOnFullDisk({"record", "full.rec", "--frames", "10"}, 4000000);
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("cannot write to full.rec"), std::string::npos) << run.err;
  EXPECT_EQ(run.out.find("recorded"), std::string::npos) << run.out;
  const Frames held = Delivered("full.rec");
  ASSERT_FALSE(held.empty());
  EXPECT_LT(held[0].second, 10u);
  Frames listed;  // "  <stream> <count> frames" lines
  std::istringstream lines(run.out);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string name, unit;
    uint64_t count = 0;
    if (fields >> name >> count >> unit && unit == "frames") listed.emplace_back(name, count);
  }
  EXPECT_EQ(listed, held) << run.out;
}

TEST_F(ToolTruth, ForeignValuesNeverReachTheOutput) {
  // 101 streams, a device value that is not a number, a depth calibration
  // that gives no positions.
  std::vector<CraftedStream> streams = {{"Depth",
                                         "Depth",
                                         {{"XRes", 320}, {"YRes", 240}, {"OutputFormat", 1}, {"ZPD", 120}},
                                         {{"ZPPS", std::nan("")}},
                                         320 * 240 * 2}};
  for (int i = 0; i < 100; ++i) streams.push_back({"Audio", "a" + std::to_string(i), {}, {}, 4});
  {
    ToolFolder::Engine engine(folder);
    ASSERT_TRUE(WriteRecording(folder.Path("foreign.rec"), streams, 1,
                               {{"Gain", std::nan("")}, {"Range", std::numeric_limits<double>::infinity()}}));
  }
  // However many streams the file has, each one is played or named as a
  // fault.
  const RunResult play = folder.Run({"play", "foreign.rec", "--verify"});
  ASSERT_EQ(PlayedFrames(play.out).size(), 101u) << play.out;
  bool lastReachable = false;
  {
    ToolFolder::Engine engine(folder);
    KrVDevice file;
    KrVStreamData* data = nullptr;
    lastReachable = file.OpenFileForReading(folder.Path("foreign.rec").c_str()) == KR_STATUS_OK &&
                    file.GetStreamData("a99", data) == KR_STATUS_OK;
  }
  if (!lastReachable) {
    EXPECT_EQ(play.exitCode, 1);
    EXPECT_NE(play.out.find("fault: the engine cannot reach this stream"), std::string::npos) << play.out;
  } else {
    EXPECT_EQ(play.exitCode, 0) << play.out;
  }
  const RunResult json = folder.Run({"info", "--file", "foreign.rec", "--json"});
  EXPECT_EQ(json.exitCode, 0);
  EXPECT_NE(json.out.find("\"Gain\": null"), std::string::npos);
  EXPECT_NE(json.out.find("\"Range\": null"), std::string::npos);
  const RunResult cloud = folder.Run({"cloud", "--file", "foreign.rec", "--out", "c.ply"});
  EXPECT_EQ(cloud.exitCode, 1);
  EXPECT_NE(cloud.err.find("no real-world position"), std::string::npos) << cloud.err;
  EXPECT_FALSE(folder.Exists("c.ply"));
}

TEST_F(ToolTruth, HangUpStopsARecordingCleanly) {
  const RunResult run =
      folder.Run({"record", "hup.rec", "--device", "*:1", "--streams", "depth"}, "hup.rec", 4 * 320 * 240 * 2, SIGHUP);
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_NE(run.out.find("stopped"), std::string::npos) << run.out;
  const RunResult verify = folder.Run({"play", "hup.rec", "--verify"});
  EXPECT_EQ(verify.exitCode, 0) << verify.out;
}

TEST_F(ToolTruth, KitConfigurationErrorsReachTheUser) {
  folder.Write("Tollan.ini", "[Tollan]\nPaced = 0\n[SensorV2.0]\nDepth.Bogus = 1\n");
  const RunResult run = folder.Run({"info"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_NE(run.err.find("Depth.Bogus"), std::string::npos) << run.err;
}

}  // namespace
}  // namespace tool_test
