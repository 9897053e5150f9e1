// KrVFrameAligner: brings the depth frame and the colour image of two
// cameras into one grid, for any pair of modes.
//
// - AlignDepthToImage: the depth map in the image's grid. Each depth pixel
//   becomes a point (the translator's model), moves into the colour camera
//   and covers the image pixels of its footprint; the nearest surface wins
//   (a z-buffer), and image pixels no depth pixel reaches hold the
//   no-sample value. Values are depths along the colour camera's axis in
//   mm. This is the arithmetic of the sensor's own registration ("Depth"
//   "Registration" 1), so where both apply (image and depth of the same
//   resolution) the two agree to the bit.
// - FindImagePixels: for each depth pixel, the image pixel that shows it:
//   its point's projection rounded to the nearest pixel, or -1 when it has
//   no depth, falls outside the image, or is hidden there by a surface more
//   than 5 % nearer (the colour camera sees past the depth camera's edges).
//   Where the image is finer than the depth, hiding is judged on the
//   image's grid scaled down to the depth camera's focal lengths, the
//   finest the depth's own sampling can tell apart.
// - AlignImageToDepth: the image in the depth grid, each depth pixel taking
//   the bytes of the pixel FindImagePixels gives it (zeros where none).
//
// Pixels holding the no-sample or the shadow value ("NoSampleValue",
// "ShadowValue" of the depth stream) are no depth: they make no point and
// take no colour. Buffers are sized by the caller and checked against the
// modes set here (too small: KR_STATUS_QM_BAD_PARAMETER; null: 0x10004).
// See docs/camera-geometry.md.
//
// A plain value holding the two cameras and the motion between them; the
// alignments are const and may run on several threads at once (each call
// uses its own scratch), Init and SetThreads need the caller's exclusion.
// With SetThreads(2) the depth-to-image mapping of each call is shared
// with one helper thread that the call starts and joins; the results are
// the same bytes as with one.
#pragma once

#include <Orvane/OrvaneTypes.h>
#include <Ovalith/Infrastructure/KrVStatus.h>
#include <Ovalith/geometry/KrVCameraParameters.h>

#include <cstddef>

class KrVStreamContainer;

class KrVFrameAligner {
 public:
  KrVFrameAligner();

  // The two cameras and the motion from the depth camera to the colour
  // camera; sizes of 0 or focal lengths that are not positive:
  // KR_STATUS_QM_BAD_PARAMETER.
  KrStatus Init(const KrVCameraIntrinsics& depth, const KrVCameraIntrinsics& image,
                const KrVCameraExtrinsics& depthToImage);
  // The same from a device's streams as they are now.
  KrStatus Init(KrVStreamContainer& device, const char* depthStream = "Depth", const char* imageStream = "Image");

  // out: image width * height values.
  KrStatus AlignDepthToImage(const unsigned short* depth, size_t depthCount, unsigned short noSampleValue,
                             unsigned short shadowValue, unsigned short* out, size_t outCount) const;
  // pixels: depth width * height indices (row * image width + column, or -1).
  KrStatus FindImagePixels(const unsigned short* depth, size_t depthCount, unsigned short noSampleValue,
                           unsigned short shadowValue, int* pixels, size_t pixelCount) const;
  // image: image width * height pixels of bytesPerPixel bytes; out: depth
  // width * height pixels of the same size.
  KrStatus AlignImageToDepth(const unsigned short* depth, size_t depthCount, unsigned short noSampleValue,
                             unsigned short shadowValue, const unsigned char* image, size_t imageBytes,
                             unsigned int bytesPerPixel, unsigned char* out, size_t outBytes) const;

  // How many threads each call's depth-to-image mapping uses: 1 (the
  // default: the calling thread alone) or 2.
  void SetThreads(unsigned int threads);
  unsigned int GetThreads() const { return threads_; }

  const KrVCameraIntrinsics& GetDepthIntrinsics() const { return depth_; }
  const KrVCameraIntrinsics& GetImageIntrinsics() const { return image_; }
  const KrVCameraExtrinsics& GetExtrinsics() const { return motion_; }

 private:
  KrStatus CheckDepth(const unsigned short* depth, size_t depthCount) const;

  KrVCameraIntrinsics depth_;
  KrVCameraIntrinsics image_;
  KrVCameraExtrinsics motion_;  // depth camera to colour camera
  bool ready_;                  // Init succeeded
  unsigned int threads_;        // 1 or 2 (SetThreads)
};
