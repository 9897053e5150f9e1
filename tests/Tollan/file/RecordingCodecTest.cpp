// Codecs in recordings: version 1 files, the "File" device's "Compression" property, and the background encoders.
#include "Tollan/file/RecordingTestSupport.h"
#include <Tollan/src/file/FrameCodec.h>
#include <Tollan/src/sensor/SensorModes.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>

namespace tollan::recording::testing {
namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kAddressSpaceCapWorks = false;  // the sanitizers reserve terabytes of shadow memory
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kAddressSpaceCapWorks = false;
#else
constexpr bool kAddressSpaceCapWorks = true;
#endif
#else
constexpr bool kAddressSpaceCapWorks = true;
#endif

// The bombs of the fuzz corpus (tests/fuzz/make_bomb.py: a 320x240 depth stream, one frame claiming 256 MiB in 4 KB,
// one within the size but ranked over 65,536 values) are refused as damage, in a child whose address space may grow
// by twice the stream's frame size (and a little for the codec's contexts) at most.
TEST_F(RecordingTest, DecoderBombsAreRefusedWithinTwiceTheStreamsFrameSize) {
  if (!kAddressSpaceCapWorks) GTEST_SKIP() << "an address-space cap cannot work beside a sanitizer";
  // Both streams are 320 x 240 of 16-bit depth: one says so with BytesPerPixel, one only with its format.
  for (const char* name : {"depth-bomb.rec", "depth-bomb-format.rec"}) {
    SCOPED_TRACE(name);
    const std::string path = std::string(OVALITH_SOURCE_DIR) + "/tests/fuzz/corpus/recording/" + name;
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      RecordingReader reader;
      if (reader.Open(path.c_str()) != KR_STATUS_OK || reader.Streams().size() != 1) _exit(2);
      const uint64_t frameSize = 320 * 240 * 2;
      unsigned long pages = 0;
      FILE* statm = std::fopen("/proc/self/statm", "r");
      if (statm == nullptr || std::fscanf(statm, "%lu", &pages) != 1) _exit(2);
      std::fclose(statm);
      const rlim_t cap = rlim_t(pages) * rlim_t(sysconf(_SC_PAGESIZE)) + 2 * frameSize + (4u << 20);
      const rlimit limit{cap, cap};
      if (setrlimit(RLIMIT_AS, &limit) != 0) _exit(2);
      int refused = 0;
      try {
        for (int guard = 0; guard < 10; ++guard) {
          Item item;
          KrStatus status = reader.Next(&item);
          if (status == KR_STATUS_TL_END_OF_FILE) break;
          if (status == KR_STATUS_OK && item.kind == Item::Kind::kFrame) {
            std::vector<uint8_t> record(item.frame.size);  // as the "File" device sizes its record
            status = reader.ReadFrameData(record.data(), uint32_t(record.size()));
          }
          refused += status == KR_STATUS_TL_FILE_CORRUPT;
        }
      } catch (const std::bad_alloc&) {
        _exit(3);
      }
      _exit(refused == 2 ? 0 : 4);
    }
    int wait = 0;
    ASSERT_EQ(waitpid(child, &wait, 0), child);
    ASSERT_TRUE(WIFEXITED(wait));
    EXPECT_EQ(WEXITSTATUS(wait), 0) << "2: the file did not open; 3: out of memory under the cap; 4: a bomb was not "
                                       "refused as damage";
  }
}

// A compressed frame is bounded by the mode its stream's settings give, however they give it; a frame of exactly that
// size plays, one two bytes larger is damage. A stream whose settings give no size has no such bound.
TEST_F(RecordingTest, CompressedFramesAreBoundedByTheModeTheirSettingsGive) {
  const sensor::Resolution* qvga = sensor::FindResolutionByXRes(320);
  ASSERT_NE(qvga, nullptr);
  const struct {
    const char* what;
    std::string type;
    std::vector<Property> settings;
    uint32_t modeBytes;
    bool bounded;
  } cases[] = {
      {"sizes and a format, no bytes per pixel",
       "Depth",
       {{"Depth", "XRes", Value::Int(16)},
        {"Depth", "YRes", Value::Int(8)},
        {"Depth", "OutputFormat", Value::Int(KR_OUTPUT_FORMAT_DEPTH_VALUES)}},
       16 * 8 * 2,
       true},
      {"a resolution code and the type's format",
       "Depth",
       {{"Depth", "Resolution", Value::Int(qvga->code)}},
       320 * 240 * 2,
       true},
      {"a required size only", "Depth", {{"Depth", "RequiredDataSize", Value::Int(300)}}, 300, true},
      // 48,000 samples a second at 30 frames a second: 1,600 samples of each of 2 channels, 16 bits each.
      {"audio by rate, channels and frame rate",
       "Audio",
       {{"Depth", "SampleRate", Value::Int(48000)},
        {"Depth", "NumOfChannels", Value::Int(2)},
        {"Depth", "FPS", Value::Int(30)}},
       1600 * 2 * 2,
       true},
      {"mono audio",
       "Audio",
       {{"Depth", "SampleRate", Value::Int(48000)},
        {"Depth", "NumOfChannels", Value::Int(1)},
        {"Depth", "FPS", Value::Int(30)}},
       1600 * 1 * 2,
       true},
      {"sizes of a type the kit does not know",
       "Points",
       {{"Depth", "XRes", Value::Int(16)}, {"Depth", "YRes", Value::Int(8)}},
       16 * 8 * 2,
       false},
  };
  for (const auto& each : cases) {
    SCOPED_TRACE(each.what);
    const std::string path = Path("bounded.rec");
    {
      RecordingWriter writer;
      uint32_t id = 0;
      ASSERT_EQ(writer.Open(path.c_str(), {}), KR_STATUS_OK);
      ASSERT_EQ(writer.AddStream({0, "Depth", each.type, Compression::kZstd, each.settings}, &id), KR_STATUS_OK);
      for (uint32_t n = 1; n <= 2; ++n) {
        const uint32_t size = each.modeBytes + (n == 2 ? 2 : 0);
        const std::vector<uint8_t> data = CompressibleFrame(0, n, size);
        ASSERT_EQ(writer.AppendFrame({id, n, n * 1000ull, size}, data.data(), nullptr), KR_STATUS_OK);
      }
      ASSERT_EQ(writer.Close(), KR_STATUS_OK);
    }
    RecordingReader reader;
    ASSERT_EQ(reader.Open(path.c_str()), KR_STATUS_OK);
    const Playback playback = PlayAll(reader);
    std::vector<uint32_t> played;
    for (const Played& item : playback.items) {
      if (item.kind != Item::Kind::kFrame) continue;
      EXPECT_NE(item.encoding, FrameEncoding::kRaw) << "the frame did not shrink, so nothing is bounded";
      EXPECT_EQ(item.data, CompressibleFrame(0, item.frame.frameId, item.frame.size));
      played.push_back(item.frame.frameId);
    }
    const std::vector<uint32_t> expected = each.bounded ? std::vector<uint32_t>{1} : std::vector<uint32_t>{1, 2};
    EXPECT_EQ(played, expected);
    EXPECT_EQ(playback.corrupt, each.bounded ? 1 : 0);
  }
}

// The version 1 recordings of the fuzz corpus (deflated depth among them) play with values of every type.
TEST_F(RecordingTest, VersionOneRecordingsStillPlayAndBackgroundEncodingKeepsTheOrder) {
  const uint8_t agc[] = {1, 0, 0x20, 0x03, 0xB8, 0x0B};
  const std::vector<Property> device = {{"Device", "ReadWriteMode", Value::Int(1)},
                                        {"Device", "Gain", Value::Real(1.5)},
                                        {"Device", "PhysicalDeviceName", Value::String("File")},
                                        {"Depth", "AGCBin", Value::General(agc, sizeof(agc))}};
  for (const char* name : {"indexed.rec", "deflated.rec"}) {
    SCOPED_TRACE(name);
    const std::string path = std::string(OVALITH_SOURCE_DIR) + "/tests/fuzz/corpus/recording/" + name;
    ASSERT_EQ(LoadBytes(path).at(8), 1) << "a version 1 file";
    RecordingReader reader;
    ASSERT_EQ(reader.Open(path.c_str()), KR_STATUS_OK);
    EXPECT_EQ(reader.DeviceProperties(), device);
    ASSERT_EQ(reader.PropertyChanges().size(), 2u);
    EXPECT_EQ(reader.PropertyChanges()[1].property, (Property{"Image", "Flags", Value::String("Mirror")}));
    const Playback playback = PlayAll(reader);
    EXPECT_EQ(playback.corrupt, 0);
    int depthFrames = 0;
    for (const Played& played : playback.items) {
      if (played.kind == Item::Kind::kFrame && played.frame.streamId == 0) {
        ++depthFrames;
        for (size_t i = 0; i < played.data.size(); ++i) {
          ASSERT_EQ(played.data[i], uint8_t(i / 16 + played.frame.frameId));
        }
      }
    }
    EXPECT_EQ(depthFrames, 3);
  }
  // Through a queue that fills many times over, raw frames queued behind compressed ones, and a caller that reuses its
  // frame buffer at once.
  std::vector<Played> played[2];
  for (bool background : {false, true}) {
    const std::string path = Path(background ? "background.rec" : "inline.rec");
    RecordingWriter writer;
    ASSERT_EQ(writer.Open(path.c_str(), {}), KR_STATUS_OK);
    writer.EncodeInBackground(background);
    const Compression codecs[] = {Compression::kDepth, Compression::kNone, Compression::kLz4};
    for (uint32_t s = 0; s < 3; ++s) {
      const std::string name = "S" + std::to_string(s);
      ASSERT_EQ(writer.AddStream({0, name, "Depth", codecs[s], {{name, "XRes", Value::Int(32)}}}, nullptr),
                KR_STATUS_OK);
    }
    const uint32_t size = kSampleStreams[0].compressedSize;
    std::vector<uint8_t> buffer;
    uint64_t queued = 0;  // frames AppendFrame left in the queue
    for (uint32_t frameId = 1; frameId <= 12 * RecordingWriter::kQueueDepth; ++frameId) {
      for (uint32_t s = 0; s < 3; ++s) {
        buffer = CompressibleFrame(s, frameId, size);
        RecordingWriter::Landed landed = RecordingWriter::Landed::kQueued;
        ASSERT_EQ(writer.AppendFrame({s, frameId, frameId * 1000ull + s, size}, buffer.data(), &landed), KR_STATUS_OK);
        queued += landed == RecordingWriter::Landed::kQueued;
        std::fill(buffer.begin(), buffer.end(), uint8_t(0xEE));  // the writer must have its own copy
      }
      if (frameId == 7) {
        ASSERT_EQ(writer.AppendPropertyChange({"S0", "Mirror", Value::Int(1)}), KR_STATUS_OK);
      }
    }
    // Inline, every frame is in the file on return; in the background the compressed ones wait for a flush.
    EXPECT_EQ(queued != 0, background);
    ASSERT_EQ(writer.Flush(false), KR_STATUS_OK);
    EXPECT_EQ(writer.Queued(), 0u);
    EXPECT_EQ(writer.TotalFrames(), 3u * 12 * RecordingWriter::kQueueDepth);
    ASSERT_EQ(writer.Close(), KR_STATUS_OK);
    const Playback playback = PlayFile(path);
    EXPECT_EQ(playback.corrupt, 0);
    played[background] = playback.items;
  }
  ASSERT_EQ(played[1].size(), 3u + 3u * 12 * RecordingWriter::kQueueDepth + 1u);
  EXPECT_TRUE(played[1] == played[0]);
}

class FileDeviceCompression : public tollan_test::KitTest {};

// Frame 2 is noise the codec would grow; the choice is the device's own, never a recorded property or change.
TEST_F(FileDeviceCompression, PropertyChoosesTheCodecFromTheNextFrameOn) {
  const uint32_t size = kSampleStreams[0].compressedSize;
  auto Frame = [size](uint32_t f) {
    std::vector<uint8_t> bytes = CompressibleFrame(0, f, size);
    std::mt19937 random(f);
    std::generate_n(bytes.begin(), f == 2 ? size : 0, [&] { return uint8_t(random()); });
    return bytes;
  };
  const std::string path = scratch_.Path() + "/compressed.rec";
  tollan_test::PropertySet initial;
  KrPropertySetAddStringProperty(initial.Get(), "Device", "Compression", "depth=depth,image=lz4");
  KrDeviceConfig config{KR_DEVICE_MODE_WRITE, path.c_str(), initial.Get(), KR_DEVICE_SHARING_EXCLUSIVE};
  KrDeviceHandle device = nullptr;
  ASSERT_EQ(KrDeviceProxyCreateDeviceByName("File", &device, &config), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxySetStringProperty(device, "Device", "Compression", "depth=png"),
            KR_STATUS_TL_BAD_PROPERTY_VALUE);
  tollan_test::PropertySet values;
  KrPropertySetAddIntProperty(values.Get(), "Depth", "RequiredDataSize", size);
  KrPropertySetAddIntProperty(values.Get(), "Depth", "XRes", 32);
  ASSERT_EQ(KrDeviceProxyCreateStream(device, "Depth", "Depth", values.Get()), KR_STATUS_OK);
  KrStreamData* record = nullptr;
  ASSERT_EQ(KrDeviceProxyCreateStreamData(device, "Depth", &record), KR_STATUS_OK);
  for (uint32_t f = 1; f <= 3; ++f) {
    if (f == 3) {
      ASSERT_EQ(KrDeviceProxySetStringProperty(device, "Device", "Compression", ""), KR_STATUS_OK);
    }
    const std::vector<uint8_t> bytes = Frame(f);
    std::memcpy(record->pData, bytes.data(), bytes.size());
    record->nDataSize = size;
    record->nFrameID = f;
    record->nTimestamp = f * 1000;
    record->bIsNew = 1;
    ASSERT_EQ(KrDeviceProxyWriteStream(device, record), KR_STATUS_OK);
  }
  KrDeviceProxyDestroyStreamData(&record);
  ASSERT_EQ(KrDeviceProxyDestroy(&device), KR_STATUS_OK);
  RecordingReader reader;
  ASSERT_EQ(reader.Open(path.c_str()), KR_STATUS_OK);
  EXPECT_EQ(reader.Streams().at(0).compression, Compression::kDepth);
  for (const Property& property : reader.DeviceProperties()) EXPECT_NE(property.name, "Compression");
  EXPECT_TRUE(reader.PropertyChanges().empty());
  const Playback playback = PlayAll(reader);
  ASSERT_EQ(playback.items.size(), 4u);  // the stream, then its frames
  for (uint32_t f = 1; f <= 3; ++f) {
    EXPECT_EQ(playback.items[f].encoding, f == 1 ? FrameEncoding::kDepth : FrameEncoding::kRaw) << "frame " << f;
    EXPECT_EQ(playback.items[f].data, Frame(f));
  }
}

}  // namespace
}  // namespace tollan::recording::testing
