// Shared helpers of the recording tests: a temporary directory per test, a
// small four-stream recording (raw, or one codec per stream), and playback
// into plain values to compare.
#pragma once

#include <Tollan/src/file/RecordingReader.h>
#include <Tollan/src/file/RecordingWriter.h>

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace tollan {
namespace recording {
namespace testing {

// A fresh directory under TMPDIR (else in memory, /dev/shm, where the
// machine has it, else /tmp), removed after the test. The damage tests
// write thousands of small files.
class RecordingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* base = std::getenv("TMPDIR");
    if (base == nullptr || *base == '\0') {
      base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    }
    std::string pattern = std::string(base) + "/recording-XXXXXX";
    ASSERT_NE(mkdtemp(&pattern[0]), nullptr);
    dir_ = pattern;
  }
  void TearDown() override { std::system(("rm -rf '" + dir_ + "'").c_str()); }
  std::string Path(const char* name) const { return dir_ + "/" + name; }

  std::string dir_;
};

// Sets this process's file size limit (the disk "fills" there; writes past
// it fail instead of raising SIGXFSZ); returns the limit it replaced.
inline rlim_t LimitFileSize(rlim_t bytes) {
  signal(SIGXFSZ, SIG_IGN);
  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  const rlim_t before = limit.rlim_cur;
  limit.rlim_cur = bytes;
  setrlimit(RLIMIT_FSIZE, &limit);
  return before;
}

inline std::vector<uint8_t> LoadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes a new file (a file replaced by truncation would make some file
// systems flush it to disk on close, which is slow in a loop).
inline void SaveBytes(const std::string& path, const uint8_t* data, size_t size) {
  unlink(path.c_str());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
}

// Deterministic frame contents that differ by stream and frame.
inline std::vector<uint8_t> FrameBytes(uint32_t streamId, uint32_t frameId, size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) {
    bytes[i] = uint8_t(i * 7 + frameId * 13 + streamId * 101);
  }
  return bytes;
}

// One played step, with the frame's data or the change copied out.
struct Played {
  Item::Kind kind = Item::Kind::kFrame;
  uint32_t streamId = 0;
  FrameInfo frame;
  FrameEncoding encoding = FrameEncoding::kRaw;
  uint32_t storedSize = 0;
  std::vector<uint8_t> data;
  PropertyChange change;

  auto Fields() const {
    return std::tie(kind, streamId, frame.streamId, frame.frameId, frame.timestamp, frame.size, data,
                    change.framesBefore, change.timestamp, change.property);
  }
  bool operator==(const Played& other) const { return Fields() == other.Fields(); }
};

struct Playback {
  std::vector<Played> items;
  int corrupt = 0;  // steps that gave KR_STATUS_TL_FILE_CORRUPT
  KrStatus end = KR_STATUS_OK;
};

// Plays to the end, reading every frame's data.
inline Playback PlayAll(RecordingReader& reader) {
  Playback playback;
  for (int guard = 0; guard < 100000; ++guard) {
    Item item;
    const KrStatus status = reader.Next(&item);
    if (status == KR_STATUS_TL_FILE_CORRUPT) {
      playback.corrupt++;
      continue;
    }
    if (status != KR_STATUS_OK) {
      playback.end = status;
      return playback;
    }
    Played played;
    played.kind = item.kind;
    played.streamId = item.streamId;
    if (item.kind == Item::Kind::kFrame) {
      played.frame = item.frame;
      played.encoding = reader.CurrentEncoding();
      played.storedSize = reader.CurrentStoredSize();
      played.data.resize(item.frame.size);
      const KrStatus read = reader.ReadFrameData(played.data.data(), uint32_t(played.data.size()));
      if (read == KR_STATUS_TL_FILE_CORRUPT) {
        playback.corrupt++;
        continue;
      }
      EXPECT_EQ(read, KR_STATUS_OK);
    } else if (item.kind == Item::Kind::kPropertyChange) {
      played.change = *item.change;
    }
    playback.items.push_back(played);
  }
  ADD_FAILURE() << "playback did not end";
  return playback;
}

// Opens path and plays it to the end.
inline Playback PlayFile(const std::string& path, const ReaderOptions& options = ReaderOptions()) {
  RecordingReader reader;
  EXPECT_EQ(reader.Open(path.c_str(), options), KR_STATUS_OK);
  return PlayAll(reader);
}

inline bool IsPrefix(const std::vector<Played>& prefix, const std::vector<Played>& all) {
  return prefix.size() <= all.size() && std::equal(prefix.begin(), prefix.end(), all.begin());
}

inline bool IsSubsequence(const std::vector<Played>& part, const std::vector<Played>& all) {
  size_t next = 0;
  for (const Played& played : part) {
    while (next < all.size() && !(all[next] == played)) {
      ++next;
    }
    if (next == all.size()) {
      return false;
    }
    ++next;
  }
  return true;
}

// The device properties of the sample: one of each type.
inline std::vector<Property> SampleDeviceProperties() {
  const uint8_t blob[] = {1, 0, 2, 0, 3, 0};
  return {{"Device", "ReadWriteMode", Value::Int(1)},
          {"Device", "Gain", Value::Real(1.25)},
          {"Device", "PhysicalDeviceName", Value::String("SensorV2")},
          {"Depth", "AGCBin", Value::General(blob, sizeof(blob))}};
}

// The stream kinds a sensor records, with small frames.
struct StreamKind {
  const char* name;
  const char* type;
  uint32_t frameSize;
  uint64_t outputFormat;
};
constexpr StreamKind kSampleStreams[] = {
    {"Depth", "Depth", 8 * 6 * 2, 1},  // 16-bit depth
    {"Image", "Image", 4 * 3 * 3, 5},  // RGB 24-bit
    {"IR", "IR", 8 * 6, 4},            // grey 8-bit
    {"Audio", "Audio", 40, 7},         // 16-bit PCM, stereo
};

// Frames each codec shrinks: depth of a slanted wall 32 pixels wide with
// noise and a hole (stream 0), and repeating colour, infra-red and sound.
inline std::vector<uint8_t> CompressibleFrame(uint32_t stream, uint32_t frameId, uint32_t size) {
  std::vector<uint8_t> bytes(size);
  std::mt19937 random(stream * 100 + frameId);
  for (uint32_t i = 0; i + 1 < size; i += 2) {
    const uint32_t pixel = i / 2;
    const uint16_t depth = pixel % 32 > 26 ? 0 : uint16_t(2000 + pixel % 32 * 9 + pixel / 32 * 3 + random() % 3 * 26);
    const uint16_t value = stream == 0 ? depth : uint16_t(pixel % 6 * 1000 + frameId);
    bytes[i] = uint8_t(value);
    bytes[i + 1] = uint8_t(value >> 8);
  }
  return bytes;
}

// The compressed sample's codec and frame size of each stream.
constexpr Compression kCodecs[] = {Compression::kDepth, Compression::kLz4, Compression::kZstd, Compression::kZlib};
constexpr uint32_t kSizes[] = {32 * 24 * 2, 600, 600, 400};

// Frame frameId of sample stream id; audio frame 2 is empty.
inline std::vector<uint8_t> SampleFrame(bool compressed, uint32_t id, uint32_t frameId) {
  const uint32_t size = id == 3 && frameId == 2 ? 0 : compressed ? kSizes[id] : kSampleStreams[id].frameSize;
  return compressed ? CompressibleFrame(id, frameId, size) : FrameBytes(id, frameId, size);
}

// Writes the sample: the four streams (stored raw, or each with its codec
// of kCodecs), three frames each interleaved at frameId * 33333 + id, a
// property change after the first round and one after the second.
inline void WriteSample(const std::string& path, bool compressed = false) {
  RecordingWriter writer;
  ASSERT_EQ(writer.Open(path.c_str(), SampleDeviceProperties()), KR_STATUS_OK);
  for (uint32_t id = 0; id < 4; ++id) {
    const StreamKind& kind = kSampleStreams[id];
    const std::vector<Property> properties = {{kind.name, "OutputFormat", Value::Int(kind.outputFormat)},
                                              {kind.name, "XRes", Value::Int(32)}};
    uint32_t added = 0;
    ASSERT_EQ(writer.AddStream({0, kind.name, kind.type, compressed ? kCodecs[id] : Compression::kNone, properties},
                               &added),
              KR_STATUS_OK);
  }
  for (uint32_t frameId = 1; frameId <= 3; ++frameId) {
    for (uint32_t id = 0; id < 4; ++id) {
      const std::vector<uint8_t> data = SampleFrame(compressed, id, frameId);
      ASSERT_EQ(writer.AppendFrame({id, frameId, frameId * 33333ull + id, uint32_t(data.size())}, data.data()),
                KR_STATUS_OK);
    }
    if (frameId == 1) {
      ASSERT_EQ(writer.AppendPropertyChange({"Depth", "Mirror", Value::Int(1)}), KR_STATUS_OK);
    } else if (frameId == 2) {
      ASSERT_EQ(writer.AppendPropertyChange({"Image", "Name", Value::String("after two")}), KR_STATUS_OK);
    }
  }
  ASSERT_EQ(writer.Close(), KR_STATUS_OK);
}
inline void WriteCompressed(const std::string& path) { WriteSample(path, true); }

}  // namespace testing
}  // namespace recording
}  // namespace tollan
