// The simulated sensor's two cameras: the depth camera (depth and infra-red
// frames) and the colour camera beside it (image frames), with the colour
// camera's own focal length, position and turn. The single-viewpoint rig
// (Tollan.ini "Cameras = one") puts the colour camera in the depth camera:
// same lens, same place, so image and depth coincide pixel for pixel.
//
// Both cameras follow the real-world translator's model: principal point at
// the frame's centre, square pixels, the focal length proportional to the
// width (docs/camera-geometry.md). A camera's focal length is given as the
// translator's "ZPD"/"ZPPS" pair: f = ZPD / (ZPPS * 1280 / width).
//
// A plain value fixed when the sensor is created; any thread.
#pragma once

#include "CameraGeometry.h"

#include <Orvane/OrvaneTypes.h>

#include <string>

namespace tollan {
namespace sensor {

struct CameraRig {
  bool twoCameras = true;
  double colourFocal = 525.0;  // colour camera's focal length at 640 pixels wide
  double baseline = 25.0;      // mm: the colour camera's centre sits this far right of the depth camera's
  double pitch = 0.0, yaw = 0.2, roll = 0.0;  // degrees: the colour camera's turn (CameraGeometry.h)

  // The depth camera's factory focal length at 640 pixels wide.
  static double DepthFocal();
  // The colour camera's "ZPD" (the depth camera's) and "ZPPS".
  static uint64_t ColourZpd();
  double ColourZpps() const;
  // The depth camera's view at width x height (factory calibration).
  geometry::PinholeCamera DepthCamera(uint32_t width, uint32_t height) const;
  // The colour camera's view at width x height.
  geometry::PinholeCamera ColourCamera(uint32_t width, uint32_t height) const;
  // Depth camera coordinates to colour camera coordinates.
  geometry::RigidMotion DepthToColour() const;
  // True when registration moves anything (two cameras).
  bool Registers() const { return twoCameras; }

  // Applies one configuration key ("Cameras", "ColourFocalLength",
  // "ColourBaseline", "ColourPitch", "ColourYaw", "ColourRoll"); *known is
  // false for other keys. A bad value: KR_STATUS_OS_BAD_NUMBER.
  KrStatus Configure(const std::string& key, const std::string& text, bool* known);
};

}  // namespace sensor
}  // namespace tollan
