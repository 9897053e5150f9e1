// FlashStore: the flash file system of one simulated sensor, with the
// sensor's identity (firmware version and mode, serial number, device name,
// vendor data) and its self-test result.
//
// The flash is a table of files, each with an id (0 to 0x7FFF), a type (the little-endian
// 16-bit value in its first two bytes), an offset, a size, a 16-bit checksum,
// attributes and its bytes. Files never overlap and lie inside the flash.
// The table keeps its order: configured files first, in configuration order,
// then uploads in the order they arrived. Deleting the id 0x8000 wipes every
// file whose offset lies in the configured upgrade zone, read-only or not.
//
// The initial table and the identity come from a FlashConfig. When the
// configuration names a state file, the table is loaded from it (when it
// exists) and saved to it after every change, atomically (a temporary file
// in the same folder, then a rename), so one process sees what the last one
// left. A store is shared by every open device of its sensor in the process
// (AttachFlashStore), so a sensor reopened after a reset finds its flash.
//
// Test support: the configuration may name operations that fail with a
// chosen status, always or on their Nth call (see FlashConfig::faults).
//
// Threads: every operation locks the store; any thread may call.
#pragma once

#include <Orvane/OrvaneTypes.h>

#include "FlashRecords.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace tollan::sensor {

// One file of the flash.
struct FlashFile {
  uint16_t id = 0;
  uint16_t type = 0;
  uint32_t offset = 0;
  uint32_t size = 0;
  uint16_t crc = 0;
  uint16_t attributes = 0;
  std::vector<uint8_t> content;  // exactly size bytes
};

// What the sensor tells about itself.
struct FlashIdentity {
  uint8_t versionMajor = 5;
  uint8_t versionMinor = 8;
  uint16_t versionBuild = 22;
  uint64_t firmwareMode = 0;  // 2 is safe mode
  std::string serialNumber = "SIM0000000001";
  std::string physicalDeviceName = "SensorV2";
  std::string vendorSpecificData = "Simulated sensor";
};

// An operation made to fail on purpose: operation is "Get:<Property>" or
// "Set:<Property>" (or "<Property>" for both); call is the 1-based call that
// fails, 0 for every call.
struct FlashFault {
  std::string operation;
  uint32_t call = 0;
};

struct FlashConfig {
  FlashIdentity identity;
  uint32_t flashSize = 0x200000;
  uint32_t upgradeZoneMin = 0x100000;  // inclusive
  uint32_t upgradeZoneMax = 0x200000;  // exclusive
  uint32_t maxFiles = 100;
  bool bistAnswers = true;       // false: "BIST" leaves the caller's result field as it was
  uint32_t bistResult = 0;       // 0 is a pass
  std::vector<FlashFile> files;  // the initial table
  std::string stateFile;         // empty: the flash lives as long as the process
  std::vector<FlashFault> faults;
  KrStatus faultStatus = 0x307D6;  // KR_STATUS_TL_DEVICE_DISCONNECTED

  // The built-in sensor: a small table with a boot block, calibration, the
  // default NESA parameters and a firmware image in the upgrade zone.
  static FlashConfig Default();
};

// Looks up one configuration key; false when the key is absent.
using FlashConfigLookup = std::function<bool(const std::string& key, std::string* value)>;

// Reads a FlashConfig from configuration keys (see docs/kestrane.md), on top
// of FlashConfig::Default(). The "FlashFile<N>" keys, read for N = 1, 2, ...
// until one is absent, replace the default table. Relative paths are taken
// from baseDirectory. A bad value gives KR_STATUS_TL_CONFIG_FAILED and a
// description in *error.
KrStatus ParseFlashConfig(const FlashConfigLookup& lookup, const std::string& baseDirectory, FlashConfig* config,
                          std::string* error);

// Checksum of a file's bytes as this sensor stores it: the CRC-32 folded to
// 16 bits (high half XOR low half).
uint16_t FlashChecksum(const uint8_t* data, size_t size);

// The bytes of a configured file: its type, then a pattern of its id.
std::vector<uint8_t> SynthesizeFlashContent(uint16_t id, uint16_t type, uint32_t size);

class FlashStore {
 public:
  explicit FlashStore(FlashConfig config);
  FlashStore(const FlashStore&) = delete;
  FlashStore& operator=(const FlashStore&) = delete;

  // Takes the table from the state file when one is configured and present,
  // else from the configuration. A damaged state file (or one whose table
  // breaks the flash's rules): KR_STATUS_TL_FLASH_STATE_DAMAGED; a configured
  // table that breaks them: KR_STATUS_TL_FILE_CORRUPT.
  KrStatus Load();

  const FlashConfig& Config() const { return config_; }

  // Counts the call of an operation ("Get:FileList", "Set:Reset", ...) and
  // returns the configured fault status when this call is to fail.
  KrStatus CheckFault(const std::string& operation);

  // The table, in order.
  std::vector<FileListEntry> List() const;
  // Writes a new file at offset; its type is read from its first two bytes.
  // Fewer than 2 bytes: KR_STATUS_TL_BAD_PROPERTY_VALUE; past the end of the
  // flash or with the table full: KR_STATUS_TL_FLASH_FULL; overlapping a file:
  // KR_STATUS_TL_FLASH_OVERLAP.
  KrStatus Upload(uint32_t offset, const std::vector<uint8_t>& content, uint16_t attributes, uint16_t* id);
  KrStatus Download(uint16_t id, std::vector<uint8_t>* content) const;  // unknown id: FLASH_FILE_NOT_FOUND
  // Deletes one file (read only: FLASH_FILE_READ_ONLY), or wipes the upgrade
  // zone when id is kFlashDeleteUpgradeZone.
  KrStatus Delete(uint64_t id);
  // The raw bytes of [offset, offset + size): the files' bytes, 0xFF between
  // them. Past the end of the flash: KR_STATUS_TL_BAD_PROPERTY_VALUE.
  KrStatus ReadRaw(uint32_t offset, uint32_t size, uint8_t* out) const;
  KrStatus GetAttributes(uint16_t id, uint16_t* attributes) const;
  KrStatus SetAttributes(uint16_t id, uint16_t attributes);
  // Runs a self test. The NESA unlimited selector gives the configured
  // result; *answered is false when the sensor is configured not to answer.
  // Any other selector: KR_STATUS_TL_BAD_PROPERTY_VALUE.
  KrStatus RunBist(uint32_t selector, uint32_t* result, bool* answered);

  // The state file's contents for a table and the id of the next upload,
  // and the table and id of such contents (anything else:
  // KR_STATUS_TL_FLASH_STATE_DAMAGED).
  static std::vector<uint8_t> Serialize(const std::vector<FlashFile>& files, uint16_t nextId);
  static KrStatus Deserialize(const std::vector<uint8_t>& bytes, uint32_t flashSize, std::vector<FlashFile>* files,
                              uint16_t* nextId);

 private:
  KrStatus Validate(const std::vector<FlashFile>& files) const;
  // Saves candidate (when persistent) and, on success, makes it the table.
  KrStatus Commit(std::vector<FlashFile> candidate, uint16_t nextId);
  const FlashFile* Find(uint16_t id) const;
  KrStatus FreeId(uint16_t* id) const;

  const FlashConfig config_;
  mutable std::mutex mutex_;
  std::vector<FlashFile> files_;  // the table, in list order
  // The id of the next upload. Ids count up from one above the highest
  // configured id; past 0x7FFF they wrap to 0, and an upload takes the first
  // id from here on that no file holds. So a deleted file's id is given out
  // again only once the count has wrapped round to it (after at most 0x8000
  // uploads). The count is kept in the state file.
  uint16_t nextId_ = 0;
  std::vector<std::string> callNames_;  // operation names seen, parallel to callCounts_
  std::vector<uint32_t> callCounts_;
};

// The process-wide store of simulated sensor index, for a device that opens
// the sensor. A store made from an equal configuration is shared (and reads
// its state file again, if it has one); a different configuration replaces it.
KrStatus AttachFlashStore(uint32_t sensorIndex, const FlashConfig& config, std::shared_ptr<FlashStore>* store);
// Forgets every shared store (the kit calls it at shutdown).
void ReleaseFlashStores();

// Writes bytes to path atomically: a new file beside it, then a rename.
KrStatus WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes);
// Reads a whole file; missing or not a plain file: KR_STATUS_OS_INVALID_FILE;
// larger than limit bytes: KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW.
KrStatus ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, uint64_t limit = UINT32_MAX);

bool operator==(const FlashConfig& a, const FlashConfig& b);

}  // namespace tollan::sensor
