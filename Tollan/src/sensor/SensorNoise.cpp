#include "SensorNoise.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdlib>
#include <vector>

namespace tollan {
namespace sensor {
namespace {

// splitmix64: a fast generator whose state can start anywhere, so each row
// of each frame gets its own stream from (seed, frame, row).
class Random {
 public:
  explicit Random(uint64_t state) : state_(state) {}
  uint64_t Next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }

 private:
  uint64_t state_;
};

uint64_t Mix(uint64_t a, uint64_t b) { return Random(a * 0xD1342543DE82EF95ull ^ b).Next(); }

// Separate streams for the kinds of noise of one row.
enum Salt : uint64_t { kDepthSalt = 1, kPatchSalt = 2, kColourSalt = 3, kIrSalt = 4 };

Random RowRandom(const NoiseParams& noise, Salt salt, uint32_t frameId, int v) {
  return Random(Mix(Mix(Mix(noise.seed, salt), frameId), static_cast<uint64_t>(v)));
}

// Shift steps a pixel moves by, indexed by a random byte: 0 for 184 of 256,
// +-1 for 35 each, +-2 for one each (standard deviation about 0.55 steps).
const std::array<int8_t, 256>& ShiftSteps() {
  static const std::array<int8_t, 256> table = [] {
    std::array<int8_t, 256> t{};
    int i = 0;
    for (; i < 184; ++i) t[i] = 0;
    for (int k = 0; k < 35; ++k) t[i++] = 1;
    for (int k = 0; k < 35; ++k) t[i++] = -1;
    t[i++] = 2;
    t[i++] = -2;
    return t;
  }();
  return table;
}

// Standard normal quantiles of the 256 equal-probability slots of a byte.
const std::array<float, 256>& NormalQuantiles() {
  static const std::array<float, 256> table = [] {
    std::array<float, 256> t{};
    for (int i = 0; i < 256; ++i) {
      const double p = (i + 0.5) / 256.0;
      double lo = -6, hi = 6;  // bisection on the normal CDF
      for (int k = 0; k < 60; ++k) {
        const double mid = (lo + hi) / 2;
        (0.5 * std::erfc(-mid / std::sqrt(2.0)) < p ? lo : hi) = mid;
      }
      t[i] = static_cast<float>((lo + hi) / 2);
    }
    return t;
  }();
  return table;
}

// Noisy colour level for (level, random byte): shot noise that grows with
// the level over a read-noise floor.
const std::vector<uint8_t>& ColourTable() {
  static const std::vector<uint8_t> table = [] {
    const std::array<float, 256>& q = NormalQuantiles();
    std::vector<uint8_t> t(256 * 256);
    for (int level = 0; level < 256; ++level) {
      const double sigma = 1.2 + level / 70.0;
      for (int r = 0; r < 256; ++r)
        t[level * 256 + r] = static_cast<uint8_t>(std::clamp(std::lround(level + q[r] * sigma), 0L, 255L));
    }
    return t;
  }();
  return table;
}

// One dropout patch per 64 cells of a grid of about 16 cells across; a
// patch lives for kPatchFrames frames.
constexpr uint32_t kPatchFrames = 15;

// Marks the dropout patches that cross row v of a w x (any) frame.
void DropPatches(const NoiseParams& noise, uint32_t frameId, int v, int w, uint16_t shadow, uint16_t noSample,
                 uint16_t* row) {
  const int cell = std::max(8, w / 16);
  const int cy = v / cell;
  const uint64_t epoch = frameId / kPatchFrames;
  for (int cx = 0; cx * cell < w; ++cx) {
    const uint64_t h = Mix(Mix(Mix(noise.seed, kPatchSalt), epoch), (static_cast<uint64_t>(cy) << 20) ^ cx);
    if ((h & 63) != 0) continue;
    const double rx = cell * (0.15 + 0.35 * ((h >> 8) & 255) / 255.0);
    const double ry = cell * (0.15 + 0.35 * ((h >> 16) & 255) / 255.0);
    const double mx = cx * cell + cell / 2.0 + (((h >> 24) & 255) / 255.0 - 0.5) * cell * 0.3;
    const double my = cy * cell + cell / 2.0 + (((h >> 32) & 255) / 255.0 - 0.5) * cell * 0.3;
    const double dy = (v + 0.5 - my) / ry;
    if (dy * dy >= 1.0) continue;
    const double half = rx * std::sqrt(1.0 - dy * dy);
    const int x0 = std::max(0, static_cast<int>(std::lround(mx - half)));
    const int x1 = std::min(w, static_cast<int>(std::lround(mx + half)));
    for (int u = x0; u < x1; ++u) {
      if (row[u] != shadow) row[u] = noSample;
    }
  }
}

}  // namespace

void AddDepthNoise(const NoiseParams& noise, const DepthTables& tables, uint16_t shadow, uint16_t noSample,
                   uint32_t frameId, int v, int w, uint16_t* row, uint16_t* scratch) {
  if (!noise.enabled || w <= 0) return;
  const std::vector<uint16_t>& s2d = tables.S2D();
  const std::vector<uint16_t>& d2s = tables.D2S();
  const int maxShift = static_cast<int>(s2d.size()) - 1;
  const size_t topDepth = d2s.size() - 1;
  const std::array<int8_t, 256>& steps = ShiftSteps();
  std::copy(row, row + w, scratch);  // the clean row, for the edges
  auto valid = [&](uint16_t z) { return z != shadow && z != noSample && z <= topDepth; };
  Random random = RowRandom(noise, kDepthSalt, frameId, v);
  for (int u = 0; u < w; ++u) {
    const uint16_t z = scratch[u];
    if (!valid(z)) continue;
    const uint64_t r = random.Next();
    int shift = d2s[z];
    // A flying pixel: half of the pixels on a depth edge mix the two sides.
    const uint16_t left = u > 0 ? scratch[u - 1] : z, right = u + 1 < w ? scratch[u + 1] : z;
    const uint16_t other = std::abs(left - z) > std::abs(right - z) ? left : right;
    if (valid(other) && std::abs(other - z) * 16 > z && (r >> 40 & 1) != 0) {
      const double t = 0.2 + 0.6 * ((r >> 41) & 255) / 255.0;
      shift += static_cast<int>(std::lround((d2s[other] - shift) * t));
    }
    shift = std::clamp(shift + steps[r & 255], 0, maxShift);
    const uint16_t noisy = s2d[shift];
    // Speckle: about 0.3 % of pixels at 1 m, 1 % at 3 m give no sample.
    const uint32_t threshold = 128 + (static_cast<uint32_t>(z) * z >> 14);
    row[u] = (noisy == 0 || ((r >> 8) & 0xFFFF) < threshold) ? noSample : noisy;
  }
  DropPatches(noise, frameId, v, w, shadow, noSample, row);
}

void AddColourNoise(const NoiseParams& noise, uint32_t frameId, int v, int w, uint8_t* rgb) {
  if (!noise.enabled) return;
  const uint8_t* table = ColourTable().data();
  Random random = RowRandom(noise, kColourSalt, frameId, v);
  const size_t bytes = static_cast<size_t>(w) * 3;
  uint64_t r = 0;
  for (size_t i = 0; i < bytes; ++i, r >>= 8) {
    if (i % 8 == 0) r = random.Next();
    rgb[i] = table[rgb[i] * 256u + (r & 255)];
  }
}

void AddIrNoise(const NoiseParams& noise, uint32_t frameId, int v, int w, uint16_t* levels) {
  if (!noise.enabled) return;
  const std::array<float, 256>& q = NormalQuantiles();
  Random random = RowRandom(noise, kIrSalt, frameId, v);
  uint64_t r = 0;
  for (int u = 0; u < w; ++u, r >>= 8) {
    if (u % 8 == 0) r = random.Next();
    const float sigma = 2.0f + levels[u] / 60.0f;
    const long level = std::lround(levels[u] + q[r & 255] * sigma);
    levels[u] = static_cast<uint16_t>(std::clamp(level, 0L, 1023L));
  }
}

}  // namespace sensor
}  // namespace tollan
