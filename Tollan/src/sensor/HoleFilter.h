// The simulated sensor's hole filter ("HoleFilter" of "Depth"): fills small
// no-sample regions of a depth frame, as a sensor's own filter closes the
// speckle its matcher leaves, and leaves large ones (the window, dropout
// patches) empty.
//
// The rule, on the depth camera's whole frame before registration, range
// limits, mirroring and cropping:
//   - a hole is a 4-connected region of no-sample pixels; shadow pixels are
//     not holes (the emitter cannot light them, so there is nothing to guess)
//     and never count as a neighbour's depth;
//   - a hole of at most kMaxHolePixels pixels is filled; a larger one stays;
//   - a hole pixel takes the farther of the two real depths that bound its
//     run of hole pixels in its row (a hole beside an edge is background);
//     with a real depth on one side only, that one; with none in its row, the
//     farthest real depth bordering the hole. A hole with no real depth
//     around it at all (only shadow or the frame's edge) stays.
// So every filled value lies between the nearest and the farthest depth that
// borders its hole, and is one the sensor can report.
//
// Plain function with caller-owned scratch; safe from any thread.
#pragma once

#include <cstdint>
#include <vector>

namespace tollan {
namespace sensor {

// The largest hole (pixels, 4-connected) the filter fills.
constexpr int kMaxHolePixels = 64;

// Scratch reused between frames so a frame allocates nothing.
struct HoleScratch {
  std::vector<uint8_t> seen;     // w * h: pixel already in a hole looked at
  std::vector<uint32_t> region;  // the pixels of the hole being looked at
  std::vector<uint32_t> stack;
  std::vector<uint16_t> fill;  // the values for region's pixels
};

// Fills the small holes of a w x h frame of depths in place.
void FillSmallHoles(uint16_t* depth, int w, int h, uint16_t noSample, uint16_t shadow, HoleScratch* scratch);

}  // namespace sensor
}  // namespace tollan
