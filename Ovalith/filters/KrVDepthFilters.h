// Depth filters: small steps that make a sensor's depth easier to use, and
// a chain that runs them in turn.
//
// - KrVDecimationFilter: a k x k block (k = 2, 3 or 4) becomes one pixel,
//   the median of its measured depths; the frame shrinks by k and its camera
//   with it (pixel (u, v) of the output sits at (k u, k v) of the input).
// - KrVSpatialFilter: edge-preserving smoothing, a recursive filter run
//   left, right, down and up along rows and columns: each pixel moves toward
//   its neighbour by (1 - alpha) of the difference, but only where the two
//   differ by less than delta millimetres, so a depth step larger than delta
//   is never smoothed across. Delta must exceed the sensor's own depth step
//   at the distances that matter (about 20 mm at 3 m on the simulated
//   sensor), or the noise is not smoothed at all: the default is 60 mm.
// - KrVTemporalFilter: each pixel moves toward its own history the same way
//   (alpha, delta), and may hold its last value through a few frames without
//   a sample (persistence). It keeps state: the last frame of one stream.
//   A frame of another size starts afresh; call Reset after a seek.
// - KrVHoleFillingFilter: a pixel without a sample takes a neighbour's depth:
//   the one to its left, the nearest or the farthest of its neighbours.
// - KrVFlyingPixelFilter: a pixel that agrees with almost none of its eight
//   neighbours (the points that float between a near edge and the wall
//   behind it) becomes "no sample".
//
// A frame (KrVDepthImage) holds depth in millimetres row by row and the two
// values that are not depth: no sample ("NoSampleValue") and shadow
// ("ShadowValue"). Filters read only measured pixels, never turn a
// no-sample or shadow pixel into depth except by filling holes (the hole
// filler's purpose), and keep the two apart: an unfilled pixel keeps what it
// was. Every filter works on any size and writes only its output frame.
//
// Status returns: KR_STATUS_QM_BAD_PARAMETER for a setting out of range
// (nothing changed) or a frame whose pixel count does not match its size;
// KR_STATUS_QM_NOT_ENOUGH_MEMORY when an output cannot be sized.
//
// Ownership: a frame owns its pixels; a chain owns its filters. Threads: a
// filter (and a chain) is used by one thread at a time; separate filters may
// run on separate threads. A spatial filter set to 2 threads shares each
// frame with a helper thread that lives only for the call.
#pragma once

#include <Ovalith/Infrastructure/KrVStatus.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// A depth frame as filters read and write it, with the pinhole camera of
// its pixel grid (fx, fy, cx, cy in pixels; 0 when unknown), which
// decimation scales.
struct KrVDepthImage {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint16_t> pixels;  // width * height, row by row
  uint16_t noSampleValue = 0;
  uint16_t shadowValue = 1;
  double fx = 0, fy = 0, cx = 0, cy = 0;
  bool IsDepth(uint16_t value) const { return value != noSampleValue && value != shadowValue; }
};

class KrVDepthFilter {
 public:
  virtual ~KrVDepthFilter() = default;
  // Filters input into output (which may not be input). output keeps its
  // memory between calls.
  virtual KrStatus Apply(const KrVDepthImage& input, KrVDepthImage& output) = 0;
  // Forgets what earlier frames left (only the temporal filter keeps any).
  virtual void Reset() {}
  // The filter and its settings as the chain's text gives them.
  virtual std::string Describe() const = 0;
};

class KrVDecimationFilter : public KrVDepthFilter {
 public:
  explicit KrVDecimationFilter(uint32_t factor = 2);
  KrStatus SetFactor(uint32_t factor);  // 2, 3 or 4
  KrStatus Apply(const KrVDepthImage& input, KrVDepthImage& output) override;
  std::string Describe() const override;

 private:
  uint32_t factor_;
};

class KrVSpatialFilter : public KrVDepthFilter {
 public:
  // alpha in (0, 1]: 1 leaves the frame as it is; delta in mm (1 to 1000);
  // iterations 1 to 5.
  KrVSpatialFilter(double alpha = 0.5, double delta = 60, uint32_t iterations = 2);
  KrStatus SetOptions(double alpha, double delta, uint32_t iterations);
  // How many threads each Apply uses: 1 (the default: the calling thread
  // alone) or 2 (the call starts a helper and joins it before it returns);
  // the frames are the same bytes either way.
  void SetThreads(unsigned int threads);
  unsigned int GetThreads() const { return threads_; }
  KrStatus Apply(const KrVDepthImage& input, KrVDepthImage& output) override;
  std::string Describe() const override;

 private:
  double alpha_, delta_;
  uint32_t iterations_;
  unsigned int threads_;  // 1 or 2 (SetThreads)
  std::vector<float>
      work_;  // the frame as it is smoothed, then per thread room for a strip of rows turned on their side
};

class KrVTemporalFilter : public KrVDepthFilter {
 public:
  // alpha in (0, 1], delta in mm (1 to 1000); persistence 0 to 8: a pixel
  // without a sample keeps its last value when it had one in at least
  // persistence of the last 8 frames (0: never).
  KrVTemporalFilter(double alpha = 0.4, double delta = 60, uint32_t persistence = 3);
  KrStatus SetOptions(double alpha, double delta, uint32_t persistence);
  KrStatus Apply(const KrVDepthImage& input, KrVDepthImage& output) override;
  void Reset() override;
  std::string Describe() const override;

 private:
  double alpha_, delta_;
  uint32_t persistence_;
  uint32_t width_ = 0, height_ = 0;  // of the history; 0: none
  std::vector<float> last_;          // per pixel, the last value given out (0: none)
  std::vector<uint8_t> seen_;        // per pixel, bit i: a sample i + 1 frames ago
};

enum KrVHoleFill {
  KRV_HOLE_FILL_LEFT = 0,      // the pixel to the left (after filling)
  KRV_HOLE_FILL_NEAREST = 1,   // the nearest of the four neighbours
  KRV_HOLE_FILL_FARTHEST = 2,  // the farthest of them: holes beside edges are background
};

class KrVHoleFillingFilter : public KrVDepthFilter {
 public:
  explicit KrVHoleFillingFilter(KrVHoleFill mode = KRV_HOLE_FILL_FARTHEST);
  KrStatus SetMode(int mode);
  KrStatus Apply(const KrVDepthImage& input, KrVDepthImage& output) override;
  std::string Describe() const override;

 private:
  KrVHoleFill mode_;
};

class KrVFlyingPixelFilter : public KrVDepthFilter {
 public:
  // A neighbour agrees when it lies within max(delta, ratio * depth) mm;
  // a pixel with fewer than minimum agreeing neighbours (1 to 8) goes.
  KrVFlyingPixelFilter(double delta = 30, double ratio = 0.02, uint32_t minimum = 2);
  KrStatus SetOptions(double delta, double ratio, uint32_t minimum);
  KrStatus Apply(const KrVDepthImage& input, KrVDepthImage& output) override;
  std::string Describe() const override;

 private:
  double delta_, ratio_;
  uint32_t minimum_;
};

// Filters run in the order added, each on the one before's output.
class KrVDepthFilterChain {
 public:
  KrVDepthFilterChain() = default;
  KrVDepthFilterChain(const KrVDepthFilterChain&) = delete;
  KrVDepthFilterChain& operator=(const KrVDepthFilterChain&) = delete;

  // Builds the chain from text such as "decimate=2,spatial,temporal,holes=nearest":
  // decimate=K; spatial[=ALPHA[:DELTA[:ITERATIONS]]]; temporal[=ALPHA[:DELTA[:PERSISTENCE]]];
  // holes[=left|nearest|farthest]; flying[=DELTA]. A name or value it does
  // not know gives KR_STATUS_QM_BAD_PARAMETER with the chain unchanged and
  // *error (when given) saying which.
  KrStatus Parse(const std::string& text, std::string* error = nullptr);
  void Add(std::unique_ptr<KrVDepthFilter> filter);
  bool Empty() const { return filters_.empty(); }
  // Runs every filter; with none, output is a copy of input.
  KrStatus Apply(const KrVDepthImage& input, KrVDepthImage& output);
  void Reset();
  std::string Describe() const;

 private:
  std::vector<std::unique_ptr<KrVDepthFilter>> filters_;
  std::vector<KrVDepthImage> stages_;  // the outputs between filters
};
