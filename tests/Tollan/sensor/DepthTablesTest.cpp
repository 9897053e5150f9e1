// S2D/D2S of the simulated sensor: the documented formula, and the two
// tables as inverses of each other where that is defined.
#include "Tollan/src/sensor/DepthTables.h"

#include <Tollan/TollanStatus.h>
#include <gtest/gtest.h>

#include <cmath>

namespace tollan {
namespace sensor {
namespace {

// Every valid shift's depth maps back to a shift of that depth, and a shift
// whose depth no neighbour shares maps back to itself.
void ExpectInverse(const DepthTables& t) {
  const auto& s2d = t.S2D();
  const auto& d2s = t.D2S();
  int unique = 0;
  for (size_t s = 0; s < s2d.size(); ++s) {
    if (s2d[s] == 0) continue;
    ASSERT_LT(s2d[s], d2s.size());
    EXPECT_EQ(s2d[d2s[s2d[s]]], s2d[s]) << "shift " << s;
    const bool shared = (s > 0 && s2d[s - 1] == s2d[s]) || (s + 1 < s2d.size() && s2d[s + 1] == s2d[s]);
    if (!shared) {
      EXPECT_EQ(d2s[s2d[s]], s) << "shift " << s;
      ++unique;
    }
  }
  EXPECT_GT(unique, 0);
}

TEST(DepthTablesTest, FactoryTablesFollowTheFormula) {
  const DepthTables t{ShiftParams{}};
  ASSERT_EQ(t.S2D().size(), 2048u);
  ASSERT_EQ(t.D2S().size(), 10001u);
  // K = 10/10 * (120 / 0.1042) * 75 * 4 = 345489.44...
  EXPECT_EQ(t.S2D()[1000], 432);  // 345489.44 / 800
  EXPECT_EQ(t.S2D()[2047], 187);
  EXPECT_EQ(t.S2D()[200], 0);  // at ConstShift: no sample
  EXPECT_EQ(t.S2D()[230], 0);  // 11516 mm is beyond DeviceMaxDepth
  EXPECT_EQ(t.NearestDepth(), 187);
  EXPECT_LE(t.FarthestDepth(), 10000);
  EXPECT_EQ(t.D2S()[0], 0);
  EXPECT_EQ(t.D2S()[100], 0);  // nearer than the sensor can see
}

TEST(DepthTablesTest, TablesAreInverseAndDepthToShiftPicksTheNearestDepth) {
  const DepthTables t{ShiftParams{}};
  ExpectInverse(t);
  ShiftParams coarse;
  coarse.paramCoeff = 1;
  coarse.maxShift = 1023;
  coarse.deviceMaxDepth = 4000;
  ExpectInverse(DepthTables{coarse});
  const auto& s2d = t.S2D();
  for (uint32_t z = t.NearestDepth(); z <= t.FarthestDepth(); z += 7) {
    const int got = std::abs(int(s2d[t.D2S()[z]]) - int(z));
    int best = 1 << 30;
    for (uint16_t d : s2d) {
      if (d != 0) best = std::min(best, std::abs(int(d) - int(z)));
    }
    EXPECT_EQ(got, best) << "depth " << z;
  }
  EXPECT_EQ(t.Quantize(t.S2D()[1500]), t.S2D()[1500]);
  EXPECT_EQ(t.Quantize(50.0), 0);
}

// Each parameter moves the table; values that give no table are refused.
TEST(DepthTablesTest, EachParameterMovesTheTableOrIsRefused) {
  const DepthTables base{ShiftParams{}};
  const struct {
    void (*change)(ShiftParams&);
    KrStatus expected;
  } cases[] = {
      {[](ShiftParams& p) { p.zpd = 130; }, KR_STATUS_OK},
      {[](ShiftParams& p) { p.zpps = 0.11; }, KR_STATUS_OK},
      {[](ShiftParams& p) { p.lddis = 8.0; }, KR_STATUS_OK},
      {[](ShiftParams& p) { p.constShift = 250; }, KR_STATUS_OK},
      {[](ShiftParams& p) { p.pixelSizeFactor = 2; }, KR_STATUS_OK},
      {[](ShiftParams& p) { p.paramCoeff = 8; }, KR_STATUS_OK},
      {[](ShiftParams& p) { p.shiftScale = 12; }, KR_STATUS_OK},
      {[](ShiftParams& p) { p.zpd = 0; }, KR_STATUS_TL_BAD_PROPERTY_VALUE},
      {[](ShiftParams& p) { p.zpps = 0.0; }, KR_STATUS_TL_BAD_PROPERTY_VALUE},
      {[](ShiftParams& p) { p.lddis = NAN; }, KR_STATUS_TL_BAD_PROPERTY_VALUE},
      {[](ShiftParams& p) { p.paramCoeff = 0; }, KR_STATUS_TL_BAD_PROPERTY_VALUE},
      {[](ShiftParams& p) { p.constShift = p.maxShift; }, KR_STATUS_TL_BAD_PROPERTY_VALUE},
      {[](ShiftParams& p) { p.maxShift = 70000; }, KR_STATUS_TL_BAD_PROPERTY_VALUE},
      {[](ShiftParams& p) { p.deviceMaxDepth = 0; }, KR_STATUS_TL_BAD_PROPERTY_VALUE},
  };
  for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); ++i) {
    ShiftParams p;
    cases[i].change(p);
    ASSERT_EQ(DepthTables::Check(p), cases[i].expected) << "case " << i;
    EXPECT_TRUE(cases[i].expected != KR_STATUS_OK || DepthTables{p}.S2D() != base.S2D()) << "case " << i;
  }
}

}  // namespace
}  // namespace sensor
}  // namespace tollan
