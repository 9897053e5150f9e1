#include "DepthTables.h"

#include <Tollan/TollanStatus.h>

#include <cmath>
#include <utility>

namespace tollan {
namespace sensor {
namespace {

bool PositiveFinite(double v) { return std::isfinite(v) && v > 0.0; }

double ComputeConstant(const ShiftParams& p) {
  const double focal = static_cast<double>(p.zpd) / (p.zpps * static_cast<double>(p.pixelSizeFactor));
  const double baseline = p.lddis * 10.0;
  return static_cast<double>(p.shiftScale) / 10.0 * focal * baseline * static_cast<double>(p.paramCoeff);
}

}  // namespace

bool ShiftParams::operator==(const ShiftParams& o) const {
  return zpd == o.zpd && zpps == o.zpps && lddis == o.lddis && constShift == o.constShift &&
         pixelSizeFactor == o.pixelSizeFactor && paramCoeff == o.paramCoeff && shiftScale == o.shiftScale &&
         maxShift == o.maxShift && deviceMaxDepth == o.deviceMaxDepth;
}

KrStatus DepthTables::Check(const ShiftParams& p) {
  const bool factorsOk = p.zpd > 0 && PositiveFinite(p.zpps) && PositiveFinite(p.lddis) && p.pixelSizeFactor > 0 &&
                         p.paramCoeff > 0 && p.shiftScale > 0;
  const bool rangesOk =
      p.maxShift <= 0xFFFF && p.constShift < p.maxShift && p.deviceMaxDepth >= 1 && p.deviceMaxDepth <= 0xFFFF;
  if (!factorsOk || !rangesOk || !PositiveFinite(ComputeConstant(p))) return KR_STATUS_TL_BAD_PROPERTY_VALUE;
  return KR_STATUS_OK;
}

DepthTables::DepthTables(const ShiftParams& params)
    : params_(params), k_(ComputeConstant(params)), s2d_(params.maxShift + 1, 0), d2s_(params.deviceMaxDepth + 1, 0) {
  // Valid (shift, depth) pairs, nearest depth first: depth falls as the
  // shift grows, so walking the shifts downwards lists depths in order.
  std::vector<std::pair<uint32_t, uint16_t>> pairs;
  pairs.reserve(s2d_.size());
  for (uint64_t s = params.maxShift; s > params.constShift; --s) {
    const double depth = std::round(k_ / static_cast<double>(s - params.constShift));
    if (depth >= 1.0 && depth <= static_cast<double>(params.deviceMaxDepth)) {
      s2d_[s] = static_cast<uint16_t>(depth);
      pairs.emplace_back(static_cast<uint32_t>(s), s2d_[s]);
    }
  }
  if (pairs.empty()) return;
  nearest_ = pairs.front().second;
  farthest_ = pairs.back().second;

  size_t i = 0;
  for (uint32_t z = nearest_; z <= farthest_; ++z) {
    while (pairs[i].second < z) ++i;  // pairs[i] is the first pair at or beyond z
    if (pairs[i].second == z || i == 0) {
      d2s_[z] = static_cast<uint16_t>(pairs[i].first);
    } else {
      const uint32_t below = z - pairs[i - 1].second;
      const uint32_t above = pairs[i].second - z;
      d2s_[z] = static_cast<uint16_t>(below <= above ? pairs[i - 1].first : pairs[i].first);
    }
  }
}

uint16_t DepthTables::Quantize(double z) const {
  if (!(z >= 0.0)) return 0;
  const double rounded = std::round(z);
  if (rounded < nearest_ || rounded > farthest_ || nearest_ == 0) return 0;
  return s2d_[d2s_[static_cast<uint32_t>(rounded)]];
}

}  // namespace sensor
}  // namespace tollan
