#include "SensorCameras.h"

#include "../KitInternal.h"
#include "DepthTables.h"

#include <cmath>

namespace tollan {
namespace sensor {

double CameraRig::DepthFocal() {
  const ShiftParams factory;
  return geometry::TranslatorFocal(static_cast<double>(factory.zpd), factory.zpps, 640);
}

uint64_t CameraRig::ColourZpd() { return ShiftParams().zpd; }

double CameraRig::ColourZpps() const {
  if (!twoCameras) return ShiftParams().zpps;
  return static_cast<double>(ColourZpd()) / (2.0 * colourFocal);  // F is 2 at 640 wide
}

geometry::PinholeCamera CameraRig::DepthCamera(uint32_t width, uint32_t height) const {
  const ShiftParams factory;
  return geometry::TranslatorCamera(static_cast<double>(factory.zpd), factory.zpps, width, height);
}

geometry::PinholeCamera CameraRig::ColourCamera(uint32_t width, uint32_t height) const {
  return geometry::TranslatorCamera(static_cast<double>(ColourZpd()), ColourZpps(), width, height);
}

geometry::RigidMotion CameraRig::DepthToColour() const {
  if (!twoCameras) return geometry::RigidMotion();
  double r[9];
  geometry::RotationFromAngles(pitch, yaw, roll, r);
  const double centre[3] = {baseline, 0.0, 0.0};
  return geometry::MotionToCamera(r, centre);
}

KrStatus CameraRig::Configure(const std::string& key, const std::string& text, bool* known) {
  *known = true;
  if (key == "Cameras") {
    if (text != "one" && text != "two") return KR_STATUS_OS_BAD_NUMBER;
    twoCameras = text == "two";
    return KR_STATUS_OK;
  }
  struct RealKey {
    const char* name;
    double* value;
    double min, max;
  };
  const RealKey keys[] = {
      {"ColourFocalLength", &colourFocal, 100.0, 5000.0},
      {"ColourBaseline", &baseline, -500.0, 500.0},
      {"ColourPitch", &pitch, -10.0, 10.0},
      {"ColourYaw", &yaw, -10.0, 10.0},
      {"ColourRoll", &roll, -10.0, 10.0},
  };
  for (const RealKey& k : keys) {
    if (key != k.name) continue;
    double value = 0;
    TOLLAN_TRY(ParseReal(text, &value));
    if (!(value >= k.min && value <= k.max)) return KR_STATUS_OS_BAD_NUMBER;
    *k.value = value;
    return KR_STATUS_OK;
  }
  *known = false;
  return KR_STATUS_OK;
}

}  // namespace sensor
}  // namespace tollan
