// Orvane status registry: names and messages for KrStatus values.
//
// Libraries register a table for their group once, usually at load time.
// Registration and lookup are safe from any thread. The strings of a table
// must outlive the process (static tables); the registry keeps pointers.
#pragma once

#include <Orvane/OrvaneTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

// One row of a registration table. Rows are numbered first code + row index;
// only the first row's code field is read.
typedef struct KrErrorCodeMessage {
  uint32_t code;
  const char* name;
  const char* message;
} KrErrorCodeMessage;

// Registers count rows for group, codes firstCode .. firstCode + count - 1.
// Registering a code again replaces its texts.
KrStatus krRegisterErrorCodeMessages(uint16_t group, uint16_t firstCode, uint16_t count,
                                     const KrErrorCodeMessage* table);
// The registered message of a status ("OK" for 0). An unregistered status
// gives "Unknown status 0xXXXXXXXX"; that text lives in a per-thread buffer
// until the thread's next call.
const char* krGetStatusString(KrStatus status);
// The registered name ("KR_STATUS_OK" for 0), or the same fallback text.
const char* krGetStatusName(KrStatus status);

#ifdef __cplusplus
}
#endif
