// The engine's process-wide entry points.
#include <Ovalith/Infrastructure/KrVDevice.h>

namespace {
// The kit reports a second start as 0x307D2; for the engine that is success.
KrStatus AcceptAlreadyStarted(KrStatus status) {
  return (status == KR_STATUS_TL_ALREADY_INITIALIZED) ? KR_STATUS_OK : status;
}
}  // namespace

KrStatus KrVDevice::EngineInit(const char* /*first*/, const char* kitDirectory) {
  return AcceptAlreadyStarted(TollanInit(kitDirectory));
}

KrStatus KrVDevice::EngineInit(const char* iniFile) { return AcceptAlreadyStarted(TollanInitFromINIFile(iniFile)); }

KrStatus KrVDevice::EngineShutdown() { return TollanShutdown(); }

KrStatus KrVDevice::Enumerate(char (*connectionStrings)[200], uint32_t* count) {
  return KrDeviceProxyEnumerate(connectionStrings, count);
}
