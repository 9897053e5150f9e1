// --filter of snapshot, cloud and record: the frame written is the chain's output after every frame before it, a
// decimated cloud stands in the decimated camera, record writes filtered frames of the stream's size, and a chain
// the tool cannot use fails naming it.
#include "ToolRun.h"

#include <cmath>
#include <cstring>
#include <tuple>

namespace tool_test {
namespace {

struct Filtered {
  KrVDepthImage out;                              // depth frame N through the chain, after frames 1 .. N - 1
  std::unique_ptr<KrVRealWorldTranslator> full;  // the stream's own (full-frame) translator
};

// Runs the engine's chain over depth frames 1 .. number of a recording in the folder.
bool FilterRecording(const ToolFolder& folder, const std::string& name, const std::string& text, uint32_t number,
                     Filtered* result) {
  ToolFolder::Engine engine(folder);
  KrVDepthFilterChain chain;
  KrVDevice device;
  if (chain.Parse(text) != KR_STATUS_OK || device.OpenFileForReading(folder.Path(name).c_str()) != KR_STATUS_OK ||
      device.GetDepthMap() == nullptr) {
    return false;
  }
  const KrVDepthMap& depth = *device.GetDepthMap();
  for (uint32_t seen = 0; seen < number;) {
    if (device.Read() != KR_STATUS_OK) return false;
    if (!depth.IsDataNew()) continue;
    ++seen;
    KrVDepthImage in;
    in.width = depth.GetXRes();
    in.height = depth.GetYRes();
    in.pixels.assign(depth.Data(), depth.Data() + size_t{in.width} * in.height);
    in.noSampleValue = depth.GetNoSampleValue();
    in.shadowValue = depth.GetShadowValue();
    if (chain.Apply(in, result->out) != KR_STATUS_OK) return false;
  }
  result->full = std::make_unique<KrVRealWorldTranslator>(*depth.GetRealWorldTranslator());
  return true;
}

class ToolFilter : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Succeeded(folder.Run({"record", "clip.rec", "--frames", "4", "--streams", "depth", "image"})));
  }
  ToolFolder folder;
};

TEST_F(ToolFilter, SnapshotWritesFrameNFilteredAfterTheFramesBeforeIt) {
  const std::string chain = "decimate=2,spatial,temporal,holes=nearest";
  ASSERT_TRUE(Succeeded(folder.Run({"snapshot", "--file", "clip.rec", "--frame", "4", "--filter", chain, "--depth16",
                                    "d16.png", "--depth", "d.png"})));
  Filtered expected;
  ASSERT_TRUE(FilterRecording(folder, "clip.rec", chain, 4, &expected));
  ASSERT_EQ(expected.out.width, 320u);
  const PngImage d16 = ReadPng(folder.Path("d16.png")), colour = ReadPng(folder.Path("d.png"));
  for (const PngImage* png : {&d16, &colour}) {
    ASSERT_FALSE(png->pixels.empty());
    EXPECT_EQ(std::make_pair(png->info.width, png->info.height), std::make_pair(320u, 240u)) << "half size";
  }
  ASSERT_EQ(d16.pixels.size(), expected.out.pixels.size() * 2);
  EXPECT_EQ(0, std::memcmp(d16.pixels.data(), expected.out.pixels.data(), d16.pixels.size()))
      << "frame 4 through the chain, with the temporal filter's history of frames 1 to 3";
  // Without history (frame 1 alone through the chain) the frame would differ: the check above sees it.
  Filtered alone;
  ASSERT_TRUE(FilterRecording(folder, "clip.rec", "decimate=2,spatial,holes=nearest", 4, &alone));
  EXPECT_NE(alone.out.pixels, expected.out.pixels);
}

TEST_F(ToolFilter, ChainsTheToolCannotUseFailNamingThem) {
  for (const auto& [command, output, file] : {std::tuple{"snapshot", "--depth16", "x.png"}, {"cloud", "--out", "x.ply"}}) {
    const RunResult run = folder.Run({command, "--file", "clip.rec", "--filter", "spatial,blur=3", output, file});
    EXPECT_TRUE(FailedWith(run, "blur=3")) << command;
    EXPECT_FALSE(folder.Exists("x.png") || folder.Exists("x.ply"));
  }
  EXPECT_TRUE(FailedWith(folder.Run({"snapshot", "--file", "clip.rec", "--filter", "decimate=5", "--depth", "x.png"}),
                         "decimate=5"));
  const RunResult decimated = folder.Run({"record", "r.rec", "--frames", "2", "--filter", "decimate=2"});
  EXPECT_TRUE(FailedWith(decimated, "decimate"));
  EXPECT_TRUE(FailedWith(folder.Run({"record", "r.rec", "--frames", "2", "--streams", "image", "--filter", "spatial"}),
                         "no depth stream to filter"));
  EXPECT_FALSE(folder.Exists("r.rec"));
}

TEST_F(ToolFilter, ADecimatedCloudHasTheFilteredPointsInTheDecimatedCamera) {
  const std::string chain = "decimate=2,flying";
  ASSERT_TRUE(Succeeded(folder.Run({"cloud", "--file", "clip.rec", "--frame", "2", "--filter", chain, "--out", "c.ply"})));
  Filtered expected;
  ASSERT_TRUE(FilterRecording(folder, "clip.rec", chain, 2, &expected));
  const KrVDepthImage& f = expected.out;
  std::vector<size_t> measured;
  for (size_t i = 0; i < f.pixels.size(); ++i) {
    if (f.IsDepth(f.pixels[i])) measured.push_back(i);
  }
  const std::string ply = folder.Read("c.ply");
  const size_t end = ply.find("end_header\n");
  ASSERT_NE(end, std::string::npos);
  EXPECT_TRUE(Holds(ply.substr(0, end), "element vertex " + std::to_string(measured.size()) + "\n"));
  EXPECT_TRUE(Holds(ply.substr(0, end), "property uchar red")) << "coloured through the aligner";
  const size_t stride = 15;
  ASSERT_EQ(ply.size() - end - 11, measured.size() * stride);
  // Output pixel (u, v) stands where pixel (2u, 2v) of the full frame stood: the full frame's translator puts a
  // point of that pixel and the output's depth where the cloud has it.
  size_t wrong = 0, black = 0;
  for (size_t k = 0; k < measured.size(); ++k) {
    float xyz[3];
    const char* vertex = ply.data() + end + 11 + k * stride;
    std::memcpy(xyz, vertex, sizeof(xyz));
    const size_t i = measured[k];
    KrVPoint point(float(2 * (i % f.width)), float(2 * (i / f.width)), f.pixels[i]);
    expected.full->Projective2RW(point);
    wrong += std::fabs(point.X() - xyz[0]) > 1 || std::fabs(point.Y() - xyz[1]) > 1 || std::fabs(point.Z() - xyz[2]) > 1;
    black += vertex[12] == 0 && vertex[13] == 0 && vertex[14] == 0;
  }
  EXPECT_EQ(wrong, 0u) << "of " << measured.size();
  EXPECT_LT(black, measured.size() / 100) << "the decimated grid finds its image pixels";
}

TEST_F(ToolFilter, RecordWritesFilteredFramesOfTheStreamsSize) {
  ASSERT_TRUE(Succeeded(folder.Run({"record", "f.rec", "--frames", "3", "--streams", "depth", "--filter", "holes=nearest"})));
  for (uint32_t n = 1; n <= 3; ++n) {
    DepthFrame frame;
    ASSERT_TRUE(ReadDepthFrame(folder, "f.rec", n, &frame));
    EXPECT_EQ(std::make_pair(frame.width, frame.height), std::make_pair(uint16_t{640}, uint16_t{480}));
    EXPECT_EQ(std::count(frame.pixels.begin(), frame.pixels.end(), frame.noSample), 0) << "frame " << n;
    DepthFrame raw;
    ASSERT_TRUE(ReadDepthFrame(folder, "clip.rec", n, &raw));
    EXPECT_GT(std::count(raw.pixels.begin(), raw.pixels.end(), raw.noSample), 1000) << "unfiltered has holes";
  }
}

}  // namespace
}  // namespace tool_test
