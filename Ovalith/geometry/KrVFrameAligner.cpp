#include "KrVFrameAligner.h"

#include "KrVFrameAlignerInternal.h"

#include "../properties/KrVCheckInternal.h"

#include <Tollan/src/sensor/CameraGeometry.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstring>
#include <thread>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#define KRV_ALIGNER_AVX2 1
// GCC 12 sees the deliberately undefined lanes of some AVX-512 intrinsics as
// "maybe uninitialized" once they are inlined here; they are not read.
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#endif
#endif

namespace {

#if defined(KRV_ALIGNER_AVX2)
// The AVX2 row projection: ProjectRow of CameraGeometry.h eight pixels at a
// time, the same IEEE single-precision operations in the same order (no
// fused multiply-add: the target is "avx2" alone), so the footprints, and so
// the aligned frame, are bit for bit the sensor's own registration.

// CeilInt of MinOf(MaxOf(x, 0), high), eight at a time.
__attribute__((target("avx2"))) inline __m256i ClampedCeil8(__m256 x, __m256 high) {
  const __m256 clamped = _mm256_min_ps(_mm256_max_ps(x, _mm256_setzero_ps()), high);
  return _mm256_cvttps_epi32(_mm256_round_ps(clamped, _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC));
}

// The largest of eight lanes.
__attribute__((target("avx2"))) inline int32_t Largest8(__m256i x) {
  __m128i m = _mm_max_epi32(_mm256_castsi256_si128(x), _mm256_extracti128_si256(x, 1));
  m = _mm_max_epi32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(1, 0, 3, 2)));
  m = _mm_max_epi32(m, _mm_shuffle_epi32(m, _MM_SHUFFLE(2, 3, 0, 1)));
  return _mm_cvtsi128_si32(m);
}

__attribute__((target("avx2"))) void ProjectRowAvx2(const tollan::geometry::FootprintTerms& m, const float rowTerms[3],
                                                    const uint16_t* row, uint32_t first, uint32_t last,
                                                    uint16_t noSample, uint16_t shadow,
                                                    tollan::geometry::RowFootprints* f) {
  const __m256 rowU = _mm256_set1_ps(rowTerms[0]), rowV = _mm256_set1_ps(rowTerms[1]),
               rowW = _mm256_set1_ps(rowTerms[2]);
  const __m256 tU = _mm256_set1_ps(m.tU), tV = _mm256_set1_ps(m.tV), tW = _mm256_set1_ps(m.tW);
  const __m256 cx = _mm256_set1_ps(m.cx), cy = _mm256_set1_ps(m.cy);
  const __m256 footX = _mm256_set1_ps(m.footX), footY = _mm256_set1_ps(m.footY);
  const __m256 half = _mm256_set1_ps(0.5f), top = _mm256_set1_ps(65535.5f), one = _mm256_set1_ps(1.0f);
  const __m256 width = _mm256_set1_ps(static_cast<float>(m.width)),
               height = _mm256_set1_ps(static_cast<float>(m.height));
  const __m256i none = _mm256_set1_epi32(noSample), shade = _mm256_set1_epi32(shadow);
  const __m256i gridWidth = _mm256_set1_epi32(m.width), lastColumn = _mm256_set1_epi32(m.width - 1),
                lastRow = _mm256_set1_epi32(m.height - 1), allOnes = _mm256_set1_epi32(-1);
  const __m256i zero = _mm256_setzero_si256();
  const float* const colU = m.colU.data();
  const float* const colV = m.colV.data();
  const float* const colW = m.colW.data();
  uint32_t* const cell = f->cell.data();
  uint32_t* const span = f->span.data();
  uint32_t* const key = f->key.data();
  __m256i largest = _mm256_setzero_si256();  // of the spans' two halves
  uint32_t i = first;
  for (; i + 8 <= last; i += 8) {
    const __m256i d = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i)));
    const __m256 z = _mm256_cvtepi32_ps(d);
    const __m256 x = _mm256_add_ps(_mm256_mul_ps(z, _mm256_add_ps(_mm256_loadu_ps(colU + i), rowU)), tU);
    const __m256 y = _mm256_add_ps(_mm256_mul_ps(z, _mm256_add_ps(_mm256_loadu_ps(colV + i), rowV)), tV);
    const __m256 w = _mm256_add_ps(_mm256_mul_ps(z, _mm256_add_ps(_mm256_loadu_ps(colW + i), rowW)), tW);
    const __m256 front = _mm256_and_ps(_mm256_cmp_ps(w, half, _CMP_GT_OQ), _mm256_cmp_ps(w, top, _CMP_LT_OQ));
    const __m256 iw = _mm256_div_ps(one, _mm256_blendv_ps(one, w, front));
    const __m256 u = _mm256_add_ps(_mm256_mul_ps(x, iw), cx), v = _mm256_add_ps(_mm256_mul_ps(y, iw), cy);
    const __m256i noDepth = _mm256_or_si256(_mm256_cmpeq_epi32(d, none), _mm256_cmpeq_epi32(d, shade));
    const __m256 ok = _mm256_andnot_ps(_mm256_castsi256_ps(noDepth), front);
    const __m256 k = _mm256_and_ps(ok, _mm256_mul_ps(z, iw));
    const __m256 su = _mm256_mul_ps(footX, k), sv = _mm256_mul_ps(footY, k);
    const __m256i a0 = ClampedCeil8(_mm256_sub_ps(u, su), width);
    const __m256i a1 = ClampedCeil8(_mm256_add_ps(u, su), width);
    const __m256i b0 = ClampedCeil8(_mm256_sub_ps(v, sv), height);
    const __m256i b1 = ClampedCeil8(_mm256_add_ps(v, sv), height);
    // ok ? w + 0.5 : 0 is w + 0.5 AND the lane mask; below 65536 where ok.
    const __m256i q = _mm256_cvttps_epi32(_mm256_and_ps(ok, _mm256_add_ps(w, half)));
    const __m256i spans = _mm256_or_si256(_mm256_sub_epi32(a1, a0), _mm256_slli_epi32(_mm256_sub_epi32(b1, b0), 16));
    // DepthKey (q - 1 above noSample: the compare's -1), all ones where q is a "no depth" value or where either half
    // of the span is 0.
    const __m256i bad = _mm256_or_si256(_mm256_cmpeq_epi32(q, none), _mm256_cmpeq_epi32(q, shade));
    const __m256i coded = _mm256_or_si256(_mm256_add_epi32(q, _mm256_cmpgt_epi32(q, none)), bad);
    const __m256i covers = _mm256_cmpeq_epi32(_mm256_cmpeq_epi16(spans, zero), zero);
    const __m256i keys = _mm256_castps_si256(
        _mm256_blendv_ps(_mm256_castsi256_ps(allOnes), _mm256_castsi256_ps(coded), _mm256_castsi256_ps(covers)));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(key + i), keys);
    const __m256i at = _mm256_add_epi32(_mm256_mullo_epi32(_mm256_min_epi32(b0, lastRow), gridWidth),
                                        _mm256_min_epi32(a0, lastColumn));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(cell + i), at);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(span + i), spans);
    largest = _mm256_max_epu16(largest, spans);
  }
  f->widest = std::max(f->widest, Largest8(_mm256_and_si256(largest, _mm256_set1_epi32(0xFFFF))));
  f->tallest = std::max(f->tallest, Largest8(_mm256_srli_epi32(largest, 16)));
  tollan::geometry::ProjectRow(m, rowTerms, row, i, last, noSample, shadow, f);
}

// The AVX-512 row projection: ProjectRow sixteen pixels at a time, the same
// operations in the same order. GCC's avx512f target allows fused
// multiply-add, so contraction is turned off for it (Clang: the pragma
// above).
#if defined(__clang__)
#define KRV_ALIGNER_AVX512_TARGET __attribute__((target("avx512f")))
#else
#define KRV_ALIGNER_AVX512_TARGET __attribute__((target("avx512f"), optimize("fp-contract=off")))
#endif

// CeilInt of MinOf(MaxOf(x, 0), high), sixteen at a time (the conversion
// rounds up).
KRV_ALIGNER_AVX512_TARGET inline __m512i ClampedCeil16(__m512 x, __m512 high) {
  const __m512 clamped = _mm512_min_ps(_mm512_max_ps(x, _mm512_setzero_ps()), high);
  return _mm512_cvt_roundps_epi32(clamped, _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC);
}

KRV_ALIGNER_AVX512_TARGET void ProjectRowAvx512(const tollan::geometry::FootprintTerms& m, const float rowTerms[3],
                                                const uint16_t* row, uint32_t first, uint32_t last, uint16_t noSample,
                                                uint16_t shadow, tollan::geometry::RowFootprints* f) {
  const __m512 rowU = _mm512_set1_ps(rowTerms[0]), rowV = _mm512_set1_ps(rowTerms[1]),
               rowW = _mm512_set1_ps(rowTerms[2]);
  const __m512 tU = _mm512_set1_ps(m.tU), tV = _mm512_set1_ps(m.tV), tW = _mm512_set1_ps(m.tW);
  const __m512 cx = _mm512_set1_ps(m.cx), cy = _mm512_set1_ps(m.cy);
  const __m512 footX = _mm512_set1_ps(m.footX), footY = _mm512_set1_ps(m.footY);
  const __m512 half = _mm512_set1_ps(0.5f), top = _mm512_set1_ps(65535.5f), one = _mm512_set1_ps(1.0f);
  const __m512 width = _mm512_set1_ps(static_cast<float>(m.width)),
               height = _mm512_set1_ps(static_cast<float>(m.height));
  const __m512i none = _mm512_set1_epi32(noSample), shade = _mm512_set1_epi32(shadow);
  const __m512i gridWidth = _mm512_set1_epi32(m.width), lastColumn = _mm512_set1_epi32(m.width - 1),
                lastRow = _mm512_set1_epi32(m.height - 1), allOnes = _mm512_set1_epi32(-1),
                oneInt = _mm512_set1_epi32(1);
  const float* const colU = m.colU.data();
  const float* const colV = m.colV.data();
  const float* const colW = m.colW.data();
  uint32_t* const cell = f->cell.data();
  uint32_t* const span = f->span.data();
  uint32_t* const key = f->key.data();
  __m512i widest = _mm512_setzero_si512(), tallest = _mm512_setzero_si512();
  uint32_t i = first;
  for (; i + 16 <= last; i += 16) {
    const __m512i d = _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + i)));
    const __m512 z = _mm512_cvtepi32_ps(d);
    const __m512 x = _mm512_add_ps(_mm512_mul_ps(z, _mm512_add_ps(_mm512_loadu_ps(colU + i), rowU)), tU);
    const __m512 y = _mm512_add_ps(_mm512_mul_ps(z, _mm512_add_ps(_mm512_loadu_ps(colV + i), rowV)), tV);
    const __m512 w = _mm512_add_ps(_mm512_mul_ps(z, _mm512_add_ps(_mm512_loadu_ps(colW + i), rowW)), tW);
    const __mmask16 front = _mm512_cmp_ps_mask(w, half, _CMP_GT_OQ) & _mm512_cmp_ps_mask(w, top, _CMP_LT_OQ);
    const __m512 iw = _mm512_div_ps(one, _mm512_mask_mov_ps(one, front, w));
    const __m512 u = _mm512_add_ps(_mm512_mul_ps(x, iw), cx), v = _mm512_add_ps(_mm512_mul_ps(y, iw), cy);
    const __mmask16 noDepth = _mm512_cmpeq_epi32_mask(d, none) | _mm512_cmpeq_epi32_mask(d, shade);
    const __mmask16 ok = front & static_cast<__mmask16>(~noDepth);
    const __m512 k = _mm512_maskz_mul_ps(ok, z, iw);
    const __m512 su = _mm512_mul_ps(footX, k), sv = _mm512_mul_ps(footY, k);
    const __m512i a0 = ClampedCeil16(_mm512_sub_ps(u, su), width), a1 = ClampedCeil16(_mm512_add_ps(u, su), width);
    const __m512i b0 = ClampedCeil16(_mm512_sub_ps(v, sv), height), b1 = ClampedCeil16(_mm512_add_ps(v, sv), height);
    const __m512i q = _mm512_cvttps_epi32(_mm512_maskz_add_ps(ok, w, half));
    const __mmask16 kept = _mm512_cmpneq_epi32_mask(a0, a1) & _mm512_cmpneq_epi32_mask(b0, b1) &
                           _mm512_cmpneq_epi32_mask(q, none) & _mm512_cmpneq_epi32_mask(q, shade);
    const __m512i coded = _mm512_mask_sub_epi32(q, _mm512_cmpgt_epi32_mask(q, none), q, oneInt);  // DepthKey
    _mm512_storeu_si512(key + i, _mm512_mask_mov_epi32(allOnes, kept, coded));
    _mm512_storeu_si512(cell + i, _mm512_add_epi32(_mm512_mullo_epi32(_mm512_min_epi32(b0, lastRow), gridWidth),
                                                   _mm512_min_epi32(a0, lastColumn)));
    const __m512i wide = _mm512_sub_epi32(a1, a0), tall = _mm512_sub_epi32(b1, b0);
    _mm512_storeu_si512(span + i, _mm512_or_si512(wide, _mm512_slli_epi32(tall, 16)));
    widest = _mm512_max_epi32(widest, wide);
    tallest = _mm512_max_epi32(tallest, tall);
  }
  alignas(64) int32_t lanes[2][16];
  _mm512_store_si512(lanes[0], widest);
  _mm512_store_si512(lanes[1], tallest);
  for (int n = 0; n < 16; ++n) {
    f->widest = std::max(f->widest, lanes[0][n]);
    f->tallest = std::max(f->tallest, lanes[1][n]);
  }
  tollan::geometry::ProjectRow(m, rowTerms, row, i, last, noSample, shadow, f);
}

// KeysToDepths of CameraGeometry.h, sixteen cells at a time; with second,
// first takes the smaller key of the two grids before.
__attribute__((target("avx2"))) void KeysToDepthsAvx2(uint16_t* first, const uint16_t* second, size_t count,
                                                      uint16_t noSample) {
  const __m256i none = _mm256_set1_epi16(static_cast<short>(noSample)), empty = _mm256_set1_epi16(-1);
  size_t k = 0;
  for (; k + 16 <= count; k += 16) {
    __m256i key = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(first + k));
    if (second != nullptr)
      key = _mm256_min_epu16(key, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(second + k)));
    const __m256i above = _mm256_cmpeq_epi16(_mm256_max_epu16(key, none), key);  // key >= noSample: -1
    const __m256i depth = _mm256_blendv_epi8(_mm256_sub_epi16(key, above), none, _mm256_cmpeq_epi16(key, empty));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(first + k), depth);
  }
  for (; k < count; ++k) {
    const uint16_t key = second != nullptr ? std::min(first[k], second[k]) : first[k];
    first[k] = tollan::geometry::KeyDepth(key, noSample);
  }
}
#endif

// KeysToDepths, with the merge of a second grid (or none).
void KeysToDepths(uint16_t* first, const uint16_t* second, size_t count, uint16_t noSample) {
#if defined(KRV_ALIGNER_AVX2)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return KeysToDepthsAvx2(first, second, count, noSample);
#endif
  if (second != nullptr) {
    for (size_t k = 0; k < count; ++k) first[k] = std::min(first[k], second[k]);
  }
  tollan::geometry::KeysToDepths(first, count, noSample);
}

// The row projections this processor runs, by KrVAlignerKernel (a missing
// one falls back to the widest that it has), and their names.
struct Kernels {
  tollan::geometry::RowProjector project[4];
  const char* name[4];
};

const Kernels& AvailableKernels() {
  static const Kernels kernels = [] {
    Kernels k;
    for (int n = 0; n < 4; ++n) {
      k.project[n] = tollan::geometry::ProjectRow;
      k.name[n] = "portable";
    }
#if defined(KRV_ALIGNER_AVX2)
    if (__builtin_cpu_supports("avx2")) {
      for (int n : {KRV_ALIGNER_KERNEL_WIDEST, KRV_ALIGNER_KERNEL_AVX512, KRV_ALIGNER_KERNEL_AVX2}) {
        k.project[n] = ProjectRowAvx2;
        k.name[n] = "avx2";
      }
    }
    if (__builtin_cpu_supports("avx512f")) {
      for (int n : {KRV_ALIGNER_KERNEL_WIDEST, KRV_ALIGNER_KERNEL_AVX512}) {
        k.project[n] = ProjectRowAvx512;
        k.name[n] = "avx512";
      }
    }
#endif
    return k;
  }();
  return kernels;
}

std::atomic<int> choice{KRV_ALIGNER_KERNEL_WIDEST};

tollan::geometry::RowProjector Projector() {
  return AvailableKernels().project[choice.load(std::memory_order_relaxed)];
}

tollan::geometry::PinholeCamera Camera(const KrVCameraIntrinsics& k) {
  tollan::geometry::PinholeCamera c;
  c.width = k.width;
  c.height = k.height;
  c.fx = k.fx;
  c.fy = k.fy;
  c.cx = k.cx;
  c.cy = k.cy;
  return c;
}

tollan::geometry::DepthMapping Mapping(const KrVCameraIntrinsics& depth, const KrVCameraIntrinsics& image,
                                       const KrVCameraExtrinsics& motion) {
  tollan::geometry::RigidMotion m;
  std::memcpy(m.r, motion.rotation, sizeof(m.r));
  std::memcpy(m.t, motion.translation, sizeof(m.t));
  tollan::geometry::DepthMapping mapping;
  mapping.Set(Camera(depth), Camera(image), m);
  return mapping;
}

bool Usable(const KrVCameraIntrinsics& k) {
  return k.width > 0 && k.height > 0 && k.width <= 0xFFFF && k.height <= 0xFFFF && k.fx > 0 && k.fy > 0 &&
         std::isfinite(k.fx) && std::isfinite(k.fy) && std::isfinite(k.cx) && std::isfinite(k.cy);
}

// MapDepthFrame of CameraGeometry.h with the fastest kernels, on this
// thread and, with threads > 1, on a second one that maps the lower half of
// the source rows into a grid of its own; the two grids are merged by the
// smaller key, so the result is the same bytes either way. A second thread
// that cannot be started leaves all the rows to this one.
void MapFrame(const tollan::geometry::DepthMapping& mapping, const unsigned short* depth, unsigned short noSample,
              unsigned short shadow, unsigned short* out, unsigned int threads) {
  const size_t count = size_t{mapping.to.width} * mapping.to.height;
  const uint32_t rows = mapping.from.height;
  const tollan::geometry::RowProjector project = Projector();
  std::memset(out, 0xFF, count * sizeof(uint16_t));  // kEmptyKey in every cell
  uint32_t split = rows;
  std::vector<uint16_t> lower;
  std::thread helper;
  if (threads > 1 && rows > 1) {
    split = rows / 2;
    try {
      lower.assign(count, tollan::geometry::kEmptyKey);
      helper = std::thread([&] {
        tollan::geometry::MapDepthRows(mapping, depth, split, rows, noSample, shadow, lower.data(), project);
      });
    } catch (...) {  // no memory or no thread: this thread maps every row
      split = rows;
    }
  }
  tollan::geometry::MapDepthRows(mapping, depth, 0, split, noSample, shadow, out, project);
  if (helper.joinable()) helper.join();
  KeysToDepths(out, split < rows ? lower.data() : nullptr, count, noSample);
}

// A point is hidden at an image pixel whose aligned depth is this much nearer.
constexpr double kHiddenFraction = 0.95;

}  // namespace

bool KrVUseAlignerKernel(KrVAlignerKernel kernel) {
  if (kernel < KRV_ALIGNER_KERNEL_WIDEST || kernel > KRV_ALIGNER_KERNEL_PORTABLE) return false;
  choice.store(kernel, std::memory_order_relaxed);
  static const char* const wanted[4] = {nullptr, "avx512", "avx2", "portable"};
  return kernel == KRV_ALIGNER_KERNEL_WIDEST || std::strcmp(AvailableKernels().name[kernel], wanted[kernel]) == 0;
}

const char* KrVAlignerKernelName(KrVAlignerKernel kernel) {
  if (kernel < KRV_ALIGNER_KERNEL_WIDEST || kernel > KRV_ALIGNER_KERNEL_PORTABLE) return "portable";
  return AvailableKernels().name[kernel];
}

KrVFrameAligner::KrVFrameAligner() : ready_(false), threads_(1) {}

void KrVFrameAligner::SetThreads(unsigned int threads) { threads_ = threads < 1 ? 1 : threads > 2 ? 2 : threads; }

KrStatus KrVFrameAligner::Init(const KrVCameraIntrinsics& depth, const KrVCameraIntrinsics& image,
                               const KrVCameraExtrinsics& depthToImage) {
  if (!Usable(depth) || !Usable(image)) return KR_STATUS_QM_BAD_PARAMETER;
  for (double v : depthToImage.rotation) {
    if (!std::isfinite(v)) return KR_STATUS_QM_BAD_PARAMETER;
  }
  for (double v : depthToImage.translation) {
    if (!std::isfinite(v)) return KR_STATUS_QM_BAD_PARAMETER;
  }
  depth_ = depth;
  image_ = image;
  motion_ = depthToImage;
  ready_ = true;
  return KR_STATUS_OK;
}

KrStatus KrVFrameAligner::Init(KrVStreamContainer& device, const char* depthStream, const char* imageStream) {
  KrVCameraIntrinsics depth, image;
  KrVCameraExtrinsics motion;
  KRV_RETURN_IF_FAILED(KrVCameraIntrinsics::FromStream(device, depthStream, depth));
  KRV_RETURN_IF_FAILED(KrVCameraIntrinsics::FromStream(device, imageStream, image));
  KRV_RETURN_IF_FAILED(KrVCameraExtrinsics::FromStream(device, depthStream, motion));
  return Init(depth, image, motion);
}

KrStatus KrVFrameAligner::CheckDepth(const unsigned short* depth, size_t depthCount) const {
  if (depth == nullptr) return KR_STATUS_OS_NULL_POINTER;
  if (!ready_ || depthCount < size_t{depth_.width} * depth_.height) return KR_STATUS_QM_BAD_PARAMETER;
  return KR_STATUS_OK;
}

KrStatus KrVFrameAligner::AlignDepthToImage(const unsigned short* depth, size_t depthCount,
                                            unsigned short noSampleValue, unsigned short shadowValue,
                                            unsigned short* out, size_t outCount) const {
  KRV_RETURN_IF_FAILED(CheckDepth(depth, depthCount));
  if (out == nullptr) return KR_STATUS_OS_NULL_POINTER;
  if (outCount < size_t{image_.width} * image_.height) return KR_STATUS_QM_BAD_PARAMETER;
  MapFrame(Mapping(depth_, image_, motion_), depth, noSampleValue, shadowValue, out, threads_);
  return KR_STATUS_OK;
}

KrStatus KrVFrameAligner::FindImagePixels(const unsigned short* depth, size_t depthCount, unsigned short noSampleValue,
                                          unsigned short shadowValue, int* pixels, size_t pixelCount) const {
  KRV_RETURN_IF_FAILED(CheckDepth(depth, depthCount));
  if (pixels == nullptr) return KR_STATUS_OS_NULL_POINTER;
  if (pixelCount < size_t{depth_.width} * depth_.height) return KR_STATUS_QM_BAD_PARAMETER;
  const tollan::geometry::DepthMapping mapping = Mapping(depth_, image_, motion_);
  std::vector<unsigned short> nearest(size_t{image_.width} * image_.height);
  MapFrame(mapping, depth, noSampleValue, shadowValue, nearest.data(), threads_);
  const double maxU = image_.width, maxV = image_.height;
  for (unsigned int j = 0; j < depth_.height; ++j) {
    double base[3];
    mapping.RowBase(j, base);
    const size_t row = size_t{j} * depth_.width;
    for (unsigned int i = 0; i < depth_.width; ++i) {
      int& found = pixels[row + i];
      found = -1;
      const unsigned short d = depth[row + i];
      if (d == noSampleValue || d == shadowValue) continue;
      double u, v, w;
      if (!mapping.Project(base, i, d, &u, &v, &w)) continue;
      // The nearest pixel: floor(u + 0.5), which for the values the bounds
      // let through (0 <= u + 0.5 < width) is the truncation.
      const double x = u + 0.5, y = v + 0.5;
      if (!(x >= 0 && x < maxU && y >= 0 && y < maxV)) continue;
      const size_t at = static_cast<size_t>(y) * image_.width + static_cast<size_t>(x);
      const unsigned short seen = nearest[at];
      if (seen != noSampleValue && seen < kHiddenFraction * w) continue;  // something nearer is in the way
      found = static_cast<int>(at);
    }
  }
  return KR_STATUS_OK;
}

KrStatus KrVFrameAligner::AlignImageToDepth(const unsigned short* depth, size_t depthCount,
                                            unsigned short noSampleValue, unsigned short shadowValue,
                                            const unsigned char* image, size_t imageBytes, unsigned int bytesPerPixel,
                                            unsigned char* out, size_t outBytes) const {
  KRV_RETURN_IF_FAILED(CheckDepth(depth, depthCount));
  if (image == nullptr || out == nullptr) return KR_STATUS_OS_NULL_POINTER;
  const size_t depthPixels = size_t{depth_.width} * depth_.height;
  if (bytesPerPixel == 0 || bytesPerPixel > 8 || imageBytes < size_t{image_.width} * image_.height * bytesPerPixel ||
      outBytes < depthPixels * bytesPerPixel) {
    return KR_STATUS_QM_BAD_PARAMETER;
  }
  std::vector<int> pixels(depthPixels);
  KRV_RETURN_IF_FAILED(FindImagePixels(depth, depthCount, noSampleValue, shadowValue, pixels.data(), pixels.size()));
  for (size_t i = 0; i < depthPixels; ++i) {
    unsigned char* to = out + i * bytesPerPixel;
    if (pixels[i] < 0) {
      std::memset(to, 0, bytesPerPixel);
    } else {
      std::memcpy(to, image + static_cast<size_t>(pixels[i]) * bytesPerPixel, bytesPerPixel);
    }
  }
  return KR_STATUS_OK;
}
