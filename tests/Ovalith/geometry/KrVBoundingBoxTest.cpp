#include <Ovalith/geometry/KrVBoundingBox.h>
#include <gtest/gtest.h>

#include <cstring>

namespace {

void ExpectBox(const KrVBoundingBox& box, const KrVPoint& mins, const KrVPoint& maxs) {
  EXPECT_EQ(0, std::memcmp(&mins, &box.GetMins(), sizeof(KrVPoint))) << box.GetMins().X() << "," << box.GetMins().Y();
  EXPECT_EQ(0, std::memcmp(&maxs, &box.GetMaxs(), sizeof(KrVPoint))) << box.GetMaxs().X() << "," << box.GetMaxs().Y();
}

TEST(BoundingBoxTest, GrowsAroundItsPointsAndCutsToAResolution) {
  KrVBoundingBox box(KrVPoint(1, 5, 3), KrVPoint(4, 2, 6));
  ExpectBox(box, {1, 2, 3}, {4, 5, 6});
  for (const KrVPoint& p : {KrVPoint(4, 5, 6), KrVPoint(1, 2, 3), KrVPoint(2, 3, 4)}) {
    EXPECT_TRUE(box.IsPointWithin(p)) << p.X() << "," << p.Y() << "," << p.Z();
  }
  for (const KrVPoint& p : {KrVPoint(4, 5, 6.01f), KrVPoint(0.99f, 3, 4), KrVPoint(2, 5.5f, 4)}) {
    EXPECT_FALSE(box.IsPointWithin(p)) << p.X() << "," << p.Y() << "," << p.Z();
  }
  box.AddPoint(-1, 10, 4);
  ExpectBox(box, {-1, 2, 3}, {4, 10, 6});
  box.Clear();
  EXPECT_FALSE(box.IsValid());
  box.AddPoint(7, 8, 9);
  ExpectBox(box, {7, 8, 9}, {7, 8, 9});

  KrVBoundingBox cut(KrVPoint(-3, 2, 0), KrVPoint(700, 479, 9000));
  cut.CutToResolution(640, 480, 10000);
  ExpectBox(cut, {0, 2, 0}, {639, 479, 9000});
  KrVBoundingBox edge(KrVPoint(0, 0, 0), KrVPoint(640, 480, 10000));
  edge.CutToResolution(640, 480, 10000);
  ExpectBox(edge, {0, 0, 0}, {639, 479, 9999});
}

}  // namespace
