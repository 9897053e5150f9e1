// The AVX2 row kernel of KrVRealWorldTranslator's whole-frame conversion,
// for x86-64 processors without AVX-512 (most of them).
//
// Eight pixels per step, all in registers: the depths widen to floats (Z)
// and to doubles, X and Y are factor * Z * (1 / ZPD) as two separately
// rounded double products converted to float, exactly as the per-point
// conversion computes them. No fused multiply-add: it would round once
// where the per-point conversion rounds twice, and the results must agree
// to the bit. Pixels without a sample are packed away with a table of lane
// permutations, then the eight points are interleaved by 128-bit halves
// (points 0-3 and 4-7) and written with three 32-byte stores.
#include <Ovalith/geometry/KrVRealWorldTranslatorInternal.h>

#if defined(KRV_TRANSLATOR_X86_KERNELS)

#include <immintrin.h>

#include <cstdint>

#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#endif

namespace {

// For each 8-bit mask of pixels to keep, the lanes that hold them, lowest
// first, one byte per lane (the lanes past the kept ones repeat lane 0 and
// are scratch).
struct PackTable {
  uint64_t lanes[256];
};

constexpr PackTable MakePackTable() {
  PackTable table{};
  for (unsigned int mask = 0; mask < 256; ++mask) {
    uint64_t lanes = 0;
    unsigned int kept = 0;
    for (unsigned int lane = 0; lane < 8; ++lane) {
      if ((mask >> lane) & 1u) {
        lanes |= uint64_t{lane} << (8 * kept++);
      }
    }
    table.lanes[mask] = lanes;
  }
  return table;
}

constexpr PackTable kPack = MakePackTable();

// float(factor * z * reciprocal) for four pixels.
__attribute__((target("avx2"))) inline __m128 Coordinates4(__m256d factor, __m256d z, __m256d reciprocal) {
  return _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_mul_pd(factor, z), reciprocal));
}

// Eight points from eight x, y and z (points 0-3 in the low halves, 4-7 in
// the high halves), as 24 floats at target.
__attribute__((target("avx2"))) inline void Interleave8(__m256 x, __m256 y, __m256 z, float* target) {
  const __m256 xyLow = _mm256_unpacklo_ps(x, y);   // x0 y0 x1 y1 | x4 y4 x5 y5
  const __m256 xyHigh = _mm256_unpackhi_ps(x, y);  // x2 y2 x3 y3 | x6 y6 x7 y7
  const __m256 zxLow = _mm256_unpacklo_ps(z, x);   // z0 x0 z1 x1 | ...
  const __m256 zxHigh = _mm256_unpackhi_ps(z, x);  // z2 x2 z3 x3 | ...
  const __m256 yzLow = _mm256_unpacklo_ps(y, z);   // y0 z0 y1 z1 | ...
  const __m256 yzHigh = _mm256_unpackhi_ps(y, z);  // y2 z2 y3 z3 | ...
  const __m256 a = _mm256_shuffle_ps(xyLow, zxLow, _MM_SHUFFLE(3, 0, 1, 0));    // x0 y0 z0 x1 | x4 y4 z4 x5
  const __m256 b = _mm256_shuffle_ps(yzLow, xyHigh, _MM_SHUFFLE(1, 0, 3, 2));   // y1 z1 x2 y2 | y5 z5 x6 y6
  const __m256 c = _mm256_shuffle_ps(zxHigh, yzHigh, _MM_SHUFFLE(3, 2, 3, 0));  // z2 x3 y3 z3 | z6 x7 y7 z7
  _mm256_storeu_ps(target, _mm256_permute2f128_ps(a, b, 0x20));
  _mm256_storeu_ps(target + 8, _mm256_permute2f128_ps(c, a, 0x30));
  _mm256_storeu_ps(target + 16, _mm256_permute2f128_ps(b, c, 0x31));
}

}  // namespace

__attribute__((target("avx2"))) unsigned int KrVConvertTranslatorRowAvx2(const KrVTranslatorRow& row) {
  const __m256d rowFactor = _mm256_set1_pd(row.rowFactor);
  const __m256d reciprocal = _mm256_set1_pd(row.reciprocalZpd);
  const __m256i noSample = _mm256_set1_epi32(row.noSampleValue);
  auto* out = reinterpret_cast<float*>(row.out);
  unsigned int kept = 0;
  unsigned int i = 0;
  for (; i + 8 <= row.width; i += 8) {
    const __m256i depth = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row.depth + i)));
    __m256 z = _mm256_cvtepi32_ps(depth);
    // Depths are whole numbers below 2^16: as doubles they equal double(float(depth)).
    const __m256d zLow = _mm256_cvtepi32_pd(_mm256_castsi256_si128(depth));
    const __m256d zHigh = _mm256_cvtepi32_pd(_mm256_extracti128_si256(depth, 1));
    __m256 x = _mm256_set_m128(Coordinates4(_mm256_loadu_pd(row.columnFactors + i + 4), zHigh, reciprocal),
                               Coordinates4(_mm256_loadu_pd(row.columnFactors + i), zLow, reciprocal));
    __m256 y = _mm256_set_m128(Coordinates4(rowFactor, zHigh, reciprocal), Coordinates4(rowFactor, zLow, reciprocal));
    unsigned int count = 8;
    if (row.skipNoSample) {
      const auto measured =
          static_cast<unsigned int>(~_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(depth, noSample)))) &
          0xFFu;
      const __m256i lanes = _mm256_cvtepu8_epi32(_mm_cvtsi64_si128(static_cast<long long>(kPack.lanes[measured])));
      x = _mm256_permutevar8x32_ps(x, lanes);
      y = _mm256_permutevar8x32_ps(y, lanes);
      z = _mm256_permutevar8x32_ps(z, lanes);
      count = static_cast<unsigned int>(__builtin_popcount(measured));
    }
    // Eight points are stored whatever count is: the slots past the kept
    // ones lie inside the row (kept <= i) and are scratch.
    Interleave8(x, y, z, out + size_t{kept} * 3);
    kept += count;
  }
  return KrVConvertTranslatorRowTail(row, i, kept);
}

#endif  // KRV_TRANSLATOR_X86_KERNELS
