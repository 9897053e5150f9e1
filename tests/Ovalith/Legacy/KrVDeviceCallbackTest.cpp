// The older interface's client callbacks beside an application that reads too: on the simulated sensor, on a
// recording it wrote frame by frame, and on a scripted device whose events a thread of the test raises.
#include "Ovalith/Infrastructure/DeviceTestSupport.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

namespace {

using namespace device_test;

// The depth frames (id and time stamp) of every call, and whether each call saw the frame its device shows.
struct Calls {
  std::vector<uint32_t> ids;
  std::vector<uint64_t> timestamps;
  bool consistent = true;
};

class RecordingHandler : public KrVDeviceCallbackHandler {
 public:
  int OnNewDepthFrameAvailable(KrVDevice* device, KrVDepthMap& map) override {
    // Calling back into the device from the handler must not deadlock.
    uint64_t frameId = 0;
    const KrStatus status = device->GetProperty("Depth", "FrameId", frameId);
    std::lock_guard<std::mutex> guard(mutex);
    calls.consistent = calls.consistent && status == KR_STATUS_OK && map.GetFrameID() == frameId && map.Data();
    calls.ids.push_back(map.GetFrameID());
    calls.timestamps.push_back(map.GetTimestamp());
    return 1;
  }
  Calls Seen() {
    std::lock_guard<std::mutex> guard(mutex);
    return calls;
  }

 private:
  std::mutex mutex;
  Calls calls;
};

using KrVDeviceCallbackTest = DeviceTest;

TEST_F(KrVDeviceCallbackTest, ApplicationReadsKeepTheirPaceAndTheHandlerGetsEveryFrameOnce) {
  constexpr int kReads = 40;
  KrVDevice device;
  ASSERT_EQ(device.OpenSensor("*:0", nullptr, nullptr), KR_STATUS_OK);
  RecordingHandler handler;
  // Set twice: the second call must not double the deliveries. The sensor is unpaced: each read waits only for the
  // next frame, so a read the callbacks slowed down or robbed shows as a frame the application did not see.
  ASSERT_EQ(device.SetCallbackHandler(&handler), KR_STATUS_OK);
  ASSERT_EQ(device.SetCallbackHandler(&handler), KR_STATUS_OK);
  std::vector<uint32_t> seen;
  for (int i = 0; i < kReads; ++i) {
    ASSERT_EQ(device.Read(), KR_STATUS_OK);
    seen.push_back(device.GetDepthMap()->GetFrameID());
  }
  ASSERT_EQ(device.SetCallbackHandler(nullptr), KR_STATUS_OK);
  const std::vector<uint32_t> called = handler.Seen().ids;
  ASSERT_FALSE(called.empty());
  EXPECT_TRUE(handler.Seen().consistent);
  // Every frame the sensor made reached the handler once, in order.
  for (size_t i = 1; i < called.size(); ++i) {
    EXPECT_EQ(called[i], called[i - 1] + 1) << "call " << i;
  }
  // The application saw at least 90% of the frames made while it read, each also given to the handler.
  const uint32_t made = seen.back() - seen.front() + 1;
  EXPECT_GE(kReads * 10, static_cast<int>(made) * 9) << "frames made " << made;
  for (uint32_t id : seen) {
    EXPECT_NE(std::find(called.begin(), called.end(), id), called.end()) << "frame " << id;
  }
  // Cleared: the application reads every frame and the handler hears of none.
  const uint32_t before = device.GetDepthMap()->GetFrameID();
  for (int i = 0; i < kReads; ++i) {
    ASSERT_EQ(device.Read(), KR_STATUS_OK);
  }
  EXPECT_EQ(device.GetDepthMap()->GetFrameID(), before + kReads);
  EXPECT_EQ(handler.Seen().ids.size(), called.size());
}

// The bytes the device's depth map, image map and (if asked) audio buffer show; the maps' sizes follow their geometry.
std::vector<std::vector<uint8_t>> Shown(KrVDevice& device, bool audio) {
  const auto bytes = [](const void* data, size_t size) {
    return std::vector<uint8_t>(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
  };
  const KrVDepthMap& depth = *device.GetDepthMap();
  const KrVImageMap& image = *device.GetImageMap();
  std::vector<std::vector<uint8_t>> shown = {
      bytes(depth.Data(), depth.GetXRes() * depth.GetYRes() * 2u),
      bytes(image.Data(), image.GetXRes() * image.GetYRes() * image.GetBytesPerPixel())};
  if (audio) {
    shown.push_back(bytes(device.GetAudioBuffer()->Data(), device.GetAudioBuffer()->GetDataSize()));
  }
  return shown;
}

// Frames written one by one into a new recording, with and without the source device named at the open: the file's
// streams take their frame size from the requested geometry, and the frames (audio too, with the source) play back
// unchanged and once each, to the application and to a handler.
TEST_F(KrVDeviceCallbackTest, WrittenFramesPlayBackUnchangedOnceEachAlsoToAHandler) {
  const std::vector<uint64_t> timestamps = {1000, 2000, 3000};
  for (const bool withSource : {false, true}) {
    SCOPED_TRACE(withSource ? "with the source and a handler" : "without either");
    const std::string path = directory_ + (withSource ? "/with.rec" : "/without.rec");
    std::vector<std::vector<std::vector<uint8_t>>> written;
    {
      // The older interface's defaults: 320 x 240 depth and RGB image.
      KrVInitStreamProperties sensorProps;
      KrVInitStreamProperties fileProps;
      for (const char* stream : {"Depth", "Image"}) {
        ASSERT_EQ(sensorProps.AddStream(stream), KR_STATUS_OK);
        ASSERT_EQ(fileProps.AddStream(stream), KR_STATUS_OK);
        ASSERT_EQ(fileProps.AddProperty(stream, "XRes", 320), KR_STATUS_OK);
        ASSERT_EQ(fileProps.AddProperty(stream, "YRes", 240), KR_STATUS_OK);
      }
      if (withSource) {
        ASSERT_EQ(sensorProps.AddStream("Audio"), KR_STATUS_OK);
      }
      KrVDevice sensor;
      ASSERT_EQ(sensor.OpenSensor("*:0", nullptr, &sensorProps), KR_STATUS_OK);
      KrVDevice file;
      ASSERT_EQ(file.OpenFile(path.c_str(), KR_DEVICE_MODE_WRITE, withSource ? &sensor : nullptr, &fileProps),
                KR_STATUS_OK);
      EXPECT_EQ(IntOf(file, "Depth", "RequiredDataSize"), 320u * 240u * 2u);
      EXPECT_EQ(IntOf(file, "Image", "RequiredDataSize"), 320u * 240u * 3u);
      EXPECT_EQ(IntOf(file, "Image", "BytesPerPixel"), 3u);
      for (const uint64_t timestamp : timestamps) {
        // A read of each stream, so that every one brings a new frame.
        for (const char* stream : {"Depth", "Image", "Audio"}) {
          if (withSource || std::strcmp(stream, "Audio") != 0) {
            ASSERT_EQ(sensor.Read(stream), KR_STATUS_OK) << stream;
          }
        }
        written.push_back(Shown(sensor, withSource));
        ASSERT_EQ(file.Write(*sensor.GetDepthMap(), timestamp), KR_STATUS_OK);
        ASSERT_EQ(file.Write(*sensor.GetImageMap(), timestamp), KR_STATUS_OK);
        if (withSource) {
          ASSERT_FALSE(written.back()[2].empty());
          ASSERT_EQ(file.Write(*sensor.GetAudioBuffer(), timestamp), KR_STATUS_OK);
        }
        ASSERT_EQ(file.CommitWrite(), KR_STATUS_OK);
      }
      ASSERT_NE(written.front()[0], written.back()[0]);  // the scene moves, so frames differ
      ASSERT_EQ(file.Close(), KR_STATUS_OK);
    }
    KrVDevice playback;
    ASSERT_EQ(playback.OpenFile(path.c_str(), KR_DEVICE_MODE_READ, nullptr, nullptr), KR_STATUS_OK);
    EXPECT_EQ(IntOf(playback, "Depth", "NumberOfFrames"), timestamps.size());
    RecordingHandler handler;
    if (withSource) {
      ASSERT_EQ(playback.SetCallbackHandler(&handler), KR_STATUS_OK);
    }
    size_t played = 0;
    for (size_t reads = 0; reads < 2 * timestamps.size() && playback.Read() == KR_STATUS_OK; ++reads) {
      if (playback.GetDepthMap()->IsDataNew() == 0) {
        continue;
      }
      SCOPED_TRACE(played);
      ASSERT_LT(played, timestamps.size());
      EXPECT_EQ(playback.GetDepthMap()->GetTimestamp(), timestamps[played]);
      EXPECT_EQ(playback.GetImageMap()->GetTimestamp(), timestamps[played]);
      EXPECT_EQ(Shown(playback, withSource), written[played]);
      ++played;
    }
    EXPECT_EQ(played, timestamps.size());
    EXPECT_EQ(handler.Seen().timestamps, withSource ? timestamps : std::vector<uint64_t>{});
  }
}

// A scripted camera whose depth stream has a new frame at every read.
Script NewFrameEveryRead() {
  Script script = DeviceTest::CameraScript();
  script.Stream("Depth", "Depth");
  script.generator = [](const std::string& stream, uint64_t index, ScriptFrame* frame) {
    if (stream != "Depth") {
      return false;
    }
    frame->stream = stream;
    frame->data = DeviceTest::FrameBytes(static_cast<uint8_t>(index));
    frame->timestamp = 100 * (index + 1);
    frame->frameId = static_cast<uint32_t>(index + 1);
    frame->isNew = 1;
    return true;
  };
  return script;
}

TEST_F(KrVDeviceCallbackTest, EventThreadNeverWaitsForTheApplicationsFrameLock) {
  KrVDevice device;
  ASSERT_EQ(CreateScripted(device, NewFrameEveryRead()), KR_STATUS_OK);
  const KrDeviceHandle kit = KitHandleOf(device);
  ASSERT_EQ(device.OpenAllStreams(), KR_STATUS_OK);
  RecordingHandler handler;
  // Set: the event is served when the application lets the lock go. Cleared: nothing is served, nor waits.
  for (const bool set : {true, false}) {
    SCOPED_TRACE(set ? "handler set" : "handler cleared");
    ASSERT_EQ(device.SetCallbackHandler(&handler), KR_STATUS_OK);
    if (!set) {
      ASSERT_EQ(device.SetCallbackHandler(nullptr), KR_STATUS_OK);
    }
    const size_t callsBefore = handler.Seen().ids.size();
    std::mutex mutex;
    std::condition_variable done;
    bool raised = false;
    std::thread eventThread;
    {
      auto lock = device.LockFrames();
      eventThread = std::thread([&] {
        EXPECT_EQ(RaiseNewData(kit, "Depth"), KR_STATUS_OK);
        std::lock_guard<std::mutex> guard(mutex);
        raised = true;
        done.notify_all();
      });
      std::unique_lock<std::mutex> wait(mutex);
      // Generous: only an event thread blocked on the lock takes this long.
      EXPECT_TRUE(done.wait_for(wait, std::chrono::seconds(10), [&] { return raised; }));
      EXPECT_EQ(handler.Seen().ids.size(), callsBefore);  // nothing runs under the application's lock
    }
    eventThread.join();
    EXPECT_EQ(handler.Seen().ids.size(), callsBefore + (set ? 1 : 0));
  }
}

}  // namespace
