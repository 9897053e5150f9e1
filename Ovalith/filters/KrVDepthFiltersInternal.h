// The choice of kernels behind the depth filters, for tests and benchmarks:
// the spatial filter runs the processor's widest (AVX2 where it has it) or
// the portable ones, which give the same frames.
#pragma once

enum KrVFilterKernel {
  KRV_FILTER_KERNEL_WIDEST = 0,
  KRV_FILTER_KERNEL_PORTABLE = 1,
};

// Selects the kernels for every later filter run (process-wide, any thread).
void KrVUseFilterKernel(KrVFilterKernel kernel);
// The name of the kernels that the choice runs on this processor: "avx2" or
// "portable".
const char* KrVFilterKernelName(KrVFilterKernel kernel);
