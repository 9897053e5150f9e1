#include "HoleFilter.h"

#include <algorithm>

namespace tollan {
namespace sensor {
namespace {

constexpr int kNone = -1;

}  // namespace

void FillSmallHoles(uint16_t* depth, int w, int h, uint16_t noSample, uint16_t shadow, HoleScratch* s) {
  if (w <= 0 || h <= 0) return;
  const size_t pixels = static_cast<size_t>(w) * h;
  s->seen.assign(pixels, 0);
  const auto real = [&](uint16_t z) { return z != noSample && z != shadow; };
  for (size_t start = 0; start < pixels; ++start) {
    if (depth[start] != noSample || s->seen[start] != 0) continue;
    // Flood the hole; every pixel is marked so a large hole is walked once,
    // but only the first kMaxHolePixels + 1 are kept.
    s->region.clear();
    s->stack.assign(1, static_cast<uint32_t>(start));
    s->seen[start] = 1;
    size_t count = 0;
    int farthest = kNone;  // the farthest real depth bordering the hole
    while (!s->stack.empty()) {
      const uint32_t i = s->stack.back();
      s->stack.pop_back();
      if (++count <= static_cast<size_t>(kMaxHolePixels)) s->region.push_back(i);
      const int u = static_cast<int>(i % static_cast<uint32_t>(w)), v = static_cast<int>(i / static_cast<uint32_t>(w));
      const uint32_t next[4] = {i - 1, i + 1, i - static_cast<uint32_t>(w), i + static_cast<uint32_t>(w)};
      const bool inside[4] = {u > 0, u + 1 < w, v > 0, v + 1 < h};
      for (int k = 0; k < 4; ++k) {
        if (!inside[k]) continue;
        const uint32_t n = next[k];
        const uint16_t z = depth[n];
        if (z == noSample) {
          if (s->seen[n] == 0) {
            s->seen[n] = 1;
            s->stack.push_back(n);
          }
        } else if (real(z)) {
          farthest = std::max<int>(farthest, z);
        }
      }
    }
    if (count > static_cast<size_t>(kMaxHolePixels) || farthest == kNone) continue;
    // The farther of the two depths that bound each pixel's run in its row.
    s->fill.resize(s->region.size());
    for (size_t k = 0; k < s->region.size(); ++k) {
      const uint32_t i = s->region[k];
      const uint16_t* row = depth + (i / static_cast<uint32_t>(w)) * static_cast<size_t>(w);
      const int u = static_cast<int>(i % static_cast<uint32_t>(w));
      int left = u - 1, right = u + 1;
      while (left >= 0 && row[left] == noSample) --left;
      while (right < w && row[right] == noSample) ++right;
      int z = kNone;
      if (left >= 0 && real(row[left])) z = row[left];
      if (right < w && real(row[right])) z = std::max<int>(z, row[right]);
      s->fill[k] = static_cast<uint16_t>(z == kNone ? farthest : z);
    }
    for (size_t k = 0; k < s->region.size(); ++k) depth[s->region[k]] = s->fill[k];
  }
}

}  // namespace sensor
}  // namespace tollan
