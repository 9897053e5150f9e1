// The choice of kernels behind the depth filters, for tests and benchmarks:
// the filters run the processor's widest (AVX-512 where it has it, else
// AVX2), AVX2 at most, or the portable ones; all give the same frames.
#pragma once

enum KrVFilterKernel {
  KRV_FILTER_KERNEL_WIDEST = 0,
  KRV_FILTER_KERNEL_PORTABLE = 1,
  KRV_FILTER_KERNEL_AVX2 = 2,  // AVX2 where the processor has it, even with AVX-512
};

// Selects the kernels for every later filter run (process-wide, any thread).
void KrVUseFilterKernel(KrVFilterKernel kernel);
// The name of the kernels that the choice runs on this processor: "avx512",
// "avx2" or "portable".
const char* KrVFilterKernelName(KrVFilterKernel kernel);
