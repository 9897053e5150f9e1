// Recordings through the engine: frames written every way a writer can,
// played back byte for byte with their changes, seeking and the end.
#include "DeviceTestSupport.h"

#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace device_test {
namespace {

struct StreamCase {
  const char* type;  // also the stream's name
  uint32_t size;     // frame bytes
};
constexpr StreamCase kStreams[] = {{"Depth", 4 * 3 * 2}, {"Image", 4 * 3 * 3}, {"IR", 4 * 3}, {"Audio", 40}};
constexpr int kStreamCount = 4;
constexpr uint32_t kRounds = 3;

std::vector<uint8_t> Bytes(int stream, uint32_t round) {
  std::vector<uint8_t> bytes(kStreams[stream].size);
  for (size_t i = 0; i < bytes.size(); ++i) {
    bytes[i] = static_cast<uint8_t>(i * 5 + round * 31 + static_cast<uint32_t>(stream) * 71);
  }
  return bytes;
}
uint64_t Time(int stream, uint32_t round) { return round * 33333ull + static_cast<uint64_t>(stream); }
uint32_t Id(int stream, uint32_t round) { return 100 * round + static_cast<uint32_t>(stream); }

class DeviceFile : public DeviceTest {
 protected:
  std::string Path() const { return directory_ + "/session.rec"; }

  // The frames written in one round (no audio in round 2).
  static Frames Round(uint32_t round) {
    Frames frames;
    for (int s = 0; s < kStreamCount; ++s) {
      if (s != 3 || round != 2) {
        frames[kStreams[s].type].push_back(Frame{Bytes(s, round), Time(s, round), Id(s, round)});
      }
    }
    return frames;
  }
  // What the next read brings.
  static Frames ReadFrames(KrVDevice& reader) {
    Frames frames;
    EXPECT_EQ(reader.Read(), KR_STATUS_OK);
    TakeNewFrames(reader, frames);
    return frames;
  }

  // Records kRounds rounds of the four streams, each filled another way.
  // After round 1: "Device"/"Gain" 1.0 -> 2.5 and a property the device did
  // not have ("Session"/"Operator"). Round 2 has no audio frame. Round 3 is
  // written stream by stream.
  void Record() {
    KrVDevice writer;
    KrVPropertySet initial;
    ASSERT_EQ(initial.AddProperty("Device", "Gain", 1.0), KR_STATUS_OK);
    ASSERT_EQ(writer.OpenFileForWriting(Path().c_str(), initial), KR_STATUS_OK);
    EXPECT_EQ(IntOf(writer, "Device", "ReadWriteMode"), 1u);
    for (const StreamCase& stream : kStreams) {
      KrVPropertySet values;
      values.AddProperty(stream.type, "RequiredDataSize", uint64_t{stream.size});
      values.AddProperty(stream.type, "XRes", uint64_t{4});
      values.AddProperty(stream.type, "YRes", uint64_t{3});
      ASSERT_EQ(writer.AddStream(stream.type, stream.type, &values), KR_STATUS_OK) << stream.type;
    }
    ASSERT_NE(writer.GetDepthMap(), nullptr);
    ASSERT_NE(writer.GetImageMap(), nullptr);
    ASSERT_NE(writer.GetIRMap(), nullptr);
    ASSERT_NE(writer.GetAudioBuffer(), nullptr);
    KrVStreamData* image = writer.GetImageMap();
    KrVStreamData* ir = writer.GetIRMap();
    KrVStreamData* audio = writer.GetAudioBuffer();
    KrVStream depth;
    ASSERT_EQ(writer.FindStreamOfType("Depth", depth), KR_STATUS_OK);

    for (uint32_t round = 1; round <= kRounds; ++round) {
      // Depth through a stream handle, the frame id through the device.
      ASSERT_EQ(depth.CopyFrom(Bytes(0, round).data(), kStreams[0].size, Time(0, round)), KR_STATUS_OK);
      ASSERT_EQ(writer.SetProperty("Depth", "FrameId", uint64_t{Id(0, round)}), KR_STATUS_OK);
      // Image through its frame object's copy.
      ASSERT_EQ(image->CopyFrom(Bytes(1, round).data(), kStreams[1].size, Time(1, round)), KR_STATUS_OK);
      ASSERT_EQ(image->SetFrameID(Id(1, round)), KR_STATUS_OK);
      // IR written in place, then described through its frame object.
      ASSERT_NE(ir->Data(), nullptr);
      std::memcpy(ir->Data(), Bytes(2, round).data(), kStreams[2].size);
      ASSERT_EQ(ir->SetDataSize(kStreams[2].size), KR_STATUS_OK);
      ASSERT_EQ(ir->SetTimestamp(Time(2, round)), KR_STATUS_OK);
      ASSERT_EQ(ir->SetFrameID(Id(2, round)), KR_STATUS_OK);
      ASSERT_EQ(ir->SetDataNew(1), KR_STATUS_OK);
      if (round == 2) {
        ASSERT_EQ(audio->SetDataNew(0), KR_STATUS_OK);  // no new audio: not written
      } else {
        ASSERT_EQ(audio->CopyFrom(Bytes(3, round).data(), kStreams[3].size, Time(3, round)), KR_STATUS_OK);
        ASSERT_EQ(audio->SetFrameID(Id(3, round)), KR_STATUS_OK);
      }
      if (round < kRounds) {
        ASSERT_EQ(writer.Write(), KR_STATUS_OK);
      } else {
        for (const StreamCase& stream : kStreams) {
          ASSERT_EQ(writer.Write(stream.type), KR_STATUS_OK);
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
  EXPECT_EQ(IntOf(reader, "Device", "ReadWriteMode"), 0u);
  EXPECT_EQ(IntOf(reader, "Device", "NumberOfFrames"), kRounds);
  EXPECT_EQ(IntOf(reader, "Audio", "NumberOfFrames"), kRounds - 1);
  EXPECT_EQ(IntOf(reader, "IR", "XRes"), 4u);
  EXPECT_EQ(RealOf(reader, "Device", "Gain"), 1.0);
  ASSERT_NE(reader.GetDepthMap(), nullptr);
  EXPECT_EQ(reader.GetDepthMap()->GetXRes(), 4);
  ASSERT_NE(reader.GetIRMap(), nullptr);
  ASSERT_NE(reader.GetAudioBuffer(), nullptr);

  EventLog log;
  void* gainCookie = nullptr;
  void* dataCookie = nullptr;
  ASSERT_EQ(reader.RegisterForPropertyChangedEvent("Device", "Gain", &log, gainCookie), KR_STATUS_OK);
  ASSERT_EQ(reader.RegisterForNewDataFromStreamEvent(&log, dataCookie), KR_STATUS_OK);
  // Each read brings the frames written together, and raises a new-data
  // event for each.
  std::vector<std::string> expectedEvents;
  for (uint32_t round = 1; round <= kRounds; ++round) {
    SCOPED_TRACE(round);
    EXPECT_EQ(ReadFrames(reader), Round(round));
    // The change was recorded after round 1: the read of round 2 replays it.
    EXPECT_EQ(RealOf(reader, "Device", "Gain"), round == 1 ? 1.0 : 2.5);
    if (round == 2) {
      expectedEvents.push_back("Device/Gain");
    }
    for (const StreamCase& stream : kStreams) {
      if (Round(round).count(stream.type) != 0) {
        expectedEvents.push_back(std::string("new ") + stream.type);
      }
    }
  }
  EXPECT_EQ(log.events, expectedEvents);
  char text[KR_MAX_NAME_LENGTH] = {};
  EXPECT_EQ(reader.GetProperty("Session", "Operator", text), KR_STATUS_OK);
  EXPECT_STREQ(text, "kim");

  EXPECT_EQ(reader.Read(), KR_STATUS_TL_END_OF_FILE);
  EXPECT_EQ(reader.GetLastStatus(), KR_STATUS_TL_END_OF_FILE);
  EXPECT_EQ(reader.GetDepthMap()->IsDataNew(), 0);
  EXPECT_EQ(reader.UnregisterFromNewDataFromStreamEvent(dataCookie), KR_STATUS_OK);
  EXPECT_EQ(reader.UnregisterFromPropertyChangedEvent("Device", "Gain", gainCookie), KR_STATUS_OK);

  // Seeking back by frame, then by time to between two frames: playback
  // resumes there, with the values of that place.
  uint32_t frame = 0;
  uint64_t time = 0;
  ASSERT_EQ(reader.SeekFrame(2), KR_STATUS_OK);
  ASSERT_EQ(reader.TellFrame(&frame), KR_STATUS_OK);
  EXPECT_EQ(frame, 2u);
  EXPECT_EQ(ReadFrames(reader), Round(2));
  ASSERT_EQ(reader.SeekTime(Time(0, 2) - 1), KR_STATUS_OK);
  ASSERT_EQ(reader.TellTime(&time), KR_STATUS_OK);
  EXPECT_EQ(time, Time(0, 1));
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
  EXPECT_EQ(writer.SetProperty("Depth", "RequiredDataSize", (uint64_t{256} << 20) + 1), KR_STATUS_TL_BAD_PROPERTY_VALUE);
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
