// Kestrane's init functions, selected by "InitFunction" of the "Init"
// section: repairs of known faults of particular firmware builds, the serial
// number check against the database directory, and the installation of
// per-sensor NESA parameters. Each returns 0 when it did its work or found
// it need not run, and 65537 when it could not do its work; a failing sensor
// or file operation inside ends the program. Single-threaded.
#pragma once

#include "Utils.h"

namespace kestrane {

KrStatus RepairFW5327ZoneB();
KrStatus RepairFW570114ZoneA();
KrStatus ReviveSensorFault();
KrStatus GetSerialVerifyDB();
KrStatus NESI();

}  // namespace kestrane
