// KrVCameraIntrinsics and KrVCameraExtrinsics: the pinhole model of a pixel
// stream's frames and the rigid motion from the depth camera to the colour
// camera, read from a device's stream properties at the moment of the call.
//
// Intrinsics follow the real-world translator's model, so that a pixel
// (u, v) of depth z is the point ((u - cx) z / fx, (v - cy) z / fy, z) that
// KrVRealWorldTranslator::Projective2RW gives, and a point (X, Y, Z) lies
// at u = fx X / Z + cx, v = fy Y / Z + cy (OpenCV's and Open3D's K). From
// the stream's "ZPD", "ZPPS", "XRes", "YRes" and "Cropping":
//   fx = fy = ZPD / (ZPPS * (1280 / XRes)), 1280 / XRes an integer quotient;
//   cx = XRes / 2 - cropping X offset, cy = YRes / 2 - cropping Y offset
//   (integer halves); width and height those of the delivered frame.
// The distortion model is named: "none" (the frames are distortion-free),
// with its coefficients 0. Mirrored frames are not described: their
// columns run the other way (u' = width - 1 - u).
//
// Extrinsics map a point of the depth stream's camera to the colour
// camera's, X_image = R X_depth + t (R row-major, t in mm), from the depth
// stream's "ExtrinsicsToImage". Registered depth is already in the colour
// camera's view: its extrinsics are the identity, and its intrinsics are
// the colour camera's at the depth resolution.
//
// Streams of a recording made before the sensor had two cameras carry
// neither the image's "ZPD"/"ZPPS" nor "ExtrinsicsToImage": then the image
// has the depth camera's calibration and the motion is the identity (those
// recordings came from a single viewpoint).
//
// Nothing is cached: read them again after a mode change (the values follow
// the properties, never a copy). Plain values; FromStream calls the device
// and so follows the device's threading rule.
#pragma once

#include <Orvane/OrvaneTypes.h>
#include <Ovalith/Infrastructure/KrVStatus.h>

class KrVStreamContainer;

class KrVCameraIntrinsics {
 public:
  KrVCameraIntrinsics();

  // The intrinsics of the named pixel stream's current mode. A stream that
  // is missing or has no calibration gives the device's status (for
  // example KR_STATUS_TL_PROPERTY_NOT_FOUND); a calibration that gives no
  // focal length KR_STATUS_QM_ILLEGAL_INPUT. out is changed only on success.
  static KrStatus FromStream(KrVStreamContainer& device, const char* stream, KrVCameraIntrinsics& out);
  // The model of a full frame from the translator's values.
  static KrVCameraIntrinsics FromCalibration(double zpd, double zpps, unsigned int width, unsigned int height);

  // K = [fx 0 cx; 0 fy cy; 0 0 1], row-major.
  void GetMatrix(double k[9]) const;
  const char* GetDistortionModel() const { return "none"; }

  unsigned int width;
  unsigned int height;
  double fx, fy, cx, cy;
  double distortion[5];  // k1 k2 p1 p2 k3 of the named model; all 0 for "none"
};

class KrVCameraExtrinsics {
 public:
  KrVCameraExtrinsics();  // the identity

  // From the depth (or infra-red) stream to the colour camera; see above.
  static KrStatus FromStream(KrVStreamContainer& device, const char* stream, KrVCameraExtrinsics& out);

  // out = R in + t.
  void Apply(const double in[3], double out[3]) const;
  bool IsIdentity() const;

  double rotation[9];     // row-major
  double translation[3];  // mm
};
