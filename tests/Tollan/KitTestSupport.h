// Shared fixture of the kit's device tests: a started kit, clean test tables, a scratch directory.
#pragma once

#include <Tollan/TollanTesting.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>

namespace tollan_test {

using namespace tollan::testing;

// A directory of its own under TMPDIR, else /dev/shm (some tests write thousands of files), else /tmp; removed after.
class ScratchDirectory {
 public:
  ScratchDirectory() {
    const char* base = std::getenv("TMPDIR");
    if (base == nullptr || *base == '\0') base = access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    path_ = std::string(base) + "/tollan-test-XXXXXX";
    EXPECT_NE(mkdtemp(&path_[0]), nullptr) << path_;
  }
  ~ScratchDirectory() {
    std::error_code error;
    std::filesystem::remove_all(path_, error);
  }
  const std::string& Path() const { return path_; }
  std::string Write(const std::string& name, const std::string& text) const {
    const std::string file = path_ + "/" + name;
    std::ofstream(file) << text;
    return file;
  }

 private:
  std::string path_;
};

// The value of an integer, real or text property; a failed read fails the test.
inline uint64_t IntOf(KrDeviceHandle device, const char* module, const char* property) {
  uint64_t value = 0;
  EXPECT_EQ(KrDeviceProxyGetIntProperty(device, module, property, &value), KR_STATUS_OK) << module << "." << property;
  return value;
}
inline double RealOf(KrDeviceHandle device, const char* module, const char* property) {
  double value = 0;
  EXPECT_EQ(KrDeviceProxyGetRealProperty(device, module, property, &value), KR_STATUS_OK) << module << "." << property;
  return value;
}
inline std::string TextOf(KrDeviceHandle device, const char* module, const char* property) {
  char text[KR_MAX_NAME_LENGTH] = {};
  EXPECT_EQ(KrDeviceProxyGetStringProperty(device, module, property, text), KR_STATUS_OK) << module << "." << property;
  return text;
}

class KitTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetAll();
    ASSERT_EQ(TollanInit(scratch_.Path().c_str()), KR_STATUS_OK);
  }
  void TearDown() override {
    TollanShutdown();  // destroys what a test left open
    ResetAll();
  }

  KrDeviceHandle MakeDevice(const Script& script, const std::string& name = "device",
                            KrDeviceMode mode = KR_DEVICE_MODE_READ, KrPropertySetHandle initial = nullptr) {
    EXPECT_EQ(DefineScript(name, script), KR_STATUS_OK);
    KrDeviceConfig config{mode, name.c_str(), initial, KR_DEVICE_SHARING_EXCLUSIVE};
    KrDeviceHandle device = nullptr;
    EXPECT_EQ(KrDeviceProxyCreateDeviceByName("Scripted", &device, &config), KR_STATUS_OK);
    return device;
  }

  // "Device" settings, depth and image types, one depth stream present at creation.
  static Script CameraScript() {
    Script script;
    script.IntProperty("Device", "Mirror", 0)
        .Property("Device", "PrimaryStream", ScriptValue::String("Any"))
        .Property("Device", "Gain", ScriptValue::Real(1.5))
        .IntProperty("Device", "Serial", 1234, kScriptReadOnly)
        .Property("Device", "Cropping", ScriptValue::General("\0\0\0\0\0\0\0\0\0\0\0\0", 12), kScriptFixedSize)
        .SupportedType("Depth")
        .SupportedType("Image")
        .TypeProperty("Depth", "XRes", ScriptValue::Int(640))
        .TypeProperty("Depth", "YRes", ScriptValue::Int(480))
        .TypeProperty("Depth", "RequiredDataSize", ScriptValue::Int(640 * 480 * 2), kScriptReadOnly)
        .TypeProperty("Image", "XRes", ScriptValue::Int(320))
        .TypeProperty("Image", "RequiredDataSize", ScriptValue::Int(320 * 240 * 3), kScriptReadOnly)
        .Stream("Depth", "Depth");
    return script;
  }

  ScratchDirectory scratch_;
};

// Owns a property set for the length of a test.
class PropertySet {
 public:
  PropertySet() { EXPECT_EQ(KrPropertySetCreate(&handle_), KR_STATUS_OK); }
  ~PropertySet() { KrPropertySetDestroy(&handle_); }
  PropertySet(const PropertySet&) = delete;
  PropertySet& operator=(const PropertySet&) = delete;
  KrPropertySetHandle Get() const { return handle_; }

 private:
  KrPropertySetHandle handle_ = nullptr;
};

}  // namespace tollan_test
