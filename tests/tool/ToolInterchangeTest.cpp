// ovalith export, import and convert end to end: what goes out is what the
// recording holds (read back with the engine and libpng), what comes back
// in plays as it went out, and bad input fails naming the file and line.
#include <dirent.h>

#include <algorithm>
#include <map>

#include "ToolRun.h"

namespace tool_test {
namespace {

struct Frame {
  uint64_t timestamp = 0;
  std::string bytes;
};
bool operator==(const Frame& a, const Frame& b) { return a.timestamp == b.timestamp && a.bytes == b.bytes; }
using Streams = std::map<std::string, std::vector<Frame>>;  // by stream name

// Every frame of every stream of a recording, through the engine.
Streams AllFrames(const ToolFolder& folder, const std::string& name) {
  ToolFolder::Engine engine(folder);
  Streams streams;
  KrVDevice device;
  const char* names[16] = {};
  uint32_t count = 16;
  if (device.OpenFileForReading(folder.Path(name).c_str()) != KR_STATUS_OK ||
      device.GetStreamNames(names, &count) != KR_STATUS_OK) {
    return streams;
  }
  std::vector<std::pair<std::string, KrVStreamData*>> data;
  for (uint32_t i = 0; i < count; ++i) {
    KrVStreamData* stream = nullptr;
    device.GetStreamData(names[i], stream);
    data.emplace_back(names[i], stream);
  }
  while (device.Read() == KR_STATUS_OK) {
    for (const auto& [stream, frame] : data) {
      if (frame == nullptr || !frame->IsDataNew()) continue;
      streams[stream].push_back(
          {frame->GetTimestamp(), std::string(reinterpret_cast<const char*>(frame->Data()), frame->GetDataSize())});
    }
  }
  return streams;
}

std::string Seconds(uint64_t microseconds) {
  char text[32];
  std::snprintf(text, sizeof(text), "%llu.%06llu", static_cast<unsigned long long>(microseconds / 1000000),
                static_cast<unsigned long long>(microseconds % 1000000));
  return text;
}

// The "timestamp filename" lines of a list, comments left out.
std::vector<std::pair<std::string, std::string>> ListOf(const std::string& text) {
  std::vector<std::pair<std::string, std::string>> entries;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string stamp, file;
    if (line.empty() || line[0] == '#' || !(fields >> stamp >> file)) continue;
    entries.emplace_back(stamp, file);
  }
  return entries;
}

size_t FilesIn(const std::string& path) {
  size_t files = 0;
  if (DIR* dir = opendir(path.c_str())) {
    for (dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) files += entry->d_name[0] != '.';
    closedir(dir);
  }
  return files;
}

class Interchange : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(Succeeded(folder.Run({"record", "clip.rec", "--frames", "8", "--streams", "depth,image,ir,audio"})));
    clip = AllFrames(folder, "clip.rec");
    ASSERT_EQ(clip["Depth"].size(), 8u);
  }
  ToolFolder folder;
  Streams clip;
};

// The dataset layout holds every frame: depth in units of 1/5000 m with 0 where nothing was measured, colour and
// infra-red as the streams hold them, the sound as one WAVE file, and lists that name exactly the pictures there.
TEST_F(Interchange, ExportWritesEveryStreamInTheDatasetLayout) {
  const RunResult run = folder.Run({"export", "clip.rec", "out", "--json"});
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(Holds(run.out, "\"complete\": true, \"frames\": {\"depth\": 8, \"image\": 8, \"ir\": 8, \"audio\": 8}"));
  const auto depthList = ListOf(folder.Read("out/depth.txt"));
  const auto rgbList = ListOf(folder.Read("out/rgb.txt"));
  const auto irList = ListOf(folder.Read("out/ir.txt"));
  ASSERT_EQ(depthList.size(), 8u);
  ASSERT_EQ(rgbList.size(), 8u);
  ASSERT_EQ(irList.size(), 8u);
  EXPECT_EQ(FilesIn(folder.Path("out/depth")), 8u);  // no stray or partial pictures
  ToolFolder::Engine engine(folder);
  KrVDevice recording;
  ASSERT_EQ(recording.OpenFileForReading(folder.Path("clip.rec").c_str()), KR_STATUS_OK);
  const uint16_t noSample = recording.GetDepthMap()->GetNoSampleValue();
  const uint16_t shadow = recording.GetDepthMap()->GetShadowValue();
  for (size_t f = 0; f < 8; ++f) {
    const Frame& depth = clip["Depth"][f];
    EXPECT_EQ(depthList[f].first, Seconds(depth.timestamp));
    const PngImage png = ReadPng(folder.Path("out/" + depthList[f].second));
    ASSERT_EQ(png.info.format, PNG_FORMAT_LINEAR_Y);
    ASSERT_EQ(png.pixels.size(), depth.bytes.size());
    const auto* mm = reinterpret_cast<const uint16_t*>(depth.bytes.data());
    const auto* units = reinterpret_cast<const uint16_t*>(png.pixels.data());
    size_t wrong = 0;
    for (size_t i = 0; i < depth.bytes.size() / 2; ++i) {
      wrong += units[i] != (mm[i] == noSample || mm[i] == shadow ? 0 : mm[i] * 5);
    }
    EXPECT_EQ(wrong, 0u) << depthList[f].second;
    const PngImage rgb = ReadPng(folder.Path("out/" + rgbList[f].second));
    EXPECT_EQ(std::string(rgb.pixels.begin(), rgb.pixels.end()), clip["Image"][f].bytes);
    EXPECT_EQ(rgbList[f].first, Seconds(clip["Image"][f].timestamp));
    const PngImage ir = ReadPng(folder.Path("out/" + irList[f].second));
    EXPECT_EQ(std::string(ir.pixels.begin(), ir.pixels.end()), clip["IR"][f].bytes);
  }
  // Each depth picture is paired with the colour picture of its own time.
  const auto associations = folder.Read("out/associations.txt");
  EXPECT_TRUE(Holds(associations, rgbList[3].first + " " + rgbList[3].second + " " + depthList[3].first + " " +
                                      depthList[3].second + "\n"));
  std::string sound;
  for (const Frame& frame : clip["Audio"]) sound += frame.bytes;
  const std::string wav = folder.Read("out/audio.wav");
  ASSERT_EQ(wav.size(), 44 + sound.size());
  EXPECT_EQ(wav.substr(44), sound);
  uint32_t dataBytes = 0;
  std::memcpy(&dataBytes, wav.data() + 40, 4);
  EXPECT_EQ(dataBytes, sound.size());
  EXPECT_TRUE(Holds(folder.Read("out/camera.json"), "\"depth_scale\": 5000"));
  // A folder with something in it is not written into unless asked.
  EXPECT_TRUE(FailedWith(folder.Run({"export", "clip.rec", "out"}), "out is not empty"));
  EXPECT_TRUE(Succeeded(folder.Run({"export", "clip.rec", "out", "--force", "--streams", "depth"})));
}

// --frames and --time choose by number and time, --every thins each picture stream; clouds hold the measured points.
TEST_F(Interchange, ExportChoosesFramesAndWritesPointClouds) {
  ASSERT_TRUE(Succeeded(folder.Run({"export", "clip.rec", "some", "--frames", "3:7", "--every", "2"})));
  const auto chosen = ListOf(folder.Read("some/depth.txt"));
  ASSERT_EQ(chosen.size(), 3u);
  for (size_t i = 0; i < 3; ++i) EXPECT_EQ(chosen[i].first, Seconds(clip["Depth"][2 + 2 * i].timestamp));
  const double second = static_cast<double>(clip["Depth"][1].timestamp - clip["Depth"][0].timestamp) / 1e6;
  char window[64];
  std::snprintf(window, sizeof(window), "%.6f:%.6f", second * 0.5, second * 2.5);  // frames 2 and 3
  ASSERT_TRUE(Succeeded(folder.Run({"export", "clip.rec", "timed", "--time", window, "--streams", "depth"})));
  const auto timed = ListOf(folder.Read("timed/depth.txt"));
  ASSERT_EQ(timed.size(), 2u);
  EXPECT_EQ(timed[0].first, Seconds(clip["Depth"][1].timestamp));
  EXPECT_FALSE(folder.Exists("timed/rgb.txt"));

  for (const char* format : {"ply", "pcd"}) {
    SCOPED_TRACE(format);
    ASSERT_TRUE(Succeeded(folder.Run({"export", "clip.rec", format, "--format", format, "--frames", "2:2"})));
    const auto clouds = ListOf(folder.Read(std::string(format) + "/clouds.txt"));
    ASSERT_EQ(clouds.size(), 1u);
    DepthFrame frame;
    ASSERT_TRUE(ReadDepthFrame(folder, "clip.rec", 2, &frame));
    size_t measured = 0;
    for (const uint16_t z : frame.pixels) measured += z != frame.noSample && z != frame.shadow;
    const std::string cloud = folder.Read(std::string(format) + "/" + clouds[0].second);
    EXPECT_TRUE(Holds(cloud, (std::string(format) == "ply" ? "element vertex " : "\nPOINTS ") +
                                 std::to_string(measured) + "\n"));
    if (std::string(format) != "ply") continue;
    // Each point coloured from the image pixel that shows it, as `cloud` colours it.
    ASSERT_TRUE(Succeeded(folder.Run({"cloud", "--file", "clip.rec", "--frame", "2", "--out", "one.ply"})));
    const std::string one = folder.Read("one.ply");
    EXPECT_TRUE(Holds(cloud, "property uchar red\n"));
    EXPECT_TRUE(cloud.substr(cloud.find("end_header\n")) == one.substr(one.find("end_header\n")));
  }
  // Filters run before the pictures are written; decimation halves the pictures and the camera with them.
  ASSERT_TRUE(Succeeded(folder.Run({"export", "clip.rec", "half", "--streams", "depth", "--filter", "decimate=2,spatial"})));
  const auto half = ListOf(folder.Read("half/depth.txt"));
  ASSERT_EQ(half.size(), 8u);
  const PngImage small = ReadPng(folder.Path("half/" + half[0].second));
  EXPECT_EQ(std::make_pair(small.info.width, small.info.height), std::make_pair(320u, 240u));
  const auto focal = [&](const std::string& name) {
    const std::string json = folder.Read(name + "/camera.json");
    return std::stod(json.substr(json.find("\"fx\": ") + 6));
  };
  EXPECT_DOUBLE_EQ(focal("half"), focal("some") / 2);
  EXPECT_TRUE(FailedWith(folder.Run({"export", "clip.rec", "x", "--filter", "blur"}), "\"blur\" is not a filter"));
  EXPECT_TRUE(FailedWith(folder.Run({"export", "clip.rec", "x", "--frames", "0:3"}), "--frames 0:3"));
  EXPECT_TRUE(FailedWith(folder.Run({"export", "clip.rec", "x", "--frames", "5:3"}), "--frames 5:3"));
  EXPECT_TRUE(FailedWith(folder.Run({"export", "clip.rec", "x", "--depth-scale", "60000"}),
                         "beyond the 1092 mm that 16 bits hold at --depth-scale 60000"));
}

// Export, import and export again give the same pictures byte for byte, and the imported recording plays the
// original's depth (nothing measured where the original had no sample or a shadow).
TEST_F(Interchange, ImportPlaysWhatWasExported) {
  for (const char* scale : {"5000", "1000"}) {
    SCOPED_TRACE(scale);
    const std::string out = std::string("out") + scale, back = std::string("back") + scale + ".rec";
    ASSERT_TRUE(Succeeded(folder.Run({"export", "clip.rec", out, "--depth-scale", scale})));
    ASSERT_TRUE(Succeeded(folder.Run({"import", out, back})));
    const RunResult verify = folder.Run({"play", back, "--verify"});
    EXPECT_TRUE(Succeeded(verify));
    Streams imported = AllFrames(folder, back);
    ASSERT_EQ(imported["Depth"].size(), 8u);
    ASSERT_EQ(imported["Image"].size(), 8u);
    for (size_t f = 0; f < 8; ++f) {
      const auto* original = reinterpret_cast<const uint16_t*>(clip["Depth"][f].bytes.data());
      const auto* played = reinterpret_cast<const uint16_t*>(imported["Depth"][f].bytes.data());
      size_t wrong = 0;
      for (size_t i = 0; i < clip["Depth"][f].bytes.size() / 2; ++i) {
        wrong += played[i] != (original[i] <= 1 ? 0 : original[i]);
      }
      EXPECT_EQ(wrong, 0u);
      EXPECT_EQ(imported["Depth"][f].timestamp, clip["Depth"][f].timestamp);
      EXPECT_EQ(imported["Image"][f].bytes, clip["Image"][f].bytes);
    }
    ASSERT_TRUE(Succeeded(folder.Run({"export", back, out + "again", "--depth-scale", scale})));
    const auto first = ListOf(folder.Read(out + "/depth.txt")), again = ListOf(folder.Read(out + "again/depth.txt"));
    ASSERT_EQ(first, again);
    for (const auto& entry : first) EXPECT_EQ(folder.Read(out + "/" + entry.second), folder.Read(out + "again/" + entry.second));
    EXPECT_EQ(folder.Read(out + "/camera.json"), folder.Read(out + "again/camera.json"));
  }
  // A plain folder of depth pictures at a given rate.
  ASSERT_TRUE(Succeeded(folder.Run({"import", "out1000/depth", "plain.rec", "--depth-scale", "1000", "--fps", "10"})));
  const Streams plain = AllFrames(folder, "plain.rec");
  ASSERT_EQ(plain.at("Depth").size(), 8u);
  EXPECT_EQ(plain.at("Depth")[2].timestamp, 200000u);
  EXPECT_TRUE(FailedWith(folder.Run({"import", "out1000", "plain.rec"}), "plain.rec exists"));
}

// Damaged input stops the import with the file and line at fault; nothing already there is replaced.
TEST_F(Interchange, ImportRefusesBadInputNamingTheFileAndLine) {
  ASSERT_TRUE(Succeeded(folder.Run({"export", "clip.rec", "good", "--streams", "depth,image"})));
  const std::string depthList = folder.Read("good/depth.txt");
  const auto entries = ListOf(depthList);
  const auto variant = [&](const std::string& name, const std::string& list) {
    ASSERT_TRUE(Succeeded(folder.Run({"export", "clip.rec", name, "--streams", "depth,image"})));
    folder.Write(name + "/depth.txt", list);
  };
  // Lines 4 and 5 of depth.txt (after three comment lines) swapped.
  std::string swapped = "# d\n# f\n# t\n";
  swapped += entries[1].first + " " + entries[1].second + "\n" + entries[0].first + " " + entries[0].second + "\n";
  variant("swapped", swapped);
  EXPECT_TRUE(FailedWith(folder.Run({"import", "swapped", "s.rec"}), "swapped/depth.txt line 5: time stamp"));
  variant("missing", depthList + "9.5 depth/none.png\n");
  EXPECT_TRUE(FailedWith(folder.Run({"import", "missing", "m.rec"}), "depth.txt line 12: "));
  variant("damaged", depthList);
  std::string png = folder.Read("damaged/" + entries[4].second);
  png.resize(png.size() / 2);
  folder.Write("damaged/" + entries[4].second, png);
  const RunResult damaged = folder.Run({"import", "damaged", "d.rec"});
  EXPECT_TRUE(FailedWith(damaged, "depth.txt line 8: "));
  // What came before the damaged picture stays a playable recording.
  EXPECT_TRUE(Holds(damaged.out, "stopped importing"));
  EXPECT_TRUE(Succeeded(folder.Run({"play", "d.rec", "--verify"})));
  variant("eight", depthList);
  folder.Write("eight/" + entries[2].second, folder.Read("good/" + ListOf(folder.Read("good/rgb.txt"))[0].second));
  EXPECT_TRUE(FailedWith(folder.Run({"import", "eight", "e.rec"}),
                         "depth.txt line 6: eight/" + entries[2].second + ": an 8-bit colour picture"));
  ASSERT_TRUE(Succeeded(folder.Run({"snapshot", "--device", "*:1", "--depth16", "small.png"})));
  variant("mixed", depthList);
  folder.Write("mixed/" + entries[3].second, folder.Read("small.png"));
  EXPECT_TRUE(FailedWith(folder.Run({"import", "mixed", "x.rec"}), "is 320x240, the stream's first picture 640x480"));
  folder.Write("old.rec", "kept");
  EXPECT_TRUE(FailedWith(folder.Run({"import", "good", "old.rec"}), "old.rec exists"));
  EXPECT_EQ(folder.Read("old.rec"), "kept");
  EXPECT_TRUE(FailedWith(folder.Run({"import", "nothing", "n.rec"}), "not a folder"));
  // A camera far from the engine's centred model is imported with a warning that says how far.
  folder.Write("good/camera.json", "{\"depth\": {\"width\": 640, \"height\": 480, \"fx\": 520, \"fy\": 530, \"cx\": 310, "
                                   "\"cy\": 240}, \"depth_scale\": 5000}");
  variant("nocy", depthList);
  folder.Write("nocy/camera.json", "{\"depth\": {\"width\": 640, \"height\": 480, \"fx\": 520, \"fy\": 530, "
                                   "\"cx\": 310}}");
  EXPECT_TRUE(FailedWith(folder.Run({"import", "nocy", "c.rec"}), "nocy/camera.json: \"depth\" needs width"));
  const RunResult off = folder.Run({"import", "good", "off.rec", "--quiet"});
  ASSERT_TRUE(Succeeded(off));
  EXPECT_TRUE(Holds(off.err, "lies -10.00, 0.00 pixels from the centre"));
  EXPECT_TRUE(Holds(off.err, "fx 520.000 and fy 530.000 differ by 1.90%"));
}

// A write that fails (here: past a file-size limit, as on a full disk) stops the export: no partial picture is left,
// every picture a list names is complete, the sound file is a valid WAVE file of whole samples, and the summary says
// where it stopped.
TEST_F(Interchange, ExportThatCannotWriteLeavesCompleteFiles) {
  const RunResult pictures = folder.Run({"export", "clip.rec", "full", "--streams", "depth"}, "", 0, SIGINT, 100000);
  EXPECT_EQ(pictures.exitCode, 1);
  EXPECT_TRUE(Holds(pictures.out, "stopped exporting"));
  EXPECT_TRUE(Holds(pictures.err, "File too large"));
  const auto listed = ListOf(folder.Read("full/depth.txt"));
  EXPECT_EQ(FilesIn(folder.Path("full/depth")), listed.size());
  for (const auto& entry : listed) EXPECT_FALSE(ReadPng(folder.Path("full/" + entry.second)).pixels.empty());
  const RunResult sound = folder.Run({"export", "clip.rec", "sound", "--streams", "audio", "--json"}, "", 0, SIGINT, 20000);
  EXPECT_EQ(sound.exitCode, 1);
  EXPECT_TRUE(Holds(sound.out, "\"complete\": false"));
  const std::string wav = folder.Read("sound/audio.wav");
  ASSERT_GT(wav.size(), 44u);
  uint32_t riff = 0, data = 0;
  std::memcpy(&riff, wav.data() + 4, 4);
  std::memcpy(&data, wav.data() + 40, 4);
  EXPECT_EQ(riff, wav.size() - 8);
  EXPECT_EQ(data, wav.size() - 44);
  EXPECT_EQ(data % 4, 0u);  // whole stereo 16-bit samples
  const size_t whole = (20000 - 44) / clip["Audio"][0].bytes.size();  // the blocks below the limit
  std::string expected;
  for (size_t f = 0; f < whole; ++f) expected += clip["Audio"][f].bytes;
  EXPECT_EQ(wav.substr(44), expected);
}

// Convert re-encodes, trims and drops streams; the result verifies and plays the same frames.
TEST_F(Interchange, ConvertKeepsTheFramesItIsAskedToKeep) {
  const RunResult run = folder.Run({"convert", "clip.rec", "small.rec", "--compress", "depth=depth,image=lz4"});
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(Succeeded(folder.Run({"play", "small.rec", "--verify"})));
  EXPECT_EQ(AllFrames(folder, "small.rec"), clip);
  const RunResult info = folder.Run({"info", "--file", "small.rec"});
  EXPECT_TRUE(Holds(info.out, "Depth    codec depth"));
  EXPECT_TRUE(Holds(info.out, "Image    codec lz4"));
  ASSERT_TRUE(Succeeded(folder.Run({"convert", "clip.rec", "cut.rec", "--frames", "3:5", "--streams", "depth,audio"})));
  EXPECT_TRUE(Succeeded(folder.Run({"play", "cut.rec", "--verify"})));
  const Streams cut = AllFrames(folder, "cut.rec");
  EXPECT_EQ(cut.count("Image"), 0u);
  ASSERT_EQ(cut.at("Depth").size(), 3u);
  EXPECT_EQ(cut.at("Depth")[0].bytes, clip["Depth"][2].bytes);
  EXPECT_EQ(cut.at("Audio").size(), 3u);
  // A time window: frames 2 and 3, wherever the recording's clock starts.
  const double second = static_cast<double>(clip["Depth"][1].timestamp - clip["Depth"][0].timestamp) / 1e6;
  char window[64];
  std::snprintf(window, sizeof(window), "%.6f:%.6f", second * 0.5, second * 2.5);
  ASSERT_TRUE(Succeeded(folder.Run({"convert", "clip.rec", "timed.rec", "--time", window, "--streams", "depth"})));
  const Streams timed = AllFrames(folder, "timed.rec");
  ASSERT_EQ(timed.at("Depth").size(), 2u);
  EXPECT_EQ(timed.at("Depth")[0].bytes, clip["Depth"][1].bytes);
  EXPECT_TRUE(FailedWith(folder.Run({"convert", "clip.rec", "clip.rec"}), "is the recording being converted"));
  EXPECT_TRUE(FailedWith(folder.Run({"convert", "clip.rec", "cut.rec"}), "cut.rec exists"));
}

}  // namespace
}  // namespace tool_test
