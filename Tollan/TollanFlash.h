// The records a sensor exchanges through its "Device" flash properties
// ("Version", "FileList", "FlashFile", "FlashChunk", "FileAttributes",
// "BIST") and the layouts of the flash files the update tool edits, byte for
// byte as a caller lays them out in memory.
//
// Every record is packed, little-endian and without gaps. Records that carry
// an address (the "FlashFile" and "FlashChunk" values and the "FileList"
// header) hold a pointer-sized field, so their size depends on the platform;
// the others have fixed sizes. The caller owns every record and every buffer a record points
// at; the kit reads or fills them only during the property call. Plain data:
// any thread.
#pragma once

#include <cstddef>
#include <cstdint>

#pragma pack(push, 1)

// The value of "FlashChunk": the caller names offset and size and gives a
// buffer of that size; the sensor copies raw flash bytes into it (unused
// flash reads as 0xFF).
struct FlashChunkRecord {
  uint32_t offset;
  uint32_t size;
  void* data;
};

// One file of the flash as "FileList" delivers it.
struct FileListEntry {
  uint16_t id;
  uint16_t type;        // the little-endian 16-bit value in the file's first two bytes
  uint32_t reserved0;   // copied through, 0 on this sensor
  uint32_t offset;      // flash offset of the file's first byte
  uint32_t size;        // bytes
  uint16_t crc;         // checksum of the file
  uint16_t attributes;  // kFlashAttributeReadOnly and free bits
  uint16_t reserved1;   // copied through, 0 on this sensor
};

// The value of "FileList": the caller's array and, on the way in, its
// capacity in entries; on the way out the number of entries written.
struct FileListHeader {
  FileListEntry* entries;
  uint16_t count;
};

// The value of "FlashFile". Set: upload the local file at path to offset.
// Get: write the flash file with id offsetOrId into the local file at path.
struct FlashFileRecord {
  uint32_t offsetOrId;
  const char* path;
  uint16_t attributes;  // attributes of an uploaded file
};

// The value of "FileAttributes": replaces the attributes of file id.
struct FileAttributesRecord {
  uint16_t id;
  uint16_t attributes;
};

// The value of "BIST": the caller names a test, the sensor writes the result
// back into the same record (0 means passed).
struct BistRecord {
  uint32_t selector;
  uint32_t result;
};

// The value of "Version". Bytes after the build number are 0 on this sensor.
struct VersionRecord {
  uint8_t major;
  uint8_t minor;
  uint16_t build;
  uint8_t reserved[29];
};

// The NESA parameters file: byte 0 is its file type (28), then nine 8-byte
// slots of two 32-bit values each.
struct NesaParamsRecord {
  uint8_t type;
  uint8_t reserved[5];
  uint32_t slots[9][2];
};

// The sensor identity file, personalised by the update tool.
struct SensorIdentityFile {
  uint8_t header[14];
  char serialNumber[32];
  char deviceName[128];
  char vendorSpecificData[128];
};

#pragma pack(pop)

static_assert(sizeof(FileListEntry) == 22, "FileListEntry is 22 bytes");
static_assert(sizeof(FileListHeader) == sizeof(void*) + 2, "FileListHeader is a pointer and a 16-bit count");
static_assert(sizeof(FlashFileRecord) == sizeof(void*) + 6, "FlashFileRecord is offset, pointer, attributes");
static_assert(sizeof(FlashChunkRecord) == 8 + sizeof(void*), "FlashChunkRecord is offset, size, address");
static_assert(sizeof(FileAttributesRecord) == 4, "FileAttributesRecord is 4 bytes");
static_assert(sizeof(BistRecord) == 8, "BistRecord is 8 bytes");
static_assert(sizeof(VersionRecord) == 33, "VersionRecord is 33 bytes");
static_assert(sizeof(NesaParamsRecord) == 78, "NesaParamsRecord is 78 bytes");
static_assert(sizeof(SensorIdentityFile) == 302, "the sensor identity file is 302 bytes");
static_assert(offsetof(FileListEntry, offset) == 8 && offsetof(FileListEntry, crc) == 16,
              "FileListEntry field positions");
static_assert(offsetof(SensorIdentityFile, serialNumber) == 14 && offsetof(SensorIdentityFile, deviceName) == 46 &&
                  offsetof(SensorIdentityFile, vendorSpecificData) == 174,
              "SensorIdentityFile field positions");

// Bit 15 of a file's attributes: the file refuses deletion.
constexpr uint16_t kFlashAttributeReadOnly = 0x8000;
// "DeleteFile" with this value wipes the upgrade zone instead of one file.
constexpr uint64_t kFlashDeleteUpgradeZone = 0x8000;
// "BIST" selector of the NESA unlimited self test.
constexpr uint32_t kBistSelectorNesaUnlimited = 0x100;
// File types (the first two bytes of a flash file) the update tool knows.
constexpr uint16_t kFlashTypeProtection = 25;
constexpr uint16_t kFlashTypeNesaParams = 28;
constexpr uint16_t kFlashTypeSensorFault = 29;
