// Typed property access, its rules and bad input, whole-set queries, batch
// configuration and property-change events.
#include "KitTestSupport.h"

#include <cstring>
#include <vector>

namespace tollan_test {
namespace {

using DevicePropertiesTest = KitTest;

struct Change {
  std::string module;
  std::string property;
};

void RecordChange(KrDeviceHandle, const char* module, const char* property, void* cookie) {
  static_cast<std::vector<Change>*>(cookie)->push_back(Change{module, property});
}

// The general value is copied both ways through the proxy, byte for byte.
TEST_F(DevicePropertiesTest, GeneralValuesRoundTripAndReportTheirType) {
  KrDeviceHandle device = MakeDevice(CameraScript());
  uint8_t crop[12] = {1, 0, 0, 0, 10, 0, 20, 0, 30, 0, 40, 0};
  const KrGeneralBuffer in{crop, sizeof(crop)};
  ASSERT_EQ(KrDeviceProxySetGeneralProperty(device, "Device", "Cropping", &in), KR_STATUS_OK);
  uint8_t back[12] = {};
  const KrGeneralBuffer out{back, sizeof(back)};
  EXPECT_EQ(KrDeviceProxyGetGeneralProperty(device, "Device", "Cropping", &out), KR_STATUS_OK);
  EXPECT_EQ(std::memcmp(crop, back, sizeof(crop)), 0);
  KrPropertyType type;
  ASSERT_EQ(KrDeviceProxyGetPropertyType(device, "Device", "Gain", &type), KR_STATUS_OK);
  EXPECT_EQ(type, KR_PROPERTY_TYPE_REAL);
}

TEST_F(DevicePropertiesTest, BadInputGivesAStatusAndChangesNothing) {
  KrDeviceHandle device = MakeDevice(CameraScript());
  uint64_t number = 0;
  double real = 0;
  char text[KR_MAX_NAME_LENGTH];
  uint8_t bytes[13] = {};
  const KrGeneralBuffer shortBuffer{bytes, 11};
  const KrGeneralBuffer longBuffer{bytes, 13};
  const KrGeneralBuffer nullData{nullptr, 12};
  const std::string tooLong(KR_MAX_NAME_LENGTH, 'x');
  KrDeviceHandle stale = MakeDevice(CameraScript(), "stale");
  KrDeviceHandle destroyed = stale;
  ASSERT_EQ(KrDeviceProxyDestroy(&stale), KR_STATUS_OK);
  const KrDeviceHandle random = reinterpret_cast<KrDeviceHandle>(static_cast<uintptr_t>(0x12345678));
  const struct {
    const char* what;
    KrStatus status;
    KrStatus expected;
  } cases[] = {
      {"null handle", KrDeviceProxyGetIntProperty(nullptr, "Device", "Mirror", &number), KR_STATUS_OS_NULL_POINTER},
      {"destroyed handle", KrDeviceProxyGetIntProperty(destroyed, "Device", "Mirror", &number),
       KR_STATUS_TL_BAD_HANDLE},
      {"random handle", KrDeviceProxySetIntProperty(random, "Device", "Mirror", 1), KR_STATUS_TL_BAD_HANDLE},
      {"null module", KrDeviceProxyGetIntProperty(device, nullptr, "Mirror", &number), KR_STATUS_OS_NULL_POINTER},
      {"null property", KrDeviceProxySetIntProperty(device, "Device", nullptr, 1), KR_STATUS_OS_NULL_POINTER},
      {"null output", KrDeviceProxyGetIntProperty(device, "Device", "Mirror", nullptr), KR_STATUS_OS_NULL_POINTER},
      {"unknown module", KrDeviceProxyGetIntProperty(device, "Nowhere", "Mirror", &number),
       KR_STATUS_TL_MODULE_NOT_FOUND},
      {"unknown property", KrDeviceProxySetIntProperty(device, "Device", "Nope", 1), KR_STATUS_TL_PROPERTY_NOT_FOUND},
      {"module names match exactly", KrDeviceProxyGetIntProperty(device, "device", "Mirror", &number),
       KR_STATUS_TL_MODULE_NOT_FOUND},
      {"int read of a real", KrDeviceProxyGetIntProperty(device, "Device", "Gain", &number),
       KR_STATUS_TL_BAD_PROPERTY_TYPE},
      {"real write of an int", KrDeviceProxySetRealProperty(device, "Device", "Mirror", 1.0),
       KR_STATUS_TL_BAD_PROPERTY_TYPE},
      {"text read of an int", KrDeviceProxyGetStringProperty(device, "Device", "Mirror", text),
       KR_STATUS_TL_BAD_PROPERTY_TYPE},
      {"general write of a text", KrDeviceProxySetGeneralProperty(device, "Device", "PrimaryStream", &shortBuffer),
       KR_STATUS_TL_BAD_PROPERTY_TYPE},
      {"real read of an int", KrDeviceProxyGetRealProperty(device, "Depth", "XRes", &real),
       KR_STATUS_TL_BAD_PROPERTY_TYPE},
      {"general read too small", KrDeviceProxyGetGeneralProperty(device, "Device", "Cropping", &shortBuffer),
       KR_STATUS_TL_BAD_PROPERTY_SIZE},
      {"general read too large", KrDeviceProxyGetGeneralProperty(device, "Device", "Cropping", &longBuffer),
       KR_STATUS_TL_BAD_PROPERTY_SIZE},
      {"general write of another size", KrDeviceProxySetGeneralProperty(device, "Device", "Cropping", &longBuffer),
       KR_STATUS_TL_BAD_PROPERTY_SIZE},
      {"general write without data", KrDeviceProxySetGeneralProperty(device, "Device", "Cropping", &nullData),
       KR_STATUS_OS_NULL_POINTER},
      {"general read into no data", KrDeviceProxyGetGeneralProperty(device, "Device", "Cropping", &nullData),
       KR_STATUS_OS_NULL_POINTER},
      {"text too long", KrDeviceProxySetStringProperty(device, "Device", "PrimaryStream", tooLong.c_str()),
       KR_STATUS_TL_BAD_PROPERTY_SIZE},
      {"read-only", KrDeviceProxySetIntProperty(device, "Device", "Serial", 1), KR_STATUS_TL_PROPERTY_READ_ONLY},
      {"stream type is read-only", KrDeviceProxySetStringProperty(device, "Depth", "Type", "Image"),
       KR_STATUS_TL_PROPERTY_READ_ONLY},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.status, c.expected) << c.what;
  }
  ASSERT_EQ(KrDeviceProxyGetStringProperty(device, "Device", "PrimaryStream", text), KR_STATUS_OK);
  EXPECT_STREQ(text, "Any");
  ASSERT_EQ(KrDeviceProxyGetStringProperty(device, "Depth", "Type", text), KR_STATUS_OK);
  EXPECT_STREQ(text, "Depth");
  ASSERT_EQ(KrDeviceProxyGetIntProperty(device, "Device", "Serial", &number), KR_STATUS_OK);
  EXPECT_EQ(number, 1234u);
}

TEST_F(DevicePropertiesTest, AllowedValuesAreEnforced) {
  Script script = CameraScript();
  script.properties.push_back(ScriptProperty{"Device", "Resolution", ScriptValue::Int(1), 0, {0, 1, 2}});
  KrDeviceHandle device = MakeDevice(script);
  EXPECT_EQ(KrDeviceProxySetIntProperty(device, "Device", "Resolution", 2), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxySetIntProperty(device, "Device", "Resolution", 3), KR_STATUS_TL_BAD_PROPERTY_VALUE);
  uint64_t value = 0;
  ASSERT_EQ(KrDeviceProxyGetIntProperty(device, "Device", "Resolution", &value), KR_STATUS_OK);
  EXPECT_EQ(value, 2u);
}

TEST_F(DevicePropertiesTest, ExistenceQuestions) {
  KrDeviceHandle device = MakeDevice(CameraScript());
  const struct {
    const char* module;
    const char* property;  // null: ask for the module
    int exists;
  } cases[] = {
      {"Device", nullptr, 1}, {"Depth", nullptr, 1},  {"Image", nullptr, 0},    {"Device", "Mirror", 1},
      {"Depth", "Type", 1},   {"Depth", "Mirror", 0}, {"Nowhere", "Mirror", 0}, {"Depth", "RequiredDataSize", 1},
  };
  for (const auto& c : cases) {
    int exists = -1;
    const KrStatus status = c.property ? KrDeviceProxyDoesPropertyExist(device, c.module, c.property, &exists)
                                       : KrDeviceProxyDoesModuleExist(device, c.module, &exists);
    EXPECT_EQ(status, KR_STATUS_OK);
    EXPECT_EQ(exists, c.exists) << c.module << "/" << (c.property ? c.property : "");
  }
  int exists = 0;
  EXPECT_EQ(KrDeviceProxyDoesModuleExist(device, "Device", nullptr), KR_STATUS_OS_NULL_POINTER);
  EXPECT_EQ(KrDeviceProxyDoesPropertyExist(device, nullptr, "Mirror", &exists), KR_STATUS_OS_NULL_POINTER);
}

TEST_F(DevicePropertiesTest, AllPropertiesHonourNoStreamsAndTheModuleFilter) {
  Script script = CameraScript();
  script.Module("Empty").IntProperty("Device", "Hidden", 7, kScriptUnlisted);
  KrDeviceHandle device = MakeDevice(script);
  ASSERT_EQ(KrDeviceProxyCreateStream(device, "Image", "Color", nullptr), KR_STATUS_OK);

  PropertySet everything;
  ASSERT_EQ(KrDeviceProxyGetAllProperties(device, everything.Get(), 0, nullptr), KR_STATUS_OK);
  EXPECT_TRUE(everything.HasModule("Device"));
  EXPECT_TRUE(everything.HasModule("Empty"));
  EXPECT_TRUE(everything.HasModule("Depth"));
  EXPECT_TRUE(everything.HasModule("Color"));
  // Device: Mirror, PrimaryStream, Gain, Serial, Cropping; Depth: Type, XRes,
  // YRes, RequiredDataSize; Color: Type, XRes, RequiredDataSize.
  EXPECT_EQ(everything.Properties(), 12u);
  uint64_t hidden = 0;
  EXPECT_NE(KrPropertySetGetIntProperty(everything.Get(), "Device", "Hidden", &hidden), KR_STATUS_OK);

  PropertySet deviceLevel;
  ASSERT_EQ(KrDeviceProxyGetAllProperties(device, deviceLevel.Get(), 1, nullptr), KR_STATUS_OK);
  EXPECT_EQ(deviceLevel.Modules(), 2u);
  EXPECT_FALSE(deviceLevel.HasModule("Depth"));
  EXPECT_FALSE(deviceLevel.HasModule("Color"));
  EXPECT_EQ(deviceLevel.Properties(), 5u);

  PropertySet oneStream;
  ASSERT_EQ(KrDeviceProxyGetAllProperties(device, oneStream.Get(), 0, "Color"), KR_STATUS_OK);
  EXPECT_EQ(oneStream.Modules(), 1u);
  char type[KR_MAX_NAME_LENGTH];
  ASSERT_EQ(KrPropertySetGetStringProperty(oneStream.Get(), "Color", "Type", type, sizeof(type)), KR_STATUS_OK);
  EXPECT_STREQ(type, "Image");

  PropertySet none;
  EXPECT_EQ(KrDeviceProxyGetAllProperties(device, none.Get(), 1, "Color"), KR_STATUS_OK);
  EXPECT_EQ(none.Modules(), 0u);
  EXPECT_EQ(KrDeviceProxyGetAllProperties(device, none.Get(), 0, "Nowhere"), KR_STATUS_TL_MODULE_NOT_FOUND);
  EXPECT_EQ(KrDeviceProxyGetAllProperties(device, nullptr, 0, nullptr), KR_STATUS_OS_NULL_POINTER);
}

TEST_F(DevicePropertiesTest, BatchConfigAppliesInOrderAndStopsAtTheFirstFailure) {
  KrDeviceHandle device = MakeDevice(CameraScript());
  std::vector<Change> changes;
  KrCallbackHandle registration = nullptr;
  ASSERT_EQ(KrDeviceProxyRegisterToPropertyChange(device, "Depth", "XRes", &RecordChange, &changes, &registration),
            KR_STATUS_OK);
  PropertySet set;
  // Applied module by module in the set's order: Depth, then Device.
  KrPropertySetAddIntProperty(set.Get(), "Depth", "XRes", 160);
  KrPropertySetAddIntProperty(set.Get(), "Device", "Mirror", 1);
  KrPropertySetAddIntProperty(set.Get(), "Device", "Serial", 5);  // read-only: stops here
  KrPropertySetAddRealProperty(set.Get(), "Device", "Gain", 9.0);
  EXPECT_EQ(KrDeviceProxyBatchConfig(device, set.Get()), KR_STATUS_TL_PROPERTY_READ_ONLY);
  uint64_t mirror = 0, xres = 0;
  double gain = 0;
  KrDeviceProxyGetIntProperty(device, "Device", "Mirror", &mirror);
  KrDeviceProxyGetIntProperty(device, "Depth", "XRes", &xres);
  KrDeviceProxyGetRealProperty(device, "Device", "Gain", &gain);
  EXPECT_EQ(mirror, 1u);
  EXPECT_EQ(xres, 160u);
  EXPECT_DOUBLE_EQ(gain, 1.5);
  ASSERT_EQ(changes.size(), 1u);
  EXPECT_EQ(changes[0].module, "Depth");
  EXPECT_EQ(KrDeviceProxyBatchConfig(device, nullptr), KR_STATUS_OS_NULL_POINTER);
}

TEST_F(DevicePropertiesTest, ChangeCallbacksFireOncePerChangeUntilUnregistered) {
  KrDeviceHandle device = MakeDevice(CameraScript());
  std::vector<Change> mirror, gain;
  KrCallbackHandle onMirror = nullptr, onGain = nullptr;
  ASSERT_EQ(KrDeviceProxyRegisterToPropertyChange(device, "Device", "Mirror", &RecordChange, &mirror, &onMirror),
            KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyRegisterToPropertyChange(device, "Device", "Gain", &RecordChange, &gain, &onGain),
            KR_STATUS_OK);
  ASSERT_NE(onMirror, onGain);
  EXPECT_EQ(KrDeviceProxySetIntProperty(device, "Device", "Mirror", 1), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxySetIntProperty(device, "Device", "Mirror", 1), KR_STATUS_OK);  // a set is a change
  EXPECT_EQ(KrDeviceProxySetIntProperty(device, "Device", "Mirror", 2), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxySetRealProperty(device, "Device", "Mirror", 2.0), KR_STATUS_TL_BAD_PROPERTY_TYPE);
  EXPECT_EQ(mirror.size(), 3u);
  EXPECT_TRUE(gain.empty());
  EXPECT_EQ(mirror[0].module, "Device");
  EXPECT_EQ(mirror[0].property, "Mirror");
  // The hardware changing a value raises the same event.
  EXPECT_EQ(ChangeProperty(device, "Device", "Mirror", ScriptValue::Int(0)), KR_STATUS_OK);
  EXPECT_EQ(mirror.size(), 4u);

  // Unregistration checks the names and the handle.
  EXPECT_EQ(KrDeviceProxyUnregisterFromPropertyChange(device, "Device", "Gain", onMirror),
            KR_STATUS_TL_BAD_REGISTRATION);
  EXPECT_EQ(KrDeviceProxyUnregisterFromNewStreamData(device, onMirror), KR_STATUS_TL_BAD_REGISTRATION);
  EXPECT_EQ(KrDeviceProxyUnregisterFromPropertyChange(device, "Device", "Mirror", onMirror), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxyUnregisterFromPropertyChange(device, "Device", "Mirror", onMirror),
            KR_STATUS_TL_BAD_REGISTRATION);
  EXPECT_EQ(KrDeviceProxySetIntProperty(device, "Device", "Mirror", 1), KR_STATUS_OK);
  EXPECT_EQ(mirror.size(), 4u);
  EXPECT_EQ(KrDeviceProxySetRealProperty(device, "Device", "Gain", 3.0), KR_STATUS_OK);
  EXPECT_EQ(gain.size(), 1u);

  KrCallbackHandle none = nullptr;
  EXPECT_EQ(KrDeviceProxyRegisterToPropertyChange(device, "Device", "Nope", &RecordChange, &mirror, &none),
            KR_STATUS_TL_PROPERTY_NOT_FOUND);
  EXPECT_EQ(KrDeviceProxyRegisterToPropertyChange(device, "Device", "Mirror", nullptr, &mirror, &none),
            KR_STATUS_OS_NULL_POINTER);
  EXPECT_EQ(none, nullptr);
}

// A callback that unregisters itself and reads the device it came from.
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

TEST_F(DevicePropertiesTest, CallbacksMayCallTheKitAndUnregisterThemselves) {
  KrDeviceHandle device = MakeDevice(CameraScript());
  SelfRemoving first, second;
  ASSERT_EQ(KrDeviceProxyRegisterToPropertyChange(device, "Device", "Mirror", &RemoveSelf, &first, &first.registration),
            KR_STATUS_OK);
  ASSERT_EQ(
      KrDeviceProxyRegisterToPropertyChange(device, "Device", "Mirror", &RemoveSelf, &second, &second.registration),
      KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxySetIntProperty(device, "Device", "Mirror", 1), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxySetIntProperty(device, "Device", "Mirror", 0), KR_STATUS_OK);
  EXPECT_EQ(first.calls, 1);
  EXPECT_EQ(second.calls, 1);
  EXPECT_EQ(first.seen, 1u);
}

}  // namespace
}  // namespace tollan_test
