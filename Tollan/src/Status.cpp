// Names and messages of the kit's statuses, registered with Orvane's status
// registry when the library is loaded.

#include <Tollan/TollanStatus.h>

#include <Orvane/OrvaneStatus.h>

#include <cstddef>

namespace {

// The code column holds the whole status; the name is the macro's own
// spelling.
#define TL_STATUS_ROW(status, message) \
  { status, #status, message }

// Sorted by code. The registry numbers a table's rows from its first code,
// so the rows are registered run by run, each run of consecutive codes as
// one table.
constexpr KrErrorCodeMessage kTollanStatusTable[] = {
    TL_STATUS_ROW(KR_STATUS_TL_BAD_DEPTH_FORMAT, "Unknown legacy depth format"),
    TL_STATUS_ROW(KR_STATUS_TL_BAD_IMAGE_FORMAT, "Unknown legacy image format"),
    TL_STATUS_ROW(KR_STATUS_TL_BAD_AUDIO_FORMAT, "Unknown legacy audio format"),

    TL_STATUS_ROW(KR_STATUS_TL_NOT_INITIALIZED, "The device kit is not initialized"),
    TL_STATUS_ROW(KR_STATUS_TL_ALREADY_INITIALIZED, "The device kit is already initialized"),
    TL_STATUS_ROW(KR_STATUS_TL_BAD_HANDLE, "Invalid device handle"),
    TL_STATUS_ROW(KR_STATUS_TL_UNKNOWN_DEVICE_KIND, "Unknown device kind"),
    TL_STATUS_ROW(KR_STATUS_TL_DEVICE_NOT_FOUND, "Device not found"),
    TL_STATUS_ROW(KR_STATUS_TL_DEVICE_DISCONNECTED, "The device is disconnected"),
    TL_STATUS_ROW(KR_STATUS_TL_DEVICE_BUSY, "The device is busy"),
    TL_STATUS_ROW(KR_STATUS_TL_CONFIG_FAILED, "The device configuration could not be applied"),

    TL_STATUS_ROW(KR_STATUS_TL_BAD_PRIMARY_STREAM, "Invalid primary stream"),
    TL_STATUS_ROW(KR_STATUS_TL_STREAM_NOT_FOUND, "Stream not found"),
    TL_STATUS_ROW(KR_STATUS_TL_STREAM_ALREADY_EXISTS, "A stream of that name already exists"),
    TL_STATUS_ROW(KR_STATUS_TL_STREAM_NOT_OPEN, "The stream is not open"),
    TL_STATUS_ROW(KR_STATUS_TL_UNSUPPORTED_STREAM_TYPE, "The device does not support this stream type"),
    TL_STATUS_ROW(KR_STATUS_TL_STREAM_IS_OPEN, "The stream is open"),
    TL_STATUS_ROW(KR_STATUS_TL_TIMEOUT, "Timed out waiting for data"),

    TL_STATUS_ROW(KR_STATUS_TL_UNKNOWN_PARAMETER, "Unknown parameter"),
    TL_STATUS_ROW(KR_STATUS_TL_BAD_PROPERTY_TYPE, "The property has another type"),
    TL_STATUS_ROW(KR_STATUS_TL_BAD_PROPERTY_SIZE, "The property value has the wrong size"),
    TL_STATUS_ROW(KR_STATUS_TL_PROPERTY_READ_ONLY, "The property is read-only"),
    TL_STATUS_ROW(KR_STATUS_TL_BAD_PROPERTY_VALUE, "The property value is out of range"),
    TL_STATUS_ROW(KR_STATUS_TL_PROPERTY_NOT_FOUND, "Property not found"),
    TL_STATUS_ROW(KR_STATUS_TL_MODULE_NOT_FOUND, "Module not found"),
    TL_STATUS_ROW(KR_STATUS_TL_MODULE_ALREADY_EXISTS, "A module of that name already exists"),
    TL_STATUS_ROW(KR_STATUS_TL_PROPERTY_ALREADY_EXISTS, "A property of that name already exists"),
    TL_STATUS_ROW(KR_STATUS_TL_BAD_REGISTRATION, "Unknown event registration"),

    TL_STATUS_ROW(KR_STATUS_TL_NOT_SUPPORTED, "The device does not support this operation"),
    TL_STATUS_ROW(KR_STATUS_TL_WRONG_MODE, "The operation does not suit the device's mode"),

    TL_STATUS_ROW(KR_STATUS_TL_END_OF_FILE, "End of the recording"),
    TL_STATUS_ROW(KR_STATUS_TL_FILE_CORRUPT, "The recording is damaged"),
    TL_STATUS_ROW(KR_STATUS_TL_NOT_A_RECORDING, "The file is not a recording"),
    TL_STATUS_ROW(KR_STATUS_TL_FILE_VERSION_UNSUPPORTED, "The recording's format version is not supported"),
    TL_STATUS_ROW(KR_STATUS_TL_FILE_WRITE_FAILED, "The recording could not be written"),
    TL_STATUS_ROW(KR_STATUS_TL_FILE_OPEN_FAILED, "The file could not be opened"),
    TL_STATUS_ROW(KR_STATUS_TL_FRAME_NOT_FOUND, "The recording has no such frame"),

    TL_STATUS_ROW(KR_STATUS_TL_FLASH_FILE_NOT_FOUND, "Flash file not found"),
    TL_STATUS_ROW(KR_STATUS_TL_FLASH_FILE_READ_ONLY, "The flash file is read-only"),
    TL_STATUS_ROW(KR_STATUS_TL_FLASH_OVERLAP, "The upload would overlap a flash file"),
    TL_STATUS_ROW(KR_STATUS_TL_FLASH_FULL, "The flash is full"),
    TL_STATUS_ROW(KR_STATUS_TL_BAD_CONFIGURATION,
                  "The kit's configuration is invalid (the kit log names the section and key)"),
    TL_STATUS_ROW(KR_STATUS_TL_FLASH_STATE_DAMAGED, "The sensor's flash state file is damaged"),

    TL_STATUS_ROW(KR_STATUS_TL_BAD_STREAM_FLAGS, "Invalid stream flags"),

    TL_STATUS_ROW(KR_STATUS_TL_INJECTED_FAILURE, "Failure injected by a test"),
};

#undef TL_STATUS_ROW

constexpr size_t kRowCount = sizeof(kTollanStatusTable) / sizeof(kTollanStatusTable[0]);

constexpr bool AllInGroupAndSorted() {
  for (size_t i = 0; i < kRowCount; ++i) {
    if (KR_STATUS_GROUP(kTollanStatusTable[i].code) != 3) {
      return false;
    }
    if (i > 0 && kTollanStatusTable[i].code <= kTollanStatusTable[i - 1].code) {
      return false;
    }
  }
  return true;
}
static_assert(AllInGroupAndSorted(), "the status table must hold group 3 codes in ascending order");

// Registers each run of consecutive codes as one table. A failed
// registration is not reported (there is no caller at load time): those
// statuses then render as their hex value.
void RegisterTollanStatuses() {
  size_t first = 0;
  while (first < kRowCount) {
    size_t end = first + 1;
    while (end < kRowCount && kTollanStatusTable[end].code == kTollanStatusTable[end - 1].code + 1) {
      ++end;
    }
    const uint32_t code = kTollanStatusTable[first].code;
    krRegisterErrorCodeMessages(static_cast<uint16_t>(KR_STATUS_GROUP(code)),
                                static_cast<uint16_t>(KR_STATUS_CODE(code)), static_cast<uint16_t>(end - first),
                                &kTollanStatusTable[first]);
    first = end;
  }
}

struct TollanStatusRegistration {
  TollanStatusRegistration() { RegisterTollanStatuses(); }
};
const TollanStatusRegistration kRegisterAtLoad;

}  // namespace
