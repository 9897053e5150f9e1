// Containers, matrices and bounding boxes.
#include <Ovalith/Ovalith.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

std::vector<uint32_t> Contents(const KrVContainer& c, unsigned int count) {
  const auto* values = static_cast<const uint32_t*>(c.Data());
  return std::vector<uint32_t>(values, values + count);
}

// Owned buffers grow (Add doubles, SetAt to index + 100); external ones
// and growth that would wrap fail and change nothing.
TEST(ContainerTest, AddAndSetAtGrowOwnedBuffersOnly) {
  const uint32_t v[] = {1, 2, 3, 4, 5};
  KrVContainer owned(4, 4);  // zero-filled and aligned
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(owned.Data()) % 16);
  EXPECT_EQ(std::vector<uint32_t>(4, 0), Contents(owned, 4));
  for (const uint32_t& value : v) {
    ASSERT_EQ(KR_STATUS_OK, owned.Add(&value));
  }
  EXPECT_EQ(8u, owned.GetCapacity());
  EXPECT_EQ((std::vector<uint32_t>{1, 2, 3, 4, 5}), Contents(owned, owned.GetSize()));
  EXPECT_EQ(KR_STATUS_OS_NULL_POINTER, owned.Add(nullptr));
  ASSERT_EQ(KR_STATUS_OK, owned.SetAt(10, &v[4]));
  EXPECT_EQ(110u, owned.GetCapacity());
  EXPECT_EQ(5u, owned.GetSize());
  EXPECT_EQ(5u, Contents(owned, 11)[10]);
  for (unsigned int index : {0xFFFFFFF0u, 0xFFFFFFFFu, 0xFFFFFF9Cu}) {
    EXPECT_EQ(KR_STATUS_OS_ERROR, owned.SetAt(index, &v[0])) << index;
    EXPECT_EQ(110u, owned.GetCapacity()) << index;
  }
  owned.Clear();
  EXPECT_EQ(0u, owned.GetSize());
  EXPECT_EQ(1u, Contents(owned, 1)[0]);  // Clear keeps the bytes
  KrVContainer empty(0u, 4);
  EXPECT_EQ(KR_STATUS_OS_ERROR, empty.Add(&v[0]));  // doubling 0 gives nothing
  uint32_t memory[2] = {};
  KrVContainer external(memory, 2, 4);
  EXPECT_EQ(KR_STATUS_OK, external.Add(&v[0]));
  EXPECT_EQ(KR_STATUS_OK, external.SetAt(1, &v[1]));
  EXPECT_EQ(KR_STATUS_OS_ERROR, external.SetAt(2, &v[2]));
  EXPECT_EQ(KR_STATUS_OK, external.Add(&v[1]));
  EXPECT_EQ(KR_STATUS_OS_ERROR, external.Add(&v[2]));
  EXPECT_EQ(2u, external.GetSize());
  KrVPoint points[1];
  KrVPointContainer full(points, 1);
  EXPECT_EQ(KR_STATUS_OK, full.Add(KrVPoint(1, 2, 3)));
  EXPECT_EQ(KR_STATUS_OS_ERROR, full.Add(KrVPoint(4, 5, 6)));
  EXPECT_EQ(KR_STATUS_QM_BAD_PARAMETER, full.SetSize(2));
}

TEST(ContainerTest, ReAdjust) {
  KrVContainer owned(8, 4);
  const uint32_t value = 7;
  owned.Add(&value);
  EXPECT_EQ(KR_STATUS_OK, owned.ReAdjust(3u));
  EXPECT_EQ(8u, owned.GetCapacity());
  EXPECT_EQ(0u, owned.GetSize());
  EXPECT_EQ(KR_STATUS_OK, owned.ReAdjust(20u));
  EXPECT_EQ(std::vector<uint32_t>(20, 0), Contents(owned, owned.GetCapacity()));
  uint32_t memory[4] = {};
  EXPECT_EQ(KR_STATUS_OK, owned.ReAdjust(memory, 4));  // frees the owned buffer
  EXPECT_EQ(KR_STATUS_QM_BAD_PARAMETER, owned.ReAdjust(5u));
  EXPECT_EQ(memory, owned.Data());
  EXPECT_EQ(4u, owned.GetCapacity());
}

// Copies never share an owned buffer (each frees its own, checked by the
// sanitizers); copies of a wrapper share the caller's memory.
TEST(ContainerTest, CopiesInEveryOrder) {
  const uint32_t value = 9;
  auto* owned = new KrVContainer(2, 4);
  owned->Add(&value);
  auto* copy = new KrVContainer(*owned);
  EXPECT_NE(owned->Data(), copy->Data());
  delete owned;
  uint32_t memory[3] = {};
  KrVContainer external(memory, 3, 4);
  KrVContainer assigned(external);
  EXPECT_EQ(memory, assigned.Data());
  assigned = *copy;  // external <- owned
  EXPECT_FALSE(assigned.IsExternal());
  delete copy;
  const KrVContainer& same = assigned;
  assigned = same;
  EXPECT_EQ(std::vector<uint32_t>{9}, Contents(assigned, assigned.GetSize()));
  assigned = external;  // owned <- external
  EXPECT_EQ(memory, assigned.Data());
}

TEST(MatrixTest, ImageRowsAreBytesAndCloneChecksTypeAndRoom) {
  unsigned char memory[25];
  std::fill(memory, memory + 25, 0xAB);
  KrVImageMatrix image(memory, 4, 2, 3);
  EXPECT_EQ(12, image.GetXRes());
  image.Clear();
  EXPECT_EQ(std::vector<unsigned char>(24, 0), std::vector<unsigned char>(memory, memory + 24));
  EXPECT_EQ(0xAB, memory[24]);
  KrVDepthMatrix source(3, 2);
  source(2, 1) = 5;
  EXPECT_EQ(5, source[5]);
  EXPECT_EQ(KR_STATUS_QM_ILLEGAL_INPUT, source.Clone(image));
  KrVDepthMatrix target(1, 1);
  ASSERT_EQ(KR_STATUS_OK, source.Clone(target));
  EXPECT_EQ(3, target.GetXRes());
  EXPECT_EQ(5, target(2, 1));
  EXPECT_NE(source.Data(), target.Data());
  unsigned short small[4];
  KrVDepthMatrix external(small, 2, 2);
  EXPECT_EQ(KR_STATUS_QM_BAD_PARAMETER, source.Clone(external));
  EXPECT_EQ(2, external.GetXRes());  // a failed ReAdjust keeps the resolution
}

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
