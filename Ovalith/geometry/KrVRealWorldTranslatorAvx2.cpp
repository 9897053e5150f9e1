// The AVX2 row kernel of KrVRealWorldTranslator's whole-frame conversion, for
// x86-64 processors without AVX-512 (most of them).
//
// X and Y are factor * Z * (1 / ZPD) as two separately rounded double
// products converted to float, exactly as the per-point conversion computes
// them. No fused multiply-add: it would round once where the per-point
// conversion rounds twice, and the results must agree to the bit. The depths
// become doubles without a conversion instruction: a depth written into the
// low mantissa bits of the double 2^52 makes the double 2^52 + depth, and one
// exact subtraction leaves the depth.
//
// Rows that keep every pixel are computed in the order of their output. Four
// pixels are twelve floats, x0 y0 z0 x1 | y1 z1 x2 y2 | z2 x3 y3 z3: three
// vectors of four doubles, each lane factor * depth * reciprocal with the
// column's factor in an x lane, the row's in a y lane and 1, 1 in a z lane
// (1 * Z * 1 is Z exactly). Each vector converts to the four floats of one
// 16-byte store. Nothing is shuffled after the products: the step waits on
// the conversions and multiplications, where interleaving separate X, Y and Z
// vectors waited on the shuffle units (llvm-mca, eight pixels: Skylake 20 to
// 16.6 cycles, Zen 3 15 to 13).
//
// Rows that skip pixels without a sample compute eight X, Y and Z at a time
// and write each point as 16 bytes at its place among the kept ones (a table
// gives the places for each mask of measured pixels), lowest first: a
// point's fourth float, and a skipped pixel's whole point, land where the
// next kept point then goes.
#include <Ovalith/geometry/KrVRealWorldTranslatorInternal.h>

#if defined(KRV_TRANSLATOR_X86_KERNELS)

#include <immintrin.h>

#include <cstdint>
#include <cstring>

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
// the high halves), point k written
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
  __m256i skipped;
};

// Converts the eight pixels at depth and writes the points of the measured
// ones at target, in order; returns the number kept. The slots past the kept
// points up to the eighth (and, with kRoomAfter, the first float of the
// ninth) may be written: they must be room of the row, and are scratch.
template <bool kRoomAfter>
__attribute__((target("avx2"))) inline unsigned int ConvertMeasured8(const unsigned short* depth,
                                                                     const double* columnFactors,
                                                                     const RowConstants& k, float* target) {
  const __m256i depth32 = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(depth)));
  const __m256 z = _mm256_cvtepi32_ps(depth32);
  const __m256d zLow = Depths4(depth);
  const __m256d zHigh = Depths4(depth + 4);
  const __m256 x = _mm256_set_m128(Coordinates4(_mm256_loadu_pd(columnFactors + 4), zHigh, k.reciprocal),
                                   Coordinates4(_mm256_loadu_pd(columnFactors), zLow, k.reciprocal));
  const __m256 y =
      _mm256_set_m128(Coordinates4(k.rowFactor, zHigh, k.reciprocal), Coordinates4(k.rowFactor, zLow, k.reciprocal));
  const auto measured =
      static_cast<unsigned int>(~_mm256_movemask_ps(_mm256_castsi256_ps(_mm256_or_si256(
          _mm256_cmpeq_epi32(depth32, k.noSample), _mm256_cmpeq_epi32(depth32, k.skipped))))) &
      0xFFu;
  Scatter8<kRoomAfter>(x, y, z, reinterpret_cast<unsigned char*>(target), kPlaces.offsets[measured]);
  return static_cast<unsigned int>(__builtin_popcount(measured));
}

// pshufb indices that make the 64-bit lane "depth k + 2^52" from a register
// whose 128-bit halves each hold four depths in bytes 0-7 and the exponent
// bits of 2^52 (0x4330) in bytes 8-9.
#define KRV_DEPTH_LANE(k) (2 * (k)), (2 * (k) + 1), -1, -1, -1, -1, 8, 9

// What a row that keeps every pixel uses at every step, kept in registers.
struct OrderedRowConstants {
  __m256d rowFactor;
  __m256d reciprocals[3];  // the reciprocal, 1 in the z lanes
  __m256i depthLanes[3];   // the depth in each lane of the three vectors
  __m256i exponent;
  __m256d twoTo52;
};

// One vector of four lanes (see ConvertOrdered4) as four floats at target;
// kRowLanes has a bit set for each y lane.
template <int kRowLanes>
__attribute__((target("avx2"))) inline void ConvertOrderedLanes(__m256i source, __m256i depthLanes,
                                                                const double* lanes, __m256d reciprocals,
                                                                const OrderedRowConstants& k, float* target) {
  const __m256d z = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_shuffle_epi8(source, depthLanes)), k.twoTo52);
  const __m256d factors = _mm256_blend_pd(_mm256_loadu_pd(lanes), k.rowFactor, kRowLanes);
  _mm_storeu_ps(target, _mm256_cvtpd_ps(_mm256_mul_pd(_mm256_mul_pd(factors, z), reciprocals)));
}

// Four pixels' twelve floats, in order, at target; lanes holds their twelve
// column lanes (KrVSpreadColumnFactors).
__attribute__((target("avx2"))) inline void ConvertOrdered4(const unsigned short* depth, const double* lanes,
                                                            const OrderedRowConstants& k, float* target) {
  int64_t fourDepths;
  std::memcpy(&fourDepths, depth, sizeof(fourDepths));
  const __m256i source = _mm256_blend_epi32(_mm256_set1_epi64x(fourDepths), k.exponent, 0b11001100);
  ConvertOrderedLanes<0b0010>(source, k.depthLanes[0], lanes, k.reciprocals[0], k, target);      // x0 y0 z0 x1
  ConvertOrderedLanes<0b1001>(source, k.depthLanes[1], lanes + 4, k.reciprocals[1], k, target + 4);  // y1 z1 x2 y2
  ConvertOrderedLanes<0b0100>(source, k.depthLanes[2], lanes + 8, k.reciprocals[2], k, target + 8);  // z2 x3 y3 z3
}

__attribute__((target("avx2"))) unsigned int ConvertMeasuredRow(const KrVTranslatorRow& row) {
  const RowConstants k = {_mm256_set1_pd(row.rowFactor), _mm256_set1_pd(row.reciprocalZpd),
                          _mm256_set1_epi32(row.noSampleValue), _mm256_set1_epi32(row.skippedValue)};
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
    kept += ConvertMeasured8<true>(depth + i, columnFactors + i, k, out + size_t{kept} * 3);
  }
  if (i + 8 == width) {
    kept += ConvertMeasured8<false>(depth + i, columnFactors + i, k, out + size_t{kept} * 3);
    i += 8;
  }
  return KrVConvertTranslatorRowTail(row, i, kept);
}

__attribute__((target("avx2"))) unsigned int ConvertWholeRow(const KrVTranslatorRow& row) {
  const __m256d reciprocal = _mm256_set1_pd(row.reciprocalZpd);
  const __m256d one = _mm256_set1_pd(1.0);
  const OrderedRowConstants k = {
      _mm256_set1_pd(row.rowFactor),
      {_mm256_blend_pd(reciprocal, one, 0b0100), _mm256_blend_pd(reciprocal, one, 0b0010),
       _mm256_blend_pd(reciprocal, one, 0b1001)},
      {_mm256_setr_epi8(KRV_DEPTH_LANE(0), KRV_DEPTH_LANE(0), KRV_DEPTH_LANE(0), KRV_DEPTH_LANE(1)),
       _mm256_setr_epi8(KRV_DEPTH_LANE(1), KRV_DEPTH_LANE(1), KRV_DEPTH_LANE(2), KRV_DEPTH_LANE(2)),
       _mm256_setr_epi8(KRV_DEPTH_LANE(2), KRV_DEPTH_LANE(3), KRV_DEPTH_LANE(3), KRV_DEPTH_LANE(3))},
      _mm256_set1_epi64x(0x4330),
      _mm256_set1_pd(4503599627370496.0)};
  const unsigned short* depth = row.depth;
  const double* lanes = row.columnLanes;
  const unsigned int width = row.width;
  auto* out = reinterpret_cast<float*>(row.out);
  unsigned int i = 0;
  for (; i + 4 <= width; i += 4) {
    ConvertOrdered4(depth + i, lanes + size_t{i} * 3, k, out + size_t{i} * 3);
  }
  return KrVConvertTranslatorRowTail(row, i, i);
}

}  // namespace

__attribute__((target("avx2"))) unsigned int KrVConvertTranslatorRowAvx2(const KrVTranslatorRow& row) {
  return row.skipNoSample ? ConvertMeasuredRow(row) : ConvertWholeRow(row);
}

#endif  // KRV_TRANSLATOR_X86_KERNELS
