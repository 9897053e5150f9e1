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
#include <cstring>
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
//
// The z-buffered mapping (ProjectRow, MapDepthFrame) runs in single
// precision from terms rounded to float once per pair of cameras (about a
// ten-thousandth of a pixel from the double-precision model at the
// sensor's sizes), with the direction R (i - cx, j - cy, ...) split into a
// column and a row part and fx', fy' folded into them:
//   fx' Q.x = z (colU[i] + rowU[j]) + fx' t.x, likewise v, and
//   Q.z = z (colW[i] + rowW[j]) + t.z.
// Every kernel of it runs the same float operations in the same order, so
// the results agree to the bit.

// The terms of the z-buffered mapping, computed once per pair of cameras.
// Plain value.
struct FootprintTerms {
  std::vector<float> colU, colV, colW;  // per source column
  float tU = 0, tV = 0, tW = 0;         // fx' t.x, fy' t.y, t.z
  float cx = 0, cy = 0;                 // the target camera's principal point
  float footX = 0, footY = 0;           // 0.5 fx' / fx and 0.5 fy' / fy
  int32_t width = 0, height = 0;        // the target grid
};

// The per-row, per-column terms of the mapping, computed once per pair of
// cameras. Plain value.
struct DepthMapping {
  PinholeCamera from, to;
  RigidMotion motion;
  // Q = z * (rowBase + i * colStep) + t, in target coordinates.
  double colStep[3] = {0, 0, 0};
  double footX = 0, footY = 0;  // 0.5 fx' / fx and 0.5 fy' / fy
  FootprintTerms single;        // the z-buffered mapping's terms

  // Target grids are at most 65535 x 65535 (a cell's index fits 32 bits).
  void Set(const PinholeCamera& source, const PinholeCamera& target, const RigidMotion& m) {
    from = source;
    to = target;
    to.width = std::min<uint32_t>(to.width, 0xFFFF);
    to.height = std::min<uint32_t>(to.height, 0xFFFF);
    motion = m;
    const double ix = source.fx != 0 ? 1.0 / source.fx : 0.0;
    for (int k = 0; k < 3; ++k) colStep[k] = m.r[3 * k] * ix;
    footX = source.fx != 0 ? 0.5 * target.fx / source.fx : 0.0;
    footY = source.fy != 0 ? 0.5 * target.fy / source.fy : 0.0;
    FootprintTerms& s = single;
    s.colU.resize(source.width);
    s.colV.resize(source.width);
    s.colW.resize(source.width);
    for (uint32_t i = 0; i < source.width; ++i) {
      const double dx = (static_cast<double>(i) - source.cx) * ix;
      s.colU[i] = static_cast<float>(target.fx * (m.r[0] * dx + m.r[2]));
      s.colV[i] = static_cast<float>(target.fy * (m.r[3] * dx + m.r[5]));
      s.colW[i] = static_cast<float>(m.r[6] * dx + m.r[8]);
    }
    s.tU = static_cast<float>(target.fx * m.t[0]);
    s.tV = static_cast<float>(target.fy * m.t[1]);
    s.tW = static_cast<float>(m.t[2]);
    s.cx = static_cast<float>(target.cx);
    s.cy = static_cast<float>(target.cy);
    // Never below 0 (nor NaN), so that no footprint ends before it starts.
    s.footX = footX >= 0 ? static_cast<float>(footX) : 0.0f;
    s.footY = footY >= 0 ? static_cast<float>(footY) : 0.0f;
    s.width = static_cast<int32_t>(to.width);
    s.height = static_cast<int32_t>(to.height);
  }

  // The direction term of pixel (0, j).
  void RowBase(uint32_t j, double base[3]) const {
    const double ix = from.fx != 0 ? 1.0 / from.fx : 0.0, iy = from.fy != 0 ? 1.0 / from.fy : 0.0;
    const double dx = -from.cx * ix, dy = (static_cast<double>(j) - from.cy) * iy;
    for (int k = 0; k < 3; ++k) base[k] = motion.r[3 * k] * dx + motion.r[3 * k + 1] * dy + motion.r[3 * k + 2];
  }

  // rowU, rowV, rowW of source row j for the z-buffered mapping.
  void RowTerms(uint32_t j, float row[3]) const {
    const double dy = from.fy != 0 ? (static_cast<double>(j) - from.cy) / from.fy : 0.0;
    row[0] = static_cast<float>(to.fx * (motion.r[1] * dy));
    row[1] = static_cast<float>(to.fy * (motion.r[4] * dy));
    row[2] = static_cast<float>(motion.r[7] * dy);
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

// ---- the z-buffer ----
//
// While a frame is mapped, its cells hold keys rather than depths: the
// order-preserving code of a depth q that is not noSample is q below
// noSample and q - 1 above it, and an empty cell is 0xFFFF. The nearest
// point is then simply the smallest key, and a key of 0xFFFF changes no
// cell. The frame is turned back into depths at the end.
constexpr uint16_t kEmptyKey = 0xFFFF;

inline uint16_t DepthKey(uint16_t q, uint16_t noSample) {  // q != noSample
  return static_cast<uint16_t>(q - (q > noSample ? 1 : 0));
}
inline uint16_t KeyDepth(uint16_t key, uint16_t noSample) {
  return key == kEmptyKey ? noSample : static_cast<uint16_t>(key + (key >= noSample ? 1 : 0));
}
inline void KeysToDepths(uint16_t* cells, size_t count, uint16_t noSample) {
  for (size_t k = 0; k < count; ++k) cells[k] = KeyDepth(cells[k], noSample);
}

// The smallest integer not below x, for 0 <= x < 2^31 (without the library
// call that std::ceil is on processors without SSE4.1).
inline int32_t CeilInt(float x) {
  const int32_t i = static_cast<int32_t>(x);
  return i + (static_cast<float>(i) < x ? 1 : 0);
}
// The vector min and max instructions' rule (the second operand where
// either is NaN), so that every kernel clamps alike.
inline float MinOf(float a, float b) { return a < b ? a : b; }
inline float MaxOf(float a, float b) { return a > b ? a : b; }

// Where the pixels of one source row land. Pixel i covers the target
// pixels x0 .. x0 + w - 1 and y0 .. y0 + h - 1 (its footprint cut to the
// grid): span[i] = w | h << 16, and cell[i] = y0 * width + x0 where the
// footprint is not empty (a cell of the grid near it where it is). key[i]
// is its key, and all ones (kEmptyKey in its low 16 bits) where the
// footprint is empty or it has no depth, and only there. widest and tallest bound w and h in the row. Sized to the
// source width.
struct RowFootprints {
  std::vector<uint32_t> cell, span;
  std::vector<uint32_t> key;  // 32 bits: a vector kernel stores them without packing
  int32_t widest = 0, tallest = 0;
  explicit RowFootprints(uint32_t n) : cell(n), span(n), key(n) {}
};

// Projects source pixels first .. last - 1 of a row (row: RowTerms of it)
// and raises widest and tallest to cover them. Branch-free, so that the
// divisions overlap. A faster kernel (the engine's vector one) must give
// exactly these values.
inline void ProjectRow(const FootprintTerms& m, const float rowTerms[3], const uint16_t* row, uint32_t first,
                       uint32_t last, uint16_t noSample, uint16_t shadow, RowFootprints* f) {
#if defined(__clang__)
#pragma clang fp contract(off)  // no fused multiply-add, even inlined into a kernel whose target has it
#endif
  const float width = static_cast<float>(m.width), height = static_cast<float>(m.height);
  for (uint32_t i = first; i < last; ++i) {
    const uint16_t d = row[i];
    const float z = d;
    const float x = z * (m.colU[i] + rowTerms[0]) + m.tU;
    const float y = z * (m.colV[i] + rowTerms[1]) + m.tV;
    const float w = z * (m.colW[i] + rowTerms[2]) + m.tW;
    const bool front = (w > 0.5f) & (w < 65535.5f);  // in front, and a depth of 1..65535 mm (& for no branches)
    const float iw = 1.0f / (front ? w : 1.0f);
    const float u = x * iw + m.cx, v = y * iw + m.cy;
    const bool ok = (d != noSample) & (d != shadow) & front;
    const float k = ok ? z * iw : 0.0f;  // a point without depth gets an empty footprint
    const float su = m.footX * k, sv = m.footY * k;
    // Target pixels with centres in [u - su, u + su): ceil(u - su) .. ceil(u + su) - 1, cut to the grid.
    const int32_t a0 = CeilInt(MinOf(MaxOf(u - su, 0.0f), width));
    const int32_t a1 = CeilInt(MinOf(MaxOf(u + su, 0.0f), width));
    const int32_t b0 = CeilInt(MinOf(MaxOf(v - sv, 0.0f), height));
    const int32_t b1 = CeilInt(MinOf(MaxOf(v + sv, 0.0f), height));
    const int32_t q = static_cast<int32_t>(ok ? w + 0.5f : 0.0f);  // to the nearest mm
    const bool drop = (a1 == a0) | (b1 == b0) | (q == noSample) | (q == shadow);
    f->cell[i] = static_cast<uint32_t>(std::min(b0, m.height - 1)) * static_cast<uint32_t>(m.width) +
                 static_cast<uint32_t>(std::min(a0, m.width - 1));
    f->span[i] = static_cast<uint32_t>(a1 - a0) | static_cast<uint32_t>(b1 - b0) << 16;
    f->key[i] = drop ? 0xFFFFFFFFu : DepthKey(static_cast<uint16_t>(q), noSample);
    f->widest = std::max(f->widest, a1 - a0);
    f->tallest = std::max(f->tallest, b1 - b0);
  }
}

// A row projector: ProjectRow, or a kernel that gives the same values.
using RowProjector = void (*)(const FootprintTerms& m, const float rowTerms[3], const uint16_t* row, uint32_t first,
                              uint32_t last, uint16_t noSample, uint16_t shadow, RowFootprints* f);

// Lowers the cells of the footprints of one projected row of n pixels in
// the key grid keys (m.width x m.height).
inline void WriteFootprints(const FootprintTerms& m, const RowFootprints& f, uint32_t n, uint16_t* keys) {
  // Footprints of cameras of similar resolution are one or two cells wide
  // and high, so whole rows are written by one of two loops without
  // branches (an empty footprint's key changes nothing, so it may write).
  if (f.widest <= 1 && f.tallest <= 1) {
    for (uint32_t i = 0; i < n; ++i) {
      uint16_t* const p = keys + f.cell[i];
      *p = std::min(*p, static_cast<uint16_t>(f.key[i]));
    }
  } else if (f.widest <= 2 && f.tallest <= 2) {
    const uint32_t tw = static_cast<uint32_t>(m.width);
    for (uint32_t i = 0; i < n; ++i) {
      // The footprint's last column and row (its first where it has one).
      const uint32_t dx = (f.span[i] & 0xFFFF) > 1 ? 1 : 0, dy = (f.span[i] >> 16) > 1 ? tw : 0;
      uint16_t* const p = keys + f.cell[i];
      const uint16_t q = static_cast<uint16_t>(f.key[i]);
      p[0] = std::min(p[0], q);
      p[dx] = std::min(p[dx], q);
      p[dy] = std::min(p[dy], q);
      p[dx + dy] = std::min(p[dx + dy], q);
    }
  } else {
    const size_t tw = static_cast<size_t>(m.width);
    for (uint32_t i = 0; i < n; ++i) {
      const uint16_t q = static_cast<uint16_t>(f.key[i]);
      if (q == kEmptyKey) continue;
      const uint32_t w = f.span[i] & 0xFFFF, h = f.span[i] >> 16;
      for (uint32_t b = 0; b < h; ++b) {
        uint16_t* const t = keys + f.cell[i] + b * tw;
        for (uint32_t a = 0; a < w; ++a) t[a] = std::min(t[a], q);
      }
    }
  }
}

// Maps source rows rowFirst .. rowLast - 1 of a depth frame (from.width
// values each) into the key grid keys (to.width x to.height, every cell
// kEmptyKey or a key of an earlier footprint). Source values equal to
// noSample or shadow are no depth. The result does not depend on how the
// rows are split between calls or grids that are merged by the smaller
// key afterwards.
inline void MapDepthRows(const DepthMapping& m, const uint16_t* source, uint32_t rowFirst, uint32_t rowLast,
                         uint16_t noSample, uint16_t shadow, uint16_t* keys, RowProjector project = ProjectRow) {
  const uint32_t n = m.from.width;
  RowFootprints f(n);
  for (uint32_t j = rowFirst; j < rowLast; ++j) {
    float rowTerms[3];
    m.RowTerms(j, rowTerms);
    f.widest = f.tallest = 0;
    project(m.single, rowTerms, source + static_cast<size_t>(j) * n, 0, n, noSample, shadow, &f);
    WriteFootprints(m.single, f, n, keys);
  }
}

// Maps a source depth frame (from.width x from.height values) into the
// target grid (to.width x to.height values at out). Source values equal to
// noSample or shadow are no depth.
inline void MapDepthFrame(const DepthMapping& m, const uint16_t* source, uint16_t noSample, uint16_t shadow,
                          uint16_t* out, RowProjector project = ProjectRow) {
  const size_t count = static_cast<size_t>(m.to.width) * m.to.height;
  if (count == 0) return;
  std::memset(out, 0xFF, count * sizeof(uint16_t));  // kEmptyKey in every cell
  MapDepthRows(m, source, 0, m.from.height, noSample, shadow, out, project);
  KeysToDepths(out, count, noSample);
}

}  // namespace geometry
}  // namespace tollan
