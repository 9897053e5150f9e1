// Properties and modules as a device builds them, and property sets.
#include <Tollan/Tollan.h>
#include "../../Tollan/src/PropertySetInternal.h"
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace {

// Records each callback as "name:module.property" in calls, then runs (and clears) onCall.
struct Listener {
  std::vector<std::string>* calls;
  const char* name;
  std::function<void()>* onCall = nullptr;
};

KrStatus Record(const KrProperty& property, void* cookie) {
  auto* listener = static_cast<Listener*>(cookie);
  listener->calls->push_back(std::string(listener->name) + ":" + property.GetModule() + "." + property.GetName());
  if (listener->onCall != nullptr && *listener->onCall) std::exchange(*listener->onCall, nullptr)();
  return KR_STATUS_OK;
}

TEST(KrPropertyTest, RefusedAccessKeepsTheValueAndCallbacksFireOncePerChangeInOrder) {
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
  // Callbacks fire once per change in order, may change registrations while raised, and may raise a nested round.
  std::vector<std::string> calls;
  std::function<void()> onCall;
  Listener first{&calls, "1", &onCall}, second{&calls, "2"}, added{&calls, "added"};
  KrActualIntProperty property("p", 0, "M");
  KrCallbackHandle a = nullptr, b = nullptr, c = nullptr;
  ASSERT_EQ(KR_STATUS_OK, property.RegisterForOnValueChanged(Record, &first, &a));
  ASSERT_EQ(KR_STATUS_OK, property.RegisterForOnValueChanged(Record, &second, &b));
  property.UnsafeUpdateValue(uint64_t{0});          // an equal value still counts as a change
  EXPECT_NE(KR_STATUS_OK, property.SetValue(1.0));  // a refused value is not
  EXPECT_EQ(KR_STATUS_TL_BAD_REGISTRATION, property.UnregisterFromOnValueChanged(nullptr));
  // The first callback removes itself and the next one, and registers new ones.
  onCall = [&] {
    EXPECT_EQ(KR_STATUS_OK, property.UnregisterFromOnValueChanged(a));
    EXPECT_EQ(KR_STATUS_OK, property.UnregisterFromOnValueChanged(b));
    for (int n = 0; n < 16; ++n) {  // enough to make the list reallocate
      ASSERT_EQ(KR_STATUS_OK, property.RegisterForOnValueChanged(Record, &added, &c));
      if (n > 0) property.UnregisterFromOnValueChanged(c);
    }
  };
  property.SetValue(uint64_t{1});
  EXPECT_EQ(KR_STATUS_TL_BAD_REGISTRATION, property.UnregisterFromOnValueChanged(a));
  property.SetValue(uint64_t{2});
  EXPECT_EQ((std::vector<std::string>{"1:M.p", "2:M.p", "1:M.p", "added:M.p"}), calls);
  calls.clear();
  added.onCall = &onCall;
  onCall = [&] { property.SetValue(uint64_t{3}); };
  property.SetValue(uint64_t{2});
  EXPECT_EQ(2u, calls.size());
  EXPECT_EQ(3u, property.GetValue());
}

TEST(KrDeviceModuleTest, PropertiesKeepTheirModuleRaiseTheirOwnCallbacksAndUnknownOnesAreNotFound) {
  KrDeviceModule module("InternalKrVDevice.Depth");
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
  for (size_t n = 0; n < std::size(statuses); ++n) EXPECT_EQ(KR_STATUS_TL_PROPERTY_NOT_FOUND, statuses[n]) << n;
  EXPECT_EQ(0, exists);
  EXPECT_EQ(nullptr, module.FindProperty("x"));
  // A per-stream module as the engine builds one: fields keep their stream's name, a duplicate stops the adding.
  KrActualIntProperty timestamp("Timestamp", 0, "Depth");
  KrActualIntProperty unnamed("FrameId", 1);
  KrActualRealProperty real("Gain", 2.0, "Depth");
  KrActualIntProperty duplicate("Timestamp", 3);
  KrActualIntProperty after("c", 4);
  KrProperty* properties[] = {&timestamp, &unnamed, &real, &duplicate, &after};
  EXPECT_EQ(KR_STATUS_TL_PROPERTY_ALREADY_EXISTS, module.AddProperties(properties, 5));
  EXPECT_EQ(KR_STATUS_OS_NULL_POINTER, module.AddProperties(nullptr, 1));
  EXPECT_STREQ("InternalKrVDevice.Depth", unnamed.GetModule());
  EXPECT_STREQ("Depth", timestamp.GetModule());
  EXPECT_EQ(nullptr, module.FindProperty("c"));  // adding stopped at the duplicate
  EXPECT_EQ(KR_STATUS_OK, module.DoesPropertyExist("Gain", &exists));
  EXPECT_EQ(1, exists);
  EXPECT_EQ(KR_STATUS_OK, module.GetPropertyType("Gain", &type));
  EXPECT_EQ(KR_PROPERTY_TYPE_REAL, type);
  EXPECT_EQ(KR_STATUS_TL_BAD_PROPERTY_TYPE, module.SetProperty("Gain", "text"));
  std::vector<std::string> calls;
  Listener listener{&calls, "h"};
  ASSERT_EQ(KR_STATUS_OK, module.RegisterForOnPropertyValueChanged("Timestamp", Record, &listener, &handle));
  EXPECT_EQ(KR_STATUS_TL_BAD_REGISTRATION, module.UnregisterFromOnPropertyValueChanged("FrameId", handle));
  EXPECT_EQ(KR_STATUS_OK, module.SetProperty("Timestamp", uint64_t{2000}));
  EXPECT_EQ(KR_STATUS_OK, module.SetProperty("FrameId", uint64_t{5}));
  timestamp.UnsafeUpdateValue(uint64_t{3000});
  EXPECT_EQ(KR_STATUS_OK, module.UnregisterFromOnPropertyValueChanged("Timestamp", handle));
  EXPECT_EQ(KR_STATUS_OK, module.SetProperty("Timestamp", uint64_t{4000}));
  EXPECT_EQ((std::vector<std::string>{"h:Depth.Timestamp", "h:Depth.Timestamp"}), calls);
  uint64_t value = 0;
  EXPECT_EQ(KR_STATUS_OK, module.GetProperty("FrameId", &value));
  EXPECT_EQ(5u, value);
}

class PropertySetTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(KR_STATUS_OK, KrPropertySetCreate(&set_)); }
  void TearDown() override { KrPropertySetDestroy(&set_); }
  static std::vector<std::string> Walk(KrPropertySetEnumeratorHandle enumerator) {
    std::vector<std::string> seen;
    bool end = false;
    while (KrPropertySetEnumeratorMoveNext(enumerator, &end) == KR_STATUS_OK && !end) {
      KrPropertyType type;
      const char* module = nullptr;
      const char* property = nullptr;
      EXPECT_EQ(KR_STATUS_OK, KrPropertySetEnumeratorGetCurrentPropertyInfo(enumerator, &type, &module, &property));
      seen.push_back(std::string(module) + "." + property);
    }
    return seen;
  }
  std::vector<std::string> WalkSet(const char* module) {
    KrPropertySetEnumeratorHandle enumerator = nullptr;
    EXPECT_EQ(KR_STATUS_OK, KrPropertySetGetEnumerator(set_, &enumerator, module));
    std::vector<std::string> seen = Walk(enumerator);
    KrPropertySetEnumeratorFree(&enumerator);
    return seen;
  }
  KrPropertySetHandle set_ = nullptr;
};

TEST_F(PropertySetTest, KeepsFirstAdditionOrderAndReplacesInPlace) {
  KrPropertySetAddIntProperty(set_, "Image", "XRes", 640);
  KrPropertySetAddModule(set_, "Device");
  KrPropertySetAddIntProperty(set_, "Depth", "XRes", 320);
  KrPropertySetAddRealProperty(set_, "Image", "FPS", 30.0);
  // Replacing keeps the place but takes the new type; re-adding a module is a no-op.
  ASSERT_EQ(KR_STATUS_OK, KrPropertySetAddStringProperty(set_, "Image", "XRes", "wide"));
  ASSERT_EQ(KR_STATUS_OK, KrPropertySetAddModule(set_, "Image"));
  EXPECT_EQ((std::vector<std::string>{"Image.XRes", "Image.FPS", "Depth.XRes"}), WalkSet(nullptr));
  EXPECT_EQ((std::vector<std::string>{"Depth.XRes"}), WalkSet("Depth"));
  EXPECT_TRUE(WalkSet("Device").empty());
  std::vector<std::string> modules;
  ASSERT_EQ(KR_STATUS_OK, tollan::GetModuleNames(set_, &modules));
  EXPECT_EQ((std::vector<std::string>{"Image", "Device", "Depth"}), modules);
  KrPropertyType type;
  ASSERT_EQ(KR_STATUS_OK, KrPropertySetGetPropertyType(set_, "Image", "XRes", &type));
  EXPECT_EQ(KR_PROPERTY_TYPE_STRING, type);
  // An enumerator reads typed values, steps to the end and stays there.
  KrPropertySetEnumeratorHandle enumerator = nullptr;
  EXPECT_EQ(KR_STATUS_OS_NOT_FOUND, KrPropertySetGetEnumerator(set_, &enumerator, "Missing"));
  EXPECT_EQ(nullptr, enumerator);
  ASSERT_EQ(KR_STATUS_OK, KrPropertySetGetEnumerator(set_, &enumerator, nullptr));
  const char* text = nullptr;
  EXPECT_EQ(KR_STATUS_OS_NOT_FOUND, KrPropertySetEnumeratorGetStringValue(enumerator, &text));  // before the first
  bool end = true;
  uint64_t value = 0;
  double real = 0;
  ASSERT_EQ(KR_STATUS_OK, KrPropertySetEnumeratorMoveNext(enumerator, &end));
  EXPECT_EQ(KR_STATUS_OK, KrPropertySetEnumeratorGetStringValue(enumerator, &text));
  EXPECT_STREQ("wide", text);
  EXPECT_EQ(KR_STATUS_TL_BAD_PROPERTY_TYPE, KrPropertySetEnumeratorGetIntValue(enumerator, &value));
  KrPropertySetEnumeratorMoveNext(enumerator, &end);
  EXPECT_EQ(KR_STATUS_OK, KrPropertySetEnumeratorGetRealValue(enumerator, &real));
  EXPECT_EQ(30.0, real);
  KrPropertySetEnumeratorMoveNext(enumerator, &end);
  EXPECT_EQ(KR_STATUS_OK, KrPropertySetEnumeratorGetIntValue(enumerator, &value));
  EXPECT_EQ(320u, value);
  for (int step = 0; step < 2; ++step) {
    EXPECT_EQ(KR_STATUS_OK, KrPropertySetEnumeratorMoveNext(enumerator, &end));
    EXPECT_TRUE(end);
  }
  EXPECT_EQ(KR_STATUS_OS_NOT_FOUND, KrPropertySetEnumeratorGetRealValue(enumerator, &real));
  EXPECT_EQ(KR_STATUS_OK, KrPropertySetEnumeratorFree(&enumerator));
  EXPECT_EQ(nullptr, enumerator);
}

// Typed values come back as given, from the set and from an independent clone.
TEST_F(PropertySetTest, TypedValuesRoundTripCloneAndRemove) {
  uint8_t bytes[] = {1, 2, 3};
  KrGeneralBuffer general{bytes, sizeof(bytes)};
  ASSERT_EQ(KR_STATUS_OK, KrPropertySetAddIntProperty(set_, "M", "i", UINT64_MAX));
  ASSERT_EQ(KR_STATUS_OK, KrPropertySetAddRealProperty(set_, "M", "r", -2.5));
  ASSERT_EQ(KR_STATUS_OK, KrPropertySetAddStringProperty(set_, "M", "s", "text"));
  ASSERT_EQ(KR_STATUS_OK, KrPropertySetAddGeneralProperty(set_, "M", "g", &general));
  KrPropertySetAddModule(set_, "Empty");
  bytes[0] = 99;  // the set keeps its own copy
  KrPropertySetHandle copy = nullptr;
  ASSERT_EQ(KR_STATUS_OK, KrPropertySetClone(set_, &copy));
  KrPropertySetAddIntProperty(set_, "M", "i", 2);
  KrPropertySetRemoveModule(set_, "Empty");
  KrGeneralBuffer original{nullptr, 0};
  KrPropertySetGetGeneralProperty(set_, "M", "g", &original);
  KrPropertySetDestroy(&set_);
  set_ = copy;
  uint64_t i = 0;
  double r = 0;
  char s[KR_MAX_NAME_LENGTH];
  KrGeneralBuffer g{nullptr, 0};
  EXPECT_EQ(KR_STATUS_OK, KrPropertySetGetIntProperty(set_, "M", "i", &i));
  EXPECT_EQ(UINT64_MAX, i);
  EXPECT_EQ(KR_STATUS_OK, KrPropertySetGetRealProperty(set_, "M", "r", &r));
  EXPECT_EQ(-2.5, r);
  EXPECT_EQ(KR_STATUS_OK, KrPropertySetGetStringProperty(set_, "M", "s", s, sizeof(s)));
  EXPECT_STREQ("text", s);
  ASSERT_EQ(KR_STATUS_OK, KrPropertySetGetGeneralProperty(set_, "M", "g", &g));
  ASSERT_EQ(3u, g.nDataSize);
  EXPECT_NE(original.pData, g.pData);
  EXPECT_EQ(1, static_cast<uint8_t*>(g.pData)[0]);
  EXPECT_EQ(3, static_cast<uint8_t*>(g.pData)[2]);
  int exists = 0;
  KrPropertySetDoesModuleExist(set_, "Empty", &exists);
  EXPECT_EQ(1, exists);
  // A too-small buffer gets what fits, terminated.
  char small[3] = {'x', 'x', 'x'};
  EXPECT_EQ(KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW, KrPropertySetGetStringProperty(set_, "M", "s", small, 3));
  EXPECT_STREQ("te", small);
  EXPECT_EQ(KR_STATUS_OK, KrPropertySetRemoveProperty(set_, "M", "r"));
  EXPECT_EQ(KR_STATUS_OS_NOT_FOUND, KrPropertySetRemoveProperty(set_, "M", "r"));
  EXPECT_EQ(KR_STATUS_OS_NOT_FOUND, KrPropertySetGetRealProperty(set_, "M", "r", &r));
  EXPECT_EQ((std::vector<std::string>{"M.i", "M.s", "M.g"}), WalkSet("M"));
  EXPECT_EQ(KR_STATUS_OK, KrPropertySetRemoveModule(set_, "M"));
  EXPECT_EQ(KR_STATUS_OK, KrPropertySetDoesModuleExist(set_, "M", &exists));
  EXPECT_EQ(0, exists);
  EXPECT_EQ(KR_STATUS_OS_NOT_FOUND, KrPropertySetRemoveModule(set_, "M"));
}

TEST_F(PropertySetTest, RefusesBadArgumentsAndKeepsTheSet) {
  const std::string fits(KR_MAX_NAME_LENGTH - 1, 'a');
  const std::string tooLong(KR_MAX_NAME_LENGTH, 'a');
  KrPropertySetHandle none = nullptr;
  uint64_t i;
  char s[8];
  bool end;
  KrGeneralBuffer g;
  KrPropertySetEnumeratorHandle enumerator = nullptr;
  KrGeneralBuffer missingBytes{nullptr, 4};
  KrGeneralBuffer empty{nullptr, 0};
  const std::vector<std::pair<const char*, KrStatus>> cases = {
      {"create", KrPropertySetCreate(nullptr)},
      {"destroy", KrPropertySetDestroy(&none)},
      {"clone", KrPropertySetClone(set_, nullptr)},
      {"clone of nothing", KrPropertySetClone(none, &none)},
      {"add module", KrPropertySetAddModule(none, "M")},
      {"null module", KrPropertySetAddIntProperty(set_, nullptr, "p", 1)},
      {"null property", KrPropertySetAddIntProperty(set_, "M", nullptr, 1)},
      {"null text", KrPropertySetAddStringProperty(set_, "M", "p", nullptr)},
      {"null buffer", KrPropertySetAddGeneralProperty(set_, "M", "p", nullptr)},
      {"buffer without bytes", KrPropertySetAddGeneralProperty(set_, "M", "g", &missingBytes)},
      {"get int", KrPropertySetGetIntProperty(none, "M", "p", &i)},
      {"int output", KrPropertySetGetIntProperty(set_, "M", "p", nullptr)},
      {"string output", KrPropertySetGetStringProperty(set_, "M", "p", nullptr, 8)},
      {"general output", KrPropertySetGetGeneralProperty(set_, "M", "p", nullptr)},
      {"counts", KrPropertySetGetCounts(set_, nullptr, nullptr)},
      {"enumerator", KrPropertySetGetEnumerator(set_, nullptr, nullptr)},
      {"enumerator of nothing", KrPropertySetGetEnumerator(none, &enumerator, nullptr)},
      {"move next", KrPropertySetEnumeratorMoveNext(nullptr, &end)},
      {"general value", KrPropertySetEnumeratorGetGeneralValue(nullptr, &g)},
      {"visit", tollan::VisitProperties(set_, nullptr, nullptr)},
  };
  for (const auto& c : cases) EXPECT_EQ(KR_STATUS_OS_NULL_POINTER, c.second) << c.first;
  EXPECT_EQ(KR_STATUS_OS_NOT_FOUND, KrPropertySetGetStringProperty(set_, "M", "p", s, sizeof(s)));
  EXPECT_EQ(KR_STATUS_OK, KrPropertySetAddStringProperty(set_, "M", "s", fits.c_str()));
  EXPECT_EQ(KR_STATUS_TL_BAD_PROPERTY_SIZE, KrPropertySetAddStringProperty(set_, "M", "s", tooLong.c_str()));
  EXPECT_EQ(KR_STATUS_OS_BAD_ARGUMENT, KrPropertySetAddIntProperty(set_, tooLong.c_str(), "p", 1));
  EXPECT_EQ(KR_STATUS_OK, KrPropertySetAddGeneralProperty(set_, "M", "g", &empty));
  // Failed adds left the set as it was: one module, the 199-character text.
  EXPECT_EQ((std::vector<std::string>{"M.s", "M.g"}), WalkSet(nullptr));
  char text[KR_MAX_NAME_LENGTH];
  EXPECT_EQ(KR_STATUS_OK, KrPropertySetGetStringProperty(set_, "M", "s", text, sizeof(text)));
  EXPECT_EQ(fits, text);
}

// An enumerator sees the set as it was; a visitor may change the set and stops the walk.
TEST_F(PropertySetTest, EnumeratorsAndVisitorsWalkASnapshot) {
  uint8_t bytes[] = {5, 6, 7};
  KrGeneralBuffer general{bytes, sizeof(bytes)};
  KrPropertySetAddGeneralProperty(set_, "A", "g", &general);
  KrPropertySetAddIntProperty(set_, "A", "i", 1);
  KrPropertySetEnumeratorHandle enumerator = nullptr;
  ASSERT_EQ(KR_STATUS_OK, KrPropertySetGetEnumerator(set_, &enumerator, nullptr));
  bool end = true;
  KrPropertySetEnumeratorMoveNext(enumerator, &end);
  const char* module = nullptr;
  const char* property = nullptr;
  KrPropertyType type;
  KrPropertySetEnumeratorGetCurrentPropertyInfo(enumerator, &type, &module, &property);
  // Every change frees or moves the set's own storage.
  KrPropertySetRemoveModule(set_, "A");
  for (int n = 0; n < 20; ++n) KrPropertySetAddIntProperty(set_, ("M" + std::to_string(n)).c_str(), "p", n);
  EXPECT_STREQ("A", module);
  EXPECT_STREQ("g", property);
  KrGeneralBuffer seen{nullptr, 0};
  ASSERT_EQ(KR_STATUS_OK, KrPropertySetEnumeratorGetGeneralValue(enumerator, &seen));
  ASSERT_EQ(3u, seen.nDataSize);
  EXPECT_EQ(7, static_cast<uint8_t*>(seen.pData)[2]);
  EXPECT_EQ((std::vector<std::string>{"A.i"}), Walk(enumerator));
  KrPropertySetEnumeratorFree(&enumerator);
  KrPropertySetDestroy(&set_);
  ASSERT_EQ(KR_STATUS_OK, KrPropertySetCreate(&set_));
  KrPropertySetAddIntProperty(set_, "A", "x", 1);
  KrPropertySetAddStringProperty(set_, "A", "s", "v");
  KrPropertySetAddRealProperty(set_, "B", "y", 2.0);
  std::vector<std::string> visited;
  KrStatus status = tollan::VisitProperties(
      set_, nullptr, [&](const char* module, const char* property, const tollan::PropertyValue& value) {
        visited.push_back(std::string(module) + "." + property);
        if (value.type == KR_PROPERTY_TYPE_STRING) {
          EXPECT_STREQ("v", value.stringValue);
        }
        KrPropertySetRemoveModule(set_, module);  // frees what module points at in the live set
        return value.type == KR_PROPERTY_TYPE_REAL ? KR_STATUS_TL_INJECTED_FAILURE : KR_STATUS_OK;
      });
  EXPECT_EQ(KR_STATUS_TL_INJECTED_FAILURE, status);
  EXPECT_EQ((std::vector<std::string>{"A.x", "A.s", "B.y"}), visited);
  tollan::PropertyValue value;
  value.type = KR_PROPERTY_TYPE_REAL;
  value.realValue = 4.5;
  ASSERT_EQ(KR_STATUS_OK, tollan::AddPropertyValue(set_, "C", "r", value));
  double r = 0;
  EXPECT_EQ(KR_STATUS_OK, KrPropertySetGetRealProperty(set_, "C", "r", &r));
  EXPECT_EQ(4.5, r);
  EXPECT_EQ(KR_STATUS_OS_NOT_FOUND,
            tollan::VisitProperties(
                set_, "A", [](const char*, const char*, const tollan::PropertyValue&) { return KR_STATUS_OK; }));
}

}  // namespace
