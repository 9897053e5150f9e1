// Kestrane's file functions: special handling of one file of the update,
// selected by the "Function" key of its INI section. Each takes the file's
// name buffer (kNameSize bytes), may replace the name in it, and returns 0
// or 65537; a failure of the sensor or the file system inside ends the
// program. Single-threaded, like the whole tool.
#pragma once

#include "Utils.h"

namespace kestrane {

// Writes the sensor's serial number, device name and vendor data into a copy
// of the 302-byte identity file; on success name holds the copy's temporary path.
KrStatus UpgradeSensorID1(char* name);
// Replaces name with "../DB/<serial>/<name>"; 0 when that file exists.
KrStatus UpgradeFromDB(char* name);

}  // namespace kestrane
