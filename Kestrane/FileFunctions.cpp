// Kestrane's file functions: the sensor identity file and files taken from
// the per-sensor database directory.
#include "FileFunctions.h"

#include <cstring>

namespace kestrane {
namespace {

const char kModuleName[] = "FileFunctions";
constexpr uint64_t kIdentityFileSize = sizeof(SensorIdentityFile);

// One text property of the sensor and the identity file's field it fills.
struct IdentityFieldRow {
  const char* property;
  const char* failure;
  size_t offset;
  size_t width;
};

const IdentityFieldRow kIdentityFields[] = {
    {"PhysicalDeviceName", "Couldn't get the DeviceName property", offsetof(SensorIdentityFile, deviceName),
     sizeof(SensorIdentityFile::deviceName)},
    {"VendorSpecificData", "Couldn't get the VendorSpecific property", offsetof(SensorIdentityFile, vendorSpecificData),
     sizeof(SensorIdentityFile::vendorSpecificData)},
    {"ID", "Couldn't get the SerialNumber property", offsetof(SensorIdentityFile, serialNumber),
     sizeof(SensorIdentityFile::serialNumber)},
};

}  // namespace

KrStatus UpgradeSensorID1(char* name) {
  KESTRANE_LOG(">>>>>> Running the special function UpgradeSensorID1!");
  if (LeanInit()) {
    KESTRANE_LOG("This function is skipped when writing to the factory offsets...");
    return kFailure;
  }
  uint64_t size = 0;
  KESTRANE_CHECK(krOSGetFileSize64(name, &size), "Failed to to get file size");
  if (size != kIdentityFileSize) {
    KESTRANE_LOG("The file size %llu doesn't match the expected file size %llu!", static_cast<unsigned long long>(size),
                 static_cast<unsigned long long>(kIdentityFileSize));
    return kFailure;
  }
  SensorIdentityFile file;
  KESTRANE_CHECK(krOSLoadFile(name, &file, sizeof(file)), "Failed to load the file");

  auto* bytes = reinterpret_cast<char*>(&file);
  for (const IdentityFieldRow& row : kIdentityFields) {
    char text[kTextPropertySize] = {};
    KESTRANE_CHECK(g_tool.device.GetProperty(kDeviceModule, row.property, text), row.failure);
    text[kTextPropertySize - 1] = '\0';
    CopyIntoField(bytes + row.offset, row.width, text);
  }
  // A field as wide as its text has no terminator: show it by its width.
  KESTRANE_LOG("Updated DeviceName to: %.*s", static_cast<int>(sizeof(file.deviceName)), file.deviceName);
  KESTRANE_LOG("Updated VendorSpecific to: %.*s", static_cast<int>(sizeof(file.vendorSpecificData)),
               file.vendorSpecificData);
  KESTRANE_LOG("Updated SerialNumber to: %.*s", static_cast<int>(sizeof(file.serialNumber)), file.serialNumber);

  name[0] = '\0';
  char directory[kTempDirectorySize];
  if (krOSGetTempDirectory(directory, sizeof(directory)) != KR_STATUS_OK) {
    KESTRANE_LOG("Failed to use GetTempPathA!");
    return kFailure;
  }
  if (CreateTempFile(directory, name) != KR_STATUS_OK) {
    name[0] = '\0';
    KESTRANE_LOG("Failed to use GetTempFileNameA!");
    return kFailure;
  }
  KESTRANE_LOG("Temp file name: %s", name);
  KESTRANE_CHECK(krOSSaveFile(name, &file, sizeof(file)), "Failed to save into the temp file");
  KESTRANE_LOG(">>>>>> Done! Update was successfuly handled!");
  return KR_STATUS_OK;
}

KrStatus UpgradeFromDB(char* name) {
  KESTRANE_LOG(">>>>>> Running the special function UpgradeFromDB!");
  char original[kNameSize];
  std::memcpy(original, name, kNameSize);
  original[kNameSize - 1] = '\0';
  // A cut path would name another file: refuse it rather than upload that.
  if (!FormatInto(name, kNameSize, "../DB/%s/%s", g_tool.serialNumber, original)) {
    std::memcpy(name, original, kNameSize);
    KESTRANE_FAIL("The DB file path is too long", kTooLong);
  }
  int exists = 0;
  krOSDoesFileExist(name, &exists);  // a failure leaves the answer at no
  if (exists == 1) {
    KESTRANE_LOG(">>>>>> Done! DB %s file was successfuly handled!", name);
    return KR_STATUS_OK;
  }
  KESTRANE_LOG(">>>>>> Error! DB file %s does not exists!", name);
  return kFailure;
}

}  // namespace kestrane
