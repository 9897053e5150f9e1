// Pinhole cameras, the rigid motion between two of them, and the mapping of
// a depth frame from one camera's grid into another's: the pure geometry
// that the simulated sensor's registration and the engine's alignment both
// run. It is header-only and calls nothing of the kit, so the two compile
// the very same arithmetic and agree to the bit (the engine's tests check
// that they do).
//
// Conventions (docs/camera-geometry.md):
// - Camera coordinates in mm, X right, Y down, Z forward (the depth).
// - Pixel (i, j) is the sample at image coordinates (i, j): a point (X, Y, Z)
//   lies at u = fx * X / Z + cx, v = fy * Y / Z + cy, and pixel i covers
//   [i - 0.5, i + 0.5). This is the real-world translator's model, so its
//   Projective2RW of (i, j, z) is the point this model puts there.
// - A rigid motion maps a point of camera A to camera B: X_B = R X_A + t,
//   R row-major, t in mm.
//
// Plain values and functions; any thread.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace tollan {
namespace geometry {

struct PinholeCamera {
  uint32_t width = 0;
  uint32_t height = 0;
  double fx = 0, fy = 0, cx = 0, cy = 0;
};

struct RigidMotion {
  double r[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};  // row-major
  double t[3] = {0, 0, 0};                    // mm

  bool IsIdentity() const {
    static const double kI[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    for (int k = 0; k < 9; ++k) {
      if (r[k] != kI[k]) return false;
    }
    return t[0] == 0 && t[1] == 0 && t[2] == 0;
  }
};

// The focal length, in pixels, that the translator's model gives a frame
// whose full width is parentWidth: ZPD / (ZPPS * F), F = 1280 / width (an
// integer quotient). 0 where that is not a number the model can use.
inline double TranslatorFocal(double zpd, double zpps, uint32_t parentWidth) {
  const uint32_t f = parentWidth == 0 ? 0 : 1280u / parentWidth;
  const double d = zpps * f;
  return d > 0 && zpd > 0 ? zpd / d : 0.0;
}

// The camera of the translator's model for a full frame of width x height.
inline PinholeCamera TranslatorCamera(double zpd, double zpps, uint32_t width, uint32_t height) {
  PinholeCamera c;
  c.width = width;
  c.height = height;
  c.fx = c.fy = TranslatorFocal(zpd, zpps, width);
  c.cx = static_cast<double>(width >> 1);
  c.cy = static_cast<double>(height >> 1);
  return c;
}

// R from rotations about X (pitch), Y (yaw) and Z (roll), in degrees,
// applied in that order: R = Rz(roll) * Ry(yaw) * Rx(pitch).
inline void RotationFromAngles(double pitchDeg, double yawDeg, double rollDeg, double r[9]) {
  const double k = 3.14159265358979323846 / 180.0;
  const double a = pitchDeg * k, b = yawDeg * k, c = rollDeg * k;
  const double ca = std::cos(a), sa = std::sin(a), cb = std::cos(b), sb = std::sin(b), cc = std::cos(c),
               sc = std::sin(c);
  // clang-format off
  const double m[9] = {cc * cb, cc * sb * sa - sc * ca, cc * sb * ca + sc * sa,
                       sc * cb, sc * sb * sa + cc * ca, sc * sb * ca - cc * sa,
                       -sb,     cb * sa,                cb * ca};
  // clang-format on
  for (int i = 0; i < 9; ++i) r[i] = m[i];
}

// The motion into a camera whose centre sits at centre (mm, in the first
// camera's coordinates) and that is turned by r: X_B = r (X_A - centre).
inline RigidMotion MotionToCamera(const double r[9], const double centre[3]) {
  RigidMotion m;
  for (int i = 0; i < 9; ++i) m.r[i] = r[i];
  for (int i = 0; i < 3; ++i) m.t[i] = -(r[3 * i] * centre[0] + r[3 * i + 1] * centre[1] + r[3 * i + 2] * centre[2]);
  return m;
}

// ---- mapping a depth frame into another camera ----
//
// Source pixel (i, j) with depth z (mm, not one of the two "no depth"
// values) is the point P = (z (i - cx) / fx, z (j - cy) / fy, z); in the
// target it is Q = R P + t. Q.z, rounded to the nearest mm (halves up), is
// its depth there. It
// lands at (u, v) = (fx' Q.x / Q.z + cx', fy' Q.y / Q.z + cy') and covers
// the target pixels whose centres lie in [u - su, u + su) x [v - sv, v + sv),
// su = 0.5 (fx' / fx) (z / Q.z), sv likewise: its own footprint, so a
// surface leaves no cracks whichever grid is finer. Where several points
// cover a pixel the nearest wins (a z-buffer); pixels no point covers hold
// noSample. Points behind the target camera, and depths that round outside
// 1..65535, are dropped.

// The per-row, per-column terms of the mapping, computed once per pair of
// cameras. Plain value.
struct DepthMapping {
  PinholeCamera from, to;
  RigidMotion motion;
  // Q = z * (rowBase + i * colStep) + t, in target coordinates.
  double colStep[3] = {0, 0, 0};
  double footX = 0, footY = 0;  // 0.5 fx' / fx and 0.5 fy' / fy

  void Set(const PinholeCamera& source, const PinholeCamera& target, const RigidMotion& m) {
    from = source;
    to = target;
    motion = m;
    const double ix = source.fx != 0 ? 1.0 / source.fx : 0.0;
    for (int k = 0; k < 3; ++k) colStep[k] = m.r[3 * k] * ix;
    footX = source.fx != 0 ? 0.5 * target.fx / source.fx : 0.0;
    footY = source.fy != 0 ? 0.5 * target.fy / source.fy : 0.0;
  }

  // The direction term of pixel (0, j).
  void RowBase(uint32_t j, double base[3]) const {
    const double ix = from.fx != 0 ? 1.0 / from.fx : 0.0, iy = from.fy != 0 ? 1.0 / from.fy : 0.0;
    const double dx = -from.cx * ix, dy = (static_cast<double>(j) - from.cy) * iy;
    for (int k = 0; k < 3; ++k) base[k] = motion.r[3 * k] * dx + motion.r[3 * k + 1] * dy + motion.r[3 * k + 2];
  }

  // Where source pixel (i, j) of depth z lands: the target point, and
  // false when it does not lie in front of the target camera.
  bool Project(const double base[3], uint32_t i, double z, double* u, double* v, double* qz) const {
    const double di = static_cast<double>(i);
    const double x = z * (base[0] + di * colStep[0]) + motion.t[0];
    const double y = z * (base[1] + di * colStep[1]) + motion.t[1];
    const double w = z * (base[2] + di * colStep[2]) + motion.t[2];
    if (!(w > 0)) return false;
    const double iw = 1.0 / w;
    *u = to.fx * x * iw + to.cx;
    *v = to.fy * y * iw + to.cy;
    *qz = w;
    return true;
  }
};

// Beyond this many pixels from the grid a point covers nothing (and the
// integer conversions below stay in range).
constexpr double kFar = 1e6;

// The smallest integer not below x, for |x| < kFar + 1 (without the library
// call that std::ceil is on processors without SSE4.1).
inline int CeilInt(double x) {
  const int i = static_cast<int>(x);  // toward zero: the ceiling of a negative x already
  return i + (static_cast<double>(i) < x ? 1 : 0);
}

// Where the pixels of one source row land: for pixel i the target pixels
// x0[i] .. x1[i] - 1 and y0[i] .. y1[i] - 1 of its footprint, and its depth
// in the target (0: it covers nothing). Sized to the source width.
struct RowFootprints {
  std::vector<int32_t> x0, x1, y0, y1;
  std::vector<uint16_t> value;
  explicit RowFootprints(uint32_t n) : x0(n), x1(n), y0(n), y1(n), value(n) {}
};

// Projects source pixels first .. last - 1 of a row (base: RowBase of its
// row). Branch-free, so that the divisions overlap. A faster kernel (the
// engine's vector one) must give exactly these values.
inline void ProjectRow(const DepthMapping& m, const double base[3], const uint16_t* row, uint32_t first, uint32_t last,
                       uint16_t noSample, uint16_t shadow, RowFootprints* f) {
  const double far = kFar, top = 65535.5;
  for (uint32_t i = first; i < last; ++i) {
    const uint16_t d = row[i];
    const double z = d, di = static_cast<double>(i);
    const double x = z * (base[0] + di * m.colStep[0]) + m.motion.t[0];
    const double y = z * (base[1] + di * m.colStep[1]) + m.motion.t[1];
    const double w = z * (base[2] + di * m.colStep[2]) + m.motion.t[2];
    const bool front = (w > 0.5) & (w < top);  // in front, and a depth of 1..65535 mm (& for no branches)
    const double iw = 1.0 / (front ? w : 1.0);
    const double u = m.to.fx * x * iw + m.to.cx, v = m.to.fy * y * iw + m.to.cy;
    const double k = z * iw, su = m.footX * k, sv = m.footY * k;
    const bool ok = (d != noSample) & (d != shadow) & front & (u > -far) & (u < far) & (v > -far) & (v < far) &
                    (su < far) & (sv < far);
    // Target pixels with centres in [u - su, u + su): ceil(u - su) .. ceil(u + su) - 1.
    f->x0[i] = CeilInt(ok ? u - su : 0.0);
    f->x1[i] = CeilInt(ok ? u + su : 0.0);
    f->y0[i] = CeilInt(ok ? v - sv : 0.0);
    f->y1[i] = CeilInt(ok ? v + sv : 0.0);
    f->value[i] = static_cast<uint16_t>(ok ? w + 0.5 : 0.0);  // to the nearest mm
  }
}

// A row projector: ProjectRow, or a kernel that gives the same values.
using RowProjector = void (*)(const DepthMapping& m, const double base[3], const uint16_t* row, uint32_t first,
                              uint32_t last, uint16_t noSample, uint16_t shadow, RowFootprints* f);

// Maps a source depth frame (from.width x from.height values) into the
// target grid (to.width x to.height values at out). Source values equal to
// noSample or shadow are no depth.
inline void MapDepthFrame(const DepthMapping& m, const uint16_t* source, uint16_t noSample, uint16_t shadow,
                          uint16_t* out, RowProjector project = ProjectRow) {
  const int tw = static_cast<int>(m.to.width), th = static_cast<int>(m.to.height);
  std::fill(out, out + static_cast<size_t>(tw) * th, noSample);
  // Per row, first where every pixel lands, then the footprints into the
  // z-buffer.
  const uint32_t n = m.from.width;
  RowFootprints f(n);
  for (uint32_t j = 0; j < m.from.height; ++j) {
    double base[3];
    m.RowBase(j, base);
    project(m, base, source + static_cast<size_t>(j) * n, 0, n, noSample, shadow, &f);
    for (uint32_t i = 0; i < n; ++i) {
      const uint16_t q = f.value[i];
      if (q == 0 || q == noSample || q == shadow) continue;
      const int a0 = std::max(f.x0[i], 0), a1 = std::min(f.x1[i], tw), b0 = std::max(f.y0[i], 0),
                b1 = std::min(f.y1[i], th);
      for (int b = b0; b < b1; ++b) {
        uint16_t* t = out + static_cast<size_t>(b) * static_cast<size_t>(tw);
        for (int a = a0; a < a1; ++a) {
          if (t[a] == noSample || t[a] > q) t[a] = q;
        }
      }
    }
  }
}

}  // namespace geometry
}  // namespace tollan
