// KrVModule and KrVStream over a container of plain maps; KrVPropertySet over the kit's property sets.
#include <Ovalith/Ovalith.h>
#include <gtest/gtest.h>

#include <functional>
#include <tuple>

#include "Ovalith/properties/FakeStreamContainer.h"

namespace {

constexpr KrStatus kRefused = 0x30999;  // a device's own failure, passed through

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    device.AddModule("Device");
    device.AddModule("Depth");
    device.SetInt("Device", "I", 0x1234);
    device.SetReal("Device", "R", 0.1);
    device.SetPointer("Device", "G", nullptr);
    ASSERT_EQ(KR_STATUS_OK, module.Attach(&device, "Device"));
  }
  FakeStreamContainer device;
  KrVModule module;
};

TEST_F(ModuleTest, FailedAttachKeepsThePreviousModuleAndCopiesAttachOnTheirOwn) {
  // {container, name, status of the existence check, status of the attach}
  const std::tuple<KrVStreamContainer*, const char*, KrStatus, KrStatus> cases[] = {
      {&device, "Nope", 0, KR_STATUS_OS_ERROR},
      {&device, nullptr, 0, KR_STATUS_OS_ERROR},
      {nullptr, "Depth", 0, KR_STATUS_OS_NULL_POINTER},
      {&device, "Depth", kRefused, kRefused}};
  for (const auto& [container, name, query, expected] : cases) {
    SCOPED_TRACE(std::string(name ? name : "null") + (container ? "" : " without container"));
    device.moduleQueryStatus = query;
    EXPECT_EQ(expected, module.Attach(container, name));
    EXPECT_STREQ("Device", module.GetName());
    KrVModule detached;
    EXPECT_EQ(expected, detached.Attach(container, name));
    EXPECT_FALSE(detached.IsAttached());
  }
  device.moduleQueryStatus = 0;
  EXPECT_EQ(KR_STATUS_OK, module.Attach(&device, module.GetName()));  // its own name
  KrVModule copy(module);
  EXPECT_STREQ("Device", copy.GetName());
  EXPECT_NE(module.GetName(), copy.GetName());
  KrVModule other;
  ASSERT_EQ(KR_STATUS_OK, other.Attach(&device, "Depth"));
  other = module;
  EXPECT_STREQ("Device", other.GetName());
  EXPECT_EQ(KR_STATUS_OK, module.Detach());
  EXPECT_EQ(KR_STATUS_OS_ERROR, module.Detach());
  EXPECT_EQ(nullptr, module.GetName());
  other = module;  // assigning a detached module detaches
  EXPECT_FALSE(other.IsAttached());
  // A module that has gone from the container: the copy stays detached.
  device.moduleQueryStatus = KR_STATUS_TL_MODULE_NOT_FOUND;
  KrVModule lost(copy);
  EXPECT_FALSE(lost.IsAttached());
}

// Each operation reaches the container overload of its row; none reaches it from a detached module.
TEST_F(ModuleTest, OperationsTakeTheirContainerOverload) {
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
  KrVPropertySet set;
  KrVModule other;
  const std::pair<const char*, std::function<KrStatus(KrVModule&)>> rows[] = {
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
      {"all 0 Device", [&](KrVModule& m) { return m.GetAllProperties(set); }},
      {"exists Depth", [&](KrVModule& m) { return m.GetOtherModule("Depth", other); }},
  };
  KrVModule detached;
  for (const auto& row : rows) {
    device.journal.clear();
    row.second(module);
    EXPECT_EQ(std::vector<std::string>{row.first}, device.journal);
    device.journal.clear();
    EXPECT_EQ(KR_STATUS_OS_ERROR, row.second(detached)) << row.first;
    EXPECT_TRUE(device.journal.empty()) << row.first;
  }
  EXPECT_STREQ("Depth", other.GetName());
  void* cookie = nullptr;
  EXPECT_EQ(KR_STATUS_OS_ERROR, detached.RegisterForPropertyChangedEvent("I", nullptr, cookie));
  EXPECT_EQ(KR_STATUS_OS_ERROR, detached.UnregisterFromPropertyChangedEvent("I", cookie));
  device.SetInt("Device", "I", 0xFFFFFFFEu);
  device.SetReal("Device", "R", 0.1);
  int32_t signedValue = 0;
  uint8_t low = 0;
  float rounded = 0;
  EXPECT_EQ(KR_STATUS_OK, module.GetProperty("I", signedValue));
  EXPECT_EQ(KR_STATUS_OK, module.GetProperty("I", low));
  EXPECT_EQ(KR_STATUS_OK, module.GetProperty("R", rounded));
  EXPECT_EQ(std::make_tuple(-2, uint8_t{0xFE}, 0.1f), std::make_tuple(signedValue, low, rounded));
  EXPECT_EQ(KR_STATUS_OK, module.SetProperty("I", int32_t{-1}));
  EXPECT_EQ(0xFFFFFFFFu, device.Int("Device", "I"));
  EXPECT_EQ(KR_STATUS_OK, module.SetProperty("R", 0.5f));
  EXPECT_EQ(0.5, device.Real("Device", "R"));
  // A failed narrowing read still stores (the zeroed temporary).
  device.Fail("Device", "I", kRefused);
  device.Fail("Device", "R", kRefused);
  signedValue = low = rounded = 7;
  EXPECT_EQ(kRefused, module.GetProperty("I", signedValue));
  EXPECT_EQ(kRefused, module.GetProperty("I", low));
  EXPECT_EQ(kRefused, module.GetProperty("R", rounded));
  EXPECT_EQ(std::make_tuple(0, uint8_t{0}, 0.0f), std::make_tuple(signedValue, low, rounded));
}

// Two streams of 8 bytes: "Source" (1s, all valid, time stamp 77) and an empty "Target" (2s).
class StreamTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* name : {"Source", "Target"}) {
      const bool isSource = name[0] == 'S';
      std::vector<unsigned char>& bytes = isSource ? sourceBytes : targetBytes;
      bytes.assign(8, isSource ? 1 : 2);
      device.SetPointer(name, "Buffer", bytes.data());
      device.SetInt(name, "BufferSize", isSource ? 8 : 0);
      device.SetInt(name, "RequiredDataSize", 8);
      device.SetInt(name, "Timestamp", isSource ? 77 : 0);
      device.SetInt(name, "IsNew", 0);
    }
    ASSERT_EQ(KR_STATUS_OK, source.Attach(&device, "Source"));
    ASSERT_EQ(KR_STATUS_OK, target.Attach(&device, "Target"));
  }
  FakeStreamContainer device;
  KrVStream source;
  KrVStream target;
  std::vector<unsigned char> sourceBytes;
  std::vector<unsigned char> targetBytes;
};

TEST_F(StreamTest, CopiesSetSizeTimestampAndNewFlag) {
  uint32_t size = 5;
  device.SetInt("Source", "BufferSize", 0x100000008ull);  // only the low 32 bits count
  EXPECT_EQ(KR_STATUS_OK, source.GetBufferSize(size));
  EXPECT_EQ(8u, size);
  ASSERT_EQ(KR_STATUS_OK, target.CopyFrom(source, 0));  // exactly the capacity, the source's time
  EXPECT_EQ(sourceBytes, targetBytes);
  EXPECT_EQ(8u, device.Int("Target", "BufferSize"));
  EXPECT_EQ(77u, device.Int("Target", "Timestamp"));
  EXPECT_EQ(1u, device.Int("Target", "IsNew"));
  ASSERT_EQ(KR_STATUS_OK, target.CopyFrom(source, 5));
  EXPECT_EQ(5u, device.Int("Target", "Timestamp"));
  device.Fail("Source", "Timestamp", kRefused);  // ignored: the frame gets 0
  ASSERT_EQ(KR_STATUS_OK, target.CopyFrom(source, 0));
  EXPECT_EQ(0u, device.Int("Target", "Timestamp"));
  const unsigned char data[3] = {9, 8, 7};
  ASSERT_EQ(KR_STATUS_OK, target.CopyFrom(data, 3, 0));
  EXPECT_EQ((std::vector<unsigned char>{9, 8, 7, 1, 1, 1, 1, 1}), targetBytes);
  EXPECT_EQ(3u, device.Int("Target", "BufferSize"));
  EXPECT_EQ(0u, device.Int("Target", "Timestamp"));  // stored as given
  device.SetInt("Target", "IsNew", 0);
  ASSERT_EQ(KR_STATUS_OK, target.CopyFrom(nullptr, 0, 4));
  EXPECT_EQ(0u, device.Int("Target", "BufferSize"));
  EXPECT_EQ(1u, device.Int("Target", "IsNew"));
  EXPECT_EQ(KR_STATUS_OK, target.CopyFrom(target, 0));  // onto itself
}

// A frame larger than the capacity, missing data, a detached stream or a failing call: the frame is not new.
TEST_F(StreamTest, FailedCopyIsNotANewFrame) {
  KrVStream detached;
  void* address = nullptr;
  EXPECT_EQ(KR_STATUS_OS_ERROR, detached.GetBuffer(address));
  EXPECT_EQ(KR_STATUS_OS_ERROR, detached.CopyFrom(source, 0));
  EXPECT_EQ(KR_STATUS_OS_ERROR, target.CopyFrom(detached, 0));
  EXPECT_EQ(KR_STATUS_OS_NULL_POINTER, target.CopyFrom(nullptr, 1, 4));
  EXPECT_STREQ("Target", KrVStream(target).GetName());
  device.SetInt("Target", "RequiredDataSize", 7);
  EXPECT_EQ(KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW, target.CopyFrom(source, 0));
  EXPECT_EQ(std::vector<unsigned char>(8, 2), targetBytes);
  EXPECT_EQ(0u, device.Int("Target", "BufferSize"));
  device.SetInt("Target", "RequiredDataSize", 8);
  device.Fail("Target", "Timestamp", kRefused);
  EXPECT_EQ(kRefused, target.CopyFrom(source, 5));
  EXPECT_EQ(sourceBytes, targetBytes);
  EXPECT_EQ(8u, device.Int("Target", "BufferSize"));
  EXPECT_EQ(0u, device.Int("Target", "IsNew"));
  uint32_t size = 5;
  device.Fail("Source", "BufferSize", kRefused);
  EXPECT_EQ(kRefused, source.GetBufferSize(size));
  EXPECT_EQ(5u, size);
}

uint64_t IntValue(const KrVPropertySet& set, const char* module, const char* property) {
  uint64_t value = 0;
  EXPECT_EQ(KrPropertySetGetIntProperty(set.GetHandle(), module, property, &value), KR_STATUS_OK);
  return value;
}

TEST(KrVPropertySet, TypedValuesReachTheKitSetAndCopiesShareIt) {
  KrVPropertySet set;
  uint8_t bytes[3] = {1, 2, 3};
  EXPECT_EQ(set.AddProperty("Depth", "XRes", uint64_t{640}), KR_STATUS_OK);
  EXPECT_EQ(set.AddProperty("Depth", "ZPPS", 0.1042), KR_STATUS_OK);
  EXPECT_EQ(set.AddProperty("Device", "PrimaryStream", "Depth"), KR_STATUS_OK);
  EXPECT_EQ(set.AddProperty("Device", "Blob", KrGeneralBuffer{bytes, sizeof(bytes)}), KR_STATUS_OK);
  bytes[0] = 9;
  EXPECT_EQ(IntValue(set, "Depth", "XRes"), 640u);
  double real = 0;
  EXPECT_EQ(KrPropertySetGetRealProperty(set.GetHandle(), "Depth", "ZPPS", &real), KR_STATUS_OK);
  EXPECT_DOUBLE_EQ(real, 0.1042);
  char text[KR_MAX_NAME_LENGTH] = {};
  EXPECT_EQ(KrPropertySetGetStringProperty(set.GetHandle(), "Device", "PrimaryStream", text, sizeof(text)),
            KR_STATUS_OK);
  EXPECT_STREQ(text, "Depth");
  // The enumerator walks the set, with and without a module filter.
  const std::pair<const char*, int> filters[] = {{nullptr, 4}, {"Depth", 2}, {"Device", 2}, {"Missing", 0}};
  for (const auto& filter : filters) {
    KrVPropertySetEnumerator enumerator(set, filter.first);
    int seen = 0;
    bool end = false;
    while (enumerator.MoveNext(&end) == KR_STATUS_OK && !end) {
      KrPropertyType type{};
      const char* module = nullptr;
      const char* property = nullptr;
      ASSERT_EQ(enumerator.GetCurrentPropertyInfo(&type, &module, &property), KR_STATUS_OK);
      KrGeneralBuffer blob{};
      if (type == KR_PROPERTY_TYPE_GENERAL) {
        ASSERT_EQ(enumerator.GetCurrentGeneralValue(&blob), KR_STATUS_OK);
        EXPECT_EQ(static_cast<const uint8_t*>(blob.pData)[0], 1);  // the set's own copy
      }
      ++seen;
    }
    EXPECT_EQ(seen, filter.second) << (filter.first ? filter.first : "(all)");
  }
  EXPECT_EQ(set.RemoveProperty("Depth", "XRes"), KR_STATUS_OK);
  uint64_t gone = 0;
  EXPECT_NE(KrPropertySetGetIntProperty(set.GetHandle(), "Depth", "XRes", &gone), KR_STATUS_OK);
  EXPECT_EQ(set.RemoveModule("Device"), KR_STATUS_OK);
  EXPECT_NE(set.RemoveModule("Device"), KR_STATUS_OK);
  EXPECT_EQ(set.AddModule("Device"), KR_STATUS_OK);  // kept without properties
  int exists = 0;
  EXPECT_EQ(KrPropertySetDoesModuleExist(set.GetHandle(), "Device", &exists), KR_STATUS_OK);
  EXPECT_EQ(exists, 1);
  // The last copy to go releases the shared set (a leak or a double release shows under the sanitizers).
  KrVPropertySet survivor;
  KrVPropertySet other;
  other.AddProperty("Depth", "FPS", uint64_t{15});
  {
    KrVPropertySet original;
    KrVPropertySet copy(original);
    copy.AddProperty("Depth", "FPS", uint64_t{60});
    EXPECT_EQ(IntValue(original, "Depth", "FPS"), 60u);
    survivor = copy;  // survivor's former set is released, not leaked
    KrVPropertySet& same = survivor;
    survivor = same;
    other = original;
    copy = KrVPropertySet();
    EXPECT_NE(copy.GetHandle(), original.GetHandle());
  }
  EXPECT_EQ(survivor.GetHandle(), other.GetHandle());
  EXPECT_EQ(IntValue(survivor, "Depth", "FPS"), 60u);
}

}  // namespace
