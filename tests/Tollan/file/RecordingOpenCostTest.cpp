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

struct Case {
  const char* name;
  Shape shape;
  uint32_t small;
};

class RecordingOpenCostTest : public KitTest, public ::testing::WithParamInterface<Case> {
 protected:
  // Module and property that change i names: "M<i>"/"Value" or "Device"/"P<i>".
  static std::string ModuleOf(Shape shape, uint32_t i) {
    return shape == Shape::kNewModules ? "M" + std::to_string(i) : "Device";
  }
  static std::string PropertyOf(Shape shape, uint32_t i) {
    return shape == Shape::kNewModules ? "Value" : "P" + std::to_string(i);
  }

  // A "Depth" stream and count items of the shape, then one frame.
  void WriteCrafted(const std::string& path, uint32_t count) {
    const Shape shape = GetParam().shape;
    tollan::recording::RecordingWriter writer;
    ASSERT_EQ(writer.Open(path.c_str(), {{"Device", "Gain", Value::Int(1)}}), KR_STATUS_OK);
    uint32_t id = 0;
    ASSERT_EQ(writer.AddStream({0, "Depth", "Depth", Compression::kNone, {}}, &id), KR_STATUS_OK);
    for (uint32_t i = 0; i < count; ++i) {
      ASSERT_EQ(shape == Shape::kStreams
                    ? writer.AddStream({0, "S" + std::to_string(i), "IR", Compression::kNone, {}}, &id)
                    : writer.AppendPropertyChange({ModuleOf(shape, i), PropertyOf(shape, i), Value::Int(i + 7)}),
                KR_STATUS_OK);
    }
    const uint8_t data[4] = {1, 2, 3, 4};
    ASSERT_EQ(writer.AppendFrame({0, 1, 1000, sizeof(data)}, data), KR_STATUS_OK);
    ASSERT_EQ(writer.Close(), KR_STATUS_OK);
  }

  // The least CPU time of a few runs that open the recording, read its
  // frame and list every property; each run checks the last item is there.
  double LeastOf(int runs, const std::string& path, uint32_t count) {
    const Shape shape = GetParam().shape;
    double least = 1e30;
    for (int run = 0; run < runs && !HasFailure(); ++run) {
      timespec start{};
      timespec end{};
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
      KrDeviceConfig config{KR_DEVICE_MODE_READ, path.c_str(), nullptr, KR_DEVICE_SHARING_EXCLUSIVE};
      KrDeviceHandle device = nullptr;
      KrStreamData* record = nullptr;
      KrStreamDataSetHandle set = nullptr;
      PropertySet all;
      EXPECT_EQ(KrDeviceProxyCreate(&device, &config), KR_STATUS_OK);
      EXPECT_EQ(KrDeviceProxyOpenAllStreams(device), KR_STATUS_OK);
      EXPECT_EQ(KrDeviceProxyCreateStreamData(device, "Depth", &record), KR_STATUS_OK);
      EXPECT_EQ(KrStreamDataSetCreate(&set), KR_STATUS_OK);
      EXPECT_EQ(KrStreamDataSetAdd(set, record), KR_STATUS_OK);
      EXPECT_EQ(KrDeviceProxyRead(device, set), KR_STATUS_OK);
      EXPECT_EQ(KrDeviceProxyGetAllProperties(device, all.Get(), 0, nullptr), KR_STATUS_OK);
      clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
      least = std::min(least, double(end.tv_sec - start.tv_sec) + double(end.tv_nsec - start.tv_nsec) * 1e-9);

      EXPECT_EQ(record->bIsNew, 1);
      uint64_t value = 0;
      if (shape == Shape::kStreams) {
        EXPECT_TRUE(all.HasModule(("S" + std::to_string(count - 1)).c_str()));
      } else {
        EXPECT_EQ(KrPropertySetGetIntProperty(all.Get(), ModuleOf(shape, count - 1).c_str(),
                                              PropertyOf(shape, count - 1).c_str(), &value),
                  KR_STATUS_OK);
        EXPECT_EQ(value, count + 6u);
      }
      KrStreamDataSetDestroy(&set);
      KrDeviceProxyDestroyStreamData(&record);
      EXPECT_EQ(KrDeviceProxyDestroy(&device), KR_STATUS_OK);
    }
    return least;
  }
};

TEST_P(RecordingOpenCostTest, TenTimesTheItemsCostAboutTenTimesTheWork) {
  const uint32_t small = GetParam().small;
  ASSERT_NO_FATAL_FAILURE(WriteCrafted(scratch_.Path() + "/small.rec", small));
  ASSERT_NO_FATAL_FAILURE(WriteCrafted(scratch_.Path() + "/large.rec", 10 * small));
  const double smallCost = LeastOf(5, scratch_.Path() + "/small.rec", small);
  const double largeCost = LeastOf(2, scratch_.Path() + "/large.rec", 10 * small);
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
