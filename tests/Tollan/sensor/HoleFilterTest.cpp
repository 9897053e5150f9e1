// The simulated sensor's "HoleFilter": small no-sample regions of the noisy frames are filled from the far side,
// large ones and shadows stay, registration maps the filtered frame. Regions are found here by a union-find
// labelling of our own, not by the filter's flood.
#include "Tollan/src/sensor/CameraGeometry.h"
#include "Tollan/src/sensor/SceneRenderer.h"
#include <Tollan/TollanStatus.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <vector>

namespace tollan::sensor {
namespace {

constexpr size_t kDocumentedLimit = 64;  // docs/simulated-sensor.md: holes of up to 64 pixels are filled
constexpr uint16_t kNoSample = 0, kShadow = 1;

std::vector<uint16_t> RenderDepth(const StreamSettings& s, uint32_t id, bool noise = true) {
  SceneRenderer renderer;
  RenderParams params = MakeRenderParams(s, false);
  params.noise = NoiseParams{noise, 3};
  std::vector<uint16_t> out(s.XRes() * s.YRes());
  uint32_t size = 0;
  EXPECT_EQ(renderer.Render(params, s.Tables().get(), id, out.data(), uint32_t(out.size() * 2), &size), KR_STATUS_OK);
  return out;
}

StreamSettings Depth(uint32_t resolution, int holeFilter, int registration = 0) {
  StreamSettings s(StreamKind::kDepth);
  EXPECT_EQ(s.Set("Resolution", uint64_t{resolution}), KR_STATUS_OK);
  EXPECT_EQ(s.Set("HoleFilter", uint64_t(holeFilter)), KR_STATUS_OK);
  EXPECT_EQ(s.Set("Registration", uint64_t(registration)), KR_STATUS_OK);
  return s;
}

// A 4-connected no-sample region: its pixels and the real depths bordering it.
struct Region {
  std::vector<size_t> pixels;
  uint16_t nearest = 65535, farthest = 0;
  bool HasDepthAround() const { return farthest != 0; }
};

std::vector<Region> NoSampleRegions(const std::vector<uint16_t>& d, int w, int h) {
  std::vector<size_t> parent(d.size());
  std::iota(parent.begin(), parent.end(), size_t{0});
  const auto find = [&](size_t i) {
    while (parent[i] != i) i = parent[i] = parent[parent[i]];
    return i;
  };
  for (int v = 0; v < h; ++v) {
    for (int u = 0; u < w; ++u) {
      const size_t i = size_t(v) * w + u;
      if (d[i] != kNoSample) continue;
      if (u > 0 && d[i - 1] == kNoSample) parent[find(i)] = find(i - 1);
      if (v > 0 && d[i - w] == kNoSample) parent[find(i)] = find(i - w);
    }
  }
  std::vector<long> index(d.size(), -1);
  std::vector<Region> regions;
  for (size_t i = 0; i < d.size(); ++i) {
    if (d[i] != kNoSample) continue;
    const size_t root = find(i);
    if (index[root] < 0) index[root] = long(regions.size()), regions.emplace_back();
    Region& r = regions[index[root]];
    r.pixels.push_back(i);
    const int u = int(i % w), v = int(i / w);
    for (const auto& [du, dv] : {std::pair{-1, 0}, {1, 0}, {0, -1}, {0, 1}}) {
      if (u + du < 0 || u + du >= w || v + dv < 0 || v + dv >= h) continue;
      const uint16_t z = d[size_t(v + dv) * w + (u + du)];
      if (z == kNoSample || z == kShadow) continue;
      r.nearest = std::min(r.nearest, z), r.farthest = std::max(r.farthest, z);
    }
  }
  return regions;
}

TEST(HoleFilterTest, SmallHolesAreFilledBetweenTheirBordersLargeOnesAndShadowsStay) {
  for (uint32_t resolution : {0u, 1u}) {
    for (uint32_t id : {1u, 40u, 77u}) {
      SCOPED_TRACE(testing::Message() << "resolution " << resolution << " frame " << id);
      const StreamSettings rawSettings = Depth(resolution, 0);
      const int w = int(rawSettings.XRes()), h = int(rawSettings.YRes());
      const std::vector<uint16_t> raw = RenderDepth(rawSettings, id), filtered = RenderDepth(Depth(resolution, 1), id);
      std::vector<bool> hole(raw.size(), false);
      size_t small = 0, large = 0;
      for (const Region& r : NoSampleRegions(raw, w, h)) {
        const bool fills = r.pixels.size() <= kDocumentedLimit && r.HasDepthAround();
        small += fills, large += r.pixels.size() > kDocumentedLimit;
        for (size_t i : r.pixels) {
          if (!fills) {
            ASSERT_EQ(filtered[i], kNoSample) << "a large hole stays empty, pixel " << i;
            continue;
          }
          hole[i] = true;
          ASSERT_GE(filtered[i], r.nearest) << i;
          ASSERT_LE(filtered[i], r.farthest) << i;
        }
      }
      EXPECT_GT(small, 50u) << "the noisy frame has speckle to fill";
      EXPECT_GT(large, 0u) << "and the window and dropouts to keep";
      size_t shadows = 0;
      for (size_t i = 0; i < raw.size(); ++i) {
        if (!hole[i]) {
          ASSERT_EQ(filtered[i], raw[i]) << "only holes change, pixel " << i;
        }
        shadows += raw[i] == kShadow;
      }
      EXPECT_GT(shadows, 100u);
      for (const Region& r : NoSampleRegions(filtered, w, h)) {
        EXPECT_TRUE(r.pixels.size() > kDocumentedLimit || !r.HasDepthAround()) << r.pixels.size() << " pixels left";
      }
    }
  }
}

TEST(HoleFilterTest, AHoleBesideAnEdgeTakesTheBackgroundAndAHoleInShadowStays) {
  // A made-up frame: a 3-pixel hole between a near (1000) and a far (2000) surface in a row.
  std::vector<uint16_t> frame(8 * 3, 1500);
  const uint16_t row[8] = {1000, 1000, 0, 0, 0, 2000, 2000, 2000};
  std::copy(row, row + 8, frame.begin() + 8);
  HoleScratch scratch;
  FillSmallHoles(frame.data(), 8, 3, kNoSample, kShadow, &scratch);
  for (int u = 2; u < 5; ++u) EXPECT_EQ(frame[8 + u], 2000) << u;
  // A hole enclosed only by shadow has nothing to be filled from.
  std::vector<uint16_t> shadowed = {kShadow, kShadow, kShadow, kShadow, kNoSample, kShadow, kShadow, kShadow, kShadow};
  FillSmallHoles(shadowed.data(), 3, 3, kNoSample, kShadow, &scratch);
  EXPECT_EQ(shadowed[4], kNoSample);
}

TEST(HoleFilterTest, RegisteredDepthIsTheMappingOfTheFilteredFrame) {
  for (uint32_t resolution : {0u, 1u}) {
    const StreamSettings plain = Depth(resolution, 1), registered = Depth(resolution, 1, 1);
    ASSERT_TRUE(registered.Registers());
    const uint32_t w = plain.XRes(), h = plain.YRes();
    const std::vector<uint16_t> filtered = RenderDepth(plain, 12);
    geometry::DepthMapping mapping;
    mapping.Set(plain.Rig().DepthCamera(w, h), plain.Rig().ColourCamera(w, h), plain.Rig().DepthToColour());
    std::vector<uint16_t> expected(filtered.size());
    geometry::MapDepthFrame(mapping, filtered.data(), kNoSample, kShadow, expected.data());
    EXPECT_EQ(RenderDepth(registered, 12), expected) << "resolution " << resolution;
    const std::vector<uint16_t> unfiltered = RenderDepth(Depth(resolution, 0, 1), 12);
    EXPECT_LT(std::count(expected.begin(), expected.end(), kNoSample),
              std::count(unfiltered.begin(), unfiltered.end(), kNoSample));
  }
}

}  // namespace
}  // namespace tollan::sensor
