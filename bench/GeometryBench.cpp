// Real-world conversion of whole depth frames, against its baselines in the
// same run:
//   BM_DepthFrameToRealWorld/Batch*   KrVRealWorldTranslator::Projective2RW
//                                     of a 640 x 480 depth matrix, with the
//                                     widest kernel (label: its name)
//   .../Batch*Avx2, .../BatchKeepPortable  the same with the AVX2 kernel
//                                     (what processors without AVX-512 run)
//                                     and with the portable kernel
//   BM_DepthFrameToRealWorld_PerPoint the same frame, one Projective2RW per pixel
//   BM_DepthFrameToRealWorld_BaselineMemcpy  a memcpy of the batch's output bytes
//                                     (12 per pixel): the floor
// Compare their times (ratios); the per-point conversions below report
// nanoseconds per point ("ns/point").
#include <Ovalith/geometry/KrVMatrix.h>
#include <Ovalith/geometry/KrVPointContainer.h>
#include <Ovalith/geometry/KrVRealWorldTranslator.h>
#include <Ovalith/geometry/KrVRealWorldTranslatorInternal.h>
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <vector>

namespace {

constexpr unsigned short kWidth = 640;
constexpr unsigned short kHeight = 480;
constexpr unsigned int kPixels = static_cast<unsigned int>(kWidth) * kHeight;

const KrVRealWorldTranslator& Sensor() {
  static const KrVRealWorldTranslator translator(120, 0.1042, kWidth, kHeight);
  return translator;
}

// A frame like the sensor's: depths of 0.5 to 4 m, one pixel in five without
// a sample.
const KrVDepthMatrix& Frame() {
  static const KrVDepthMatrix frame = [] {
    KrVDepthMatrix m(kWidth, kHeight);
    std::mt19937 random(7);
    for (unsigned int i = 0; i < kPixels; ++i) {
      m[static_cast<int>(i)] = random() % 5 == 0 ? 0 : static_cast<unsigned short>(500 + random() % 3500);
    }
    return m;
  }();
  return frame;
}

void SetFrameCounters(benchmark::State& state) {
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kPixels);
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kPixels * sizeof(KrVPoint));
}

// The batch conversion with a chosen row kernel; the label names the kernel
// that ran, and a kernel this processor lacks is reported, not measured.
void RunBatch(benchmark::State& state, KrVTranslatorKernel kernel, KrVNoSampleHandling handling) {
  if (!KrVUseTranslatorKernel(kernel)) {
    KrVUseTranslatorKernel(KRV_TRANSLATOR_KERNEL_WIDEST);
    state.SkipWithError("this processor lacks the kernel's vector unit");
    return;
  }
  KrVPointContainer points(kPixels);
  for (auto _ : state) {
    Sensor().Projective2RW(Frame(), points, handling);
    benchmark::DoNotOptimize(points.Data());
    benchmark::ClobberMemory();
  }
  state.SetLabel(KrVTranslatorKernelName(kernel));
  KrVUseTranslatorKernel(KRV_TRANSLATOR_KERNEL_WIDEST);
  SetFrameCounters(state);
}

void BM_DepthFrameToRealWorld_BatchKeep(benchmark::State& state) {
  RunBatch(state, KRV_TRANSLATOR_KERNEL_WIDEST, KRV_NO_SAMPLE_KEEP);
}
BENCHMARK(BM_DepthFrameToRealWorld_BatchKeep);

void BM_DepthFrameToRealWorld_BatchSkip(benchmark::State& state) {
  RunBatch(state, KRV_TRANSLATOR_KERNEL_WIDEST, KRV_NO_SAMPLE_SKIP);
}
BENCHMARK(BM_DepthFrameToRealWorld_BatchSkip);

// The kernel that most processors run (AVX2, no AVX-512), on any processor
// that has it.
void BM_DepthFrameToRealWorld_BatchKeepAvx2(benchmark::State& state) {
  RunBatch(state, KRV_TRANSLATOR_KERNEL_AVX2, KRV_NO_SAMPLE_KEEP);
}
BENCHMARK(BM_DepthFrameToRealWorld_BatchKeepAvx2);

void BM_DepthFrameToRealWorld_BatchSkipAvx2(benchmark::State& state) {
  RunBatch(state, KRV_TRANSLATOR_KERNEL_AVX2, KRV_NO_SAMPLE_SKIP);
}
BENCHMARK(BM_DepthFrameToRealWorld_BatchSkipAvx2);

// The batch with the kernel used where no vector kernel fits.
void BM_DepthFrameToRealWorld_BatchKeepPortable(benchmark::State& state) {
  RunBatch(state, KRV_TRANSLATOR_KERNEL_PORTABLE, KRV_NO_SAMPLE_KEEP);
}
BENCHMARK(BM_DepthFrameToRealWorld_BatchKeepPortable);

void BM_DepthFrameToRealWorld_PerPoint(benchmark::State& state) {
  std::vector<KrVPoint> points(kPixels);
  const KrVDepthMatrix& frame = Frame();
  for (auto _ : state) {
    KrVPoint* out = points.data();
    for (unsigned short y = 0; y < kHeight; ++y) {
      for (unsigned short x = 0; x < kWidth; ++x) {
        *out = KrVPoint(x, y, frame(x, y));
        Sensor().Projective2RW(*out);
        ++out;
      }
    }
    benchmark::DoNotOptimize(points.data());
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state);
}
BENCHMARK(BM_DepthFrameToRealWorld_PerPoint);

void BM_DepthFrameToRealWorld_BaselineMemcpy(benchmark::State& state) {
  std::vector<KrVPoint> source(kPixels, KrVPoint(1, 2, 3));
  std::vector<KrVPoint> target(kPixels);
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), kPixels * sizeof(KrVPoint));
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
  SetFrameCounters(state);
}
BENCHMARK(BM_DepthFrameToRealWorld_BaselineMemcpy);

// Per-point conversions over a frame's worth of points.
template <void (KrVRealWorldTranslator::*Convert)(KrVPoint&) const>
void BM_PerPointConversion(benchmark::State& state) {
  std::vector<KrVPoint> input(4096);
  std::mt19937 random(11);
  for (KrVPoint& p : input) {
    p = KrVPoint(static_cast<float>(random() % 640), static_cast<float>(random() % 480),
                 static_cast<float>(500 + random() % 3500));
  }
  std::vector<KrVPoint> points(input.size());
  for (auto _ : state) {
    for (size_t i = 0; i < input.size(); ++i) {
      points[i] = input[i];
      (Sensor().*Convert)(points[i]);
    }
    benchmark::DoNotOptimize(points.data());
    benchmark::ClobberMemory();
  }
  state.counters["ns/point"] = benchmark::Counter(static_cast<double>(state.iterations()) * input.size(),
                                                  benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK_TEMPLATE(BM_PerPointConversion, &KrVRealWorldTranslator::Projective2RW)->Name("BM_PerPoint/Projective2RW");
BENCHMARK_TEMPLATE(BM_PerPointConversion, &KrVRealWorldTranslator::RW2Projective)->Name("BM_PerPoint/RW2Projective");
BENCHMARK_TEMPLATE(BM_PerPointConversion, &KrVRealWorldTranslator::RW2ProjectiveFloat)
    ->Name("BM_PerPoint/RW2ProjectiveFloat");

}  // namespace
