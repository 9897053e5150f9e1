// ovalith: the command-line tool of the engine. This first form starts the
// engine, lists the sensors the kit offers and stops the engine again.
#include <Ovalith/Ovalith.h>

#include <cstdio>
#include <cstring>

int main(int argc, char** argv) {
  const char* kitDirectory = ".";
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--kit-dir") == 0 && i + 1 < argc) {
      kitDirectory = argv[++i];
    } else if (std::strcmp(argv[i], "--help") == 0) {
      std::printf("usage: %s [--kit-dir DIR]\n  Lists the sensors the device kit offers.\n", argv[0]);
      return 0;
    }
  }
  KrStatus status = KrVDevice::EngineInit(nullptr, kitDirectory);
  if (status != KR_STATUS_OK) {
    std::fprintf(stderr, "ovalith: cannot start the engine: %s\n", krGetStatusString(status));
    return 1;
  }
  KrVDevice device;
  char connections[16][200];
  uint32_t count = 16;
  status = device.Enumerate(connections, &count);
  if (status != KR_STATUS_OK) {
    std::fprintf(stderr, "ovalith: cannot list sensors: %s\n", krGetStatusString(status));
    KrVDevice::EngineShutdown();
    return 1;
  }
  std::printf("%u sensor(s) found\n", count);
  for (uint32_t i = 0; i < count; ++i) {
    std::printf("  %s\n", connections[i]);
  }
  KrVDevice::EngineShutdown();
  return 0;
}
