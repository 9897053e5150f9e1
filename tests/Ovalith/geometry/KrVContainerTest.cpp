#include <Ovalith/Infrastructure/KrVStatus.h>
#include <Ovalith/geometry/KrVMatrix.h>
#include <Ovalith/geometry/KrVPointContainer.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

namespace {

std::vector<uint32_t> Contents(const KrVContainer& c, unsigned int count) {
  const auto* values = static_cast<const uint32_t*>(c.Data());
  return std::vector<uint32_t>(values, values + count);
}

TEST(ContainerTest, AddGrowsOwnedBuffersOnly) {
  const uint32_t v[] = {1, 2, 3, 4, 5};
  KrVContainer fresh(5, 4);  // zero-filled and aligned
  EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(fresh.Data()) % 16);
  EXPECT_EQ(std::vector<uint32_t>(5, 0), Contents(fresh, 5));
  KrVContainer empty(0u, 4);
  EXPECT_EQ(KR_STATUS_OS_ERROR, empty.Add(&v[0]));  // doubling 0 gives nothing
  uint32_t memory[2] = {};
  KrVContainer external(memory, 2, 4);
  EXPECT_EQ(KR_STATUS_OK, external.Add(&v[0]));
  EXPECT_EQ(KR_STATUS_OK, external.Add(&v[1]));
  EXPECT_EQ(KR_STATUS_OS_ERROR, external.Add(&v[2]));
  EXPECT_EQ(2u, external.GetSize());

  KrVContainer owned(4, 4);
  for (const uint32_t& value : v) {
    ASSERT_EQ(KR_STATUS_OK, owned.Add(&value));
  }
  EXPECT_EQ(8u, owned.GetCapacity());
  EXPECT_EQ(5u, owned.GetSize());
  EXPECT_EQ((std::vector<uint32_t>{1, 2, 3, 4, 5}), Contents(owned, 5));
  EXPECT_EQ(KR_STATUS_OS_NULL_POINTER, owned.Add(nullptr));
  owned.Clear();
  EXPECT_EQ(0u, owned.GetSize());
  EXPECT_EQ(1u, Contents(owned, 1)[0]);  // Clear keeps the bytes
}

TEST(ContainerTest, SetAtGrowsToIndexPlus100AndKeepsSize) {
  const uint32_t value = 42;
  KrVContainer owned(4, 4);
  ASSERT_EQ(KR_STATUS_OK, owned.Add(&value));
  ASSERT_EQ(KR_STATUS_OK, owned.SetAt(10, &value));
  EXPECT_EQ(110u, owned.GetCapacity());
  EXPECT_EQ(1u, owned.GetSize());
  EXPECT_EQ(42u, Contents(owned, 11)[10]);
  EXPECT_EQ(42u, Contents(owned, 1)[0]);
  // An index whose growth would wrap fails and changes nothing.
  for (unsigned int index : {0xFFFFFFF0u, 0xFFFFFFFFu, 0xFFFFFF9Cu}) {
    EXPECT_EQ(KR_STATUS_OS_ERROR, owned.SetAt(index, &value)) << index;
    EXPECT_EQ(110u, owned.GetCapacity()) << index;
  }
  uint32_t memory[4] = {};
  KrVContainer external(memory, 4, 4);
  EXPECT_EQ(KR_STATUS_OK, external.SetAt(3, &value));
  EXPECT_EQ(KR_STATUS_OS_ERROR, external.SetAt(4, &value));
}

TEST(ContainerTest, ReAdjust) {
  KrVContainer owned(8, 4);
  const uint32_t value = 7;
  owned.Add(&value);
  EXPECT_EQ(KR_STATUS_OK, owned.ReAdjust(3u));
  EXPECT_EQ(8u, owned.GetCapacity());
  EXPECT_EQ(0u, owned.GetSize());
  EXPECT_EQ(KR_STATUS_OK, owned.ReAdjust(20u));
  EXPECT_EQ(20u, owned.GetCapacity());
  EXPECT_EQ(std::vector<uint32_t>(20, 0), Contents(owned, 20));

  uint32_t memory[4] = {};
  EXPECT_EQ(KR_STATUS_OK, owned.ReAdjust(memory, 4));  // frees the owned buffer
  EXPECT_TRUE(owned.IsExternal());
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
  EXPECT_EQ(1u, copy->GetSize());
  EXPECT_EQ(9u, Contents(*copy, 1)[0]);
  delete owned;
  uint32_t memory[3] = {};
  KrVContainer external(memory, 3, 4);
  KrVContainer assigned(external);
  EXPECT_EQ(memory, assigned.Data());
  assigned = *copy;  // external <- owned
  EXPECT_FALSE(assigned.IsExternal());
  delete copy;
  EXPECT_EQ(9u, Contents(assigned, 1)[0]);
  const KrVContainer& same = assigned;
  assigned = same;
  EXPECT_EQ(9u, Contents(assigned, 1)[0]);
  assigned = external;  // owned <- external
  EXPECT_EQ(memory, assigned.Data());
}

TEST(PointContainerTest, AddReportsAFullExternalContainer) {
  KrVPoint memory[1];
  KrVPointContainer points(memory, 1);
  EXPECT_EQ(KR_STATUS_OK, points.Add(KrVPoint(1, 2, 3)));
  EXPECT_EQ(KR_STATUS_OS_ERROR, points.Add(KrVPoint(4, 5, 6)));
  EXPECT_EQ(2.0f, points[0].Y());
  KrVPointContainer owned(1);
  owned.Add(KrVPoint(1, 2, 3));
  owned.Add(KrVPoint(4, 5, 6));
  EXPECT_EQ(5.0f, owned[1].Y());
  EXPECT_EQ(KR_STATUS_QM_BAD_PARAMETER, owned.SetSize(3));
}

TEST(MatrixTest, ImageMatrixRowsAreBytes) {
  unsigned char memory[25];
  std::fill(memory, memory + 25, 0xAB);
  KrVImageMatrix image(memory, 4, 2, 3);
  EXPECT_EQ(12, image.GetXRes());
  EXPECT_EQ(2, image.GetYRes());
  image.Clear();
  EXPECT_EQ(std::vector<unsigned char>(24, 0), std::vector<unsigned char>(memory, memory + 24));
  EXPECT_EQ(0xAB, memory[24]);
}

TEST(MatrixTest, Clone) {
  KrVDepthMatrix source(3, 2);
  source(2, 1) = 5;
  EXPECT_EQ(5, source[5]);
  KrVImageMatrix image(3, 2, 2);
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
  EXPECT_EQ(KR_STATUS_QM_BAD_PARAMETER, external.ReAdjust(3, 2));
  EXPECT_EQ(2, external.GetXRes());
  KrVDepthMatrix copy(source);
  copy(0, 0) = 1;
  EXPECT_EQ(0, source(0, 0));
}

}  // namespace
