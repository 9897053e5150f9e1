// The row kernels of KrVRealWorldTranslator's whole-frame conversion.
//
// A row's points are X = factor(column) * Z * (1 / ZPD), Y = factor(row) *
// Z * (1 / ZPD) and Z, each product rounded in double and the result rounded
// to float, exactly as the per-point conversion does. Two kernels compute
// them: a portable one (plain loops the compiler vectorises, for AVX2 too,
// plus SSE2 shuffles that interleave the coordinates into points) and, on
// x86-64 processors that have them, an AVX-512 one that converts, packs away
// pixels without a sample and interleaves 16 pixels per step in registers,
// and an AVX2 one (KrVRealWorldTranslatorAvx2.cpp) that does the same 8
// pixels at a time. All use only IEEE products and conversions, so they
// give the same bits. The widest kernel the processor has is the default.
#include <Ovalith/geometry/KrVRealWorldTranslatorInternal.h>

#include <atomic>
#include <cstdint>

// GCC 12 sees the deliberately undefined lanes of some AVX-512 intrinsics as
// "maybe uninitialized" once they are inlined here; they are not read.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#if defined(KRV_TRANSLATOR_X86_KERNELS)
#define KRV_X86_KERNELS 1
#include <immintrin.h>
#endif

#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#endif

namespace {

// ---- portable kernel ----

// Pixels per step: their coordinates wait in three small arrays (kept in
// the first-level cache) before they are interleaved into points.
constexpr unsigned int kBlock = 256;

// X, Y and Z of n pixels, each coordinate in its own array: plain arithmetic
// the compiler vectorises, built for AVX2 too and chosen at load time. The
// load-time choice runs before ThreadSanitizer's runtime is up, so that build
// keeps the default version only.
#if defined(KRV_X86_KERNELS) && !defined(__SANITIZE_THREAD__)
__attribute__((target_clones("avx2", "default")))
#endif
void ConvertBlock(const unsigned short* __restrict depth, const double* __restrict columnFactors, double rowFactor,
                  double reciprocalZpd, unsigned int n, float* __restrict xs, float* __restrict ys,
                  float* __restrict zs) {
  for (unsigned int i = 0; i < n; ++i) {
    const float zf = static_cast<float>(depth[i]);
    const double z = zf;
    xs[i] = KrVRealWorldCoordinate(columnFactors[i], z, reciprocalZpd);
    ys[i] = KrVRealWorldCoordinate(rowFactor, z, reciprocalZpd);
    zs[i] = zf;
  }
}

#if defined(__SSE2__)
// Four points (48 bytes) from four x, y and z: three stores instead of twelve.
inline void Interleave4(__m128 x, __m128 y, __m128 z, float* target) {
  const __m128 xyLow = _mm_unpacklo_ps(x, y);                                          // x0 y0 x1 y1
  const __m128 xyHigh = _mm_unpackhi_ps(x, y);                                         // x2 y2 x3 y3
  const __m128 zxLow = _mm_unpacklo_ps(z, x);                                          // z0 x0 z1 x1
  const __m128 zxHigh = _mm_unpackhi_ps(z, x);                                         // z2 x2 z3 x3
  const __m128 yzLow = _mm_unpacklo_ps(y, z);                                          // y0 z0 y1 z1
  const __m128 yzHigh = _mm_unpackhi_ps(y, z);                                         // y2 z2 y3 z3
  _mm_storeu_ps(target, _mm_shuffle_ps(xyLow, zxLow, _MM_SHUFFLE(3, 0, 1, 0)));        // x0 y0 z0 x1
  _mm_storeu_ps(target + 4, _mm_shuffle_ps(yzLow, xyHigh, _MM_SHUFFLE(1, 0, 3, 2)));   // y1 z1 x2 y2
  _mm_storeu_ps(target + 8, _mm_shuffle_ps(zxHigh, yzHigh, _MM_SHUFFLE(3, 2, 3, 0)));  // z2 x3 y3 z3
}
#endif

// Writes n points from the three coordinate arrays.
void Interleave(const float* xs, const float* ys, const float* zs, unsigned int n, KrVPoint* out) {
  unsigned int i = 0;
#if defined(__SSE2__)
  auto* floats = reinterpret_cast<float*>(out);
  for (; i + 4 <= n; i += 4) {
    Interleave4(_mm_loadu_ps(xs + i), _mm_loadu_ps(ys + i), _mm_loadu_ps(zs + i), floats + size_t{i} * 3);
  }
#endif
  for (; i < n; ++i) {
    out[i].SetPoint(xs[i], ys[i], zs[i]);
  }
}

// Moves the points of measured pixels to the front of the row, in order,
// and returns how many there are. Branch-free: every point is stored, and
// its slot is taken again when the pixel holds no sample. With SSE2 a point
// moves as one 16-byte load and store (the 4 extra bytes land on a slot that
// has been read already); the last point moves alone, so nothing is read or
// written past the row.
unsigned int KeepMeasured(const unsigned short* depth, unsigned short noSampleValue, unsigned short skippedValue,
                          unsigned int width, KrVPoint* out) {
  unsigned int kept = 0;
  unsigned int i = 0;
#if defined(__SSE2__)
  auto* bytes = reinterpret_cast<unsigned char*>(out);
  for (; i + 1 < width; ++i) {
    const __m128i point = _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes + size_t{i} * sizeof(KrVPoint)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(bytes + size_t{kept} * sizeof(KrVPoint)), point);
    kept += depth[i] != noSampleValue && depth[i] != skippedValue ? 1u : 0u;
  }
#endif
  for (; i < width; ++i) {
    out[kept] = out[i];
    kept += depth[i] != noSampleValue && depth[i] != skippedValue ? 1u : 0u;
  }
  return kept;
}

unsigned int ConvertRowPortable(const KrVTranslatorRow& row) {
  alignas(64) float xs[kBlock];
  alignas(64) float ys[kBlock];
  alignas(64) float zs[kBlock];
  for (unsigned int first = 0; first < row.width; first += kBlock) {
    const unsigned int n = row.width - first < kBlock ? row.width - first : kBlock;
    ConvertBlock(row.depth + first, row.columnFactors + first, row.rowFactor, row.reciprocalZpd, n, xs, ys, zs);
    Interleave(xs, ys, zs, n, row.out + first);
  }
  return row.skipNoSample ? KeepMeasured(row.depth, row.noSampleValue, row.skippedValue, row.width, row.out) : row.width;
}

#if defined(KRV_X86_KERNELS)

// ---- AVX-512 kernel ----

// Where each of the 48 floats of 16 interleaved points comes from, for three
// 16-float stores: float k is coordinate k % 3 of point k / 3, numbered as
// x 0-15, y 16-31, z 32-47 (a two-source permute takes x and y; the z
// floats, marked in zMask, are put in by a second, masked permute).
struct InterleaveTable {
  alignas(64) int32_t index[3][16];
  uint16_t zMask[3];
};

constexpr InterleaveTable MakeInterleaveTable() {
  InterleaveTable table{};
  for (int k = 0; k < 48; ++k) {
    const int coordinate = k % 3;
    table.index[k / 16][k % 16] = coordinate * 16 + k / 3;
    if (coordinate == 2) {
      table.zMask[k / 16] = static_cast<uint16_t>(table.zMask[k / 16] | (1u << (k % 16)));
    }
  }
  return table;
}

constexpr InterleaveTable kInterleave = MakeInterleaveTable();

__attribute__((target("avx512f"))) inline __m512 JoinHalves(__m256 low, __m256 high) {
  return _mm512_castpd_ps(_mm512_insertf64x4(_mm512_castpd256_pd512(_mm256_castps_pd(low)), _mm256_castps_pd(high), 1));
}

// factor * z * (1 / ZPD) for 16 pixels, as floats.
__attribute__((target("avx512f"))) inline __m512 Coordinates(__m512d factorLow, __m512d factorHigh, __m512d zLow,
                                                             __m512d zHigh, __m512d reciprocal) {
  const __m256 low = _mm512_cvtpd_ps(_mm512_mul_pd(_mm512_mul_pd(factorLow, zLow), reciprocal));
  const __m256 high = _mm512_cvtpd_ps(_mm512_mul_pd(_mm512_mul_pd(factorHigh, zHigh), reciprocal));
  return JoinHalves(low, high);
}

__attribute__((target("avx512f"))) unsigned int ConvertRowAvx512(const KrVTranslatorRow& row) {
  const __m512d rowFactor = _mm512_set1_pd(row.rowFactor);
  const __m512d reciprocal = _mm512_set1_pd(row.reciprocalZpd);
  const __m512i noSample = _mm512_set1_epi32(row.noSampleValue);
  const __m512i skipped = _mm512_set1_epi32(row.skippedValue);
  const __m512i index0 = _mm512_load_si512(kInterleave.index[0]);
  const __m512i index1 = _mm512_load_si512(kInterleave.index[1]);
  const __m512i index2 = _mm512_load_si512(kInterleave.index[2]);
  auto* out = reinterpret_cast<float*>(row.out);
  unsigned int kept = 0;
  unsigned int i = 0;
  for (; i + 16 <= row.width; i += 16) {
    const __m512i depth = _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row.depth + i)));
    __m512 z = _mm512_cvtepi32_ps(depth);
    const __m512d zLow = _mm512_cvtps_pd(_mm512_castps512_ps256(z));
    const __m512d zHigh = _mm512_cvtps_pd(_mm256_castpd_ps(_mm512_extractf64x4_pd(_mm512_castps_pd(z), 1)));
    __m512 x = Coordinates(_mm512_loadu_pd(row.columnFactors + i), _mm512_loadu_pd(row.columnFactors + i + 8), zLow,
                           zHigh, reciprocal);
    __m512 y = Coordinates(rowFactor, rowFactor, zLow, zHigh, reciprocal);
    unsigned int count = 16;
    if (row.skipNoSample) {
      const __mmask16 measured =
          _mm512_cmpneq_epi32_mask(depth, noSample) & _mm512_cmpneq_epi32_mask(depth, skipped);
      x = _mm512_maskz_compress_ps(measured, x);
      y = _mm512_maskz_compress_ps(measured, y);
      z = _mm512_maskz_compress_ps(measured, z);
      count = static_cast<unsigned int>(__builtin_popcount(measured));
    }
    // 16 points are stored whatever count is: the slots past the kept ones
    // lie inside the row (kept <= i) and are scratch.
    float* target = out + size_t{kept} * 3;
    _mm512_storeu_ps(target,
                     _mm512_mask_permutexvar_ps(_mm512_permutex2var_ps(x, index0, y), kInterleave.zMask[0], index0, z));
    _mm512_storeu_ps(target + 16,
                     _mm512_mask_permutexvar_ps(_mm512_permutex2var_ps(x, index1, y), kInterleave.zMask[1], index1, z));
    _mm512_storeu_ps(target + 32,
                     _mm512_mask_permutexvar_ps(_mm512_permutex2var_ps(x, index2, y), kInterleave.zMask[2], index2, z));
    kept += count;
  }
  return KrVConvertTranslatorRowTail(row, i, kept);
}

#endif  // KRV_X86_KERNELS

using RowKernel = unsigned int (*)(const KrVTranslatorRow&);

// The kernel for each choice, on this processor (a missing unit falls back
// to the portable kernel), and its name.
struct Kernels {
  RowKernel chosen[4];
  const char* name[4];
};

Kernels FindKernels() {
  Kernels kernels = {{ConvertRowPortable, ConvertRowPortable, ConvertRowPortable, ConvertRowPortable},
                     {"portable", "portable", "portable", "portable"}};
#if defined(KRV_X86_KERNELS)
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) {
    kernels.chosen[KRV_TRANSLATOR_KERNEL_WIDEST] = KrVConvertTranslatorRowAvx2;
    kernels.chosen[KRV_TRANSLATOR_KERNEL_AVX2] = KrVConvertTranslatorRowAvx2;
    kernels.name[KRV_TRANSLATOR_KERNEL_WIDEST] = "avx2";
    kernels.name[KRV_TRANSLATOR_KERNEL_AVX2] = "avx2";
  }
  if (__builtin_cpu_supports("avx512f")) {
    kernels.chosen[KRV_TRANSLATOR_KERNEL_WIDEST] = ConvertRowAvx512;
    kernels.chosen[KRV_TRANSLATOR_KERNEL_AVX512] = ConvertRowAvx512;
    kernels.name[KRV_TRANSLATOR_KERNEL_WIDEST] = "avx512";
    kernels.name[KRV_TRANSLATOR_KERNEL_AVX512] = "avx512";
  }
#endif
  return kernels;
}

const Kernels& AvailableKernels() {
  static const Kernels kernels = FindKernels();
  return kernels;
}

std::atomic<int> choice{KRV_TRANSLATOR_KERNEL_WIDEST};

}  // namespace

unsigned int KrVConvertTranslatorRow(const KrVTranslatorRow& row) {
  return AvailableKernels().chosen[choice.load(std::memory_order_relaxed)](row);
}

const char* KrVTranslatorKernelName(KrVTranslatorKernel kernel) { return AvailableKernels().name[kernel]; }

bool KrVUseTranslatorKernel(KrVTranslatorKernel kernel) {
  choice.store(kernel, std::memory_order_relaxed);
  return kernel == KRV_TRANSLATOR_KERNEL_PORTABLE ||
         AvailableKernels().chosen[kernel] != AvailableKernels().chosen[KRV_TRANSLATOR_KERNEL_PORTABLE];
}
