// The engine's fast depth-to-image mapping (vector kernels, one or two threads) against plain references: the
// kit's scalar mapping with every footprint written cell by cell (the same bytes are required), and a z-buffer in
// double precision written here from the documented camera model (nearly every pixel must agree).
#include <Ovalith/Ovalith.h>
#include <Ovalith/geometry/KrVFrameAlignerInternal.h>
#include <Tollan/src/sensor/CameraGeometry.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <initializer_list>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace {

namespace geometry = tollan::geometry;

KrVCameraIntrinsics Camera(unsigned int width, unsigned int height, double focalAt640) {
  KrVCameraIntrinsics k = KrVCameraIntrinsics::FromCalibration(120, 0.1042, width, height);
  k.fx = k.fy = focalAt640 * width / 640.0;
  k.cx = width / 2.0;
  k.cy = height / 2.0;
  return k;
}

// A colour camera 25 mm to the right, turned a little about every axis.
KrVCameraExtrinsics Rig() {
  const double a = 0.3 * 3.14159265358979 / 180, b = -0.2 * 3.14159265358979 / 180;
  KrVCameraExtrinsics e;
  const double r[9] = {std::cos(a),
                       0,
                       std::sin(a),
                       std::sin(b) * std::sin(a),
                       std::cos(b),
                       -std::sin(b) * std::cos(a),
                       -std::cos(b) * std::sin(a),
                       std::sin(b),
                       std::cos(b) * std::cos(a)};
  for (int k = 0; k < 9; ++k) e.rotation[k] = r[k];
  e.translation[0] = -25;
  e.translation[1] = 1.5;
  e.translation[2] = -2;
  return e;
}

// Depth with smooth surfaces, noise, a near block that hides what is behind it, holes, shadow, and values at and
// beside the two "no depth" values.
std::vector<uint16_t> Scene(unsigned int width, unsigned int height, uint16_t noSample, uint16_t shadow,
                            uint32_t seed) {
  std::mt19937 random(seed);
  std::uniform_int_distribution<int> noise(-6, 6), pick(0, 99);
  std::vector<uint16_t> depth(size_t{width} * height);
  for (unsigned int v = 0; v < height; ++v) {
    for (unsigned int u = 0; u < width; ++u) {
      int z = 2500 - static_cast<int>(v * 1200 / height) + noise(random);
      if (u > width / 3 && u < width / 2 && v > height / 4 && v < height / 2) z = 700 + noise(random);
      const int p = pick(random);
      uint16_t value = static_cast<uint16_t>(z);
      if (p < 4) value = noSample;
      if (p >= 4 && p < 7) value = shadow;
      if (p == 7) value = static_cast<uint16_t>(noSample + 1);
      if (p == 8) value = static_cast<uint16_t>(noSample - 1);
      if (p == 9) value = 65535;
      depth[size_t{v} * width + u] = value;
    }
  }
  return depth;
}

geometry::PinholeCamera Pinhole(const KrVCameraIntrinsics& k) {
  geometry::PinholeCamera c;
  c.width = k.width;
  c.height = k.height;
  c.fx = k.fx;
  c.fy = k.fy;
  c.cx = k.cx;
  c.cy = k.cy;
  return c;
}

// The kit's scalar projection, with every footprint written by the loop over its cells.
void ProjectForCellLoop(const geometry::FootprintTerms& m, const float rowTerms[3], const uint16_t* row, uint32_t first,
                        uint32_t last, uint16_t noSample, uint16_t shadow, geometry::RowFootprints* f) {
  geometry::ProjectRow(m, rowTerms, row, first, last, noSample, shadow, f);
  f->widest = f->tallest = std::numeric_limits<int32_t>::max();
}

std::vector<uint16_t> Plain(const KrVCameraIntrinsics& depth, const KrVCameraIntrinsics& image,
                            const KrVCameraExtrinsics& e, const std::vector<uint16_t>& frame, uint16_t noSample,
                            uint16_t shadow) {
  geometry::RigidMotion motion;
  for (int k = 0; k < 9; ++k) motion.r[k] = e.rotation[k];
  for (int k = 0; k < 3; ++k) motion.t[k] = e.translation[k];
  geometry::DepthMapping mapping;
  mapping.Set(Pinhole(depth), Pinhole(image), motion);
  std::vector<uint16_t> out(size_t{image.width} * image.height);
  geometry::MapDepthFrame(mapping, frame.data(), noSample, shadow, out.data(), ProjectForCellLoop);
  return out;
}

// Every depth pixel as a point, moved, projected and z-buffered over its footprint, in double precision.
std::vector<uint16_t> Model(const KrVCameraIntrinsics& d, const KrVCameraIntrinsics& c, const KrVCameraExtrinsics& e,
                            const std::vector<uint16_t>& frame, uint16_t noSample, uint16_t shadow) {
  std::vector<uint16_t> out(size_t{c.width} * c.height, noSample);
  for (unsigned int j = 0; j < d.height; ++j) {
    for (unsigned int i = 0; i < d.width; ++i) {
      const uint16_t z = frame[size_t{j} * d.width + i];
      if (z == noSample || z == shadow) continue;
      const double p[3] = {z * (i - d.cx) / d.fx, z * (j - d.cy) / d.fy, double(z)};
      double q[3];
      e.Apply(p, q);
      if (!(q[2] > 0.5 && q[2] < 65535.5)) continue;
      const double u = c.fx * q[0] / q[2] + c.cx, v = c.fy * q[1] / q[2] + c.cy;
      const double su = 0.5 * c.fx / d.fx * z / q[2], sv = 0.5 * c.fy / d.fy * z / q[2];
      const uint16_t value = static_cast<uint16_t>(std::floor(q[2] + 0.5));
      if (value == noSample || value == shadow) continue;
      const double top = std::max(0.0, std::ceil(v - sv)), bottom = std::min(double(c.height), std::ceil(v + sv));
      const double left = std::max(0.0, std::ceil(u - su)), right = std::min(double(c.width), std::ceil(u + su));
      for (double b = top; b < bottom; ++b) {
        for (double a = left; a < right; ++a) {
          uint16_t& cell = out[size_t(b) * c.width + size_t(a)];
          if (cell == noSample || cell > value) cell = value;
        }
      }
    }
  }
  return out;
}

struct Size {
  unsigned int width, height;
};

// One case of the sweeps below: the two cameras of its sizes, its values for no sample and shadow, and a scene.
struct SweepCase {
  Size depthSize, imageSize;
  KrVCameraIntrinsics depth, image;
  uint16_t noSample, shadow;
  std::vector<uint16_t> frame;
};

// Calls check for every pair of depth and image sizes and every no-sample and shadow pair, each case with a scene
// of its own seed (from firstSeed on), under a trace that names it.
template <typename Check>
void ForEverySweepCase(std::initializer_list<Size> depthSizes, std::initializer_list<Size> imageSizes,
                       std::initializer_list<std::pair<uint16_t, uint16_t>> values, uint32_t firstSeed,
                       const Check& check) {
  uint32_t seed = firstSeed;
  for (const Size& ds : depthSizes) {
    for (const Size& is : imageSizes) {
      for (const auto& [noSample, shadow] : values) {
        SCOPED_TRACE(std::to_string(ds.width) + "x" + std::to_string(ds.height) + " onto " + std::to_string(is.width) +
                     "x" + std::to_string(is.height) + ", no sample " + std::to_string(noSample));
        check(SweepCase{ds, is, Camera(ds.width, ds.height, 575.8), Camera(is.width, is.height, 525), noSample, shadow,
                        Scene(ds.width, ds.height, noSample, shadow, seed++)});
      }
    }
  }
}

// Every pair of depth and image sizes (the sensor's modes and odd ones), every row kernel this processor has, one
// and two threads, several no-sample and shadow values: the fast mapping gives the plain mapping's bytes and, but
// for pixels on a footprint's edge, the model's; and it writes nothing beyond the frame.
TEST(FrameAlignerKernelTest, FastMappingIsThePlainOneForEveryPairOfSizes) {
  struct Restore {
    ~Restore() { KrVUseAlignerKernel(KRV_ALIGNER_KERNEL_WIDEST); }
  } restore;
  const KrVCameraExtrinsics rig = Rig();
  ForEverySweepCase(
      {{320, 240}, {640, 480}, {37, 23}, {641, 479}, {9, 1}},
      {{320, 240}, {640, 480}, {1280, 1024}, {53, 31}, {7, 5}, {1, 1}}, {{0, 1}, {2000, 1}, {65535, 0}, {1800, 1801}},
      1, [&rig](const SweepCase& c) {
        const auto& [ds, is, depth, image, noSample, shadow, frame] = c;
        const std::vector<uint16_t> plain = Plain(depth, image, rig, frame, noSample, shadow);
        const std::vector<uint16_t> model = Model(depth, image, rig, frame, noSample, shadow);
        size_t differ = 0, covered = 0;
        for (size_t k = 0; k < plain.size(); ++k) {
          differ += plain[k] != model[k];
          covered += model[k] != noSample;
        }
        EXPECT_LE(differ, plain.size() / 500) << "of " << plain.size() << " pixels";
        if (plain.size() > 1000 && frame.size() > 1000) {
          EXPECT_GT(covered, plain.size() / 4);
        }
        for (const auto& [kernel, threads] : {std::pair{KRV_ALIGNER_KERNEL_AVX512VBMI2, 1u},
                                              {KRV_ALIGNER_KERNEL_AVX512VBMI2, 2u},
                                              {KRV_ALIGNER_KERNEL_AVX512, 1u},
                                              {KRV_ALIGNER_KERNEL_AVX2, 1u},
                                              {KRV_ALIGNER_KERNEL_PORTABLE, 1u},
                                              {KRV_ALIGNER_KERNEL_WIDEST, 2u}}) {
          SCOPED_TRACE(std::string(KrVAlignerKernelName(kernel)) + ", " + std::to_string(threads) + " threads");
          KrVUseAlignerKernel(kernel);
          KrVFrameAligner aligner;
          ASSERT_EQ(aligner.Init(depth, image, rig), KR_STATUS_OK);
          aligner.SetThreads(threads);
          // The frame between two guard bands that must keep their values.
          const size_t guard = 64, count = size_t{is.width} * is.height;
          std::vector<uint16_t> out(count + 2 * guard, 0x5A5A);
          ASSERT_EQ(aligner.AlignDepthToImage(frame.data(), frame.size(), noSample, shadow, out.data() + guard, count),
                    KR_STATUS_OK);
          EXPECT_TRUE(std::equal(plain.begin(), plain.end(), out.begin() + guard));
          EXPECT_TRUE(std::all_of(out.begin(), out.begin() + guard, [](uint16_t x) { return x == 0x5A5A; }));
          EXPECT_TRUE(std::all_of(out.end() - guard, out.end(), [](uint16_t x) { return x == 0x5A5A; }));
        }
      });
}

// The sensor's own rig (the colour camera beside the depth camera, not turned), where nearly every sixteen pixels
// land on cells that follow one another, over a frame of surfaces at several depths (occlusion edges: runs of cells
// that overlap or leave gaps), holes and a strip of shadow, with and without the frame's edges outside the image,
// written into grids at several alignments of their first cell:
// every kernel and one or two threads give the plain mapping's bytes, and nothing outside the frame changes.
TEST(FrameAlignerKernelTest, FastMappingIsThePlainOneBesideTheCamera) {
  struct Restore {
    ~Restore() { KrVUseAlignerKernel(KRV_ALIGNER_KERNEL_WIDEST); }
  } restore;
  // Depth and image sizes, and the depth camera's focal length at 640 pixels (the image's is 525): at 525 the two
  // see the same angle, so that the edges of the depth frame land outside the image.
  struct Case {
    Size depth, image;
    double depthFocal;
  };
  const Case cases[] = {{{640, 480}, {640, 480}, 575.8},   {{640, 480}, {640, 480}, 525},
                        {{320, 240}, {1280, 1024}, 575.8}, {{1280, 1024}, {320, 240}, 575.8},
                        {{641, 479}, {643, 481}, 525},     {{100, 60}, {97, 61}, 575.8}};
  KrVCameraExtrinsics beside;
  beside.translation[0] = -25;
  for (const auto& [ds, is, focal] : cases) {
    const KrVCameraIntrinsics depth = Camera(ds.width, ds.height, focal), image = Camera(is.width, is.height, 525);
    // A wall at 3 m, a floor, a ball at 1.5 m, a near box at 0.6 m, holes and shadow.
    std::vector<uint16_t> frame(size_t{ds.width} * ds.height);
    std::mt19937 random(7);
    std::uniform_int_distribution<int> pick(0, 199);
    for (unsigned int v = 0; v < ds.height; ++v) {
      for (unsigned int u = 0; u < ds.width; ++u) {
        const double x = double(u) / ds.width, y = double(v) / ds.height;
        double z = y > 0.6 ? 3000 - (y - 0.6) * 4000 : 3000;
        const double dx = x - 0.6, dy = y - 0.4;
        if (dx * dx + dy * dy < 0.02) z = 1500 - 1000 * (0.02 - dx * dx - dy * dy);
        if (x > 0.2 && x < 0.35 && y > 0.5 && y < 0.8) z = 600 + 50 * x;
        uint16_t value = static_cast<uint16_t>(z);
        if (x > 0.12 && x < 0.14) value = 1;  // shadow
        if (pick(random) == 0) value = 0;     // holes
        frame[size_t{v} * ds.width + u] = value;
      }
    }
    const std::vector<uint16_t> plain = Plain(depth, image, beside, frame, 0, 1);
    for (const auto& [kernel, threads] : {std::pair{KRV_ALIGNER_KERNEL_AVX512VBMI2, 1u},
                                          {KRV_ALIGNER_KERNEL_AVX512VBMI2, 2u},
                                          {KRV_ALIGNER_KERNEL_AVX512, 1u},
                                          {KRV_ALIGNER_KERNEL_AVX2, 2u},
                                          {KRV_ALIGNER_KERNEL_PORTABLE, 1u}}) {
      KrVUseAlignerKernel(kernel);
      KrVFrameAligner aligner;
      ASSERT_EQ(aligner.Init(depth, image, beside), KR_STATUS_OK);
      aligner.SetThreads(threads);
      for (size_t shift = 0; shift < 32; shift += 5) {
        SCOPED_TRACE(std::to_string(ds.width) + "x" + std::to_string(ds.height) + " onto " + std::to_string(is.width) +
                     "x" + std::to_string(is.height) + ", " + KrVAlignerKernelName(kernel) + ", " +
                     std::to_string(threads) + " threads, frame at cell " + std::to_string(shift));
        const size_t count = size_t{is.width} * is.height, guard = 64;
        std::vector<uint16_t> out(count + 2 * guard + shift, 0x5A5A);
        uint16_t* const at = out.data() + guard + shift;
        ASSERT_EQ(aligner.AlignDepthToImage(frame.data(), frame.size(), 0, 1, at, count), KR_STATUS_OK);
        EXPECT_TRUE(std::equal(plain.begin(), plain.end(), at));
        EXPECT_TRUE(std::all_of(out.begin(), out.begin() + guard + shift, [](uint16_t x) { return x == 0x5A5A; }));
        EXPECT_TRUE(std::all_of(at + count, out.data() + out.size(), [](uint16_t x) { return x == 0x5A5A; }));
      }
    }
  }
}

// Where a depth pixel's point shows in the image, from the documented camera model in double precision: the
// nearest pixel's index, or -1 outside the image.
int ModelPixel(const KrVCameraIntrinsics& d, const KrVCameraIntrinsics& c, const KrVCameraExtrinsics& e, unsigned int i,
               unsigned int j, uint16_t z, double* depthThere) {
  const double p[3] = {z * (i - d.cx) / d.fx, z * (j - d.cy) / d.fy, double(z)};
  double q[3];
  e.Apply(p, q);
  *depthThere = q[2];
  if (!(q[2] > 0)) return -1;
  const double u = std::floor(c.fx * q[0] / q[2] + c.cx + 0.5), v = std::floor(c.fy * q[1] / q[2] + c.cy + 0.5);
  if (u < 0 || v < 0 || u >= c.width || v >= c.height) return -1;
  return static_cast<int>(v * c.width + u);
}

// The image pixel of each depth pixel: every kernel gives the same pixels, writing nothing beyond its output, for
// every pair of sizes (depth finer and coarser than the image) and several no-sample and shadow values; a pixel
// found is the one the camera model projects the point to, and none is found for a pixel without depth.
TEST(FrameAlignerKernelTest, ImagePixelsAreTheSameWithEveryKernelAndTheModelsProjection) {
  struct Restore {
    ~Restore() { KrVUseAlignerKernel(KRV_ALIGNER_KERNEL_WIDEST); }
  } restore;
  const KrVCameraExtrinsics rig = Rig();
  ForEverySweepCase(
      {{320, 240}, {160, 120}, {641, 479}, {37, 23}, {9, 1}}, {{640, 480}, {1280, 1024}, {53, 31}, {1, 1}},
      {{0, 1}, {65535, 0}, {1800, 1801}}, 100, [&rig](const SweepCase& c) {
        const auto& [ds, is, depth, image, noSample, shadow, frame] = c;
        const size_t count = frame.size(), guard = 16;
        std::vector<int> first;
        for (KrVAlignerKernel kernel : {KRV_ALIGNER_KERNEL_PORTABLE, KRV_ALIGNER_KERNEL_AVX2, KRV_ALIGNER_KERNEL_AVX512,
                                        KRV_ALIGNER_KERNEL_AVX512VBMI2}) {
          SCOPED_TRACE(KrVAlignerKernelName(kernel));
          KrVUseAlignerKernel(kernel);
          KrVFrameAligner aligner;
          ASSERT_EQ(aligner.Init(depth, image, rig), KR_STATUS_OK);
          std::vector<int> out(count + 2 * guard, 0x5A5A5A5A);
          ASSERT_EQ(aligner.FindImagePixels(frame.data(), count, noSample, shadow, out.data() + guard, count),
                    KR_STATUS_OK);
          EXPECT_TRUE(std::all_of(out.begin(), out.begin() + guard, [](int x) { return x == 0x5A5A5A5A; }));
          EXPECT_TRUE(std::all_of(out.end() - guard, out.end(), [](int x) { return x == 0x5A5A5A5A; }));
          const std::vector<int> pixels(out.begin() + guard, out.end() - guard);
          if (first.empty()) {
            first = pixels;
            size_t found = 0, agree = 0;
            for (unsigned int j = 0; j < ds.height; ++j) {
              for (unsigned int i = 0; i < ds.width; ++i) {
                const size_t k = size_t{j} * ds.width + i;
                if (frame[k] == noSample || frame[k] == shadow) {
                  ASSERT_EQ(pixels[k], -1) << "pixel " << k << " has no depth";
                  continue;
                }
                if (pixels[k] < 0) continue;
                double w;
                ++found;
                agree += pixels[k] == ModelPixel(depth, image, rig, i, j, frame[k], &w);
              }
            }
            // Rounding at a pixel's edge may differ from the model's order of operations, rarely.
            EXPECT_GE(agree * 1000, found * 999) << agree << " of " << found;
          } else {
            EXPECT_TRUE(pixels == first) << "differs from the portable search";
          }
        }
      });
}

// A near box in front of a wall, the depth coarser than the image (the viewer's cloud against its image): the box's
// points are never hidden, and the wall's points that the colour camera sees on the box (where the box's points
// land, with a margin of the depth's footprint) are hidden, while those well clear of it are not.
TEST(FrameAlignerKernelTest, ImagePixelsHideWhatANearerSurfaceCovers) {
  const unsigned int dw = 320, dh = 240;
  const KrVCameraIntrinsics depth = Camera(dw, dh, 575.8), image = Camera(640, 480, 525);
  KrVCameraExtrinsics beside;
  beside.translation[0] = -25;
  std::vector<uint16_t> frame(size_t{dw} * dh, 3000);
  auto inBox = [](unsigned int i, unsigned int j) { return i >= 100 && i < 180 && j >= 80 && j < 160; };
  for (unsigned int j = 0; j < dh; ++j) {
    for (unsigned int i = 0; i < dw; ++i) {
      if (inBox(i, j)) frame[size_t{j} * dw + i] = 600;
    }
  }
  KrVFrameAligner aligner;
  ASSERT_EQ(aligner.Init(depth, image, beside), KR_STATUS_OK);
  std::vector<int> pixels(frame.size());
  ASSERT_EQ(aligner.FindImagePixels(frame.data(), frame.size(), 0, 1, pixels.data(), pixels.size()), KR_STATUS_OK);
  // The box as the colour camera sees it: the image pixels its points land on, and the columns they span per row.
  std::vector<std::pair<double, double>> span(480, {1e9, -1e9});
  for (unsigned int j = 0; j < dh; ++j) {
    for (unsigned int i = 0; i < dw; ++i) {
      if (!inBox(i, j)) continue;
      double w;
      const int at = ModelPixel(depth, image, beside, i, j, 600, &w);
      ASSERT_GE(at, 0);
      auto& [left, right] = span[static_cast<size_t>(at) / 640];
      left = std::min(left, double(at % 640));
      right = std::max(right, double(at % 640));
    }
  }
  size_t hidden = 0, clear = 0;
  for (unsigned int j = 0; j < dh; ++j) {
    for (unsigned int i = 0; i < dw; ++i) {
      const size_t k = size_t{j} * dw + i;
      double w;
      const int at = ModelPixel(depth, image, beside, i, j, frame[k], &w);
      if (inBox(i, j)) {
        EXPECT_EQ(pixels[k], at) << "a box point is hidden at " << i << ", " << j;
        continue;
      }
      if (at < 0) continue;
      const auto [left, right] = span[static_cast<size_t>(at) / 640];
      const double u = at % 640;
      const bool rowHasBox = left <= right;
      // Rows above and below the box's image, or columns 3 pixels (a depth pixel and a half) clear of it: visible.
      if (!rowHasBox || u < left - 3 || u > right + 3) {
        EXPECT_EQ(pixels[k], at) << "a wall point clear of the box is hidden at " << i << ", " << j;
        ++clear;
      } else if (u >= left + 1 && u <= right - 1) {
        EXPECT_EQ(pixels[k], -1) << "a wall point behind the box is shown at " << i << ", " << j;
        ++hidden;
      }
    }
  }
  EXPECT_GT(hidden, 200u);
  EXPECT_GT(clear, 50000u);
}

// Hidden means more than 5 % nearer: a box exactly 5 % nearer than a close wall (285 against 300 mm, where the
// parallax is a few pixels; the colour camera beside the depth camera, so a wall point's depth along its axis is the
// wall's) hides no wall point, one a millimetre nearer hides those whose image pixels it covers.
TEST(FrameAlignerKernelTest, ImagePixelsAreHiddenOnlyByASurfaceMoreThanFivePercentNearer) {
  const unsigned int dw = 320, dh = 240;
  const KrVCameraIntrinsics depth = Camera(dw, dh, 575.8), image = Camera(640, 480, 525);
  KrVCameraExtrinsics beside;
  beside.translation[0] = -25;
  struct Restore {
    ~Restore() { KrVUseAlignerKernel(KRV_ALIGNER_KERNEL_WIDEST); }
  } restore;
  KrVFrameAligner aligner;
  ASSERT_EQ(aligner.Init(depth, image, beside), KR_STATUS_OK);
  for (const auto& [kernel, box] : {std::pair{KRV_ALIGNER_KERNEL_PORTABLE, uint16_t{285}},
                                    {KRV_ALIGNER_KERNEL_PORTABLE, uint16_t{284}},
                                    {KRV_ALIGNER_KERNEL_WIDEST, uint16_t{285}},
                                    {KRV_ALIGNER_KERNEL_WIDEST, uint16_t{284}}}) {
    SCOPED_TRACE(KrVAlignerKernelName(kernel));
    KrVUseAlignerKernel(kernel);
    std::vector<uint16_t> frame(size_t{dw} * dh, 300);
    for (unsigned int j = 80; j < 160; ++j) std::fill_n(frame.begin() + j * dw + 100, 80, box);
    std::vector<int> pixels(frame.size());
    ASSERT_EQ(aligner.FindImagePixels(frame.data(), frame.size(), 0, 1, pixels.data(), pixels.size()), KR_STATUS_OK);
    size_t hidden = 0;
    // Wall points that land in the image and are not shown there.
    for (unsigned int j = 0; j < dh; ++j) {
      for (unsigned int i = 0; i < dw; ++i) {
        const size_t k = size_t{j} * dw + i;
        double w;
        hidden += frame[k] == 300 && pixels[k] < 0 && ModelPixel(depth, image, beside, i, j, 300, &w) >= 0;
      }
    }
    if (box == 285) {
      EXPECT_EQ(hidden, 0u) << "a surface exactly 5 % nearer hides";
    } else {
      EXPECT_GT(hidden, 40u) << "a surface more than 5 % nearer hides nothing: " << hidden;
    }
  }
}

}  // namespace
