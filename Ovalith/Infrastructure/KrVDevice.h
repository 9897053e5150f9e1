// KrVDevice: the application's handle on one device of the kit (a simulated
// or live sensor, a recording, a device described by an INI file).
//
// This first form carries the engine's process-wide entry points and the
// last-status accessor; the device operations join it as they are built.
//
// Threads: EngineInit/EngineShutdown are process-wide and are called once,
// first and last, from one thread. A device object is used from one thread
// at a time.
#pragma once

#include <Ovalith/Infrastructure/KrVStatus.h>
#include <Tollan/Tollan.h>

class KrVDevice {
 public:
  explicit KrVDevice(int compatibility = 0);
  virtual ~KrVDevice();

  // Starts the kit for the whole process; "already started" counts as
  // success. The first argument is not read.
  static KrStatus EngineInit(const char* first, const char* kitDirectory);
  // Starts the kit from a configuration file.
  static KrStatus EngineInit(const char* iniFile);
  static KrStatus EngineShutdown();

  // Lists the kit's devices: one connection string of 200 characters per
  // element; count is in-out as the kit defines it. Does not record.
  KrStatus Enumerate(char (*connectionStrings)[200], uint32_t* count);
  KrStatus GetLastStatus() const { return lastStatus; }

 protected:
  void Ctor(int compatibility);

  KrDeviceHandle deviceHandle;
  int compatibility;
  KrStatus lastStatus;  // result of the last operation that records it
};
