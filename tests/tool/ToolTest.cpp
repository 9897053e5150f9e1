// The ovalith tool end to end, checked with the engine and libpng: what it reports must be what a file holds, and
// a failure never passes for success.
#include <Tollan/TollanFlash.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <tuple>

#include <zlib.h>

#include "ToolRun.h"
#include "ViewFrameQueue.h"
#include "ViewFrames.h"

namespace tool_test {
namespace {

class Tool : public ::testing::Test {
 protected:
  // clip.rec: rounds of depth, image and audio; frame chunks 3k, 3k+1, 3k+2 hold their frame k+1.
  void RecordClip(size_t rounds = 5) {
    ASSERT_TRUE(Succeeded(folder.Run({"record", "clip.rec", "--frames", std::to_string(rounds)})));
    clip = folder.Read("clip.rec");
    for (const Chunk& chunk : Chunks(clip)) {
      if (chunk.type == "FRAM") frameChunks.push_back(chunk);
    }
    ASSERT_EQ(frameChunks.size(), 3 * rounds);
  }
  // clip.rec with one byte of frame chunk `index` flipped, in the pixels.
  void WriteWithDamagedFrame(const std::string& name, size_t index) {
    std::string bytes = clip;
    bytes[frameChunks[index].offset + 16 + 200] ^= 0x20;
    folder.Write(name, bytes);
  }
  ToolFolder folder;
  std::string clip;
  std::vector<Chunk> frameChunks;
};

// The sensor's frames depend only on their number: a compressed file holds the raw one's pixels in fewer bytes.
TEST_F(Tool, RecordsTheCountAndLengthAskedForInEveryStreamAndCompressesLosslessly) {
  const Frames all = {{"Depth", 30}, {"Image", 30}, {"Audio", 30}};
  const std::pair<std::vector<std::string>, Frames> cases[] = {
      {{"record", "raw.rec", "--frames", "30"}, all},
      {{"record", "packed.rec", "--frames", "30", "--compress", "depth=depth,image=lz4"}, all},
      {{"record", "c.rec", "--seconds", "0.5", "--streams", "depth,audio"}, {{"Depth", 15}, {"Audio", 15}}},
      {{"record", "c.rec", "--frames", "7", "--streams", "ir"}, {{"IR", 7}}},
  };
  for (const auto& [arguments, expected] : cases) {
    SCOPED_TRACE(arguments[1] + " " + arguments[2]);
    const RunResult run = folder.Run(arguments);
    ASSERT_TRUE(Succeeded(run));
    EXPECT_EQ(Counted(run.out), expected) << run.out;
    EXPECT_EQ(DeliveredFrames(folder, arguments[1]), expected);
  }
  EXPECT_LT(folder.Read("packed.rec").size(), folder.Read("raw.rec").size() * 3 / 4);
  EXPECT_TRUE(Succeeded(folder.Run({"play", "--verify", "packed.rec"})));
  const RunResult info = folder.Run({"info", "--file", "packed.rec"});
  EXPECT_TRUE(Holds(info.out, "codec depth"));
  EXPECT_TRUE(Holds(info.out, "codec lz4"));
  for (uint32_t number = 1; number <= 8; ++number) {
    DepthFrame fromRaw, fromPacked;
    ASSERT_TRUE(ReadDepthFrame(folder, "raw.rec", number, &fromRaw));
    ASSERT_TRUE(ReadDepthFrame(folder, "packed.rec", number, &fromPacked));
    EXPECT_EQ(fromRaw.pixels, fromPacked.pixels) << "frame " << number;
  }
}

// Sensor 1 is paced: the signal arrives while it records, after four 320x240 depth frames.
TEST_F(Tool, InterruptedRecordingIsClosedAndPlayable) {
  for (const int signal : {SIGINT, SIGHUP}) {
    SCOPED_TRACE(signal);
    const std::string file = "cut" + std::to_string(signal) + ".rec";
    const RunResult run =
        folder.Run({"record", file, "--device", "*:1", "--streams", "depth"}, file, 4 * 320 * 240 * 2, signal);
    ASSERT_TRUE(Succeeded(run));
    EXPECT_TRUE(Holds(run.out, "stopped"));
    EXPECT_TRUE(Succeeded(folder.Run({"play", file, "--verify"})));
    const Frames frames = DeliveredFrames(folder, file);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_GT(frames[0].second, 3u);
  }
}

// Files may not grow past 4 MB: the disk fills in the third round.
TEST_F(Tool, RecordOnAFullDiskReportsWhatTheFileHolds) {
  const RunResult run = folder.Run({"record", "full.rec", "--frames", "10"}, "", 0, SIGINT, 4000000);
  EXPECT_TRUE(FailedWith(run, "cannot write to full.rec"));
  EXPECT_TRUE(Holds(run.err, "(File too large)")) << "the system's reason is lost: " << run.err;
  EXPECT_FALSE(Holds(run.out, "recorded"));
  const Frames held = DeliveredFrames(folder, "full.rec");
  ASSERT_FALSE(held.empty());
  EXPECT_LT(held[0].second, 10u);
  EXPECT_EQ(Counted(run.out), held) << run.out;
  // Compressed frames fail on the encoder threads: the frame and the system's reason still reach the user.
  const RunResult packed = folder.Run(
      {"record", "packed.rec", "--frames", "40", "--compress", "depth=depth,image=zstd"}, "", 0, SIGINT, 4000000);
  EXPECT_TRUE(FailedWith(packed, "could not be written (File too large)")) << packed.err;
  const Frames packedHeld = DeliveredFrames(folder, "packed.rec");
  ASSERT_FALSE(packedHeld.empty());
  EXPECT_LT(packedHeld[0].second, 40u);
  // Every command that writes files reports the limit instead of dying of it.
  ASSERT_TRUE(Succeeded(folder.Run({"record", "whole.rec", "--frames", "10"})));
  const RunResult converted = folder.Run({"convert", "whole.rec", "half.rec"}, "", 0, SIGINT, 4000000);
  EXPECT_TRUE(FailedWith(converted, "(File too large)")) << "exit " << converted.exitCode << ": " << converted.err;
  const RunResult exported = folder.Run({"export", "whole.rec", "out"}, "", 0, SIGINT, 300000);
  EXPECT_TRUE(FailedWith(exported, "File too large")) << "exit " << exported.exitCode << ": " << exported.err;
  // A file removed while sensor 1 records: after the failure nothing can be read back.
  const RunResult gone =
      folder.Run({"record", "gone.rec", "--device", "*:1", "--streams", "depth"}, "gone.rec", 30000, 0, 10000000);
  EXPECT_TRUE(FailedWith(gone, "cannot write to gone.rec"));
  EXPECT_EQ(gone.out, "gone.rec: holds nothing that can be played\n");
}

// Modes the simulated sensor's documentation lists. Pictures of grey 8-bit images have R = G = B; YUV 4:2:2
// (Y0 U Y1 V) converts by BT.601, rounded and held to 0..255.
TEST_F(Tool, RecordTakesTheModeAskedForAndSnapshotConvertsImagesToRgb) {
  for (const std::string format : {"grey8", "yuv422"}) {
    SCOPED_TRACE(format);
    ASSERT_TRUE(Succeeded(folder.Run({"record", "i.rec", "--frames", "1", "--depth", "320x240@60", "--image",
                                      "1280x1024@15:" + format, "--audio", "44100x1"})));
    ASSERT_TRUE(Succeeded(folder.Run({"snapshot", "--file", "i.rec", "--image", "i.png"})));
    const PngImage png = ReadPng(folder.Path("i.png"));
    ASSERT_EQ(std::make_pair(png.info.width, png.info.height), std::make_pair(1280u, 1024u));
    ToolFolder::Engine engine(folder);
    KrVDevice file;
    ASSERT_EQ(file.OpenFileForReading(folder.Path("i.rec").c_str()), KR_STATUS_OK);
    const uint64_t code = format == "yuv422" ? KR_OUTPUT_FORMAT_YUV422 : KR_OUTPUT_FORMAT_GRAYSCALE8;
    const std::tuple<const char*, const char*, uint64_t> properties[] = {
        {"Depth", "XRes", 320},  {"Depth", "YRes", 240}, {"Depth", "FPS", 60},
        {"Image", "XRes", 1280}, {"Image", "FPS", 15},   {"Image", "OutputFormat", code},
        {"Audio", "NumOfChannels", 1}, {"Audio", "SampleRate", 44100}};
    for (const auto& [module, name, expected] : properties) {
      uint64_t value = 0;
      EXPECT_EQ(file.GetProperty(module, name, value), KR_STATUS_OK) << name;
      EXPECT_EQ(value, expected) << module << " " << name;
    }
    ASSERT_EQ(file.Read(), KR_STATUS_OK);
    const uint8_t* data = file.GetImageMap()->Data();
    size_t wrong = 0;
    for (size_t i = 0; i < 1280 * 1024; ++i) {
      double rgb[3] = {1.0 * data[i], 1.0 * data[i], 1.0 * data[i]};  // grey 8-bit
      if (format == "yuv422") {
        const uint8_t* pair = data + (i / 2) * 4;
        const double y = pair[(i % 2) * 2], u = pair[1] - 128.0, v = pair[3] - 128.0;
        rgb[0] = y + 1.402 * v;
        rgb[1] = y - 0.344136 * u - 0.714136 * v;
        rgb[2] = y + 1.772 * u;
      }
      for (int c = 0; c < 3; ++c) {
        wrong += std::abs(png.pixels[i * 3 + c] - std::min(255.0, std::max(0.0, rgb[c]))) > 1.0;
      }
    }
    EXPECT_EQ(wrong, 0u);
  }
}

// The pictures and the cloud of depth frame 3 of a copy whose image frame 2 is damaged are those of frame 3.
TEST_F(Tool, SnapshotAndCloudShowTheFrameAskedForOrFail) {
  RecordClip();
  WriteWithDamagedFrame("image2.rec", 4);
  WriteWithDamagedFrame("depth2.rec", 3);
  ASSERT_TRUE(Succeeded(folder.Run({"snapshot", "--file", "image2.rec", "--frame", "3", "--depth", "d.png", "--depth16",
                                    "d16.png", "--image", "i.png"})));
  ASSERT_TRUE(Succeeded(folder.Run({"cloud", "--file", "image2.rec", "--frame", "3", "--out", "c.ply"})));
  DepthFrame frame;
  ASSERT_TRUE(ReadDepthFrame(folder, "clip.rec", 3, &frame));
  const PngImage colour = ReadPng(folder.Path("d.png"));
  const PngImage depth16 = ReadPng(folder.Path("d16.png"));
  const PngImage image = ReadPng(folder.Path("i.png"));
  for (const PngImage* png : {&colour, &depth16, &image}) {
    ASSERT_FALSE(png->pixels.empty());
    EXPECT_EQ(std::make_pair(png->info.width, png->info.height), std::make_pair(640u, 480u));
  }
  EXPECT_EQ(colour.info.format, PNG_FORMAT_RGB);
  EXPECT_EQ(depth16.info.format, PNG_FORMAT_LINEAR_Y);
  EXPECT_EQ(image.info.format, PNG_FORMAT_RGB);
  size_t wrong16 = 0, wrongColour = 0;
  std::pair<uint16_t, uint32_t> nearest{UINT16_MAX, 0}, farthest{0, 0};  // depth, colour as 0xRRGGBB
  std::vector<size_t> measured;                                           // the pixels with a depth
  for (uint32_t y = 0; y < 480; ++y) {
    for (uint32_t x = 0; x < 640; ++x) {
      const uint16_t z = frame.pixels[y * 640 + x];
      wrong16 += reinterpret_cast<const uint16_t*>(depth16.pixels.data())[y * 640 + x] != z;
      const uint8_t* rgb = &colour.pixels[(y * 640 + x) * 3];
      const bool black = rgb[0] == 0 && rgb[1] == 0 && rgb[2] == 0;
      const bool valid = z != frame.noSample && z != frame.shadow;
      // Every depth runs through saturated hues (red, yellow, green, cyan, blue): one channel is always full.
      wrongColour += black == valid || (valid && std::max({rgb[0], rgb[1], rgb[2]}) != 255);
      const uint32_t packed = rgb[0] << 16 | rgb[1] << 8 | rgb[2];
      nearest = valid && z < nearest.first ? std::make_pair(z, packed) : nearest;
      farthest = valid && z > farthest.first ? std::make_pair(z, packed) : farthest;
      if (valid) measured.push_back(y * 640 + x);
    }
  }
  EXPECT_EQ(wrong16, 0u) << "16-bit depth differs from frame 3";
  EXPECT_EQ(wrongColour, 0u) << "black must mark exactly the pixels without depth, the others be saturated";
  // The colours run from pure red at the frame's nearest depth to pure blue at its farthest.
  EXPECT_EQ(nearest.second, 0xFF0000u);
  EXPECT_EQ(farthest.second, 0x0000FFu);
  const std::string ply = folder.Read("c.ply");
  const size_t end = ply.find("end_header\n");
  ASSERT_NE(end, std::string::npos);
  const std::string header = ply.substr(0, end);
  EXPECT_EQ(header.rfind("ply\nformat binary_little_endian 1.0\n", 0), 0u) << header;
  EXPECT_TRUE(Holds(header, "property uchar red\nproperty uchar green\nproperty uchar blue\n"));
  EXPECT_TRUE(Holds(header, "element vertex " + std::to_string(measured.size()) + "\n"));
  const std::string body = ply.substr(end + 11);
  ASSERT_EQ(body.size(), measured.size() * 15);
  size_t wrong = 0;
  for (size_t v = 0; v < measured.size(); ++v) {
    float xyz[3];
    std::memcpy(xyz, body.data() + v * 15, sizeof(xyz));
    const KrVPoint& expected = frame.realWorld[measured[v]];
    wrong +=
        std::abs(xyz[0] - expected.X()) > 1e-3f || std::abs(xyz[1] - expected.Y()) > 1e-3f || xyz[2] != expected.Z();
  }
  EXPECT_EQ(wrong, 0u);
  EXPECT_TRUE(FailedWith(folder.Run({"snapshot", "--file", "image2.rec", "--frame", "2", "--image", "i2.png"}),
                         "no image frame was taken with depth frame 2 of image2.rec (damaged"));
  EXPECT_TRUE(FailedWith(folder.Run({"snapshot", "--file", "depth2.rec", "--frame", "3", "--depth", "d3.png"}),
                         "depth frame 3 cannot be told"));
  EXPECT_FALSE(folder.Exists("i2.png"));
  EXPECT_FALSE(folder.Exists("d3.png"));
  // A sensor's picture has its stream's resolution.
  ASSERT_TRUE(Succeeded(folder.Run({"snapshot", "--device", "*:1", "--depth", "small.png"})));
  const PngImage small = ReadPng(folder.Path("small.png"));
  EXPECT_EQ(std::make_pair(small.info.width, small.info.height), std::make_pair(320u, 240u));
  // Without an image of the depth's size the points carry no colour.
  ASSERT_TRUE(Succeeded(folder.Run({"record", "depth.rec", "--frames", "1", "--streams", "depth"})));
  ASSERT_TRUE(Succeeded(folder.Run({"cloud", "--file", "depth.rec", "--out", "plain.ply"})));
  EXPECT_TRUE(Holds(folder.Read("plain.ply"), "property float z\nend_header\n"));
}

// A depth stream of 320x240 and an image stream as the case says.
std::vector<CraftedStream> DepthAndImage(uint64_t format, uint64_t claimedBytesPerPixel, uint32_t imageBytes,
                                         uint64_t xRes = 320) {
  return {{"Depth", "Depth", {{"XRes", 320}, {"YRes", 240}, {"OutputFormat", 1}, {"BytesPerPixel", 2}}, {}, 153600},
          {"Image",
           "Image",
           {{"XRes", xRes}, {"YRes", 240}, {"OutputFormat", format}, {"BytesPerPixel", claimedBytesPerPixel}},
           {},
           imageBytes}};
}

TEST_F(Tool, PicturesAreNeverMadeFromFramesOfAnotherSizeThanTheirFormatNeeds) {
  std::vector<CraftedStream> largeDepth = DepthAndImage(5, 3, 320 * 240 * 3);
  // A format the "File" device derives no size from keeps the size it is given: a frame past its mode.
  largeDepth[0].integers = {{"XRes", 320}, {"YRes", 240}, {"OutputFormat", 9}, {"RequiredDataSize", 153602}};
  largeDepth[0].frameBytes = 153602;
  std::vector<CraftedStream> realWidth = DepthAndImage(5, 3, 320 * 240 * 3);
  realWidth[1].integers.erase(realWidth[1].integers.begin());  // XRes
  realWidth[1].reals.push_back({"XRes", 320.5});
  const std::string kNoResolution = "no usable resolution (XRes and YRes must be whole numbers from 1 to 65535)\n";
  // Formats by the kit's codes: 5 RGB 24-bit, 6 YUV 4:2:2, 8 grey 16-bit; a point cloud may take the image's colours.
  const std::tuple<const char*, std::vector<CraftedStream>, std::string, bool> cases[] = {
      {"RGB claiming 1 byte a pixel", DepthAndImage(5, 1, 76800), "holds 76800 bytes, 230400 expected", true},
      {"YUV claiming 1 byte a pixel", DepthAndImage(6, 1, 76800), "holds 76800 bytes, 153600 expected", true},
      {"grey 16 claiming 1 byte a pixel", DepthAndImage(8, 1, 76800), "holds 76800 bytes, 153600 expected", false},
      {"depth two bytes larger than its mode", largeDepth, "holds 153602 bytes, 153600 expected", true},
      {"an image 0 pixels wide", DepthAndImage(5, 3, 230400, 0), kNoResolution, true},
      {"an image 320.5 pixels wide", realWidth, kNoResolution, true},
  };
  for (const auto& [what, streams, message, cloudColoured] : cases) {
    SCOPED_TRACE(what);
    {
      ToolFolder::Engine engine(folder);
      ASSERT_TRUE(WriteRecording(folder.Path("lying.rec"), streams, 2));
    }
    EXPECT_TRUE(FailedWith(folder.Run({"snapshot", "--file", "lying.rec", "--image", "i.png"}), message));
    EXPECT_FALSE(folder.Exists("i.png"));
    if (cloudColoured) {
      EXPECT_TRUE(FailedWith(folder.Run({"cloud", "--file", "lying.rec", "--out", "c.ply"}), message));
      EXPECT_FALSE(folder.Exists("c.ply"));
    }
  }
}

// Rewrites a recording (docs/recording-format.md) with a number of bytes added to the first raw frame of a stream,
// every CRC made anew and the index left out, as a foreign writer could; returns the frame's size before.
size_t GrowFirstFrame(const std::string& from, const std::string& to, const std::string& stream, size_t extra) {
  const std::string in = ReadAll(from);
  auto u32 = [&in](size_t at) {
    uint32_t v;
    std::memcpy(&v, in.data() + at, 4);
    return v;
  };
  std::string out = in.substr(0, 20);
  auto put = [&out](const std::string& kind, const std::string& payload) {
    std::string head = kind;
    const uint32_t words[2] = {uint32_t(payload.size()),
                               uint32_t(crc32(0, reinterpret_cast<const Bytef*>(payload.data()), payload.size()))};
    head.append(reinterpret_cast<const char*>(words), 8);
    const uint32_t headCrc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(head.data()), head.size()));
    out += head + std::string(reinterpret_cast<const char*>(&headCrc), 4) + payload;
  };
  uint32_t streamId = UINT32_MAX;
  size_t before = 0;
  for (size_t at = 20; at + 16 <= in.size();) {
    const std::string kind = in.substr(at, 4);
    std::string payload = in.substr(at + 16, u32(at + 4));
    at += 16 + payload.size();
    if (kind == "INDX" || kind == "TRLR") continue;
    uint16_t nameLength = 0;
    if (kind == "STRD") std::memcpy(&nameLength, payload.data() + 4, 2);
    if (kind == "STRD" && payload.substr(6, nameLength) == stream) std::memcpy(&streamId, payload.data(), 4);
    uint32_t id = 0, size = 0, encoding = 1;
    if (kind == "FRAM") {
      std::memcpy(&id, payload.data(), 4);
      std::memcpy(&size, payload.data() + 16, 4);
      std::memcpy(&encoding, payload.data() + 20, 4);
    }
    if (kind == "FRAM" && id == streamId && encoding == 0 && before == 0) {
      before = size;
      payload.append(extra, '\0');
      const uint32_t grown = uint32_t(size + extra);
      std::memcpy(&payload[16], &grown, 4);
    }
    put(kind, payload);
  }
  std::ofstream(to, std::ios::binary) << out;
  return before;
}

// A frame larger than its mode is refused by every command that makes pictures of it, as play --verify names it.
TEST_F(Tool, ExportRefusesAFrameLargerThanItsMode) {
  ASSERT_TRUE(Succeeded(folder.Run({"record", "ir.rec", "--frames", "2", "--streams", "depth,ir"})));
  const size_t size = GrowFirstFrame(folder.Path("ir.rec"), folder.Path("grown.rec"), "IR", 3);
  ASSERT_GT(size, 0u);
  const std::string named = std::to_string(size + 3) + " bytes, " + std::to_string(size) + " expected";
  const RunResult verify = folder.Run({"play", "grown.rec", "--verify"});
  EXPECT_TRUE(Holds(verify.out + verify.err, named)) << verify.out << verify.err;
  EXPECT_TRUE(FailedWith(folder.Run({"export", "grown.rec", "out"}), "infra-red frame 1 holds " + named));
}

using FlashContent = std::tuple<uint32_t, uint16_t, uint32_t, uint16_t, uint16_t>;  // offset type size crc attr

// Sensor *:0 opened without a reset, with the engine started on the folder.
struct Sensor : ToolFolder::Engine {
  explicit Sensor(const ToolFolder& folder) : ToolFolder::Engine(folder) {
    KrVPropertySet values;
    values.AddProperty("Device", "ResetSensorOnStartup", uint64_t{0});
    EXPECT_EQ(device.CreateSensor("*:0", &values, KR_DEVICE_SHARING_EXCLUSIVE), KR_STATUS_OK);
  }
  std::vector<FlashContent> Flash() {
    std::vector<FileListEntry> entries(100);
    FileListHeader header = {entries.data(), 100};
    EXPECT_EQ(device.GetProperty("Device", "FileList", KrGeneralBuffer{&header, sizeof(header)}), KR_STATUS_OK);
    std::vector<FlashContent> files;
    for (uint16_t i = 0; i < header.count; ++i) {
      const FileListEntry& e = entries[i];  // copies of the packed fields: a reference to one would be misaligned
      files.emplace_back(uint32_t{e.offset}, uint16_t{e.type}, uint32_t{e.size}, uint16_t{e.crc},
                         uint16_t{e.attributes});
    }
    std::sort(files.begin(), files.end());
    return files;
  }
  KrVDevice device;
};

TEST_F(Tool, RestoreUndoesChangesMadeAfterTheBackupUnlessItIsDamaged) {
  const std::vector<FlashContent> before = Sensor(folder).Flash();
  ASSERT_FALSE(before.empty());
  const RunResult list = folder.Run({"flash", "list"});
  ASSERT_TRUE(Succeeded(list));
  EXPECT_TRUE(Holds(list.out, std::to_string(before.size()) + " flash file(s)"));
  ASSERT_TRUE(Succeeded(folder.Run({"flash", "backup", "bk"})));
  const std::string intact = folder.Read("bk/file-3.bin");
  ASSERT_GT(intact.size(), 8u);
  std::string flipped = intact;
  flipped[intact.size() / 2] ^= 0x01;
  {
    Sensor sensor(folder);  // deletes a read-only file and a plain one and uploads a new file
    FileAttributesRecord writable = {1, 0};
    ASSERT_EQ(sensor.device.SetProperty("Device", "FileAttributes", KrGeneralBuffer{&writable, 4}), KR_STATUS_OK);
    ASSERT_EQ(sensor.device.SetProperty("Device", "DeleteFile", uint64_t{1}), KR_STATUS_OK);
    ASSERT_EQ(sensor.device.SetProperty("Device", "DeleteFile", uint64_t{5}), KR_STATUS_OK);
    folder.Write("new.bin", std::string("\x0b\x00new firmware", 14));
    const std::string path = folder.Path("new.bin");
    FlashFileRecord upload = {0x180000, path.c_str(), 0};
    ASSERT_EQ(sensor.device.SetProperty("Device", "FlashFile", KrGeneralBuffer{&upload, sizeof(upload)}), KR_STATUS_OK);
  }
  const std::vector<FlashContent> changed = Sensor(folder).Flash();
  ASSERT_NE(changed, before);
  const std::pair<std::string, std::string> cases[] = {{"cut", "file-3.bin is missing or not"},
                                                       {flipped, "file-3.bin is damaged"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.second);
    folder.Write("bk/file-3.bin", c.first);
    EXPECT_TRUE(FailedWith(folder.Run({"flash", "restore", "bk"}), c.second));
    EXPECT_EQ(Sensor(folder).Flash(), changed);
  }
  folder.Write("bk/file-3.bin", intact);
  const RunResult restore = folder.Run({"flash", "restore", "bk", "--device", "*:0"});
  ASSERT_TRUE(Succeeded(restore));
  EXPECT_TRUE(Holds(restore.out, "1 file(s) deleted, 2 uploaded"));
  EXPECT_EQ(Sensor(folder).Flash(), before);
  // A first file's checksum (fifth field) the sensor does not make: every step succeeds, the result differs.
  std::string manifest = folder.Read("bk/flash.txt");
  size_t crc = 0;
  for (int field = 1; field < 5; ++field) crc = manifest.find(' ', crc) + 1;
  manifest[crc] = manifest[crc] == '1' ? '2' : '1';
  folder.Write("bk/flash.txt", manifest);
  EXPECT_TRUE(FailedWith(folder.Run({"flash", "restore", "bk"}), " does not match the backup after the restore\n"));
}

TEST_F(Tool, BadCommandLinesFailWithAClearMessage) {
  RecordClip();
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{"frobnicate"}, "frobnicate"},
      {{"record"}, "FILE is required"},
      {{"record", "x.rec", "--streams", "depth,sonar"}, "sonar not in"},
      {{"record", "x.rec", "--frames", "3", "--seconds", "1"}, "excludes"},
      {{"record", "x.rec", "--device", "*:7"}, "cannot open device *:7"},
      {{"record", "x.rec", "--streams", "depth,depth"}, "cannot add a Depth stream: "},
      {{"play", "missing.rec"}, "cannot open recording missing.rec"},
      {{"snapshot", "--file", "clip.rec"}, "nothing to write"},
      {{"snapshot", "--file", "clip.rec", "--frame", "9", "--depth", "d.png"}, "ends after 5 depth frames"},
      {{"snapshot", "--file", "clip.rec", "--depth", "no/such/dir/d.png"}, "cannot create no/such/dir/d.png"},
      {{"cloud", "--file", "clip.rec"}, "--out is required"},
      {{"cloud", "--device", "*:0", "--file", "clip.rec", "--out", "c.ply"}, "excludes"},
      {{"flash"}, "A subcommand is required"},
      {{"flash", "restore", "nothing"}, "no backup in nothing"},
      {{"info", "--file", "missing.rec"}, "cannot open recording missing.rec"},
      {{"info", "--file", ""}, "--file needs a value"},
      {{"info", "--device", ""}, "--device needs a value"},
      {{"record", "x.rec", "--device", ""}, "--device needs a value"},
      {{"record", "x.rec", "--seconds", "inf"}, "not a number above zero"},
      {{"record", "x.rec", "--frames", "0"}, "Value 0 is not a number above zero"},
      {{"record", "*:1", "--frames", "1"}, "*:1 names a sensor, not a file"},
      {{"record", "/dev/null", "--frames", "1"}, "/dev/null: it is not a regular file"},
      {{"record", std::string(240, 'n') + ".rec", "--frames", "1"}, "the name is longer than"},
      {{"info", "--device", "clip.rec"}, "cannot add a Depth stream"},
      {{"flash", "backup", "/dev/null"}, "cannot back up into /dev/null: it is not a folder"},
      {{"record", "x.rec", "--depth", "1280x1024@15"},
       "does not offer Depth 1280x1024@15; it offers 320x240@15,30,60  640x480@15,30"},
      {{"record", "x.rec", "--image", "640x480@60"}, "does not offer Image 640x480@60"},
      {{"record", "x.rec", "--audio", "44100x3"}, "does not offer Audio 44100x3; it offers sample rates "},
      {{"record", "x.rec", "--depth", "640x"}, "--depth 640x: give WIDTHxHEIGHT"},
      {{"record", "x.rec", "--depth", "640x480@0"}, "--depth 640x480@0: give"},
      {{"record", "x.rec", "--image", "640x480:png"}, "unknown format png"},
      {{"record", "x.rec", "--ir", "640x480"}, "--ir is given but ir is not among --streams"},
      {{"record", "x.rec", "--compress", "depth=jpeg"}, "--compress depth=jpeg is not a codec choice"},
      {{"record", "x.rec", "--compress", "colour=lz4"}, "--compress colour=lz4 is not"},
      {{"record", "x.rec", "--compress", "depth"}, "--compress depth is not"},
  };
  for (const auto& c : cases) EXPECT_TRUE(FailedWith(folder.Run(c.first), c.second));
  folder.Write("Tollan.ini", "[Tollan]\nPaced = 0\n[SensorV2.0]\nDepth.Bogus = 1\n");
  EXPECT_TRUE(FailedWith(folder.Run({"info"}), "Depth.Bogus"));
}

TEST_F(Tool, DevicesAndInfoDescribeSensorsAndRecordings) {
  const RunResult devices = folder.Run({"devices"});
  ASSERT_TRUE(Succeeded(devices));
  for (const char* text : {"2 sensor(s)", "*:1      serial ", "firmware 5.8.22"}) EXPECT_TRUE(Holds(devices.out, text));
  const RunResult sensor = folder.Run({"info"});
  ASSERT_TRUE(Succeeded(sensor));
  for (const char* text : {"[Device]\n", "[Depth]\n", "  ZPPS = 0.1042", "[Audio]\n  Type = Audio\n",
                           "offered modes\n  Depth  320x240@15,30,60  640x480@15,30; formats shift,depth\n"})
    EXPECT_TRUE(Holds(sensor.out, text));
  // The help's example mode of each stream names a format of that stream.
  const RunResult help = folder.Run({"record", "--help"});
  for (const char* text : {"depth mode WIDTHxHEIGHT[@FPS][:FORMAT], e.g. 640x480@30:depth",
                           "ir mode WIDTHxHEIGHT[@FPS][:FORMAT], e.g. 640x480@30:grey16"})
    EXPECT_TRUE(Holds(help.out, text));
  RecordClip();
  const RunResult file = folder.Run({"info", "--file", "clip.rec", "--json"});
  ASSERT_TRUE(Succeeded(file));
  EXPECT_EQ(file.out.rfind("{\"device\": \"clip.rec\", \"modules\": {\"Device\": {", 0), 0u) << file.out;
  EXPECT_TRUE(Holds(file.out, "\"Image\": {\"Type\": \"Image\""));
  EXPECT_FALSE(Holds(file.out, "\"IR\""));
  EXPECT_EQ(file.out.substr(file.out.size() - 4), "}}}\n");
}

TEST_F(Tool, ForeignValuesNeverReachTheOutput) {
  // 101 streams, a device value that is not a number, a depth calibration that gives no positions.
  std::vector<CraftedStream> streams = {
      {"Depth", "Depth", {{"XRes", 320}, {"YRes", 240}, {"OutputFormat", 1}, {"ZPD", 120}}, {{"ZPPS", NAN}}, 153600}};
  for (int i = 0; i < 100; ++i) streams.push_back({"Audio", "a" + std::to_string(i), {}, {}, 4});
  bool lastReachable = false;
  {
    ToolFolder::Engine engine(folder);
    ASSERT_TRUE(WriteRecording(folder.Path("foreign.rec"), streams, 1,
                               {{"Gain", NAN}, {"Range", std::numeric_limits<double>::infinity()}}));
    KrVDevice file;
    KrVStreamData* data = nullptr;
    lastReachable = file.OpenFileForReading(folder.Path("foreign.rec").c_str()) == KR_STATUS_OK &&
                    file.GetStreamData("a99", data) == KR_STATUS_OK;
  }
  // However many streams the file has, each one is played or named as a fault.
  const RunResult play = folder.Run({"play", "foreign.rec", "--verify"});
  ASSERT_EQ(Counted(play.out).size(), 101u) << play.out;
  EXPECT_EQ(play.exitCode, lastReachable ? 0 : 1) << play.out;
  EXPECT_TRUE(lastReachable || Holds(play.out, "fault: the engine cannot reach this stream"));
  EXPECT_FALSE(Holds(play.out, "nan"));  // one frame a stream spans no time: its rate is 0
  const RunResult json = folder.Run({"info", "--file", "foreign.rec", "--json"});
  EXPECT_TRUE(Succeeded(json));
  EXPECT_TRUE(Holds(json.out, "\"Gain\": null"));
  EXPECT_TRUE(Holds(json.out, "\"Range\": null"));
  EXPECT_TRUE(FailedWith(folder.Run({"cloud", "--file", "foreign.rec", "--out", "c.ply"}), "no real-world position"));
  EXPECT_FALSE(folder.Exists("c.ply"));
}

// Cuts at every chunk boundary and one byte either side, and seeded byte flips, every other one in the file's
// structure (headers, the start of a frame, whole metadata, index and trailer chunks): play --verify ends normally,
// passes no copy, prints the frame counts the engine's reader delivers and warns of an unclosed file.
TEST_F(Tool, PlayOfDamagedCopiesNeverVerifiesAndCountsWhatTheReaderDelivers) {
  folder.Write("Tollan.ini", "[Tollan]\nPaced = 0\n[SensorV2.0]\nDepth.Resolution = 0\nImage.Resolution = 0\n");
  RecordClip(3);
  WriteWithDamagedFrame("damaged.rec", 4);  // image frame 2
  const size_t firstFrame = frameChunks.front().offset;
  // Copies with a line of their report.
  std::vector<std::pair<std::string, std::string>> copies = {{folder.Read("damaged.rec"), "1 damaged frame(s)"},
                                                             {clip.substr(0, firstFrame), "closed: NO"},
                                                             {clip.substr(0, firstFrame + 1000), "1000 tail byte(s)"},
                                                             {clip + "extra", "5 tail byte(s)"},
                                                             {clip.substr(0, clip.size() - 1), "closed: NO"}};
  std::vector<size_t> structure;
  for (size_t at = 0; at < 20; ++at) structure.push_back(at);
  for (const Chunk& chunk : Chunks(clip)) {
    for (const size_t cut : {chunk.offset - 1, chunk.offset, chunk.offset + 1})
      copies.push_back({clip.substr(0, cut), ""});
    const size_t length = chunk.type == "FRAM" ? 16 + 32 : chunk.size;
    for (size_t at = chunk.offset; at < chunk.offset + length; ++at) structure.push_back(at);
  }
  std::mt19937 random(20);
  std::uniform_int_distribution<size_t> anywhere(0, clip.size() - 1);
  std::uniform_int_distribution<size_t> inStructure(0, structure.size() - 1);
  std::uniform_int_distribution<int> mask(1, 255);
  for (int i = 0; i < 200; ++i) {
    const size_t at = i % 2 == 0 ? anywhere(random) : structure[inStructure(random)];
    copies.push_back({clip, ""});
    copies.back().first[at] ^= static_cast<char>(mask(random));
  }
  // A batch of copies in each run: a run costs more than a file, above all under the sanitizers.
  for (size_t first = 0; first < copies.size(); first += 50) {
    std::vector<std::string> arguments = {"play", "--verify"};
    for (size_t i = first; i < std::min(copies.size(), first + 50); ++i) {
      arguments.push_back("copy-" + std::to_string(i) + ".rec");
      folder.Write(arguments.back(), copies[i].first);
    }
    const RunResult run = folder.Run(arguments);
    ASSERT_EQ(run.exitCode, 1) << run.err;
    ASSERT_FALSE(Holds(run.err, "Sanitizer"));
    ASSERT_FALSE(Holds(run.err, "runtime error"));
    for (size_t i = 2; i < arguments.size(); ++i) {
      const std::string& name = arguments[i];
      SCOPED_TRACE(name);
      const size_t start = run.out.find(name + ": ");
      const size_t next = run.out.find("\ncopy-", start);
      const std::string section =
          start == std::string::npos ? "" : run.out.substr(start, next == std::string::npos ? next : next + 1 - start);
      ASSERT_TRUE(section.empty() ? Holds(run.err, "cannot open recording " + name + ":")
                                  : Holds(section, "verification FAILED"));
      const std::string& report = copies[first + i - 2].second;  // "" for the cuts and flips
      const bool warned = Holds(run.err, "warning: recording \"" + name + "\": no index");
      EXPECT_TRUE(Holds(section, report));
      EXPECT_TRUE(report.empty() || warned == bool(Holds(section, "closed: NO")));
      ASSERT_EQ(Counted(section), DeliveredFrames(folder, name)) << section;
    }
  }
  const RunResult play = folder.Run({"play", "damaged.rec"});
  EXPECT_TRUE(Succeeded(play));
  EXPECT_EQ(Counted(play.out), (Frames{{"Depth", 3}, {"Image", 2}, {"Audio", 3}})) << play.out;
  const RunResult intact = folder.Run({"play", "clip.rec", "--verify"});
  EXPECT_TRUE(Succeeded(intact));
  EXPECT_TRUE(Holds(intact.out, "closed: yes"));
}

TEST_F(Tool, DemoRecordsVerifiesAndSavesPicturesAndACloud) {
  const RunResult demo = folder.Run({"demo", "--out", "made", "--seconds", "2"});
  ASSERT_TRUE(Succeeded(demo));
  EXPECT_TRUE(Holds(demo.out, "verification passed"));
  EXPECT_EQ(DeliveredFrames(folder, "made/demo.rec"), (Frames{{"Depth", 60}, {"Image", 60}, {"Audio", 60}}));
  EXPECT_FALSE(ReadPng(folder.Path("made/depth.png")).pixels.empty());
  EXPECT_EQ(ReadPng(folder.Path("made/image.png")).info.width, 640u);
  EXPECT_EQ(folder.Read("made/cloud.ply").rfind("ply\n", 0), 0u);
}

// The viewer's depth message carries the world width of one pixel column at 1 mm, as the translator converts it.
TEST(ViewerFrames, DepthMessageCarriesTheTranslatorsPixelWidth) {
  const ToolFolder folder;
  ASSERT_EQ(KrVDevice::EngineInit(nullptr, folder.Path("").c_str()), KR_STATUS_OK);
  KrVDevice device;
  ASSERT_EQ(device.OpenSensor("*:0", nullptr, nullptr), KR_STATUS_OK);
  ASSERT_EQ(device.Read("Depth"), KR_STATUS_OK);
  const KrVDepthMap& depth = *device.GetDepthMap();
  const ovalith_view::Message message = ovalith_view::EncodeFrame(ovalith_view::FrameKind::kDepth, depth);
  ASSERT_NE(message, nullptr);
  float scale = 0;
  std::memcpy(&scale, message->data() + 28, sizeof(scale));
  KrVPoint left(40, 30, 2500), right(41, 30, 2500);
  depth.GetRealWorldTranslator()->Projective2RW(left);
  depth.GetRealWorldTranslator()->Projective2RW(right);
  const double width = (right.X() - left.X()) / 2500;
  EXPECT_NEAR(scale, width, width * 1e-5);
  device.Close();
  KrVDevice::EngineShutdown();
}

// A page's queue keeps every frame while it holds fewer than its bound of a
// stream, in the order they came; past it only that stream's oldest goes.
TEST(ViewerFrames, AQueueDropsOnlyTheOldestFrameOfAStreamPastItsBound) {
  auto frame = [](uint8_t stream, uint8_t id) {
    return std::make_shared<const ovalith_view::Bytes>(ovalith_view::Bytes{stream, id});
  };
  auto taken = [](ovalith_view::FrameQueue& queue) {
    std::vector<std::pair<int, int>> out;
    for (const ovalith_view::Message& m : queue.TakeAll()) out.emplace_back((*m)[0], (*m)[1]);
    return out;
  };
  ovalith_view::FrameQueue queue(3);
  EXPECT_TRUE(queue.Empty());
  for (uint8_t id = 1; id <= 3; ++id) {
    EXPECT_FALSE(queue.Push(0, frame(0, id)));
    EXPECT_FALSE(queue.Push(2, frame(2, id)));
  }
  EXPECT_FALSE(queue.Empty());
  const std::vector<std::pair<int, int>> all = {{0, 1}, {2, 1}, {0, 2}, {2, 2}, {0, 3}, {2, 3}};
  EXPECT_EQ(taken(queue), all);
  EXPECT_TRUE(queue.Empty());
  EXPECT_TRUE(taken(queue).empty());
  // The bound is per stream and starts afresh once the queue was taken.
  for (uint8_t id = 1; id <= 3; ++id) queue.Push(0, frame(0, id));
  queue.Push(1, frame(1, 1));
  EXPECT_TRUE(queue.Push(0, frame(0, 4)));
  EXPECT_TRUE(queue.Push(0, frame(0, 5)));
  EXPECT_FALSE(queue.Push(1, frame(1, 2)));
  const std::vector<std::pair<int, int>> kept = {{0, 3}, {1, 1}, {0, 4}, {0, 5}, {1, 2}};
  EXPECT_EQ(taken(queue), kept);
  // A bound of 0 keeps the newest frame of each stream.
  ovalith_view::FrameQueue newest(0);
  newest.Push(0, frame(0, 1));
  EXPECT_TRUE(newest.Push(0, frame(0, 2)));
  const std::vector<std::pair<int, int>> last = {{0, 2}};
  EXPECT_EQ(taken(newest), last);
}

}  // namespace
}  // namespace tool_test
