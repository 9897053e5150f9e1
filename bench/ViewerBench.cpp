// The viewer's server work per frame against reading that frame.
//
// Baseline: one Read of an unpaced simulated sensor with VGA depth and VGA
// RGB streams open (the frames rendered on the sensor's producer thread and
// copied into the engine's frame objects). Figure: the same read through
// the viewer's session, which also builds each new frame's message and hands
// it to a client's slot, as `ovalith view` does for every frame it serves
// (only the socket write is left out), with each depth frame's colours from
// the image pixels the aligner finds. The difference is the server's CPU
// time per served frame; the aim is a small fraction of the read. The
// filtered figure adds the page's usual filter chain.
#include "ViewSession.h"

#include <Ovalith/Ovalith.h>
#include <benchmark/benchmark.h>

#include <fstream>
#include <string>
#include <unistd.h>

namespace {

// A client slot per stream, as the server keeps them.
class SlotSink : public ovalith_view::FrameSink {
 public:
  void PublishFrame(size_t stream, const ovalith_view::Message& message) override {
    if (slots.size() <= stream) slots.resize(stream + 1);
    slots[stream] = message;
  }
  void PublishText(const std::string&) override {}
  std::vector<ovalith_view::Message> slots;
};

// The engine on an unpaced sensor for the life of the object.
class UnpacedEngine {
 public:
  UnpacedEngine() {
    char pattern[] = "/tmp/ovalith-viewer-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    std::ofstream(dir_ + "/Tollan.ini") << "[Tollan]\nPaced=0\n";
    ok = KrVDevice::EngineInit(nullptr, dir_.c_str()) == KR_STATUS_OK;
  }
  ~UnpacedEngine() {
    KrVDevice::EngineShutdown();
    if (!dir_.empty()) {
      unlink((dir_ + "/Tollan.ini").c_str());
      rmdir(dir_.c_str());
    }
  }
  bool ok = false;

 private:
  std::string dir_;
};

void BM_ViewerReadFrame(benchmark::State& state) {
  UnpacedEngine engine;
  ovalith_tool::Source source;
  if (!engine.ok || !ovalith_tool::OpenSensor("*:0", {"Depth", "Image"}, &source)) {
    return state.SkipWithError("no sensor");
  }
  for (auto _ : state) {
    if (source.device->Read() != KR_STATUS_OK) return state.SkipWithError("read failed");
  }
}
BENCHMARK(BM_ViewerReadFrame)->Unit(benchmark::kMicrosecond);

void ServeFrames(benchmark::State& state, const std::string& filter) {
  UnpacedEngine engine;
  SlotSink sink;
  ovalith_view::ViewOptions options;
  options.streams = {"depth", "image"};
  options.filter = filter;
  ovalith_view::ViewSession session(options, &sink);
  if (!engine.ok || !session.Open()) return state.SkipWithError("no sensor");
  for (auto _ : state) {
    if (!session.ReadAndPublish()) return state.SkipWithError("read failed");
  }
  benchmark::DoNotOptimize(sink.slots.data());
}

void BM_ViewerReadAndServeFrame(benchmark::State& state) { ServeFrames(state, ""); }
BENCHMARK(BM_ViewerReadAndServeFrame)->Unit(benchmark::kMicrosecond);

void BM_ViewerReadAndServeFilteredFrame(benchmark::State& state) {
  ServeFrames(state, "decimate=2,spatial,temporal,holes=nearest");
}
BENCHMARK(BM_ViewerReadAndServeFilteredFrame)->Unit(benchmark::kMicrosecond);

}  // namespace
