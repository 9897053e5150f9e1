// The simulated sensor's shift-to-depth ("S2D") and depth-to-shift ("D2S")
// tables, computed from the depth stream's shift parameters.
//
// The sensor measures, for each pixel, how far the projected pattern moved
// (the shift, in 1/ParamCoeff of a sensor pixel, counted from ConstShift) and
// triangulates the depth from it:
//
//   focal length f  = ZPD / (ZPPS * PixelSizeFactor)        sensor pixels
//   baseline b      = LDDIS * 10                             mm (LDDIS is in cm)
//   K               = (ShiftScale / 10) * f * b * ParamCoeff
//   depth(shift)    = K / (shift - ConstShift)               mm
//
// S2D[s] (s = 0 .. MaxShift) is depth(s) rounded to the nearest mm, or 0 (no
// sample) when s <= ConstShift or the depth is beyond DeviceMaxDepth.
// D2S[z] (z = 0 .. DeviceMaxDepth) is the shift whose S2D depth is nearest to
// z, for z between the nearest and the farthest depth S2D holds (the largest
// such shift when several give exactly z); 0 outside that range and for z 0.
// So S2D[D2S[z]] == z for every z that S2D holds, and D2S[S2D[s]] == s for
// every s whose depth no other shift shares.
//
// Immutable once built; any thread may read a table.
#pragma once

#include <Orvane/OrvaneTypes.h>

#include <cstdint>
#include <vector>

namespace tollan {
namespace sensor {

struct ShiftParams {
  uint64_t zpd = 120;               // "ZPD", zero-plane distance, mm
  double zpps = 0.1042;             // "ZPPS", zero-plane pixel size, mm
  double lddis = 7.5;               // "LDDIS", emitter to camera distance, cm
  uint64_t constShift = 200;        // "ConstShift"
  uint64_t pixelSizeFactor = 1;     // "PixelSizeFactor"
  uint64_t paramCoeff = 4;          // "ParamCoeff", shift steps per sensor pixel
  uint64_t shiftScale = 10;         // "ShiftScale", gain in tenths (10 = 1.0)
  uint64_t maxShift = 2047;         // "MaxShift", largest shift value
  uint64_t deviceMaxDepth = 10000;  // "DeviceMaxDepth", farthest depth, mm

  bool operator==(const ShiftParams& o) const;
  bool operator!=(const ShiftParams& o) const { return !(*this == o); }
};

class DepthTables {
 public:
  // KR_STATUS_TL_BAD_PROPERTY_VALUE when the parameters describe no table:
  // a zero or non-finite factor, ConstShift not below MaxShift, or a table
  // index beyond 16 bits.
  static KrStatus Check(const ShiftParams& params);

  // Builds both tables; params must pass Check.
  explicit DepthTables(const ShiftParams& params);

  const ShiftParams& Params() const { return params_; }
  const std::vector<uint16_t>& S2D() const { return s2d_; }  // MaxShift + 1 entries
  const std::vector<uint16_t>& D2S() const { return d2s_; }  // DeviceMaxDepth + 1 entries

  // The depth the sensor reports for a true depth of z mm: the nearest value
  // that S2D holds, or 0 when z is outside the measurable range.
  uint16_t Quantize(double z) const;
  // Nearest and farthest depth that S2D holds (0 when it holds none).
  uint16_t NearestDepth() const { return nearest_; }
  uint16_t FarthestDepth() const { return farthest_; }
  // K of the formula above: depth * (shift - ConstShift).
  double Constant() const { return k_; }

 private:
  ShiftParams params_;
  double k_;
  uint16_t nearest_ = 0;
  uint16_t farthest_ = 0;
  std::vector<uint16_t> s2d_;
  std::vector<uint16_t> d2s_;
};

}  // namespace sensor
}  // namespace tollan
