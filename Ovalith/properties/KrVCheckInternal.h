// Private helpers shared by the engine's sources; not installed.
#pragma once

#include <Orvane/OrvaneTypes.h>

// Evaluates a KrStatus expression once and returns it from the calling
// function when it is a failure.
#define KRV_RETURN_IF_FAILED(expression)      \
  do {                                        \
    const KrStatus krvStatus_ = (expression); \
    if (krvStatus_ != KR_STATUS_OK) {         \
      return krvStatus_;                      \
    }                                         \
  } while (0)
