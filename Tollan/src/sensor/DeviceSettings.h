// The settings of the simulated sensor's "Device" module: how reads wait
// ("PrimaryStream"), mirroring, frame synchronisation and delay, start-up
// options, time stamp resolution and the camera-head controls, with their
// defaults and rules (table in DeviceSettings.cpp).
//
// The sensor's identity ("Version", "FirmwareMode", "ID",
// "PhysicalDeviceName", "VendorSpecificData") and its flash file system
// ("FileList", "FlashFile", "DeleteFile", "FileAttributes", "Reset",
// "BIST", "FlashChunk") are not here: they live with the flash store
// (flash/FlashStore.h), and the device module answers them from there.
//
// Not locked (see ModuleSettings.h).
#pragma once

#include "ModuleSettings.h"

#include <functional>

namespace tollan {
namespace sensor {

#pragma pack(push, 1)
// "CmosBlankingUnits": the caller names the image sensor (0 depth, 1 colour);
// the value is its vertical blanking in sensor rows.
struct CmosBlankingUnitsValue {
  uint16_t cmos;
  uint16_t reserved;
  uint32_t units;
};
// "CmosBlankingTime": the same blanking as a time.
struct CmosBlankingTimeValue {
  uint16_t cmos;
  double milliseconds;
};
// "I2C" written: a command to a register of a device on the head's bus.
struct I2CWriteValue {
  uint16_t bus;
  uint16_t address;
  uint16_t reg;
  uint16_t length;
  uint8_t data[18];
};
// "I2C" read: the caller fills bus, address, register and length; the
// sensor fills the data.
struct I2CReadValue {
  uint16_t bus;
  uint16_t address;
  uint16_t reg;
  uint16_t length;
  uint8_t data[40];
};
#pragma pack(pop)
static_assert(sizeof(CmosBlankingUnitsValue) == 8, "CmosBlankingUnits is 8 bytes");
static_assert(sizeof(CmosBlankingTimeValue) == 10, "CmosBlankingTime is 10 bytes");
static_assert(sizeof(I2CWriteValue) == 26, "an I2C command is 26 bytes");
static_assert(sizeof(I2CReadValue) == 48, "an I2C answer is 48 bytes");

constexpr uint16_t kCmosCount = 2;

class DeviceSettings : public ModuleSettings {
 public:
  DeviceSettings();

  // "PrimaryStream" accepts "Any", "None", the four stream types, and any
  // name this predicate accepts (the device passes its stream names).
  void SetStreamNameCheck(std::function<bool(const char*)> isStreamName);

  std::string PrimaryStream() const;
  bool Mirror() const;
  bool FrameSync() const;
  uint64_t FrameDelay() const;  // microseconds
  bool HighResTimestamps() const;

 protected:
  KrStatus StoreByRule(const PropertyRow& row, const StoredValue& in) override;
  KrStatus ReadByRule(const PropertyRow& row, const KrGeneralBuffer* request, StoredValue* out) const override;

 private:
  std::function<bool(const char*)> isStreamName_;
};

}  // namespace sensor
}  // namespace tollan
