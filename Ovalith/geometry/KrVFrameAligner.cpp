#include "KrVFrameAligner.h"

#include "KrVFrameAlignerInternal.h"

#include "../properties/KrVCheckInternal.h"

#include <Tollan/src/sensor/CameraGeometry.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <initializer_list>
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

// A point is hidden at an image pixel whose aligned depth is this much nearer.
constexpr double kHiddenFraction = 0.95;

// What FindImagePixels' search of a row needs: the mapping into the image,
// the image's bounds and the occlusion grid (its scale from the image, its
// last cell and the nearest depth of each cell).
struct PixelSearch {
  const tollan::geometry::DepthMapping* mapping;
  double maxU, maxV, scaleX, scaleY, lastCellX, lastCellY, imageWidth, cellWidth;
  const uint16_t* nearest;
  uint16_t noSample, shadow;
};

// The rest of a row from pixel first on, one pixel at a time.
void SearchRow(const PixelSearch& s, const double base[3], const uint16_t* row, uint32_t first, uint32_t width,
               int* out) {
  const size_t imageWidth = static_cast<size_t>(s.imageWidth), cellWidth = static_cast<size_t>(s.cellWidth);
  const size_t lastCellX = static_cast<size_t>(s.lastCellX), lastCellY = static_cast<size_t>(s.lastCellY);
  for (uint32_t i = first; i < width; ++i) {
    int& found = out[i];
    found = -1;
    const uint16_t d = row[i];
    if (d == s.noSample || d == s.shadow) continue;
    double u, v, w;
    if (!s.mapping->Project(base, i, d, &u, &v, &w)) continue;
    // The nearest pixel: floor(u + 0.5), which for the values the bounds
    // let through (0 <= u + 0.5 < width) is the truncation.
    const double x = u + 0.5, y = v + 0.5;
    if (!(x >= 0 && x < s.maxU && y >= 0 && y < s.maxV)) continue;
    const size_t at = static_cast<size_t>(y) * imageWidth + static_cast<size_t>(x);
    const size_t cell = std::min(static_cast<size_t>(y * s.scaleY), lastCellY) * cellWidth +
                        std::min(static_cast<size_t>(x * s.scaleX), lastCellX);
    const uint16_t seen = s.nearest[cell];
    if (seen != s.noSample && seen < kHiddenFraction * w) continue;  // something nearer is in the way
    found = static_cast<int>(at);
  }
}

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

// The footprints of sixteen pixels of a row, as ProjectRowAvx512 computes
// them: columns a0 .. a1 - 1 and rows b0 .. b1 - 1, the key of each, and
// the lanes that cover a cell at all (kept; their footprints lie in the
// grid, so cell b0 * width + a0 is theirs).
struct Footprints16 {
  __m512i a0, a1, b0, b1, key;
  __mmask16 kept;
};

// The constants of a row's projection, set once per row.
struct RowConstants16 {
  __m512 rowU, rowV, rowW, tU, tV, tW, cx, cy, footX, footY, half, top, one, minusOne, width, height;
  __m512i none, shade, oneInt;
};

KRV_ALIGNER_AVX512_TARGET inline RowConstants16 Constants16(const tollan::geometry::FootprintTerms& m,
                                                            const float rowTerms[3], uint16_t noSample,
                                                            uint16_t shadow) {
  RowConstants16 c;
  c.rowU = _mm512_set1_ps(rowTerms[0]);
  c.rowV = _mm512_set1_ps(rowTerms[1]);
  c.rowW = _mm512_set1_ps(rowTerms[2]);
  c.tU = _mm512_set1_ps(m.tU);
  c.tV = _mm512_set1_ps(m.tV);
  c.tW = _mm512_set1_ps(m.tW);
  c.cx = _mm512_set1_ps(m.cx);
  c.cy = _mm512_set1_ps(m.cy);
  c.footX = _mm512_set1_ps(m.footX);
  c.footY = _mm512_set1_ps(m.footY);
  c.half = _mm512_set1_ps(0.5f);
  c.top = _mm512_set1_ps(65535.5f);
  c.one = _mm512_set1_ps(1.0f);
  c.minusOne = _mm512_set1_ps(-1.0f);
  c.width = _mm512_set1_ps(static_cast<float>(m.width));
  c.height = _mm512_set1_ps(static_cast<float>(m.height));
  c.none = _mm512_set1_epi32(noSample);
  c.shade = _mm512_set1_epi32(shadow);
  c.oneInt = _mm512_set1_epi32(1);
  return c;
}

// ProjectRow of sixteen pixels: depths d, column terms at colU, colV, colW.
KRV_ALIGNER_AVX512_TARGET inline Footprints16 Project16(const RowConstants16& c, __m512i d, const float* colU,
                                                        const float* colV, const float* colW) {
  const __m512 z = _mm512_cvtepi32_ps(d);
  const __m512 x = _mm512_add_ps(_mm512_mul_ps(z, _mm512_add_ps(_mm512_loadu_ps(colU), c.rowU)), c.tU);
  const __m512 y = _mm512_add_ps(_mm512_mul_ps(z, _mm512_add_ps(_mm512_loadu_ps(colV), c.rowV)), c.tV);
  const __m512 w = _mm512_add_ps(_mm512_mul_ps(z, _mm512_add_ps(_mm512_loadu_ps(colW), c.rowW)), c.tW);
  const __mmask16 front = _mm512_cmp_ps_mask(w, c.half, _CMP_GT_OQ) & _mm512_cmp_ps_mask(w, c.top, _CMP_LT_OQ);
  const __m512 iw = _mm512_div_ps(c.one, _mm512_mask_mov_ps(c.one, front, w));
  const __m512 u = _mm512_add_ps(_mm512_mul_ps(x, iw), c.cx), v = _mm512_add_ps(_mm512_mul_ps(y, iw), c.cy);
  const __mmask16 noDepth = _mm512_cmpeq_epi32_mask(d, c.none) | _mm512_cmpeq_epi32_mask(d, c.shade);
  const __mmask16 ok = front & static_cast<__mmask16>(~noDepth);
  const __m512 k = _mm512_maskz_mul_ps(ok, z, iw);
  const __m512 su = _mm512_mul_ps(c.footX, k), sv = _mm512_mul_ps(c.footY, k);
  Footprints16 f;
  f.a0 = ClampedCeil16(_mm512_sub_ps(u, su), c.width);
  f.a1 = ClampedCeil16(_mm512_add_ps(u, su), c.width);
  f.b0 = ClampedCeil16(_mm512_sub_ps(v, sv), c.height);
  f.b1 = ClampedCeil16(_mm512_add_ps(v, sv), c.height);
  const __m512i q = _mm512_cvttps_epi32(_mm512_maskz_add_ps(ok, w, c.half));
  f.kept = _mm512_cmpneq_epi32_mask(f.a0, f.a1) & _mm512_cmpneq_epi32_mask(f.b0, f.b1) &
           _mm512_cmpneq_epi32_mask(q, c.none) & _mm512_cmpneq_epi32_mask(q, c.shade);
  f.key = _mm512_mask_sub_epi32(q, _mm512_cmpgt_epi32_mask(q, c.none), q, c.oneInt);  // DepthKey
  return f;
}

KRV_ALIGNER_AVX512_TARGET void ProjectRowAvx512(const tollan::geometry::FootprintTerms& m, const float rowTerms[3],
                                                const uint16_t* row, uint32_t first, uint32_t last, uint16_t noSample,
                                                uint16_t shadow, tollan::geometry::RowFootprints* f) {
  const RowConstants16 c = Constants16(m, rowTerms, noSample, shadow);
  const __m512i gridWidth = _mm512_set1_epi32(m.width), lastColumn = _mm512_set1_epi32(m.width - 1),
                lastRow = _mm512_set1_epi32(m.height - 1), allOnes = _mm512_set1_epi32(-1);
  uint32_t* const cell = f->cell.data();
  uint32_t* const span = f->span.data();
  uint32_t* const key = f->key.data();
  __m512i widest = _mm512_setzero_si512(), tallest = _mm512_setzero_si512();
  uint32_t i = first;
  for (; i + 16 <= last; i += 16) {
    const __m512i d = _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + i)));
    const Footprints16 p = Project16(c, d, m.colU.data() + i, m.colV.data() + i, m.colW.data() + i);
    _mm512_storeu_si512(key + i, _mm512_mask_mov_epi32(allOnes, p.kept, p.key));
    _mm512_storeu_si512(cell + i, _mm512_add_epi32(_mm512_mullo_epi32(_mm512_min_epi32(p.b0, lastRow), gridWidth),
                                                   _mm512_min_epi32(p.a0, lastColumn)));
    const __m512i wide = _mm512_sub_epi32(p.a1, p.a0), tall = _mm512_sub_epi32(p.b1, p.b0);
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

// The fused AVX-512 mapping (with VBMI2's 16-bit compress, expand and
// permutations): rows are projected and written sixteen pixels at a time
// without the row's footprint arrays. Nearly always (cameras of similar
// resolution beside one another) the kept footprints of sixteen pixels are
// single cells, each the cell after the one before: their keys, packed,
// are then lowered into the two 32-cell lines of the grid that hold them by
// one permutation and one vector min each. Single cells that rise with
// gaps are expanded to the cells hit instead, and any others are written
// cell by cell. Every way gives each cell the smallest key, so the grid is
// the same bytes as WriteFootprints leaves.
#if defined(__clang__)
#define KRV_ALIGNER_FUSED_TARGET __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi2,popcnt")))
#else
#define KRV_ALIGNER_FUSED_TARGET \
  __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi2,popcnt"), optimize("fp-contract=off")))
#endif

// Lowers the footprints of the kept lanes of p one cell at a time.
KRV_ALIGNER_FUSED_TARGET void WriteLanes(const Footprints16& p, uint32_t gridWidth, uint16_t* keys) {
  alignas(64) uint32_t a0[16], a1[16], b0[16], b1[16], key[16];
  _mm512_store_si512(a0, p.a0);
  _mm512_store_si512(a1, p.a1);
  _mm512_store_si512(b0, p.b0);
  _mm512_store_si512(b1, p.b1);
  _mm512_store_si512(key, p.key);
  for (unsigned int kept = p.kept; kept != 0; kept &= kept - 1) {
    const int n = __builtin_ctz(kept);
    const uint16_t q = static_cast<uint16_t>(key[n]);
    for (uint32_t b = b0[n]; b < b1[n]; ++b) {
      uint16_t* const t = keys + size_t{b} * gridWidth;
      for (uint32_t a = a0[n]; a < a1[n]; ++a) t[a] = std::min(t[a], q);
    }
  }
}

// Lowers 32 cells at line to the keys given; in halves of 32 bytes, which
// the next pixels' reads of the same cells take straight from the stores.
KRV_ALIGNER_FUSED_TARGET inline void LowerLine(uint16_t* line, __m512i keys) {
  __m256i* const at = reinterpret_cast<__m256i*>(line);
  _mm256_storeu_si256(at, _mm256_min_epu16(_mm256_loadu_si256(at), _mm512_castsi512_si256(keys)));
  _mm256_storeu_si256(at + 1, _mm256_min_epu16(_mm256_loadu_si256(at + 1), _mm512_extracti64x4_epi64(keys, 1)));
}

KRV_ALIGNER_FUSED_TARGET void MapRowsFused(const tollan::geometry::DepthMapping& mapping, const uint16_t* source,
                                           uint32_t rowFirst, uint32_t rowLast, uint16_t noSample, uint16_t shadow,
                                           uint16_t* keys) {
  const tollan::geometry::FootprintTerms& m = mapping.single;
  const uint32_t n = mapping.from.width;
  const int64_t count = int64_t{m.width} * m.height;
  const __m512i gridWidth = _mm512_set1_epi32(m.width), oneInt = _mm512_set1_epi32(1), window = _mm512_set1_epi32(64),
                one64 = _mm512_set1_epi64(1), lineCells = _mm512_set1_epi32(32);
  const __m512i emptyKeys = _mm512_set1_epi16(-1);
  alignas(64) int16_t positions[32];
  for (int k = 0; k < 32; ++k) positions[k] = static_cast<int16_t>(k);
  const __m512i cellIndex = _mm512_load_si512(positions);
  const __m512i laneIndex = _mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
  uint32_t halfBits, topBits;
  const float halfValue = 0.5f, topValue = 65535.5f;
  std::memcpy(&halfBits, &halfValue, sizeof(halfBits));
  std::memcpy(&topBits, &topValue, sizeof(topBits));
  const __m512i frontLow = _mm512_set1_epi32(static_cast<int32_t>(halfBits + 1)),
                frontSpan = _mm512_set1_epi32(static_cast<int32_t>(topBits - halfBits - 1));
  // Lines of 32 cells start where the grid's addresses are multiples of 64
  // bytes, so that a line written is read back whole by the next pixels.
  const int64_t lineShift = static_cast<int64_t>((reinterpret_cast<uintptr_t>(keys) >> 1) & 31);
  // The last pixels of a row, padded to sixteen: depths and column terms.
  alignas(64) uint16_t tailDepth[16];
  alignas(64) float tailCol[3][16];
  const uint32_t whole = n & ~15u;
  std::memset(tailCol, 0, sizeof(tailCol));
  for (uint32_t i = whole; i < n; ++i) {
    tailCol[0][i - whole] = m.colU[i];
    tailCol[1][i - whole] = m.colV[i];
    tailCol[2][i - whole] = m.colW[i];
  }
  // Per block of sixteen pixels of a row: of the common case, its first
  // cell, its kept lanes and their keys, packed.
  const uint32_t blocks = (n + 15) / 16;
  std::vector<uint8_t> blockFast(blocks);
  std::vector<uint32_t> blockFirst(blocks);
  std::vector<uint16_t> blockKept(blocks), blockKeys(size_t{blocks} * 16);
  for (uint32_t j = rowFirst; j < rowLast; ++j) {
    float rowTerms[3];
    mapping.RowTerms(j, rowTerms);
    const RowConstants16 c = Constants16(m, rowTerms, noSample, shadow);
    const uint16_t* const row = source + size_t{j} * n;
    // Projects the row, sixteen pixels at a time, with no branch on the
    // values (so that the processor overlaps the blocks' long chains), and
    // notes for each block whether it is of the common case, and if so its
    // first cell and packed keys.
    for (uint32_t i = 0, b = 0; i < n; i += 16, ++b) {
      const float *colU = m.colU.data() + i, *colV = m.colV.data() + i, *colW = m.colW.data() + i;
      __m512i d;
      __mmask16 lanes = 0xFFFF;  // the row's pixels
      if (i < whole) {
        d = _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + i)));
      } else {
        std::memset(tailDepth, 0, sizeof(tailDepth));
        std::memcpy(tailDepth, row + i, (n - i) * sizeof(uint16_t));
        d = _mm512_cvtepu16_epi32(_mm256_load_si256(reinterpret_cast<const __m256i*>(tailDepth)));
        colU = tailCol[0];
        colV = tailCol[1];
        colW = tailCol[2];
        lanes = static_cast<__mmask16>((1u << (n - i)) - 1);
      }
      {
        // The common case, tested at once: every footprint of a point with
        // depth inside the grid (so that cutting it changes nothing), those
        // that cover anything single cells, each the cell after the one
        // before. The arithmetic is ProjectRow's, without the cutting and
        // without the masking of lanes that have no depth or lie behind the
        // camera (they are no part of the case; where it fails, the block
        // is projected again as ProjectRow does). Its conditions are
        // reckoned in vectors where they can, since the processor tests few
        // masks at a time.
        const __m512 z = _mm512_cvtepi32_ps(d);
        const __m512 x = _mm512_add_ps(_mm512_mul_ps(z, _mm512_add_ps(_mm512_loadu_ps(colU), c.rowU)), c.tU);
        const __m512 y = _mm512_add_ps(_mm512_mul_ps(z, _mm512_add_ps(_mm512_loadu_ps(colV), c.rowV)), c.tV);
        const __m512 w = _mm512_add_ps(_mm512_mul_ps(z, _mm512_add_ps(_mm512_loadu_ps(colW), c.rowW)), c.tW);
        // 0.5 < w < 65535.5 on the bits of w (positive numbers order as their bits; the others lie above).
        const __mmask16 front =
            _mm512_mask_cmplt_epu32_mask(lanes, _mm512_sub_epi32(_mm512_castps_si512(w), frontLow), frontSpan);
        const __m512 iw = _mm512_div_ps(c.one, w);
        const __m512 u = _mm512_add_ps(_mm512_mul_ps(x, iw), c.cx), v = _mm512_add_ps(_mm512_mul_ps(y, iw), c.cy);
        const __m512 k = _mm512_mul_ps(z, iw);
        const __m512 su = _mm512_mul_ps(c.footX, k), sv = _mm512_mul_ps(c.footY, k);
        constexpr int kUp = _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC;
        const __m512 left = _mm512_sub_ps(u, su), right = _mm512_add_ps(u, su), top = _mm512_sub_ps(v, sv),
                     bottom = _mm512_add_ps(v, sv);
        const __m512i a0 = _mm512_cvt_roundps_epi32(left, kUp), a1 = _mm512_cvt_roundps_epi32(right, kUp);
        const __m512i b0 = _mm512_cvt_roundps_epi32(top, kUp), b1 = _mm512_cvt_roundps_epi32(bottom, kUp);
        const __m512i q = _mm512_cvttps_epi32(_mm512_add_ps(w, c.half));
        const __m512i depth = _mm512_min_epu32(_mm512_xor_si512(d, c.none), _mm512_xor_si512(d, c.shade));  // 0: none
        const __m512i wide = _mm512_sub_epi32(a1, a0), tall = _mm512_sub_epi32(b1, b0);
        const __m512i covers = _mm512_min_epu32(
            _mm512_min_epu32(wide, tall),
            _mm512_min_epu32(_mm512_min_epu32(_mm512_xor_si512(q, c.none), _mm512_xor_si512(q, c.shade)), depth));
        const __mmask16 ok = _mm512_mask_test_epi32_mask(front, depth, depth);
        const __mmask16 kept = _mm512_mask_test_epi32_mask(front, covers, covers);
        // The points with depth whose footprints' edges lie in (-1, width] and (-1, height] (no NaN either),
        // those whose ceilings cutting to the grid leaves as they are.
        __mmask16 inside = _mm512_mask_cmp_ps_mask(ok, left, c.minusOne, _CMP_GT_OQ);
        inside = _mm512_mask_cmp_ps_mask(inside, right, c.width, _CMP_LE_OQ);
        inside = _mm512_mask_cmp_ps_mask(inside, top, c.minusOne, _CMP_GT_OQ);
        inside = _mm512_mask_cmp_ps_mask(inside, bottom, c.height, _CMP_LE_OQ);
        const __m512i cell = _mm512_add_epi32(_mm512_mullo_epi32(b0, gridWidth), a0);
        // Each kept cell less the number of kept lanes before it: the first kept cell where they follow one
        // another.
        const __m512i start = _mm512_sub_epi32(cell, _mm512_maskz_expand_epi32(kept, laneIndex));
        const __m512i first = _mm512_permutexvar_epi32(_mm512_set1_epi32(__builtin_ctz(kept | 0x10000u) & 15), start);
        const __m512i odd = _mm512_or_si512(_mm512_xor_si512(start, first),
                                            _mm512_ternarylogic_epi32(wide, tall, oneInt, 0x56));  // (wide | tall) ^ 1
        const int64_t firstCell = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(first)));
        blockFast[b] = kept != 0 && inside == ok && _mm512_mask_test_epi32_mask(kept, odd, odd) == 0 &&
                       firstCell >= 32 && firstCell + 64 <= count;
        blockFirst[b] = static_cast<uint32_t>(firstCell);
        const __m256i q16 =
            _mm512_cvtepi32_epi16(_mm512_add_epi32(q, _mm512_srai_epi32(_mm512_sub_epi32(c.none, q), 31)));  // DepthKey
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(blockKeys.data() + 16 * size_t{b}),
                            _mm256_maskz_compress_epi16(kept, q16));
        blockKept[b] = kept;
      }
    }
    // Writes them. A block of the common case lowers the two lines of 32
    // cells from its first cell's: its kept keys, packed, are those of the
    // cells from the first on, moved into the lines by one permutation
    // each. The two lines last lowered stay in registers until a block
    // needs others (the next block's first line is most often the second
    // of these), so that a block does not wait for the stores of the one
    // before; they go back to the grid before any block of another case,
    // which is projected again, as ProjectRow does, and written below.
    int64_t held = -1;  // the first cell of the lines in lineA and lineB, or -1
    __m512i lineA = emptyKeys, lineB = emptyKeys;
    for (uint32_t i = 0, b = 0; i < n; i += 16, ++b) {
      if (blockFast[b]) {
        const int64_t firstCell = blockFirst[b];
        const unsigned int shift = static_cast<unsigned int>((firstCell + lineShift) & 31);
        const int64_t base = firstCell - shift;
        const __m512i packedKeys = _mm512_mask_mov_epi16(
            emptyKeys, static_cast<__mmask32>((1u << __builtin_popcount(blockKept[b])) - 1),
            _mm512_castsi256_si512(
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(blockKeys.data() + 16 * size_t{b}))));
        const __m512i from = _mm512_sub_epi16(cellIndex, _mm512_set1_epi16(static_cast<short>(shift)));
        const __mmask32 ahead = static_cast<__mmask32>((uint64_t{1} << shift) - 1);
        if (base != held) {
          if (held >= 0 && base == held + 32) {
            _mm512_storeu_si512(keys + held, lineA);
            lineA = lineB;
            lineB = _mm512_loadu_si512(keys + base + 32);
          } else {
            if (held >= 0) {
              _mm512_storeu_si512(keys + held, lineA);
              _mm512_storeu_si512(keys + held + 32, lineB);
            }
            lineA = _mm512_loadu_si512(keys + base);
            lineB = _mm512_loadu_si512(keys + base + 32);
          }
          held = base;
        }
        lineA = _mm512_min_epu16(
            lineA, _mm512_mask_permutexvar_epi16(emptyKeys, static_cast<__mmask32>(~ahead), from, packedKeys));
        lineB = _mm512_min_epu16(lineB, _mm512_mask_permutexvar_epi16(emptyKeys, ahead, from, packedKeys));
        continue;
      }
      if (held >= 0) {
        _mm512_storeu_si512(keys + held, lineA);
        _mm512_storeu_si512(keys + held + 32, lineB);
        held = -1;
      }
      const float *colU = m.colU.data() + i, *colV = m.colV.data() + i, *colW = m.colW.data() + i;
      __m512i d;
      __mmask16 lanes = 0xFFFF;  // the row's pixels
      if (i < whole) {
        d = _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(row + i)));
      } else {
        std::memset(tailDepth, 0, sizeof(tailDepth));
        std::memcpy(tailDepth, row + i, (n - i) * sizeof(uint16_t));
        d = _mm512_cvtepu16_epi32(_mm256_load_si256(reinterpret_cast<const __m256i*>(tailDepth)));
        colU = tailCol[0];
        colV = tailCol[1];
        colW = tailCol[2];
        lanes = static_cast<__mmask16>((1u << (n - i)) - 1);
      }
      Footprints16 p = Project16(c, d, colU, colV, colW);
      p.kept &= lanes;
      const __mmask16 kept = p.kept;
      if (kept == 0) continue;
      if (_mm512_mask_cmpeq_epi32_mask(kept, _mm512_sub_epi32(p.a1, p.a0), oneInt) == kept &&
          _mm512_mask_cmpeq_epi32_mask(kept, _mm512_sub_epi32(p.b1, p.b0), oneInt) == kept) {
        // Single cells rising with gaps: the packed keys are expanded to the
        // cells hit.
        const __m512i at = _mm512_add_epi32(_mm512_mullo_epi32(p.b0, gridWidth), p.a0);
        const __m512i rising = _mm512_maskz_compress_epi32(kept, at);
        const int64_t firstCell = static_cast<uint32_t>(_mm_cvtsi128_si32(_mm512_castsi512_si128(rising)));
        const int64_t base = ((firstCell + lineShift) & ~int64_t{31}) - lineShift;
        const int used = __builtin_popcount(kept);
        const __mmask16 steps = static_cast<__mmask16>((1u << (used - 1)) - 1);
        const __mmask16 up = _mm512_mask_cmpgt_epu32_mask(steps, _mm512_alignr_epi32(rising, rising, 1), rising);
        const __m512i offset = _mm512_sub_epi32(at, _mm512_set1_epi32(static_cast<int32_t>(base)));
        const __mmask16 inside = _mm512_mask_cmplt_epu32_mask(kept, offset, window);
        if (up == steps && inside == kept && base >= 0 && base + 64 <= count) {
          // Cells hit, as bits of the 64 cells from base.
          const __m512i lowBits = _mm512_maskz_sllv_epi64(static_cast<__mmask8>(kept), one64,
                                                          _mm512_cvtepu32_epi64(_mm512_castsi512_si256(offset)));
          const __m512i highBits = _mm512_maskz_sllv_epi64(static_cast<__mmask8>(kept >> 8), one64,
                                                           _mm512_cvtepu32_epi64(_mm512_extracti64x4_epi64(offset, 1)));
          const uint64_t hit = static_cast<uint64_t>(_mm512_reduce_or_epi64(_mm512_or_si512(lowBits, highBits)));
          const __m256i key16 = _mm512_cvtepi32_epi16(p.key);
          const __mmask16 firstLine = _mm512_mask_cmplt_epu32_mask(kept, offset, lineCells);
          uint16_t* const line = keys + base;
          LowerLine(line,
                    _mm512_mask_expand_epi16(emptyKeys, static_cast<__mmask32>(hit),
                                             _mm512_castsi256_si512(_mm256_maskz_compress_epi16(firstLine, key16))));
          LowerLine(line + 32, _mm512_mask_expand_epi16(emptyKeys, static_cast<__mmask32>(hit >> 32),
                                                        _mm512_castsi256_si512(_mm256_maskz_compress_epi16(
                                                            kept & static_cast<__mmask16>(~firstLine), key16))));
          continue;
        }
      }
      WriteLanes(p, static_cast<uint32_t>(m.width), keys);
    }
    if (held >= 0) {
      _mm512_storeu_si512(keys + held, lineA);
      _mm512_storeu_si512(keys + held + 32, lineB);
    }
  }
}

// FindImagePixels' search of a row, eight pixels at a time: the same
// double-precision operations in the same order as DepthMapping::Project
// and the scalar search (contraction off, as above), so the same pixels.
// The occlusion grid is read by a gather of 32 bits at each cell, so the
// grid holds one cell more than it has.
#if defined(__clang__)
#define KRV_ALIGNER_SEARCH_TARGET __attribute__((target("avx512f,avx512dq,avx512vl")))
#else
#define KRV_ALIGNER_SEARCH_TARGET \
  __attribute__((target("avx512f,avx512dq,avx512vl"), optimize("fp-contract=off")))
#endif

KRV_ALIGNER_SEARCH_TARGET uint32_t SearchRowAvx512(const PixelSearch& s, const double base[3], const uint16_t* row,
                                                   uint32_t width, int* out) {
  const tollan::geometry::DepthMapping& m = *s.mapping;
  const __m512d b0 = _mm512_set1_pd(base[0]), b1 = _mm512_set1_pd(base[1]), b2 = _mm512_set1_pd(base[2]);
  const __m512d c0 = _mm512_set1_pd(m.colStep[0]), c1 = _mm512_set1_pd(m.colStep[1]),
                c2 = _mm512_set1_pd(m.colStep[2]);
  const __m512d t0 = _mm512_set1_pd(m.motion.t[0]), t1 = _mm512_set1_pd(m.motion.t[1]),
                t2 = _mm512_set1_pd(m.motion.t[2]);
  const __m512d fx = _mm512_set1_pd(m.to.fx), fy = _mm512_set1_pd(m.to.fy), cx = _mm512_set1_pd(m.to.cx),
                cy = _mm512_set1_pd(m.to.cy);
  const __m512d zero = _mm512_setzero_pd(), one = _mm512_set1_pd(1.0), half = _mm512_set1_pd(0.5);
  const __m512d maxU = _mm512_set1_pd(s.maxU), maxV = _mm512_set1_pd(s.maxV);
  const __m512d scaleX = _mm512_set1_pd(s.scaleX), scaleY = _mm512_set1_pd(s.scaleY);
  const __m512d lastX = _mm512_set1_pd(s.lastCellX), lastY = _mm512_set1_pd(s.lastCellY);
  const __m512d imageWidth = _mm512_set1_pd(s.imageWidth), cellWidth = _mm512_set1_pd(s.cellWidth);
  const __m512d hidden = _mm512_set1_pd(kHiddenFraction), lanes = _mm512_setr_pd(0, 1, 2, 3, 4, 5, 6, 7);
  const __m256i none = _mm256_set1_epi32(s.noSample), shade = _mm256_set1_epi32(s.shadow),
                low = _mm256_set1_epi32(0xFFFF), missing = _mm256_set1_epi32(-1);
  constexpr int kTruncate = _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC;
  uint32_t i = 0;
  for (; i + 8 <= width; i += 8) {
    const __m256i d = _mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(row + i)));
    const __mmask8 has = static_cast<__mmask8>(~(_mm256_cmpeq_epi32_mask(d, none) | _mm256_cmpeq_epi32_mask(d, shade)));
    const __m512d z = _mm512_cvtepi32_pd(d);
    const __m512d di = _mm512_add_pd(_mm512_set1_pd(static_cast<double>(i)), lanes);
    const __m512d x = _mm512_add_pd(_mm512_mul_pd(z, _mm512_add_pd(b0, _mm512_mul_pd(di, c0))), t0);
    const __m512d y = _mm512_add_pd(_mm512_mul_pd(z, _mm512_add_pd(b1, _mm512_mul_pd(di, c1))), t1);
    const __m512d w = _mm512_add_pd(_mm512_mul_pd(z, _mm512_add_pd(b2, _mm512_mul_pd(di, c2))), t2);
    const __mmask8 front = _mm512_mask_cmp_pd_mask(has, w, zero, _CMP_GT_OQ);
    const __m512d iw = _mm512_div_pd(one, _mm512_mask_mov_pd(one, front, w));
    const __m512d u = _mm512_add_pd(_mm512_mul_pd(_mm512_mul_pd(fx, x), iw), cx);
    const __m512d v = _mm512_add_pd(_mm512_mul_pd(_mm512_mul_pd(fy, y), iw), cy);
    const __m512d nearU = _mm512_add_pd(u, half), nearV = _mm512_add_pd(v, half);
    __mmask8 inside = _mm512_mask_cmp_pd_mask(front, nearU, zero, _CMP_GE_OQ);
    inside = _mm512_mask_cmp_pd_mask(inside, nearU, maxU, _CMP_LT_OQ);
    inside = _mm512_mask_cmp_pd_mask(inside, nearV, zero, _CMP_GE_OQ);
    inside = _mm512_mask_cmp_pd_mask(inside, nearV, maxV, _CMP_LT_OQ);
    const __m512d at = _mm512_add_pd(_mm512_mul_pd(_mm512_roundscale_pd(nearV, kTruncate), imageWidth),
                                     _mm512_roundscale_pd(nearU, kTruncate));
    const __m512d cellU = _mm512_min_pd(_mm512_roundscale_pd(_mm512_mul_pd(nearU, scaleX), kTruncate), lastX);
    const __m512d cellV = _mm512_min_pd(_mm512_roundscale_pd(_mm512_mul_pd(nearV, scaleY), kTruncate), lastY);
    const __m512i cell = _mm512_maskz_cvttpd_epi64(inside, _mm512_add_pd(_mm512_mul_pd(cellV, cellWidth), cellU));
    const __m256i seen = _mm256_and_si256(
        _mm512_mask_i64gather_epi32(_mm256_setzero_si256(), inside, cell, s.nearest, 2), low);
    const __mmask8 nearer = static_cast<__mmask8>(
        _mm512_cmp_pd_mask(_mm512_cvtepi32_pd(seen), _mm512_mul_pd(hidden, w), _CMP_LT_OQ) &
        ~_mm256_cmpeq_epi32_mask(seen, none));
    const __mmask8 found = static_cast<__mmask8>(inside & ~nearer);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i),
                        _mm256_mask_mov_epi32(missing, found, _mm512_cvttpd_epi32(at)));
  }
  return i;
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

// The kernels this processor runs, by KrVAlignerKernel (a missing one falls
// back to the widest that it has), and their names: a row projection for
// WriteFootprints, or a fused mapping of whole rows (null where there is
// none).
using RowMapper = void (*)(const tollan::geometry::DepthMapping& mapping, const uint16_t* source, uint32_t rowFirst,
                           uint32_t rowLast, uint16_t noSample, uint16_t shadow, uint16_t* keys);

constexpr int kKernels = KRV_ALIGNER_KERNEL_AVX512VBMI2 + 1;

struct Kernels {
  tollan::geometry::RowProjector project[kKernels];
  RowMapper fused[kKernels];
  const char* name[kKernels];
};

const Kernels& AvailableKernels() {
  static const Kernels kernels = [] {
    Kernels k;
    for (int n = 0; n < kKernels; ++n) {
      k.project[n] = tollan::geometry::ProjectRow;
      k.fused[n] = nullptr;
      k.name[n] = "portable";
    }
#if defined(KRV_ALIGNER_AVX2)
    auto use = [&k](std::initializer_list<int> kinds, tollan::geometry::RowProjector project, RowMapper fused,
                    const char* name) {
      for (int n : kinds) {
        k.project[n] = project;
        k.fused[n] = fused;
        k.name[n] = name;
      }
    };
    if (__builtin_cpu_supports("avx2")) {
      use({KRV_ALIGNER_KERNEL_WIDEST, KRV_ALIGNER_KERNEL_AVX512, KRV_ALIGNER_KERNEL_AVX2,
           KRV_ALIGNER_KERNEL_AVX512VBMI2},
          ProjectRowAvx2, nullptr, "avx2");
    }
    if (__builtin_cpu_supports("avx512f")) {
      use({KRV_ALIGNER_KERNEL_WIDEST, KRV_ALIGNER_KERNEL_AVX512, KRV_ALIGNER_KERNEL_AVX512VBMI2}, ProjectRowAvx512,
          nullptr, "avx512");
    }
    if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
        __builtin_cpu_supports("avx512vbmi2")) {
      use({KRV_ALIGNER_KERNEL_WIDEST, KRV_ALIGNER_KERNEL_AVX512VBMI2}, ProjectRowAvx512, MapRowsFused, "avx512vbmi2");
    }
#endif
    return k;
  }();
  return kernels;
}

std::atomic<int> choice{KRV_ALIGNER_KERNEL_WIDEST};

// Maps source rows rowFirst .. rowLast - 1 into keys with kernel k.
void MapRows(const Kernels& kernels, int k, const tollan::geometry::DepthMapping& mapping, const uint16_t* source,
             uint32_t rowFirst, uint32_t rowLast, uint16_t noSample, uint16_t shadow, uint16_t* keys) {
  if (kernels.fused[k] != nullptr) return kernels.fused[k](mapping, source, rowFirst, rowLast, noSample, shadow, keys);
  tollan::geometry::MapDepthRows(mapping, source, rowFirst, rowLast, noSample, shadow, keys, kernels.project[k]);
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
  const Kernels& kernels = AvailableKernels();
  const int kernel = choice.load(std::memory_order_relaxed);
  std::memset(out, 0xFF, count * sizeof(uint16_t));  // kEmptyKey in every cell
  uint32_t split = rows;
  std::vector<uint16_t> lower;
  std::thread helper;
  if (threads > 1 && rows > 1) {
    split = rows / 2;
    try {
      lower.assign(count, tollan::geometry::kEmptyKey);
      helper =
          std::thread([&] { MapRows(kernels, kernel, mapping, depth, split, rows, noSample, shadow, lower.data()); });
    } catch (...) {  // no memory or no thread: this thread maps every row
      split = rows;
    }
  }
  MapRows(kernels, kernel, mapping, depth, 0, split, noSample, shadow, out);
  if (helper.joinable()) helper.join();
  KeysToDepths(out, split < rows ? lower.data() : nullptr, count, noSample);
}

// Whether FindImagePixels searches eight pixels at a time: where the chosen
// kernels are AVX-512 ones and every index of an image of imagePixels
// pixels is an int.
bool WideSearch(size_t imagePixels) {
#if defined(KRV_ALIGNER_AVX2)
  static const bool searchable = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
                                 __builtin_cpu_supports("avx512vl");
  return searchable &&
         std::strncmp(AvailableKernels().name[choice.load(std::memory_order_relaxed)], "avx512", 6) == 0 &&
         imagePixels <= size_t{INT32_MAX};
#else
  static_cast<void>(imagePixels);
  return false;
#endif
}

}  // namespace

bool KrVUseAlignerKernel(KrVAlignerKernel kernel) {
  if (kernel < KRV_ALIGNER_KERNEL_WIDEST || kernel >= kKernels) return false;
  choice.store(kernel, std::memory_order_relaxed);
  static const char* const wanted[kKernels] = {nullptr, "avx512", "avx2", "portable", "avx512vbmi2"};
  return kernel == KRV_ALIGNER_KERNEL_WIDEST || std::strcmp(AvailableKernels().name[kernel], wanted[kernel]) == 0;
}

const char* KrVAlignerKernelName(KrVAlignerKernel kernel) {
  if (kernel < KRV_ALIGNER_KERNEL_WIDEST || kernel >= kKernels) return "portable";
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
  // The surfaces nearest the colour camera, z-buffered on a grid no finer
  // than the depth's own sampling: where the image is finer, on the image's
  // grid scaled down to the depth camera's focal lengths (the same field of
  // view), so that each point covers about one cell of it. The depth camera
  // cannot tell occlusion apart more finely, and the z-buffer then costs
  // what the depth frame's size costs, not the image's.
  const double scaleX = std::min(1.0, depth_.fx / image_.fx), scaleY = std::min(1.0, depth_.fy / image_.fy);
  KrVCameraIntrinsics occlusion = image_;
  if (scaleX < 1.0 || scaleY < 1.0) {
    // Cell edges at the image's edges: image coordinate u is cell
    // coordinate (u + 0.5) * scale - 0.5.
    occlusion.width = std::max(1u, static_cast<unsigned int>(std::ceil(image_.width * scaleX)));
    occlusion.height = std::max(1u, static_cast<unsigned int>(std::ceil(image_.height * scaleY)));
    occlusion.fx = image_.fx * scaleX;
    occlusion.fy = image_.fy * scaleY;
    occlusion.cx = (image_.cx + 0.5) * scaleX - 0.5;
    occlusion.cy = (image_.cy + 0.5) * scaleY - 0.5;
  }
  // One cell more: the eight-pixel search reads 32 bits at each cell.
  std::vector<unsigned short> nearest(size_t{occlusion.width} * occlusion.height + 1);
  MapFrame(Mapping(depth_, occlusion, motion_), depth, noSampleValue, shadowValue, nearest.data(), threads_);
  PixelSearch search;
  search.mapping = &mapping;
  search.maxU = image_.width;
  search.maxV = image_.height;
  search.scaleX = scaleX;
  search.scaleY = scaleY;
  search.lastCellX = occlusion.width - 1;
  search.lastCellY = occlusion.height - 1;
  search.imageWidth = image_.width;
  search.cellWidth = occlusion.width;
  search.nearest = nearest.data();
  search.noSample = noSampleValue;
  search.shadow = shadowValue;
  [[maybe_unused]] const bool wide = WideSearch(size_t{image_.width} * image_.height);
  for (unsigned int j = 0; j < depth_.height; ++j) {
    double base[3];
    mapping.RowBase(j, base);
    const size_t row = size_t{j} * depth_.width;
    uint32_t done = 0;
#if defined(KRV_ALIGNER_AVX2)
    if (wide) done = SearchRowAvx512(search, base, depth + row, depth_.width, pixels + row);
#endif
    SearchRow(search, base, depth + row, done, depth_.width, pixels + row);
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
