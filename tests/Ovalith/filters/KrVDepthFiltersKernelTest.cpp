// The fast filters against plain, pixel-by-pixel versions of what they are
// documented to do, on random frames of odd sizes (a strip or a vector only
// partly filled, a single row or column), with every kernel choice; and the
// spatial filter's kernels and threads against each other, to the bit.
#include <Ovalith/Ovalith.h>
#include <Ovalith/filters/KrVDepthFiltersInternal.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

namespace {

struct Size {
  uint32_t width, height;
};
const Size kSizes[] = {{1, 1}, {1, 9}, {9, 1}, {7, 5}, {8, 64}, {37, 33}, {64, 65}, {133, 70}, {200, 3}, {31, 130}};

// Flat patches at levels some of which differ by less than the filters'
// delta and some by more, with noise, holes, shadows and the largest depth.
KrVDepthImage RandomFrame(Size size, uint16_t noSample, uint16_t shadow, std::mt19937& random) {
  KrVDepthImage image;
  image.width = size.width;
  image.height = size.height;
  image.noSampleValue = noSample;
  image.shadowValue = shadow;
  const uint16_t levels[] = {800, 830, 1500, 2990, 3000, 65000};
  for (uint32_t y = 0; y < size.height; ++y) {
    for (uint32_t x = 0; x < size.width; ++x) {
      const uint32_t patch = (x / 5 * 7 + y / 4 * 3) % 6;
      const uint32_t roll = random() % 100;
      uint16_t z = static_cast<uint16_t>(levels[patch] + random() % 25);
      if (roll < 8) z = noSample;
      if (roll >= 8 && roll < 12) z = shadow;
      if (roll == 12) z = 65535;
      if (roll == 13) z = 2;
      image.pixels.push_back(z);
    }
  }
  return image;
}

uint16_t Round(float value) { return static_cast<uint16_t>(std::floor(std::min(65535.0f, value) + 0.5f)); }

// Each measured pixel moves toward the measured one before it by 1 - alpha
// of their difference when that is below delta: rows left then right, then
// columns down then up, iterations times.
std::vector<uint16_t> PlainSpatial(const KrVDepthImage& in, float alpha, float delta, uint32_t iterations) {
  const size_t w = in.width, h = in.height;
  std::vector<float> v(in.pixels.begin(), in.pixels.end());
  const auto toward = [&](size_t i, size_t j) {
    if (!in.IsDepth(in.pixels[i]) || !in.IsDepth(in.pixels[j])) return;
    const float step = v[i] - v[j];
    if (std::fabs(step) < delta) v[i] = v[i] - (1 - alpha) * step;
  };
  for (uint32_t pass = 0; pass < iterations; ++pass) {
    for (size_t y = 0; y < h; ++y) {
      for (size_t x = 1; x < w; ++x) toward(y * w + x, y * w + x - 1);
      for (size_t x = w - 1; x-- > 0;) toward(y * w + x, y * w + x + 1);
    }
    for (size_t x = 0; x < w; ++x) {
      for (size_t y = 1; y < h; ++y) toward(y * w + x, (y - 1) * w + x);
      for (size_t y = h - 1; y-- > 0;) toward(y * w + x, (y + 1) * w + x);
    }
  }
  std::vector<uint16_t> out(in.pixels);
  for (size_t i = 0; i < out.size(); ++i) out[i] = in.IsDepth(in.pixels[i]) ? Round(v[i]) : in.pixels[i];
  return out;
}

// The lower median of a block's depths; without any, shadow if it held one.
std::vector<uint16_t> PlainDecimation(const KrVDepthImage& in, uint32_t k) {
  std::vector<uint16_t> out;
  for (uint32_t v = 0; v * k < in.height; ++v) {
    for (uint32_t u = 0; u * k < in.width; ++u) {
      std::vector<uint16_t> depths;
      bool shadow = false;
      for (uint32_t y = v * k; y < std::min(in.height, v * k + k); ++y) {
        for (uint32_t x = u * k; x < std::min(in.width, u * k + k); ++x) {
          const uint16_t z = in.pixels[size_t{y} * in.width + x];
          if (in.IsDepth(z)) depths.push_back(z);
          shadow = shadow || z == in.shadowValue;
        }
      }
      std::sort(depths.begin(), depths.end());
      out.push_back(!depths.empty() ? depths[(depths.size() - 1) / 2] : shadow ? in.shadowValue : in.noSampleValue);
    }
  }
  return out;
}

size_t Differing(const std::vector<uint16_t>& a, const std::vector<uint16_t>& b, int tolerance) {
  if (a.size() != b.size()) return std::max(a.size(), b.size());
  size_t wrong = 0;
  for (size_t i = 0; i < a.size(); ++i) wrong += std::abs(int{a[i]} - int{b[i]}) > tolerance;
  return wrong;
}

class FilterKernels : public ::testing::TestWithParam<KrVFilterKernel> {
 protected:
  void SetUp() override { KrVUseFilterKernel(GetParam()); }
  void TearDown() override { KrVUseFilterKernel(KRV_FILTER_KERNEL_WIDEST); }
};

TEST_P(FilterKernels, SpatialAgreesWithThePlainFilter) {
  std::mt19937 random(11);
  const float alphas[] = {0.2f, 0.5f, 0.9f, 1.0f};
  const float deltas[] = {5, 60, 1000};
  int run = 0;
  for (const Size size : kSizes) {
    for (const auto& markers : {std::make_pair(0, 1), std::make_pair(65535, 7)}) {
      const float alpha = alphas[run % 4], delta = deltas[run % 3];
      const uint32_t iterations = 1 + run % 5;
      ++run;
      SCOPED_TRACE(testing::Message() << size.width << "x" << size.height << " alpha " << alpha << " delta " << delta
                                      << " iterations " << iterations << " no sample " << markers.first);
      const KrVDepthImage in = RandomFrame(size, markers.first, markers.second, random);
      KrVSpatialFilter spatial(alpha, delta, iterations);
      KrVDepthImage out;
      ASSERT_EQ(spatial.Apply(in, out), KR_STATUS_OK);
      EXPECT_EQ(out.width, in.width);
      EXPECT_EQ(Differing(out.pixels, PlainSpatial(in, alpha, delta, iterations), 1), 0u);
    }
  }
}

TEST(FastFilters, DecimationAgreesWithThePlainMedian) {
  std::mt19937 random(12);
  for (const Size size : kSizes) {
    for (uint32_t k = 2; k <= 4; ++k) {
      SCOPED_TRACE(testing::Message() << size.width << "x" << size.height << " by " << k);
      for (const auto& markers : {std::make_pair(0, 1), std::make_pair(65535, 7)}) {
        const KrVDepthImage in = RandomFrame(size, markers.first, markers.second, random);
        KrVDepthImage out;
        ASSERT_EQ(KrVDecimationFilter(k).Apply(in, out), KR_STATUS_OK);
        EXPECT_EQ(Differing(out.pixels, PlainDecimation(in, k), 0), 0u);
      }
    }
  }
}

// A pixel moves toward its last value as the spatial one does toward a
// neighbour; without a sample it keeps that value when at least persistence
// of the last 8 frames had one; a value on a marker steps off it.
TEST(FastFilters, TemporalAgreesWithThePlainHistory) {
  std::mt19937 random(13);
  for (const uint32_t persistence : {0u, 1u, 3u, 8u}) {
    SCOPED_TRACE(persistence);
    const Size size = {37, 5};
    const float alpha = 0.4f, delta = 20;
    KrVTemporalFilter temporal(alpha, delta, persistence);
    std::vector<float> last(size_t{size.width} * size.height, 0);
    std::vector<unsigned> seen(last.size(), 0);
    for (int frame = 0; frame < 14; ++frame) {
      const KrVDepthImage in = RandomFrame(size, 0, 1, random);
      KrVDepthImage out;
      ASSERT_EQ(temporal.Apply(in, out), KR_STATUS_OK);
      std::vector<uint16_t> expected(in.pixels);
      for (size_t i = 0; i < last.size(); ++i) {
        const uint16_t z = in.pixels[i];
        const bool measured = in.IsDepth(z);
        unsigned history = 0;
        for (int bit = 0; bit < 8; ++bit) history += seen[i] >> bit & 1;
        seen[i] = (seen[i] << 1 | measured) & 0xFF;
        if (measured) {
          last[i] = last[i] > 0 && std::fabs(z - last[i]) < delta ? alpha * z + (1 - alpha) * last[i] : z;
        } else if (!(persistence > 0 && last[i] > 0 && history >= persistence)) {
          continue;
        }
        expected[i] = Round(last[i]);
        if (!in.IsDepth(expected[i])) ++expected[i];
      }
      EXPECT_EQ(Differing(out.pixels, expected, 1), 0u) << "frame " << frame;
    }
  }
}

// Every kernel choice, with one thread and with two, gives the portable
// kernels' frame bit for bit: sizes that fill no register or strip evenly
// (widths off a multiple of 16, heights off 64, one row or column, strips
// of one row), holes, shadows and edges, every number of iterations.
TEST(SpatialKernels, EveryChoiceAndThreadCountGivesTheSameFrame) {
  std::mt19937 random(14);
  const Size sizes[] = {{1, 1}, {17, 3}, {641, 479}, {640, 480}, {15, 200}, {1, 70}, {100, 65}, {33, 130}, {48, 129}};
  const float alphas[] = {0.3f, 0.5f, 0.85f};
  const float deltas[] = {8, 60, 400};
  int run = 0;
  for (const Size size : sizes) {
    for (const auto& markers : {std::make_pair(0, 1), std::make_pair(65535, 7)}) {
      const float alpha = alphas[run % 3], delta = deltas[run % 3];
      const uint32_t iterations = 1 + run % 5;
      ++run;
      SCOPED_TRACE(testing::Message() << size.width << "x" << size.height << " alpha " << alpha << " delta " << delta
                                      << " iterations " << iterations << " no sample " << markers.first);
      const KrVDepthImage in = RandomFrame(size, markers.first, markers.second, random);
      KrVSpatialFilter spatial(alpha, delta, iterations);
      KrVDepthImage expected;
      KrVUseFilterKernel(KRV_FILTER_KERNEL_PORTABLE);
      ASSERT_EQ(spatial.Apply(in, expected), KR_STATUS_OK);
      for (const KrVFilterKernel kernel :
           {KRV_FILTER_KERNEL_PORTABLE, KRV_FILTER_KERNEL_AVX2, KRV_FILTER_KERNEL_WIDEST}) {
        KrVUseFilterKernel(kernel);
        for (const unsigned threads : {1u, 2u}) {
          SCOPED_TRACE(testing::Message() << KrVFilterKernelName(kernel) << ", " << threads << " threads");
          spatial.SetThreads(threads);
          EXPECT_EQ(spatial.GetThreads(), threads);
          KrVDepthImage out;
          ASSERT_EQ(spatial.Apply(in, out), KR_STATUS_OK);
          EXPECT_EQ(Differing(out.pixels, expected.pixels, 0), 0u);
          // Again into the same output, with the filter's scratch as the
          // last frame left it.
          ASSERT_EQ(spatial.Apply(in, out), KR_STATUS_OK);
          EXPECT_EQ(Differing(out.pixels, expected.pixels, 0), 0u);
        }
        spatial.SetThreads(1);
      }
      KrVUseFilterKernel(KRV_FILTER_KERNEL_WIDEST);
    }
  }
}

// A thread count below one means one, past two means two.
TEST(SpatialKernels, ThreadsAreOneOrTwo) {
  KrVSpatialFilter spatial;
  EXPECT_EQ(spatial.GetThreads(), 1u);
  spatial.SetThreads(0);
  EXPECT_EQ(spatial.GetThreads(), 1u);
  spatial.SetThreads(8);
  EXPECT_EQ(spatial.GetThreads(), 2u);
}

INSTANTIATE_TEST_SUITE_P(Every, FilterKernels,
                         ::testing::Values(KRV_FILTER_KERNEL_WIDEST, KRV_FILTER_KERNEL_AVX2,
                                           KRV_FILTER_KERNEL_PORTABLE),
                         [](const auto& info) {
                           return info.param == KRV_FILTER_KERNEL_WIDEST ? "Widest"
                                  : info.param == KRV_FILTER_KERNEL_AVX2 ? "Avx2"
                                                                         : "Portable";
                         });

}  // namespace
