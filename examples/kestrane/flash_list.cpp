// flash_list: prints the firmware version and the flash file list of the
// simulated sensor *:0, as the engine's device reads them through the
// sensor's "Device" properties. Run it in the folder that holds Tollan.ini.
#include <Ovalith/Ovalith.h>
#include <Tollan/TollanFlash.h>

#include <cstdint>
#include <cstdio>

namespace {

int Fail(const char* what, KrStatus status) {
  std::fprintf(stderr, "flash_list: %s: %s\n", what, krGetStatusString(status));
  return 1;
}

}  // namespace

int main() {
  KrStatus status = KrVDevice::EngineInit(nullptr, "./");
  if (status != KR_STATUS_OK) return Fail("cannot start the engine", status);
  int result = 0;
  {
    KrVDevice device;
    KrVPropertySet initialValues;
    initialValues.AddModule("Device");
    initialValues.AddProperty("Device", "ResetSensorOnStartup", uint64_t{0});
    VersionRecord version = {};
    FileListEntry entries[100] = {};
    FileListHeader header = {entries, 100};
    char serial[200] = {};
    if ((status = device.CreateSensor("*:0", &initialValues, 0)) != KR_STATUS_OK) {
      result = Fail("cannot open sensor *:0", status);
    } else if ((status = device.GetProperty("Device", "Version", KrGeneralBuffer{&version, sizeof(version)})) !=
                   KR_STATUS_OK ||
               (status = device.GetProperty("Device", "ID", serial)) != KR_STATUS_OK ||
               (status = device.GetProperty("Device", "FileList", KrGeneralBuffer{&header, sizeof(header)})) !=
                   KR_STATUS_OK) {
      result = Fail("cannot read the flash", status);
    } else {
      std::printf("sensor %s, firmware %u.%u.%u, %u files\n", serial, version.major, version.minor, version.build,
                  header.count);
      std::printf("    id  type    offset      size     crc  attributes\n");
      for (uint16_t i = 0; i < header.count; ++i) {
        const FileListEntry& entry = entries[i];
        std::printf("  %4u  %4u  0x%06x  %8u  0x%04x  %s\n", entry.id, entry.type, entry.offset, entry.size, entry.crc,
                    (entry.attributes & 0x8000) != 0 ? "read only" : "-");
      }
    }
    device.Close();
  }
  KrVDevice::EngineShutdown();
  return result;
}
