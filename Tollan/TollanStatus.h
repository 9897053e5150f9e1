// Statuses of the Tollan device kit (group 3). They are registered with
// Orvane's status registry, with names and messages, when the kit library is
// loaded, so krGetStatusString renders each of them.
#pragma once

#include <Orvane/OrvaneTypes.h>

// Legacy format conversions.
#define KR_STATUS_TL_BAD_DEPTH_FORMAT ((KrStatus)0x303EB)
#define KR_STATUS_TL_BAD_IMAGE_FORMAT ((KrStatus)0x303EC)
#define KR_STATUS_TL_BAD_AUDIO_FORMAT ((KrStatus)0x303EE)

// Kit lifecycle and devices.
#define KR_STATUS_TL_NOT_INITIALIZED ((KrStatus)0x307D1)
#define KR_STATUS_TL_ALREADY_INITIALIZED ((KrStatus)0x307D2)
#define KR_STATUS_TL_BAD_HANDLE ((KrStatus)0x307D3)
#define KR_STATUS_TL_UNKNOWN_DEVICE_KIND ((KrStatus)0x307D4)
#define KR_STATUS_TL_DEVICE_NOT_FOUND ((KrStatus)0x307D5)
#define KR_STATUS_TL_DEVICE_DISCONNECTED ((KrStatus)0x307D6)
#define KR_STATUS_TL_DEVICE_BUSY ((KrStatus)0x307D7)
#define KR_STATUS_TL_CONFIG_FAILED ((KrStatus)0x307D8)

// Streams.
#define KR_STATUS_TL_BAD_PRIMARY_STREAM ((KrStatus)0x307F2)
#define KR_STATUS_TL_STREAM_NOT_FOUND ((KrStatus)0x307F3)
#define KR_STATUS_TL_STREAM_ALREADY_EXISTS ((KrStatus)0x307F4)
#define KR_STATUS_TL_STREAM_NOT_OPEN ((KrStatus)0x307F5)
#define KR_STATUS_TL_UNSUPPORTED_STREAM_TYPE ((KrStatus)0x307F6)
#define KR_STATUS_TL_STREAM_IS_OPEN ((KrStatus)0x307F7)
#define KR_STATUS_TL_TIMEOUT ((KrStatus)0x307F8)

// Properties and modules.
#define KR_STATUS_TL_UNKNOWN_PARAMETER ((KrStatus)0x30802)
#define KR_STATUS_TL_BAD_PROPERTY_TYPE ((KrStatus)0x30803)
#define KR_STATUS_TL_BAD_PROPERTY_SIZE ((KrStatus)0x30804)
#define KR_STATUS_TL_PROPERTY_READ_ONLY ((KrStatus)0x30805)
#define KR_STATUS_TL_BAD_PROPERTY_VALUE ((KrStatus)0x30806)
#define KR_STATUS_TL_PROPERTY_NOT_FOUND ((KrStatus)0x3080B)
#define KR_STATUS_TL_MODULE_NOT_FOUND ((KrStatus)0x30814)
#define KR_STATUS_TL_MODULE_ALREADY_EXISTS ((KrStatus)0x30815)
#define KR_STATUS_TL_PROPERTY_ALREADY_EXISTS ((KrStatus)0x30816)
#define KR_STATUS_TL_BAD_REGISTRATION ((KrStatus)0x30817)

// Operations a device kind or mode does not offer.
#define KR_STATUS_TL_NOT_SUPPORTED ((KrStatus)0x30820)
#define KR_STATUS_TL_WRONG_MODE ((KrStatus)0x30821)

// Recordings.
#define KR_STATUS_TL_END_OF_FILE ((KrStatus)0x30828)
#define KR_STATUS_TL_FILE_CORRUPT ((KrStatus)0x30829)
#define KR_STATUS_TL_NOT_A_RECORDING ((KrStatus)0x3082A)
#define KR_STATUS_TL_FILE_VERSION_UNSUPPORTED ((KrStatus)0x3082B)
#define KR_STATUS_TL_FILE_WRITE_FAILED ((KrStatus)0x3082C)
#define KR_STATUS_TL_FILE_OPEN_FAILED ((KrStatus)0x3082D)
#define KR_STATUS_TL_FRAME_NOT_FOUND ((KrStatus)0x3082E)

// The simulated sensor's flash.
#define KR_STATUS_TL_FLASH_FILE_NOT_FOUND ((KrStatus)0x30832)
#define KR_STATUS_TL_FLASH_FILE_READ_ONLY ((KrStatus)0x30833)
#define KR_STATUS_TL_FLASH_OVERLAP ((KrStatus)0x30834)
#define KR_STATUS_TL_FLASH_FULL ((KrStatus)0x30835)
// The kit's configuration (Tollan.ini, a device section) breaks a rule: a
// value out of range, flash files that overlap or pass the end of the flash,
// a kit folder that does not exist. The kit log names the section and key.
#define KR_STATUS_TL_BAD_CONFIGURATION ((KrStatus)0x30837)
// The sensor's flash state file cannot be read back exactly as it was saved.
#define KR_STATUS_TL_FLASH_STATE_DAMAGED ((KrStatus)0x30838)

#define KR_STATUS_TL_BAD_STREAM_FLAGS ((KrStatus)0x3083E)

// Default status of a failure injected by the scripted test support.
#define KR_STATUS_TL_INJECTED_FAILURE ((KrStatus)0x30850)
