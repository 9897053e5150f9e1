#include <Tollan/Tollan.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace {

// Records every callback as "cookie-name:module.property".
struct Journal {
  std::vector<std::string> calls;
  std::function<void()> onCall;  // runs once, inside the next callback, after recording
};

struct Listener {
  Journal* journal;
  const char* name;
};

KrStatus Record(const KrProperty& property, void* cookie) {
  auto* listener = static_cast<Listener*>(cookie);
  listener->journal->calls.push_back(std::string(listener->name) + ":" + property.GetModule() + "." +
                                     property.GetName());
  std::function<void()> action = std::move(listener->journal->onCall);
  listener->journal->onCall = nullptr;
  if (action) action();
  return KR_STATUS_OK;
}

TEST(KrPropertyTest, RefusedAccessKeepsTheValue) {
  KrActualIntProperty i("i", 7);
  KrActualRealProperty r("r", 1.5);
  KrActualStringProperty s("s", "abc");
  uint32_t storage = 0x11223344;
  KrActualGeneralProperty g("g", &storage, sizeof(storage));
  KrProperty bare(KR_PROPERTY_TYPE_INTEGER, "bare", "M");  // a bare property of a type holds no value
  uint64_t wide = 0;
  double real = 0;
  const std::string tooLong(KR_MAX_NAME_LENGTH, 'x');
  const struct {
    const char* what;
    KrStatus status;
    KrStatus expected;
  } cases[] = {
      {"real read of an int", i.GetValue(&real), KR_STATUS_TL_BAD_PROPERTY_TYPE},
      {"real write of an int", i.SetValue(2.0), KR_STATUS_TL_BAD_PROPERTY_TYPE},
      {"text update of an int", i.UnsafeUpdateValue("x"), KR_STATUS_TL_BAD_PROPERTY_TYPE},
      {"int write of a real", r.SetValue(uint64_t{1}), KR_STATUS_TL_BAD_PROPERTY_TYPE},
      {"int read of a text", s.GetValue(&wide), KR_STATUS_TL_BAD_PROPERTY_TYPE},
      {"text too long", s.SetValue(tooLong.c_str()), KR_STATUS_TL_BAD_PROPERTY_SIZE},
      {"null text", s.SetValue(static_cast<const char*>(nullptr)), KR_STATUS_OS_NULL_POINTER},
      {"bare int", bare.SetValue(uint64_t{1}), KR_STATUS_TL_NOT_SUPPORTED},
      {"bare real", bare.SetValue(1.0), KR_STATUS_TL_BAD_PROPERTY_TYPE},
      {"general write too wide", g.SetValue(KrGeneralBuffer{&wide, sizeof(wide)}), KR_STATUS_TL_BAD_PROPERTY_SIZE},
      {"general read too wide", g.GetValue(KrGeneralBuffer{&wide, sizeof(wide)}), KR_STATUS_TL_BAD_PROPERTY_SIZE},
      {"general write without data", g.SetValue(KrGeneralBuffer{nullptr, 4}), KR_STATUS_OS_NULL_POINTER},
  };
  for (const auto& c : cases) EXPECT_EQ(c.expected, c.status) << c.what;
  EXPECT_EQ(7u, i.GetValue());
  char text[KR_MAX_NAME_LENGTH];
  s.GetValue(text);
  EXPECT_STREQ("abc", text);
  EXPECT_EQ(0x11223344u, storage);
  EXPECT_EQ(0u, wide);

  uint32_t value = 0xAABBCCDD;
  EXPECT_EQ(KR_STATUS_OK, g.SetValue(KrGeneralBuffer{&value, sizeof(value)}));
  EXPECT_EQ(0xAABBCCDDu, storage);
  storage = 5;
  EXPECT_EQ(KR_STATUS_OK, g.GetValue(KrGeneralBuffer{&value, sizeof(value)}));
  EXPECT_EQ(5u, value);
}

TEST(KrPropertyTest, CallbacksFireOncePerChangeInOrderUntilUnregistered) {
  Journal journal;
  Listener first{&journal, "1"}, second{&journal, "2"};
  KrActualIntProperty property("p", 0, "M");
  KrCallbackHandle a = nullptr, b = nullptr;
  ASSERT_EQ(KR_STATUS_OK, property.RegisterForOnValueChanged(Record, &first, &a));
  ASSERT_EQ(KR_STATUS_OK, property.RegisterForOnValueChanged(Record, &second, &b));
  property.UnsafeUpdateValue(uint64_t{0});  // an equal value still counts as a change
  EXPECT_NE(KR_STATUS_OK, property.SetValue(1.0));  // a refused value is not
  EXPECT_EQ(KR_STATUS_OK, property.UnregisterFromOnValueChanged(a));
  EXPECT_EQ(KR_STATUS_TL_BAD_REGISTRATION, property.UnregisterFromOnValueChanged(a));
  EXPECT_EQ(KR_STATUS_TL_BAD_REGISTRATION, property.UnregisterFromOnValueChanged(nullptr));
  property.SetValue(uint64_t{4});
  EXPECT_EQ((std::vector<std::string>{"1:M.p", "2:M.p", "2:M.p"}), journal.calls);
}

TEST(KrPropertyTest, CallbacksMayChangeRegistrationsWhileRaised) {
  Journal journal;
  Listener self{&journal, "self"}, later{&journal, "later"}, added{&journal, "added"};
  KrActualIntProperty property("p", 0, "M");
  KrCallbackHandle selfHandle = nullptr, laterHandle = nullptr, addedHandle = nullptr;
  property.RegisterForOnValueChanged(Record, &self, &selfHandle);
  property.RegisterForOnValueChanged(Record, &later, &laterHandle);

  // The first callback removes itself and the next one, and registers a new one.
  journal.onCall = [&] {
    EXPECT_EQ(KR_STATUS_OK, property.UnregisterFromOnValueChanged(selfHandle));
    EXPECT_EQ(KR_STATUS_OK, property.UnregisterFromOnValueChanged(laterHandle));
    for (int n = 0; n < 16; ++n) {  // enough to make the list reallocate
      ASSERT_EQ(KR_STATUS_OK, property.RegisterForOnValueChanged(Record, &added, &addedHandle));
      if (n > 0) property.UnregisterFromOnValueChanged(addedHandle);
    }
  };
  property.SetValue(uint64_t{1});
  property.SetValue(uint64_t{2});
  EXPECT_EQ((std::vector<std::string>{"self:M.p", "added:M.p"}), journal.calls);

  // A callback that changes the value again raises a nested round.
  journal.calls.clear();
  journal.onCall = [&] { property.SetValue(uint64_t{3}); };
  property.SetValue(uint64_t{2});
  EXPECT_EQ(2u, journal.calls.size());
  EXPECT_EQ(3u, property.GetValue());
}

TEST(KrDeviceModuleTest, UnknownPropertiesGivePropertyNotFound) {
  KrDeviceModule module("M");
  ASSERT_EQ(KR_STATUS_OK, module.Init());
  uint64_t i;
  double r;
  char s[KR_MAX_NAME_LENGTH];
  KrPropertyType type;
  KrCallbackHandle handle = nullptr;
  int exists = 1;
  const KrStatus statuses[] = {
      module.GetProperty("x", &i),
      module.GetProperty("x", &r),
      module.GetProperty("x", s),
      module.GetProperty("x", KrGeneralBuffer{&i, sizeof(i)}),
      module.SetProperty("x", uint64_t{1}),
      module.SetProperty("x", 1.0),
      module.SetProperty("x", "v"),
      module.SetProperty("x", KrGeneralBuffer{&i, sizeof(i)}),
      module.GetPropertyType("x", &type),
      module.DoesPropertyExist("x", &exists),
      module.RegisterForOnPropertyValueChanged("x", Record, nullptr, &handle),
      module.UnregisterFromOnPropertyValueChanged("x", handle),
  };
  for (size_t n = 0; n < sizeof(statuses) / sizeof(statuses[0]); ++n) {
    EXPECT_EQ(KR_STATUS_TL_PROPERTY_NOT_FOUND, statuses[n]) << "operation " << n;
  }
  EXPECT_EQ(0, exists);
  EXPECT_EQ(nullptr, module.FindProperty("x"));
}

TEST(KrDeviceModuleTest, AddPropertiesNamesModulesAndRefusesDuplicates) {
  KrDeviceModule module("Owner");
  KrActualIntProperty unnamed("a", 1);
  KrActualRealProperty named("b", 2.0, "Elsewhere");
  KrActualIntProperty duplicate("a", 3);
  KrActualIntProperty after("c", 4);
  KrProperty* properties[] = {&unnamed, &named, &duplicate, &after};
  EXPECT_EQ(KR_STATUS_TL_PROPERTY_ALREADY_EXISTS, module.AddProperties(properties, 4));
  EXPECT_STREQ("Owner", unnamed.GetModule());
  EXPECT_STREQ("Elsewhere", named.GetModule());
  EXPECT_EQ(nullptr, module.FindProperty("c"));  // adding stopped at the duplicate
  EXPECT_EQ(KR_STATUS_OS_NULL_POINTER, module.AddProperties(nullptr, 1));

  uint64_t value = 0;
  EXPECT_EQ(KR_STATUS_OK, module.GetProperty("a", &value));
  EXPECT_EQ(1u, value);
  int exists = 0;
  EXPECT_EQ(KR_STATUS_OK, module.DoesPropertyExist("b", &exists));
  EXPECT_EQ(1, exists);
  KrPropertyType type;
  EXPECT_EQ(KR_STATUS_OK, module.GetPropertyType("b", &type));
  EXPECT_EQ(KR_PROPERTY_TYPE_REAL, type);
  EXPECT_EQ(KR_STATUS_TL_BAD_PROPERTY_TYPE, module.SetProperty("b", "text"));
}

// A per-stream module as the engine builds one: its fields carry the
// stream's name, and a registration belongs to its property.
TEST(KrDeviceModuleTest, ModuleWritesRaiseTheRegisteredPropertysCallbacks) {
  KrDeviceModule module("InternalKrVDevice.Depth");
  KrActualIntProperty timestamp("Timestamp", 0, "Depth");
  KrActualIntProperty frameId("FrameId", 0, "Depth");
  KrProperty* properties[] = {&timestamp, &frameId};
  ASSERT_EQ(KR_STATUS_OK, module.Init());
  ASSERT_EQ(KR_STATUS_OK, module.AddProperties(properties, 2));
  Journal journal;
  Listener listener{&journal, "h"};
  KrCallbackHandle handle = nullptr;
  ASSERT_EQ(KR_STATUS_OK, module.RegisterForOnPropertyValueChanged("Timestamp", Record, &listener, &handle));
  EXPECT_EQ(KR_STATUS_TL_BAD_REGISTRATION, module.UnregisterFromOnPropertyValueChanged("FrameId", handle));
  EXPECT_EQ(KR_STATUS_OK, module.SetProperty("Timestamp", uint64_t{2000}));
  EXPECT_EQ(KR_STATUS_OK, module.SetProperty("FrameId", uint64_t{1}));
  timestamp.UnsafeUpdateValue(uint64_t{3000});
  EXPECT_EQ(KR_STATUS_OK, module.UnregisterFromOnPropertyValueChanged("Timestamp", handle));
  EXPECT_EQ(KR_STATUS_OK, module.SetProperty("Timestamp", uint64_t{4000}));
  EXPECT_EQ((std::vector<std::string>{"h:Depth.Timestamp", "h:Depth.Timestamp"}), journal.calls);
  uint64_t value = 0;
  EXPECT_EQ(KR_STATUS_OK, module.GetProperty("FrameId", &value));
  EXPECT_EQ(1u, value);
}

}  // namespace
