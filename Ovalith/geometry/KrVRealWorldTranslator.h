// KrVRealWorldTranslator: converts points between the sensor's projective
// space (pixel column, pixel row, depth) and real-world space (X, Y, Z in
// the depth unit), from the depth stream's calibration values "ZPD"
// (zero-plane distance) and "ZPPS" (zero-plane pixel size) and the frame
// geometry: the frame (window) resolution, the resolution of the full
// (parent) frame it lies in, and its offset there.
//
// With cx = ParentXRes / 2, cy = ParentYRes / 2 (integer halves) and the
// scale F = 1280 / ParentXRes (integer quotient):
//   real world -> projective:  u = cx + X * ZPD / (ZPPS * Z * F) - XOffset
//   projective -> real world:  X = (XOffset + u - cx) * ZPPS * F * Z / ZPD
// and likewise for Y with cy and YOffset. Z (the depth) never changes.
//
// Degenerate calibrations give defined results, never a division by zero:
// - a parent width of 0 gives F = 0, as widths above 1280 do;
// - where ZPPS * Z * F is 0 (no depth, F or ZPPS of 0) the projective
//   conversions map the point to the centre of the parent frame (the
//   quotient counts as 0): u = cx - XOffset, v = cy - YOffset;
// - a ZPD of 0 makes Projective2RW give X = Y = 0 (its 1 / ZPD counts as 0);
// - RW2Projective keeps the low 16 bits of the truncated column and row; a
//   value outside the 32-bit range, or not a number, gives 0.
//
// Whole-frame conversions: Projective2RW of a depth matrix (or a window of
// it) fills a KrVPointContainer with exactly the points that the per-point
// Projective2RW gives for (column, row, depth) of each pixel, row by row.
// No-sample pixels (depth equal to the given no-sample value) are skipped by
// default, so the container holds only measured points; with
// KRV_NO_SAMPLE_KEEP every pixel yields a point, and a no-sample pixel keeps
// its depth as Z (with a no-sample value of 0 it converts to (0, 0, 0)).
// KRV_NO_SAMPLE_OR_SHADOW_SKIP leaves out shadow pixels (depth equal to the
// given shadow value, "ShadowValue" of the stream) as well: a projector
// shadow is no measurement either, and this is the rule every point path of
// the engine and its tools follows (docs/camera-geometry.md).
//
// A plain value (no ownership). Conversions are const and may run on any
// number of threads at once; Update and Init need the caller's exclusion.
#pragma once

#include <Orvane/OrvaneTypes.h>
#include <Ovalith/Infrastructure/KrVStatus.h>
#include <Ovalith/geometry/KrVPoint.h>

class KrVDepthMatrix;
class KrVPointContainer;
class KrVDepthRepresentation;

// What the whole-frame conversion does with a pixel that holds no sample.
enum KrVNoSampleHandling {
  KRV_NO_SAMPLE_SKIP = 0,            // leave the pixel out of the output
  KRV_NO_SAMPLE_KEEP = 1,            // convert it like any other pixel (one point per pixel)
  KRV_NO_SAMPLE_OR_SHADOW_SKIP = 2,  // leave out no-sample and shadow pixels
};

class KrVRealWorldTranslator {
 public:
  // A window of xRes x yRes at (xOffset, yOffset) in a parent frame.
  KrVRealWorldTranslator(double zpd, double zpps, unsigned short xRes, unsigned short yRes, unsigned short parentXRes,
                         unsigned short parentYRes, unsigned short xOffset, unsigned short yOffset);
  // A full frame: the parent is the frame itself, offsets 0.
  KrVRealWorldTranslator(double zpd, double zpps, unsigned short xRes, unsigned short yRes);
  KrVRealWorldTranslator(const KrVRealWorldTranslator& other) = default;
  KrVRealWorldTranslator& operator=(const KrVRealWorldTranslator& other) = default;

  // Re-sets the translator as the matching constructor does; returns 0.
  KrStatus Update(double zpd, double zpps, unsigned short xRes, unsigned short yRes);
  KrStatus Update(double zpd, double zpps, unsigned short xRes, unsigned short yRes, unsigned short parentXRes,
                  unsigned short parentYRes, unsigned short xOffset, unsigned short yOffset);

  // Real world to projective, whole pixels (truncated toward zero).
  void RW2Projective(KrVPoint& point) const;
  // Real world to projective, fractional pixels.
  void RW2ProjectiveFloat(KrVPoint& point) const;
  // Projective to real world.
  void Projective2RW(KrVPoint& point) const;

  // The per-point conversions applied to count points in place.
  void RW2Projective(KrVPoint* points, unsigned int count) const;
  void RW2ProjectiveFloat(KrVPoint* points, unsigned int count) const;
  // The same for the first GetSize() points of a container.
  void RW2Projective(KrVPointContainer& points) const;
  void RW2ProjectiveFloat(KrVPointContainer& points) const;

  // Converts every pixel of a depth matrix into points (see above). The
  // container is re-adjusted to width * height points (an external one too
  // small gives KR_STATUS_QM_BAD_PARAMETER) and its size set to the number
  // of points written.
  KrStatus Projective2RW(const KrVDepthMatrix& depth, KrVPointContainer& points,
                         KrVNoSampleHandling handling = KRV_NO_SAMPLE_SKIP, unsigned short noSampleValue = 0,
                         unsigned short shadowValue = 1) const;
  // The same for the window of width x height pixels at (x, y) of the
  // matrix; a window beyond the matrix is KR_STATUS_QM_BAD_PARAMETER.
  KrStatus Projective2RW(const KrVDepthMatrix& depth, unsigned short x, unsigned short y, unsigned short width,
                         unsigned short height, KrVPointContainer& points,
                         KrVNoSampleHandling handling = KRV_NO_SAMPLE_SKIP, unsigned short noSampleValue = 0,
                         unsigned short shadowValue = 1) const;
  // The same on raw rows of rowLength values (the caller vouches for the
  // rows' existence); a null buffer is 0x10004.
  KrStatus Projective2RW(const unsigned short* depth, unsigned int rowLength, unsigned short x, unsigned short y,
                         unsigned short width, unsigned short height, KrVPointContainer& points,
                         KrVNoSampleHandling handling = KRV_NO_SAMPLE_SKIP, unsigned short noSampleValue = 0,
                         unsigned short shadowValue = 1) const;

  double GetZPD() const { return zpd; }
  double GetZPPS() const { return zpps; }
  double GetF() const { return f; }
  unsigned short GetXRes() const { return xRes; }
  unsigned short GetYRes() const { return yRes; }
  unsigned short GetParentXRes() const { return parentXRes; }
  unsigned short GetParentYRes() const { return parentYRes; }
  unsigned short GetXOffset() const { return xOffset; }
  unsigned short GetYOffset() const { return yOffset; }

 protected:
  friend class KrVDepthRepresentation;
  // The eight-value set-up; returns 0.
  KrStatus Init(double zpd, double zpps, unsigned short xRes, unsigned short yRes, unsigned short parentXRes,
                unsigned short parentYRes, unsigned short xOffset, unsigned short yOffset);

 private:
  double zpd;   // zero-plane distance
  double zpps;  // zero-plane pixel size
  double f;     // 1280 / ParentXRes as an integer quotient; 0 for a width of 0 or above 1280
  unsigned short xRes;
  unsigned short yRes;
  unsigned short parentXRes;
  unsigned short parentYRes;
  unsigned short xOffset;
  unsigned short yOffset;
};
