// The depth filters and their chain (see KrVDepthFilters.h).
#include "KrVDepthFilters.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <new>
#include <sstream>

namespace {

// The output frame takes the input's markers and camera, and the size given.
KrStatus Prepare(const KrVDepthImage& input, uint32_t width, uint32_t height, KrVDepthImage& output) {
  if (input.pixels.size() != size_t{input.width} * input.height) return KR_STATUS_QM_BAD_PARAMETER;
  try {
    output.pixels.resize(size_t{width} * height);
  } catch (const std::bad_alloc&) {
    return KR_STATUS_QM_NOT_ENOUGH_MEMORY;
  }
  output.width = width;
  output.height = height;
  output.noSampleValue = input.noSampleValue;
  output.shadowValue = input.shadowValue;
  output.fx = input.fx;
  output.fy = input.fy;
  output.cx = input.cx;
  output.cy = input.cy;
  return KR_STATUS_OK;
}

uint16_t ToDepth(float value) { return static_cast<uint16_t>(std::min(65535.0f, std::max(0.0f, value + 0.5f))); }

std::string Text(double value) {
  std::ostringstream text;
  text << value;
  return text.str();
}

// Two passes of the recursive filter down and up the columns, all columns
// at once (row by row, which the compiler vectorises): each measured pixel
// moves toward the one before it in the column when both are measured and
// differ by less than delta.
void SmoothColumns(float* work, const float* measured, size_t width, size_t height, float alpha, float delta) {
  const float keep = 1 - alpha;
  const auto pass = [&](size_t y, size_t before) {
    float* row = work + y * width;
    const float* previous = work + before * width;
    const float* m = measured + y * width;
    const float* n = measured + before * width;
    for (size_t x = 0; x < width; ++x) {
      // Arithmetic rather than branches: the loop runs in vector registers.
      const float step = row[x] - previous[x];
      const float near = std::fabs(step) < delta ? 1.0f : 0.0f;
      row[x] -= keep * step * (m[x] * n[x] * near);
    }
  };
  for (size_t y = 1; y < height; ++y) pass(y, y - 1);
  for (size_t y = height - 1; y-- > 0;) pass(y, y + 1);
}

// out (height x width) = in (width x height) transposed, in blocks that
// stay in the cache.
template <typename T>
void Transpose(const T* in, size_t width, size_t height, T* out) {
  constexpr size_t kBlock = 32;
  for (size_t y0 = 0; y0 < height; y0 += kBlock) {
    for (size_t x0 = 0; x0 < width; x0 += kBlock) {
      for (size_t y = y0; y < std::min(height, y0 + kBlock); ++y) {
        for (size_t x = x0; x < std::min(width, x0 + kBlock); ++x) out[x * height + y] = in[y * width + x];
      }
    }
  }
}

}  // namespace

// ---- decimation ----

KrVDecimationFilter::KrVDecimationFilter(uint32_t factor) : factor_(factor >= 2 && factor <= 4 ? factor : 2) {}

KrStatus KrVDecimationFilter::SetFactor(uint32_t factor) {
  if (factor < 2 || factor > 4) return KR_STATUS_QM_BAD_PARAMETER;
  factor_ = factor;
  return KR_STATUS_OK;
}

KrStatus KrVDecimationFilter::Apply(const KrVDepthImage& input, KrVDepthImage& output) {
  const uint32_t k = factor_;
  const uint32_t width = (input.width + k - 1) / k, height = (input.height + k - 1) / k;
  const KrStatus status = Prepare(input, width, height, output);
  if (status != KR_STATUS_OK) return status;
  // Output pixel (u, v) stands where input pixel (k u, k v) stood.
  output.fx = input.fx / k;
  output.fy = input.fy / k;
  output.cx = input.cx / k;
  output.cy = input.cy / k;
  uint16_t block[16];
  for (uint32_t v = 0; v < height; ++v) {
    for (uint32_t u = 0; u < width; ++u) {
      size_t count = 0;
      bool shadow = false;
      for (uint32_t y = v * k; y < std::min(input.height, v * k + k); ++y) {
        for (uint32_t x = u * k; x < std::min(input.width, u * k + k); ++x) {
          const uint16_t z = input.pixels[size_t{y} * input.width + x];
          if (input.IsDepth(z)) {
            block[count++] = z;
          } else {
            shadow = shadow || z == input.shadowValue;
          }
        }
      }
      uint16_t& out = output.pixels[size_t{v} * width + u];
      if (count == 0) {
        out = shadow ? input.shadowValue : input.noSampleValue;
        continue;
      }
      // The lower median: always a depth that was measured.
      std::nth_element(block, block + (count - 1) / 2, block + count);
      out = block[(count - 1) / 2];
    }
  }
  return KR_STATUS_OK;
}

std::string KrVDecimationFilter::Describe() const { return "decimate=" + std::to_string(factor_); }

// ---- spatial ----

KrVSpatialFilter::KrVSpatialFilter(double alpha, double delta, uint32_t iterations)
    : alpha_(0.5), delta_(60), iterations_(2) {
  SetOptions(alpha, delta, iterations);
}

KrStatus KrVSpatialFilter::SetOptions(double alpha, double delta, uint32_t iterations) {
  if (!(alpha > 0 && alpha <= 1) || !(delta >= 1 && delta <= 1000) || iterations < 1 || iterations > 5) {
    return KR_STATUS_QM_BAD_PARAMETER;
  }
  alpha_ = alpha;
  delta_ = delta;
  iterations_ = iterations;
  return KR_STATUS_OK;
}

KrStatus KrVSpatialFilter::Apply(const KrVDepthImage& input, KrVDepthImage& output) {
  const KrStatus status = Prepare(input, input.width, input.height, output);
  if (status != KR_STATUS_OK) return status;
  const size_t count = input.pixels.size();
  std::vector<float> measured(count);  // 1 for a measured pixel, else 0
  try {
    work_.resize(count);
  } catch (const std::bad_alloc&) {
    return KR_STATUS_QM_NOT_ENOUGH_MEMORY;
  }
  for (size_t i = 0; i < count; ++i) {
    measured[i] = input.IsDepth(input.pixels[i]) ? 1.0f : 0.0f;
    work_[i] = input.pixels[i];
  }
  const auto alpha = static_cast<float>(alpha_), delta = static_cast<float>(delta_);
  const size_t width = input.width, height = input.height;
  // The passes along rows run as passes along the columns of the
  // transposed frame, so both directions go a whole row at a time.
  std::vector<float> turned(count);
  std::vector<float> turnedMeasured(count);
  Transpose(measured.data(), width, height, turnedMeasured.data());
  for (uint32_t pass = 0; pass < iterations_ && count > 0; ++pass) {
    Transpose(work_.data(), width, height, turned.data());
    SmoothColumns(turned.data(), turnedMeasured.data(), height, width, alpha, delta);
    Transpose(turned.data(), height, width, work_.data());
    SmoothColumns(work_.data(), measured.data(), width, height, alpha, delta);
  }
  for (size_t i = 0; i < count; ++i) output.pixels[i] = measured[i] != 0 ? ToDepth(work_[i]) : input.pixels[i];
  return KR_STATUS_OK;
}

std::string KrVSpatialFilter::Describe() const {
  return "spatial=" + Text(alpha_) + ":" + Text(delta_) + ":" + std::to_string(iterations_);
}

// ---- temporal ----

KrVTemporalFilter::KrVTemporalFilter(double alpha, double delta, uint32_t persistence)
    : alpha_(0.4), delta_(60), persistence_(3) {
  SetOptions(alpha, delta, persistence);
}

KrStatus KrVTemporalFilter::SetOptions(double alpha, double delta, uint32_t persistence) {
  if (!(alpha > 0 && alpha <= 1) || !(delta >= 1 && delta <= 1000) || persistence > 8) {
    return KR_STATUS_QM_BAD_PARAMETER;
  }
  alpha_ = alpha;
  delta_ = delta;
  persistence_ = persistence;
  return KR_STATUS_OK;
}

void KrVTemporalFilter::Reset() {
  width_ = height_ = 0;
  last_.clear();
  seen_.clear();
}

KrStatus KrVTemporalFilter::Apply(const KrVDepthImage& input, KrVDepthImage& output) {
  const KrStatus status = Prepare(input, input.width, input.height, output);
  if (status != KR_STATUS_OK) return status;
  const size_t count = input.pixels.size();
  if (width_ != input.width || height_ != input.height || last_.size() != count) {
    Reset();
    try {
      last_.assign(count, 0.0f);
      seen_.assign(count, 0);
    } catch (const std::bad_alloc&) {
      return KR_STATUS_QM_NOT_ENOUGH_MEMORY;
    }
    width_ = input.width;
    height_ = input.height;
  }
  const auto alpha = static_cast<float>(alpha_), delta = static_cast<float>(delta_);
  for (size_t i = 0; i < count; ++i) {
    const uint16_t z = input.pixels[i];
    const bool measured = input.IsDepth(z);
    const int history = __builtin_popcount(seen_[i]);
    seen_[i] = static_cast<uint8_t>(seen_[i] << 1 | (measured ? 1 : 0));
    float value;
    if (measured) {
      value = last_[i] > 0 && std::abs(z - last_[i]) < delta ? alpha * z + (1 - alpha) * last_[i] : z;
    } else if (persistence_ > 0 && last_[i] > 0 && history >= static_cast<int>(persistence_)) {
      value = last_[i];
    } else {
      output.pixels[i] = z;
      continue;
    }
    last_[i] = value;
    const uint16_t out = ToDepth(value);
    // A value that rounds onto a marker would stop being depth.
    output.pixels[i] = input.IsDepth(out) ? out : static_cast<uint16_t>(out + 1);
  }
  return KR_STATUS_OK;
}

std::string KrVTemporalFilter::Describe() const {
  return "temporal=" + Text(alpha_) + ":" + Text(delta_) + ":" + std::to_string(persistence_);
}

// ---- holes ----

KrVHoleFillingFilter::KrVHoleFillingFilter(KrVHoleFill mode) : mode_(mode) {}

KrStatus KrVHoleFillingFilter::SetMode(int mode) {
  if (mode < KRV_HOLE_FILL_LEFT || mode > KRV_HOLE_FILL_FARTHEST) return KR_STATUS_QM_BAD_PARAMETER;
  mode_ = static_cast<KrVHoleFill>(mode);
  return KR_STATUS_OK;
}

KrStatus KrVHoleFillingFilter::Apply(const KrVDepthImage& input, KrVDepthImage& output) {
  const KrStatus status = Prepare(input, input.width, input.height, output);
  if (status != KR_STATUS_OK) return status;
  const size_t width = input.width, height = input.height;
  std::copy(input.pixels.begin(), input.pixels.end(), output.pixels.begin());
  for (size_t y = 0; y < height; ++y) {
    for (size_t x = 0; x < width; ++x) {
      uint16_t& pixel = output.pixels[y * width + x];
      if (input.IsDepth(pixel)) continue;
      // Left and above are filled already; right and below as measured.
      uint16_t candidates[4];
      size_t count = 0;
      const auto offer = [&](uint16_t z) {
        if (input.IsDepth(z)) candidates[count++] = z;
      };
      if (x > 0) offer(output.pixels[y * width + x - 1]);
      if (mode_ != KRV_HOLE_FILL_LEFT) {
        if (y > 0) offer(output.pixels[(y - 1) * width + x]);
        if (x + 1 < width) offer(input.pixels[y * width + x + 1]);
        if (y + 1 < height) offer(input.pixels[(y + 1) * width + x]);
      }
      if (count == 0) continue;
      pixel = mode_ == KRV_HOLE_FILL_NEAREST ? *std::min_element(candidates, candidates + count)
                                             : *std::max_element(candidates, candidates + count);
    }
  }
  return KR_STATUS_OK;
}

std::string KrVHoleFillingFilter::Describe() const {
  static const char* const kNames[] = {"left", "nearest", "farthest"};
  return std::string("holes=") + kNames[mode_];
}

// ---- flying pixels ----

KrVFlyingPixelFilter::KrVFlyingPixelFilter(double delta, double ratio, uint32_t minimum)
    : delta_(30), ratio_(0.02), minimum_(2) {
  SetOptions(delta, ratio, minimum);
}

KrStatus KrVFlyingPixelFilter::SetOptions(double delta, double ratio, uint32_t minimum) {
  if (!(delta >= 1 && delta <= 1000) || !(ratio >= 0 && ratio <= 1) || minimum < 1 || minimum > 8) {
    return KR_STATUS_QM_BAD_PARAMETER;
  }
  delta_ = delta;
  ratio_ = ratio;
  minimum_ = minimum;
  return KR_STATUS_OK;
}

KrStatus KrVFlyingPixelFilter::Apply(const KrVDepthImage& input, KrVDepthImage& output) {
  const KrStatus status = Prepare(input, input.width, input.height, output);
  if (status != KR_STATUS_OK) return status;
  const int64_t width = input.width, height = input.height;
  for (int64_t y = 0; y < height; ++y) {
    for (int64_t x = 0; x < width; ++x) {
      const uint16_t z = input.pixels[y * width + x];
      uint16_t& out = output.pixels[y * width + x];
      out = z;
      if (!input.IsDepth(z)) continue;
      const double near = std::max(delta_, ratio_ * z);
      uint32_t agreeing = 0, neighbours = 0;
      for (int64_t dy = -1; dy <= 1; ++dy) {
        for (int64_t dx = -1; dx <= 1; ++dx) {
          const int64_t nx = x + dx, ny = y + dy;
          if ((dx == 0 && dy == 0) || nx < 0 || ny < 0 || nx >= width || ny >= height) continue;
          ++neighbours;
          const uint16_t n = input.pixels[ny * width + nx];
          agreeing += input.IsDepth(n) && std::abs(static_cast<double>(n) - z) <= near ? 1 : 0;
        }
      }
      // At the frame's border fewer neighbours are asked for.
      if (agreeing < std::min(minimum_, neighbours)) out = input.noSampleValue;
    }
  }
  return KR_STATUS_OK;
}

std::string KrVFlyingPixelFilter::Describe() const { return "flying=" + Text(delta_); }

// ---- chain ----

namespace {

bool Number(const std::string& text, double* value) {
  char* end = nullptr;
  *value = std::strtod(text.c_str(), &end);
  return !text.empty() && *end == '\0' && std::isfinite(*value);
}

// "A:B:C" into up to count numbers (those not given keep their value).
bool Numbers(const std::string& text, double* values, size_t count) {
  std::istringstream parts(text);
  std::string part;
  size_t n = 0;
  while (std::getline(parts, part, ':')) {
    if (n == count || !Number(part, &values[n])) return false;
    ++n;
  }
  return n > 0;
}

bool Whole(double value) { return value == std::floor(value) && value >= 0 && value <= 1000; }

}  // namespace

KrStatus KrVDepthFilterChain::Parse(const std::string& text, std::string* error) {
  std::vector<std::unique_ptr<KrVDepthFilter>> parsed;
  std::istringstream items(text);
  std::string item;
  while (std::getline(items, item, ',')) {
    const size_t equals = item.find('=');
    const std::string name = item.substr(0, equals);
    const bool valued = equals != std::string::npos;
    const std::string value = valued ? item.substr(equals + 1) : std::string();
    KrStatus status = KR_STATUS_QM_BAD_PARAMETER;
    if (name == "decimate") {
      double factor = 2;
      auto filter = std::make_unique<KrVDecimationFilter>();
      if ((!valued || (Number(value, &factor) && Whole(factor))) &&
          (status = filter->SetFactor(static_cast<uint32_t>(factor))) == KR_STATUS_OK) {
        parsed.push_back(std::move(filter));
      }
    } else if (name == "spatial" || name == "temporal") {
      const bool spatial = name == "spatial";
      double values[3] = {spatial ? 0.5 : 0.4, 60, spatial ? 2.0 : 3.0};
      if (!valued || (Numbers(value, values, 3) && Whole(values[2]))) {
        if (spatial) {
          auto filter = std::make_unique<KrVSpatialFilter>();
          status = filter->SetOptions(values[0], values[1], static_cast<uint32_t>(values[2]));
          if (status == KR_STATUS_OK) parsed.push_back(std::move(filter));
        } else {
          auto filter = std::make_unique<KrVTemporalFilter>();
          status = filter->SetOptions(values[0], values[1], static_cast<uint32_t>(values[2]));
          if (status == KR_STATUS_OK) parsed.push_back(std::move(filter));
        }
      }
    } else if (name == "holes") {
      const int mode = !valued || value == "farthest" ? KRV_HOLE_FILL_FARTHEST
                       : value == "nearest"             ? KRV_HOLE_FILL_NEAREST
                       : value == "left"                ? KRV_HOLE_FILL_LEFT
                                                        : -1;
      auto filter = std::make_unique<KrVHoleFillingFilter>();
      if ((status = filter->SetMode(mode)) == KR_STATUS_OK) parsed.push_back(std::move(filter));
    } else if (name == "flying") {
      double delta = 30;
      auto filter = std::make_unique<KrVFlyingPixelFilter>();
      if ((!valued || Number(value, &delta)) && (status = filter->SetOptions(delta, 0.02, 2)) == KR_STATUS_OK) {
        parsed.push_back(std::move(filter));
      }
    }
    if (status != KR_STATUS_OK) {
      if (error != nullptr) {
        *error = "\"" + item + "\" is not a filter (decimate=2|3|4, spatial[=ALPHA:DELTA:ITERATIONS], "
                 "temporal[=ALPHA:DELTA:PERSISTENCE], holes[=left|nearest|farthest], flying[=DELTA])";
      }
      return KR_STATUS_QM_BAD_PARAMETER;
    }
  }
  if (parsed.empty()) {
    if (error != nullptr) *error = "no filter named";
    return KR_STATUS_QM_BAD_PARAMETER;
  }
  filters_ = std::move(parsed);
  stages_.clear();
  return KR_STATUS_OK;
}

void KrVDepthFilterChain::Add(std::unique_ptr<KrVDepthFilter> filter) {
  if (filter != nullptr) filters_.push_back(std::move(filter));
}

KrStatus KrVDepthFilterChain::Apply(const KrVDepthImage& input, KrVDepthImage& output) {
  if (filters_.empty()) {
    if (input.pixels.size() != size_t{input.width} * input.height) return KR_STATUS_QM_BAD_PARAMETER;
    output = input;
    return KR_STATUS_OK;
  }
  stages_.resize(filters_.size() - 1);
  const KrVDepthImage* from = &input;
  for (size_t i = 0; i < filters_.size(); ++i) {
    KrVDepthImage& to = i + 1 == filters_.size() ? output : stages_[i];
    const KrStatus status = filters_[i]->Apply(*from, to);
    if (status != KR_STATUS_OK) return status;
    from = &to;
  }
  return KR_STATUS_OK;
}

void KrVDepthFilterChain::Reset() {
  for (auto& filter : filters_) filter->Reset();
}

std::string KrVDepthFilterChain::Describe() const {
  std::string text;
  for (const auto& filter : filters_) text += (text.empty() ? "" : ",") + filter->Describe();
  return text;
}
