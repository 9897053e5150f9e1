// Shared pieces of the older interface's tests: a device whose module
// existence answers a test can override, and a scripted device carrying the
// current modules "Depth", "Image" and "Audio" as plain device modules.
#pragma once

#include "Ovalith/Infrastructure/DeviceTestSupport.h"

#include <memory>
#include <set>
#include <string>
#include <vector>

namespace legacy_test {

using namespace device_test;

// The legacy layer asks existence through the device's virtual
// DoesModuleExist; this device reports the modules in `hidden` missing.
class HidingDevice : public KrVDevice {
 public:
  explicit HidingDevice(int compatibility = 0) : KrVDevice(compatibility) {}
  KrStatus DoesModuleExist(const char* module, int* exists) override {
    if (module != nullptr && hidden.count(module) != 0) {
      *exists = 0;
      return KR_STATUS_OK;
    }
    return KrVDevice::DoesModuleExist(module, exists);
  }
  std::set<std::string> hidden;
};

// Current integer values chosen so that a read that keeps the wrong bits
// shows: bit 32 is set, and the low 16 bits differ from the low 32.
constexpr uint64_t Tagged(uint32_t low) { return (uint64_t{1} << 32) | 0x20000u | low; }

// "Module/Property" named by the last kit call of that name ("" if none).
inline std::string Target(const std::string& call) {
  const std::vector<JournalEntry> journal = GetJournal();
  for (auto entry = journal.rbegin(); entry != journal.rend(); ++entry) {
    if (entry->call == call && entry->args.size() >= 2) {
      return entry->args[0] + "/" + entry->args[1];
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

  // The current integer property, read straight from the device.
  uint64_t Current(const char* module, const char* property) { return IntOf(*device, module, property); }

  // Creates the device on the script and starts the journal afresh.
  void Create(const Script& script, int compatibility = 0) {
    device = std::make_unique<HidingDevice>(compatibility);
    ASSERT_EQ(CreateScripted(*device, script), KR_STATUS_OK);
    kit = KitHandleOf(*device);
    Journal();
  }

  std::unique_ptr<HidingDevice> device;
  KrDeviceHandle kit = nullptr;
};

}  // namespace legacy_test
