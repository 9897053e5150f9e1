// Orvane time: sleeping and a monotonic microsecond clock.
#include <Orvane/OrvaneOS.h>

#include <chrono>
#include <thread>

extern "C" {

void krOSSleep(uint32_t milliseconds) { std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds)); }

uint64_t krOSGetTimeMicroseconds(void) {
  // steady_clock: wall-clock adjustments must not bend measured intervals.
  auto sinceStart = std::chrono::steady_clock::now().time_since_epoch();
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(sinceStart).count());
}

}  // extern "C"
