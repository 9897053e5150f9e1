// CRC-32 by carry-less multiplication folding (Crc32.h).
#include <Tollan/src/file/Crc32.h>
#include <Tollan/src/file/RecordingFormat.h>

#include <zlib.h>

#include <atomic>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TOLLAN_CRC_FOLDING 1
#include <immintrin.h>
#endif

namespace tollan {
namespace recording {
namespace crc {
namespace {

uint32_t Zlib(const void* data, size_t size, uint32_t crc) {
  // zlib answers a null buffer with the initial value, which would drop crc.
  if (size == 0) {
    return crc;
  }
  return uint32_t(crc32_z(crc, static_cast<const Bytef*>(data), size));
}

#if TOLLAN_CRC_FOLDING

// Distances of the folds, in bits: a 128-bit lane moves forward by the
// distance, and the constants are x^(d+32) and x^(d-32) mod P (low and high
// 64-bit halves of the lane).
constexpr uint64_t kFold16Low = FoldConstant(128 + 32), kFold16High = FoldConstant(128 - 32);
constexpr uint64_t kFold32Low = FoldConstant(256 + 32), kFold32High = FoldConstant(256 - 32);
constexpr uint64_t kFold64Low = FoldConstant(512 + 32), kFold64High = FoldConstant(512 - 32);
constexpr uint64_t kFold128Low = FoldConstant(1024 + 32), kFold128High = FoldConstant(1024 - 32);
constexpr uint64_t kFold256Low = FoldConstant(2048 + 32), kFold256High = FoldConstant(2048 - 32);
// Known values of the two basic distances, as a check on the computation.
static_assert(kFold16Low == 0x1751997d0 && kFold16High == 0x0ccaa009e, "16-byte fold constants");
static_assert(kFold64Low == 0x154442bd4 && kFold64High == 0x1c6e41596, "64-byte fold constants");

// The remainder of 16 bytes plus the tail: zlib with a zero raw state.
uint32_t Finish(const uint8_t (&remainder)[16], const uint8_t* tail, size_t size) {
  return Zlib(tail, size, Zlib(remainder, sizeof(remainder), 0xFFFFFFFFu));
}

__attribute__((target("pclmul,sse2"))) inline __m128i Fold(__m128i lane, __m128i constants) {
  return _mm_xor_si128(_mm_clmulepi64_si128(lane, constants, 0x00), _mm_clmulepi64_si128(lane, constants, 0x11));
}

__attribute__((target("pclmul,sse2"))) __m128i Load(const uint8_t* bytes) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes));
}

// Folds 16-byte lanes into x until fewer than 16 bytes remain, then finishes.
__attribute__((target("pclmul,sse2"))) uint32_t FinishLanes(__m128i x, const uint8_t* bytes, size_t size) {
  const __m128i fold16 = _mm_set_epi64x(int64_t(kFold16High), int64_t(kFold16Low));
  while (size >= 16) {
    x = _mm_xor_si128(Fold(x, fold16), Load(bytes));
    bytes += 16;
    size -= 16;
  }
  alignas(16) uint8_t remainder[16];
  _mm_store_si128(reinterpret_cast<__m128i*>(remainder), x);
  return Finish(remainder, bytes, size);
}

__attribute__((target("pclmul,sse2"))) uint32_t Clmul128(const void* data, size_t size, uint32_t crc) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (size < 64) {
    return Zlib(data, size, crc);
  }
  // The complemented state enters the first four bytes.
  __m128i x0 = _mm_xor_si128(Load(bytes), _mm_cvtsi32_si128(int(~crc)));
  __m128i x1 = Load(bytes + 16);
  __m128i x2 = Load(bytes + 32);
  __m128i x3 = Load(bytes + 48);
  bytes += 64;
  size -= 64;
  const __m128i fold64 = _mm_set_epi64x(int64_t(kFold64High), int64_t(kFold64Low));
  if (size >= 128) {
    // Eight lanes, 128 bytes a step: a fold waits for the one before it in
    // its lane, and four lanes leave the multiplier idle between them.
    __m128i x4 = Load(bytes);
    __m128i x5 = Load(bytes + 16);
    __m128i x6 = Load(bytes + 32);
    __m128i x7 = Load(bytes + 48);
    bytes += 64;
    size -= 64;
    const __m128i fold128 = _mm_set_epi64x(int64_t(kFold128High), int64_t(kFold128Low));
    while (size >= 128) {
      x0 = _mm_xor_si128(Fold(x0, fold128), Load(bytes));
      x1 = _mm_xor_si128(Fold(x1, fold128), Load(bytes + 16));
      x2 = _mm_xor_si128(Fold(x2, fold128), Load(bytes + 32));
      x3 = _mm_xor_si128(Fold(x3, fold128), Load(bytes + 48));
      x4 = _mm_xor_si128(Fold(x4, fold128), Load(bytes + 64));
      x5 = _mm_xor_si128(Fold(x5, fold128), Load(bytes + 80));
      x6 = _mm_xor_si128(Fold(x6, fold128), Load(bytes + 96));
      x7 = _mm_xor_si128(Fold(x7, fold128), Load(bytes + 112));
      bytes += 128;
      size -= 128;
    }
    // The first four lanes onto the last four: four lanes again.
    x0 = _mm_xor_si128(Fold(x0, fold64), x4);
    x1 = _mm_xor_si128(Fold(x1, fold64), x5);
    x2 = _mm_xor_si128(Fold(x2, fold64), x6);
    x3 = _mm_xor_si128(Fold(x3, fold64), x7);
  }
  while (size >= 64) {
    x0 = _mm_xor_si128(Fold(x0, fold64), Load(bytes));
    x1 = _mm_xor_si128(Fold(x1, fold64), Load(bytes + 16));
    x2 = _mm_xor_si128(Fold(x2, fold64), Load(bytes + 32));
    x3 = _mm_xor_si128(Fold(x3, fold64), Load(bytes + 48));
    bytes += 64;
    size -= 64;
  }
  const __m128i fold16 = _mm_set_epi64x(int64_t(kFold16High), int64_t(kFold16Low));
  __m128i x = _mm_xor_si128(Fold(x0, fold16), x1);
  x = _mm_xor_si128(Fold(x, fold16), x2);
  x = _mm_xor_si128(Fold(x, fold16), x3);
  return FinishLanes(x, bytes, size);
}

#define TOLLAN_CRC_256 "pclmul,sse2,avx,avx2,vpclmulqdq"

// The 256-bit kernel: VEX-encoded VPCLMULQDQ, which many processors without
// AVX-512 have. Two 128-bit lanes per register, eight registers (256 bytes)
// a step, so that sixteen multiplications are in flight and the multiplier's
// latency stays hidden.
__attribute__((target(TOLLAN_CRC_256))) inline __m256i LaneConstants256(uint64_t low, uint64_t high) {
  return _mm256_set_epi64x(int64_t(high), int64_t(low), int64_t(high), int64_t(low));
}

__attribute__((target(TOLLAN_CRC_256))) inline __m256i Load256(const uint8_t* bytes) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(bytes));
}

__attribute__((target(TOLLAN_CRC_256))) inline __m256i Fold256(__m256i lanes, __m256i constants, __m256i next) {
  return _mm256_xor_si256(_mm256_xor_si256(_mm256_clmulepi64_epi128(lanes, constants, 0x00),
                                           _mm256_clmulepi64_epi128(lanes, constants, 0x11)),
                          next);
}

__attribute__((target(TOLLAN_CRC_256))) uint32_t Clmul256(const void* data, size_t size, uint32_t crc) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (size < 256) {
    return Clmul128(data, size, crc);
  }
  __m256i y0 = _mm256_xor_si256(Load256(bytes), _mm256_set_epi64x(0, 0, 0, int64_t(uint64_t(~crc))));
  __m256i y1 = Load256(bytes + 32);
  __m256i y2 = Load256(bytes + 64);
  __m256i y3 = Load256(bytes + 96);
  __m256i y4 = Load256(bytes + 128);
  __m256i y5 = Load256(bytes + 160);
  __m256i y6 = Load256(bytes + 192);
  __m256i y7 = Load256(bytes + 224);
  bytes += 256;
  size -= 256;
  const __m256i fold256 = LaneConstants256(kFold256Low, kFold256High);
  while (size >= 256) {
    y0 = Fold256(y0, fold256, Load256(bytes));
    y1 = Fold256(y1, fold256, Load256(bytes + 32));
    y2 = Fold256(y2, fold256, Load256(bytes + 64));
    y3 = Fold256(y3, fold256, Load256(bytes + 96));
    y4 = Fold256(y4, fold256, Load256(bytes + 128));
    y5 = Fold256(y5, fold256, Load256(bytes + 160));
    y6 = Fold256(y6, fold256, Load256(bytes + 192));
    y7 = Fold256(y7, fold256, Load256(bytes + 224));
    bytes += 256;
    size -= 256;
  }
  // Eight registers onto the last four, then two, then one.
  const __m256i fold128 = LaneConstants256(kFold128Low, kFold128High);
  y0 = Fold256(y0, fold128, y4);
  y1 = Fold256(y1, fold128, y5);
  y2 = Fold256(y2, fold128, y6);
  y3 = Fold256(y3, fold128, y7);
  const __m256i fold64 = LaneConstants256(kFold64Low, kFold64High);
  y0 = Fold256(y0, fold64, y2);
  y1 = Fold256(y1, fold64, y3);
  const __m256i fold32 = LaneConstants256(kFold32Low, kFold32High);
  y0 = Fold256(y0, fold32, y1);
  while (size >= 32) {
    y0 = Fold256(y0, fold32, Load256(bytes));
    bytes += 32;
    size -= 32;
  }
  // The register's two lanes, lower address first, into one.
  const __m128i fold16 = _mm_set_epi64x(int64_t(kFold16High), int64_t(kFold16Low));
  const __m128i x = _mm_xor_si128(Fold(_mm256_castsi256_si128(y0), fold16), _mm256_extracti128_si256(y0, 1));
  return FinishLanes(x, bytes, size);
}

#define TOLLAN_CRC_512 "pclmul,sse2,avx2,avx512f,vpclmulqdq"

// Both halves of every 128-bit lane get the distance's constants. (Built
// from plain values: GCC warns on the broadcast and cast intrinsics.)
__attribute__((target(TOLLAN_CRC_512))) inline __m512i LaneConstants(uint64_t low, uint64_t high) {
  return _mm512_set_epi64(int64_t(high), int64_t(low), int64_t(high), int64_t(low), int64_t(high), int64_t(low),
                          int64_t(high), int64_t(low));
}

__attribute__((target(TOLLAN_CRC_512))) inline __m512i Fold512(__m512i lanes, __m512i constants, __m512i next) {
  // 0x96: a ^ b ^ c.
  return _mm512_ternarylogic_epi64(_mm512_clmulepi64_epi128(lanes, constants, 0x00),
                                   _mm512_clmulepi64_epi128(lanes, constants, 0x11), next, 0x96);
}

__attribute__((target(TOLLAN_CRC_512))) uint32_t Clmul512(const void* data, size_t size, uint32_t crc) {
  const auto* bytes = static_cast<const uint8_t*>(data);
  if (size < 256) {
    return Clmul128(data, size, crc);
  }
  __m512i z0 =
      _mm512_xor_si512(_mm512_loadu_si512(bytes), _mm512_set_epi64(0, 0, 0, 0, 0, 0, 0, int64_t(uint64_t(~crc))));
  __m512i z1 = _mm512_loadu_si512(bytes + 64);
  __m512i z2 = _mm512_loadu_si512(bytes + 128);
  __m512i z3 = _mm512_loadu_si512(bytes + 192);
  bytes += 256;
  size -= 256;
  const __m512i fold256 = LaneConstants(kFold256Low, kFold256High);
  while (size >= 256) {
    z0 = Fold512(z0, fold256, _mm512_loadu_si512(bytes));
    z1 = Fold512(z1, fold256, _mm512_loadu_si512(bytes + 64));
    z2 = Fold512(z2, fold256, _mm512_loadu_si512(bytes + 128));
    z3 = Fold512(z3, fold256, _mm512_loadu_si512(bytes + 192));
    bytes += 256;
    size -= 256;
  }
  const __m512i fold64 = LaneConstants(kFold64Low, kFold64High);
  __m512i z = Fold512(z0, fold64, z1);
  z = Fold512(z, fold64, z2);
  z = Fold512(z, fold64, z3);
  while (size >= 64) {
    z = Fold512(z, fold64, _mm512_loadu_si512(bytes));
    bytes += 64;
    size -= 64;
  }
  // The four lanes, lowest address first, into one.
  alignas(64) uint8_t lanes[64];
  _mm512_store_si512(lanes, z);
  const __m128i fold16 = _mm_set_epi64x(int64_t(kFold16High), int64_t(kFold16Low));
  __m128i x = Load(lanes);
  x = _mm_xor_si128(Fold(x, fold16), Load(lanes + 16));
  x = _mm_xor_si128(Fold(x, fold16), Load(lanes + 32));
  x = _mm_xor_si128(Fold(x, fold16), Load(lanes + 48));
  return FinishLanes(x, bytes, size);
}

#endif  // TOLLAN_CRC_FOLDING

}  // namespace

bool Supported(Kernel kernel) {
  switch (kernel) {
    case Kernel::kZlib:
      return true;
#if TOLLAN_CRC_FOLDING
    case Kernel::kClmul128:
      return __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
    case Kernel::kClmul256:
      return Supported(Kernel::kClmul128) && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("vpclmulqdq");
    case Kernel::kClmul512:
      return Supported(Kernel::kClmul128) && __builtin_cpu_supports("avx512f") &&
             __builtin_cpu_supports("vpclmulqdq") && __builtin_cpu_supports("avx2");
#endif
    default:
      return false;
  }
}

Kernel Best() {
  static const Kernel best = Supported(Kernel::kClmul512)   ? Kernel::kClmul512
                             : Supported(Kernel::kClmul256) ? Kernel::kClmul256
                             : Supported(Kernel::kClmul128) ? Kernel::kClmul128
                                                            : Kernel::kZlib;
  return best;
}

namespace {

std::atomic<Kernel>& Choice() {
  static std::atomic<Kernel> choice{Best()};
  return choice;
}

}  // namespace

Kernel InUse() { return Choice().load(std::memory_order_relaxed); }

bool UseKernel(Kernel kernel) {
  if (!Supported(kernel)) {
    return false;
  }
  Choice().store(kernel, std::memory_order_relaxed);
  return true;
}

const char* Name(Kernel kernel) {
  switch (kernel) {
    case Kernel::kClmul128:
      return "pclmulqdq";
    case Kernel::kClmul256:
      return "vpclmulqdq256";
    case Kernel::kClmul512:
      return "vpclmulqdq";
    case Kernel::kZlib:
      break;
  }
  return "zlib";
}

uint32_t Compute(Kernel kernel, const void* data, size_t size, uint32_t crc) {
  switch (kernel) {
#if TOLLAN_CRC_FOLDING
    case Kernel::kClmul128:
      return Clmul128(data, size, crc);
    case Kernel::kClmul256:
      return Clmul256(data, size, crc);
    case Kernel::kClmul512:
      return Clmul512(data, size, crc);
#endif
    default:
      return Zlib(data, size, crc);
  }
}

}  // namespace crc

uint32_t Crc32(const void* data, size_t size, uint32_t crc) { return crc::Compute(crc::InUse(), data, size, crc); }

}  // namespace recording
}  // namespace tollan
