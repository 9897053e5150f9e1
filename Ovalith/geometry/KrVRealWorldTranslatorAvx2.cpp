// The AVX2 row kernel of KrVRealWorldTranslator's whole-frame conversion, for
// x86-64 processors without AVX-512 (most of them).
//
// Eight pixels per step, all in registers: the depths widen to floats (Z) and
// to doubles, X and Y are factor * Z * (1 / ZPD) as two separately rounded
// double products converted to float, exactly as the per-point conversion
// computes them. No fused multiply-add: it would round once where the per-point
// conversion rounds twice, and the results must agree to the bit. The
// conversions are what the step waits for (four double-to-float conversions,
// each busier than a multiplication), so the depths become doubles without one:
// a depth written into the low mantissa bits of the double 2^52 makes the
// double 2^52 + depth, and one exact subtraction leaves the depth. Rows that keep every pixel
// interleave the eight points by 128-bit halves (points 0-3 and 4-7) and write
// each half with three 16-byte stores: on processors with a single shuffle
// port, joining the halves into 32-byte stores took three more shuffles
// (llvm-mca, Skylake model: 21 cycles per eight pixels, now 18). Rows that skip pixels without a sample write
// each point as 16 bytes at its place among the kept ones (a table gives the
// places for each mask of measured pixels), lowest first: a point's fourth
// float, and a skipped pixel's whole point, land where the next kept point then
// goes.
#include <Ovalith/geometry/KrVRealWorldTranslatorInternal.h>

#if defined(KRV_TRANSLATOR_X86_KERNELS)

#include <immintrin.h>

#include <cstdint>

#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#endif

namespace {

// For each 8-bit mask of measured pixels, where each pixel's point goes:
// byte k is 12 times the number of measured pixels before pixel k.
struct PlaceTable {
  uint64_t offsets[256];
};

constexpr PlaceTable MakePlaceTable() {
  PlaceTable table{};
  for (unsigned int mask = 0; mask < 256; ++mask) {
    uint64_t offsets = 0;
    unsigned int kept = 0;
    for (unsigned int lane = 0; lane < 8; ++lane) {
      offsets |= uint64_t{kept * sizeof(KrVPoint)} << (8 * lane);
      kept += (mask >> lane) & 1u;
    }
    table.offsets[mask] = offsets;
  }
  return table;
}

constexpr PlaceTable kPlaces = MakePlaceTable();

// float(factor * z * reciprocal) for four pixels.
__attribute__((target("avx2"))) inline __m128 Coordinates4(__m256d factor, __m256d z, __m256d reciprocal) {
  return _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_mul_pd(factor, z), reciprocal));
}

// Eight points from eight x, y and z (points 0-3 in the low halves, 4-7 in
// the high halves), as 24 floats at target.
__attribute__((target("avx2"))) inline void Interleave8(__m256 x, __m256 y, __m256 z, float* target) {
  const __m256 xyLow = _mm256_unpacklo_ps(x, y);                                // x0 y0 x1 y1 | x4 y4 x5 y5
  const __m256 xyHigh = _mm256_unpackhi_ps(x, y);                               // x2 y2 x3 y3 | x6 y6 x7 y7
  const __m256 zxLow = _mm256_unpacklo_ps(z, x);                                // z0 x0 z1 x1 | ...
  const __m256 zxHigh = _mm256_unpackhi_ps(z, x);                               // z2 x2 z3 x3 | ...
  const __m256 yzLow = _mm256_unpacklo_ps(y, z);                                // y0 z0 y1 z1 | ...
  const __m256 yzHigh = _mm256_unpackhi_ps(y, z);                               // y2 z2 y3 z3 | ...
  const __m256 a = _mm256_shuffle_ps(xyLow, zxLow, _MM_SHUFFLE(3, 0, 1, 0));    // x0 y0 z0 x1 | x4 y4 z4 x5
  const __m256 b = _mm256_shuffle_ps(yzLow, xyHigh, _MM_SHUFFLE(1, 0, 3, 2));   // y1 z1 x2 y2 | y5 z5 x6 y6
  const __m256 c = _mm256_shuffle_ps(zxHigh, yzHigh, _MM_SHUFFLE(3, 2, 3, 0));  // z2 x3 y3 z3 | z6 x7 y7 z7
  // Points 0-3 are the low halves of a, b and c, points 4-7 their high
  // halves: six 16-byte stores, no shuffle across the halves.
  _mm_storeu_ps(target, _mm256_castps256_ps128(a));
  _mm_storeu_ps(target + 4, _mm256_castps256_ps128(b));
  _mm_storeu_ps(target + 8, _mm256_castps256_ps128(c));
  _mm_storeu_ps(target + 12, _mm256_extractf128_ps(a, 1));
  _mm_storeu_ps(target + 16, _mm256_extractf128_ps(b, 1));
  _mm_storeu_ps(target + 20, _mm256_extractf128_ps(c, 1));
}

// Eight points from eight x, y and z (as for Interleave8), point k written
// as 16 bytes (x, y, z and a spare float) at target + byte k of offsets, in
// the order of k. With kRoomAfter false the last point is written as 8 + 4
// bytes, so nothing lands past the row's last point slot.
template <bool kRoomAfter>
__attribute__((target("avx2"))) inline void Scatter8(__m256 x, __m256 y, __m256 z, unsigned char* target,
                                                     uint64_t offsets) {
  // Each 128-bit half on its own: four (x, y, z, z) points per register pair.
  const __m256 xyLow = _mm256_unpacklo_ps(x, y);                             // x0 y0 x1 y1 | x4 y4 x5 y5
  const __m256 xyHigh = _mm256_unpackhi_ps(x, y);                            // x2 y2 x3 y3 | x6 y6 x7 y7
  const __m256 p04 = _mm256_shuffle_ps(xyLow, z, _MM_SHUFFLE(0, 0, 1, 0));   // x0 y0 z0 z0 | x4 y4 z4 z4
  const __m256 p15 = _mm256_shuffle_ps(xyLow, z, _MM_SHUFFLE(1, 1, 3, 2));   // x1 y1 z1 z1 | x5 y5 z5 z5
  const __m256 p26 = _mm256_shuffle_ps(xyHigh, z, _MM_SHUFFLE(2, 2, 1, 0));  // x2 y2 z2 z2 | x6 y6 z6 z6
  const __m256 p37 = _mm256_shuffle_ps(xyHigh, z, _MM_SHUFFLE(3, 3, 3, 2));  // x3 y3 z3 z3 | x7 y7 z7 z7
  auto at = [&](unsigned int k) { return reinterpret_cast<float*>(target + ((offsets >> (8 * k)) & 0xFFu)); };
  _mm_storeu_ps(at(0), _mm256_castps256_ps128(p04));
  _mm_storeu_ps(at(1), _mm256_castps256_ps128(p15));
  _mm_storeu_ps(at(2), _mm256_castps256_ps128(p26));
  _mm_storeu_ps(at(3), _mm256_castps256_ps128(p37));
  _mm_storeu_ps(at(4), _mm256_extractf128_ps(p04, 1));
  _mm_storeu_ps(at(5), _mm256_extractf128_ps(p15, 1));
  _mm_storeu_ps(at(6), _mm256_extractf128_ps(p26, 1));
  const __m128 p7 = _mm256_extractf128_ps(p37, 1);
  if (kRoomAfter) {
    _mm_storeu_ps(at(7), p7);
  } else {
    _mm_storel_pi(reinterpret_cast<__m64*>(at(7)), p7);
    _mm_store_ss(at(7) + 2, _mm_movehl_ps(p7, p7));
  }
}

// Four depths from memory as doubles, without a conversion instruction.
__attribute__((target("avx2"))) inline __m256d Depths4(const unsigned short* depth) {
  const __m256i twoTo52Bits = _mm256_set1_epi64x(0x4330000000000000LL);
  const __m256i widened = _mm256_cvtepu16_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(depth)));
  return _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(widened, twoTo52Bits)), _mm256_set1_pd(4503599627370496.0));
}

// What every step of a row uses, kept in registers.
struct RowConstants {
  __m256d rowFactor;
  __m256d reciprocal;
  __m256i noSample;
};

// Converts the eight pixels at depth and writes their points at target
// (when kSkip, only the measured ones, in order); returns the number kept.
// The slots past the kept points up to the eighth (and, with kRoomAfter,
// the first float of the ninth) may be written: they must be room of the
// row, and are scratch.
template <bool kSkip, bool kRoomAfter>
__attribute__((target("avx2"))) inline unsigned int ConvertBlock8(const unsigned short* depth,
                                                                  const double* columnFactors, const RowConstants& k,
                                                                  float* target) {
  const __m256i depth32 = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(depth)));
  const __m256 z = _mm256_cvtepi32_ps(depth32);
  const __m256d zLow = Depths4(depth);
  const __m256d zHigh = Depths4(depth + 4);
  const __m256 x = _mm256_set_m128(Coordinates4(_mm256_loadu_pd(columnFactors + 4), zHigh, k.reciprocal),
                                   Coordinates4(_mm256_loadu_pd(columnFactors), zLow, k.reciprocal));
  const __m256 y =
      _mm256_set_m128(Coordinates4(k.rowFactor, zHigh, k.reciprocal), Coordinates4(k.rowFactor, zLow, k.reciprocal));
  if (kSkip) {
    const auto measured =
        static_cast<unsigned int>(~_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(depth32, k.noSample)))) &
        0xFFu;
    Scatter8<kRoomAfter>(x, y, z, reinterpret_cast<unsigned char*>(target), kPlaces.offsets[measured]);
    return static_cast<unsigned int>(__builtin_popcount(measured));
  }
  Interleave8(x, y, z, target);
  return 8;
}

template <bool kSkip>
__attribute__((target("avx2"))) unsigned int ConvertRow(const KrVTranslatorRow& row) {
  const RowConstants k = {_mm256_set1_pd(row.rowFactor), _mm256_set1_pd(row.reciprocalZpd),
                          _mm256_set1_epi32(row.noSampleValue)};
  // Copies, so that the stores through out do not make the compiler read the
  // row again at every step.
  const unsigned short* depth = row.depth;
  const double* columnFactors = row.columnFactors;
  const unsigned int width = row.width;
  auto* out = reinterpret_cast<float*>(row.out);
  unsigned int kept = 0;
  unsigned int i = 0;
  // The slots from the kept-th point on lie inside the row (kept <= i);
  // while a pixel follows the block, so does the ninth.
  for (; i + 8 < width; i += 8) {
    kept += ConvertBlock8<kSkip, true>(depth + i, columnFactors + i, k, out + size_t{kept} * 3);
  }
  if (i + 8 == width) {
    kept += ConvertBlock8<kSkip, false>(depth + i, columnFactors + i, k, out + size_t{kept} * 3);
    i += 8;
  }
  return KrVConvertTranslatorRowTail(row, i, kept);
}

}  // namespace

__attribute__((target("avx2"))) unsigned int KrVConvertTranslatorRowAvx2(const KrVTranslatorRow& row) {
  return row.skipNoSample ? ConvertRow<true>(row) : ConvertRow<false>(row);
}

#endif  // KRV_TRANSLATOR_X86_KERNELS
