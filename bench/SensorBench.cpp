// The simulated sensor's frame production against copying the same bytes.
//
// Baseline: memcpy of one 640x480 depth frame (16-bit) plus one 640x480 RGB
// frame, from buffers as large as the sensor's cached room. Figures: the
// sensor's renderers producing those two frames for a new frame id each time
// (the aim is a ratio below 3: the simulation must never limit a benchmark of
// the engine), and the same two frames read through KrDeviceProxyRead from an
// unpaced sensor (rendering on its producer thread, then the copy into the
// records). The hole filter: one noisy depth frame with "HoleFilter" 0 and 1
// (BM_SensorNoisyDepthFrame/0 and /1); its cost is the difference, to be
// read against the baseline's copy.
#include "Tollan/src/sensor/SceneRenderer.h"
#include "Tollan/src/sensor/StreamSettings.h"

#include <Tollan/Tollan.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using tollan::sensor::MakeRenderParams;
using tollan::sensor::SceneRenderer;
using tollan::sensor::StreamKind;
using tollan::sensor::StreamSettings;

constexpr size_t kDepthBytes = 640 * 480 * 2;
constexpr size_t kImageBytes = 640 * 480 * 3;

void BM_SensorBaselineMemcpy(benchmark::State& state) {
  std::vector<uint8_t> depthSource(kDepthBytes, 1), imageSource(kImageBytes, 2);
  std::vector<uint8_t> depth(kDepthBytes), image(kImageBytes);
  for (auto _ : state) {
    std::memcpy(depth.data(), depthSource.data(), kDepthBytes);
    std::memcpy(image.data(), imageSource.data(), kImageBytes);
    benchmark::DoNotOptimize(depth.data());
    benchmark::DoNotOptimize(image.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (kDepthBytes + kImageBytes));
}
BENCHMARK(BM_SensorBaselineMemcpy);

void BM_SensorDepthAndImageFrame(benchmark::State& state) {
  const StreamSettings depthSettings(StreamKind::kDepth), imageSettings(StreamKind::kImage);
  const auto depthParams = MakeRenderParams(depthSettings, false);
  const auto imageParams = MakeRenderParams(imageSettings, false);
  SceneRenderer depthRenderer, imageRenderer;
  std::vector<uint8_t> depth(kDepthBytes), image(kImageBytes);
  uint32_t frameId = 1, size = 0;
  for (auto _ : state) {
    depthRenderer.Render(depthParams, depthSettings.Tables().get(), frameId, depth.data(), kDepthBytes, &size);
    imageRenderer.Render(imageParams, nullptr, frameId, image.data(), kImageBytes, &size);
    ++frameId;
    benchmark::DoNotOptimize(depth.data());
    benchmark::DoNotOptimize(image.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (kDepthBytes + kImageBytes));
}
BENCHMARK(BM_SensorDepthAndImageFrame);

void BM_SensorNoisyDepthFrame(benchmark::State& state) {
  StreamSettings settings(StreamKind::kDepth);
  if (settings.Set("HoleFilter", static_cast<uint64_t>(state.range(0))) != KR_STATUS_OK) {
    state.SkipWithError("HoleFilter refused");
    return;
  }
  auto params = MakeRenderParams(settings, false);
  params.noise = tollan::sensor::NoiseParams{true, 0};
  SceneRenderer renderer;
  std::vector<uint8_t> depth(kDepthBytes);
  uint32_t frameId = 1, size = 0;
  for (auto _ : state) {
    renderer.Render(params, settings.Tables().get(), frameId++, depth.data(), kDepthBytes, &size);
    benchmark::DoNotOptimize(depth.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * kDepthBytes);
}
BENCHMARK(BM_SensorNoisyDepthFrame)->Arg(0)->Arg(1);

void BM_SensorReadDepthAndImage(benchmark::State& state) {
  char pattern[] = "/tmp/sensor-bench-XXXXXX";
  if (mkdtemp(pattern) == nullptr) return state.SkipWithError("no temporary directory");
  const std::string dir = pattern, ini = dir + "/Tollan.ini";
  std::ofstream(ini) << "[Tollan]\nPaced=0\n";
  KrDeviceHandle device = nullptr;
  KrStreamDataSetHandle set = nullptr;
  KrStreamData* records[2] = {};
  const KrDeviceConfig config{KR_DEVICE_MODE_READ, "*:0", nullptr, KR_DEVICE_SHARING_EXCLUSIVE};
  bool ready = TollanInit(dir.c_str()) == KR_STATUS_OK &&
               KrDeviceProxyCreateDeviceByName("SensorV2", &device, &config) == KR_STATUS_OK &&
               KrStreamDataSetCreate(&set) == KR_STATUS_OK;
  const char* types[] = {"Depth", "Image"};
  for (int i = 0; i < 2 && ready; ++i) {
    ready = KrDeviceProxyCreateStream(device, types[i], types[i], nullptr) == KR_STATUS_OK &&
            KrDeviceProxyCreateStreamData(device, types[i], &records[i]) == KR_STATUS_OK &&
            KrStreamDataSetAdd(set, records[i]) == KR_STATUS_OK;
  }
  ready = ready && KrDeviceProxyOpenAllStreams(device) == KR_STATUS_OK;
  if (!ready) state.SkipWithError("the simulated sensor did not open");
  for (auto _ : state) {
    if (!ready) break;
    if (KrDeviceProxyRead(device, set) != KR_STATUS_OK) {
      state.SkipWithError("read failed");
      break;
    }
    benchmark::DoNotOptimize(records[0]->pData);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * (kDepthBytes + kImageBytes));
  for (KrStreamData*& record : records) KrDeviceProxyDestroyStreamData(&record);
  KrStreamDataSetDestroy(&set);
  KrDeviceProxyDestroy(&device);
  TollanShutdown();
  std::remove(ini.c_str());
  rmdir(dir.c_str());
}
BENCHMARK(BM_SensorReadDepthAndImage)->UseRealTime();

}  // namespace
