// Starts the engine, lists the sensors the kit offers, and stops again.
#include <Ovalith/Ovalith.h>

#include <cstdio>

int main() {
  KrStatus status = KrVDevice::EngineInit(nullptr, ".");
  if (status != KR_STATUS_OK) {
    std::fprintf(stderr, "EngineInit: %s\n", krGetStatusString(status));
    return 1;
  }
  KrVDevice device;
  char sensors[8][200];
  uint32_t count = 8;
  status = device.Enumerate(sensors, &count);
  if (status == KR_STATUS_OK) {
    for (uint32_t i = 0; i < count; ++i) {
      std::printf("sensor: %s\n", sensors[i]);
    }
  }
  KrVDevice::EngineShutdown();
  return status == KR_STATUS_OK ? 0 : 1;
}
