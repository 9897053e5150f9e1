// The frame objects over a fake device's streams: binding, windows, depth representation, maps, audio buffers.
#include <Ovalith/Ovalith.h>
#include <gtest/gtest.h>

#include <memory>

#include "Ovalith/properties/FakeStreamContainer.h"

namespace {

template <typename Frame>
struct Probe : Frame {
  using Frame::AddWatchedProperty;
  using Frame::ArePropertiesChanged;
  using Frame::Frame;
  using Frame::UnderlyingStreamUpdated;
};

// "Depth", a small "Depth2", "Image" of 8 x 4 pixels of 3 bytes (96 bytes held), "Audio" of 32 bytes, 20 valid.
class FrameTest : public ::testing::Test {
 protected:
  FrameTest()
      : depth(device), second(device, "Depth2", 4, 4), image(device, "Image", 8, 6), audio(device, "Audio", 16, 1) {
    device.SetInt("Image", "YRes", 4);
    device.SetInt("Image", "BytesPerPixel", 3);
    device.SetInt("Image", "OutputFormat", KR_OUTPUT_FORMAT_RGB24);
    device.SetInt("Audio", "BufferSize", 20);
    stream.Attach(&device, "Depth");
    secondStream.Attach(&device, "Depth2");
    imageStream.Attach(&device, "Image");
    audioStream.Attach(&device, "Audio");
  }
  // Changes an integer property of "Depth" and raises its change.
  void Change(const char* property, uint64_t value) { device.SetProperty("Depth", property, value); }

  FakeStreamContainer device;
  FakeDepthStream depth, second, image, audio;
  KrVStream stream, secondStream, imageStream, audioStream;
};

// A deferred object re-reads at the next update, each level after its base: the translator sees resolution and ZPD.
TEST_F(FrameTest, ObjectsRereadOnTheNotificationOrAtTheNextUpdateFromBaseToMostDerived) {
  Probe<KrVDepthMap> immediate(&stream, 1, 0);
  Probe<KrVDepthMap> map(&stream, 1, 1);
  Change("XRes", 320);
  EXPECT_EQ(320, immediate.GetXRes());
  EXPECT_EQ(0, immediate.ArePropertiesChanged());
  device.SetProperty("Depth", "ZPPS", 0.2);
  EXPECT_EQ(0.2, immediate.GetRealWorldTranslator()->GetZPPS());
  Change("ZPD", 100);
  EXPECT_EQ(100.0, immediate.GetRealWorldTranslator()->GetZPD());
  Change("MinDepthValue", 500);
  EXPECT_EQ(1, map.ArePropertiesChanged());
  EXPECT_EQ(640, map.GetXRes());
  ASSERT_EQ(KR_STATUS_OK, map.UnderlyingStreamUpdated());
  EXPECT_EQ(0, map.ArePropertiesChanged());
  EXPECT_EQ(320, map.GetXRes());
  EXPECT_EQ(500, map.GetZMin());
  EXPECT_EQ(100.0, map.GetRealWorldTranslator()->GetZPD());
  EXPECT_EQ(320, map.GetRealWorldTranslator()->GetXRes());
  // A failing re-read keeps the mark for the next update.
  Change("YRes", 100);
  device.Fail("Depth", "XRes", 0x30999);
  EXPECT_EQ(0x30999u, map.UnderlyingStreamUpdated());
  EXPECT_EQ(1, map.ArePropertiesChanged());
}

// Frame fields follow the stream and keep a failed read; setters write through only when live.
TEST_F(FrameTest, FrameFieldsAndSetters) {
  Probe<KrVStreamData> frame(&stream, 0, 0);
  device.SetInt("Depth", "Timestamp", 5);
  device.SetInt("Depth", "FrameId", 9);
  ASSERT_EQ(KR_STATUS_OK, frame.UnderlyingStreamUpdated());
  EXPECT_EQ(5u, frame.GetTimestamp());
  EXPECT_EQ(9u, frame.GetFrameID());
  EXPECT_EQ(1, frame.IsDataNew());
  EXPECT_EQ(640u * 480u * 2u, frame.GetDataSize());
  EXPECT_EQ(depth.pixels.data(), frame.Data());
  device.journal.clear();
  EXPECT_EQ(KR_STATUS_OK, frame.SetFrameID(7));
  EXPECT_EQ(7u, frame.GetFrameID());
  EXPECT_TRUE(device.journal.empty());
  device.Fail("Depth", "FrameId", 0x30999);
  device.SetInt("Depth", "Timestamp", 6);
  ASSERT_EQ(KR_STATUS_OK, frame.UnderlyingStreamUpdated());
  EXPECT_EQ(6u, frame.GetTimestamp());
  EXPECT_EQ(7u, frame.GetFrameID());
  KrVStreamData live(&stream, 1, 0);
  EXPECT_EQ(0x30999u, live.SetFrameID(7));
  EXPECT_EQ(0u, live.GetFrameID());
  EXPECT_EQ(KR_STATUS_OK, live.SetDataNew(-1));
  EXPECT_EQ(~0ull, device.Int("Depth", "IsNew"));
  EXPECT_EQ(KR_STATUS_OK, live.SetTimestamp(1ull << 40));
  EXPECT_EQ(1ull << 40, device.Int("Depth", "Timestamp"));
  EXPECT_EQ(KR_STATUS_OK, live.SetDataSize(12));
  EXPECT_EQ(12u, device.Int("Depth", "BufferSize"));
  Probe<KrVStreamData> unbound;
  EXPECT_EQ(KR_STATUS_QM_ERROR, unbound.UnderlyingStreamUpdated());
  EXPECT_EQ(KR_STATUS_QM_ERROR, unbound.AddWatchedProperty("XRes"));
  KrVStreamData liveUnbound(nullptr, 1, 0);
  EXPECT_EQ(KR_STATUS_QM_ERROR, liveUnbound.SetFrameID(7));
}

// Initialize binds to the other frame's stream with a handle of its own; a watched object moves its subscriptions.
TEST_F(FrameTest, CopyFromAndInitializeTakeTheOtherFrame) {
  KrVStreamData target(&secondStream, 0, 0);
  KrVStreamData source(&secondStream, 0, 0);
  source.SetTimestamp(42);
  source.SetDataSize(6);
  EXPECT_EQ(KR_STATUS_OK, target.CopyFrom(source, 0));
  EXPECT_EQ(42u, device.Int("Depth2", "Timestamp"));
  EXPECT_EQ(6u, device.Int("Depth2", "BufferSize"));
  EXPECT_EQ(KR_STATUS_OK, target.CopyFrom(source, 3));
  EXPECT_EQ(3u, device.Int("Depth2", "Timestamp"));
  KrVStreamData unbound;
  EXPECT_EQ(KR_STATUS_QM_ERROR, unbound.CopyFrom(source, 0));
  EXPECT_EQ(KR_STATUS_QM_ERROR, unbound.CopyFrom(nullptr, 0, 0));
  Probe<KrVStreamData> frame(&stream, 0, 0);
  frame.UnderlyingStreamUpdated();
  EXPECT_EQ(KR_STATUS_QM_NOT_INITIALIZED, frame.Initialize(unbound));
  EXPECT_STREQ("Depth", frame.GetStream()->GetName());
  KrVStreamData copy;
  ASSERT_EQ(KR_STATUS_OK, copy.Initialize(frame));
  EXPECT_EQ(1, copy.IsValid());
  EXPECT_EQ(1000u, copy.GetTimestamp());
  EXPECT_EQ(1u, copy.GetFrameID());
  EXPECT_EQ(nullptr, copy.Data());  // data and size are not taken over
  EXPECT_NE(frame.GetStream(), copy.GetStream());
  EXPECT_STREQ("Depth", copy.GetStream()->GetName());
  {
    Probe<KrVPixelStreamData> watched(&stream, 1, 0);
    ASSERT_EQ(KR_STATUS_OK, watched.KrVStreamData::Initialize(source));
    device.SetInt("Depth2", "XRes", 2);
    device.Notify("Depth2", "XRes");
    EXPECT_EQ(2, watched.GetParentXRes());
  }
  EXPECT_EQ(0u, device.Subscriptions());
}

TEST_F(FrameTest, CopiesAndDestructionInEveryOrder) {
  for (int order = 0; order < 2; ++order) {
    auto original = std::make_unique<Probe<KrVDepthMap>>(&stream, 1, 0);
    auto copy = std::make_unique<Probe<KrVDepthMap>>(*original);
    EXPECT_NE(original->GetStream(), copy->GetStream());
    EXPECT_NE(original->GetRealWorldTranslator(), copy->GetRealWorldTranslator());
    (order == 0 ? original : copy).reset();
    Probe<KrVDepthMap>& survivor = order == 0 ? *copy : *original;
    Change("XRes", 320);
    EXPECT_EQ(320, survivor.GetXRes());
    Change("XRes", 640);
  }
  EXPECT_EQ(0u, device.Subscriptions());
  Probe<KrVDepthMap> live(&stream, 1, 0);
  Probe<KrVDepthMap> assigned;
  assigned = live;
  Change("XRes", 320);
  EXPECT_EQ(320, assigned.GetXRes());
  assigned = Probe<KrVDepthMap>();  // an unbound object gives its subscriptions up
  const Probe<KrVDepthMap>& same = live;
  live = same;
  Change("XRes", 640);
  EXPECT_EQ(640, live.GetXRes());
}

TEST_F(FrameTest, RefusedSubscriptionIsNotRecorded) {
  device.Fail("register", "Cropping", 0x30999);
  Probe<KrVPixelStreamData> frame(&stream, 1, 0);
  EXPECT_EQ(3u, device.Subscriptions());
  EXPECT_EQ(0x30999u, frame.AddWatchedProperty("Cropping"));
}

void ExpectWindow(const KrVPixelStreamData& frame, int xRes, int yRes, int x, int y, int parentX, int parentY) {
  EXPECT_EQ(std::vector<int>({xRes, yRes, x, y, parentX, parentY}),
            std::vector<int>({frame.GetXRes(), frame.GetYRes(), frame.GetXOffset(), frame.GetYOffset(),
                              frame.GetParentXRes(), frame.GetParentYRes()}));
}

// The translator covers the frame's window and has the calibration.
void ExpectTranslator(const KrVRealWorldTranslator* t, const KrVPixelStreamData& frame, double zpd) {
  ASSERT_NE(nullptr, t);
  EXPECT_EQ(zpd, t->GetZPD());
  EXPECT_EQ(0.1042, t->GetZPPS());
  ExpectWindow(frame, t->GetXRes(), t->GetYRes(), t->GetXOffset(), t->GetYOffset(), t->GetParentXRes(),
               t->GetParentYRes());
}

TEST_F(FrameTest, RepresentationFollowsCroppingDepthRangeAndCalibrationAndWindowsReset) {
  depth.SetCropping(true, 100, 50, 320, 240);
  KrVDepthRepresentation cropped(&stream, 0, 0);
  ExpectWindow(cropped, 320, 240, 100, 50, 640, 480);
  ExpectTranslator(cropped.GetRealWorldTranslator(), cropped, 120);
  EXPECT_EQ(400, cropped.GetZMin());
  EXPECT_EQ(1, cropped.GetShadowValue());
  device.Fail("Depth", "Cropping", 0x30999);  // unreadable: cropping off
  KrVPixelStreamData unreadable(&stream, 0, 0);
  ExpectWindow(unreadable, 640, 480, 0, 0, 640, 480);
  const std::pair<uint64_t, unsigned short> zRes[] = {{10000, 10001}, {65535, 0}, {0, 1}};
  for (const auto& row : zRes) {
    device.SetInt("Depth", "MaxDepthValue", row.first);
    EXPECT_EQ(row.second, KrVDepthRepresentation(&stream, 0, 0).GetZRes()) << row.first;
  }
  // A failed read keeps the previous value; the calibration keeps the old ZPD.
  KrVDepthRepresentation live(&stream, 1, 0);
  device.Fail("Depth", "ZPD", 0x30999);
  device.Fail("Depth", "MinDepthValue", 0x30999);
  device.SetInt("Depth", "ShadowValue", 2);
  device.Notify("Depth", "ShadowValue");
  EXPECT_EQ(2, live.GetShadowValue());
  EXPECT_EQ(400, live.GetZMin());
  ExpectTranslator(live.GetRealWorldTranslator(), live, 120);
  device.Fail("Depth", "XRes", 0x30999);  // the read stops: no depth values, no translator
  KrVDepthRepresentation failed(&stream, 0, 0);
  EXPECT_EQ(0, failed.GetZMin());
  EXPECT_EQ(nullptr, failed.GetRealWorldTranslator());
  device.Fail("Depth", "XRes", 0);
  KrVPixelStreamData parent(&stream, 1, 0);
  KrVPixelStreamData window;
  ASSERT_EQ(KR_STATUS_OK, window.Initialize(parent, 10, 20, 100, 50));
  ExpectWindow(window, 100, 50, 10, 20, 640, 480);
  ASSERT_EQ(KR_STATUS_OK, window.ResetSubMap());
  ExpectWindow(window, 100, 50, 10, 20, 100, 50);
  EXPECT_EQ(KR_STATUS_OS_ERROR, parent.ResetSubMap());
  KrVPixelStreamData unbound(4, 3);  // a local frame: its fields are its own
  ExpectWindow(unbound, 4, 3, 0, 0, 4, 3);
  EXPECT_EQ(KR_STATUS_OK, unbound.SetFrameID(7));
  EXPECT_EQ(KR_STATUS_QM_NOT_INITIALIZED, window.Initialize(unbound, 0, 0, 1, 1));
  ExpectWindow(window, 100, 50, 10, 20, 100, 50);
}

TEST_F(FrameTest, DepthMapWrapsTheStreamBufferConvertsAndMapsOnCallersBuffersAreNotValid) {
  KrVDepthMap map(&stream, 1, 0);
  EXPECT_EQ(1, map.IsValid());
  EXPECT_EQ(&depth.pixels[1290], &map(10, 2));
  EXPECT_EQ(KRV_PROJECTION_MODE_PROJECTIVE, map.GetMode());
  KrVPointContainer points(0), expected(0);
  ASSERT_EQ(KR_STATUS_OK, map.ConvertToRealWorld(5, 6, 30, 20, points));
  ASSERT_EQ(KR_STATUS_OK, map.GetRealWorldTranslator()->Projective2RW(map.GetMatrix(), 5, 6, 30, 20, expected));
  ASSERT_EQ(expected.GetSize(), points.GetSize());
  EXPECT_EQ(30u * 20u * 4u / 5u, points.GetSize());  // every fifth pixel holds no sample
  EXPECT_EQ(0, std::memcmp(expected.Data(), points.Data(), points.GetSize() * sizeof(KrVPoint)));
  EXPECT_EQ(KR_STATUS_QM_NOT_INITIALIZED, KrVDepthMap().ConvertToRealWorld(points));
  std::vector<uint16_t> moved(640 * 480, 3);
  depth.MoveBuffer(moved);
  EXPECT_EQ(moved.data(), map.Data());
  map.Clear();
  EXPECT_EQ(std::vector<uint16_t>(640 * 480, 0), moved);
  EXPECT_EQ(KR_STATUS_OK, map.ReAdjust(10, 10));  // a live map keeps its resolution
  EXPECT_EQ(640, map.GetXRes());
  device.Fail("Depth", "Buffer", 0x30999);
  KrVDepthMap unreachable(&stream, 1, 0);
  EXPECT_EQ(0, unreachable.IsValid());
  KrVDepthMap copy(unreachable);  // not valid, but still watching its stream
  device.Fail("Depth", "Buffer", 0);
  Change("XRes", 320);
  EXPECT_EQ(320, copy.GetXRes());
  // Maps on callers' buffers are not valid.
  unsigned short values[6] = {1, 2, 3, 4, 5, 6};
  KrVDepthMap local(values, 3, 2);
  EXPECT_EQ(0, local.IsValid());
  EXPECT_EQ(6, local(2, 1));
  local.Clear();  // not valid: nothing
  EXPECT_EQ(1, values[0]);
  EXPECT_EQ(KR_STATUS_OS_ERROR, local.SetBuffer(values, 3, 2));
  EXPECT_EQ(KR_STATUS_QM_BAD_PARAMETER, local.ReAdjust(4, 2));
  KrVDepthMap owned;  // no pixels until adjusted
  EXPECT_EQ(0, owned.GetMatrix().GetXRes());
  EXPECT_EQ(0, owned.GetMatrix().GetYRes());
  EXPECT_EQ(KR_STATUS_OK, owned.ReAdjust(4, 2));
  EXPECT_EQ(4, owned.GetXRes());
  EXPECT_EQ(4, owned.GetMatrix().GetXRes());
}

TEST_F(FrameTest, DepthMapInitializeMakesAWindowOfNoSamplesAndCloneKeepsWindowParentAndValues) {
  device.SetInt("Depth", "NoSampleValue", 7);
  KrVDepthMap source(&stream, 1, 0);
  KrVDepthMap window;
  ASSERT_EQ(KR_STATUS_OK, window.Initialize(source, 100, 50, 10, 20));
  ExpectWindow(window, 100, 50, 10, 20, 640, 480);
  EXPECT_EQ(1, window.IsValid());
  EXPECT_EQ(std::vector<uint16_t>(5000, 7), std::vector<uint16_t>(window.Data(), window.Data() + 5000));
  ExpectTranslator(window.GetRealWorldTranslator(), window, 120);
  unsigned short small[10];
  KrVDepthMap tooSmall(small, 5, 2);
  EXPECT_EQ(KR_STATUS_QM_BAD_PARAMETER, tooSmall.Initialize(source, 100, 50, 10, 20));
  // A clone keeps the window, its parent and the values.
  depth.SetCropping(true, 100, 50, 320, 240);
  auto cropped = std::make_unique<KrVDepthMap>(&stream, 1, 0);
  auto target = std::make_unique<KrVDepthMap>();
  ASSERT_EQ(KR_STATUS_OK, cropped->Clone(*target));
  ExpectWindow(*target, 320, 240, 100, 50, 640, 480);
  ExpectTranslator(target->GetRealWorldTranslator(), *target, 120);
  EXPECT_NE(cropped->Data(), target->Data());
  EXPECT_EQ(0, std::memcmp(cropped->Data(), target->Data(), 320 * 240 * 2));
  EXPECT_EQ(400, target->GetZMin());
  EXPECT_EQ(KR_STATUS_OK, cropped->Clone(*cropped));
  cropped.reset();  // the clone owns its pixels
  EXPECT_EQ(depth.pixels[5], (*target)[5]);
  KrVDepthMap unbound;
  EXPECT_EQ(KR_STATUS_QM_NOT_INITIALIZED, unbound.Clone(*target));
}

// A copy of a bound map wraps the same stream buffer: cloning or windowing into it leaves the stream's frame as it was.
TEST_F(FrameTest, MapsSharingTheSourcesPixelsKeepTheSourceAndANullBufferGivesNoPixels) {
  const std::vector<uint16_t> frame = depth.pixels;
  KrVDepthMap bound(&stream, 1, 0);
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
  KrVImageMap image(&stream, 1, 0);
  ASSERT_EQ(static_cast<void*>(image.Data()), static_cast<void*>(depth.pixels.data()));
  KrVImageMap imageCopy(image);
  ASSERT_EQ(image.Clone(imageCopy), KR_STATUS_OK);
  KrVImageMap imageWindow(image);
  ASSERT_EQ(imageWindow.Initialize(image, 8, 2, 0, 0), KR_STATUS_OK);
  EXPECT_EQ(depth.pixels, frame);
  EXPECT_EQ(std::memcmp(imageCopy.Data(), frame.data(), frame.size() * 2), 0);
  // A stream whose buffer is a null address gives maps over no pixels.
  device.SetPointer("Depth", "Buffer", nullptr);
  KrVDepthMap none(&stream, 1, 0);
  EXPECT_EQ(none.IsValid(), 0);
  EXPECT_EQ(none.Data(), nullptr);
  none.Clear();  // nothing to clear: no crash
  EXPECT_EQ(none.Clone(sharing), KR_STATUS_QM_NOT_INITIALIZED);
  KrVImageMap noImage(&stream, 1, 0);
  EXPECT_EQ(noImage.GetMatrix().GetXRes() * noImage.GetMatrix().GetYRes(), 0);
  noImage.Clear();
  KrVAudioBuffer noAudio(&stream, 1, 0);
  EXPECT_EQ(noAudio.GetBufferAllocatedSize(), 0u);
  noAudio.Clear();
  // A map bound to no stream shows an empty window at the origin.
  ExpectWindow(KrVDepthMap(nullptr, 1, 0), 0, 0, 0, 0, 0, 0);
}

TEST_F(FrameTest, ImageMapAddressesComponentsAndInitializesAndClones) {
  KrVImageMap map(&imageStream, 1, 0);
  EXPECT_EQ(3, map.GetBytesPerPixel());
  EXPECT_EQ(KR_OUTPUT_FORMAT_RGB24, map.GetOutputFormat());
  EXPECT_EQ(24, map.GetMatrix().GetXRes());
  const auto* bytes = reinterpret_cast<unsigned char*>(image.pixels.data());
  for (KrVImageComponent c : {KRV_IMAGE_COMPONENT_RED, KRV_IMAGE_COMPONENT_GREEN, KRV_IMAGE_COMPONENT_BLUE}) {
    EXPECT_EQ(bytes + 3 + c, &map(1, 0, c));
    EXPECT_EQ(bytes + 3 * 9 + c, &map(1, 1, c));
  }
  device.SetProperty("Image", "BytesPerPixel", uint64_t{2});  // rows follow the pixel size
  EXPECT_EQ(16, map.GetMatrix().GetXRes());
  device.SetProperty("Image", "OutputFormat", uint64_t{KR_OUTPUT_FORMAT_GRAYSCALE8});
  EXPECT_EQ(KR_OUTPUT_FORMAT_GRAYSCALE8, map.GetOutputFormat());
  device.SetInt("Image", "BytesPerPixel", 2);
  KrVImageMap source(&imageStream, 1, 0);
  KrVImageMap window;
  ASSERT_EQ(KR_STATUS_OK, window.Initialize(source, 100, 10, 0, 0));
  EXPECT_EQ(200, window.GetMatrix().GetXRes());
  EXPECT_EQ(2000u, window.GetMatrix().GetContainer().GetCapacity());
  EXPECT_EQ(std::vector<unsigned char>(2000, 0), std::vector<unsigned char>(window.Data(), window.Data() + 2000));
  KrVImageMap windowClone;  // keeps the window's parent
  ASSERT_EQ(KR_STATUS_OK, window.Clone(windowClone));
  ExpectWindow(windowClone, 100, 10, 0, 0, 8, 4);
  KrVImageMap clone;
  ASSERT_EQ(KR_STATUS_OK, source.Clone(clone));
  ExpectWindow(clone, 8, 4, 0, 0, 8, 4);
  EXPECT_EQ(2, clone.GetBytesPerPixel());
  EXPECT_NE(source.Data(), clone.Data());
  EXPECT_EQ(0, std::memcmp(source.Data(), clone.Data(), 8 * 4 * 2));
  clone.Clear();
  EXPECT_EQ(0, clone[63]);
  EXPECT_NE(0, source[62] | source[63]);
}

// A clone gets its own buffer of the allocated size with the valid samples; either may go first.
TEST_F(FrameTest, AudioCloneCopiesTheSamplesIntoItsOwnBufferAndABoundBufferFollowsItsStream) {
  for (int order = 0; order < 2; ++order) {
    auto source = std::make_unique<KrVAudioBuffer>(&audioStream, 1, 0);
    const std::vector<uint16_t> before = audio.pixels;
    auto target = std::make_unique<KrVAudioBuffer>();
    ASSERT_EQ(KR_STATUS_OK, source->Clone(*target));
    EXPECT_EQ(before, audio.pixels);
    EXPECT_NE(source->Data(), target->Data());
    EXPECT_EQ(32u, target->GetBufferAllocatedSize());
    EXPECT_EQ(0, std::memcmp(source->Data(), target->Data(), 20));
    EXPECT_EQ(std::vector<unsigned char>(12, 0), std::vector<unsigned char>(target->Data() + 20, target->Data() + 32));
    auto copy = std::make_unique<KrVAudioBuffer>(*target);
    EXPECT_NE(target->Data(), copy->Data());
    (order == 0 ? source : target).reset();
    copy->Clear();
    EXPECT_EQ(0, (*copy)[0]);
  }
  EXPECT_EQ(0u, device.Subscriptions());
  KrVAudioBuffer buffer(&audioStream, 1, 0);
  EXPECT_EQ(32u, buffer.GetBufferAllocatedSize());
  EXPECT_EQ(44100, buffer.GetSampleRate());
  EXPECT_EQ(2, buffer.GetNumberOfChannels());
  buffer.SetBufferSize(100);
  EXPECT_EQ(0u, buffer.GetBufferSize());  // the frame's size, set by data updates
  std::vector<uint16_t> moved(16, 1);
  audio.MoveBuffer(moved);
  EXPECT_EQ(reinterpret_cast<unsigned char*>(moved.data()), buffer.Data());
  KrVAudioBuffer unbound(nullptr, 1, 0);
  EXPECT_EQ(0, unbound.IsValid());
  EXPECT_EQ(KR_STATUS_QM_NOT_INITIALIZED, unbound.Clone(buffer));
}

}  // namespace
