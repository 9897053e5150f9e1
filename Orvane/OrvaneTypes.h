// Basic types shared by Orvane, Tollan and Ovalith.
//
// KrStatus is the one way every layer reports an outcome: 0 is success; any
// other value carries a group number in its high 16 bits and a code within
// the group in its low 16 bits. Plain data only; safe from any thread.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint32_t KrStatus;

#define KR_STATUS_OK ((KrStatus)0)

// Builds a status from its group and code.
#define KR_MAKE_STATUS(group, code) ((KrStatus)(((uint32_t)(group) << 16) | ((uint32_t)(code)&0xFFFFu)))
#define KR_STATUS_GROUP(status) ((uint32_t)(status) >> 16)
#define KR_STATUS_CODE(status) ((uint32_t)(status)&0xFFFFu)

// Orvane's own statuses (groups 1 and 2).
#define KR_STATUS_OS_ERROR ((KrStatus)0x10001)              // generic failure
#define KR_STATUS_OS_INVALID_FILE ((KrStatus)0x10002)       // file missing or unreadable
#define KR_STATUS_OS_FILE_WRITE_FAILED ((KrStatus)0x10003)  // file could not be written
#define KR_STATUS_OS_NULL_POINTER ((KrStatus)0x10004)       // null pointer where an object was required
#define KR_STATUS_OS_FILE_SEEK_FAILED ((KrStatus)0x10005)   // position in a file could not be set
#define KR_STATUS_OS_BAD_ARGUMENT ((KrStatus)0x10006)       // argument out of its range
#define KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW ((KrStatus)0x10007)  // output array or text too small
#define KR_STATUS_OS_EVENT_FAILED ((KrStatus)0x10008)       // a thread or event primitive failed
#define KR_STATUS_OS_FILE_DELETE_FAILED ((KrStatus)0x10009) // file could not be deleted
#define KR_STATUS_OS_NOT_FOUND ((KrStatus)0x1000A)          // requested entry not found
#define KR_STATUS_OS_INI_READ_FAILED ((KrStatus)0x1000B)    // INI file or section missing
#define KR_STATUS_OS_INI_SECTION_NOT_FOUND ((KrStatus)0x1000C)  // INI section missing
#define KR_STATUS_OS_KEY_NOT_FOUND ((KrStatus)0x1000D)      // key not found (hashes, INI keys)
#define KR_STATUS_OS_BAD_NUMBER ((KrStatus)0x10015)         // text is not a whole decimal number
#define KR_STATUS_OS_ALLOC_FAILED ((KrStatus)0x20001)       // memory allocation failed
