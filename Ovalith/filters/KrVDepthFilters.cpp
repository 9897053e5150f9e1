// The depth filters and their chain (see KrVDepthFilters.h).
#include "KrVDepthFilters.h"

#include "KrVDepthFiltersInternal.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sstream>
#include <thread>

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace {

// The output frame takes the input's markers and camera, and the size given.
KrStatus Prepare(const KrVDepthImage& input, uint32_t width, uint32_t height, KrVDepthImage& output) {
  if (input.pixels.size() != size_t{input.width} * input.height) return KR_STATUS_QM_BAD_PARAMETER;
  try {
    output.pixels.resize(size_t{width} * height);
  } catch (const std::bad_alloc&) {
    return KR_STATUS_QM_NOT_ENOUGH_MEMORY;
  }
  output.width = width;
  output.height = height;
  output.noSampleValue = input.noSampleValue;
  output.shadowValue = input.shadowValue;
  output.fx = input.fx;
  output.fy = input.fy;
  output.cx = input.cx;
  output.cy = input.cy;
  return KR_STATUS_OK;
}

// Rounded and held to 0..65535 (through a 32-bit integer: the loops that
// use it vectorise).
__attribute__((always_inline)) inline uint16_t ToDepth(float value) {
  const float rounded = value + 0.5f;
  const float held = std::min(std::max(rounded, 0.0f), 65535.0f);
  return static_cast<uint16_t>(static_cast<int32_t>(held));
}

std::string Text(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

// The smoothing works on floats in which a pixel without depth holds kAbsent:
// it differs from every depth by more than the largest delta, so the step
// test alone keeps it apart (it never moves and never moves a neighbour),
// with no mask to read and no branch per pixel.
constexpr float kAbsent = -100000.0f;
// Rows smoothed side by side along x, in a strip transposed so that its
// columns run as rows: enough independent lanes to hide each step's latency.
constexpr size_t kStripRows = 64;
// Columns smoothed down and up together: a block of a VGA frame stays in the
// second-level cache between the two passes.
constexpr size_t kColumnBlock = 128;

// The compiler's vectors of floats and of 32-bit integers, kBytes wide.
template <size_t kBytes>
struct Vectors;
template <>
struct Vectors<16> {
  typedef float Floats __attribute__((vector_size(16)));
  typedef int32_t Ints __attribute__((vector_size(16)));
};
template <>
struct Vectors<32> {
  typedef float Floats __attribute__((vector_size(32)));
  typedef int32_t Ints __attribute__((vector_size(32)));
};

// One recursive step for a row of lanes: each lane moves toward the one
// before it by keep of their difference when that is below delta.
template <size_t kBytes>
__attribute__((always_inline)) inline void Step(float* __restrict row, const float* __restrict before, size_t lanes,
                                                float keep, float delta) {
  // A register of lanes at a time (kBytes: 16 or 32) in the compiler's
  // vectors: the change, or 0 where the step is too large (a mask rather
  // than a branch).
  using Floats = typename Vectors<kBytes>::Floats;
  using Ints = typename Vectors<kBytes>::Ints;
  constexpr size_t kLanes = kBytes / sizeof(float);
  const Floats keeps = Floats{} + keep, deltas = Floats{} + delta;
  size_t x = 0;
  for (; x + kLanes <= lanes; x += kLanes) {
    Floats value, previous;
    std::memcpy(&value, row + x, sizeof value);
    std::memcpy(&previous, before + x, sizeof previous);
    const Floats step = value - previous;
    const Floats size = reinterpret_cast<Floats>(reinterpret_cast<Ints>(step) & 0x7FFFFFFF);
    const Ints near = size < deltas;
    value = value - reinterpret_cast<Floats>(reinterpret_cast<Ints>(keeps * step) & near);
    std::memcpy(row + x, &value, sizeof value);
  }
  // The same in single floats (keep * step times 1 or 0 is exact).
  for (; x < lanes; ++x) {
    const float step = row[x] - before[x];
    const float near = std::fabs(step) < delta ? 1.0f : 0.0f;
    row[x] = row[x] - keep * step * near;
  }
}

// The filter down then up the rows (stride apart) of lanes side by side.
template <size_t kBytes>
__attribute__((always_inline)) inline void SmoothDownUpInline(float* data, size_t lanes, size_t stride, size_t rows,
                                                              float keep, float delta) {
  for (size_t y = 1; y < rows; ++y) Step<kBytes>(data + y * stride, data + (y - 1) * stride, lanes, keep, delta);
  for (size_t y = rows - 1; y-- > 0;) Step<kBytes>(data + y * stride, data + (y + 1) * stride, lanes, keep, delta);
}

// The frame's pixels as floats, kAbsent where there is no depth; and back,
// rounded, where there is (elsewhere the pixel as it came).
__attribute__((always_inline)) inline void LoadInline(const uint16_t* __restrict in, size_t count, uint16_t noSample,
                                                      uint16_t shadow, float* __restrict frame) {
  for (size_t i = 0; i < count; ++i) {
    const int32_t z = in[i];
    const float measured = ((z != noSample) & (z != shadow)) ? 1.0f : 0.0f;
    frame[i] = static_cast<float>(z) * measured + kAbsent * (1.0f - measured);
  }
}
__attribute__((always_inline)) inline void StoreInline(const float* __restrict frame, const uint16_t* __restrict in,
                                                       size_t count, uint16_t* __restrict out) {
  for (size_t i = 0; i < count; ++i) {
    const float value = frame[i];
    const int32_t rounded = ToDepth(value), original = in[i];
    out[i] = static_cast<uint16_t>(value >= 0.0f ? rounded : original);
  }
}
// Whole 2 x 2 blocks of two rows without a branch: the values that are not
// depth sort last (as 0xFFFF), so the lower median is the smallest for one
// or two depths and the second smallest for three or four.
__attribute__((always_inline)) inline void DecimateBy2Inline(const uint16_t* __restrict r0,
                                                             const uint16_t* __restrict r1, size_t blocks,
                                                             uint16_t noSample, uint16_t shadow,
                                                             uint16_t* __restrict out) {
  for (size_t u = 0; u < blocks; ++u) {
    const uint16_t a = r0[2 * u], b = r0[2 * u + 1], c = r1[2 * u], d = r1[2 * u + 1];
    const bool da = (a != noSample) & (a != shadow), db = (b != noSample) & (b != shadow);
    const bool dc = (c != noSample) & (c != shadow), dd = (d != noSample) & (d != shadow);
    const uint16_t sa = da ? a : 0xFFFF, sb = db ? b : 0xFFFF, sc = dc ? c : 0xFFFF, sd = dd ? d : 0xFFFF;
    const uint16_t lo1 = std::min(sa, sb), hi1 = std::max(sa, sb);
    const uint16_t lo2 = std::min(sc, sd), hi2 = std::max(sc, sd);
    const uint16_t first = std::min(lo1, lo2), second = std::min(std::max(lo1, lo2), std::min(hi1, hi2));
    const uint16_t count = static_cast<uint16_t>(da + db + dc + dd);
    const bool shadowed = (a == shadow) | (b == shadow) | (c == shadow) | (d == shadow);
    const uint16_t none = shadowed ? shadow : noSample;
    out[u] = count == 0 ? none : count >= 3 ? second : first;
  }
}
void DecimateBy2(const uint16_t* r0, const uint16_t* r1, size_t blocks, uint16_t noSample, uint16_t shadow,
                 uint16_t* out) {
  DecimateBy2Inline(r0, r1, blocks, noSample, shadow, out);
}

// The temporal filter's pass: each pixel toward its last value (last, 0:
// none), or held through a dropout when enough of the last 8 frames (the
// bits of seen) had a sample.
template <bool kVectors>
__attribute__((always_inline)) inline void TemporalInline(const uint16_t* __restrict in, size_t count,
                                                          uint16_t noSample, uint16_t shadow, float alpha, float delta,
                                                          unsigned needed, float* __restrict last,
                                                          uint8_t* __restrict seen, uint16_t* __restrict out) {
  // Eight pixels at a time in the compiler's vectors, selections (lanes of
  // -1 or 0) rather than branches, the same operations as the pixel-by-pixel
  // loop below; only where they are 256-bit registers (without, the
  // conversions between widths cost more than they save).
  using Floats = float __attribute__((vector_size(32)));
  using Ints = int32_t __attribute__((vector_size(32)));
  using Words = uint16_t __attribute__((vector_size(16)));
  using Bytes = uint8_t __attribute__((vector_size(8)));
  const Ints noSamples = Ints{} + noSample, shadows = Ints{} + shadow, enough = Ints{} + static_cast<int32_t>(needed);
  const Floats alphas = Floats{} + alpha, rests = Floats{} + (1 - alpha), deltas = Floats{} + delta;
  size_t i = 0;
  for (; kVectors && i + 8 <= count; i += 8) {
    Words words;
    Floats before;
    Bytes bits8;
    std::memcpy(&words, in + i, sizeof words);
    std::memcpy(&before, last + i, sizeof before);
    std::memcpy(&bits8, seen + i, sizeof bits8);
    const Ints z = __builtin_convertvector(words, Ints);
    const Ints measured = (z != noSamples) & (z != shadows);
    const Ints bits = __builtin_convertvector(bits8, Ints);
    Ints history = bits - ((bits >> 1) & 0x55);
    history = (history & 0x33) + ((history >> 2) & 0x33);
    history = (history + (history >> 4)) & 0x0F;
    const Bytes next = __builtin_convertvector(((bits << 1) | (measured & 1)) & 0xFF, Bytes);
    std::memcpy(seen + i, &next, sizeof next);
    const Floats depth = __builtin_convertvector(z, Floats);
    const Ints had = before > 0;
    const Floats distance = reinterpret_cast<Floats>(reinterpret_cast<Ints>(depth - before) & 0x7FFFFFFF);
    const Floats mix = alphas * depth + rests * before;
    const Floats blended = (had & (distance < deltas)) ? mix : depth;
    const Ints given = measured | (had & (history >= enough));
    const Floats value = measured ? blended : before;
    std::memcpy(last + i, &value, sizeof value);
    Floats rounded = value + 0.5f;
    rounded = rounded < 0.0f ? Floats{} : rounded;
    rounded = rounded > 65535.0f ? Floats{} + 65535.0f : rounded;
    const Ints whole = __builtin_convertvector(rounded, Ints);
    const Ints off = whole - ((whole == noSamples) | (whole == shadows));
    const Words result = __builtin_convertvector(given ? off : z, Words);
    std::memcpy(out + i, &result, sizeof result);
  }
  for (; i < count; ++i) {
    const uint16_t z = in[i];
    const bool measured = z != noSample && z != shadow;
    const unsigned history = __builtin_popcount(seen[i]);
    seen[i] = static_cast<uint8_t>(seen[i] << 1 | (measured ? 1 : 0));
    float value;
    if (measured) {
      value = last[i] > 0 && std::fabs(z - last[i]) < delta ? alpha * z + (1 - alpha) * last[i] : z;
    } else if (last[i] > 0 && history >= needed) {
      value = last[i];
    } else {
      out[i] = z;
      continue;
    }
    last[i] = value;
    const uint16_t rounded = ToDepth(value);
    // A value that rounds onto a marker would stop being depth.
    out[i] = rounded != noSample && rounded != shadow ? rounded : static_cast<uint16_t>(rounded + 1);
  }
}
void Temporal(const uint16_t* in, size_t count, uint16_t noSample, uint16_t shadow, float alpha, float delta,
              unsigned needed, float* last, uint8_t* seen, uint16_t* out) {
  TemporalInline<false>(in, count, noSample, shadow, alpha, delta, needed, last, seen, out);
}

void Load(const uint16_t* in, size_t count, uint16_t noSample, uint16_t shadow, float* frame) {
  LoadInline(in, count, noSample, shadow, frame);
}
void Store(const float* frame, const uint16_t* in, size_t count, uint16_t* out) { StoreInline(frame, in, count, out); }

// rows[r][x] for r < kStripRows, x < width, into strip[x * kStripRows + r],
// and back (rows past the frame's last point at a spare row).
void ToStrip(const float* const* rows, size_t width, float* strip) {
  for (size_t x = 0; x < width; ++x) {
    for (size_t r = 0; r < kStripRows; ++r) strip[x * kStripRows + r] = rows[r][x];
  }
}
void FromStrip(const float* strip, size_t width, float* const* rows) {
  for (size_t x = 0; x < width; ++x) {
    for (size_t r = 0; r < kStripRows; ++r) rows[r][x] = strip[x * kStripRows + r];
  }
}
void SmoothDownUp(float* data, size_t lanes, size_t stride, size_t rows, float keep, float delta) {
  SmoothDownUpInline<16>(data, lanes, stride, rows, keep, delta);
}
// The same for a strip (a fixed number of lanes: no loop tail).
void SmoothStrip(float* strip, size_t rows, float keep, float delta) {
  SmoothDownUpInline<16>(strip, kStripRows, kStripRows, rows, keep, delta);
}

#if defined(__x86_64__) && defined(__GNUC__)
#define KRV_FILTERS_AVX2 1
// The same steps in 8-lane registers. Only the moves differ (the smoothing
// is the same IEEE operations in the same order, no fused multiply-add), so
// both versions give the same frame bit for bit.

// Eight rows of eight floats (rows[r] + x) into eight columns, in registers.
__attribute__((target("avx2"))) inline void Transpose8(__m256 r[8]) {
  const __m256 t0 = _mm256_unpacklo_ps(r[0], r[1]), t1 = _mm256_unpackhi_ps(r[0], r[1]);
  const __m256 t2 = _mm256_unpacklo_ps(r[2], r[3]), t3 = _mm256_unpackhi_ps(r[2], r[3]);
  const __m256 t4 = _mm256_unpacklo_ps(r[4], r[5]), t5 = _mm256_unpackhi_ps(r[4], r[5]);
  const __m256 t6 = _mm256_unpacklo_ps(r[6], r[7]), t7 = _mm256_unpackhi_ps(r[6], r[7]);
  const __m256 u0 = _mm256_shuffle_ps(t0, t2, 0x44), u1 = _mm256_shuffle_ps(t0, t2, 0xEE);
  const __m256 u2 = _mm256_shuffle_ps(t1, t3, 0x44), u3 = _mm256_shuffle_ps(t1, t3, 0xEE);
  const __m256 u4 = _mm256_shuffle_ps(t4, t6, 0x44), u5 = _mm256_shuffle_ps(t4, t6, 0xEE);
  const __m256 u6 = _mm256_shuffle_ps(t5, t7, 0x44), u7 = _mm256_shuffle_ps(t5, t7, 0xEE);
  r[0] = _mm256_permute2f128_ps(u0, u4, 0x20);
  r[1] = _mm256_permute2f128_ps(u1, u5, 0x20);
  r[2] = _mm256_permute2f128_ps(u2, u6, 0x20);
  r[3] = _mm256_permute2f128_ps(u3, u7, 0x20);
  r[4] = _mm256_permute2f128_ps(u0, u4, 0x31);
  r[5] = _mm256_permute2f128_ps(u1, u5, 0x31);
  r[6] = _mm256_permute2f128_ps(u2, u6, 0x31);
  r[7] = _mm256_permute2f128_ps(u3, u7, 0x31);
}

__attribute__((target("avx2"))) void ToStripAvx2(const float* const* rows, size_t width, float* strip) {
  const size_t whole = width / 8 * 8;
  __m256 block[8];
  for (size_t x = 0; x < whole; x += 8) {
    for (size_t g = 0; g < kStripRows; g += 8) {
      for (size_t r = 0; r < 8; ++r) block[r] = _mm256_loadu_ps(rows[g + r] + x);
      Transpose8(block);
      for (size_t c = 0; c < 8; ++c) _mm256_storeu_ps(strip + (x + c) * kStripRows + g, block[c]);
    }
  }
  for (size_t x = whole; x < width; ++x) {
    for (size_t r = 0; r < kStripRows; ++r) strip[x * kStripRows + r] = rows[r][x];
  }
}

__attribute__((target("avx2"))) void FromStripAvx2(const float* strip, size_t width, float* const* rows) {
  const size_t whole = width / 8 * 8;
  __m256 block[8];
  for (size_t x = 0; x < whole; x += 8) {
    for (size_t g = 0; g < kStripRows; g += 8) {
      for (size_t c = 0; c < 8; ++c) block[c] = _mm256_loadu_ps(strip + (x + c) * kStripRows + g);
      Transpose8(block);
      for (size_t r = 0; r < 8; ++r) _mm256_storeu_ps(rows[g + r] + x, block[r]);
    }
  }
  for (size_t x = whole; x < width; ++x) {
    for (size_t r = 0; r < kStripRows; ++r) rows[r][x] = strip[x * kStripRows + r];
  }
}

__attribute__((target("avx2"))) void DecimateBy2Avx2(const uint16_t* r0, const uint16_t* r1, size_t blocks,
                                                     uint16_t noSample, uint16_t shadow, uint16_t* out) {
  DecimateBy2Inline(r0, r1, blocks, noSample, shadow, out);
}
__attribute__((target("avx2"))) void TemporalAvx2(const uint16_t* in, size_t count, uint16_t noSample, uint16_t shadow,
                                                  float alpha, float delta, unsigned needed, float* last, uint8_t* seen,
                                                  uint16_t* out) {
  TemporalInline<true>(in, count, noSample, shadow, alpha, delta, needed, last, seen, out);
}
__attribute__((target("avx2"))) void LoadAvx2(const uint16_t* in, size_t count, uint16_t noSample, uint16_t shadow,
                                              float* frame) {
  LoadInline(in, count, noSample, shadow, frame);
}
__attribute__((target("avx2"))) void StoreAvx2(const float* frame, const uint16_t* in, size_t count, uint16_t* out) {
  StoreInline(frame, in, count, out);
}

__attribute__((target("avx2"))) void SmoothDownUpAvx2(float* data, size_t lanes, size_t stride, size_t rows, float keep,
                                                      float delta) {
  SmoothDownUpInline<32>(data, lanes, stride, rows, keep, delta);
}
__attribute__((target("avx2"))) void SmoothStripAvx2(float* strip, size_t rows, float keep, float delta) {
  SmoothDownUpInline<32>(strip, kStripRows, kStripRows, rows, keep, delta);
}
#endif

// A frame to smooth from depth to depth: frame holds width x height floats;
// each part's scratch has room for a strip (width * kStripRows) and two
// rows. Only pointers: the kernels of every width read it.
struct SpatialFrame {
  const uint16_t* depth;
  uint16_t noSample, shadow;
  size_t width, height;
  uint32_t iterations;
  float alpha, delta;
  float* frame;
  float* scratch[2];
  uint16_t* out;
};

// The two threads that share a frame: each calls Sync with its own count
// of calls, which returns once both have made as many (spinning a few
// microseconds, then yielding the processor: on a busy machine the other
// thread may be waiting for it).
class PairSync {
 public:
  void Sync(unsigned* calls) {
    *calls += 1;
    arrived_.fetch_add(1, std::memory_order_acq_rel);
    for (unsigned spin = 0; arrived_.load(std::memory_order_acquire) < 2 * *calls; ++spin) {
      if (spin < 256) {
#if defined(__x86_64__) && defined(__GNUC__)
        __builtin_ia32_pause();
#endif
      } else {
        std::this_thread::yield();
      }
    }
  }

 private:
  std::atomic<unsigned> arrived_{0};
};

// The first and the last of count things (halves for two parts).
struct Range {
  size_t begin, end;
};
Range PartOf(size_t count, unsigned part, const PairSync* sync) {
  if (sync == nullptr) return {0, count};
  const size_t half = (count + 1) / 2;
  return part == 0 ? Range{0, half} : Range{half, count};
}

#if defined(__x86_64__) && defined(__GNUC__)
// ---- AVX-512 ----
// The whole smoothing in 16-lane registers, with fewer passes over memory:
// the step left to right runs on each 16 x 16 block of a strip as it is
// turned on its side, the step back on each block before it is turned back,
// and the passes along columns follow a strip's rows while they are in the
// cache (down on the way down the frame, up on the way back, before the
// next iteration's rows). Rows are independent of each other in a pass
// along rows and columns in a pass along columns, so any order that keeps
// each row's (and each column's) own order gives the same frame; the steps
// are the same IEEE operations as above (the delta test compares the
// magnitude's bits as integers, the same order for finite floats).
#define KRV_FILTERS_AVX512 1
// GCC 12 takes the undefined lanes that some of its AVX-512 intrinsics start
// from for uninitialised variables.
#if !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#define KRV_TARGET_AVX512 __attribute__((target("avx2,avx512f,avx512bw,avx512vl,avx512dq")))

// Rows of a strip smoothed side by side: groups of 16 (at most 4).
constexpr size_t kGroupRows = 16;

struct Step512 {
  __m512 keep;
  __m512i delta;  // its bits: below it as an integer is below it as a float
};

KRV_TARGET_AVX512 inline __m512 Toward512(__m512 value, __m512 previous, Step512 s) {
  const __m512 step = _mm512_sub_ps(value, previous);
  const __m512i size = _mm512_and_si512(_mm512_castps_si512(step), _mm512_set1_epi32(0x7FFFFFFF));
  const __mmask16 near = _mm512_cmplt_epi32_mask(size, s.delta);
  return _mm512_mask_sub_ps(value, near, value, _mm512_mul_ps(s.keep, step));
}

// Sixteen rows of sixteen floats into sixteen columns, in registers.
KRV_TARGET_AVX512 inline void Transpose16(__m512 r[16]) {
  __m512 t[16], u[16];
  for (int i = 0; i < 8; ++i) {
    t[2 * i] = _mm512_unpacklo_ps(r[2 * i], r[2 * i + 1]);
    t[2 * i + 1] = _mm512_unpackhi_ps(r[2 * i], r[2 * i + 1]);
  }
  for (int i = 0; i < 4; ++i) {
    u[4 * i + 0] = _mm512_shuffle_ps(t[4 * i], t[4 * i + 2], 0x44);
    u[4 * i + 1] = _mm512_shuffle_ps(t[4 * i], t[4 * i + 2], 0xEE);
    u[4 * i + 2] = _mm512_shuffle_ps(t[4 * i + 1], t[4 * i + 3], 0x44);
    u[4 * i + 3] = _mm512_shuffle_ps(t[4 * i + 1], t[4 * i + 3], 0xEE);
  }
  // u[4 i + j], 128-bit lane l: column 4 l + j of rows 4 i to 4 i + 3.
  for (int j = 0; j < 4; ++j) {
    const __m512 x0 = _mm512_shuffle_f32x4(u[j], u[4 + j], 0x44), x1 = _mm512_shuffle_f32x4(u[j], u[4 + j], 0xEE);
    const __m512 y0 = _mm512_shuffle_f32x4(u[8 + j], u[12 + j], 0x44);
    const __m512 y1 = _mm512_shuffle_f32x4(u[8 + j], u[12 + j], 0xEE);
    r[j] = _mm512_shuffle_f32x4(x0, y0, 0x88);
    r[4 + j] = _mm512_shuffle_f32x4(x0, y0, 0xDD);
    r[8 + j] = _mm512_shuffle_f32x4(x1, y1, 0x88);
    r[12 + j] = _mm512_shuffle_f32x4(x1, y1, 0xDD);
  }
}

// Where rows come from: the frame's floats, or (the first iteration) its
// depth, kAbsent where there is none (as Load).
struct DepthSource {
  const uint16_t* const* rows;
  __m512i noSample, shadow;
  uint16_t noSampleValue, shadowValue;
  KRV_TARGET_AVX512 __m512 Load16(size_t r, size_t x) const {
    const __m512i z = _mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(rows[r] + x)));
    const __mmask16 measured = _mm512_cmpneq_epi32_mask(z, noSample) & _mm512_cmpneq_epi32_mask(z, shadow);
    return _mm512_mask_blend_ps(measured, _mm512_set1_ps(kAbsent), _mm512_cvtepi32_ps(z));
  }
  float Load1(size_t r, size_t x) const {
    const uint16_t z = rows[r][x];
    return z != noSampleValue && z != shadowValue ? static_cast<float>(z) : kAbsent;
  }
};
struct FloatSource {
  const float* const* rows;
  KRV_TARGET_AVX512 __m512 Load16(size_t r, size_t x) const { return _mm512_loadu_ps(rows[r] + x); }
  float Load1(size_t r, size_t x) const { return rows[r][x]; }
};

// One pass along the rows of a strip of kGroups x 16 rows, left to right
// then back: from source into the strip (strip[x * lanes + r]), stepping
// each block of 16 columns as it is turned, then back from the right into
// out (rows past the frame's last point at a spare row).
template <size_t kGroups, typename Source>
__attribute__((noinline)) KRV_TARGET_AVX512 void RowsAvx512(const Source& in, size_t width, float* strip,
                                                            float* const* out, Step512 s) {
  constexpr size_t lanes = kGroups * kGroupRows;
  const size_t whole = width / 16 * 16;
  __m512 previous[kGroups];  // in registers: the loops over the groups unroll
  __m512 r[16];
  for (size_t x = 0; x < width; x += 16) {
    float* block = strip + x * lanes;
    if (x < whole) {
      for (size_t g = 0; g < kGroups; ++g) {
        for (size_t i = 0; i < 16; ++i) r[i] = in.Load16(g * kGroupRows + i, x);
        Transpose16(r);
        for (size_t k = 0; k < 16; ++k) _mm512_storeu_ps(block + k * lanes + g * kGroupRows, r[k]);
      }
    } else {
      for (size_t k = 0; x + k < width; ++k) {
        for (size_t i = 0; i < lanes; ++i) block[k * lanes + i] = in.Load1(i, x + k);
      }
    }
    // The first column steps toward itself: it stays as it is.
    if (x == 0) {
      for (size_t g = 0; g < kGroups; ++g) previous[g] = _mm512_loadu_ps(strip + g * kGroupRows);
    }
    for (size_t k = 0; k < 16 && x + k < width; ++k) {
#pragma GCC unroll 4
      for (size_t g = 0; g < kGroups; ++g) {
        float* at = block + k * lanes + g * kGroupRows;
        previous[g] = Toward512(_mm512_loadu_ps(at), previous[g], s);
        _mm512_storeu_ps(at, previous[g]);
      }
    }
  }
  for (size_t g = 0; g < kGroups; ++g) previous[g] = _mm512_loadu_ps(strip + (width - 1) * lanes + g * kGroupRows);
  for (size_t x = width; x-- > whole;) {
#pragma GCC unroll 4
    for (size_t g = 0; g < kGroups; ++g) {
      float* at = strip + x * lanes + g * kGroupRows;
      previous[g] = Toward512(_mm512_loadu_ps(at), previous[g], s);
      _mm512_storeu_ps(at, previous[g]);
    }
    for (size_t i = 0; i < lanes; ++i) out[i][x] = strip[x * lanes + i];
  }
  for (size_t x = whole; x > 0;) {
    x -= 16;
    float* block = strip + x * lanes;
    for (size_t k = 16; k-- > 0;) {
#pragma GCC unroll 4
      for (size_t g = 0; g < kGroups; ++g) {
        float* at = block + k * lanes + g * kGroupRows;
        previous[g] = Toward512(_mm512_loadu_ps(at), previous[g], s);
        _mm512_storeu_ps(at, previous[g]);
      }
    }
    for (size_t g = 0; g < kGroups; ++g) {
      for (size_t k = 0; k < 16; ++k) r[k] = _mm512_loadu_ps(block + k * lanes + g * kGroupRows);
      Transpose16(r);
      for (size_t i = 0; i < 16; ++i) _mm512_storeu_ps(out[g * kGroupRows + i] + x, r[i]);
    }
  }
}

template <typename Source>
KRV_TARGET_AVX512 void RowsAvx512(size_t groups, const Source& in, size_t width, float* strip, float* const* out,
                                  Step512 s) {
  switch (groups) {
    case 1:
      return RowsAvx512<1>(in, width, strip, out, s);
    case 2:
      return RowsAvx512<2>(in, width, strip, out, s);
    case 3:
      return RowsAvx512<3>(in, width, strip, out, s);
    default:
      return RowsAvx512<4>(in, width, strip, out, s);
  }
}

// One step of count values toward those before them (a pass along columns).
KRV_TARGET_AVX512 inline void TowardRowAvx512(float* row, const float* before, size_t count, Step512 s) {
  size_t x = 0;
  for (; x + 16 <= count; x += 16) {
    _mm512_storeu_ps(row + x, Toward512(_mm512_loadu_ps(row + x), _mm512_loadu_ps(before + x), s));
  }
  if (x < count) {
    const __mmask16 tail = static_cast<__mmask16>((1u << (count - x)) - 1);
    const __m512 value = _mm512_maskz_loadu_ps(tail, row + x), previous = _mm512_maskz_loadu_ps(tail, before + x);
    _mm512_mask_storeu_ps(row + x, tail, Toward512(value, previous, s));
  }
}

// 16 values (those in lanes) back to depth, as Store.
KRV_TARGET_AVX512 inline void StoreAvx512(__m512 value, const uint16_t* in, __mmask16 lanes, uint16_t* out) {
  const __m512 held = _mm512_min_ps(_mm512_max_ps(_mm512_add_ps(value, _mm512_set1_ps(0.5f)), _mm512_setzero_ps()),
                                    _mm512_set1_ps(65535.0f));
  const __m256i rounded = _mm512_cvtepi32_epi16(_mm512_cvttps_epi32(held));
  const __m256i original = _mm256_maskz_loadu_epi16(lanes, in);
  const __mmask16 depth = _mm512_cmp_ps_mask(value, _mm512_setzero_ps(), _CMP_GE_OQ);
  _mm256_mask_storeu_epi16(out, lanes, _mm256_mask_blend_epi16(depth, original, rounded));
}

// count values back to depth, as Store.
KRV_TARGET_AVX512 inline void StoreRowAvx512(const float* frame, const uint16_t* in, size_t count, uint16_t* out) {
  for (size_t x = 0; x < count; x += 16) {
    const size_t left = count - x;
    const __mmask16 lanes = left >= 16 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1u << left) - 1);
    StoreAvx512(_mm512_maskz_loadu_ps(lanes, frame + x), in + x, lanes, out + x);
  }
}

// The last step of count values toward those before them: the result into
// after (the frame keeps the values it had, and need not be written back
// to memory) and back to depth (in, out).
KRV_TARGET_AVX512 inline void LastRowAvx512(const float* row, const float* before, size_t count, float* after,
                                            const uint16_t* in, uint16_t* out, Step512 s) {
  for (size_t x = 0; x < count; x += 16) {
    const size_t left = count - x;
    const __mmask16 lanes = left >= 16 ? static_cast<__mmask16>(0xFFFF) : static_cast<__mmask16>((1u << left) - 1);
    const __m512 value = Toward512(_mm512_maskz_loadu_ps(lanes, row + x), _mm512_maskz_loadu_ps(lanes, before + x), s);
    _mm512_mask_storeu_ps(after + x, lanes, value);
    StoreAvx512(value, in + x, lanes, out + x);
  }
}

// A frame being smoothed: frame holds width x height floats, strip room for
// width * kStripRows, carry and spare width each; depth is the input.
struct Smoothing512 {
  const uint16_t* depth;
  uint16_t noSample, shadow;
  size_t width, height;
  float *frame, *strip, *carry, *spare;
  Step512 s;
};

// The rows of strip j, in iteration pass (the first from depth).
KRV_TARGET_AVX512 void StripRowsAvx512(const Smoothing512& m, size_t j, uint32_t pass) {
  const uint16_t* depthRows[kStripRows];
  const float* inRows[kStripRows];
  float* outRows[kStripRows];
  const size_t y0 = j * kStripRows, n = std::min(kStripRows, m.height - y0);
  const size_t groups = (n + kGroupRows - 1) / kGroupRows;
  // Lanes past the frame smooth a copy of the strip's first row, into spare.
  for (size_t r = 0; r < groups * kGroupRows; ++r) {
    const size_t y = r < n ? y0 + r : y0;
    depthRows[r] = m.depth + y * m.width;
    inRows[r] = m.frame + y * m.width;
    outRows[r] = r < n ? m.frame + y * m.width : m.spare;
  }
  if (pass == 0) {
    const DepthSource source{depthRows, _mm512_set1_epi32(m.noSample), _mm512_set1_epi32(m.shadow), m.noSample,
                             m.shadow};
    RowsAvx512(groups, source, m.width, m.strip, outRows, m.s);
  } else {
    RowsAvx512(groups, FloatSource{inRows}, m.width, m.strip, outRows, m.s);
  }
}

// Down the rows of strip j (from its first, toward the row above).
KRV_TARGET_AVX512 void StripDownAvx512(const Smoothing512& m, size_t j) {
  const size_t y0 = j * kStripRows, end = std::min(m.height, y0 + kStripRows);
  for (size_t y = std::max<size_t>(y0, 1); y < end; ++y) {
    TowardRowAvx512(m.frame + y * m.width, m.frame + (y - 1) * m.width, m.width, m.s);
  }
}

// Up the rows of strip j, toward carry (the row below as the pass up left
// it) then each row below; carry then holds the strip's first row.
KRV_TARGET_AVX512 void StripUpAvx512(const Smoothing512& m, size_t j) {
  const size_t y0 = j * kStripRows, end = std::min(m.height, y0 + kStripRows), width = m.width;
  const float* below = end < m.height ? m.carry : m.frame + (end - 1) * width;
  for (size_t y = end < m.height ? end : end - 1; y-- > y0;) {
    float* row = m.frame + y * width;
    TowardRowAvx512(row, below, width, m.s);
    below = row;
  }
  std::memcpy(m.carry, m.frame + y0 * width, width * sizeof(float));
}

// Down then up columns x0 to x1 of the whole frame; with out, the last
// pass: each row back to depth once it is final.
KRV_TARGET_AVX512 void ColumnsAvx512(const Smoothing512& m, size_t x0, size_t x1, uint16_t* out) {
  if (x0 >= x1) return;
  const size_t lanes = x1 - x0, width = m.width, last = (m.height - 1) * width + x0;
  float* column = m.frame + x0;
  for (size_t y = 1; y < m.height; ++y) TowardRowAvx512(column + y * width, column + (y - 1) * width, lanes, m.s);
  if (out != nullptr) StoreRowAvx512(m.frame + last, m.depth + last, lanes, out + last);
  for (size_t y = m.height - 1; y-- > 0;) {
    TowardRowAvx512(column + y * width, column + (y + 1) * width, lanes, m.s);
    if (out != nullptr) StoreRowAvx512(column + y * width, m.depth + y * width + x0, lanes, out + y * width + x0);
  }
}

// Part of a frame's smoothing (the whole of it without sync).
KRV_TARGET_AVX512 void SpatialAvx512(const SpatialFrame& f, unsigned part, PairSync* sync) {
  float* scratch = f.scratch[part];
  Smoothing512 m{f.depth,
                 f.noSample,
                 f.shadow,
                 f.width,
                 f.height,
                 f.frame,
                 scratch,
                 scratch + f.width * kStripRows,
                 scratch + f.width * (kStripRows + 1),
                 {}};
  m.s.keep = _mm512_set1_ps(1 - f.alpha);
  m.s.delta = _mm512_castps_si512(_mm512_set1_ps(f.delta));
  const size_t strips = (f.height + kStripRows - 1) / kStripRows;
  if (sync != nullptr) {
    // Two threads: the rows of half the strips, then the columns of half
    // the frame (as wide as the registers allow), in turn.
    const Range mine = PartOf(strips, part, sync);
    const size_t split = std::min(f.width, (f.width / 2 + 15) / 16 * 16);
    const size_t x0 = part == 0 ? 0 : split, x1 = part == 0 ? split : f.width;
    unsigned calls = 0;
    for (uint32_t pass = 0; pass < f.iterations; ++pass) {
      for (size_t j = mine.begin; j < mine.end; ++j) StripRowsAvx512(m, j, pass);
      sync->Sync(&calls);
      ColumnsAvx512(m, x0, x1, pass + 1 == f.iterations ? f.out : nullptr);
      if (pass + 1 < f.iterations) sync->Sync(&calls);
    }
    return;
  }
  // Iteration 0's rows with its pass down on the way down the frame; on the
  // way back its pass up and the next iteration's rows; and so on; then the
  // last pass down, and the last pass up with the frame back to depth.
  for (size_t j = 0; j < strips; ++j) {
    StripRowsAvx512(m, j, 0);
    StripDownAvx512(m, j);
  }
  for (uint32_t pass = 1; pass < f.iterations; ++pass) {
    for (size_t j = strips; j-- > 0;) {
      StripUpAvx512(m, j);
      StripRowsAvx512(m, j, pass);
    }
    for (size_t j = 0; j < strips; ++j) StripDownAvx512(m, j);
  }
  // The last pass up, each row into one of two rows of the strip (now free)
  // on its way back to depth.
  const size_t width = f.width, last = (f.height - 1) * width;
  StoreRowAvx512(f.frame + last, f.depth + last, width, f.out + last);
  const float* below = f.frame + last;
  for (size_t y = f.height - 1; y-- > 0;) {
    float* after = m.strip + (y & 1) * width;
    LastRowAvx512(f.frame + y * width, below, width, after, f.depth + y * width, f.out + y * width, m.s);
    below = after;
  }
}
#if !defined(__clang__)
#pragma GCC diagnostic pop
#endif
#endif

// The whole smoothing from depth to depth, where a kernel set has one.
typedef void (*SpatialKernel)(const SpatialFrame&, unsigned part, PairSync* sync);

struct KernelSet {
  void (*load)(const uint16_t*, size_t, uint16_t, uint16_t, float*);
  void (*store)(const float*, const uint16_t*, size_t, uint16_t*);
  void (*toStrip)(const float* const*, size_t, float*);
  void (*fromStrip)(const float*, size_t, float* const*);
  void (*smooth)(float*, size_t, size_t, size_t, float, float);
  void (*smoothStrip)(float*, size_t, float, float);
  void (*decimateBy2)(const uint16_t*, const uint16_t*, size_t, uint16_t, uint16_t, uint16_t*);
  void (*temporal)(const uint16_t*, size_t, uint16_t, uint16_t, float, float, unsigned, float*, uint8_t*, uint16_t*);
  SpatialKernel spatial;  // or null: the smoothing from the pieces above
};

std::atomic<int> chosenKernel{KRV_FILTER_KERNEL_WIDEST};

bool HasAvx2() {
#if defined(KRV_FILTERS_AVX2)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  return avx2;
#else
  return false;
#endif
}

bool HasAvx512() {
#if defined(KRV_FILTERS_AVX512)
  static const bool avx512 = HasAvx2() && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                             __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
  return avx512;
#else
  return false;
#endif
}

// The kernels a choice runs on this processor: the widest it has, at most
// the one asked for.
enum Width { kPortable, kAvx2, kAvx512 };
Width WidthOf(int kernel) {
  if (kernel == KRV_FILTER_KERNEL_PORTABLE || !HasAvx2()) return kPortable;
  return kernel == KRV_FILTER_KERNEL_WIDEST && HasAvx512() ? kAvx512 : kAvx2;
}

const KernelSet& Kernels() {
  static const KernelSet portable = {Load,        Store,       ToStrip,  FromStrip, SmoothDownUp,
                                     SmoothStrip, DecimateBy2, Temporal, nullptr};
#if defined(KRV_FILTERS_AVX2)
  static const KernelSet avx2 = {LoadAvx2,        StoreAvx2,       ToStripAvx2,  FromStripAvx2, SmoothDownUpAvx2,
                                 SmoothStripAvx2, DecimateBy2Avx2, TemporalAvx2, nullptr};
  static const KernelSet avx512 = {LoadAvx2,        StoreAvx2,       ToStripAvx2,  FromStripAvx2, SmoothDownUpAvx2,
                                   SmoothStripAvx2, DecimateBy2Avx2, TemporalAvx2, SpatialAvx512};
  switch (WidthOf(chosenKernel.load(std::memory_order_relaxed))) {
    case kAvx512:
      return avx512;
    case kAvx2:
      return avx2;
    case kPortable:
      break;
  }
#endif
  return portable;
}

// iterations times: along every row (left to right, then back), then along
// every column (down, then up), from depth to depth. With sync, part of it:
// the rows of half the strips, then half the blocks of columns, in turn.
void SmoothFrame(const KernelSet& k, const SpatialFrame& f, unsigned part, PairSync* sync) {
  const size_t width = f.width, height = f.height;
  const float keep = 1 - f.alpha, delta = f.delta;
  float* frame = f.frame;
  float* strip = f.scratch[part];
  float* absentRow = strip + width * kStripRows;  // reads past the frame's last row
  float* spareRow = absentRow + width;            // writes past it
  std::fill(absentRow, absentRow + width, kAbsent);
  const Range strips = PartOf((height + kStripRows - 1) / kStripRows, part, sync);
  const Range blocks = PartOf((width + kColumnBlock - 1) / kColumnBlock, part, sync);
  const size_t first = strips.begin * kStripRows * width, end = std::min(height, strips.end * kStripRows) * width;
  if (end > first) k.load(f.depth + first, end - first, f.noSample, f.shadow, frame + first);
  const float* in[kStripRows];
  float* out[kStripRows];
  unsigned calls = 0;
  for (uint32_t pass = 0; pass < f.iterations; ++pass) {
    for (size_t y0 = strips.begin * kStripRows; y0 < strips.end * kStripRows; y0 += kStripRows) {
      for (size_t r = 0; r < kStripRows; ++r) {
        const bool inside = y0 + r < height;
        in[r] = inside ? frame + (y0 + r) * width : absentRow;
        out[r] = inside ? frame + (y0 + r) * width : spareRow;
      }
      k.toStrip(in, width, strip);
      k.smoothStrip(strip, width, keep, delta);
      k.fromStrip(strip, width, out);
    }
    if (sync != nullptr) sync->Sync(&calls);
    for (size_t x0 = blocks.begin * kColumnBlock; x0 < blocks.end * kColumnBlock; x0 += kColumnBlock) {
      k.smooth(frame + x0, std::min(kColumnBlock, width - x0), width, height, keep, delta);
    }
    if (sync != nullptr) sync->Sync(&calls);
  }
  if (end > first) k.store(frame + first, f.depth + first, end - first, f.out + first);
}

void SmoothPart(const KernelSet* k, const SpatialFrame* f, unsigned part, PairSync* sync) {
  if (k->spatial != nullptr) {
    k->spatial(*f, part, sync);
  } else {
    SmoothFrame(*k, *f, part, sync);
  }
}

}  // namespace

void KrVUseFilterKernel(KrVFilterKernel kernel) { chosenKernel.store(kernel, std::memory_order_relaxed); }

const char* KrVFilterKernelName(KrVFilterKernel kernel) {
  static const char* const kNames[] = {"portable", "avx2", "avx512"};
  return kNames[WidthOf(kernel)];
}

// ---- decimation ----

KrVDecimationFilter::KrVDecimationFilter(uint32_t factor) : factor_(factor >= 2 && factor <= 4 ? factor : 2) {}

KrStatus KrVDecimationFilter::SetFactor(uint32_t factor) {
  if (factor < 2 || factor > 4) return KR_STATUS_QM_BAD_PARAMETER;
  factor_ = factor;
  return KR_STATUS_OK;
}

KrStatus KrVDecimationFilter::Apply(const KrVDepthImage& input, KrVDepthImage& output) {
  const uint32_t k = factor_;
  const uint32_t width = (input.width + k - 1) / k, height = (input.height + k - 1) / k;
  const KrStatus status = Prepare(input, width, height, output);
  if (status != KR_STATUS_OK) return status;
  // Output pixel (u, v) stands where input pixel (k u, k v) stood.
  output.fx = input.fx / k;
  output.fy = input.fy / k;
  output.cx = input.cx / k;
  output.cy = input.cy / k;
  const uint16_t* in = input.pixels.data();
  const uint16_t noSample = input.noSampleValue, shadow = input.shadowValue;
  const KernelSet& kernels = Kernels();
  // One block, clipped at the frame's border.
  const auto block = [&](uint32_t u, uint32_t v) {
    uint16_t depths[16];
    size_t count = 0;
    bool shadowed = false;
    for (uint32_t y = v * k; y < std::min(input.height, v * k + k); ++y) {
      for (uint32_t x = u * k; x < std::min(input.width, u * k + k); ++x) {
        const uint16_t z = in[size_t{y} * input.width + x];
        if (input.IsDepth(z)) {
          depths[count++] = z;
        } else {
          shadowed = shadowed || z == shadow;
        }
      }
    }
    if (count == 0) return shadowed ? shadow : noSample;
    // The lower median: always a depth that was measured.
    std::nth_element(depths, depths + (count - 1) / 2, depths + count);
    return depths[(count - 1) / 2];
  };
  for (uint32_t v = 0; v < height; ++v) {
    uint16_t* out = output.pixels.data() + size_t{v} * width;
    uint32_t u = 0;
    if (k == 2 && 2 * v + 1 < input.height) {
      const uint16_t* r0 = in + size_t{2 * v} * input.width;
      u = input.width / 2;
      kernels.decimateBy2(r0, r0 + input.width, u, noSample, shadow, out);
    }
    for (; u < width; ++u) out[u] = block(u, v);
  }
  return KR_STATUS_OK;
}

std::string KrVDecimationFilter::Describe() const { return "decimate=" + std::to_string(factor_); }

// ---- spatial ----

KrVSpatialFilter::KrVSpatialFilter(double alpha, double delta, uint32_t iterations)
    : alpha_(0.5), delta_(60), iterations_(2), threads_(1) {
  SetOptions(alpha, delta, iterations);
}

KrStatus KrVSpatialFilter::SetOptions(double alpha, double delta, uint32_t iterations) {
  if (!(alpha > 0 && alpha <= 1) || !(delta >= 1 && delta <= 1000) || iterations < 1 || iterations > 5) {
    return KR_STATUS_QM_BAD_PARAMETER;
  }
  alpha_ = alpha;
  delta_ = delta;
  iterations_ = iterations;
  return KR_STATUS_OK;
}

KrStatus KrVSpatialFilter::Apply(const KrVDepthImage& input, KrVDepthImage& output) {
  const KrStatus status = Prepare(input, input.width, input.height, output);
  if (status != KR_STATUS_OK) return status;
  const size_t count = input.pixels.size(), width = input.width, height = input.height;
  if (count == 0) return KR_STATUS_OK;
  // The frame, then for each thread a strip and two rows.
  const size_t scratch = width * (kStripRows + 2);
  bool two = threads_ > 1 && height > kStripRows;
  try {
    work_.resize(count + (two ? 2 : 1) * scratch);
  } catch (const std::bad_alloc&) {
    return KR_STATUS_QM_NOT_ENOUGH_MEMORY;
  }
  const KernelSet& kernels = Kernels();
  float* frame = work_.data();
  const SpatialFrame f = {input.pixels.data(),
                          input.noSampleValue,
                          input.shadowValue,
                          width,
                          height,
                          iterations_,
                          static_cast<float>(alpha_),
                          static_cast<float>(delta_),
                          frame,
                          {frame + count, frame + count + (two ? scratch : 0)},
                          output.pixels.data()};
  if (two) {
    PairSync sync;
    std::thread helper;
    try {
      helper = std::thread(SmoothPart, &kernels, &f, 1u, &sync);
    } catch (...) {  // no thread: this one smooths the whole frame
      two = false;
    }
    if (two) {
      SmoothPart(&kernels, &f, 0, &sync);
      helper.join();
      return KR_STATUS_OK;
    }
  }
  SmoothPart(&kernels, &f, 0, nullptr);
  return KR_STATUS_OK;
}

void KrVSpatialFilter::SetThreads(unsigned int threads) { threads_ = threads < 2 ? 1 : 2; }

std::string KrVSpatialFilter::Describe() const {
  return "spatial=" + Text(alpha_) + ":" + Text(delta_) + ":" + std::to_string(iterations_);
}

// ---- temporal ----

KrVTemporalFilter::KrVTemporalFilter(double alpha, double delta, uint32_t persistence)
    : alpha_(0.4), delta_(60), persistence_(3) {
  SetOptions(alpha, delta, persistence);
}

KrStatus KrVTemporalFilter::SetOptions(double alpha, double delta, uint32_t persistence) {
  if (!(alpha > 0 && alpha <= 1) || !(delta >= 1 && delta <= 1000) || persistence > 8) {
    return KR_STATUS_QM_BAD_PARAMETER;
  }
  alpha_ = alpha;
  delta_ = delta;
  persistence_ = persistence;
  return KR_STATUS_OK;
}

void KrVTemporalFilter::Reset() {
  width_ = height_ = 0;
  last_.clear();
  seen_.clear();
}

KrStatus KrVTemporalFilter::Apply(const KrVDepthImage& input, KrVDepthImage& output) {
  const KrStatus status = Prepare(input, input.width, input.height, output);
  if (status != KR_STATUS_OK) return status;
  const size_t count = input.pixels.size();
  if (width_ != input.width || height_ != input.height || last_.size() != count) {
    Reset();
    try {
      last_.assign(count, 0.0f);
      seen_.assign(count, 0);
    } catch (const std::bad_alloc&) {
      return KR_STATUS_QM_NOT_ENOUGH_MEMORY;
    }
    width_ = input.width;
    height_ = input.height;
  }
  const auto alpha = static_cast<float>(alpha_), delta = static_cast<float>(delta_);
  // Persistence 0 holds nothing: no history reaches 9 samples.
  const unsigned needed = persistence_ > 0 ? persistence_ : 9;
  Kernels().temporal(input.pixels.data(), count, input.noSampleValue, input.shadowValue, alpha, delta, needed,
                     last_.data(), seen_.data(), output.pixels.data());
  return KR_STATUS_OK;
}

std::string KrVTemporalFilter::Describe() const {
  return "temporal=" + Text(alpha_) + ":" + Text(delta_) + ":" + std::to_string(persistence_);
}

// ---- holes ----

KrVHoleFillingFilter::KrVHoleFillingFilter(KrVHoleFill mode) : mode_(mode) {}

KrStatus KrVHoleFillingFilter::SetMode(int mode) {
  if (mode < KRV_HOLE_FILL_LEFT || mode > KRV_HOLE_FILL_FARTHEST) return KR_STATUS_QM_BAD_PARAMETER;
  mode_ = static_cast<KrVHoleFill>(mode);
  return KR_STATUS_OK;
}

KrStatus KrVHoleFillingFilter::Apply(const KrVDepthImage& input, KrVDepthImage& output) {
  const KrStatus status = Prepare(input, input.width, input.height, output);
  if (status != KR_STATUS_OK) return status;
  const size_t width = input.width, height = input.height;
  std::copy(input.pixels.begin(), input.pixels.end(), output.pixels.begin());
  for (size_t y = 0; y < height; ++y) {
    for (size_t x = 0; x < width; ++x) {
      uint16_t& pixel = output.pixels[y * width + x];
      if (input.IsDepth(pixel)) continue;
      // Left and above are filled already; right and below as measured.
      uint16_t candidates[4];
      size_t count = 0;
      const auto offer = [&](uint16_t z) {
        if (input.IsDepth(z)) candidates[count++] = z;
      };
      if (x > 0) offer(output.pixels[y * width + x - 1]);
      if (mode_ != KRV_HOLE_FILL_LEFT) {
        if (y > 0) offer(output.pixels[(y - 1) * width + x]);
        if (x + 1 < width) offer(input.pixels[y * width + x + 1]);
        if (y + 1 < height) offer(input.pixels[(y + 1) * width + x]);
      }
      if (count == 0) continue;
      pixel = mode_ == KRV_HOLE_FILL_NEAREST ? *std::min_element(candidates, candidates + count)
                                             : *std::max_element(candidates, candidates + count);
    }
  }
  return KR_STATUS_OK;
}

std::string KrVHoleFillingFilter::Describe() const {
  static const char* const kNames[] = {"left", "nearest", "farthest"};
  return std::string("holes=") + kNames[mode_];
}

// ---- flying pixels ----

KrVFlyingPixelFilter::KrVFlyingPixelFilter(double delta, double ratio, uint32_t minimum)
    : delta_(30), ratio_(0.02), minimum_(2) {
  SetOptions(delta, ratio, minimum);
}

KrStatus KrVFlyingPixelFilter::SetOptions(double delta, double ratio, uint32_t minimum) {
  if (!(delta >= 1 && delta <= 1000) || !(ratio >= 0 && ratio <= 1) || minimum < 1 || minimum > 8) {
    return KR_STATUS_QM_BAD_PARAMETER;
  }
  delta_ = delta;
  ratio_ = ratio;
  minimum_ = minimum;
  return KR_STATUS_OK;
}

KrStatus KrVFlyingPixelFilter::Apply(const KrVDepthImage& input, KrVDepthImage& output) {
  const KrStatus status = Prepare(input, input.width, input.height, output);
  if (status != KR_STATUS_OK) return status;
  const int64_t width = input.width, height = input.height;
  for (int64_t y = 0; y < height; ++y) {
    for (int64_t x = 0; x < width; ++x) {
      const uint16_t z = input.pixels[y * width + x];
      uint16_t& out = output.pixels[y * width + x];
      out = z;
      if (!input.IsDepth(z)) continue;
      const double near = std::max(delta_, ratio_ * z);
      uint32_t agreeing = 0, neighbours = 0;
      for (int64_t dy = -1; dy <= 1; ++dy) {
        for (int64_t dx = -1; dx <= 1; ++dx) {
          const int64_t nx = x + dx, ny = y + dy;
          if ((dx == 0 && dy == 0) || nx < 0 || ny < 0 || nx >= width || ny >= height) continue;
          ++neighbours;
          const uint16_t n = input.pixels[ny * width + nx];
          agreeing += input.IsDepth(n) && std::abs(static_cast<double>(n) - z) <= near ? 1 : 0;
        }
      }
      // At the frame's border fewer neighbours are asked for.
      if (agreeing < std::min(minimum_, neighbours)) out = input.noSampleValue;
    }
  }
  return KR_STATUS_OK;
}

std::string KrVFlyingPixelFilter::Describe() const { return "flying=" + Text(delta_); }

// ---- chain ----

namespace {

bool Number(const std::string& text, double* value) {
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && std::isfinite(*value);
}

// "A:B:C" into up to count numbers (those not given keep their value).
bool Numbers(const std::string& text, double* values, size_t count) {
  std::istringstream parts(text);
  std::string part;
  size_t n = 0;
  while (std::getline(parts, part, ':')) {
    if (n == count || !Number(part, &values[n])) return false;
    ++n;
  }
  return n > 0;
}

bool Whole(double value) { return value == std::floor(value) && value >= 0 && value <= 1000; }

}  // namespace

KrStatus KrVDepthFilterChain::Parse(const std::string& text, std::string* error) {
  std::vector<std::unique_ptr<KrVDepthFilter>> parsed;
  std::istringstream items(text);
  std::string item;
  while (std::getline(items, item, ',')) {
    const size_t equals = item.find('=');
    const std::string name = item.substr(0, equals);
    const bool valued = equals != std::string::npos;
    const std::string value = valued ? item.substr(equals + 1) : std::string();
    KrStatus status = KR_STATUS_QM_BAD_PARAMETER;
    if (name == "decimate") {
      double factor = 2;
      auto filter = std::make_unique<KrVDecimationFilter>();
      if ((!valued || (Number(value, &factor) && Whole(factor))) &&
          (status = filter->SetFactor(static_cast<uint32_t>(factor))) == KR_STATUS_OK) {
        parsed.push_back(std::move(filter));
      }
    } else if (name == "spatial" || name == "temporal") {
      const bool spatial = name == "spatial";
      double values[3] = {spatial ? 0.5 : 0.4, 60, spatial ? 2.0 : 3.0};
      if (!valued || (Numbers(value, values, 3) && Whole(values[2]))) {
        if (spatial) {
          auto filter = std::make_unique<KrVSpatialFilter>();
          status = filter->SetOptions(values[0], values[1], static_cast<uint32_t>(values[2]));
          if (status == KR_STATUS_OK) parsed.push_back(std::move(filter));
        } else {
          auto filter = std::make_unique<KrVTemporalFilter>();
          status = filter->SetOptions(values[0], values[1], static_cast<uint32_t>(values[2]));
          if (status == KR_STATUS_OK) parsed.push_back(std::move(filter));
        }
      }
    } else if (name == "holes") {
      const int mode = !valued || value == "farthest" ? KRV_HOLE_FILL_FARTHEST
                       : value == "nearest"           ? KRV_HOLE_FILL_NEAREST
                       : value == "left"              ? KRV_HOLE_FILL_LEFT
                                                      : -1;
      auto filter = std::make_unique<KrVHoleFillingFilter>();
      if ((status = filter->SetMode(mode)) == KR_STATUS_OK) parsed.push_back(std::move(filter));
    } else if (name == "flying") {
      double delta = 30;
      auto filter = std::make_unique<KrVFlyingPixelFilter>();
      if ((!valued || Number(value, &delta)) && (status = filter->SetOptions(delta, 0.02, 2)) == KR_STATUS_OK) {
        parsed.push_back(std::move(filter));
      }
    }
    if (status != KR_STATUS_OK) {
      if (error != nullptr) {
        *error = "\"" + item +
                 "\" is not a filter (decimate=2|3|4, spatial[=ALPHA:DELTA:ITERATIONS], "
                 "temporal[=ALPHA:DELTA:PERSISTENCE], holes[=left|nearest|farthest], flying[=DELTA])";
      }
      return KR_STATUS_QM_BAD_PARAMETER;
    }
  }
  if (parsed.empty()) {
    if (error != nullptr) *error = "no filter named";
    return KR_STATUS_QM_BAD_PARAMETER;
  }
  filters_ = std::move(parsed);
  stages_.clear();
  return KR_STATUS_OK;
}

void KrVDepthFilterChain::Add(std::unique_ptr<KrVDepthFilter> filter) {
  if (filter != nullptr) filters_.push_back(std::move(filter));
}

KrStatus KrVDepthFilterChain::Apply(const KrVDepthImage& input, KrVDepthImage& output) {
  if (filters_.empty()) {
    if (input.pixels.size() != size_t{input.width} * input.height) return KR_STATUS_QM_BAD_PARAMETER;
    output = input;
    return KR_STATUS_OK;
  }
  stages_.resize(filters_.size() - 1);
  const KrVDepthImage* from = &input;
  for (size_t i = 0; i < filters_.size(); ++i) {
    KrVDepthImage& to = i + 1 == filters_.size() ? output : stages_[i];
    const KrStatus status = filters_[i]->Apply(*from, to);
    if (status != KR_STATUS_OK) return status;
    from = &to;
  }
  return KR_STATUS_OK;
}

void KrVDepthFilterChain::Reset() {
  for (auto& filter : filters_) filter->Reset();
}

std::string KrVDepthFilterChain::Describe() const {
  std::string text;
  for (const auto& filter : filters_) text += (text.empty() ? "" : ",") + filter->Describe();
  return text;
}
