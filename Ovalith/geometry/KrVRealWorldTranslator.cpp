#include <Ovalith/geometry/KrVRealWorldTranslator.h>

#include <Orvane/OrvaneOS.h>
#include <Ovalith/Infrastructure/KrVStatus.h>
#include <Ovalith/geometry/KrVMatrix.h>
#include <Ovalith/geometry/KrVPointContainer.h>
#include <Ovalith/geometry/KrVRealWorldTranslatorInternal.h>
#include <Ovalith/properties/KrVCheckInternal.h>

#include <cstdint>

// Products and sums are rounded one by one everywhere in this file, so the
// per-point and whole-frame conversions agree to the bit.
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#endif

// The per-point formulas live in the small inline functions below; the
// single-point and whole-frame conversions both use them, so the two give
// the same bits. The whole-frame loop only hoists what does not depend on
// the pixel (column and row factors, 1 / ZPD) and keeps every product in
// the per-point order, which floating-point rounding depends on.

namespace {

// The column factors and their lanes are read a vector (32 bytes) at a time.
constexpr size_t kAlignment = 32;

double ScaleFactor(unsigned short parentXRes) {
  if (parentXRes == 0) {
    return 0.0;  // no scale for an unknown width, as for widths above 1280
  }
  return static_cast<double>(1280 / static_cast<int32_t>(parentXRes));
}

// numerator / divisor, with 0 where the divisor is 0. Written as two
// selects so the loops that call it stay branch-free.
inline double SafeQuotient(double numerator, double divisor) {
  const double safeDivisor = divisor != 0.0 ? divisor : 1.0;
  return divisor != 0.0 ? numerator / safeDivisor : 0.0;
}

inline double Reciprocal(double value) { return SafeQuotient(1.0, value); }

// Truncates toward zero to 32 bits and keeps the low 16 bits as a signed
// value. Outside the 32-bit range (or NaN) the integer is 0x80000000, as
// the processor's own conversion gives, so the low 16 bits are 0.
inline float TruncateToShort(double value) {
  const bool inRange = value > -2147483649.0 && value < 2147483648.0;
  const int32_t whole = inRange ? static_cast<int32_t>(value) : INT32_MIN;
  return static_cast<float>(static_cast<int16_t>(static_cast<uint16_t>(static_cast<uint32_t>(whole))));
}

// What every conversion needs, taken once per call.
struct Frame {
  double zpd;
  double zpps;
  double f;
  int cx;  // ParentXRes >> 1
  int cy;  // ParentYRes >> 1
  float xOffset;
  float yOffset;
};

inline Frame FrameOf(double zpd, double zpps, double f, unsigned short parentXRes, unsigned short parentYRes,
                     unsigned short xOffset, unsigned short yOffset) {
  return Frame{
      zpd, zpps, f, parentXRes >> 1, parentYRes >> 1, static_cast<float>(xOffset), static_cast<float>(yOffset)};
}

// Real world to projective, before rounding: u = cx + X * ZPD / ((ZPPS * Z) * F).
inline double ProjectiveU(const Frame& frame, const KrVPoint& p) {
  const double x = p.X();
  const double z = p.Z();
  return frame.cx + SafeQuotient(x * frame.zpd, (frame.zpps * z) * frame.f);
}

inline double ProjectiveV(const Frame& frame, const KrVPoint& p) {
  const double y = p.Y();
  const double z = p.Z();
  return frame.cy + SafeQuotient(y * frame.zpd, (z * frame.zpps) * frame.f);
}

inline void ToProjective(const Frame& frame, KrVPoint& p) {
  const float u = TruncateToShort(ProjectiveU(frame, p));
  const float v = TruncateToShort(ProjectiveV(frame, p));
  p.X() = u - frame.xOffset;
  p.Y() = v - frame.yOffset;
}

inline void ToProjectiveFloat(const Frame& frame, KrVPoint& p) {
  const float u = static_cast<float>(ProjectiveU(frame, p));
  const float v = static_cast<float>(ProjectiveV(frame, p));
  p.X() = u - frame.xOffset;
  p.Y() = v - frame.yOffset;
}

// Projective to real world, split where the whole-frame loop splits it:
// the column (or row) factor (offset + u - cx) * ZPPS * F ...
inline double AxisFactor(const Frame& frame, float offset, float coordinate, int centre) {
  const float shifted = (offset + coordinate) - static_cast<float>(centre);
  return static_cast<double>(shifted) * frame.zpps * frame.f;
}

// ... then * Z * (1 / ZPD), left to right: KrVRealWorldCoordinate.

}  // namespace

KrVRealWorldTranslator::KrVRealWorldTranslator(double newZpd, double newZpps, unsigned short newXRes,
                                               unsigned short newYRes, unsigned short newParentXRes,
                                               unsigned short newParentYRes, unsigned short newXOffset,
                                               unsigned short newYOffset) {
  Init(newZpd, newZpps, newXRes, newYRes, newParentXRes, newParentYRes, newXOffset, newYOffset);
}

KrVRealWorldTranslator::KrVRealWorldTranslator(double newZpd, double newZpps, unsigned short newXRes,
                                               unsigned short newYRes) {
  Init(newZpd, newZpps, newXRes, newYRes, newXRes, newYRes, 0, 0);
}

KrStatus KrVRealWorldTranslator::Update(double newZpd, double newZpps, unsigned short newXRes, unsigned short newYRes) {
  return Init(newZpd, newZpps, newXRes, newYRes, newXRes, newYRes, 0, 0);
}

KrStatus KrVRealWorldTranslator::Update(double newZpd, double newZpps, unsigned short newXRes, unsigned short newYRes,
                                        unsigned short newParentXRes, unsigned short newParentYRes,
                                        unsigned short newXOffset, unsigned short newYOffset) {
  return Init(newZpd, newZpps, newXRes, newYRes, newParentXRes, newParentYRes, newXOffset, newYOffset);
}

KrStatus KrVRealWorldTranslator::Init(double newZpd, double newZpps, unsigned short newXRes, unsigned short newYRes,
                                      unsigned short newParentXRes, unsigned short newParentYRes,
                                      unsigned short newXOffset, unsigned short newYOffset) {
  zpd = newZpd;
  zpps = newZpps;
  f = ScaleFactor(newParentXRes);
  xRes = newXRes;
  yRes = newYRes;
  parentXRes = newParentXRes;
  parentYRes = newParentYRes;
  xOffset = newXOffset;
  yOffset = newYOffset;
  return KR_STATUS_OK;
}

void KrVRealWorldTranslator::RW2Projective(KrVPoint& point) const {
  ToProjective(FrameOf(zpd, zpps, f, parentXRes, parentYRes, xOffset, yOffset), point);
}

void KrVRealWorldTranslator::RW2ProjectiveFloat(KrVPoint& point) const {
  ToProjectiveFloat(FrameOf(zpd, zpps, f, parentXRes, parentYRes, xOffset, yOffset), point);
}

void KrVRealWorldTranslator::Projective2RW(KrVPoint& point) const {
  const Frame frame = FrameOf(zpd, zpps, f, parentXRes, parentYRes, xOffset, yOffset);
  const double z = point.Z();
  const double reciprocalZpd = Reciprocal(zpd);
  const double columnFactor = AxisFactor(frame, frame.xOffset, point.X(), frame.cx);
  const double rowFactor = AxisFactor(frame, frame.yOffset, point.Y(), frame.cy);
  point.X() = KrVRealWorldCoordinate(columnFactor, z, reciprocalZpd);
  point.Y() = KrVRealWorldCoordinate(rowFactor, z, reciprocalZpd);
}

void KrVRealWorldTranslator::RW2Projective(KrVPoint* points, unsigned int count) const {
  const Frame frame = FrameOf(zpd, zpps, f, parentXRes, parentYRes, xOffset, yOffset);
  for (unsigned int i = 0; i < count; ++i) {
    ToProjective(frame, points[i]);
  }
}

void KrVRealWorldTranslator::RW2ProjectiveFloat(KrVPoint* points, unsigned int count) const {
  const Frame frame = FrameOf(zpd, zpps, f, parentXRes, parentYRes, xOffset, yOffset);
  for (unsigned int i = 0; i < count; ++i) {
    ToProjectiveFloat(frame, points[i]);
  }
}

void KrVRealWorldTranslator::RW2Projective(KrVPointContainer& points) const {
  RW2Projective(points.Points(), points.GetSize());
}

void KrVRealWorldTranslator::RW2ProjectiveFloat(KrVPointContainer& points) const {
  RW2ProjectiveFloat(points.Points(), points.GetSize());
}

KrStatus KrVRealWorldTranslator::Projective2RW(const KrVDepthMatrix& depth, KrVPointContainer& points,
                                               KrVNoSampleHandling handling, unsigned short noSampleValue,
                                               unsigned short shadowValue) const {
  return Projective2RW(depth, 0, 0, depth.GetXRes(), depth.GetYRes(), points, handling, noSampleValue, shadowValue);
}

KrStatus KrVRealWorldTranslator::Projective2RW(const KrVDepthMatrix& depth, unsigned short x, unsigned short y,
                                               unsigned short width, unsigned short height, KrVPointContainer& points,
                                               KrVNoSampleHandling handling, unsigned short noSampleValue,
                                               unsigned short shadowValue) const {
  const unsigned int area = static_cast<unsigned int>(depth.GetXRes()) * depth.GetYRes();
  const bool inside = static_cast<unsigned int>(x) + width <= depth.GetXRes() &&
                      static_cast<unsigned int>(y) + height <= depth.GetYRes() &&
                      area <= depth.GetContainer().GetCapacity();
  if (!inside) {
    return KR_STATUS_QM_BAD_PARAMETER;
  }
  return Projective2RW(static_cast<const unsigned short*>(depth.Data()), depth.GetXRes(), x, y, width, height, points,
                       handling, noSampleValue, shadowValue);
}

KrStatus KrVRealWorldTranslator::Projective2RW(const unsigned short* depth, unsigned int rowLength, unsigned short x,
                                               unsigned short y, unsigned short width, unsigned short height,
                                               KrVPointContainer& points, KrVNoSampleHandling handling,
                                               unsigned short noSampleValue, unsigned short shadowValue) const {
  if (depth == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  if (static_cast<unsigned int>(x) + width > rowLength) {
    return KR_STATUS_QM_BAD_PARAMETER;
  }
  KRV_RETURN_IF_FAILED(points.ReAdjust(static_cast<unsigned int>(width) * height));
  if (width == 0 || height == 0) {
    return KR_STATUS_OK;
  }
  // The lanes start on a vector boundary too, so that no vector of them spans two cache lines.
  const size_t lanesAt = (size_t{width} + 3) / 4 * 4;
  const size_t factorCount = lanesAt + KrVColumnLaneCount(width);
  auto* columnFactors = static_cast<double*>(krOSMallocAligned(sizeof(double) * factorCount, kAlignment));
  if (columnFactors == nullptr) {
    return KR_STATUS_OS_ALLOC_FAILED;
  }
  const Frame frame = FrameOf(zpd, zpps, f, parentXRes, parentYRes, xOffset, yOffset);
  for (unsigned int i = 0; i < width; ++i) {
    columnFactors[i] = AxisFactor(frame, frame.xOffset, static_cast<float>(x + i), frame.cx);
  }
  KrVSpreadColumnFactors(columnFactors, width, columnFactors + lanesAt);
  KrVTranslatorRow job = {};
  job.columnFactors = columnFactors;
  job.columnLanes = columnFactors + lanesAt;
  job.reciprocalZpd = Reciprocal(zpd);
  job.width = width;
  job.skipNoSample = handling != KRV_NO_SAMPLE_KEEP;
  job.noSampleValue = noSampleValue;
  job.skippedValue = handling == KRV_NO_SAMPLE_OR_SHADOW_SKIP ? shadowValue : noSampleValue;
  unsigned int written = 0;
  for (unsigned int j = 0; j < height; ++j) {
    const unsigned int row = static_cast<unsigned int>(y) + j;
    job.depth = depth + static_cast<size_t>(row) * rowLength + x;
    job.rowFactor = AxisFactor(frame, frame.yOffset, static_cast<float>(row), frame.cy);
    // Room for a whole row remains: at most the pixels before this row were kept.
    job.out = points.Points() + written;
    written += KrVConvertTranslatorRow(job);
  }
  krOSFreeAligned(columnFactors);
  return points.SetSize(written);
}
