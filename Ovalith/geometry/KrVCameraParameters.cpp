#include "KrVCameraParameters.h"

#include "../properties/KrVCheckInternal.h"

#include <Ovalith/properties/KrVStreamContainer.h>
#include <Tollan/src/sensor/CameraGeometry.h>

#include <cmath>
#include <cstring>

namespace {

#pragma pack(push, 1)
struct Cropping {
  int32_t enabled;
  uint16_t xOffset, yOffset, xSize, ySize;
};
#pragma pack(pop)
static_assert(sizeof(Cropping) == 12, "the cropping record is 12 bytes");

bool Has(KrVStreamContainer& device, const char* module, const char* property) {
  int exists = 0;
  return device.DoesPropertyExist(module, property, &exists) == KR_STATUS_OK && exists != 0;
}

// "ZPD" and "ZPPS" of a stream; an image stream without them (an older
// recording) takes the depth stream's.
KrStatus Calibration(KrVStreamContainer& device, const char* stream, double* zpd, double* zpps) {
  const char* source = stream;
  if (!Has(device, stream, "ZPPS") && Has(device, stream, "XRes") && Has(device, "Depth", "ZPPS")) source = "Depth";
  uint64_t d = 0;
  KRV_RETURN_IF_FAILED(device.GetProperty(source, "ZPD", d));
  KRV_RETURN_IF_FAILED(device.GetProperty(source, "ZPPS", *zpps));
  *zpd = static_cast<double>(d);
  return KR_STATUS_OK;
}

}  // namespace

KrVCameraIntrinsics::KrVCameraIntrinsics() : width(0), height(0), fx(0), fy(0), cx(0), cy(0), distortion{} {}

KrVCameraIntrinsics KrVCameraIntrinsics::FromCalibration(double zpd, double zpps, unsigned int w, unsigned int h) {
  const tollan::geometry::PinholeCamera c = tollan::geometry::TranslatorCamera(zpd, zpps, w, h);
  KrVCameraIntrinsics k;
  k.width = w;
  k.height = h;
  k.fx = c.fx;
  k.fy = c.fy;
  k.cx = c.cx;
  k.cy = c.cy;
  return k;
}

KrStatus KrVCameraIntrinsics::FromStream(KrVStreamContainer& device, const char* stream, KrVCameraIntrinsics& out) {
  if (stream == nullptr) return KR_STATUS_OS_NULL_POINTER;
  double zpd = 0, zpps = 0;
  uint64_t xRes = 0, yRes = 0;
  KRV_RETURN_IF_FAILED(device.GetProperty(stream, "XRes", xRes));
  KRV_RETURN_IF_FAILED(device.GetProperty(stream, "YRes", yRes));
  KRV_RETURN_IF_FAILED(Calibration(device, stream, &zpd, &zpps));
  if (xRes == 0 || yRes == 0 || xRes > 0xFFFF || yRes > 0xFFFF) return KR_STATUS_QM_ILLEGAL_INPUT;
  KrVCameraIntrinsics k = FromCalibration(zpd, zpps, static_cast<unsigned int>(xRes), static_cast<unsigned int>(yRes));
  if (!(k.fx > 0) || !std::isfinite(k.fx)) return KR_STATUS_QM_ILLEGAL_INPUT;
  Cropping crop = {};
  if (Has(device, stream, "Cropping") &&
      device.GetProperty(stream, "Cropping", KrGeneralBuffer{&crop, sizeof(crop)}) == KR_STATUS_OK && crop.enabled) {
    k.width = crop.xSize;
    k.height = crop.ySize;
    k.cx -= crop.xOffset;
    k.cy -= crop.yOffset;
  }
  out = k;
  return KR_STATUS_OK;
}

void KrVCameraIntrinsics::GetMatrix(double k[9]) const {
  const double m[9] = {fx, 0, cx, 0, fy, cy, 0, 0, 1};
  std::memcpy(k, m, sizeof(m));
}

KrVCameraExtrinsics::KrVCameraExtrinsics() : rotation{1, 0, 0, 0, 1, 0, 0, 0, 1}, translation{0, 0, 0} {}

KrStatus KrVCameraExtrinsics::FromStream(KrVStreamContainer& device, const char* stream, KrVCameraExtrinsics& out) {
  if (stream == nullptr) return KR_STATUS_OS_NULL_POINTER;
  int exists = 0;
  KRV_RETURN_IF_FAILED(device.DoesModuleExist(stream, &exists));
  if (exists == 0) return KR_STATUS_QM_BAD_PARAMETER;
  KrVCameraExtrinsics e;
  if (Has(device, stream, "ExtrinsicsToImage")) {
    double values[12];
    KRV_RETURN_IF_FAILED(device.GetProperty(stream, "ExtrinsicsToImage", KrGeneralBuffer{values, sizeof(values)}));
    for (double v : values) {
      if (!std::isfinite(v)) return KR_STATUS_QM_ILLEGAL_INPUT;
    }
    std::memcpy(e.rotation, values, sizeof(e.rotation));
    std::memcpy(e.translation, values + 9, sizeof(e.translation));
  }
  out = e;
  return KR_STATUS_OK;
}

void KrVCameraExtrinsics::Apply(const double in[3], double out[3]) const {
  const double x = in[0], y = in[1], z = in[2];
  for (int i = 0; i < 3; ++i) {
    out[i] = rotation[3 * i] * x + rotation[3 * i + 1] * y + rotation[3 * i + 2] * z + translation[i];
  }
}

bool KrVCameraExtrinsics::IsIdentity() const {
  tollan::geometry::RigidMotion m;
  std::memcpy(m.r, rotation, sizeof(rotation));
  std::memcpy(m.t, translation, sizeof(translation));
  return m.IsIdentity();
}
