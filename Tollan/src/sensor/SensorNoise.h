// The simulated sensor's noise: what turns the clean room of SceneRenderer
// into frames that look like a real structured-light camera's.
//
// Depth (a reported depth per pixel, shadow and no-sample marks untouched):
//   - measurement noise in the shift domain: each pixel's shift moves by a
//     small random amount (about 0.55 shift steps, standard deviation) before
//     it is turned back into depth through S2D, so the noise in mm grows
//     with the square of the distance, as the sensor's own quantisation
//     does (about 1.6 mm at 1 m, 25 mm at 4 m with the factory calibration),
//     and every value stays one the sensor can report;
//   - flying pixels: next to a depth edge, some pixels take a depth between
//     the two surfaces;
//   - no-sample speckle, more of it far away, and dropout patches (blobs of
//     no-sample pixels that come and go every half second or so);
//   - temporal noise: all of the above is drawn anew for every frame.
// Colour and infra-red: per-pixel, per-channel noise that is stronger on
// brighter pixels (shot noise) with a floor (read noise).
//
// Everything is a pure function of (seed, frame id, row, full-frame column),
// drawn over the full, unmirrored row, so mirroring and cropping keep their
// exact relations to the unmirrored, uncropped frame.
//
// Plain functions; safe from any thread.
#pragma once

#include "DepthTables.h"

#include <cstdint>

namespace tollan {
namespace sensor {

// Whether frames carry noise, and the seed that makes it reproducible.
struct NoiseParams {
  bool enabled = false;
  uint64_t seed = 0;
  bool operator==(const NoiseParams& o) const { return enabled == o.enabled && seed == o.seed; }
};

// Adds depth noise to row v (w pixels) of frame frameId. row holds reported
// depths or the shadow / no-sample marks; scratch has room for w values.
void AddDepthNoise(const NoiseParams& noise, const DepthTables& tables, uint16_t shadow, uint16_t noSample,
                   uint32_t frameId, int v, int w, uint16_t* row, uint16_t* scratch);

// Adds colour noise to row v of RGB bytes (w pixels).
void AddColourNoise(const NoiseParams& noise, uint32_t frameId, int v, int w, uint8_t* rgb);

// Adds noise to row v of infra-red levels (0..1023, w pixels).
void AddIrNoise(const NoiseParams& noise, uint32_t frameId, int v, int w, uint16_t* levels);

}  // namespace sensor
}  // namespace tollan
