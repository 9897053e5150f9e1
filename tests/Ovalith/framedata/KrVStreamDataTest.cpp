// The frame objects' stream binding: re-reads on notifications or at the next update, frame fields, setters, copies
// between frames and streams, and subscriptions that end with the object.
#include <Ovalith/framedata/KrVDepthMap.h>
#include <Ovalith/framedata/KrVStreamData.h>

#include <memory>

#include "Ovalith/framedata/FrameTestSupport.h"

namespace {

class StreamDataTest : public FrameTest {
 protected:
  StreamDataTest() : second(device, "Depth2", 4, 4) { secondStream.Attach(&device, "Depth2"); }
  FakeDepthStream second;
  KrVStream secondStream;
};

// An immediate object re-reads on the notification, its calibration too. A deferred one re-reads at the next update
// only, each level after its base: the translator sees the new resolution along with the new ZPD.
TEST_F(StreamDataTest, ObjectsRereadOnTheNotificationOrAtTheNextUpdateFromBaseToMostDerived) {
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
TEST_F(StreamDataTest, FrameFieldsAndSetters) {
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

// CopyFrom takes the other frame's timestamp (or the one given) and size. Initialize binds to the other frame's stream
// with a handle of its own; a watched object then watches that stream, its old subscriptions cancelled by name.
TEST_F(StreamDataTest, CopyFromAndInitializeTakeTheOtherFrame) {
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

// Copies have their own handle and subscriptions: destroying either leaves the other working, in every order, and
// nothing stays subscribed.
TEST_F(StreamDataTest, CopiesAndDestructionInEveryOrder) {
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

TEST_F(StreamDataTest, RefusedSubscriptionIsNotRecorded) {
  device.Fail("register", "Cropping", 0x30999);
  Probe<KrVPixelStreamData> frame(&stream, 1, 0);
  EXPECT_EQ(3u, device.Subscriptions());
  EXPECT_EQ(0x30999u, frame.AddWatchedProperty("Cropping"));
}

}  // namespace
