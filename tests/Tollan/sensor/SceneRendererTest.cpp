// The simulated sensor's frames, output options and noise, checked against the clean scene of the same frame.
#include "Tollan/src/sensor/AudioSynth.h"
#include "Tollan/src/sensor/SceneRenderer.h"
#include <Tollan/TollanStatus.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace tollan::sensor {
namespace {

constexpr StreamKind kPictureKinds[] = {StreamKind::kDepth, StreamKind::kImage, StreamKind::kIR};

std::vector<uint8_t> Render(const StreamSettings& s, uint32_t id, bool deviceMirror = false, bool noise = false,
                            uint64_t seed = 0, SceneRenderer* renderer = nullptr) {
  SceneRenderer fresh;
  SceneRenderer& r = renderer ? *renderer : fresh;
  RenderParams params = MakeRenderParams(s, deviceMirror);
  params.noise = NoiseParams{noise, seed};
  std::vector<uint8_t> bytes(s.RequiredDataSize());
  uint32_t size = 0;
  EXPECT_EQ(r.Render(params, s.Tables().get(), id, bytes.data(), uint32_t(bytes.size()), &size), KR_STATUS_OK);
  bytes.resize(size);
  return bytes;
}

std::vector<uint16_t> Words(const std::vector<uint8_t>& bytes) {
  std::vector<uint16_t> w(bytes.size() / 2);
  std::memcpy(w.data(), bytes.data(), w.size() * 2);
  return w;
}

TEST(SceneRendererTest, SameIdGivesTheSameFrameTheSceneMovesAndMirrorIsTheExactFlip) {
  for (StreamKind kind : kPictureKinds) {
    SCOPED_TRACE(StreamKindName(kind));
    const StreamSettings s(kind);
    SceneRenderer renderer;
    const std::vector<uint8_t> f7 = Render(s, 7, false, false, 0, &renderer);
    EXPECT_EQ(f7.size(), s.RequiredDataSize());
    Render(s, 300, false, false, 0, &renderer);  // a renderer's history does not matter
    EXPECT_EQ(Render(s, 7, false, false, 0, &renderer), f7);
    EXPECT_NE(Render(s, 8), f7);
    const std::vector<uint8_t> noisy = Render(s, 7, false, true);
    EXPECT_EQ(Render(s, 7, false, true), noisy);
    EXPECT_NE(noisy, f7);
    EXPECT_NE(Render(s, 7, false, true, 99), noisy) << "another seed, other noise";
    for (bool noise : {false, true}) {
      SCOPED_TRACE(noise ? "noisy" : "clean");
      StreamSettings mirrored(kind);
      ASSERT_EQ(mirrored.Set("Mirror", uint64_t{1}), KR_STATUS_OK);
      const std::vector<uint8_t> a = Render(s, 5, false, noise), b = Render(mirrored, 5, false, noise);
      EXPECT_EQ(Render(s, 5, true, noise), b);  // the device's mirror does the same
      const uint32_t bpp = s.BytesPerPixel(), w = s.XRes();
      for (uint32_t v = 0; v < s.YRes(); v += 37) {
        for (uint32_t u = 0; u < w; ++u) {
          ASSERT_EQ(0, std::memcmp(&a[(v * w + u) * bpp], &b[(v * w + (w - 1 - u)) * bpp], bpp)) << u << "," << v;
        }
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
    const bool noise = row.format != 0;
    const std::vector<uint8_t> whole = Render(full, 3, false, noise), window = Render(cropped, 3, false, noise);
    const uint32_t bpp = full.BytesPerPixel();
    ASSERT_EQ(window.size(), 200u * 120 * bpp);
    for (uint32_t y = 0; y < 120; ++y) {
      ASSERT_EQ(0, std::memcmp(&window[y * 200 * bpp], &whole[((60 + y) * 640 + 100) * bpp], 200 * bpp))
          << "format " << row.format << " row " << y;
    }
  }
}

TEST(SceneRendererTest, DepthHoldsReportableValuesShadowsHolesItsRangeAndShifts) {
  const StreamSettings s(StreamKind::kDepth);
  const std::vector<uint16_t> depth = Words(Render(s, 40));
  std::vector<bool> reportable(65536, false);
  for (uint16_t z : s.Tables()->S2D()) reportable[z] = true;
  size_t shadows = 0, holes = 0, unreportable = 0;
  for (uint16_t z : depth) {
    shadows += z == s.ShadowValue();
    holes += z == s.NoSampleValue();
    unreportable += z != s.ShadowValue() && z != s.NoSampleValue() && !reportable[z];
  }
  EXPECT_EQ(unreportable, 0u);
  EXPECT_GT(shadows, 100u);
  EXPECT_GT(holes, 1000u);                                              // the window
  EXPECT_EQ(depth[(480 - 1) * 640 + 10], depth[(480 - 1) * 640 + 11]);  // the floor is level along a row
  // A depth range turns other depths into holes.
  StreamSettings near(StreamKind::kDepth);
  ASSERT_EQ(near.Set("MaxDepthValue", uint64_t{2000}), KR_STATUS_OK);
  std::vector<uint16_t> expected(depth);
  for (uint16_t& z : expected) {
    if (z != s.ShadowValue() && z > 2000) z = s.NoSampleValue();
  }
  EXPECT_EQ(Words(Render(near, 40)), expected);
  EXPECT_NE(depth, expected);
  // Shift frames map to the depth frame through S2D, shadows to 0.
  StreamSettings shiftSettings(StreamKind::kDepth);
  ASSERT_EQ(shiftSettings.Set("OutputFormat", uint64_t{0}), KR_STATUS_OK);
  const std::vector<uint16_t> shift = Words(Render(shiftSettings, 40));
  ASSERT_EQ(shift.size(), depth.size());
  for (size_t i = 0; i < depth.size(); ++i) {
    ASSERT_EQ(s.Tables()->S2D()[shift[i]], depth[i] == s.ShadowValue() ? 0 : depth[i]) << i;
  }
}

// The ball is a sphere: wherever it travels, its silhouette in the depth
// frame is a disc or an ellipse (filling pi/4 of its box) and it bulges
// towards the camera. Frames where it leaves the picture or hides behind the
// panel are passed over.
TEST(SceneRendererTest, TheBallIsRoundWhereverItTravels) {
  const StreamSettings s(StreamKind::kDepth);
  const int w = static_cast<int>(s.XRes()), h = static_cast<int>(s.YRes());
  int discs = 0;
  for (uint32_t id = 0; id < 300; id += 15) {
    SCOPED_TRACE(id);
    const std::vector<uint16_t> depth = Words(Render(s, id));
    const auto near = [&](int i) {
      const uint16_t z = depth[i];
      return z != s.NoSampleValue() && z != s.ShadowValue() && z >= 1250 && z <= 1750;
    };
    std::vector<bool> seen(depth.size(), false);
    for (int start = 0; start < w * h; ++start) {
      if (seen[start] || !near(start)) continue;
      // One connected region of depths about the ball's distance.
      std::vector<int> region{start}, stack{start};
      seen[start] = true;
      int x0 = w, x1 = -1, y0 = h, y1 = -1;
      uint16_t nearest = UINT16_MAX, farthest = 0;
      bool border = false, hidden = false;
      while (!stack.empty()) {
        const int i = stack.back();
        stack.pop_back();
        const int x = i % w, y = i / w;
        x0 = std::min(x0, x), x1 = std::max(x1, x), y0 = std::min(y0, y), y1 = std::max(y1, y);
        nearest = std::min(nearest, depth[i]), farthest = std::max(farthest, depth[i]);
        border = border || x == 0 || y == 0 || x == w - 1 || y == h - 1;
        for (const int j : {x > 0 ? i - 1 : -1, x < w - 1 ? i + 1 : -1, y > 0 ? i - w : -1, y < h - 1 ? i + w : -1}) {
          if (j < 0 || seen[j]) continue;
          if (near(j)) {
            seen[j] = true;
            region.push_back(j);
            stack.push_back(j);
          } else if (depth[j] != s.NoSampleValue() && depth[j] != s.ShadowValue() && depth[j] < 1250) {
            hidden = true;  // something nearer borders it
          }
        }
      }
      // The panel is flat; the ball's rim lies about a radius behind its front.
      if (region.size() < 400 || border || hidden || farthest - nearest < 80) continue;
      // A sphere's front lies at the middle of its outline; the region of
      // the ball beside the panel at its distance does not.
      double fx = 0, fy = 0, front = 0;
      for (const int i : region) {
        if (depth[i] != nearest) continue;
        fx += i % w, fy += i / w, ++front;
      }
      const double bw = x1 - x0 + 1, bh = y1 - y0 + 1;
      if (std::fabs(fx / front - (x0 + x1) / 2.0) > 0.1 * bw || std::fabs(fy / front - (y0 + y1) / 2.0) > 0.1 * bh) {
        continue;
      }
      // Off the axis the disc is an ellipse, which still fills pi/4 of its box.
      EXPECT_NEAR(region.size() / (M_PI / 4 * bw * bh), 1.0, 0.03) << "box " << x0 << "," << y0;
      ++discs;
    }
  }
  EXPECT_GE(discs, 5) << "the ball was seen whole in too few frames";
}

// Gray and YUV 4:2:2 (Y0 U Y1 V, each pair's colour averaged) follow the BT.601 weights of the same RGB frame.
TEST(SceneRendererTest, GrayAndYuvFollowTheRgbPictureWhoseTopRowsCarryTheFrameId) {
  StreamSettings rgb(StreamKind::kImage), gray(StreamKind::kImage), yuv(StreamKind::kImage);
  ASSERT_EQ(gray.Set("OutputFormat", uint64_t{KR_OUTPUT_FORMAT_GRAYSCALE8}), KR_STATUS_OK);
  ASSERT_EQ(yuv.Set("OutputFormat", uint64_t{KR_OUTPUT_FORMAT_YUV422}), KR_STATUS_OK);
  const std::vector<uint8_t> a = Render(rgb, 21), g = Render(gray, 21), y = Render(yuv, 21);
  auto near = [](double expected, uint8_t got) { return std::abs(expected - got) <= 2.0; };
  for (size_t pair = 0; pair < g.size() / 2; pair += 97) {
    const uint8_t* p = &a[pair * 6];
    const double r0 = (p[0] + p[3]) / 2, g0 = (p[1] + p[4]) / 2, b0 = (p[2] + p[5]) / 2;
    for (int i = 0; i < 2; ++i) {
      const double luma = 0.299 * p[3 * i] + 0.587 * p[3 * i + 1] + 0.114 * p[3 * i + 2];
      ASSERT_TRUE(near(luma, g[2 * pair + i])) << pair;
      ASSERT_TRUE(near(luma, y[4 * pair + 2 * i])) << pair;
    }
    ASSERT_TRUE(near(128 - 0.1687 * r0 - 0.3313 * g0 + 0.5 * b0, y[4 * pair + 1])) << pair;
    ASSERT_TRUE(near(128 + 0.5 * r0 - 0.4187 * g0 - 0.0813 * b0, y[4 * pair + 3])) << pair;
  }
  // The top rows carry the frame id, exactly even with noise; bad requests write nothing.
  const StreamSettings s(StreamKind::kImage), depth(StreamKind::kDepth);
  const uint32_t id = 0x80000005u;
  const std::vector<uint8_t> clean = Render(s, id), noisy = Render(s, id, false, true);
  uint32_t decoded = 0;
  for (int block = 0; block < 32; ++block) decoded = decoded << 1 | (clean[(block * 20 + 10) * 3] > 128 ? 1u : 0u);
  EXPECT_EQ(decoded, id);
  const size_t strip = size_t(std::max(2u, s.YRes() / 60)) * s.XRes() * 3;
  EXPECT_TRUE(std::equal(clean.begin(), clean.begin() + strip, noisy.begin()));
  EXPECT_FALSE(std::equal(clean.begin() + strip, clean.begin() + strip + 640 * 3, noisy.begin() + strip));
  SceneRenderer r;
  std::vector<uint8_t> small(100, 0xEE);
  uint32_t size = 7;
  EXPECT_EQ(r.Render(MakeRenderParams(s, false), nullptr, 1, small.data(), 100, &size),
            KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 7u);
  EXPECT_EQ(small[0], 0xEE);
  EXPECT_EQ(r.Render(MakeRenderParams(depth, false), nullptr, 1, small.data(), 100, &size),
            KR_STATUS_TL_BAD_PROPERTY_VALUE);  // depth needs its tables
  std::vector<uint8_t> frame(yuv.RequiredDataSize());
  for (const CroppingValue& window : {CroppingValue{1, 101, 0, 100, 100}, CroppingValue{1, 100, 0, 101, 100}}) {
    RenderParams params = MakeRenderParams(yuv, false);
    params.cropping = window;  // splits a pixel pair
    EXPECT_EQ(r.Render(params, nullptr, 1, frame.data(), uint32_t(frame.size()), &size),
              KR_STATUS_TL_BAD_PROPERTY_VALUE);
  }
  RenderParams depthFormat = MakeRenderParams(yuv, false), wide = depthFormat;
  depthFormat.outputFormat = KR_OUTPUT_FORMAT_DEPTH_VALUES;  // not an image format
  wide.xRes = 800;  // no resolution is 800 wide, though one is 480 high
  for (const RenderParams& params : {depthFormat, wide}) {
    EXPECT_EQ(r.Render(params, nullptr, 1, frame.data(), uint32_t(frame.size()), &size),
              KR_STATUS_TL_BAD_PROPERTY_VALUE);
  }
}

// With one viewpoint the red ball's colour covers its depth: right of the last red pixel of its middle row, the
// depth jumps.
TEST(SceneRendererTest, OneViewpointTheBallsColourCoversItsDepth) {
  StreamSettings image(StreamKind::kImage), depth(StreamKind::kDepth);
  CameraRig one;
  one.twoCameras = false;
  image.SetRig(one);
  depth.SetRig(one);
  for (uint32_t id : {5u, 50u, 95u, 140u}) {
    const std::vector<uint8_t> rgb = Render(image, id);
    const std::vector<uint16_t> z = Words(Render(depth, id));
    auto red = [&](int pixel) { return rgb[pixel * 3] > 2 * rgb[pixel * 3 + 1] + 20; };
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

// Depth noise: reportable values, growing with distance squared, flying pixels at edges only, holes, new each frame.
TEST(SensorNoiseTest, DepthNoiseLooksLikeStructuredLight) {
  StreamSettings s(StreamKind::kDepth);
  ASSERT_EQ(s.Set("HoleFilter", uint64_t{0}), KR_STATUS_OK);  // the raw noise, speckle included
  const std::vector<uint16_t>& s2d = s.Tables()->S2D();
  double sum[2] = {0, 0};
  int count[2] = {0, 0}, holes = 0, flying = 0;
  for (uint32_t id = 1; id <= 20; ++id) {
    const std::vector<uint16_t> clean = Words(Render(s, id)), noisy = Words(Render(s, id, false, true));
    for (size_t i = 0; i < noisy.size(); ++i) {
      const uint16_t z = noisy[i], c = clean[i];
      ASSERT_TRUE(z <= 1 || std::find(s2d.begin(), s2d.end(), z) != s2d.end()) << z;
      if (c <= 1 || z <= 1) {
        holes += z == 0 && c > 1;
        continue;
      }
      const size_t x = i % 640;
      const bool edge =
          (x > 0 && std::abs(clean[i - 1] - c) * 16 > c) || (x < 639 && std::abs(clean[i + 1] - c) * 16 > c);
      if (std::abs(z - c) * 20 > c) {
        EXPECT_TRUE(edge) << "a large jump away from any edge at " << i;
        flying += edge;
      }
      const int band = c > 1250 && c < 1550 ? 0 : c > 2850 && c < 3050 ? 1 : -1;
      if (band >= 0 && !edge) {
        sum[band] += double(z - c) * (z - c);
        ++count[band];
      }
    }
  }
  ASSERT_GT(count[0], 1000);
  ASSERT_GT(count[1], 1000);
  const double near = std::sqrt(sum[0] / count[0]), far = std::sqrt(sum[1] / count[1]);
  EXPECT_GT(near, 1.0);  // about 2 mm at 1.4 m
  EXPECT_LT(near, 6.0);
  EXPECT_GT(far / near, 2.8);  // the square of the distance ratio: about 4
  EXPECT_LT(far / near, 7.0);
  EXPECT_GT(flying, 100);
  EXPECT_GT(holes, 20 * 640 * 480 / 500);  // speckle and dropouts: a few per mille at least
  // The next frame's noise differs on the static wall (the top rows, beside the window).
  const std::vector<uint16_t> a = Words(Render(s, 30, false, true)), b = Words(Render(s, 31, false, true));
  int differ = 0;
  for (size_t i = 0; i < 640 * 40; ++i) differ += a[i] != b[i];
  EXPECT_GT(differ, 640 * 40 / 10);
}

TEST(SensorNoiseTest, ColourNoiseGrowsWithBrightness) {
  StreamSettings s(StreamKind::kImage);
  const std::vector<uint8_t> clean = Render(s, 77), noisy = Render(s, 77, false, true);
  double sum[2] = {0, 0};
  int count[2] = {0, 0};
  for (size_t i = 0; i < clean.size(); ++i) {
    const int band = clean[i] < 90 ? 0 : clean[i] > 170 ? 1 : -1;
    if (band < 0) continue;
    sum[band] += double(noisy[i] - clean[i]) * (noisy[i] - clean[i]);
    ++count[band];
  }
  const double dark = std::sqrt(sum[0] / count[0]), bright = std::sqrt(sum[1] / count[1]);
  EXPECT_GT(dark, 0.8);
  EXPECT_GT(bright, dark * 1.5);
  EXPECT_LT(bright, 8.0);
}

TEST(AudioSynthTest, FramesTileTheSampleStreamAndFollowVolumeAndChannels) {
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
  EXPECT_EQ(FrameTimestamp(2, 30, 0, false), 33000u);
  EXPECT_EQ(FrameTimestamp(2, 15, 500, true), 67166u);
}

}  // namespace
}  // namespace tollan::sensor
