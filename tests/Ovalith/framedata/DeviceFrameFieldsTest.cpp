// What a read hands to the device's frame objects: clones, re-bound objects, held buffers, streams removed meanwhile.
#include "Ovalith/Infrastructure/DeviceTestSupport.h"

namespace {

using namespace device_test;

class DeviceFrameFieldsTest : public DeviceTest {
 protected:
  // A scripted device with one open stream of the type, frames from generator.
  void Create(KrVDevice& device, const char* type, const std::string& name, FrameGenerator generator) {
    Script script = CameraScript().Stream(type, type).Generator(std::move(generator));
    ASSERT_EQ(CreateScripted(device, script, KR_DEVICE_MODE_READ, name), KR_STATUS_OK);
    ASSERT_EQ(device.OpenAllStreams(), KR_STATUS_OK);
  }
};

// Whether the frame size changed, stayed, or the application set another one, a clone copies the frame just read.
TEST_F(DeviceFrameFieldsTest, AudioClonesTakeEachFramesBytesAndAReboundFrameObjectShowsItsStreamsFields) {
  const std::pair<uint32_t, uint32_t> steps[] = {{16, 0}, {16, 0}, {8, 0}, {8, 0}, {16, 0}, {16, 4}, {12, 0}, {12, 20}};
  KrVDevice device;
  Create(device, "Audio", "audio", [&steps](const std::string&, uint64_t readIndex, ScriptFrame* frame) {
    frame->data = FrameBytes(static_cast<uint8_t>(0x40 + 0x10 * readIndex), steps[readIndex % 8].first);
    frame->timestamp = readIndex + 1;
    frame->frameId = static_cast<uint32_t>(readIndex + 1);
    return true;
  });
  for (size_t i = 0; i < 8; ++i) {
    SCOPED_TRACE(i);
    KrVAudioBuffer* audio = device.GetAudioBuffer();
    ASSERT_NE(audio, nullptr);
    if (steps[i].second != 0) {
      audio->SetBufferSize(steps[i].second);  // the size the application set before the read
    }
    ASSERT_EQ(device.Read(), KR_STATUS_OK);
    KrVAudioBuffer clone;
    ASSERT_EQ(audio->Clone(clone), KR_STATUS_OK);
    ASSERT_GE(clone.GetBufferAllocatedSize(), kFrameBytes);
    const std::vector<uint8_t> shown(clone.Data(), clone.Data() + clone.GetBufferAllocatedSize());
    std::vector<uint8_t> expected = FrameBytes(static_cast<uint8_t>(0x40 + 0x10 * i), steps[i].first);
    expected.resize(shown.size(), 0);
    EXPECT_EQ(shown, expected);
  }
  // Bound by the application to another device's stream, a frame object shows that stream's fields after each read.
  KrVDevice other;  // outlives bound, whose frame object it will serve
  KrVDevice bound;
  Create(bound, "Custom", "mine", EveryRead);
  Create(other, "Custom", "theirs", EveryRead);
  for (int read = 0; read < 3; ++read) {
    ASSERT_EQ(other.Read(), KR_STATUS_OK);  // ahead of bound's
  }
  KrVStreamData* mine = nullptr;
  KrVStreamData* theirs = nullptr;
  ASSERT_EQ(bound.GetStreamData("Custom", mine), KR_STATUS_OK);
  ASSERT_EQ(other.GetStreamData("Custom", theirs), KR_STATUS_OK);
  ASSERT_EQ(mine->Initialize(*theirs), KR_STATUS_OK);
  for (int read = 0; read < 2; ++read) {
    ASSERT_EQ(bound.Read(), KR_STATUS_OK);
    EXPECT_EQ(mine->GetTimestamp(), ValueOf(other, "Custom", "Timestamp"));
    EXPECT_EQ(mine->GetFrameID(), ValueOf(other, "Custom", "FrameId"));
    EXPECT_EQ(ValueOf(bound, "Custom", "Timestamp"), 100u * (read + 1));
  }
}

TEST_F(DeviceFrameFieldsTest, HeldFrameKeepsItsBytesWhenTheStreamGrowsAndTheDeviceClosesRefusedWithoutKitBuffer) {
  KrVDevice device;
  OpenSensor(device, {"Depth"});
  ASSERT_EQ(device.Read(), KR_STATUS_OK);
  KrVDepthMap* map = device.GetDepthMap();
  const uint16_t* held = map->Data();
  const std::vector<uint16_t> frame(held, held + size_t{map->GetXRes()} * map->GetYRes());
  KrBufferHold hold = nullptr;
  ASSERT_EQ(device.HoldFrameBuffer("Depth", &hold), KR_STATUS_OK);
  KrBufferHold none = nullptr;  // refused where no kit buffer is behind the frame
  EXPECT_EQ(device.HoldFrameBuffer("Image", &none), KR_STATUS_OS_NOT_FOUND);
  EXPECT_EQ(device.HoldFrameBuffer(nullptr, &none), KR_STATUS_OS_NULL_POINTER);
  EXPECT_EQ(device.HoldFrameBuffer("Depth", nullptr), KR_STATUS_OS_NULL_POINTER);
  KrVDevice compatible(1);
  OpenSensor(compatible, {"Depth"});
  EXPECT_EQ(compatible.HoldFrameBuffer("Depth", &none), KR_STATUS_TL_NOT_SUPPORTED);
  EXPECT_EQ(none, nullptr);
  // A larger resolution moves the stream to a larger buffer.
  ASSERT_EQ(device.CloseStream("Depth"), KR_STATUS_OK);
  ASSERT_EQ(device.SetProperty("Depth", "Resolution", uint64_t{1}), KR_STATUS_OK);
  ASSERT_EQ(device.OpenStream("Depth"), KR_STATUS_OK);
  ASSERT_EQ(device.Read(), KR_STATUS_OK);
  ASSERT_GT(size_t{map->GetXRes()} * map->GetYRes(), frame.size());
  ASSERT_NE(static_cast<const void*>(map->Data()), static_cast<const void*>(held));
  EXPECT_EQ(std::memcmp(held, frame.data(), frame.size() * sizeof(uint16_t)), 0);
  ASSERT_EQ(device.Close(), KR_STATUS_OK);
  EXPECT_EQ(std::memcmp(held, frame.data(), frame.size() * sizeof(uint16_t)), 0);
  EXPECT_EQ(KrStreamDataReleaseBuffer(&hold), KR_STATUS_OK);
  EXPECT_EQ(hold, nullptr);
  EXPECT_EQ(KrStreamDataReleaseBuffer(&hold), KR_STATUS_OK);
}

// Removes its stream from the device when the stream's frame fields change.
class RemovingHandler : public KrVModulePropertyChangedHandler {
 public:
  explicit RemovingHandler(KrVDevice& owner) : device(owner) {}
  void OnModulePropertyChanged(const char* /*module*/, const char* /*property*/) override {
    if (!done) {
      done = true;
      removed = device.RemoveStream("Depth");
    }
  }
  KrVDevice& device;
  bool done = false;
  KrStatus removed = KR_STATUS_OS_ERROR;
};

TEST_F(DeviceFrameFieldsTest, HandlerRemovingItsStreamTakesEffectAfterThePublishingAndTheBufferMove) {
  for (const char* field : {"Timestamp", "IsNew", "BufferSize"}) {
    for (int single : {0, 1}) {
      SCOPED_TRACE(std::string(field) + (single ? " Read(name)" : " Read()"));
      KrVDevice device;
      OpenSensor(device, {"Depth", "Image"});
      RemovingHandler handler(device);
      void* cookie = nullptr;
      ASSERT_EQ(device.RegisterForPropertyChangedEvent("Depth", field, &handler, cookie), KR_STATUS_OK);
      EXPECT_EQ(single ? device.Read("Depth") : device.Read(), KR_STATUS_OK);
      EXPECT_EQ(handler.removed, KR_STATUS_OK);
      KrVStreamData* frame = nullptr;
      EXPECT_EQ(device.GetStreamData("Depth", frame), KR_STATUS_OS_NOT_FOUND);
      EXPECT_EQ(device.GetDepthMap(), nullptr);
      EXPECT_EQ(device.Read(), KR_STATUS_OK);
      ASSERT_NE(device.GetImageMap(), nullptr);
      EXPECT_EQ(device.GetImageMap()->IsValid(), 1);
    }
  }
  // A larger "RequiredDataSize" moves the buffer; a "Buffer" handler removing the stream must wait for the move.
  KrVDevice device;
  OpenSensor(device, {"Depth"});
  ASSERT_EQ(device.Read(), KR_STATUS_OK);
  ASSERT_EQ(device.CloseStream("Depth"), KR_STATUS_OK);
  ASSERT_EQ(device.SetProperty("Depth", "Resolution", uint64_t{1}), KR_STATUS_OK);
  RemovingHandler handler(device);
  void* cookie = nullptr;
  ASSERT_EQ(device.RegisterForPropertyChangedEvent("Depth", "Buffer", &handler, cookie), KR_STATUS_OK);
  EXPECT_EQ(ValueOf(device, "Depth", "RequiredDataSize"), uint64_t{640} * 480 * 2);
  EXPECT_EQ(handler.removed, KR_STATUS_OK);
  EXPECT_EQ(device.GetDepthMap(), nullptr);
}

}  // namespace

// A held frame keeps its bytes through the reads after it, on every device that fills the kit's records (the
// scripted device and the simulated sensor here; recordings in the recorder's tests); once nothing holds the
// buffer, the stream's frames stay in one buffer again.
TEST_F(DeviceFrameFieldsTest, LaterReadsNeverWriteIntoAHeldFrameAndReuseABufferNoLongerHeld) {
  KrVDevice scripted;
  Create(scripted, "Custom", "Custom", [](const std::string&, uint64_t readIndex, ScriptFrame* frame) {
    frame->data = FrameBytes(static_cast<uint8_t>(0x10 + readIndex), kFrameBytes);
    frame->timestamp = readIndex + 1;
    frame->frameId = static_cast<uint32_t>(readIndex + 1);
    return true;
  });
  KrVDevice sensor;
  OpenSensor(sensor, {"Depth"});
  for (KrVDevice* device : {&scripted, &sensor}) {
    const char* stream = device == &sensor ? "Depth" : "Custom";
    SCOPED_TRACE(stream);
    KrVStreamData* data = nullptr;
    ASSERT_EQ(device->GetStreamData(stream, data), KR_STATUS_OK);
    ASSERT_EQ(device->Read(), KR_STATUS_OK);
    const auto* held = static_cast<const uint8_t*>(data->Data());
    const std::vector<uint8_t> frame(held, held + data->GetDataSize());
    KrBufferHold hold = nullptr;
    ASSERT_EQ(device->HoldFrameBuffer(stream, &hold), KR_STATUS_OK);
    bool differs = false;
    for (int read = 0; read < 3; ++read) {
      ASSERT_EQ(device->Read(), KR_STATUS_OK);
      const auto* now = static_cast<const uint8_t*>(data->Data());
      ASSERT_NE(now, held);
      differs = differs || std::memcmp(now, frame.data(), frame.size()) != 0;
      EXPECT_EQ(std::memcmp(held, frame.data(), frame.size()), 0) << "read " << read;
    }
    EXPECT_TRUE(differs) << "the frames after the held one are all alike: the check would see nothing";
    EXPECT_EQ(KrStreamDataReleaseBuffer(&hold), KR_STATUS_OK);
    ASSERT_EQ(device->Read(), KR_STATUS_OK);
    const void* settled = data->Data();
    ASSERT_EQ(device->Read(), KR_STATUS_OK);
    EXPECT_EQ(data->Data(), settled);
  }
}
