// Private to the engine (not installed): the whole-frame kernels of
// KrVRealWorldTranslator, shared by its source files and its tests.
#pragma once

#include <Ovalith/geometry/KrVPoint.h>

// One real-world coordinate from its column (or row) factor, left to right:
// factor * Z * (1 / ZPD). The per-point and whole-frame conversions both
// call this, so they agree to the bit.
inline float KrVRealWorldCoordinate(double axisFactor, double z, double reciprocalZpd) {
  return static_cast<float>(axisFactor * z * reciprocalZpd);
}

// One row (or the part of it inside a window) to convert.
struct KrVTranslatorRow {
  const unsigned short* depth;  // width values
  const double* columnFactors;  // width factors, one per column
  // The same factors laid out for the AVX2 kernel's rows that keep every
  // pixel: KrVSpreadColumnFactors of columnFactors.
  const double* columnLanes;
  double rowFactor;
  double reciprocalZpd;
  unsigned int width;
  // Leave out pixels equal to noSampleValue or skippedValue (the shadow
  // value, or noSampleValue again where shadows are kept).
  bool skipNoSample;
  unsigned short noSampleValue;
  unsigned short skippedValue;
  // Room for width points. The kernels may store up to width points here
  // even when they keep fewer; the slots after the kept ones are scratch.
  KrVPoint* out;
};

// How many doubles KrVSpreadColumnFactors writes for width columns.
inline unsigned int KrVColumnLaneCount(unsigned int width) { return width / 4 * 12; }

// Lays the factors of each whole group of four columns out as the twelve
// lanes (three vectors of four doubles) in which the AVX2 kernel computes
// that group's twelve floats of output, x0 y0 z0 x1 | y1 z1 x2 y2 | z2 x3 y3
// z3: a column's factor in its x lane, 1 in a z lane (1 * Z * 1 is Z
// exactly), and 0 in a y lane, where the kernel puts the row's factor.
inline void KrVSpreadColumnFactors(const double* factors, unsigned int width, double* lanes) {
  for (unsigned int i = 0; i + 4 <= width; i += 4, lanes += 12) {
    const double group[12] = {factors[i], 0, 1, factors[i + 1], 0, 1, factors[i + 2], 0, 1, factors[i + 3], 0, 1};
    for (unsigned int k = 0; k < 12; ++k) {
      lanes[k] = group[k];
    }
  }
}

// Converts the row and returns the number of points kept at out.
unsigned int KrVConvertTranslatorRow(const KrVTranslatorRow& row);

// The pixels from first to the end of the row one at a time, kept after the
// kept points before them: the vector kernels' last, partial block. Returns
// the points kept in all.
inline unsigned int KrVConvertTranslatorRowTail(const KrVTranslatorRow& row, unsigned int first, unsigned int kept) {
  for (unsigned int i = first; i < row.width; ++i) {
    const float zf = static_cast<float>(row.depth[i]);
    const double z = zf;
    row.out[kept].SetPoint(KrVRealWorldCoordinate(row.columnFactors[i], z, row.reciprocalZpd),
                           KrVRealWorldCoordinate(row.rowFactor, z, row.reciprocalZpd), zf);
    kept += !row.skipNoSample || (row.depth[i] != row.noSampleValue && row.depth[i] != row.skippedValue) ? 1u : 0u;
  }
  return kept;
}

#if defined(__x86_64__) && defined(__GNUC__)
#define KRV_TRANSLATOR_X86_KERNELS 1
// The AVX2 row kernel (KrVRealWorldTranslatorAvx2.cpp); only for processors
// that have AVX2.
unsigned int KrVConvertTranslatorRowAvx2(const KrVTranslatorRow& row);
#endif

// Which row kernel converts: the processor's widest (the default), or one
// chosen for tests and benchmarks.
enum KrVTranslatorKernel {
  KRV_TRANSLATOR_KERNEL_WIDEST = 0,
  KRV_TRANSLATOR_KERNEL_AVX512 = 1,
  KRV_TRANSLATOR_KERNEL_PORTABLE = 2,
  KRV_TRANSLATOR_KERNEL_AVX2 = 3,
};

// Selects the kernel for every later conversion (process-wide); returns
// false when this processor lacks it (the portable kernel stands in).
bool KrVUseTranslatorKernel(KrVTranslatorKernel kernel);
// The name of the kernel that the choice runs on this processor: "avx512",
// "avx2" or "portable" (so a test or benchmark can say what it measured).
const char* KrVTranslatorKernelName(KrVTranslatorKernel kernel);
