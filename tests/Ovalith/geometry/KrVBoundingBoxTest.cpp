#include <Ovalith/geometry/KrVBoundingBox.h>
#include <gtest/gtest.h>

namespace {

void ExpectPoint(float x, float y, float z, const KrVPoint& p) {
  EXPECT_EQ(x, p.X());
  EXPECT_EQ(y, p.Y());
  EXPECT_EQ(z, p.Z());
}

TEST(BoundingBoxTest, GrowsAroundItsPoints) {
  KrVBoundingBox box(KrVPoint(1, 5, 3), KrVPoint(4, 2, 6));
  ExpectPoint(1, 2, 3, box.GetMins());
  ExpectPoint(4, 5, 6, box.GetMaxs());
  const struct {
    KrVPoint p;
    bool within;
  } rows[] = {{{4, 5, 6}, true},      {{1, 2, 3}, true},     {{4, 5, 6.01f}, false},
              {{0.99f, 3, 4}, false}, {{2, 5.5f, 4}, false}, {{2, 3, 4}, true}};
  for (const auto& row : rows) {
    EXPECT_EQ(row.within, box.IsPointWithin(row.p)) << row.p.X() << "," << row.p.Y() << "," << row.p.Z();
  }
  box.AddPoint(-1, 10, 4);
  ExpectPoint(-1, 2, 3, box.GetMins());
  ExpectPoint(4, 10, 6, box.GetMaxs());
  box.Clear();
  EXPECT_FALSE(box.IsValid());
  box.AddPoint(7, 8, 9);
  ExpectPoint(7, 8, 9, box.GetMins());
  ExpectPoint(7, 8, 9, box.GetMaxs());
}

TEST(BoundingBoxTest, CutToResolution) {
  KrVBoundingBox box(KrVPoint(-3, 2, 0), KrVPoint(700, 479, 9000));
  box.CutToResolution(640, 480, 10000);
  ExpectPoint(0, 2, 0, box.GetMins());
  ExpectPoint(639, 479, 9000, box.GetMaxs());
  KrVBoundingBox edge(KrVPoint(0, 0, 0), KrVPoint(640, 480, 10000));
  edge.CutToResolution(640, 480, 10000);
  ExpectPoint(639, 479, 9999, edge.GetMaxs());
}

}  // namespace
