// KrVPropertySet: values reach the kit set; copies share it safely.
#include <Ovalith/Ovalith.h>

#include <gtest/gtest.h>

namespace {

uint64_t IntValue(const KrVPropertySet& set, const char* module, const char* property) {
  uint64_t value = 0;
  EXPECT_EQ(KrPropertySetGetIntProperty(set.GetHandle(), module, property, &value), KR_STATUS_OK);
  return value;
}

TEST(KrVPropertySet, TypedValuesReachTheKitSetAndTheEnumerator) {
  KrVPropertySet set;
  uint8_t bytes[3] = {1, 2, 3};
  EXPECT_EQ(set.AddProperty("Depth", "XRes", uint64_t{640}), KR_STATUS_OK);
  EXPECT_EQ(set.AddProperty("Depth", "ZPPS", 0.1042), KR_STATUS_OK);
  EXPECT_EQ(set.AddProperty("Device", "PrimaryStream", "Depth"), KR_STATUS_OK);
  EXPECT_EQ(set.AddProperty("Device", "Blob", KrGeneralBuffer{bytes, sizeof(bytes)}), KR_STATUS_OK);
  bytes[0] = 9;  // the set keeps its own copy
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
        ASSERT_EQ(blob.nDataSize, 3u);
        EXPECT_EQ(static_cast<const uint8_t*>(blob.pData)[0], 1);
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
}

// Copies share one set; the last copy to go releases it (a leak or a double
// release shows under the sanitizers), in every order of assignment.
TEST(KrVPropertySet, CopiesShareOneSetUntilTheLastIsGone) {
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
