// Shared pieces of the older interface's tests: a scripted device whose modules a test can hide, and the journal.
#pragma once

#include "Ovalith/Infrastructure/DeviceTestSupport.h"

#include <set>

namespace legacy_test {

using namespace device_test;

// Reports the modules in `hidden` missing through the virtual DoesModuleExist the legacy layer asks.
class HidingDevice : public KrVDevice {
 public:
  KrStatus DoesModuleExist(const char* module, int* exists) override {
    if (module != nullptr && hidden.count(module) != 0) {
      *exists = 0;
      return KR_STATUS_OK;
    }
    return KrVDevice::DoesModuleExist(module, exists);
  }
  std::set<std::string> hidden;
};

// A current value whose bit 32 is set and whose low 16 bits differ from its low 32: a read keeping wrong bits shows.
constexpr uint64_t Tagged(uint32_t low) { return (uint64_t{1} << 32) | 0x20000u | low; }

inline std::string PathOf(const std::string& module, const std::string& property) { return module + "/" + property; }

// "Module/Property" named by the last kit call of that name ("" if none).
inline std::string Target(const std::string& call) {
  const std::vector<JournalEntry> journal = GetJournal();
  for (auto entry = journal.rbegin(); entry != journal.rend(); ++entry) {
    if (entry->call == call && entry->args.size() >= 2) {
      return PathOf(entry->args[0], entry->args[1]);
    }
  }
  return "";
}

class LegacyTest : public DeviceTest {
 public:
  static Script Modules() { return Script().Module("Depth").Module("Image").Module("Audio"); }
  void TearDown() override {
    device.reset();
    DeviceTest::TearDown();
  }
  uint64_t Current(const std::string& module, const std::string& property) {
    return ValueOf(*device, module.c_str(), property.c_str());
  }
  // A legacy parameter read: its status, and the value it leaves (77 if it leaves the caller's alone).
  template <typename Id>
  void ExpectRead(Id id, KrStatus status, int expected) {
    int value = 77;
    EXPECT_EQ(device->GetIOParam(id, value), status) << id;
    EXPECT_EQ(value, expected) << id;
  }
  void Create(const Script& script) {
    device = std::make_unique<HidingDevice>();
    ASSERT_EQ(CreateScripted(*device, script), KR_STATUS_OK);
    kit = KitHandleOf(*device);
    Journal();
  }
  std::unique_ptr<HidingDevice> device;
  KrDeviceHandle kit = nullptr;
};

}  // namespace legacy_test
