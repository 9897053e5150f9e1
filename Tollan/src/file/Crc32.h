// CRC-32 of recordings, fast: the same values as zlib's crc32 (reflected
// polynomial 0xEDB88320, initial and final complement), computed by folding
// the data with carry-less multiplication where the processor has it:
// 512-bit registers (VPCLMULQDQ with AVX-512), 256-bit registers
// (VPCLMULQDQ with AVX2, which many processors without AVX-512 have),
// 128-bit lanes (PCLMULQDQ), else zlib itself. The kernel is chosen once, at
// the first call, from what the running processor reports; every kernel
// gives zlib's result for any data.
//
// Folding keeps a 128-bit (or wider) remainder that has the same CRC as the
// data folded into it; the last 16 bytes of remainder and the tail that
// does not fill a lane are finished with zlib. The folding constants are
// x^n mod P for the fold distances, computed at compile time below.
//
// Internal to the kit. Plain functions, safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tollan {
namespace recording {
namespace crc {

// (The values number the kernels in benchmark arguments: new ones go last.)
enum class Kernel { kZlib, kClmul128, kClmul512, kClmul256 };

// Whether the running processor (and system) can run the kernel.
bool Supported(Kernel kernel);
// The fastest supported kernel.
Kernel Best();
// The kernel that Crc32() runs: Best() unless UseKernel chose another.
Kernel InUse();
// Makes Crc32() run the kernel from now on, process-wide (for benchmarks
// and tests that measure what a processor without the wider units does);
// an unsupported kernel changes nothing and gives false.
bool UseKernel(Kernel kernel);
const char* Name(Kernel kernel);
// zlib's crc32(crc, data, size) computed by the kernel (which must be
// supported).
uint32_t Compute(Kernel kernel, const void* data, size_t size, uint32_t crc);

// The folding constant of a distance: the reflection of x^bits mod P, as
// the 33-bit multiplier the reflected folding takes.
constexpr uint64_t FoldConstant(uint32_t bits) {
  uint32_t remainder = 1;  // x^0
  for (uint32_t i = 0; i < bits; ++i) {
    const bool carry = (remainder & 0x80000000u) != 0;
    remainder <<= 1;
    if (carry) {
      remainder ^= 0x04C11DB7u;  // P without its x^32 term
    }
  }
  uint32_t reflected = 0;
  for (int i = 0; i < 32; ++i) {
    reflected |= ((remainder >> i) & 1u) << (31 - i);
  }
  return uint64_t(reflected) << 1;
}

}  // namespace crc
}  // namespace recording
}  // namespace tollan
