// Typed property access and bad input, whole-set queries, batches and property-change events.
#include "KitTestSupport.h"

#include <cstring>
#include <vector>

namespace tollan_test {
namespace {

using DevicePropertiesTest = KitTest;

void RecordChange(KrDeviceHandle, const char* module, const char* property, void* cookie) {
  static_cast<std::vector<std::string>*>(cookie)->push_back(std::string(module) + "." + property);
}

TEST_F(DevicePropertiesTest, TypedAccessExistenceWholeSetsAndBadInputThatChangesNothing) {
  Script script = CameraScript();
  script.properties.push_back(ScriptProperty{"Device", "Resolution", ScriptValue::Int(1), 0, {0, 1, 2}});
  script.Module("Empty").IntProperty("Device", "Hidden", 7, kScriptUnlisted);
  KrDeviceHandle device = MakeDevice(script);
  uint64_t number = 0;
  double real = 0;
  char text[KR_MAX_NAME_LENGTH];
  uint8_t bytes[13] = {};
  const KrGeneralBuffer shortBuffer{bytes, 11}, longBuffer{bytes, 13}, nullData{nullptr, 12};
  const std::string tooLong(KR_MAX_NAME_LENGTH, 'x');
  KrDeviceHandle stale = MakeDevice(CameraScript(), "stale");
  KrDeviceHandle destroyed = stale;
  ASSERT_EQ(KrDeviceProxyDestroy(&stale), KR_STATUS_OK);
  const KrDeviceHandle random = reinterpret_cast<KrDeviceHandle>(static_cast<uintptr_t>(0x12345678));
  int exists = 0;
  auto getInt = [&](const char* m, const char* p) { return KrDeviceProxyGetIntProperty(device, m, p, &number); };
  auto setInt = [&](const char* p, uint64_t v) { return KrDeviceProxySetIntProperty(device, "Device", p, v); };
  auto getGeneral = [&](const KrGeneralBuffer* buffer) {
    return KrDeviceProxyGetGeneralProperty(device, "Device", "Cropping", buffer);
  };
  auto setGeneral = [&](const char* property, const KrGeneralBuffer* buffer) {
    return KrDeviceProxySetGeneralProperty(device, "Device", property, buffer);
  };
  const struct {
    const char* what;
    KrStatus status;
    KrStatus expected;
  } cases[] = {
      {"null handle", KrDeviceProxyGetIntProperty(nullptr, "Device", "Mirror", &number), KR_STATUS_OS_NULL_POINTER},
      {"destroyed handle", KrDeviceProxyGetIntProperty(destroyed, "Device", "Mirror", &number),
       KR_STATUS_TL_BAD_HANDLE},
      {"random handle", KrDeviceProxySetIntProperty(random, "Device", "Mirror", 1), KR_STATUS_TL_BAD_HANDLE},
      {"null module", getInt(nullptr, "Mirror"), KR_STATUS_OS_NULL_POINTER},
      {"null property", setInt(nullptr, 1), KR_STATUS_OS_NULL_POINTER},
      {"null output", KrDeviceProxyGetIntProperty(device, "Device", "Mirror", nullptr), KR_STATUS_OS_NULL_POINTER},
      {"unknown module", getInt("Nowhere", "Mirror"), KR_STATUS_TL_MODULE_NOT_FOUND},
      {"unknown property", setInt("Nope", 1), KR_STATUS_TL_PROPERTY_NOT_FOUND},
      {"module names match exactly", getInt("device", "Mirror"), KR_STATUS_TL_MODULE_NOT_FOUND},
      {"int read of a real", getInt("Device", "Gain"), KR_STATUS_TL_BAD_PROPERTY_TYPE},
      {"real write of an int", KrDeviceProxySetRealProperty(device, "Device", "Mirror", 1.0),
       KR_STATUS_TL_BAD_PROPERTY_TYPE},
      {"text read of an int", KrDeviceProxyGetStringProperty(device, "Device", "Mirror", text),
       KR_STATUS_TL_BAD_PROPERTY_TYPE},
      {"general write of a text", setGeneral("PrimaryStream", &shortBuffer), KR_STATUS_TL_BAD_PROPERTY_TYPE},
      {"real read of an int", KrDeviceProxyGetRealProperty(device, "Depth", "XRes", &real),
       KR_STATUS_TL_BAD_PROPERTY_TYPE},
      {"general read too small", getGeneral(&shortBuffer), KR_STATUS_TL_BAD_PROPERTY_SIZE},
      {"general read too large", getGeneral(&longBuffer), KR_STATUS_TL_BAD_PROPERTY_SIZE},
      {"general write of another size", setGeneral("Cropping", &longBuffer), KR_STATUS_TL_BAD_PROPERTY_SIZE},
      {"general write without data", setGeneral("Cropping", &nullData), KR_STATUS_OS_NULL_POINTER},
      {"general read into no data", getGeneral(&nullData), KR_STATUS_OS_NULL_POINTER},
      {"text too long", KrDeviceProxySetStringProperty(device, "Device", "PrimaryStream", tooLong.c_str()),
       KR_STATUS_TL_BAD_PROPERTY_SIZE},
      {"read-only", setInt("Serial", 1), KR_STATUS_TL_PROPERTY_READ_ONLY},
      {"stream type is read-only", KrDeviceProxySetStringProperty(device, "Depth", "Type", "Image"),
       KR_STATUS_TL_PROPERTY_READ_ONLY},
      {"value not allowed", setInt("Resolution", 3), KR_STATUS_TL_BAD_PROPERTY_VALUE},
      {"allowed value", setInt("Resolution", 2), KR_STATUS_OK},
      {"null existence output", KrDeviceProxyDoesModuleExist(device, "Device", nullptr), KR_STATUS_OS_NULL_POINTER},
      {"existence of null module", KrDeviceProxyDoesPropertyExist(device, nullptr, "Mirror", &exists),
       KR_STATUS_OS_NULL_POINTER},
  };
  for (const auto& c : cases) EXPECT_EQ(c.status, c.expected) << c.what;
  EXPECT_EQ(TextOf(device, "Device", "PrimaryStream"), "Any");
  EXPECT_EQ(TextOf(device, "Depth", "Type"), "Depth");
  EXPECT_EQ(IntOf(device, "Device", "Serial"), 1234u);
  EXPECT_EQ(IntOf(device, "Device", "Resolution"), 2u);
  // The general value is copied both ways, byte for byte.
  uint8_t crop[12] = {1, 0, 0, 0, 10, 0, 20, 0, 30, 0, 40, 0};
  const KrGeneralBuffer in{crop, sizeof(crop)};
  ASSERT_EQ(setGeneral("Cropping", &in), KR_STATUS_OK);
  const KrGeneralBuffer out{bytes, sizeof(crop)};
  EXPECT_EQ(getGeneral(&out), KR_STATUS_OK);
  EXPECT_EQ(std::memcmp(crop, bytes, sizeof(crop)), 0);
  KrPropertyType type;
  ASSERT_EQ(KrDeviceProxyGetPropertyType(device, "Device", "Gain", &type), KR_STATUS_OK);
  EXPECT_EQ(type, KR_PROPERTY_TYPE_REAL);
  const struct {
    const char* module;
    const char* property;  // null: ask for the module
    int exists;
  } questions[] = {
      {"Device", nullptr, 1}, {"Depth", nullptr, 1},  {"Image", nullptr, 0},    {"Device", "Mirror", 1},
      {"Depth", "Type", 1},   {"Depth", "Mirror", 0}, {"Nowhere", "Mirror", 0}, {"Depth", "RequiredDataSize", 1},
  };
  for (const auto& c : questions) {
    exists = -1;
    EXPECT_EQ(c.property ? KrDeviceProxyDoesPropertyExist(device, c.module, c.property, &exists)
                         : KrDeviceProxyDoesModuleExist(device, c.module, &exists),
              KR_STATUS_OK);
    EXPECT_EQ(exists, c.exists) << c.module << "/" << (c.property ? c.property : "");
  }
  // Whole-set queries honour "no streams" and the module filter. Device has 6 properties, Empty none, Depth
  // Type, XRes, YRes and RequiredDataSize, Color Type, XRes and RequiredDataSize.
  ASSERT_EQ(KrDeviceProxyCreateStream(device, "Image", "Color", nullptr), KR_STATUS_OK);
  const struct {
    int noStreams;
    const char* module;
    const char* counts;  // modules/properties
  } sets[] = {{0, nullptr, "4/13"}, {1, nullptr, "2/6"}, {0, "Color", "1/3"}, {1, "Color", "0/0"}};
  for (const auto& c : sets) {
    PropertySet set;
    ASSERT_EQ(KrDeviceProxyGetAllProperties(device, set.Get(), c.noStreams, c.module), KR_STATUS_OK);
    uint32_t modules = 0, properties = 0;
    KrPropertySetGetCounts(set.Get(), &modules, &properties);
    EXPECT_EQ(std::to_string(modules) + "/" + std::to_string(properties), c.counts);
  }
  char streamType[KR_MAX_NAME_LENGTH] = {};
  PropertySet color;
  ASSERT_EQ(KrDeviceProxyGetAllProperties(device, color.Get(), 0, "Color"), KR_STATUS_OK);
  ASSERT_EQ(KrPropertySetGetStringProperty(color.Get(), "Color", "Type", streamType, sizeof(streamType)), KR_STATUS_OK);
  EXPECT_STREQ(streamType, "Image");
  PropertySet none;
  EXPECT_EQ(KrDeviceProxyGetAllProperties(device, none.Get(), 0, "Nowhere"), KR_STATUS_TL_MODULE_NOT_FOUND);
  EXPECT_EQ(KrDeviceProxyGetAllProperties(device, nullptr, 0, nullptr), KR_STATUS_OS_NULL_POINTER);
}

struct SelfRemoving {
  KrCallbackHandle registration = nullptr;
  int calls = 0;
  uint64_t seen = 0;
};

void RemoveSelf(KrDeviceHandle device, const char* module, const char* property, void* cookie) {
  auto* self = static_cast<SelfRemoving*>(cookie);
  ++self->calls;
  KrDeviceProxyGetIntProperty(device, module, property, &self->seen);
  EXPECT_EQ(KrDeviceProxyUnregisterFromPropertyChange(device, module, property, self->registration), KR_STATUS_OK);
  // Destroying the device from its own callback is refused, not a deadlock.
  KrDeviceHandle same = device;
  EXPECT_EQ(KrDeviceProxyDestroy(&same), KR_STATUS_TL_DEVICE_BUSY);
}

TEST_F(DevicePropertiesTest, BatchesAndChangesRaiseCallbacksOncePerChangeUntilUnregisteredEvenFromThemselves) {
  KrDeviceHandle device = MakeDevice(CameraScript());
  std::vector<std::string> mirror, gain;
  KrCallbackHandle onMirror = nullptr, onGain = nullptr;
  ASSERT_EQ(KrDeviceProxyRegisterToPropertyChange(device, "Device", "Mirror", &RecordChange, &mirror, &onMirror),
            KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyRegisterToPropertyChange(device, "Device", "Gain", &RecordChange, &gain, &onGain),
            KR_STATUS_OK);
  // A batch applies module by module in the set's order (Depth, then Device) and stops at the first failure.
  PropertySet set;
  KrPropertySetAddIntProperty(set.Get(), "Depth", "XRes", 160);
  KrPropertySetAddIntProperty(set.Get(), "Device", "Mirror", 1);
  KrPropertySetAddIntProperty(set.Get(), "Device", "Serial", 5);  // read-only: stops here
  KrPropertySetAddRealProperty(set.Get(), "Device", "Gain", 9.0);
  EXPECT_EQ(KrDeviceProxyBatchConfig(device, set.Get()), KR_STATUS_TL_PROPERTY_READ_ONLY);
  EXPECT_EQ(KrDeviceProxyBatchConfig(device, nullptr), KR_STATUS_OS_NULL_POINTER);
  EXPECT_EQ(IntOf(device, "Depth", "XRes"), 160u);
  EXPECT_EQ(KrDeviceProxySetIntProperty(device, "Device", "Mirror", 1), KR_STATUS_OK);  // a set is a change
  EXPECT_EQ(KrDeviceProxySetRealProperty(device, "Device", "Mirror", 2.0), KR_STATUS_TL_BAD_PROPERTY_TYPE);
  // The hardware changing a value raises the same event.
  EXPECT_EQ(ChangeProperty(device, "Device", "Mirror", ScriptValue::Int(0)), KR_STATUS_OK);
  EXPECT_EQ(mirror, std::vector<std::string>(3, "Device.Mirror"));
  EXPECT_TRUE(gain.empty());
  // Unregistration checks the names and the handle.
  EXPECT_EQ(KrDeviceProxyUnregisterFromPropertyChange(device, "Device", "Gain", onMirror),
            KR_STATUS_TL_BAD_REGISTRATION);
  EXPECT_EQ(KrDeviceProxyUnregisterFromNewStreamData(device, onMirror), KR_STATUS_TL_BAD_REGISTRATION);
  EXPECT_EQ(KrDeviceProxyUnregisterFromPropertyChange(device, "Device", "Mirror", onMirror), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxyUnregisterFromPropertyChange(device, "Device", "Mirror", onMirror),
            KR_STATUS_TL_BAD_REGISTRATION);
  EXPECT_EQ(KrDeviceProxySetIntProperty(device, "Device", "Mirror", 1), KR_STATUS_OK);
  EXPECT_EQ(mirror.size(), 3u);
  EXPECT_EQ(KrDeviceProxySetRealProperty(device, "Device", "Gain", 3.0), KR_STATUS_OK);
  EXPECT_EQ(gain, std::vector<std::string>{"Device.Gain"});
  KrCallbackHandle none = nullptr;
  EXPECT_EQ(KrDeviceProxyRegisterToPropertyChange(device, "Device", "Nope", &RecordChange, &mirror, &none),
            KR_STATUS_TL_PROPERTY_NOT_FOUND);
  EXPECT_EQ(KrDeviceProxyRegisterToPropertyChange(device, "Device", "Mirror", nullptr, &mirror, &none),
            KR_STATUS_OS_NULL_POINTER);
  EXPECT_EQ(none, nullptr);
  // Callbacks may call the kit and unregister themselves.
  SelfRemoving callbacks[2];
  for (SelfRemoving& callback : callbacks) {
    ASSERT_EQ(KrDeviceProxyRegisterToPropertyChange(device, "Device", "Mirror", &RemoveSelf, &callback,
                                                    &callback.registration),
              KR_STATUS_OK);
  }
  ASSERT_EQ(KrDeviceProxySetIntProperty(device, "Device", "Mirror", 1), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxySetIntProperty(device, "Device", "Mirror", 0), KR_STATUS_OK);
  EXPECT_EQ(callbacks[0].calls, 1);
  EXPECT_EQ(callbacks[1].calls, 1);
  EXPECT_EQ(callbacks[0].seen, 1u);
}

}  // namespace
}  // namespace tollan_test
