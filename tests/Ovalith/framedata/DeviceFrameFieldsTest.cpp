// The frame fields a read hands to the device's frame objects: an audio
// buffer that keeps its re-read for frames of a new size, and a frame object
// the application re-bound to another device's stream.
#include <Ovalith/Ovalith.h>

#include <gtest/gtest.h>

#include <vector>

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

// The valid bytes a clone copies are those of the frame just read, whether
// the frame's size changed, stayed, or the application set another size
// meanwhile.
TEST_F(DeviceFrameFieldsTest, AudioBufferClonesTheValidBytesOfEachFrame) {
  struct Step {
    uint32_t frameSize;
    uint32_t setBefore;  // SetBufferSize before the read; 0: none
  };
  const std::vector<Step> steps = {{16, 0}, {16, 0}, {8, 0}, {8, 0}, {16, 0}, {16, 4}, {12, 0}, {12, 20}};
  KrVDevice device;
  Create(device, "Audio", "audio", [&steps](const std::string&, uint64_t readIndex, ScriptFrame* frame) {
    const uint32_t size = steps[readIndex % steps.size()].frameSize;
    frame->data = FrameBytes(static_cast<uint8_t>(0x40 + 0x10 * readIndex), size);
    frame->timestamp = readIndex + 1;
    frame->frameId = static_cast<uint32_t>(readIndex + 1);
    return true;
  });
  for (size_t i = 0; i < steps.size(); ++i) {
    SCOPED_TRACE(i);
    KrVAudioBuffer* audio = device.GetAudioBuffer();
    ASSERT_NE(audio, nullptr);
    if (steps[i].setBefore != 0) {
      audio->SetBufferSize(steps[i].setBefore);
    }
    ASSERT_EQ(device.Read(), KR_STATUS_OK);
    KrVAudioBuffer clone;
    ASSERT_EQ(audio->Clone(clone), KR_STATUS_OK);
    ASSERT_GE(clone.GetBufferAllocatedSize(), kFrameBytes);
    const std::vector<uint8_t> shown(clone.Data(), clone.Data() + clone.GetBufferAllocatedSize());
    std::vector<uint8_t> expected = FrameBytes(static_cast<uint8_t>(0x40 + 0x10 * i), steps[i].frameSize);
    expected.resize(shown.size(), 0);
    EXPECT_EQ(shown, expected);
  }
}

// A device's frame object bound by the application to another device's
// stream shows that stream's frame fields after each read, not those of the
// stream it was made for.
TEST_F(DeviceFrameFieldsTest, FrameObjectReboundElsewhereShowsItsOwnStreamsFields) {
  const auto frames = [](uint64_t base) {
    return [base](const std::string&, uint64_t readIndex, ScriptFrame* frame) {
      frame->data = FrameBytes(static_cast<uint8_t>(readIndex));
      frame->timestamp = base + readIndex;
      frame->frameId = static_cast<uint32_t>(base + readIndex);
      return true;
    };
  };
  KrVDevice other;  // outlives device, whose frame object it will serve
  KrVDevice device;
  Create(device, "Custom", "mine", frames(1000));
  Create(other, "Custom", "theirs", frames(5000));
  ASSERT_EQ(other.Read(), KR_STATUS_OK);
  KrVStreamData* mine = nullptr;
  KrVStreamData* theirs = nullptr;
  ASSERT_EQ(device.GetStreamData("Custom", mine), KR_STATUS_OK);
  ASSERT_EQ(other.GetStreamData("Custom", theirs), KR_STATUS_OK);
  ASSERT_EQ(mine->Initialize(*theirs), KR_STATUS_OK);

  for (int read = 0; read < 2; ++read) {
    ASSERT_EQ(device.Read(), KR_STATUS_OK);
    EXPECT_EQ(mine->GetTimestamp(), IntOf(other, "Custom", "Timestamp"));
    EXPECT_EQ(mine->GetFrameID(), IntOf(other, "Custom", "FrameId"));
    EXPECT_EQ(IntOf(device, "Custom", "Timestamp"), 1000u + read);
  }
}

}  // namespace
