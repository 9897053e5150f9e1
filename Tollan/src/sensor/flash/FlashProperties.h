// FlashProperties: the simulated sensor's flash and identity as properties of
// its "Device" module, answered by the sensor's FlashStore.
//
//   "Version"            get, general 33 bytes (VersionRecord)
//   "FirmwareMode"       get and set, integer (2 is safe mode)
//   "ID", "PhysicalDeviceName", "VendorSpecificData"   get, text
//   "FileList"           get, general FileListHeader: the caller's entry array
//                        and its capacity; the sensor fills it and sets the count
//   "FlashFile"          set: upload the local file of a FlashFileRecord at its
//                        offset; get: write flash file <id> to the record's path
//   "DeleteFile"         set, integer: a file id; 0x8000 wipes the upgrade zone
//   "FileAttributes"     set: FileAttributesRecord; get: the caller names the id
//   "FlashChunk"         get, general FlashChunkRecord: raw flash bytes
//   "Reset"              set, integer: the sensor resets and is gone until opened again
//   "BIST"               set, general BistRecord: runs the self test; the record
//                        with its result is the property's value afterwards
//
// The sensor owns one FlashProperties, opens it before its Setup and declares
// the properties from Setup (device mutex held). The hooks run with the
// device mutex held and call only the store, which has its own lock. The
// action properties (file operations, "Reset", "BIST") are left out of
// KrDeviceProxyGetAllProperties, so copying a sensor's settings never
// replays them on another device.
#pragma once

#include <Tollan/src/DeviceBase.h>
#include "FlashStore.h"

#include <atomic>
#include <memory>

namespace tollan::sensor {

class FlashProperties {
 public:
  // Reads the flash keys of the section "SensorV2.<index>" of the kit's
  // configuration (relative paths from the configuration's folder) and
  // attaches the sensor's store, loading its state file.
  KrStatus Open(const KitConfig& kit, uint32_t sensorIndex);
  // Declares the properties on "Device" (locked).
  void Declare(DeviceBase& device);
  // True once "Reset" was set: every flash property then answers
  // KR_STATUS_TL_DEVICE_DISCONNECTED, and so should the rest of the sensor.
  bool Gone() const { return gone_; }
  FlashStore* Store() const { return store_.get(); }

 private:
  // The fault configured for this call, or disconnected after a reset.
  KrStatus Enter(const char* direction, const char* property);

  std::shared_ptr<FlashStore> store_;
  std::atomic<bool> gone_{false};
};

}  // namespace tollan::sensor
