// Shared helpers of the recording tests: a directory per test, a four-stream sample, playback into plain values.
#pragma once

#include "Tollan/KitTestSupport.h"
#include <Tollan/src/file/RecordingReader.h>
#include <Tollan/src/file/RecordingWriter.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace tollan::recording::testing {

class RecordingTest : public ::testing::Test {
 protected:
  std::string Path(const char* name) const { return scratch_.Path() + "/" + name; }
  tollan_test::ScratchDirectory scratch_;
};

inline std::vector<uint8_t> LoadBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Writes a new file (replacing one by truncation makes some file systems flush it on close, which is slow in a loop).
inline void SaveBytes(const std::string& path, const uint8_t* data, size_t size) {
  unlink(path.c_str());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data), std::streamsize(size));
}

// Deterministic frame contents that differ by stream and frame.
inline std::vector<uint8_t> FrameBytes(uint32_t streamId, uint32_t frameId, size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i * 7 + frameId * 13 + streamId * 101);
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
    KrStatus status = reader.Next(&item);
    Played played{item.kind, item.streamId, item.frame, reader.CurrentEncoding(), reader.CurrentStoredSize(), {}, {}};
    if (status == KR_STATUS_OK && item.kind == Item::Kind::kFrame) {
      played.data.resize(item.frame.size);
      status = reader.ReadFrameData(played.data.data(), uint32_t(played.data.size()));
    } else if (status == KR_STATUS_OK && item.kind == Item::Kind::kPropertyChange) {
      played.change = *item.change;
    }
    if (status == KR_STATUS_TL_FILE_CORRUPT) {
      playback.corrupt++;
    } else if (status == KR_STATUS_OK) {
      playback.items.push_back(played);
    } else {
      playback.end = status;
      return playback;
    }
  }
  ADD_FAILURE() << "playback did not end";
  return playback;
}

inline Playback PlayFile(const std::string& path, const ReaderOptions& options = ReaderOptions()) {
  RecordingReader reader;
  EXPECT_EQ(reader.Open(path.c_str(), options), KR_STATUS_OK);
  return PlayAll(reader);
}

// The device properties of the sample: one of each type.
inline std::vector<Property> SampleDeviceProperties() {
  const uint8_t blob[] = {1, 0, 2, 0, 3, 0};
  return {{"Device", "ReadWriteMode", Value::Int(1)},
          {"Device", "Gain", Value::Real(1.25)},
          {"Device", "PhysicalDeviceName", Value::String("SensorV2")},
          {"Depth", "AGCBin", Value::General(blob, sizeof(blob))}};
}

// The sample's streams: output format, raw frame size, and compressed sample's codec and frame size.
struct StreamKind {
  const char* name;
  uint64_t outputFormat;
  uint32_t rawSize;
  Compression codec;
  uint32_t compressedSize;
};
constexpr StreamKind kSampleStreams[] = {
    {"Depth", 1, 8 * 6 * 2, Compression::kDepth, 32 * 24 * 2},  // 16-bit depth
    {"Image", 5, 4 * 3 * 3, Compression::kLz4, 600},            // RGB 24-bit
    {"IR", 4, 8 * 6, Compression::kZstd, 600},                  // grey 8-bit
    {"Audio", 7, 40, Compression::kZlib, 400},                  // 16-bit PCM, stereo
};

// Frames each codec shrinks: a noisy slanted wall with a hole (depth), and repeating values (others).
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

// Frame frameId of sample stream id; audio frame 2 is empty.
inline std::vector<uint8_t> SampleFrame(bool compressed, uint32_t id, uint32_t frameId) {
  const StreamKind& kind = kSampleStreams[id];
  const uint32_t size = id == 3 && frameId == 2 ? 0 : compressed ? kind.compressedSize : kind.rawSize;
  return compressed ? CompressibleFrame(id, frameId, size) : FrameBytes(id, frameId, size);
}

// Writes the sample: three rounds of the four streams (frame time frameId * 33333 + id), a change after rounds 1 and 2.
inline void WriteSample(const std::string& path, bool compressed = false) {
  RecordingWriter writer;
  ASSERT_EQ(writer.Open(path.c_str(), SampleDeviceProperties()), KR_STATUS_OK);
  for (const StreamKind& kind : kSampleStreams) {
    const std::vector<Property> properties = {{kind.name, "OutputFormat", Value::Int(kind.outputFormat)},
                                              {kind.name, "XRes", Value::Int(32)}};
    const Compression codec = compressed ? kind.codec : Compression::kNone;
    ASSERT_EQ(writer.AddStream({0, kind.name, kind.name, codec, properties}, nullptr), KR_STATUS_OK);
  }
  for (uint32_t frameId = 1; frameId <= 3; ++frameId) {
    for (uint32_t id = 0; id < 4; ++id) {
      const std::vector<uint8_t> data = SampleFrame(compressed, id, frameId);
      ASSERT_EQ(writer.AppendFrame({id, frameId, frameId * 33333ull + id, uint32_t(data.size())}, data.data(), nullptr),
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

}  // namespace tollan::recording::testing
