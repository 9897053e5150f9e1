#include <Ovalith/Infrastructure/KrVStatus.h>
#include <Ovalith/properties/KrVModule.h>
#include <Ovalith/properties/KrVPropertySet.h>
#include <gtest/gtest.h>

#include <functional>

#include "Ovalith/properties/FakeStreamContainer.h"

namespace {

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device.AddModule("Device");
    device.AddModule("Depth");
    device.SetInt("Device", "I", 0x1234);
    device.SetReal("Device", "R", 0.1);
    device.SetPointer("Device", "G", nullptr);
    ASSERT_EQ(KR_STATUS_OK, module.Attach(&device, "Device"));
    device.journal.clear();
  }
  FakeStreamContainer device;
  KrVModule module;
};

TEST_F(ModuleTest, AttachToUnknownModuleKeepsThePreviousOne) {
  EXPECT_EQ(KR_STATUS_OS_ERROR, module.Attach(&device, "Nope"));
  EXPECT_STREQ("Device", module.GetName());
  KrVModule detached;
  EXPECT_EQ(KR_STATUS_OS_ERROR, detached.Attach(&device, "Nope"));
  EXPECT_FALSE(detached.IsAttached());
  EXPECT_EQ(KR_STATUS_OS_ERROR, detached.Attach(&device, nullptr));
  EXPECT_EQ(KR_STATUS_OS_NULL_POINTER, detached.Attach(nullptr, "Device"));
  device.moduleQueryStatus = 0x30999;
  EXPECT_EQ(0x30999u, module.Attach(&device, "Depth"));
  EXPECT_STREQ("Device", module.GetName());
}

TEST_F(ModuleTest, ReattachWithItsOwnNameAndDetachTwice) {
  EXPECT_EQ(KR_STATUS_OK, module.Attach(&device, module.GetName()));
  EXPECT_STREQ("Device", module.GetName());
  EXPECT_EQ(KR_STATUS_OK, module.Detach());
  EXPECT_EQ(KR_STATUS_OS_ERROR, module.Detach());
  EXPECT_EQ(nullptr, module.GetName());
  EXPECT_EQ(&device, module.GetCreator());
}

// Each typed operation reaches the container overload of its row, and none
// reaches the container on a detached module.
TEST_F(ModuleTest, TypedOperationsTakeTheirContainerOverload) {
  uint64_t u64;
  double real;
  char text[200];
  void* pointer;
  uint32_t u32;
  int32_t i32;
  uint16_t u16;
  uint8_t u8;
  float f;
  KrGeneralBuffer general = {&pointer, sizeof(pointer)};
  struct Row {
    const char* expected;
    std::function<KrStatus(KrVModule&)> call;
  };
  const Row rows[] = {
      {"get u64 Device/I", [&](KrVModule& m) { return m.GetProperty("I", u64); }},
      {"get real Device/R", [&](KrVModule& m) { return m.GetProperty("R", real); }},
      {"get text Device/T", [&](KrVModule& m) { return m.GetProperty("T", text); }},
      {"get general Device/G", [&](KrVModule& m) { return m.GetProperty("G", general); }},
      {"get ptr Device/G", [&](KrVModule& m) { return m.GetProperty("G", pointer); }},
      {"get u32 Device/I", [&](KrVModule& m) { return m.GetProperty("I", u32); }},
      {"get u32 Device/I", [&](KrVModule& m) { return m.GetProperty("I", i32); }},
      {"get u16 Device/I", [&](KrVModule& m) { return m.GetProperty("I", u16); }},
      {"get u32 Device/I", [&](KrVModule& m) { return m.GetProperty("I", u8); }},
      {"get real Device/R", [&](KrVModule& m) { return m.GetProperty("R", f); }},
      {"set u64 Device/I", [&](KrVModule& m) { return m.SetProperty("I", uint64_t{1}); }},
      {"set real Device/R", [&](KrVModule& m) { return m.SetProperty("R", 1.0); }},
      {"set text Device/T", [&](KrVModule& m) { return m.SetProperty("T", "x"); }},
      {"set general Device/G", [&](KrVModule& m) { return m.SetProperty("G", general); }},
      {"set u32 Device/I", [&](KrVModule& m) { return m.SetProperty("I", int32_t{-1}); }},
      {"set u32 Device/I", [&](KrVModule& m) { return m.SetProperty("I", uint32_t{1}); }},
      {"set real Device/R", [&](KrVModule& m) { return m.SetProperty("R", 1.0f); }},
      {"set ptr Device/G", [&](KrVModule& m) { return m.SetProperty("G", static_cast<void*>(nullptr)); }},
  };
  KrVModule detached;
  for (const Row& row : rows) {
    device.journal.clear();
    row.call(module);
    ASSERT_EQ(1u, device.journal.size()) << row.expected;
    EXPECT_EQ(row.expected, device.journal[0]);
    device.journal.clear();
    EXPECT_EQ(KR_STATUS_OS_ERROR, row.call(detached)) << row.expected;
    EXPECT_TRUE(device.journal.empty()) << row.expected;
  }
}

TEST_F(ModuleTest, NarrowingConversions) {
  uint8_t low = 0;
  EXPECT_EQ(KR_STATUS_OK, module.GetProperty("I", low));
  EXPECT_EQ(0x34, low);
  device.SetInt("Device", "I", 0xFFFFFFFEu);
  int32_t signedValue = 0;
  EXPECT_EQ(KR_STATUS_OK, module.GetProperty("I", signedValue));
  EXPECT_EQ(-2, signedValue);
  EXPECT_EQ(KR_STATUS_OK, module.SetProperty("I", int32_t{-1}));
  EXPECT_EQ(0xFFFFFFFFu, device.Int("Device", "I"));
  EXPECT_EQ(KR_STATUS_OK, module.SetProperty("R", 0.5f));
  EXPECT_EQ(0.5, device.Real("Device", "R"));
  float rounded = 0;
  device.SetReal("Device", "R", 0.1);
  EXPECT_EQ(KR_STATUS_OK, module.GetProperty("R", rounded));
  EXPECT_EQ(0.1f, rounded);
  // A failed narrowing read still stores (the zeroed temporary).
  low = 7;
  device.Fail("Device", "I", 0x30999);
  EXPECT_EQ(0x30999u, module.GetProperty("I", low));
  EXPECT_EQ(0, low);
}

TEST_F(ModuleTest, CopiesAttachOnTheirOwn) {
  KrVModule copy(module);
  EXPECT_STREQ("Device", copy.GetName());
  EXPECT_NE(module.GetName(), copy.GetName());
  EXPECT_EQ(1u, device.CountCalls("exists Device"));
  KrVModule other;
  ASSERT_EQ(KR_STATUS_OK, module.GetOtherModule("Depth", other));
  EXPECT_STREQ("Depth", other.GetName());
  other = module;
  EXPECT_STREQ("Device", other.GetName());
  const KrVModule& same = other;
  other = same;
  EXPECT_STREQ("Device", other.GetName());
  module.Detach();
  EXPECT_EQ(KR_STATUS_OS_ERROR, module.GetOtherModule("Depth", other));
  other = module;  // assigning a detached module detaches
  EXPECT_FALSE(other.IsAttached());
  // A module that has gone from the container: the copy stays detached.
  KrVModule depth;
  ASSERT_EQ(KR_STATUS_OK, depth.Attach(&device, "Depth"));
  device.moduleQueryStatus = KR_STATUS_TL_MODULE_NOT_FOUND;
  KrVModule lost(depth);
  EXPECT_FALSE(lost.IsAttached());
}

TEST_F(ModuleTest, EnumerationAndSubscriptionsCarryTheModuleName) {
  KrVPropertySet set;
  EXPECT_EQ(KR_STATUS_OK, module.GetAllProperties(set));
  EXPECT_EQ("all 0 Device", device.journal.back());
  struct Counter : KrVModulePropertyChangedHandler {
    int calls = 0;
    void OnModulePropertyChanged(const char*, const char*) override { ++calls; }
  } counter;
  void* cookie = nullptr;
  ASSERT_EQ(KR_STATUS_OK, module.RegisterForPropertyChangedEvent("I", &counter, cookie));
  device.Notify("Device", "I");
  EXPECT_EQ(1, counter.calls);
  EXPECT_EQ(KR_STATUS_OK, module.UnregisterFromPropertyChangedEvent("I", cookie));
  EXPECT_EQ(0u, device.Subscriptions());
}

}  // namespace
