// The depth filters on a VGA depth frame, against two baselines in the same
// run:
//   BM_DepthFilterChain/0  OpenCV's cv::bilateralFilter (d = 5) of the same
//                          frame as 32-bit floats (made beforehand), what
//                          users reach for; goal: the full chain (decimate 2,
//                          spatial, temporal, holes) in at most half its time
//   BM_SpatialFilter/0     a memcpy of the frame; goal: the spatial filter
//                          alone in at most 8 times it
// Run /1 of each is the filter, labelled with the kernels it ran ("avx512",
// "avx2" or "portable"); BM_SpatialFilter/2 is the same with a second thread
// (SetThreads(2)), /3 with the AVX2 kernels at most (the figure before the
// AVX-512 ones). The bilateral baseline is built only where
// OpenCV is installed (libopencv-dev; bench/ only).
#include <Ovalith/filters/KrVDepthFilters.h>
#include <Ovalith/filters/KrVDepthFiltersInternal.h>
#include <benchmark/benchmark.h>

#ifdef OVALITH_BENCH_OPENCV
#include <opencv2/imgproc.hpp>
#endif

#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr uint32_t kWidth = 640, kHeight = 480;

// A wall at 3 m with a nearer box, depth noise of a few mm and 1% holes.
const KrVDepthImage& Frame() {
  static const KrVDepthImage frame = [] {
    KrVDepthImage image;
    image.width = kWidth;
    image.height = kHeight;
    image.fx = image.fy = 575.8;
    image.cx = kWidth / 2;
    image.cy = kHeight / 2;
    std::mt19937 random(7);
    std::normal_distribution<double> noise(0, 6);
    for (uint32_t y = 0; y < kHeight; ++y) {
      for (uint32_t x = 0; x < kWidth; ++x) {
        const bool box = x > 200 && x < 400 && y > 150 && y < 330;
        const double z = (box ? 1500 : 3000) + noise(random);
        image.pixels.push_back(random() % 100 == 0 ? 0 : static_cast<uint16_t>(z));
      }
    }
    return image;
  }();
  return frame;
}

void BM_DepthFilterChain(benchmark::State& state) {
  const KrVDepthImage& frame = Frame();
  if (state.range(0) == 0) {
#ifdef OVALITH_BENCH_OPENCV
    cv::Mat in(kHeight, kWidth, CV_32F), out;
    for (uint32_t i = 0; i < kWidth * kHeight; ++i) in.at<float>(static_cast<int>(i)) = frame.pixels[i];
    for (auto _ : state) {
      cv::bilateralFilter(in, out, 5, 50, 5);
      benchmark::DoNotOptimize(out.data);
    }
    state.SetLabel("cv::bilateralFilter d=5 (baseline)");
#else
    state.SkipWithError("OpenCV is not installed");
#endif
    return;
  }
  KrVDepthFilterChain chain;
  if (chain.Parse("decimate=2,spatial,temporal,holes=nearest") != KR_STATUS_OK) return state.SkipWithError("chain");
  KrVDepthImage out;
  for (auto _ : state) {
    if (chain.Apply(frame, out) != KR_STATUS_OK) return state.SkipWithError("the chain failed");
    benchmark::DoNotOptimize(out.pixels.data());
  }
  state.SetLabel(std::string("decimate=2,spatial,temporal,holes=nearest; ") +
                 KrVFilterKernelName(KRV_FILTER_KERNEL_WIDEST));
}
BENCHMARK(BM_DepthFilterChain)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

void BM_SpatialFilter(benchmark::State& state) {
  const KrVDepthImage& frame = Frame();
  KrVDepthImage out;
  out.pixels.resize(frame.pixels.size());
  KrVSpatialFilter spatial;
  spatial.SetThreads(state.range(0) == 2 ? 2 : 1);
  const KrVFilterKernel kernel = state.range(0) == 3 ? KRV_FILTER_KERNEL_AVX2 : KRV_FILTER_KERNEL_WIDEST;
  KrVUseFilterKernel(kernel);
  for (auto _ : state) {
    if (state.range(0) == 0) {
      std::memcpy(out.pixels.data(), frame.pixels.data(), frame.pixels.size() * 2);
    } else if (spatial.Apply(frame, out) != KR_STATUS_OK) {
      KrVUseFilterKernel(KRV_FILTER_KERNEL_WIDEST);
      return state.SkipWithError("the filter failed");
    }
    benchmark::DoNotOptimize(out.pixels.data());
  }
  KrVUseFilterKernel(KRV_FILTER_KERNEL_WIDEST);
  state.SetLabel(state.range(0) == 0 ? std::string("memcpy of the frame (baseline)")
                                     : std::string("spatial (0.5, 60 mm, 2 passes; ") + KrVFilterKernelName(kernel) +
                                           (state.range(0) == 2 ? ", 2 threads)" : ")"));
}
BENCHMARK(BM_SpatialFilter)->Arg(0)->Arg(1)->Arg(2)->Arg(3)->Unit(benchmark::kMicrosecond);

}  // namespace
