// Private to the engine (not installed): which row kernel KrVFrameAligner's
// depth-to-image mapping runs, for its tests and benchmarks.
#pragma once

// The processor's widest (the default), or one chosen.
enum KrVAlignerKernel {
  KRV_ALIGNER_KERNEL_WIDEST = 0,
  KRV_ALIGNER_KERNEL_AVX512 = 1,
  KRV_ALIGNER_KERNEL_AVX2 = 2,
  KRV_ALIGNER_KERNEL_PORTABLE = 3,
  // AVX-512 with VBMI2: projection and footprint writes fused, sixteen
  // pixels at a time.
  KRV_ALIGNER_KERNEL_AVX512VBMI2 = 4,
};

// Selects the kernel for every later mapping (process-wide); returns false
// when this processor lacks it (the widest it has stands in).
bool KrVUseAlignerKernel(KrVAlignerKernel kernel);
// The name of the kernel that the choice runs on this processor:
// "avx512vbmi2", "avx512", "avx2" or "portable".
const char* KrVAlignerKernelName(KrVAlignerKernel kernel);
