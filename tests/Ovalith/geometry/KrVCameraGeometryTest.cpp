// Two cameras on the simulated sensor: the engine's camera parameters, its alignment of depth and image, and the
// sensor's own registration, checked against the picture (the red ball) and values worked out here.
#include "../Infrastructure/DeviceTestSupport.h"

#include <cmath>
#include <functional>

namespace device_test {
namespace {

// The rig this test configures; the expectations below are worked out from these values.
constexpr double kBaseline = 25.0;      // mm
constexpr double kColourFocal = 500.0;  // pixels at 640 wide

struct Grabbed {
  std::vector<uint16_t> depth;
  std::vector<uint8_t> image;
  uint32_t depthWidth = 0, depthHeight = 0, imageWidth = 0, imageHeight = 0;
};

class CameraGeometryTest : public DeviceTest {
 public:
  void SetUp() override {
    DeviceTest::SetUp();
    KrVDevice::EngineShutdown();
    Write("Tollan.ini", "[Tollan]\nSensors=2\nPaced=0\nScene=" + scene +
                            "\nColourBaseline=25\n"
                            "ColourFocalLength=500\nColourYaw=0\n[SensorV2.1]\nDepth.Registration=1\n");
    ASSERT_EQ(KrVDevice::EngineInit(nullptr, directory_.c_str()), KR_STATUS_OK);
  }
  // Sensor *:n with depth and image at the given widths (15 FPS, offered by every resolution).
  static void Open(KrVDevice& device, int n, uint64_t depthWidth, uint64_t imageWidth) {
    const std::string connection = "*:" + std::to_string(n);
    ASSERT_EQ(device.CreateSensor(connection.c_str(), nullptr, KR_DEVICE_SHARING_EXCLUSIVE), KR_STATUS_OK);
    for (const auto& [type, width] : {std::pair<const char*, uint64_t>{"Depth", depthWidth}, {"Image", imageWidth}}) {
      KrVPropertySet values;
      values.AddProperty(type, "XRes", width);
      values.AddProperty(type, "FPS", uint64_t{15});
      ASSERT_EQ(device.AddStream(type, type, &values), KR_STATUS_OK) << type << " " << width;
    }
    ASSERT_EQ(device.OpenAllStreams(), KR_STATUS_OK);
  }
  // The bytes of a stream's frame as the last read left them.
  static std::vector<uint8_t> Current(KrVDevice& device, const char* stream) {
    void* data = nullptr;
    EXPECT_EQ(device.GetProperty(stream, "Buffer", KrGeneralBuffer{&data, sizeof(data)}), KR_STATUS_OK);
    const auto* bytes = static_cast<const uint8_t*>(data);
    return std::vector<uint8_t>(bytes, bytes + ValueOf(device, stream, "BufferSize"));
  }
  // Depth and image frame `id` of an unpaced sensor.
  static Grabbed Grab(KrVDevice& device, uint64_t id) {
    Grabbed g;
    for (int read = 0; read < 4 * static_cast<int>(id) + 8 && (g.depth.empty() || g.image.empty()); ++read) {
      EXPECT_EQ(device.Read(), KR_STATUS_OK);
      if (ValueOf(device, "Image", "FrameId") == id) g.image = Current(device, "Image");
      if (ValueOf(device, "Depth", "FrameId") == id) {
        const std::vector<uint8_t> bytes = Current(device, "Depth");
        g.depth.resize(bytes.size() / 2);
        std::memcpy(g.depth.data(), bytes.data(), bytes.size());
      }
    }
    g.depthWidth = static_cast<uint32_t>(ValueOf(device, "Depth", "XRes"));
    g.depthHeight = static_cast<uint32_t>(ValueOf(device, "Depth", "YRes"));
    g.imageWidth = static_cast<uint32_t>(ValueOf(device, "Image", "XRes"));
    g.imageHeight = static_cast<uint32_t>(ValueOf(device, "Image", "YRes"));
    EXPECT_FALSE(g.depth.empty() || g.image.empty()) << "frame " << id;
    return g;
  }
  // The depth camera's focal length from the stream's calibration (the translator's documented model).
  static double TranslatorFocal(KrVDevice& device, const char* stream = "Depth") {
    return static_cast<double>(ValueOf(device, stream, "ZPD")) /
           (ValueOf<double>(device, stream, "ZPPS") * static_cast<double>(1280 / ValueOf(device, stream, "XRes")));
  }
  std::string scene = "clean";
};

// Centroid and extent of a region of a grid.
struct Blob {
  double u = 0, v = 0;
  size_t count = 0;
};
template <typename Inside>
Blob Find(uint32_t width, uint32_t height, Inside inside) {
  Blob b;
  for (uint32_t v = 0; v < height; ++v) {
    for (uint32_t u = 0; u < width; ++u) {
      if (!inside(u, v)) continue;
      b.u += u, b.v += v, ++b.count;
    }
  }
  if (b.count > 0) b.u /= b.count, b.v /= b.count;
  return b;
}
// The ball: red in the image, 1340..1510 mm in depth (nothing else of the room lies there in these frames).
bool Red(const uint8_t* rgb) { return rgb[0] > 2 * rgb[1] + 20 && rgb[0] > 2 * rgb[2] + 20; }
bool BallDepth(uint16_t z) { return z >= 1340 && z <= 1510; }
// Frames where the ball is whole and the panel is far from its depth.
constexpr uint64_t kFrames[] = {5, 50, 95};

// The ball's left and right edge on row v.
std::pair<int, int> Edges(uint32_t width, uint32_t v, const std::function<bool(uint32_t, uint32_t)>& inside) {
  int left = -1, right = -1;
  for (uint32_t u = 0; u < width; ++u) {
    if (!inside(u, v)) continue;
    if (left < 0) left = static_cast<int>(u);
    right = static_cast<int>(u);
  }
  return {left, right};
}

TEST_F(CameraGeometryTest, RegisteredDepthMeetsTheImageAndRawDepthIsOffByTheParallax) {
  KrVDevice raw, registered;
  Open(raw, 0, 640, 640);
  Open(registered, 1, 640, 640);
  const double fd = TranslatorFocal(raw);
  for (uint64_t id : kFrames) {
    SCOPED_TRACE(id);
    const Grabbed r = Grab(raw, id), g = Grab(registered, id);
    const auto red = [&](uint32_t u, uint32_t v) { return Red(&g.image[(v * 640 + u) * 3]); };
    const auto regBall = [&](uint32_t u, uint32_t v) { return BallDepth(g.depth[v * 640 + u]); };
    const auto rawBall = [&](uint32_t u, uint32_t v) { return BallDepth(r.depth[v * 640 + u]); };
    const Blob inImage = Find(640, 480, red), inRegistered = Find(640, 480, regBall), inRaw = Find(640, 480, rawBall);
    EXPECT_NEAR(double(inRegistered.count) / double(inImage.count), 1.0, 0.05);
    ASSERT_GT(inImage.count, 2000u);
    // Edges on the rows through the ball (and a few either side) agree within a pixel.
    for (int dv = -10; dv <= 10; dv += 5) {
      const uint32_t v = static_cast<uint32_t>(std::lround(inImage.v)) + dv;
      const auto [l0, r0] = Edges(640, v, red);
      const auto [l1, r1] = Edges(640, v, regBall);
      EXPECT_LE(std::abs(l0 - l1), 1) << "row " << v;
      EXPECT_LE(std::abs(r0 - r1), 1) << "row " << v;
    }
    // Raw depth: the image shows the ball where the colour camera, 25 mm to the right with its own lens, sees
    // the depth camera's ball centre (1500 mm away).
    const double z = 1500, x = (inRaw.u - 320) * z / fd, y = (inRaw.v - 240) * z / fd;
    const double expectedU = 320 + kColourFocal * (x - kBaseline) / z, expectedV = 240 + kColourFocal * y / z;
    EXPECT_NEAR(inImage.u, expectedU, 1.0);
    EXPECT_NEAR(inImage.v, expectedV, 1.0);
    EXPECT_GT(std::abs(inImage.u - inRaw.u), 5.0) << "the two views differ";
  }
}

// Every pair of modes: aligned depth puts the ball on the image's ball, the aligned image colours the depth
// ball red, and the intrinsics follow each mode.
TEST_F(CameraGeometryTest, AlignmentAgreesWithThePictureAtEveryPairOfResolutions) {
  for (uint64_t depthWidth : {320, 640}) {
    for (uint64_t imageWidth : {320, 640, 1280}) {
      SCOPED_TRACE(std::to_string(depthWidth) + " depth, " + std::to_string(imageWidth) + " image");
      KrVDevice device;
      Open(device, 0, depthWidth, imageWidth);
      KrVCameraIntrinsics depthK, imageK;
      ASSERT_EQ(KrVCameraIntrinsics::FromStream(device, "Depth", depthK), KR_STATUS_OK);
      ASSERT_EQ(KrVCameraIntrinsics::FromStream(device, "Image", imageK), KR_STATUS_OK);
      EXPECT_EQ(depthK.width, depthWidth);
      EXPECT_EQ(imageK.width, imageWidth);
      EXPECT_EQ(imageK.height, imageWidth == 1280 ? 1024u : imageWidth * 3 / 4);
      EXPECT_NEAR(imageK.fx, kColourFocal * imageWidth / 640.0, 1e-9);
      EXPECT_DOUBLE_EQ(depthK.fx, TranslatorFocal(device));
      EXPECT_DOUBLE_EQ(imageK.cx, imageWidth / 2.0);
      EXPECT_STREQ(depthK.GetDistortionModel(), "none");
      KrVFrameAligner aligner;
      ASSERT_EQ(aligner.Init(device), KR_STATUS_OK);
      const Grabbed g = Grab(device, 50);
      std::vector<uint16_t> aligned(size_t{g.imageWidth} * g.imageHeight);
      ASSERT_EQ(aligner.AlignDepthToImage(g.depth.data(), g.depth.size(), 0, 1, aligned.data(), aligned.size()),
                KR_STATUS_OK);
      const Blob red = Find(g.imageWidth, g.imageHeight,
                            [&](uint32_t u, uint32_t v) { return Red(&g.image[(size_t{v} * g.imageWidth + u) * 3]); });
      const Blob ball = Find(g.imageWidth, g.imageHeight,
                             [&](uint32_t u, uint32_t v) { return BallDepth(aligned[size_t{v} * g.imageWidth + u]); });
      // Within one depth pixel's footprint in the image (and never worse than a pixel).
      const double footprint = std::max(1.0, imageK.fx / depthK.fx);
      EXPECT_NEAR(ball.u, red.u, footprint);
      EXPECT_NEAR(ball.v, red.v, footprint);
      EXPECT_NEAR(double(ball.count) / double(red.count), 1.0, 0.1);
      std::vector<uint8_t> colours(g.depth.size() * 3);
      ASSERT_EQ(aligner.AlignImageToDepth(g.depth.data(), g.depth.size(), 0, 1, g.image.data(), g.image.size(), 3,
                                          colours.data(), colours.size()),
                KR_STATUS_OK);
      size_t ballPixels = 0, redPixels = 0;
      for (size_t i = 0; i < g.depth.size(); ++i) {
        if (!BallDepth(g.depth[i])) continue;
        ++ballPixels;
        redPixels += Red(&colours[i * 3]);
      }
      EXPECT_GT(redPixels, ballPixels * 95 / 100) << redPixels << " of " << ballPixels;
    }
  }
}

// The sensor's registration and the engine's alignment run the same arithmetic: identical bytes, noise and all.
TEST_F(CameraGeometryTest, SensorRegistrationIsTheEnginesAlignmentToTheBit) {
  for (uint64_t width : {320, 640}) {
    SCOPED_TRACE(width);
    KrVDevice raw, registered;
    Open(raw, 0, width, width);
    Open(registered, 1, width, width);
    KrVFrameAligner aligner;
    ASSERT_EQ(aligner.Init(raw), KR_STATUS_OK);
    KrVCameraIntrinsics rawImage, registeredDepth;
    KrVCameraExtrinsics motion;
    ASSERT_EQ(KrVCameraIntrinsics::FromStream(raw, "Image", rawImage), KR_STATUS_OK);
    ASSERT_EQ(KrVCameraIntrinsics::FromStream(registered, "Depth", registeredDepth), KR_STATUS_OK);
    ASSERT_EQ(KrVCameraExtrinsics::FromStream(registered, "Depth", motion), KR_STATUS_OK);
    EXPECT_TRUE(motion.IsIdentity()) << "registered depth is in the colour camera already";
    EXPECT_DOUBLE_EQ(registeredDepth.fx, rawImage.fx);
    for (uint64_t id : {3, 40}) {
      const Grabbed r = Grab(raw, id), g = Grab(registered, id);
      std::vector<uint16_t> aligned(r.depth.size());
      ASSERT_EQ(aligner.AlignDepthToImage(r.depth.data(), r.depth.size(), 0, 1, aligned.data(), aligned.size()),
                KR_STATUS_OK);
      EXPECT_TRUE(aligned == g.depth) << "frame " << id;
      EXPECT_EQ(std::count(g.depth.begin(), g.depth.end(), uint16_t{1}), 0) << "no shadow value in a registered frame";
    }
  }
}

// Closing, changing and reopening a stream, or switching registration, changes what the parameters say at once.
TEST_F(CameraGeometryTest, ModeChangesReachTheParametersAndTheTranslator) {
  KrVDevice device;
  Open(device, 0, 640, 640);
  KrVCameraIntrinsics before, after;
  ASSERT_EQ(KrVCameraIntrinsics::FromStream(device, "Depth", before), KR_STATUS_OK);
  ASSERT_EQ(device.CloseStream("Depth"), KR_STATUS_OK);
  ASSERT_EQ(device.SetProperty("Depth", "Resolution", uint64_t{0}), KR_STATUS_OK);
  ASSERT_EQ(device.OpenStream("Depth"), KR_STATUS_OK);
  ASSERT_EQ(KrVCameraIntrinsics::FromStream(device, "Depth", after), KR_STATUS_OK);
  EXPECT_EQ(after.width, 320u);
  EXPECT_EQ(after.height, 240u);
  EXPECT_DOUBLE_EQ(after.fx, before.fx / 2);
  EXPECT_DOUBLE_EQ(after.cy, 120.0);

  KrVCameraExtrinsics raw, none;
  ASSERT_EQ(KrVCameraExtrinsics::FromStream(device, "Depth", raw), KR_STATUS_OK);
  const double origin[3] = {0, 0, 1000};
  double moved[3];
  raw.Apply(origin, moved);
  EXPECT_NEAR(moved[0], -kBaseline, 1e-9) << "the colour camera sits 25 mm to the right";
  EXPECT_NEAR(moved[2], 1000, 1e-9);
  ASSERT_EQ(device.SetProperty("Depth", "Registration", uint64_t{1}), KR_STATUS_OK);
  ASSERT_EQ(device.Read(), KR_STATUS_OK);  // the depth map takes the new calibration with the next frame
  ASSERT_EQ(KrVCameraIntrinsics::FromStream(device, "Depth", after), KR_STATUS_OK);
  ASSERT_EQ(KrVCameraExtrinsics::FromStream(device, "Depth", none), KR_STATUS_OK);
  EXPECT_NEAR(after.fx, kColourFocal / 2, 1e-9);
  EXPECT_TRUE(none.IsIdentity());
  const KrVRealWorldTranslator* translator = device.GetDepthMap()->GetRealWorldTranslator();
  ASSERT_NE(translator, nullptr);
  KrVPoint p(10, 20, 1000);
  translator->Projective2RW(p);
  EXPECT_NEAR(p.X(), (10 - after.cx) * 1000 / after.fx, 1e-3) << "the engine's translator describes registered depth";
  EXPECT_NEAR(p.Y(), (20 - after.cy) * 1000 / after.fy, 1e-3);
}

// A projector shadow is no measurement: the batch conversion and the aligner leave shadow pixels out.
TEST_F(CameraGeometryTest, ShadowPixelsNeverBecomePoints) {
  KrVDevice device;
  Open(device, 0, 640, 640);
  const Grabbed g = Grab(device, 50);
  const uint16_t shadow = static_cast<uint16_t>(ValueOf(device, "Depth", "ShadowValue"));
  const size_t shadows = std::count(g.depth.begin(), g.depth.end(), shadow);
  const size_t holes = std::count(g.depth.begin(), g.depth.end(), uint16_t{0});
  ASSERT_GT(shadows, 100u) << "the scene has shadows to test with";
  KrVPointContainer points(640 * 480);
  const KrVRealWorldTranslator* translator = device.GetDepthMap()->GetRealWorldTranslator();
  ASSERT_EQ(
      translator->Projective2RW(g.depth.data(), 640, 0, 0, 640, 480, points, KRV_NO_SAMPLE_OR_SHADOW_SKIP, 0, shadow),
      KR_STATUS_OK);
  EXPECT_EQ(points.GetSize(), g.depth.size() - shadows - holes);
  for (unsigned int i = 0; i < points.GetSize(); ++i) ASSERT_GT(points[static_cast<int>(i)].Z(), 100.0f) << i;
  KrVFrameAligner aligner;
  ASSERT_EQ(aligner.Init(device), KR_STATUS_OK);
  std::vector<int> pixels(g.depth.size());
  ASSERT_EQ(aligner.FindImagePixels(g.depth.data(), g.depth.size(), 0, shadow, pixels.data(), pixels.size()),
            KR_STATUS_OK);
  for (size_t i = 0; i < g.depth.size(); ++i) {
    if (g.depth[i] == shadow) {
      ASSERT_EQ(pixels[i], -1) << i;
    }
  }
  // Buffers smaller than the modes say are refused, not overrun.
  std::vector<uint16_t> small(100);
  EXPECT_EQ(aligner.AlignDepthToImage(g.depth.data(), g.depth.size(), 0, shadow, small.data(), small.size()),
            KR_STATUS_QM_BAD_PARAMETER);
  EXPECT_EQ(aligner.AlignDepthToImage(g.depth.data(), 100, 0, shadow, small.data(), small.size()),
            KR_STATUS_QM_BAD_PARAMETER);
}

// A recording keeps registration, its frames and the camera parameters; a recording whose streams predate the
// parameters plays as before, described as one viewpoint.
TEST_F(CameraGeometryTest, RecordingsKeepRegistrationAndTheParameters) {
  const std::string path = directory_ + "/registered.rec";
  std::vector<uint8_t> live;
  KrVCameraIntrinsics liveDepth, liveImage;
  {
    KrVDevice sensor;
    Open(sensor, 1, 640, 640);
    KrVDeviceRecorder recorder(&sensor, path.c_str());
    ASSERT_EQ(recorder.StartRecording(1), KR_STATUS_OK);
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(sensor.Read(), KR_STATUS_OK);
      ASSERT_EQ(recorder.WriteData(), KR_STATUS_OK);
    }
    live = Current(sensor, "Depth");
    ASSERT_EQ(KrVCameraIntrinsics::FromStream(sensor, "Depth", liveDepth), KR_STATUS_OK);
    ASSERT_EQ(KrVCameraIntrinsics::FromStream(sensor, "Image", liveImage), KR_STATUS_OK);
    ASSERT_EQ(recorder.StopRecording(), KR_STATUS_OK);
  }
  KrVDevice player;
  const Frames frames = PlayBack(path, &player);
  ASSERT_FALSE(frames.at("Depth").empty());
  const std::vector<uint8_t>& last = std::get<0>(frames.at("Depth").back());
  EXPECT_TRUE(last == live) << "the registered frame plays back as it was made";
  EXPECT_EQ(ValueOf(player, "Depth", "Registration"), 1u);
  KrVCameraIntrinsics playedDepth, playedImage;
  KrVCameraExtrinsics played;
  ASSERT_EQ(KrVCameraIntrinsics::FromStream(player, "Depth", playedDepth), KR_STATUS_OK);
  ASSERT_EQ(KrVCameraIntrinsics::FromStream(player, "Image", playedImage), KR_STATUS_OK);
  ASSERT_EQ(KrVCameraExtrinsics::FromStream(player, "Depth", played), KR_STATUS_OK);
  EXPECT_DOUBLE_EQ(playedDepth.fx, liveDepth.fx);
  EXPECT_DOUBLE_EQ(playedImage.fx, liveImage.fx);
  EXPECT_TRUE(played.IsIdentity());

  // Streams as older sensors made them: depth calibration, no image calibration, no extrinsics.
  Script script = CameraScript();
  KrVDevice scripted;
  ASSERT_EQ(CreateScripted(scripted, script), KR_STATUS_OK);
  ASSERT_EQ(scripted.AddStream("Depth", "Depth", nullptr), KR_STATUS_OK);
  ASSERT_EQ(scripted.AddStream("Image", "Image", nullptr), KR_STATUS_OK);
  KrVCameraIntrinsics oldDepth, oldImage;
  KrVCameraExtrinsics oldMotion;
  ASSERT_EQ(KrVCameraIntrinsics::FromStream(scripted, "Depth", oldDepth), KR_STATUS_OK);
  ASSERT_EQ(KrVCameraIntrinsics::FromStream(scripted, "Image", oldImage), KR_STATUS_OK);
  ASSERT_EQ(KrVCameraExtrinsics::FromStream(scripted, "Depth", oldMotion), KR_STATUS_OK);
  EXPECT_DOUBLE_EQ(oldImage.fx, oldDepth.fx);
  EXPECT_EQ(oldDepth.width, 4u);
  EXPECT_DOUBLE_EQ(oldDepth.fx, 120.0 / (0.1 * (1280 / 4)));
  EXPECT_TRUE(oldMotion.IsIdentity());
}

}  // namespace
}  // namespace device_test
