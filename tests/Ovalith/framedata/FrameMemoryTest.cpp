// Frame memory that must not be overrun or destroyed: copies into maps that share their source's pixels, a stream whose
// buffer is a null address, and a stream removed by a handler of its own
// frame fields while a read publishes it.
#include <Ovalith/Ovalith.h>

#include <gtest/gtest.h>

#include <vector>

#include "Ovalith/Infrastructure/DeviceTestSupport.h"
#include "Ovalith/framedata/FrameTestSupport.h"

namespace {

// A copy of a bound map wraps the same stream buffer; cloning or windowing
// into it must leave the stream's frame as it was and give the copy the
// frame's values.
TEST_F(FrameTest, CloneAndInitializeIntoAMapSharingTheSourcesPixelsKeepTheSource) {
  const std::vector<uint16_t> frame = depth.pixels;
  KrVDepthMap bound(&stream, 1, 0);
  ASSERT_EQ(bound.Data(), depth.pixels.data());

  KrVDepthMap sharing(bound);
  ASSERT_EQ(sharing.Data(), depth.pixels.data());
  ASSERT_EQ(bound.Clone(sharing), KR_STATUS_OK);
  EXPECT_EQ(depth.pixels, frame);
  EXPECT_NE(sharing.Data(), depth.pixels.data());
  EXPECT_TRUE(std::equal(frame.begin(), frame.end(), sharing.Data()));

  KrVDepthMap window(bound);
  ASSERT_EQ(window.Initialize(bound, 10, 4, 2, 3), KR_STATUS_OK);
  EXPECT_EQ(depth.pixels, frame);

  // The same for image maps over the stream's bytes (2 bytes per pixel).
  device.SetInt("Depth", "BytesPerPixel", 2);
  KrVImageMap image(&stream, 1, 0);
  ASSERT_EQ(static_cast<void*>(image.Data()), static_cast<void*>(depth.pixels.data()));
  KrVImageMap imageCopy(image);
  ASSERT_EQ(image.Clone(imageCopy), KR_STATUS_OK);
  KrVImageMap imageWindow(image);
  ASSERT_EQ(imageWindow.Initialize(image, 8, 2, 0, 0), KR_STATUS_OK);
  EXPECT_EQ(depth.pixels, frame);
  EXPECT_EQ(std::memcmp(imageCopy.Data(), frame.data(), frame.size() * 2), 0);
}

TEST_F(FrameTest, StreamWhoseBufferIsNullGivesMapsOverNoPixels) {
  device.SetPointer("Depth", "Buffer", nullptr);
  KrVDepthMap map(&stream, 1, 0);
  EXPECT_EQ(map.IsValid(), 0);
  EXPECT_EQ(map.Data(), nullptr);
  map.Clear();  // nothing to clear: no crash
  KrVDepthMap target;
  EXPECT_EQ(map.Clone(target), KR_STATUS_QM_NOT_INITIALIZED);

  KrVImageMap image(&stream, 1, 0);
  EXPECT_EQ(image.GetMatrix().GetXRes() * image.GetMatrix().GetYRes(), 0);
  image.Clear();
  KrVAudioBuffer audio(&stream, 1, 0);
  EXPECT_EQ(audio.GetBufferAllocatedSize(), 0u);
  audio.Clear();

  // A map bound to no stream shows an empty window at the origin.
  const KrVDepthMap unbound(nullptr, 1, 0);
  EXPECT_EQ(unbound.IsValid(), 0);
  EXPECT_EQ(std::vector<int>({unbound.GetXRes(), unbound.GetYRes(), unbound.GetXOffset(), unbound.GetYOffset()}),
            std::vector<int>({0, 0, 0, 0}));
}

// Removes its stream from the device when the stream's frame fields change.
class RemovingHandler : public KrVModulePropertyChangedHandler {
 public:
  RemovingHandler(KrVDevice& owner, const char* stream) : device(owner), name(stream) {}
  void OnModulePropertyChanged(const char* /*module*/, const char* /*property*/) override {
    if (!done) {
      done = true;
      removed = device.RemoveStream(name);
    }
  }
  KrVDevice& device;
  const char* name;
  bool done = false;
  KrStatus removed = KR_STATUS_OS_ERROR;
};

class StreamRemovalDuringReadTest : public device_test::DeviceTest {};

TEST_F(StreamRemovalDuringReadTest, HandlerRemovingItsStreamTakesEffectAfterThePublishing) {
  for (const char* field : {"Timestamp", "IsNew", "BufferSize"}) {
    for (int single : {0, 1}) {
      SCOPED_TRACE(std::string(field) + (single ? " Read(name)" : " Read()"));
      KrVDevice device;
      ASSERT_EQ(device.CreateSensor("*:0", nullptr, KR_DEVICE_SHARING_EXCLUSIVE), KR_STATUS_OK);
      ASSERT_EQ(device.AddStream("Depth", "Depth", nullptr), KR_STATUS_OK);
      ASSERT_EQ(device.AddStream("Image", "Image", nullptr), KR_STATUS_OK);
      ASSERT_EQ(device.OpenAllStreams(), KR_STATUS_OK);
      RemovingHandler handler(device, "Depth");
      void* cookie = nullptr;
      ASSERT_EQ(device.RegisterForPropertyChangedEvent("Depth", field, &handler, cookie), KR_STATUS_OK);

      EXPECT_EQ(single ? device.Read("Depth") : device.Read(), KR_STATUS_OK);
      EXPECT_TRUE(handler.done);
      EXPECT_EQ(handler.removed, KR_STATUS_OK);
      // Mirrored after the read: the stream and its depth map are gone, the
      // other stream still reads.
      KrVStreamData* frame = nullptr;
      EXPECT_EQ(device.GetStreamData("Depth", frame), KR_STATUS_OS_NOT_FOUND);
      EXPECT_EQ(device.GetDepthMap(), nullptr);
      EXPECT_EQ(device.Read(), KR_STATUS_OK);
      ASSERT_NE(device.GetImageMap(), nullptr);
      EXPECT_EQ(device.GetImageMap()->IsValid(), 1);
    }
  }
}

// Asking for a larger "RequiredDataSize" moves the stream to a larger buffer;
// a "Buffer" handler that removes the stream then must not pull the stream
// from under that move.
TEST_F(StreamRemovalDuringReadTest, BufferHandlerRemovingItsStreamTakesEffectAfterTheMove) {
  KrVDevice device;
  ASSERT_EQ(device.CreateSensor("*:0", nullptr, KR_DEVICE_SHARING_EXCLUSIVE), KR_STATUS_OK);
  ASSERT_EQ(device.AddStream("Image", "Image", nullptr), KR_STATUS_OK);
  ASSERT_EQ(device.OpenAllStreams(), KR_STATUS_OK);
  ASSERT_EQ(device.Read(), KR_STATUS_OK);
  ASSERT_EQ(device.CloseStream("Image"), KR_STATUS_OK);
  ASSERT_EQ(device.SetProperty("Image", "FPS", uint64_t{15}), KR_STATUS_OK);
  ASSERT_EQ(device.SetProperty("Image", "Resolution", uint64_t{2}), KR_STATUS_OK);
  RemovingHandler handler(device, "Image");
  void* cookie = nullptr;
  ASSERT_EQ(device.RegisterForPropertyChangedEvent("Image", "Buffer", &handler, cookie), KR_STATUS_OK);
  uint64_t size = 0;
  EXPECT_EQ(device.GetProperty("Image", "RequiredDataSize", size), KR_STATUS_OK);
  EXPECT_EQ(size, uint64_t{1280} * 1024 * 3);
  EXPECT_TRUE(handler.done);
  EXPECT_EQ(handler.removed, KR_STATUS_OK);
  KrVStreamData* frame = nullptr;
  EXPECT_EQ(device.GetStreamData("Image", frame), KR_STATUS_OS_NOT_FOUND);
  EXPECT_EQ(device.GetImageMap(), nullptr);
}

}  // namespace
