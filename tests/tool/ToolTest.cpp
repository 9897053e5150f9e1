// The ovalith tool end to end: each test runs the built program in its own
// folder and checks what it made with the engine and libpng.
#include "ToolRun.h"

#include <Tollan/TollanFlash.h>

#include <png.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>
#include <tuple>

namespace tool_test {
namespace {

using Frames = std::vector<std::pair<std::string, uint64_t>>;

::testing::AssertionResult Succeeded(const RunResult& run) {
  if (run.exitCode == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "exit " << run.exitCode << "\nout: " << run.out << "\nerr: " << run.err;
}

class Tool : public ::testing::Test {
 protected:
  // A recording of five frames of depth, image and audio.
  void RecordFive() { ASSERT_TRUE(Succeeded(folder.Run({"record", "five.rec", "--frames", "5"}))); }

  ToolFolder folder;
};

// ---- record and play ----

TEST_F(Tool, RecordsTheCountAndLengthAskedForInEveryStream) {
  struct Case {
    std::vector<std::string> options;
    Frames expected;
  };
  const Case cases[] = {
      {{"--frames", "30"}, {{"Depth", 30}, {"Image", 30}, {"Audio", 30}}},
      // Half a second at 30 frames per second, by the frames' time stamps.
      {{"--seconds", "0.5", "--streams", "depth,audio"}, {{"Depth", 15}, {"Audio", 15}}},
      {{"--frames", "7", "--streams", "ir"}, {{"IR", 7}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options[0] + " " + c.options[1]);
    std::vector<std::string> arguments = {"record", "clip.rec"};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    ASSERT_TRUE(Succeeded(folder.Run(arguments)));
    const RunResult play = folder.Run({"play", "clip.rec", "--verify"});
    EXPECT_TRUE(Succeeded(play));
    EXPECT_NE(play.out.find("verification passed"), std::string::npos) << play.out;
    ToolFolder::Engine engine(folder);
    EXPECT_EQ(FramesPerStream(folder.Path("clip.rec")), c.expected);
  }
}

TEST_F(Tool, InterruptedRecordingIsClosedAndPlayable) {
  // Sensor 1 is paced: the run is still recording when Ctrl+C arrives, after
  // at least four 320x240 depth frames went into the file.
  const RunResult run =
      folder.Run({"record", "cut.rec", "--device", "*:1", "--streams", "depth"}, "cut.rec", 4 * 320 * 240 * 2);
  ASSERT_TRUE(Succeeded(run));
  EXPECT_NE(run.out.find("stopped"), std::string::npos) << run.out;
  const RunResult play = folder.Run({"play", "cut.rec", "--verify"});
  EXPECT_TRUE(Succeeded(play));
  EXPECT_EQ(play.out.find("damaged"), std::string::npos) << play.out;
  ToolFolder::Engine engine(folder);
  const Frames frames = FramesPerStream(folder.Path("cut.rec"));
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_GT(frames[0].second, 3u);
}

TEST_F(Tool, PlayPassesOverADamagedFrameAndVerifyFails) {
  RecordFive();
  std::string bytes;
  {
    std::ifstream in(folder.Path("five.rec"), std::ios::binary);
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  ASSERT_GT(bytes.size(), 2000000u);
  bytes[bytes.size() / 2] ^= 0x5A;  // inside a frame's pixels
  folder.Write("damaged.rec", bytes);
  const RunResult play = folder.Run({"play", "damaged.rec"});
  EXPECT_TRUE(Succeeded(play));
  EXPECT_NE(play.out.find("1 damaged frame(s)"), std::string::npos) << play.out;
  const RunResult verify = folder.Run({"play", "damaged.rec", "--verify"});
  EXPECT_NE(verify.exitCode, 0) << verify.out;
  EXPECT_NE(verify.out.find("verification FAILED"), std::string::npos) << verify.out;
}

// The simulated sensor's documented modes: depth 320x240 at up to 60 fps,
// image 1280x1024 at 15, YUV 4:2:2 images, mono audio at 44100 Hz.
TEST_F(Tool, RecordTakesTheModeAskedForOfEachStream) {
  ASSERT_TRUE(Succeeded(folder.Run({"record", "m.rec", "--frames", "2", "--depth", "320x240@60", "--image",
                                    "1280x1024@15:yuv422", "--audio", "44100x1"})));
  {
    ToolFolder::Engine engine(folder);
    KrVDevice file;
    ASSERT_EQ(file.OpenFileForReading(folder.Path("m.rec").c_str()), KR_STATUS_OK);
    const std::pair<const char*, const char*> properties[] = {
        {"Depth", "XRes"}, {"Depth", "YRes"},         {"Depth", "FPS"},         {"Image", "XRes"},
        {"Image", "FPS"},  {"Image", "OutputFormat"}, {"Audio", "SampleRate"}, {"Audio", "NumOfChannels"}};
    std::vector<uint64_t> values;
    for (const auto& property : properties) {
      uint64_t value = 0;
      EXPECT_EQ(file.GetProperty(property.first, property.second, value), KR_STATUS_OK) << property.second;
      values.push_back(value);
    }
    EXPECT_EQ(values, (std::vector<uint64_t>{320, 240, 60, 1280, 15, KR_OUTPUT_FORMAT_YUV422, 44100, 1}));
  }
  struct Case {
    std::vector<std::string> options;
    std::string message;
  };
  const Case cases[] = {
      {{"--depth", "1280x1024@15"}, "does not offer Depth 1280x1024@15; it offers 320x240@15,30,60  640x480@15,30"},
      {{"--image", "640x480@60"}, "does not offer Image 640x480@60"},
      {{"--audio", "44100x3"}, "does not offer Audio 44100x3; it offers sample rates "},
      {{"--depth", "640x"}, "--depth 640x: give WIDTHxHEIGHT"},
      {{"--depth", "640x480@0"}, "--depth 640x480@0: give"},
      {{"--image", "640x480:png"}, "unknown format png"},
      {{"--ir", "640x480"}, "--ir is given but ir is not among --streams"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.options[0] + " " + c.options[1]);
    std::vector<std::string> arguments = {"record", "bad.rec", "--frames", "1"};
    arguments.insert(arguments.end(), c.options.begin(), c.options.end());
    const RunResult run = folder.Run(arguments);
    EXPECT_NE(run.exitCode, 0);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
  const RunResult info = folder.Run({"info"});
  ASSERT_TRUE(Succeeded(info));
  EXPECT_NE(info.out.find("offered modes\n  Depth  320x240@15,30,60  640x480@15,30; formats shift,depth\n"),
            std::string::npos)
      << info.out;
}

// ---- pictures and clouds ----

TEST_F(Tool, SnapshotWritesPicturesOfTheFrameAskedFor) {
  RecordFive();
  ASSERT_TRUE(Succeeded(folder.Run({"snapshot", "--file", "five.rec", "--frame", "3", "--depth", "d.png", "--depth16",
                                    "d16.png", "--image", "i.png"})));
  DepthFrame frame;
  {
    ToolFolder::Engine engine(folder);
    ASSERT_TRUE(ReadDepthFrame(folder.Path("five.rec"), 3, &frame));
  }
  const PngImage colour = ReadPng(folder.Path("d.png"));
  const PngImage depth16 = ReadPng(folder.Path("d16.png"));
  const PngImage image = ReadPng(folder.Path("i.png"));
  for (const PngImage* png : {&colour, &depth16, &image}) {
    ASSERT_TRUE(png->ok);
    EXPECT_EQ(png->width, 640u);
    EXPECT_EQ(png->height, 480u);
  }
  EXPECT_EQ(std::make_tuple(colour.colourType, colour.bitDepth), std::make_tuple(PNG_COLOR_TYPE_RGB, 8));
  EXPECT_EQ(std::make_tuple(depth16.colourType, depth16.bitDepth), std::make_tuple(PNG_COLOR_TYPE_GRAY, 16));
  EXPECT_EQ(std::make_tuple(image.colourType, image.bitDepth), std::make_tuple(PNG_COLOR_TYPE_RGB, 8));
  size_t wrong16 = 0, wrongColour = 0;
  for (uint32_t y = 0; y < 480; ++y) {
    for (uint32_t x = 0; x < 640; ++x) {
      const uint16_t z = frame.pixels[y * 640 + x];
      const uint8_t* p16 = &depth16.rows[y][x * 2];
      wrong16 += (p16[0] << 8 | p16[1]) != z;  // PNG is big-endian
      const uint8_t* rgb = &colour.rows[y][x * 3];
      const bool black = rgb[0] == 0 && rgb[1] == 0 && rgb[2] == 0;
      wrongColour += black != (z == frame.noSample || z == frame.shadow);
    }
  }
  EXPECT_EQ(wrong16, 0u) << "16-bit depth differs from frame 3";
  EXPECT_EQ(wrongColour, 0u) << "black must mark exactly the pixels without depth";
}

TEST_F(Tool, SnapshotOfASensorHasTheStreamsResolution) {
  ASSERT_TRUE(Succeeded(folder.Run({"snapshot", "--device", "*:1", "--depth", "small.png"})));
  const PngImage png = ReadPng(folder.Path("small.png"));
  ASSERT_TRUE(png.ok);
  EXPECT_EQ(std::make_pair(png.width, png.height), std::make_pair(320u, 240u));
}

TEST_F(Tool, CloudHoldsTheRealWorldPointOfEveryMeasuredPixel) {
  RecordFive();
  ASSERT_TRUE(Succeeded(folder.Run({"cloud", "--file", "five.rec", "--frame", "2", "--out", "c.ply"})));
  DepthFrame frame;
  {
    ToolFolder::Engine engine(folder);
    ASSERT_TRUE(ReadDepthFrame(folder.Path("five.rec"), 2, &frame));
  }
  std::ifstream in(folder.Path("c.ply"), std::ios::binary);
  std::string line, header;
  size_t vertices = 0;
  while (std::getline(in, line) && line != "end_header") {
    header += line + "\n";
    if (line.rfind("element vertex ", 0) == 0) vertices = std::stoul(line.substr(15));
  }
  EXPECT_EQ(header.rfind("ply\nformat binary_little_endian 1.0\n", 0), 0u) << header;
  EXPECT_NE(header.find("property uchar red\nproperty uchar green\nproperty uchar blue\n"), std::string::npos);
  std::vector<size_t> measured;
  for (size_t i = 0; i < frame.pixels.size(); ++i) {
    if (frame.pixels[i] != frame.noSample && frame.pixels[i] != frame.shadow) measured.push_back(i);
  }
  ASSERT_EQ(vertices, measured.size());
  const std::string body((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  ASSERT_EQ(body.size(), vertices * 15);
  size_t wrong = 0;
  for (size_t v = 0; v < vertices; ++v) {
    float xyz[3];
    std::memcpy(xyz, body.data() + v * 15, sizeof(xyz));
    const KrVPoint& expected = frame.realWorld[measured[v]];
    wrong += std::abs(xyz[0] - expected.X()) > 1e-3f || std::abs(xyz[1] - expected.Y()) > 1e-3f ||
             xyz[2] != expected.Z();
  }
  EXPECT_EQ(wrong, 0u);

  // Without an image of the depth's size the points carry no colour.
  ASSERT_TRUE(Succeeded(folder.Run({"record", "depth.rec", "--frames", "1", "--streams", "depth"})));
  ASSERT_TRUE(Succeeded(folder.Run({"cloud", "--file", "depth.rec", "--out", "plain.ply"})));
  std::ifstream plain(folder.Path("plain.ply"), std::ios::binary);
  const std::string text((std::istreambuf_iterator<char>(plain)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("property float z\nend_header\n"), std::string::npos);
}

// ---- flash ----

using FlashContent = std::tuple<uint32_t, uint16_t, uint32_t, uint16_t, uint16_t>;  // offset type size crc attr

std::vector<FlashContent> FlashOf(KrVDevice& sensor) {
  std::vector<FileListEntry> entries(100);
  FileListHeader header = {entries.data(), 100};
  EXPECT_EQ(sensor.GetProperty("Device", "FileList", KrGeneralBuffer{&header, sizeof(header)}), KR_STATUS_OK);
  std::vector<FlashContent> files;
  for (uint16_t i = 0; i < header.count; ++i) {
    const FileListEntry& e = entries[i];
    // Copies of the packed fields (a reference to one would be misaligned).
    files.emplace_back(uint32_t{e.offset}, uint16_t{e.type}, uint32_t{e.size}, uint16_t{e.crc}, uint16_t{e.attributes});
  }
  std::sort(files.begin(), files.end());
  return files;
}

class ToolFlash : public Tool {
 protected:
  void OpenSensor(KrVDevice* sensor) {
    KrVPropertySet values;
    values.AddProperty("Device", "ResetSensorOnStartup", uint64_t{0});
    ASSERT_EQ(sensor->CreateSensor("*:0", &values, KR_DEVICE_SHARING_EXCLUSIVE), KR_STATUS_OK);
  }
  std::vector<FlashContent> Flash() {
    ToolFolder::Engine engine(folder);
    KrVDevice sensor;
    OpenSensor(&sensor);
    return FlashOf(sensor);
  }
  // Deletes a read-only file and a plain one and uploads a new file.
  void ChangeFlash() {
    ToolFolder::Engine engine(folder);
    KrVDevice sensor;
    OpenSensor(&sensor);
    const FileAttributesRecord writable = {1, 0};
    ASSERT_EQ(sensor.SetProperty("Device", "FileAttributes", KrGeneralBuffer{const_cast<FileAttributesRecord*>(&writable), 4}),
              KR_STATUS_OK);
    ASSERT_EQ(sensor.SetProperty("Device", "DeleteFile", uint64_t{1}), KR_STATUS_OK);
    ASSERT_EQ(sensor.SetProperty("Device", "DeleteFile", uint64_t{5}), KR_STATUS_OK);
    folder.Write("new.bin", std::string("\x0b\x00new firmware", 14));
    const std::string path = folder.Path("new.bin");
    FlashFileRecord upload = {0x180000, path.c_str(), 0};
    ASSERT_EQ(sensor.SetProperty("Device", "FlashFile", KrGeneralBuffer{&upload, sizeof(upload)}), KR_STATUS_OK);
  }
};

TEST_F(ToolFlash, RestoreUndoesChangesMadeAfterTheBackup) {
  const std::vector<FlashContent> before = Flash();
  ASSERT_FALSE(before.empty());
  const RunResult list = folder.Run({"flash", "list"});
  ASSERT_TRUE(Succeeded(list));
  EXPECT_NE(list.out.find(std::to_string(before.size()) + " flash file(s)"), std::string::npos) << list.out;
  ASSERT_TRUE(Succeeded(folder.Run({"flash", "backup", "bk"})));
  ChangeFlash();
  ASSERT_NE(Flash(), before);
  const RunResult restore = folder.Run({"flash", "restore", "bk", "--device", "*:0"});
  ASSERT_TRUE(Succeeded(restore));
  EXPECT_NE(restore.out.find("1 file(s) deleted, 2 uploaded"), std::string::npos) << restore.out;
  EXPECT_EQ(Flash(), before);
}

TEST_F(ToolFlash, RestoreLeavesTheFlashAloneWhenTheBackupIsDamaged) {
  ASSERT_TRUE(Succeeded(folder.Run({"flash", "backup", "bk"})));
  const std::string intact = folder.Read("bk/file-3.bin");
  ASSERT_GT(intact.size(), 8u);
  std::string flipped = intact;
  flipped[intact.size() / 2] ^= 0x01;
  struct Case {
    std::string content;
    std::string message;
  };
  const Case cases[] = {{"cut", "file-3.bin is missing or not"}, {flipped, "file-3.bin is damaged"}};
  ChangeFlash();
  const std::vector<FlashContent> changed = Flash();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    folder.Write("bk/file-3.bin", c.content);
    const RunResult restore = folder.Run({"flash", "restore", "bk"});
    EXPECT_NE(restore.exitCode, 0);
    EXPECT_NE(restore.err.find(c.message), std::string::npos) << restore.err;
    EXPECT_EQ(Flash(), changed);
  }
}

// ---- command line ----

TEST_F(Tool, BadCommandLinesFailWithAClearMessage) {
  RecordFive();
  struct Case {
    std::vector<std::string> arguments;
    std::string message;
  };
  const Case cases[] = {
      {{"frobnicate"}, "frobnicate"},
      {{"record"}, "FILE is required"},
      {{"record", "x.rec", "--streams", "depth,sonar"}, "sonar not in"},
      {{"record", "x.rec", "--frames", "0"}, "--frames"},
      {{"record", "x.rec", "--frames", "3", "--seconds", "1"}, "excludes"},
      {{"record", "x.rec", "--device", "*:7"}, "cannot open device *:7"},
      {{"play", "missing.rec"}, "cannot open recording missing.rec"},
      {{"play", "Tollan.ini"}, "cannot open recording Tollan.ini"},
      {{"snapshot", "--file", "missing.rec", "--depth", "d.png"}, "cannot open recording missing.rec"},
      {{"snapshot", "--file", "five.rec"}, "nothing to write"},
      {{"snapshot", "--file", "five.rec", "--frame", "9", "--depth", "d.png"}, "ends after 5 depth frames"},
      {{"snapshot", "--file", "five.rec", "--depth", "no/such/dir/d.png"}, "cannot create no/such/dir/d.png"},
      {{"cloud", "--file", "five.rec"}, "--out is required"},
      {{"cloud", "--device", "*:0", "--file", "five.rec", "--out", "c.ply"}, "excludes"},
      {{"flash"}, "A subcommand is required"},
      {{"flash", "restore", "nothing"}, "no backup in nothing"},
      {{"info", "--file", "missing.rec"}, "cannot open recording missing.rec"},
      // An empty value names nothing; it never means the live sensor.
      {{"snapshot", "--file", "", "--depth", "d.png"}, "--file needs a value"},
      {{"cloud", "--file", "", "--out", "c.ply"}, "--file needs a value"},
      {{"info", "--file", ""}, "--file needs a value"},
      {{"info", "--device", ""}, "--device needs a value"},
      {{"record", "x.rec", "--device", ""}, "--device needs a value"},
      {{"record", "x.rec", "--seconds", "nan"}, "not a number above zero"},
      {{"record", "x.rec", "--seconds", "inf"}, "not a number above zero"},
      {{"record", "x.rec", "--frames", "0"}, "Value 0 is not a number above zero"},
      {{"record", "*:1", "--frames", "1"}, "*:1 names a sensor, not a file"},
      {{"record", "/dev/null", "--frames", "1"}, "/dev/null: it is not a regular file"},
      {{"flash", "backup", "/dev/null"}, "cannot back up into /dev/null: it is not a folder"},
  };
  for (const Case& c : cases) {
    std::string command;
    for (const std::string& argument : c.arguments) command += argument + " ";
    SCOPED_TRACE(command);
    const RunResult run = folder.Run(c.arguments);
    EXPECT_NE(run.exitCode, 0);
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
}

TEST_F(Tool, DevicesAndInfoDescribeSensorsAndRecordings) {
  const RunResult devices = folder.Run({"devices"});
  ASSERT_TRUE(Succeeded(devices));
  EXPECT_NE(devices.out.find("2 sensor(s)"), std::string::npos) << devices.out;
  EXPECT_NE(devices.out.find("*:1      serial "), std::string::npos) << devices.out;
  EXPECT_NE(devices.out.find("firmware 5.8.22"), std::string::npos) << devices.out;

  const RunResult sensor = folder.Run({"info"});
  ASSERT_TRUE(Succeeded(sensor));
  for (const char* line : {"[Device]\n", "[Depth]\n", "  ZPPS = 0.1042", "[Audio]\n  Type = Audio\n"}) {
    EXPECT_NE(sensor.out.find(line), std::string::npos) << line;
  }
  RecordFive();
  const RunResult file = folder.Run({"info", "--file", "five.rec", "--json"});
  ASSERT_TRUE(Succeeded(file));
  EXPECT_EQ(file.out.rfind("{\"device\": \"five.rec\", \"modules\": {\"Device\": {", 0), 0u) << file.out;
  EXPECT_NE(file.out.find("\"Image\": {\"Type\": \"Image\""), std::string::npos) << file.out;
  EXPECT_EQ(file.out.find("\"IR\""), std::string::npos);
  EXPECT_EQ(file.out.substr(file.out.size() - 4), "}}}\n");
}

// ---- the main job ----

TEST_F(Tool, DemoRecordsVerifiesAndSavesPicturesAndACloud) {
  const RunResult demo = folder.Run({"demo", "--out", "made", "--seconds", "2"});
  ASSERT_TRUE(Succeeded(demo));
  EXPECT_NE(demo.out.find("verification passed"), std::string::npos) << demo.out;
  {
    ToolFolder::Engine engine(folder);
    EXPECT_EQ(FramesPerStream(folder.Path("made/demo.rec")), (Frames{{"Depth", 60}, {"Image", 60}, {"Audio", 60}}));
  }
  EXPECT_TRUE(ReadPng(folder.Path("made/depth.png")).ok);
  EXPECT_EQ(ReadPng(folder.Path("made/image.png")).width, 640u);
  std::ifstream cloud(folder.Path("made/cloud.ply"));
  std::string first;
  EXPECT_TRUE(std::getline(cloud, first) && first == "ply");
}

}  // namespace
}  // namespace tool_test
