// Recordings through the engine: frames written every way a writer can,
// played back byte for byte with their changes, seeking and the end.
#include "DeviceTestSupport.h"

#include <cstring>
#include <string>
#include <vector>

namespace device_test {
namespace {

constexpr const char* kTypes[] = {"Depth", "Image", "IR", "Audio"};  // also the streams' names
constexpr uint32_t kSizes[] = {4 * 3 * 2, 4 * 3 * 3, 4 * 3, 40};     // their frame bytes
constexpr uint32_t kRounds = 3;

Frame RoundFrame(int stream, uint32_t round) {
  std::vector<uint8_t> bytes(kSizes[stream]);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(i * 5 + round * 31 + static_cast<uint32_t>(stream) * 71);
  }
  return Frame{bytes, round * 33333ull + static_cast<uint64_t>(stream), 100 * round + static_cast<uint32_t>(stream)};
}

// The frames written in one round (no audio in round 2).
Frames Round(uint32_t round) {
  Frames frames;
  for (int s = 0; s < 4; ++s) {
    if (s != 3 || round != 2) {
      frames[kTypes[s]].push_back(RoundFrame(s, round));
    }
  }
  return frames;
}

class DeviceFile : public DeviceTest {
 protected:
  std::string Path() const { return directory_ + "/session.rec"; }

  static Frames ReadFrames(KrVDevice& reader) {
    Frames frames;
    EXPECT_EQ(reader.Read(), KR_STATUS_OK);
    TakeNewFrames(reader, frames);
    return frames;
  }

  // Records kRounds rounds of the four streams, each filled another way.
  // After round 1: "Device"/"Gain" 1.0 -> 2.5 and a property the device did
  // not have ("Session"/"Operator"). Round 3 is written stream by stream.
  void Record() {
    KrVDevice writer;
    KrVPropertySet initial;
    ASSERT_EQ(initial.AddProperty("Device", "Gain", 1.0), KR_STATUS_OK);
    ASSERT_EQ(writer.OpenFileForWriting(Path().c_str(), initial), KR_STATUS_OK);
    for (int s = 0; s < 4; ++s) {
      KrVPropertySet values;
      values.AddProperty(kTypes[s], "RequiredDataSize", uint64_t{kSizes[s]});
      values.AddProperty(kTypes[s], "XRes", uint64_t{4});
      values.AddProperty(kTypes[s], "YRes", uint64_t{3});
      ASSERT_EQ(writer.AddStream(kTypes[s], kTypes[s], &values), KR_STATUS_OK) << kTypes[s];
    }
    KrVStreamData* image = writer.GetImageMap();
    KrVStreamData* ir = writer.GetIRMap();
    KrVStreamData* audio = writer.GetAudioBuffer();
    KrVStream depth;
    ASSERT_EQ(writer.FindStreamOfType("Depth", depth), KR_STATUS_OK);
    for (uint32_t round = 1; round <= kRounds; ++round) {
      const Frames frames = Round(round);
      // Depth through a stream handle, the frame id through the device.
      const Frame& d = frames.at("Depth")[0];
      ASSERT_EQ(depth.CopyFrom(d.bytes.data(), kSizes[0], d.timestamp), KR_STATUS_OK);
      ASSERT_EQ(writer.SetProperty("Depth", "FrameId", d.frameId), KR_STATUS_OK);
      // Image through its frame object's copy.
      const Frame& i = frames.at("Image")[0];
      ASSERT_EQ(image->CopyFrom(i.bytes.data(), kSizes[1], i.timestamp), KR_STATUS_OK);
      ASSERT_EQ(image->SetFrameID(static_cast<unsigned int>(i.frameId)), KR_STATUS_OK);
      // IR written in place, then described through its frame object.
      const Frame& r = frames.at("IR")[0];
      std::memcpy(ir->Data(), r.bytes.data(), kSizes[2]);
      ASSERT_EQ(ir->SetDataSize(kSizes[2]), KR_STATUS_OK);
      ASSERT_EQ(ir->SetTimestamp(r.timestamp), KR_STATUS_OK);
      ASSERT_EQ(ir->SetFrameID(static_cast<unsigned int>(r.frameId)), KR_STATUS_OK);
      ASSERT_EQ(ir->SetDataNew(1), KR_STATUS_OK);
      if (frames.count("Audio") == 0) {
        ASSERT_EQ(audio->SetDataNew(0), KR_STATUS_OK);  // no new audio: not written
      } else {
        const Frame& a = frames.at("Audio")[0];
        ASSERT_EQ(audio->CopyFrom(a.bytes.data(), kSizes[3], a.timestamp), KR_STATUS_OK);
        ASSERT_EQ(audio->SetFrameID(static_cast<unsigned int>(a.frameId)), KR_STATUS_OK);
      }
      if (round < kRounds) {
        ASSERT_EQ(writer.Write(), KR_STATUS_OK);
      } else {
        for (const char* type : kTypes) {
          ASSERT_EQ(writer.Write(type), KR_STATUS_OK) << type;
        }
      }
      if (round == 1) {
        ASSERT_EQ(writer.SetProperty("Device", "Gain", 2.5), KR_STATUS_OK);
        ASSERT_EQ(writer.SetProperty("Session", "Operator", "kim"), KR_STATUS_OK);
      }
    }
    EXPECT_EQ(writer.Read(), KR_STATUS_TL_WRONG_MODE);
    ASSERT_EQ(writer.Close(), KR_STATUS_OK);
  }
};

TEST_F(DeviceFile, RecordedStreamsPlayBackAndSeek) {
  Record();
  KrVDevice reader;
  ASSERT_EQ(reader.OpenFileForReading(Path().c_str()), KR_STATUS_OK);
  EXPECT_EQ(IntOf(reader, "Device", "NumberOfFrames"), kRounds);
  EXPECT_EQ(IntOf(reader, "Audio", "NumberOfFrames"), kRounds - 1);
  EXPECT_EQ(reader.GetDepthMap()->GetXRes(), 4);
  for (uint32_t round = 1; round <= kRounds; ++round) {
    EXPECT_EQ(ReadFrames(reader), Round(round)) << round;
    // The change was recorded after round 1: the read of round 2 replays it.
    EXPECT_EQ(RealOf(reader, "Device", "Gain"), round == 1 ? 1.0 : 2.5) << round;
  }
  EXPECT_EQ(TextOf(reader, "Session", "Operator"), "kim");
  EXPECT_EQ(reader.Read(), KR_STATUS_TL_END_OF_FILE);
  EXPECT_EQ(reader.GetLastStatus(), KR_STATUS_TL_END_OF_FILE);
  EXPECT_EQ(reader.GetDepthMap()->IsDataNew(), 0);

  // Seeking back: playback resumes there, with the values of that place.
  ASSERT_EQ(reader.SeekFrame(1), KR_STATUS_OK);
  EXPECT_EQ(RealOf(reader, "Device", "Gain"), 1.0);
  EXPECT_EQ(ReadFrames(reader), Round(1));
  EXPECT_EQ(reader.SeekFrame(kRounds + 1), KR_STATUS_TL_FRAME_NOT_FOUND);
  EXPECT_EQ(reader.GetLastStatus(), KR_STATUS_TL_FRAME_NOT_FOUND);
}

// A write device refuses a frame size no recording can hold (its records
// grow with smaller ones), and a property set on it that the device did not
// have is created and recorded.
TEST_F(DeviceFile, WriteDeviceKeepsFramesWithinTheirRecords) {
  KrVDevice writer;
  KrVPropertySet initial;
  ASSERT_EQ(writer.OpenFileForWriting(Path().c_str(), initial), KR_STATUS_OK);
  KrVPropertySet values;
  values.AddProperty("Depth", "RequiredDataSize", uint64_t{64});
  ASSERT_EQ(writer.AddStream("Depth", "Depth", &values), KR_STATUS_OK);
  EXPECT_EQ(writer.SetProperty("Depth", "RequiredDataSize", (uint64_t{256} << 20) + 1),
            KR_STATUS_TL_BAD_PROPERTY_VALUE);
  EXPECT_EQ(writer.SetProperty("Depth", "RequiredDataSize", uint64_t{32}), KR_STATUS_OK);
  KrVStream depth;
  ASSERT_EQ(writer.GetStream("Depth", depth), KR_STATUS_OK);
  const std::vector<uint8_t> big(65, 7);
  EXPECT_EQ(depth.CopyFrom(big.data(), 65, 1), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  // A size beyond the record's buffer never reaches the file.
  ASSERT_EQ(depth.CopyFrom(big.data(), 32, 1), KR_STATUS_OK);
  ASSERT_EQ(writer.SetProperty("Depth", "BufferSize", uint64_t{1} << 20), KR_STATUS_OK);
  EXPECT_EQ(writer.Write(), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  ASSERT_EQ(writer.SetProperty("Depth", "BufferSize", uint64_t{32}), KR_STATUS_OK);
  EXPECT_EQ(writer.Write(), KR_STATUS_OK);
  ASSERT_EQ(writer.SetProperty("Depth", "Gain", 3.0), KR_STATUS_OK);  // new on the stream's module
  ASSERT_EQ(writer.Close(), KR_STATUS_OK);

  KrVDevice reader;
  ASSERT_EQ(reader.OpenFileForReading(Path().c_str()), KR_STATUS_OK);
  EXPECT_EQ(IntOf(reader, "Depth", "RequiredDataSize"), 64u);  // as created; the change comes at its place
  ASSERT_EQ(reader.Read(), KR_STATUS_OK);
  EXPECT_EQ(reader.GetDepthMap()->GetDataSize(), 32u);
  EXPECT_EQ(reader.Read(), KR_STATUS_TL_END_OF_FILE);
  EXPECT_EQ(IntOf(reader, "Depth", "RequiredDataSize"), 32u);
  EXPECT_EQ(RealOf(reader, "Depth", "Gain"), 3.0);
}

}  // namespace
}  // namespace device_test
