// Depth-to-image alignment (KrVFrameAligner::AlignDepthToImage) of a 640 x 480
// depth frame onto a 640 x 480 colour camera 25 mm beside it (the simulated
// sensor's rig), against two baselines in the same run:
//   BM_AlignDepthToImageVsMemcpy/0  a memcpy of the output (640 x 480 x 2
//                                   bytes): the floor; goal: at most 3 times it
//   BM_AlignDepthToImageVsRemap/0   OpenCV's cv::remap of the same frame with
//                                   nearest-neighbour maps made beforehand for
//                                   a wall 2 m away, what users write by hand
//                                   (it knows no depth, no z-buffer, no
//                                   occlusion); goal: faster
// BM_AlignDepthToImageKernel/N runs row kernel N alone (one thread).
// Run /1 of each is the alignment on the calling thread alone, /2 the same
// with SetThreads(2) (one helper thread; on a loaded machine it may gain
// nothing). The remap baseline is built only where OpenCV is installed
// (libopencv-dev; bench/ only).
#include <Ovalith/geometry/KrVCameraParameters.h>
#include <Ovalith/geometry/KrVFrameAligner.h>
#include <Ovalith/geometry/KrVFrameAlignerInternal.h>
#include <benchmark/benchmark.h>

#ifdef OVALITH_BENCH_OPENCV
#include <opencv2/imgproc.hpp>
#endif

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr unsigned int kWidth = 640, kHeight = 480, kPixels = kWidth * kHeight;

KrVCameraIntrinsics DepthCamera() { return KrVCameraIntrinsics::FromCalibration(120, 0.1042, kWidth, kHeight); }
KrVCameraIntrinsics ImageCamera() {
  return KrVCameraIntrinsics::FromCalibration(120, 120 / (2 * 525.0), kWidth, kHeight);
}

KrVCameraExtrinsics Beside() {
  KrVCameraExtrinsics e;
  e.translation[0] = -25;  // the colour camera 25 mm to the right
  return e;
}

// A room-like frame: a wall at 3 m, a floor, a ball of 150 mm at 1.5 m and
// a strip of projector shadow left of it.
const std::vector<unsigned short>& Frame() {
  static const std::vector<unsigned short> frame = [] {
    std::vector<unsigned short> f(kPixels);
    const KrVCameraIntrinsics k = DepthCamera();
    for (unsigned int v = 0; v < kHeight; ++v) {
      for (unsigned int u = 0; u < kWidth; ++u) {
        const double dv = v - k.cy, floorZ = dv > 0 ? 800 * k.fx / dv : 1e9;
        double z = std::min(3000.0, floorZ);
        const double du = u - 400.0, dw = v - 200.0, r = 150 * k.fx / 1500;
        if (du * du + dw * dw < r * r) z = 1500 - 150 * std::sqrt(1 - (du * du + dw * dw) / (r * r));
        const bool shadow = std::fabs(dw) < r && du < -r && du > -r - 10;
        f[v * kWidth + u] = shadow ? 1 : static_cast<unsigned short>(z);
      }
    }
    return f;
  }();
  return frame;
}

void SetCounters(benchmark::State& state) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kPixels);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPixels * sizeof(unsigned short));
}

void Align(benchmark::State& state) {
  KrVFrameAligner aligner;
  if (aligner.Init(DepthCamera(), ImageCamera(), Beside()) != KR_STATUS_OK) {
    state.SkipWithError("the aligner refused the cameras");
    return;
  }
  aligner.SetThreads(static_cast<unsigned int>(state.range(0)));
  std::vector<unsigned short> out(kPixels);
  const std::vector<unsigned short>& frame = Frame();
  for (auto _ : state) {
    if (aligner.AlignDepthToImage(frame.data(), frame.size(), 0, 1, out.data(), out.size()) != KR_STATUS_OK) {
      state.SkipWithError("alignment failed");
      return;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetLabel(std::string("KrVFrameAligner, ") + KrVAlignerKernelName(KRV_ALIGNER_KERNEL_WIDEST) +
                 (state.range(0) > 1 ? ", 2 threads" : ""));
  SetCounters(state);
}

void BM_AlignDepthToImageVsMemcpy(benchmark::State& state) {
  if (state.range(0) > 0) return Align(state);
  std::vector<unsigned short> out(kPixels);
  const std::vector<unsigned short>& frame = Frame();
  for (auto _ : state) {
    std::memcpy(out.data(), frame.data(), kPixels * sizeof(unsigned short));
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetLabel("memcpy of the output (baseline)");
  SetCounters(state);
}
BENCHMARK(BM_AlignDepthToImageVsMemcpy)->Arg(0)->Arg(1)->Arg(2)->UseRealTime();

// Each row kernel on one thread (/1 avx512, /2 avx2, /3 portable, /4
// avx512vbmi2; one this processor lacks runs the widest it has), to compare
// with /1 of the runs above.
void BM_AlignDepthToImageKernel(benchmark::State& state) {
  const KrVAlignerKernel kernel = static_cast<KrVAlignerKernel>(state.range(0));
  KrVUseAlignerKernel(kernel);
  KrVFrameAligner aligner;
  if (aligner.Init(DepthCamera(), ImageCamera(), Beside()) != KR_STATUS_OK) {
    state.SkipWithError("the aligner refused the cameras");
    KrVUseAlignerKernel(KRV_ALIGNER_KERNEL_WIDEST);
    return;
  }
  std::vector<unsigned short> out(kPixels);
  const std::vector<unsigned short>& frame = Frame();
  for (auto _ : state) {
    if (aligner.AlignDepthToImage(frame.data(), frame.size(), 0, 1, out.data(), out.size()) != KR_STATUS_OK) {
      state.SkipWithError("alignment failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetLabel(std::string("KrVFrameAligner, ") + KrVAlignerKernelName(kernel));
  SetCounters(state);
  KrVUseAlignerKernel(KRV_ALIGNER_KERNEL_WIDEST);
}
BENCHMARK(BM_AlignDepthToImageKernel)
    ->Arg(KRV_ALIGNER_KERNEL_AVX512VBMI2)
    ->Arg(KRV_ALIGNER_KERNEL_AVX512)
    ->Arg(KRV_ALIGNER_KERNEL_AVX2)
    ->UseRealTime();

#ifdef OVALITH_BENCH_OPENCV
void BM_AlignDepthToImageVsRemap(benchmark::State& state) {
  if (state.range(0) > 0) return Align(state);
  // Maps from each image pixel to the depth pixel that sees a wall 2 m away there.
  const KrVCameraIntrinsics d = DepthCamera(), c = ImageCamera();
  cv::Mat mapX(kHeight, kWidth, CV_32FC1), mapY(kHeight, kWidth, CV_32FC1);
  for (unsigned int v = 0; v < kHeight; ++v) {
    for (unsigned int u = 0; u < kWidth; ++u) {
      const double z = 2000, x = (u - c.cx) * z / c.fx + 25, y = (v - c.cy) * z / c.fy;
      mapX.at<float>(v, u) = static_cast<float>(d.fx * x / z + d.cx);
      mapY.at<float>(v, u) = static_cast<float>(d.fy * y / z + d.cy);
    }
  }
  cv::Mat fixedXY, fixedFraction;
  cv::convertMaps(mapX, mapY, fixedXY, fixedFraction, CV_16SC2, true);
  const cv::Mat source(kHeight, kWidth, CV_16UC1, const_cast<unsigned short*>(Frame().data()));
  cv::Mat out(kHeight, kWidth, CV_16UC1);
  for (auto _ : state) {
    cv::remap(source, out, fixedXY, cv::noArray(), cv::INTER_NEAREST, cv::BORDER_CONSTANT, cv::Scalar(0));
    benchmark::DoNotOptimize(out.data);
    benchmark::ClobberMemory();
  }
  state.SetLabel("cv::remap, nearest (baseline)");
  SetCounters(state);
}
BENCHMARK(BM_AlignDepthToImageVsRemap)->Arg(0)->Arg(1)->Arg(2)->UseRealTime();
#endif

}  // namespace
