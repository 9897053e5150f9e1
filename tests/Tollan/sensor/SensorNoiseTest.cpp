// The noisy scene: still a pure function of (seed, frame id, settings) with
// the sensor's relations (S2D values, mirror, cropping), and noise of the
// kinds and sizes a structured-light camera shows, checked against the
// clean scene of the same frame.
#include "Tollan/src/sensor/SceneRenderer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace tollan {
namespace sensor {
namespace {

std::vector<uint8_t> Render(const StreamSettings& s, uint32_t id, bool noise, bool mirror = false, uint64_t seed = 0) {
  SceneRenderer renderer;
  RenderParams params = MakeRenderParams(s, mirror);
  params.noise = NoiseParams{noise, seed};
  std::vector<uint8_t> bytes(s.RequiredDataSize());
  uint32_t size = 0;
  EXPECT_EQ(renderer.Render(params, s.Tables().get(), id, bytes.data(), uint32_t(bytes.size()), &size),
            KR_STATUS_OK);
  bytes.resize(size);
  return bytes;
}

std::vector<uint16_t> Words(const std::vector<uint8_t>& bytes) {
  std::vector<uint16_t> w(bytes.size() / 2);
  std::memcpy(w.data(), bytes.data(), w.size() * 2);
  return w;
}

TEST(SensorNoiseTest, NoisyFramesAreReproducibleAndKeepTheSensorsRelations) {
  for (StreamKind kind : {StreamKind::kDepth, StreamKind::kImage, StreamKind::kIR}) {
    StreamSettings s(kind);
    const std::vector<uint8_t> noisy = Render(s, 21, true);
    EXPECT_EQ(Render(s, 21, true), noisy) << StreamKindName(kind);
    EXPECT_NE(Render(s, 21, false), noisy) << StreamKindName(kind);
    EXPECT_NE(Render(s, 21, true, false, 99), noisy) << "another seed, other noise";
    // Mirrored: the exact flip of the unmirrored noisy frame.
    const std::vector<uint8_t> mirrored = Render(s, 21, true, true);
    const uint32_t bpp = uint32_t(noisy.size() / (s.XRes() * s.YRes()));
    for (uint32_t y = 0; y < s.YRes(); y += 37) {
      for (uint32_t x = 0; x < s.XRes(); ++x) {
        const size_t a = (size_t(y) * s.XRes() + x) * bpp, b = (size_t(y) * s.XRes() + s.XRes() - 1 - x) * bpp;
        ASSERT_EQ(std::memcmp(&noisy[a], &mirrored[b], bpp), 0) << StreamKindName(kind) << " " << x << "," << y;
      }
    }
    // Cropped: the window of the full noisy frame.
    StreamSettings cropped(kind);
    const CroppingValue c{1, 40, 30, 200, 100};
    ASSERT_EQ(cropped.Set("Cropping", KrGeneralBuffer{const_cast<CroppingValue*>(&c), sizeof(c)}), KR_STATUS_OK);
    const std::vector<uint8_t> window = Render(cropped, 21, true);
    for (uint32_t y = 0; y < 100; ++y) {
      ASSERT_EQ(std::memcmp(&window[size_t(y) * 200 * bpp], &noisy[((y + 30) * size_t(s.XRes()) + 40) * bpp], 200 * bpp),
                0);
    }
  }
}

// Depth noise: values the sensor can report, growing with the square of the
// distance, flying pixels and more holes than the clean scene, new each frame.
TEST(SensorNoiseTest, DepthNoiseLooksLikeStructuredLight) {
  StreamSettings s(StreamKind::kDepth);
  const std::vector<uint16_t>& s2d = s.Tables()->S2D();
  double sum[2] = {0, 0};
  int count[2] = {0, 0}, holes = 0, cleanHoles = 0, flying = 0;
  for (uint32_t id = 1; id <= 20; ++id) {
    const std::vector<uint16_t> clean = Words(Render(s, id, false)), noisy = Words(Render(s, id, true));
    for (size_t i = 0; i < noisy.size(); ++i) {
      const uint16_t z = noisy[i], c = clean[i];
      ASSERT_TRUE(z <= 1 || std::find(s2d.begin(), s2d.end(), z) != s2d.end()) << z;
      cleanHoles += c == 0;
      if (c <= 1 || z <= 1) {
        holes += z == 0 && c > 1;
        continue;
      }
      // Flying pixels: far off their surface, at an edge of the clean frame.
      const size_t x = i % 640;
      const bool edge = (x > 0 && std::abs(clean[i - 1] - c) * 16 > c) || (x < 639 && std::abs(clean[i + 1] - c) * 16 > c);
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
  EXPECT_GT(near, 1.0);   // about 2 mm at 1.4 m
  EXPECT_LT(near, 6.0);
  EXPECT_GT(far / near, 2.8);  // the square of the distance ratio: about 4
  EXPECT_LT(far / near, 7.0);
  EXPECT_GT(flying, 100);
  EXPECT_GT(holes, 20 * 640 * 480 / 500);  // speckle and dropouts: a few per mille at least
  (void)cleanHoles;
  // Temporal: the same frame id is the same, the next frame's noise differs
  // on the static wall (the top rows, beside the window).
  const std::vector<uint16_t> a = Words(Render(s, 30, true)), b = Words(Render(s, 31, true));
  int differ = 0;
  for (size_t i = 0; i < 640 * 40; ++i) differ += a[i] != b[i];
  EXPECT_GT(differ, 640 * 40 / 10);
}

TEST(SensorNoiseTest, ColourNoiseGrowsWithBrightnessAndKeepsTheFrameIdStrip) {
  StreamSettings s(StreamKind::kImage);
  const std::vector<uint8_t> clean = Render(s, 77, false), noisy = Render(s, 77, true);
  const size_t strip = size_t(std::max(2u, s.YRes() / 60)) * s.XRes() * 3;
  EXPECT_TRUE(std::equal(clean.begin(), clean.begin() + strip, noisy.begin())) << "the id strip stays exact";
  double sum[2] = {0, 0};
  int count[2] = {0, 0};
  for (size_t i = strip; i < clean.size(); ++i) {
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

}  // namespace
}  // namespace sensor
}  // namespace tollan
