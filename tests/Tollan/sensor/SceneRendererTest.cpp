// The simulated sensor's frames: a pure function of (frame id, settings),
// a scene that moves, depth values the sensor can report, and the output
// options (formats, mirror, cropping, depth range) applied exactly.
#include "Tollan/src/sensor/AudioSynth.h"
#include "Tollan/src/sensor/SceneRenderer.h"

#include <Tollan/TollanStatus.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace tollan {
namespace sensor {
namespace {

struct Frame {
  KrStatus status = 0;
  std::vector<uint8_t> bytes;
  std::vector<uint16_t> Words() const {
    std::vector<uint16_t> w(bytes.size() / 2);
    std::memcpy(w.data(), bytes.data(), w.size() * 2);
    return w;
  }
};

Frame Render(SceneRenderer& r, const StreamSettings& s, uint32_t id, bool deviceMirror = false) {
  Frame f;
  f.bytes.resize(s.RequiredDataSize());
  uint32_t size = 0;
  f.status = r.Render(MakeRenderParams(s, deviceMirror), s.Tables().get(), id, f.bytes.data(),
                      static_cast<uint32_t>(f.bytes.size()), &size);
  f.bytes.resize(size);
  return f;
}

TEST(SceneRendererTest, SameIdGivesTheSameFrameAndTheSceneMoves) {
  for (StreamKind kind : {StreamKind::kDepth, StreamKind::kImage, StreamKind::kIR}) {
    const StreamSettings s(kind);
    SceneRenderer a, b;
    const Frame f7 = Render(a, s, 7);
    ASSERT_EQ(f7.status, KR_STATUS_OK);
    EXPECT_EQ(f7.bytes.size(), s.RequiredDataSize());
    Render(a, s, 300);  // a renderer's history does not matter
    EXPECT_EQ(Render(a, s, 7).bytes, f7.bytes);
    EXPECT_EQ(Render(b, s, 7).bytes, f7.bytes);
    EXPECT_NE(Render(b, s, 8).bytes, f7.bytes) << StreamKindName(kind);
  }
}

TEST(SceneRendererTest, DepthHoldsReportableValuesShadowsAndHoles) {
  const StreamSettings s(StreamKind::kDepth);
  SceneRenderer r;
  const std::vector<uint16_t> depth = Render(r, s, 40).Words();
  std::vector<bool> reportable(65536, false);
  for (uint16_t z : s.Tables()->S2D()) reportable[z] = true;
  size_t shadows = 0, holes = 0, unreportable = 0;
  for (uint16_t z : depth) {
    if (z == s.ShadowValue()) {
      ++shadows;
    } else if (z == s.NoSampleValue()) {
      ++holes;
    } else if (!reportable[z]) {
      ++unreportable;
    }
  }
  EXPECT_EQ(unreportable, 0u);
  EXPECT_GT(shadows, 100u);
  EXPECT_GT(holes, 1000u);                                              // the window
  EXPECT_EQ(depth[(480 - 1) * 640 + 10], depth[(480 - 1) * 640 + 11]);  // the floor is level along a row
}

TEST(SceneRendererTest, ShiftFramesMapToDepthFramesThroughS2D) {
  StreamSettings depthSettings(StreamKind::kDepth), shiftSettings(StreamKind::kDepth);
  ASSERT_EQ(shiftSettings.Set("OutputFormat", uint64_t{0}), KR_STATUS_OK);
  SceneRenderer r1, r2;
  const auto depth = Render(r1, depthSettings, 12).Words();
  const auto shift = Render(r2, shiftSettings, 12).Words();
  ASSERT_EQ(depth.size(), shift.size());
  const auto& s2d = depthSettings.Tables()->S2D();
  std::vector<uint16_t> expected(depth.size()), mapped(depth.size());
  for (size_t i = 0; i < depth.size(); ++i) {
    expected[i] = depth[i] == depthSettings.ShadowValue() ? 0 : depth[i];
    mapped[i] = s2d[shift[i]];
  }
  EXPECT_EQ(mapped, expected);
}

TEST(SceneRendererTest, MirrorIsTheExactFlip) {
  for (StreamKind kind : {StreamKind::kDepth, StreamKind::kImage, StreamKind::kIR}) {
    StreamSettings plain(kind), mirrored(kind);
    ASSERT_EQ(mirrored.Set("Mirror", uint64_t{1}), KR_STATUS_OK);
    SceneRenderer r;
    const Frame a = Render(r, plain, 5), b = Render(r, mirrored, 5), c = Render(r, plain, 5, true);
    EXPECT_EQ(b.bytes, c.bytes);  // the device's mirror does the same
    const uint32_t bpp = plain.BytesPerPixel(), w = plain.XRes();
    for (uint32_t v = 0; v < plain.YRes(); v += 37) {
      for (uint32_t u = 0; u < w; ++u) {
        ASSERT_EQ(0, std::memcmp(&a.bytes[(v * w + u) * bpp], &b.bytes[(v * w + (w - 1 - u)) * bpp], bpp));
      }
    }
  }
}

TEST(SceneRendererTest, CroppingGivesTheWindowInEveryFormat) {
  struct Row {
    StreamKind kind;
    uint64_t format;
  };
  for (const Row& row :
       {Row{StreamKind::kDepth, 1}, Row{StreamKind::kDepth, 0}, Row{StreamKind::kImage, 5}, Row{StreamKind::kImage, 4},
        Row{StreamKind::kImage, 6}, Row{StreamKind::kIR, 8}, Row{StreamKind::kIR, 4}, Row{StreamKind::kIR, 5}}) {
    StreamSettings full(row.kind);
    ASSERT_EQ(full.Set("OutputFormat", row.format), KR_STATUS_OK);
    StreamSettings cropped = full;
    const CroppingValue c{1, 100, 60, 200, 120};
    ASSERT_EQ(cropped.Set("Cropping", KrGeneralBuffer{const_cast<CroppingValue*>(&c), sizeof(c)}), KR_STATUS_OK);
    SceneRenderer r;
    const Frame whole = Render(r, full, 3), window = Render(r, cropped, 3);
    const uint32_t bpp = full.BytesPerPixel();
    ASSERT_EQ(window.bytes.size(), 200u * 120 * bpp);
    for (uint32_t y = 0; y < 120; ++y) {
      ASSERT_EQ(0, std::memcmp(&window.bytes[y * 200 * bpp], &whole.bytes[((60 + y) * 640 + 100) * bpp], 200 * bpp))
          << "format " << row.format << " row " << y;
    }
  }
}

TEST(SceneRendererTest, DepthRangeTurnsOtherDepthsIntoHoles) {
  StreamSettings all(StreamKind::kDepth), near(StreamKind::kDepth);
  ASSERT_EQ(near.Set("MaxDepthValue", uint64_t{2000}), KR_STATUS_OK);
  SceneRenderer r;
  const auto a = Render(r, all, 9).Words(), b = Render(r, near, 9).Words();
  std::vector<uint16_t> expected(a);
  for (uint16_t& z : expected) {
    if (z != all.ShadowValue() && z > 2000) z = all.NoSampleValue();
  }
  EXPECT_EQ(b, expected);
  EXPECT_NE(a, expected);
}

// Gray and YUV 4:2:2 (Y0 U Y1 V, colour of each pair averaged) follow the
// BT.601 weights of the RGB picture of the same frame.
TEST(SceneRendererTest, GrayAndYuvFollowTheRgbPicture) {
  StreamSettings rgb(StreamKind::kImage), gray(StreamKind::kImage), yuv(StreamKind::kImage);
  ASSERT_EQ(gray.Set("OutputFormat", uint64_t{KR_OUTPUT_FORMAT_GRAYSCALE8}), KR_STATUS_OK);
  ASSERT_EQ(yuv.Set("OutputFormat", uint64_t{KR_OUTPUT_FORMAT_YUV422}), KR_STATUS_OK);
  SceneRenderer r;
  const Frame a = Render(r, rgb, 21), g = Render(r, gray, 21), y = Render(r, yuv, 21);
  auto near = [](double expected, uint8_t got) { return std::abs(expected - got) <= 2.0; };
  for (size_t pair = 0; pair < g.bytes.size() / 2; pair += 97) {
    const uint8_t* p = &a.bytes[pair * 6];
    const double r0 = (p[0] + p[3]) / 2, g0 = (p[1] + p[4]) / 2, b0 = (p[2] + p[5]) / 2;
    for (int i = 0; i < 2; ++i) {
      const double luma = 0.299 * p[3 * i] + 0.587 * p[3 * i + 1] + 0.114 * p[3 * i + 2];
      ASSERT_TRUE(near(luma, g.bytes[2 * pair + i])) << pair;
      ASSERT_TRUE(near(luma, y.bytes[4 * pair + 2 * i])) << pair;
    }
    ASSERT_TRUE(near(128 - 0.1687 * r0 - 0.3313 * g0 + 0.5 * b0, y.bytes[4 * pair + 1])) << pair;
    ASSERT_TRUE(near(128 + 0.5 * r0 - 0.4187 * g0 - 0.0813 * b0, y.bytes[4 * pair + 3])) << pair;
  }
}

// The red ball's colour covers exactly its depth: right of the last red
// pixel of the ball's middle row, the depth jumps to what lies behind it.
TEST(SceneRendererTest, TheBallsColourCoversItsDepth) {
  const StreamSettings image(StreamKind::kImage), depth(StreamKind::kDepth);
  SceneRenderer r;
  for (uint32_t id : {5u, 50u, 95u, 140u}) {
    const Frame rgb = Render(r, image, id);
    const std::vector<uint16_t> z = Render(r, depth, id).Words();
    auto red = [&](int pixel) { return rgb.bytes[pixel * 3] > 2 * rgb.bytes[pixel * 3 + 1] + 20; };
    int top = -1, bottom = -1, right = -1;
    for (int pixel = 0; pixel < 640 * 480; ++pixel) {
      if (!red(pixel)) continue;
      bottom = pixel / 640;
      if (top < 0) top = bottom;
    }
    ASSERT_GE(top, 0) << id;
    const int middle = (top + bottom) / 2 * 640;
    for (int u = 0; u < 640; ++u) right = red(middle + u) ? u : right;
    ASSERT_LT(right, 639) << id;
    EXPECT_GT(std::abs(z[middle + right + 1] - z[middle + right]), 200) << id;
  }
}

TEST(SceneRendererTest, ImageTopRowsCarryTheFrameId) {
  const StreamSettings s(StreamKind::kImage);
  SceneRenderer r;
  const uint32_t id = 0x80000005u;
  const Frame f = Render(r, s, id);
  uint32_t decoded = 0;
  for (int block = 0; block < 32; ++block) decoded = decoded << 1 | (f.bytes[(block * 20 + 10) * 3] > 128 ? 1u : 0u);
  EXPECT_EQ(decoded, id);
}

TEST(SceneRendererTest, BadRequestsWriteNothing) {
  const StreamSettings s(StreamKind::kImage);
  SceneRenderer r;
  std::vector<uint8_t> small(100, 0xEE);
  uint32_t size = 7;
  EXPECT_EQ(r.Render(MakeRenderParams(s, false), nullptr, 1, small.data(), 100, &size),
            KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(small[0], 0xEE);
  const StreamSettings depth(StreamKind::kDepth);
  EXPECT_EQ(r.Render(MakeRenderParams(depth, false), nullptr, 1, small.data(), 100, &size),
            KR_STATUS_TL_BAD_PROPERTY_VALUE);  // depth needs its tables
}

TEST(AudioSynthTest, FramesTileTheSampleStream) {
  for (uint32_t rate : {48000u, 44100u, 16000u, 11025u}) {
    StreamSettings s(StreamKind::kAudio);
    ASSERT_EQ(s.Set("SampleRate", uint64_t{rate}), KR_STATUS_OK);
    const AudioParams p = MakeAudioParams(s);
    std::vector<int16_t> frame(s.RequiredDataSize() / 2);
    uint64_t total = 0;
    for (uint32_t id = 1; id <= 30; ++id) {
      uint32_t size = 0;
      ASSERT_EQ(RenderAudio(p, id, frame.data(), s.RequiredDataSize(), &size), KR_STATUS_OK);
      const uint64_t first = total;
      total += size / 4;
      EXPECT_EQ(frame[0], AudioSample(p, first, 0));  // frames continue one another
      EXPECT_EQ(frame[size / 2 - 1], AudioSample(p, total - 1, 1));
    }
    EXPECT_EQ(total, rate) << "one second of frames holds one second of samples";
  }
}

TEST(AudioSynthTest, VolumeAndChannels) {
  StreamSettings s(StreamKind::kAudio);
  ASSERT_EQ(s.Set("RightChannelVolume", uint64_t{0}), KR_STATUS_OK);
  std::vector<int16_t> frame(1600 * 2);
  uint32_t size = 0;
  ASSERT_EQ(RenderAudio(MakeAudioParams(s), 2, frame.data(), 6400, &size), KR_STATUS_OK);
  bool leftSounds = false;
  for (size_t i = 0; i < frame.size(); i += 2) {
    leftSounds = leftSounds || frame[i] != 0;
    ASSERT_EQ(frame[i + 1], 0);
  }
  EXPECT_TRUE(leftSounds);
  ASSERT_EQ(s.Set("NumOfChannels", uint64_t{1}), KR_STATUS_OK);
  ASSERT_EQ(RenderAudio(MakeAudioParams(s), 2, frame.data(), 6400, &size), KR_STATUS_OK);
  EXPECT_EQ(size, 1600u * 2);
  EXPECT_EQ(RenderAudio(MakeAudioParams(s), 2, frame.data(), 100, &size), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
}

TEST(SensorModesTest, TimestampsFollowTheFrameRate) {
  EXPECT_EQ(FrameTimestamp(1, 30, 0, true), 0u);
  EXPECT_EQ(FrameTimestamp(31, 30, 0, true), 1000000u);
  EXPECT_EQ(FrameTimestamp(2, 30, 0, true), 33333u);
  EXPECT_EQ(FrameTimestamp(2, 30, 0, false), 33000u);
  EXPECT_EQ(FrameTimestamp(2, 15, 500, true), 67166u);
}

}  // namespace
}  // namespace sensor
}  // namespace tollan
