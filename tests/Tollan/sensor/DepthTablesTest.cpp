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

TEST(DepthTablesTest, TablesAreInverseWhereDefined) {
  ExpectInverse(DepthTables{ShiftParams{}});
  ShiftParams coarse;
  coarse.paramCoeff = 1;
  coarse.maxShift = 1023;
  coarse.deviceMaxDepth = 4000;
  ExpectInverse(DepthTables{coarse});
}

TEST(DepthTablesTest, DepthToShiftPicksTheNearestDepth) {
  const DepthTables t{ShiftParams{}};
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

TEST(DepthTablesTest, EachParameterMovesTheTable) {
  const DepthTables base{ShiftParams{}};
  const std::vector<void (*)(ShiftParams&)> changes = {
      [](ShiftParams& p) { p.zpd = 130; },           [](ShiftParams& p) { p.zpps = 0.11; },
      [](ShiftParams& p) { p.lddis = 8.0; },         [](ShiftParams& p) { p.constShift = 250; },
      [](ShiftParams& p) { p.pixelSizeFactor = 2; }, [](ShiftParams& p) { p.paramCoeff = 8; },
      [](ShiftParams& p) { p.shiftScale = 12; },
  };
  for (size_t i = 0; i < changes.size(); ++i) {
    ShiftParams p;
    changes[i](p);
    ASSERT_EQ(DepthTables::Check(p), KR_STATUS_OK) << i;
    EXPECT_NE(DepthTables{p}.S2D(), base.S2D()) << "change " << i;
  }
}

TEST(DepthTablesTest, ParametersWithoutATableAreRefused) {
  const std::vector<void (*)(ShiftParams&)> bad = {
      [](ShiftParams& p) { p.zpd = 0; },
      [](ShiftParams& p) { p.zpps = 0.0; },
      [](ShiftParams& p) { p.lddis = NAN; },
      [](ShiftParams& p) { p.paramCoeff = 0; },
      [](ShiftParams& p) { p.constShift = p.maxShift; },
      [](ShiftParams& p) { p.maxShift = 70000; },
      [](ShiftParams& p) { p.deviceMaxDepth = 0; },
  };
  for (size_t i = 0; i < bad.size(); ++i) {
    ShiftParams p;
    bad[i](p);
    EXPECT_EQ(DepthTables::Check(p), KR_STATUS_TL_BAD_PROPERTY_VALUE) << "case " << i;
  }
}

}  // namespace
}  // namespace sensor
}  // namespace tollan
