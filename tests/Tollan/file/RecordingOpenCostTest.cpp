// Opening a crafted recording costs work in proportion to its size: many
// property changes that each name a new module, many new properties of one
// module, many stream definitions. Each is opened (device, first read that
// replays the changes, whole property list) at a small and a ten times
// larger size: linear work gives a ratio of about ten (up to twenty as the
// tables outgrow the caches), a walk of everything so far per item a hundred
// and more. Thread CPU time, least of a few runs, so a busy machine slows
// both alike.
#include "Tollan/KitTestSupport.h"

#include <Tollan/Tollan.h>
#include <Tollan/src/file/RecordingWriter.h>

#include <time.h>

#include <algorithm>
#include <string>

namespace tollan_test {
namespace {

using tollan::Value;
using tollan::recording::Compression;

enum class Shape { kNewModules, kNewProperties, kStreams };

// The module and property that change number i names.
std::string ModuleOf(Shape shape, uint32_t i) {
  return shape == Shape::kNewModules ? "M" + std::to_string(i) : "Device";
}
std::string PropertyOf(Shape shape, uint32_t i) {
  return shape == Shape::kNewModules ? "Value" : "P" + std::to_string(i);
}

// A "Depth" stream and count items of the shape, then one frame.
void WriteCrafted(const std::string& path, Shape shape, uint32_t count) {
  tollan::recording::RecordingWriter writer;
  ASSERT_EQ(writer.Open(path.c_str(), {{"Device", "Gain", Value::Int(1)}}), KR_STATUS_OK);
  uint32_t depth = 0;
  ASSERT_EQ(writer.AddStream({0, "Depth", "Depth", Compression::kNone, {}}, &depth), KR_STATUS_OK);
  for (uint32_t i = 0; i < count; ++i) {
    uint32_t id = 0;
    const KrStatus status =
        shape == Shape::kStreams
            ? writer.AddStream({0, "S" + std::to_string(i), "IR", Compression::kNone, {}}, &id)
            : writer.AppendPropertyChange({ModuleOf(shape, i), PropertyOf(shape, i), Value::Int(i + 7)});
    ASSERT_EQ(status, KR_STATUS_OK);
  }
  const uint8_t data[4] = {1, 2, 3, 4};
  ASSERT_EQ(writer.AppendFrame({depth, 1, 1000, sizeof(data)}, data), KR_STATUS_OK);
  ASSERT_EQ(writer.Close(), KR_STATUS_OK);
}

double ThreadCpuSeconds() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return double(now.tv_sec) + double(now.tv_nsec) * 1e-9;
}

struct Case {
  const char* name;
  Shape shape;
  uint32_t small;
};

class RecordingOpenCostTest : public KitTest, public ::testing::WithParamInterface<Case> {
 protected:
  // Opens the recording, reads its frame and lists every property; checks
  // that everything recorded is there. Returns the CPU time it took.
  double Open(const std::string& path, uint32_t count) {
    const Shape shape = GetParam().shape;
    const double start = ThreadCpuSeconds();
    KrDeviceConfig config{KR_DEVICE_MODE_READ, path.c_str(), nullptr, KR_DEVICE_SHARING_EXCLUSIVE};
    KrDeviceHandle device = nullptr;
    EXPECT_EQ(KrDeviceProxyCreate(&device, &config), KR_STATUS_OK);
    KrStreamData* record = nullptr;
    KrStreamDataSetHandle set = nullptr;
    PropertySet all;
    EXPECT_EQ(KrDeviceProxyOpenAllStreams(device), KR_STATUS_OK);
    EXPECT_EQ(KrDeviceProxyCreateStreamData(device, "Depth", &record), KR_STATUS_OK);
    EXPECT_EQ(KrStreamDataSetCreate(&set), KR_STATUS_OK);
    EXPECT_EQ(KrStreamDataSetAdd(set, record), KR_STATUS_OK);
    EXPECT_EQ(KrDeviceProxyRead(device, set), KR_STATUS_OK);
    EXPECT_EQ(KrDeviceProxyGetAllProperties(device, all.Get(), 0, nullptr), KR_STATUS_OK);
    const double spent = ThreadCpuSeconds() - start;

    EXPECT_EQ(record->bIsNew, 1);
    uint32_t modules = 0;
    uint32_t properties = 0;
    EXPECT_EQ(KrPropertySetGetCounts(all.Get(), &modules, &properties), KR_STATUS_OK);
    EXPECT_EQ(modules, shape == Shape::kNewProperties ? 2 : count + 2);  // with "Device" and "Depth"
    for (uint32_t i : {0u, count / 2, count - 1}) {  // the first, a middle and the last item
      uint64_t value = 0;
      if (shape == Shape::kStreams) {
        EXPECT_TRUE(all.HasModule(("S" + std::to_string(i)).c_str())) << i;
      } else {
        EXPECT_EQ(KrPropertySetGetIntProperty(all.Get(), ModuleOf(shape, i).c_str(), PropertyOf(shape, i).c_str(),
                                              &value),
                  KR_STATUS_OK);
        EXPECT_EQ(value, i + 7u);
      }
    }
    KrStreamDataSetDestroy(&set);
    KrDeviceProxyDestroyStreamData(&record);
    EXPECT_EQ(KrDeviceProxyDestroy(&device), KR_STATUS_OK);
    return spent;
  }
  // The least of a few runs: what a run costs when nothing interrupts it.
  double LeastOf(int runs, const std::string& path, uint32_t count) {
    double least = 1e30;
    for (int run = 0; run < runs && !HasFailure(); ++run) {
      least = std::min(least, Open(path, count));
    }
    return least;
  }
};

TEST_P(RecordingOpenCostTest, TenTimesTheItemsCostAboutTenTimesTheWork) {
  const Case& c = GetParam();
  const std::string small = scratch_.Path() + "/small.rec";
  const std::string large = scratch_.Path() + "/large.rec";
  ASSERT_NO_FATAL_FAILURE(WriteCrafted(small, c.shape, c.small));
  ASSERT_NO_FATAL_FAILURE(WriteCrafted(large, c.shape, 10 * c.small));
  const double smallCost = LeastOf(5, small, c.small);
  const double largeCost = LeastOf(2, large, 10 * c.small);
  ASSERT_FALSE(HasFailure());
  EXPECT_LT(largeCost, 40 * smallCost) << "small " << smallCost << " s, large " << largeCost << " s";
}

INSTANTIATE_TEST_SUITE_P(Crafted, RecordingOpenCostTest,
                         ::testing::Values(Case{"NewModules", Shape::kNewModules, 5000},
                                           Case{"NewPropertiesOfOneModule", Shape::kNewProperties, 5000},
                                           Case{"StreamDefinitions", Shape::kStreams, 1000}),
                         [](const ::testing::TestParamInfo<Case>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace tollan_test
