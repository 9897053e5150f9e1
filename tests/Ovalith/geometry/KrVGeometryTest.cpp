// Containers, matrices, bounding boxes and the real-world translator with each of its row kernels.
#include <Ovalith/Ovalith.h>
#include <Ovalith/geometry/KrVRealWorldTranslatorInternal.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

namespace {

std::vector<uint32_t> Contents(const KrVContainer& c, unsigned int count) {
  const auto* values = static_cast<const uint32_t*>(c.Data());
  return std::vector<uint32_t>(values, values + count);
}

// Owned buffers grow (Add doubles, SetAt to index + 100); external ones and wrapping growth fail, changing nothing.
TEST(ContainerTest, AddSetAtAndReAdjustGrowOwnedBuffersOnly) {
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
  // ReAdjust empties, grows an owned buffer zero-filled, and a wrapped one not at all.
  ASSERT_EQ(KR_STATUS_OK, owned.Add(&v[0]));
  EXPECT_EQ(KR_STATUS_OK, owned.ReAdjust(3u));
  EXPECT_EQ(110u, owned.GetCapacity());
  EXPECT_EQ(0u, owned.GetSize());
  EXPECT_EQ(KR_STATUS_OK, owned.ReAdjust(200u));
  EXPECT_EQ(std::vector<uint32_t>(200, 0), Contents(owned, owned.GetCapacity()));
  EXPECT_EQ(KR_STATUS_OK, owned.ReAdjust(memory, 2));  // frees the owned buffer
  EXPECT_EQ(KR_STATUS_QM_BAD_PARAMETER, owned.ReAdjust(3u));
  EXPECT_EQ(memory, owned.Data());
  EXPECT_EQ(2u, owned.GetCapacity());
}

// Copies never share an owned buffer (checked by the sanitizers); copies of a wrapper share the caller's memory.
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
  const std::pair<KrVPoint, bool> points[] = {{{4, 5, 6}, true},      {{1, 2, 3}, true},      {{2, 3, 4}, true},
                                              {{4, 5, 6.01f}, false}, {{0.99f, 3, 4}, false}, {{2, 5.5f, 4}, false}};
  for (const auto& p : points) {
    EXPECT_EQ(box.IsPointWithin(p.first), p.second) << p.first.X() << "," << p.first.Y() << "," << p.first.Z();
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

struct Calibration {
  double zpd, zpps;
  unsigned short xRes, yRes, parentXRes, parentYRes, xOffset, yOffset;
  KrVRealWorldTranslator Make() const {
    return KrVRealWorldTranslator(zpd, zpps, xRes, yRes, parentXRes, parentYRes, xOffset, yOffset);
  }
};

bool SameBits(const KrVPoint& a, const KrVPoint& b) { return std::memcmp(&a, &b, sizeof(KrVPoint)) == 0; }

TEST(TranslatorTest, ScaleFactorAndProjectiveToRealWorld) {
  const std::pair<unsigned short, double> rows[] = {{640, 2.0},  {320, 4.0}, {800, 1.0},  {1280, 1.0}, {1281, 0.0},
                                                    {2000, 0.0}, {427, 2.0}, {1, 1280.0}, {0, 0.0}};
  for (const auto& row : rows) {
    EXPECT_EQ(row.second, KrVRealWorldTranslator(120, 0.1, 10, 10, row.first, 480, 0, 0).GetF()) << row.first;
    EXPECT_EQ(row.second, KrVRealWorldTranslator(120, 0.1, row.first, 480).GetF()) << row.first;
  }
  KrVRealWorldTranslator t(120, 0.1, 640, 480);
  EXPECT_EQ(KR_STATUS_OK, t.Update(120, 0.1, 100, 50, 320, 240, 7, 8));
  EXPECT_EQ(4.0, t.GetF());
  EXPECT_EQ(7, t.GetXOffset());
  EXPECT_EQ(KR_STATUS_OK, t.Update(120, 0.1, 800, 600));
  EXPECT_EQ(800, t.GetParentXRes());
  EXPECT_EQ(0, t.GetXOffset());
  const KrVRealWorldTranslator sensor(120, 0.1042, 640, 480);
  KrVPoint p(420, 240, 1000);
  sensor.Projective2RW(p);
  EXPECT_EQ(static_cast<float>(100.0 * 0.1042 * 2.0 * 1000.0 * (1.0 / 120.0)), p.X());
  EXPECT_EQ(0.0f, p.Y());
  EXPECT_EQ(1000.0f, p.Z());
  // A window's pixel is the parent's pixel moved by the offsets.
  const KrVRealWorldTranslator window(120, 0.1042, 320, 240, 640, 480, 100, 50);
  KrVPoint inWindow(3, 4, 800);
  KrVPoint inParent(103, 54, 800);
  window.Projective2RW(inWindow);
  sensor.Projective2RW(inParent);
  EXPECT_TRUE(SameBits(inParent, inWindow));
  // ZPD 0: no division; the point lies on the axis.
  KrVPoint flat(400, 100, 900);
  KrVRealWorldTranslator(0, 0.1042, 640, 480).Projective2RW(flat);
  EXPECT_EQ(0.0f, flat.X());
  EXPECT_EQ(0.0f, flat.Y());
}

// Per point and in batches: exact results, truncation toward zero, the column's low 16 bits, degenerate input.
TEST(TranslatorTest, RealWorldToProjective) {
  const Calibration sensor = {120, 0.1042, 640, 480, 640, 480, 0, 0};
  const Calibration unit = {1, 1, 1280, 2, 1280, 2, 0, 0};  // F 1, cx 640, cy 1
  const Calibration window = {120, 0.1042, 320, 240, 640, 480, 100, 50};
  const Calibration noScale = {120, 0.1042, 10, 10, 0, 480, 0, 0};
  // {calibration, point, RW2Projective's column and row, RW2ProjectiveFloat's}
  const std::tuple<Calibration, KrVPoint, float, float, float, float> rows[] = {
      {sensor, {0, 0, 1000}, 320, 240, 320, 240},
      {unit, {9, 0, 10}, 640, 1, 640.9f, 1},
      {unit, {0, 20, 10}, 640, 3, 640, 3},  // below the centre row: cy + 20 / 10
      {unit, {-6437, 0, 10}, -3, 1, static_cast<float>(640 + -6437 / 10.0), 1},
      {unit, {693600, 0, 10}, 4464, 1, 70000, 1},
      {unit, {321280, 0, 10}, -32768, 1, 32768, 1},
      {unit, {1e12f, 0, 10}, 0, 1, static_cast<float>(640 + static_cast<double>(1e12f) / 10), 1},
      {unit, {5, 5, 0}, 640, 1, 640, 1},       // Z 0: the centre
      {noScale, {5, 5, 100}, 0, 240, 0, 240},  // F 0: the centre
      {window, {0, 0, 1000}, 220, 190, 220, 190},
  };
  for (const auto& [setup, in, u, v, uFloat, vFloat] : rows) {
    SCOPED_TRACE(in.X());
    const KrVRealWorldTranslator t = setup.Make();
    KrVPoint whole = in;
    KrVPoint fractional = in;
    t.RW2Projective(whole);
    t.RW2ProjectiveFloat(fractional);
    KrVPointContainer wholeBatch(2);
    wholeBatch.Add(KrVPoint(1, 2, 3));
    wholeBatch.Add(in);
    KrVPointContainer fractionalBatch(wholeBatch);
    t.RW2Projective(wholeBatch);
    t.RW2ProjectiveFloat(fractionalBatch);
    EXPECT_TRUE(SameBits(whole, wholeBatch[1]));
    EXPECT_TRUE(SameBits(fractional, fractionalBatch[1]));
    EXPECT_EQ(u, whole.X());
    EXPECT_EQ(v, whole.Y());
    EXPECT_EQ(in.Z(), whole.Z());
    EXPECT_EQ(uFloat, fractional.X());
    EXPECT_EQ(vFloat, fractional.Y());
  }
}

// The whole-frame conversion with each row kernel this processor has (a kernel it lacks is skipped by name).
class TranslatorBatchTest : public ::testing::TestWithParam<KrVTranslatorKernel> {
 protected:
  void SetUp() override {
    if (!KrVUseTranslatorKernel(GetParam())) {
      GTEST_SKIP() << "the " << KernelName(GetParam())
                   << " kernel is not exercised: this processor lacks its vector unit";
    }
    const char* running = KrVTranslatorKernelName(GetParam());
    RecordProperty("kernel", running);
    std::printf("[ KERNEL   ] %s runs the %s kernel\n", KernelName(GetParam()), running);
  }
  void TearDown() override { KrVUseTranslatorKernel(KRV_TRANSLATOR_KERNEL_WIDEST); }

 public:
  static const char* KernelName(KrVTranslatorKernel kernel) {
    static const char* const names[] = {"Widest", "Avx512", "Portable", "Avx2"};
    return names[kernel];
  }
};

INSTANTIATE_TEST_SUITE_P(Kernels, TranslatorBatchTest,
                         ::testing::Values(KRV_TRANSLATOR_KERNEL_WIDEST, KRV_TRANSLATOR_KERNEL_AVX512,
                                           KRV_TRANSLATOR_KERNEL_AVX2, KRV_TRANSLATOR_KERNEL_PORTABLE),
                         [](const ::testing::TestParamInfo<KrVTranslatorKernel>& info) {
                           return std::string(TranslatorBatchTest::KernelName(info.param));
                         });

TEST_P(TranslatorBatchTest, EqualsPerPointBitForBit) {
  const Calibration calibrations[] = {
      {120, 0.1042, 64, 48, 64, 48, 0, 0},    {120, 0.1042, 40, 30, 640, 480, 100, 50},
      {75, 0.2084, 64, 48, 1280, 1024, 0, 7}, {120, 0.1042, 64, 48, 0, 0, 0, 0},
      {120, 0.1042, 64, 48, 2000, 480, 0, 0}, {0, 0.1042, 64, 48, 640, 480, 3, 3},
      {120, 0, 64, 48, 640, 480, 0, 0},
  };
  const std::array<unsigned short, 4> windows[] = {
      {0, 0, 64, 48}, {5, 7, 20, 10}, {3, 1, 37, 9}, {63, 47, 1, 1}, {0, 0, 0, 5}};
  std::mt19937 random(1234);
  constexpr unsigned short kShadow = 7777;  // an eighth of the pixels; a quarter hold no sample
  KrVDepthMatrix depth(64, 48);
  KrVPointContainer points(0);
  for (const Calibration& setup : calibrations) {
    for (unsigned int i = 0; i < 64u * 48u; ++i) {
      const unsigned int kind = random() % 8;
      depth[static_cast<int>(i)] = kind < 2 ? 0 : kind == 2 ? kShadow : static_cast<unsigned short>(random());
    }
    const KrVRealWorldTranslator t = setup.Make();
    for (const auto& [x, y, width, height] : windows) {
      for (KrVNoSampleHandling handling : {KRV_NO_SAMPLE_KEEP, KRV_NO_SAMPLE_SKIP, KRV_NO_SAMPLE_OR_SHADOW_SKIP}) {
        ASSERT_EQ(KR_STATUS_OK, t.Projective2RW(depth, x, y, width, height, points, handling, 0, kShadow));
        unsigned int k = 0;
        for (unsigned short row = y; row < y + height; ++row) {
          for (unsigned short column = x; column < x + width; ++column) {
            const unsigned short z = depth(column, row);
            if (handling != KRV_NO_SAMPLE_KEEP && z == 0) continue;
            if (handling == KRV_NO_SAMPLE_OR_SHADOW_SKIP && z == kShadow) continue;
            KrVPoint expected(column, row, z);
            t.Projective2RW(expected);
            ASSERT_LT(k, points.GetSize());
            ASSERT_TRUE(SameBits(expected, points[static_cast<int>(k)])) << column << "," << row;
            ++k;
          }
        }
        EXPECT_EQ(k, points.GetSize());
      }
    }
  }
}

TEST_P(TranslatorBatchTest, RejectsBadWindowsAndFullOutputs) {
  const KrVRealWorldTranslator t(120, 0.1042, 8, 4);
  KrVDepthMatrix depth(8, 4);
  KrVPointContainer points(0);
  EXPECT_EQ(KR_STATUS_QM_BAD_PARAMETER, t.Projective2RW(depth, 4, 0, 5, 1, points));
  EXPECT_EQ(KR_STATUS_QM_BAD_PARAMETER, t.Projective2RW(depth, 0, 3, 1, 2, points));
  KrVPoint memory[31];
  KrVPointContainer external(memory, 31);
  EXPECT_EQ(KR_STATUS_QM_BAD_PARAMETER, t.Projective2RW(depth, external, KRV_NO_SAMPLE_KEEP));
  EXPECT_EQ(KR_STATUS_OS_NULL_POINTER, t.Projective2RW(nullptr, 8, 0, 0, 1, 1, points));
  depth[9] = 500;  // the only sample, at (1, 1)
  ASSERT_EQ(KR_STATUS_OK, t.Projective2RW(depth, points));
  ASSERT_EQ(1u, points.GetSize());
  EXPECT_EQ(500.0f, points[0].Z());
  ASSERT_EQ(KR_STATUS_OK, t.Projective2RW(depth, points, KRV_NO_SAMPLE_SKIP, 500));  // 500 as "no sample"
  EXPECT_EQ(31u, points.GetSize());
}

// Vector kernels may write scratch past the kept points, never past the output: a guard follows a full one.
TEST_P(TranslatorBatchTest, WritesNothingPastAFullOutput) {
  const KrVRealWorldTranslator t(120, 0.1042, 16, 2);
  KrVDepthMatrix depth(16, 2);
  for (int i = 0; i < 32; ++i) {
    depth[i] = static_cast<unsigned short>(1000 + i);
  }
  for (KrVNoSampleHandling handling : {KRV_NO_SAMPLE_KEEP, KRV_NO_SAMPLE_SKIP}) {
    struct {
      KrVPoint points[32];
      float guard;
    } memory = {};
    memory.guard = 12345.0f;
    KrVPointContainer external(memory.points, 32);
    ASSERT_EQ(KR_STATUS_OK, t.Projective2RW(depth, external, handling));
    EXPECT_EQ(32u, external.GetSize());
    EXPECT_EQ(12345.0f, memory.guard);
  }
}

}  // namespace
