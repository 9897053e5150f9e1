#include "KrVFrameAligner.h"

#include "../properties/KrVCheckInternal.h"

#include <Tollan/src/sensor/CameraGeometry.h>

#include <cmath>
#include <cstring>
#include <vector>

#if defined(__x86_64__) && defined(__GNUC__)
#define KRV_ALIGNER_AVX2 1
#include <immintrin.h>
#if defined(__clang__)
#pragma STDC FP_CONTRACT OFF
#endif
#endif

namespace {

#if defined(KRV_ALIGNER_AVX2)
// The AVX2 row projection: ProjectRow of CameraGeometry.h four pixels at a
// time, the same IEEE operations in the same order (no fused multiply-add:
// the target is "avx2" alone), so the footprints, and so the aligned frame,
// are bit for bit the sensor's own registration.

// CeilInt of four doubles (|x| < 2^31): truncate, then add one where that
// went below x.
__attribute__((target("avx2"))) inline __m128i CeilInt4(__m256d x) {
  const __m128i truncated = _mm256_cvttpd_epi32(x);
  const __m256i below = _mm256_castpd_si256(_mm256_cmp_pd(_mm256_cvtepi32_pd(truncated), x, _CMP_LT_OQ));
  // The 64-bit lane masks as four 32-bit ones (-1 or 0).
  const __m128i mask =
      _mm256_castsi256_si128(_mm256_permutevar8x32_epi32(below, _mm256_setr_epi32(0, 2, 4, 6, 1, 3, 5, 7)));
  return _mm_sub_epi32(truncated, mask);
}

__attribute__((target("avx2"))) void ProjectRowAvx2(const tollan::geometry::DepthMapping& m, const double base[3],
                                                    const uint16_t* row, uint32_t first, uint32_t last,
                                                    uint16_t noSample, uint16_t shadow,
                                                    tollan::geometry::RowFootprints* f) {
  const __m256d b0 = _mm256_set1_pd(base[0]), b1 = _mm256_set1_pd(base[1]), b2 = _mm256_set1_pd(base[2]);
  const __m256d c0 = _mm256_set1_pd(m.colStep[0]), c1 = _mm256_set1_pd(m.colStep[1]), c2 = _mm256_set1_pd(m.colStep[2]);
  const __m256d t0 = _mm256_set1_pd(m.motion.t[0]), t1 = _mm256_set1_pd(m.motion.t[1]), t2 = _mm256_set1_pd(m.motion.t[2]);
  const __m256d fx = _mm256_set1_pd(m.to.fx), fy = _mm256_set1_pd(m.to.fy);
  const __m256d cx = _mm256_set1_pd(m.to.cx), cy = _mm256_set1_pd(m.to.cy);
  const __m256d footX = _mm256_set1_pd(m.footX), footY = _mm256_set1_pd(m.footY);
  const __m256d half = _mm256_set1_pd(0.5), top = _mm256_set1_pd(65535.5), one = _mm256_set1_pd(1.0);
  const __m256d far = _mm256_set1_pd(tollan::geometry::kFar), nearFar = _mm256_set1_pd(-tollan::geometry::kFar);
  const __m256d none = _mm256_set1_pd(noSample), shade = _mm256_set1_pd(shadow);
  const __m256d four = _mm256_set1_pd(4.0);
  uint32_t i = first;
  __m256d di = _mm256_setr_pd(i, i + 1.0, i + 2.0, i + 3.0);
  for (; i + 4 <= last; i += 4, di = _mm256_add_pd(di, four)) {
    const __m128i d32 = _mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(row + i)));
    const __m256d z = _mm256_cvtepi32_pd(d32);
    const __m256d x = _mm256_add_pd(_mm256_mul_pd(z, _mm256_add_pd(b0, _mm256_mul_pd(di, c0))), t0);
    const __m256d y = _mm256_add_pd(_mm256_mul_pd(z, _mm256_add_pd(b1, _mm256_mul_pd(di, c1))), t1);
    const __m256d w = _mm256_add_pd(_mm256_mul_pd(z, _mm256_add_pd(b2, _mm256_mul_pd(di, c2))), t2);
    const __m256d front = _mm256_and_pd(_mm256_cmp_pd(w, half, _CMP_GT_OQ), _mm256_cmp_pd(w, top, _CMP_LT_OQ));
    const __m256d iw = _mm256_div_pd(one, _mm256_blendv_pd(one, w, front));
    const __m256d u = _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(fx, x), iw), cx);
    const __m256d v = _mm256_add_pd(_mm256_mul_pd(_mm256_mul_pd(fy, y), iw), cy);
    const __m256d k = _mm256_mul_pd(z, iw);
    const __m256d su = _mm256_mul_pd(footX, k), sv = _mm256_mul_pd(footY, k);
    __m256d ok = _mm256_and_pd(_mm256_cmp_pd(z, none, _CMP_NEQ_OQ), _mm256_cmp_pd(z, shade, _CMP_NEQ_OQ));
    ok = _mm256_and_pd(ok, front);
    ok = _mm256_and_pd(ok, _mm256_and_pd(_mm256_cmp_pd(u, nearFar, _CMP_GT_OQ), _mm256_cmp_pd(u, far, _CMP_LT_OQ)));
    ok = _mm256_and_pd(ok, _mm256_and_pd(_mm256_cmp_pd(v, nearFar, _CMP_GT_OQ), _mm256_cmp_pd(v, far, _CMP_LT_OQ)));
    ok = _mm256_and_pd(ok, _mm256_and_pd(_mm256_cmp_pd(su, far, _CMP_LT_OQ), _mm256_cmp_pd(sv, far, _CMP_LT_OQ)));
    // ok ? a : 0.0 is a AND the lane mask.
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&f->x0[i]), CeilInt4(_mm256_and_pd(ok, _mm256_sub_pd(u, su))));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&f->x1[i]), CeilInt4(_mm256_and_pd(ok, _mm256_add_pd(u, su))));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&f->y0[i]), CeilInt4(_mm256_and_pd(ok, _mm256_sub_pd(v, sv))));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(&f->y1[i]), CeilInt4(_mm256_and_pd(ok, _mm256_add_pd(v, sv))));
    // w + 0.5 < 65536 where ok: the truncation fits 16 bits unsigned.
    const __m128i value = _mm256_cvttpd_epi32(_mm256_and_pd(ok, _mm256_add_pd(w, half)));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(&f->value[i]), _mm_packus_epi32(value, value));
  }
  tollan::geometry::ProjectRow(m, base, row, i, last, noSample, shadow, f);
}
#endif

// The widest row projection this processor runs.
tollan::geometry::RowProjector Projector() {
#if defined(KRV_ALIGNER_AVX2)
  static const bool avx2 = __builtin_cpu_supports("avx2");
  if (avx2) return ProjectRowAvx2;
#endif
  return tollan::geometry::ProjectRow;
}

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
  tollan::geometry::MapDepthFrame(Mapping(depth_, image_, motion_), depth, noSampleValue, shadowValue, out, Projector());
  return KR_STATUS_OK;
}

KrStatus KrVFrameAligner::FindImagePixels(const unsigned short* depth, size_t depthCount, unsigned short noSampleValue,
                                          unsigned short shadowValue, int* pixels, size_t pixelCount) const {
  KRV_RETURN_IF_FAILED(CheckDepth(depth, depthCount));
  if (pixels == nullptr) return KR_STATUS_OS_NULL_POINTER;
  if (pixelCount < size_t{depth_.width} * depth_.height) return KR_STATUS_QM_BAD_PARAMETER;
  const tollan::geometry::DepthMapping mapping = Mapping(depth_, image_, motion_);
  std::vector<unsigned short> nearest(size_t{image_.width} * image_.height);
  tollan::geometry::MapDepthFrame(mapping, depth, noSampleValue, shadowValue, nearest.data(), Projector());
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
