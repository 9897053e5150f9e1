#include "KrVFrameAligner.h"

#include "../properties/KrVCheckInternal.h"

#include <Tollan/src/sensor/CameraGeometry.h>

#include <cmath>
#include <cstring>
#include <vector>

namespace {

tollan::geometry::PinholeCamera Camera(const KrVCameraIntrinsics& k) {
  tollan::geometry::PinholeCamera c;
  c.width = k.width;
  c.height = k.height;
  c.fx = k.fx;
  c.fy = k.fy;
  c.cx = k.cx;
  c.cy = k.cy;
  return c;
}

tollan::geometry::DepthMapping Mapping(const KrVCameraIntrinsics& depth, const KrVCameraIntrinsics& image,
                                       const KrVCameraExtrinsics& motion) {
  tollan::geometry::RigidMotion m;
  std::memcpy(m.r, motion.rotation, sizeof(m.r));
  std::memcpy(m.t, motion.translation, sizeof(m.t));
  tollan::geometry::DepthMapping mapping;
  mapping.Set(Camera(depth), Camera(image), m);
  return mapping;
}

bool Usable(const KrVCameraIntrinsics& k) {
  return k.width > 0 && k.height > 0 && k.width <= 0xFFFF && k.height <= 0xFFFF && k.fx > 0 && k.fy > 0 &&
         std::isfinite(k.fx) && std::isfinite(k.fy) && std::isfinite(k.cx) && std::isfinite(k.cy);
}

// A point is hidden at an image pixel whose aligned depth is this much nearer.
constexpr double kHiddenFraction = 0.95;

}  // namespace

KrVFrameAligner::KrVFrameAligner() : ready_(false) {}

KrStatus KrVFrameAligner::Init(const KrVCameraIntrinsics& depth, const KrVCameraIntrinsics& image,
                               const KrVCameraExtrinsics& depthToImage) {
  if (!Usable(depth) || !Usable(image)) return KR_STATUS_QM_BAD_PARAMETER;
  for (double v : depthToImage.rotation) {
    if (!std::isfinite(v)) return KR_STATUS_QM_BAD_PARAMETER;
  }
  for (double v : depthToImage.translation) {
    if (!std::isfinite(v)) return KR_STATUS_QM_BAD_PARAMETER;
  }
  depth_ = depth;
  image_ = image;
  motion_ = depthToImage;
  ready_ = true;
  return KR_STATUS_OK;
}

KrStatus KrVFrameAligner::Init(KrVStreamContainer& device, const char* depthStream, const char* imageStream) {
  KrVCameraIntrinsics depth, image;
  KrVCameraExtrinsics motion;
  KRV_RETURN_IF_FAILED(KrVCameraIntrinsics::FromStream(device, depthStream, depth));
  KRV_RETURN_IF_FAILED(KrVCameraIntrinsics::FromStream(device, imageStream, image));
  KRV_RETURN_IF_FAILED(KrVCameraExtrinsics::FromStream(device, depthStream, motion));
  return Init(depth, image, motion);
}

KrStatus KrVFrameAligner::CheckDepth(const unsigned short* depth, size_t depthCount) const {
  if (depth == nullptr) return KR_STATUS_OS_NULL_POINTER;
  if (!ready_ || depthCount < size_t{depth_.width} * depth_.height) return KR_STATUS_QM_BAD_PARAMETER;
  return KR_STATUS_OK;
}

KrStatus KrVFrameAligner::AlignDepthToImage(const unsigned short* depth, size_t depthCount,
                                            unsigned short noSampleValue, unsigned short shadowValue,
                                            unsigned short* out, size_t outCount) const {
  KRV_RETURN_IF_FAILED(CheckDepth(depth, depthCount));
  if (out == nullptr) return KR_STATUS_OS_NULL_POINTER;
  if (outCount < size_t{image_.width} * image_.height) return KR_STATUS_QM_BAD_PARAMETER;
  tollan::geometry::MapDepthFrame(Mapping(depth_, image_, motion_), depth, noSampleValue, shadowValue, out);
  return KR_STATUS_OK;
}

KrStatus KrVFrameAligner::FindImagePixels(const unsigned short* depth, size_t depthCount, unsigned short noSampleValue,
                                          unsigned short shadowValue, int* pixels, size_t pixelCount) const {
  KRV_RETURN_IF_FAILED(CheckDepth(depth, depthCount));
  if (pixels == nullptr) return KR_STATUS_OS_NULL_POINTER;
  if (pixelCount < size_t{depth_.width} * depth_.height) return KR_STATUS_QM_BAD_PARAMETER;
  const tollan::geometry::DepthMapping mapping = Mapping(depth_, image_, motion_);
  std::vector<unsigned short> nearest(size_t{image_.width} * image_.height);
  tollan::geometry::MapDepthFrame(mapping, depth, noSampleValue, shadowValue, nearest.data());
  const double maxU = image_.width, maxV = image_.height;
  for (unsigned int j = 0; j < depth_.height; ++j) {
    double base[3];
    mapping.RowBase(j, base);
    const size_t row = size_t{j} * depth_.width;
    for (unsigned int i = 0; i < depth_.width; ++i) {
      int& found = pixels[row + i];
      found = -1;
      const unsigned short d = depth[row + i];
      if (d == noSampleValue || d == shadowValue) continue;
      double u, v, w;
      if (!mapping.Project(base, i, d, &u, &v, &w)) continue;
      const double x = std::floor(u + 0.5), y = std::floor(v + 0.5);
      if (!(x >= 0 && x < maxU && y >= 0 && y < maxV)) continue;
      const size_t at = static_cast<size_t>(y) * image_.width + static_cast<size_t>(x);
      const unsigned short seen = nearest[at];
      if (seen != noSampleValue && seen < kHiddenFraction * w) continue;  // something nearer is in the way
      found = static_cast<int>(at);
    }
  }
  return KR_STATUS_OK;
}

KrStatus KrVFrameAligner::AlignImageToDepth(const unsigned short* depth, size_t depthCount,
                                            unsigned short noSampleValue, unsigned short shadowValue,
                                            const unsigned char* image, size_t imageBytes, unsigned int bytesPerPixel,
                                            unsigned char* out, size_t outBytes) const {
  KRV_RETURN_IF_FAILED(CheckDepth(depth, depthCount));
  if (image == nullptr || out == nullptr) return KR_STATUS_OS_NULL_POINTER;
  const size_t depthPixels = size_t{depth_.width} * depth_.height;
  if (bytesPerPixel == 0 || bytesPerPixel > 8 || imageBytes < size_t{image_.width} * image_.height * bytesPerPixel ||
      outBytes < depthPixels * bytesPerPixel) {
    return KR_STATUS_QM_BAD_PARAMETER;
  }
  std::vector<int> pixels(depthPixels);
  KRV_RETURN_IF_FAILED(FindImagePixels(depth, depthCount, noSampleValue, shadowValue, pixels.data(), pixels.size()));
  for (size_t i = 0; i < depthPixels; ++i) {
    unsigned char* to = out + i * bytesPerPixel;
    if (pixels[i] < 0) {
      std::memset(to, 0, bytesPerPixel);
    } else {
      std::memcpy(to, image + static_cast<size_t>(pixels[i]) * bytesPerPixel, bytesPerPixel);
    }
  }
  return KR_STATUS_OK;
}
