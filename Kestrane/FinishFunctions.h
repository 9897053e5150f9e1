// Kestrane's finish functions, selected by "FinishFunction" of the "Finish"
// section and run before the final reset. Each returns 0 or 65537; a
// failing sensor operation inside ends the program. Single-threaded.
#pragma once

#include "Utils.h"

namespace kestrane {

// Runs the NESA self test when NESI wrote new parameters.
KrStatus RunBISTNESAUnlimited();

}  // namespace kestrane
