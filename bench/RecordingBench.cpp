// Recordings at full speed: writing 640x480 depth (16-bit) and RGB frames
// through the recording writer against a raw sequential fwrite of the same
// bytes, and playing the file back through the reader against a raw
// sequential fread of the same file. Compare bytes_per_second of each pair.
// Files go to the system temporary directory (TMPDIR, else /tmp); with
// TMPDIR=/dev/shm the figures show the format's own cost rather than the
// disk's. BM_RecordingCrc32 compares the CRC-32 kernels with zlib's crc32.
// BM_RecordingOpenCrafted opens a crafted file (the device, its first read
// and its property list) against BM_RecordingOpenCraftedBaselineFread, a raw
// read of the same bytes; its arguments are the number of items and their
// shape: 0 property changes that each name a new module, 1 new properties of
// one module, 2 stream definitions. The ratio should stay about the same as
// the items grow ten times (opening is linear in the file's size).
#include <Tollan/src/file/Crc32.h>
#include <Tollan/src/file/RecordingReader.h>
#include <Tollan/src/file/RecordingWriter.h>

#include <Tollan/Tollan.h>

#include <benchmark/benchmark.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

using namespace tollan::recording;

constexpr uint32_t kWidth = 640;
constexpr uint32_t kHeight = 480;
constexpr uint32_t kDepthSize = kWidth * kHeight * 2;
constexpr uint32_t kImageSize = kWidth * kHeight * 3;
constexpr uint32_t kRounds = 60;  // depth + image frame pairs per file (about 92 MB)

// Frames of a scene that moves with the frame: a slanted wall with a box in
// front of it, and a colour gradient.
struct Frames {
  std::vector<std::vector<uint8_t>> depth;
  std::vector<std::vector<uint8_t>> image;

  Frames() {
    for (uint32_t n = 0; n < 4; ++n) {
      std::vector<uint8_t> d(kDepthSize);
      std::vector<uint8_t> c(kImageSize);
      for (uint32_t y = 0; y < kHeight; ++y) {
        for (uint32_t x = 0; x < kWidth; ++x) {
          const bool box = x > 200 + 10 * n && x < 400 + 10 * n && y > 150 && y < 330;
          const uint16_t mm = box ? uint16_t(900 + (x ^ y) % 7) : uint16_t(2000 + x + y / 2);
          const size_t i = size_t(y) * kWidth + x;
          d[2 * i] = uint8_t(mm);
          d[2 * i + 1] = uint8_t(mm >> 8);
          c[3 * i] = uint8_t(x + n);
          c[3 * i + 1] = uint8_t(y);
          c[3 * i + 2] = uint8_t(box ? 200 : 40);
        }
      }
      depth.push_back(std::move(d));
      image.push_back(std::move(c));
    }
  }
};

const Frames& TheFrames() {
  static const Frames frames;
  return frames;
}

// A private directory for the benchmark's files, removed at exit.
class TempDir {
 public:
  TempDir() {
    const char* base = std::getenv("TMPDIR");
    path_ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/recording-bench-XXXXXX";
    if (mkdtemp(&path_[0]) == nullptr) {
      std::perror("mkdtemp");
      std::exit(1);
    }
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string File(const char* name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

const TempDir& Dir() {
  static const TempDir dir;
  return dir;
}

bool WriteRecording(const std::string& path, Compression depthCompression) {
  const Frames& frames = TheFrames();
  RecordingWriter writer;
  uint32_t depth = 0;
  uint32_t image = 0;
  bool ok = writer.Open(path.c_str(), {{"Device", "ReadWriteMode", Value::Int(1)}}) == KR_STATUS_OK &&
            writer.AddStream({0, "Depth", "Depth", depthCompression, {}}, &depth) == KR_STATUS_OK &&
            writer.AddStream({0, "Image", "Image", Compression::kNone, {}}, &image) == KR_STATUS_OK;
  for (uint32_t n = 0; ok && n < kRounds; ++n) {
    const uint64_t time = n * 33333ull;
    ok = writer.AppendFrame({depth, n + 1, time, kDepthSize}, frames.depth[n % 4].data(), nullptr) == KR_STATUS_OK &&
         writer.AppendFrame({image, n + 1, time + 100, kImageSize}, frames.image[n % 4].data(), nullptr) == KR_STATUS_OK;
  }
  return writer.Close() == KR_STATUS_OK && ok;
}

void SetBytes(benchmark::State& state) {
  state.SetBytesProcessed(int64_t(state.iterations()) * kRounds * (kDepthSize + kImageSize));
}

// ---- writing ----

void BM_RecordingWriteBaselineFwrite(benchmark::State& state) {
  const Frames& frames = TheFrames();
  const std::string path = Dir().File("raw.bin");
  for (auto _ : state) {
    FILE* file = std::fopen(path.c_str(), "wb");
    bool ok = file != nullptr;
    for (uint32_t n = 0; ok && n < kRounds; ++n) {
      ok = std::fwrite(frames.depth[n % 4].data(), 1, kDepthSize, file) == kDepthSize &&
           std::fwrite(frames.image[n % 4].data(), 1, kImageSize, file) == kImageSize;
    }
    if (file == nullptr || std::fclose(file) != 0 || !ok) {
      state.SkipWithError("raw write failed");
      break;
    }
  }
  SetBytes(state);
}
BENCHMARK(BM_RecordingWriteBaselineFwrite)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_RecordingWrite(benchmark::State& state) {
  const std::string path = Dir().File("written.rec");
  const Compression compression = state.range(0) != 0 ? Compression::kZlib : Compression::kNone;
  for (auto _ : state) {
    if (!WriteRecording(path, compression)) {
      state.SkipWithError("recording failed");
      break;
    }
  }
  SetBytes(state);
}
BENCHMARK(BM_RecordingWrite)->ArgName("deflateDepth")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime();

// ---- playback ----

// The recording that playback reads, written once per compression.
const std::string& PlaybackFile(bool deflated) {
  static const std::string raw = Dir().File("playback.rec");
  static const std::string zlib = Dir().File("playback-deflated.rec");
  static const bool made = WriteRecording(raw, Compression::kNone) && WriteRecording(zlib, Compression::kZlib);
  static const std::string none;
  return made ? (deflated ? zlib : raw) : none;
}

// The baseline of the playback figures: the file read through with fread in
// pieces of buffer's size. False when it cannot be opened.
bool ReadThrough(const std::string& path, std::vector<uint8_t>* buffer) {
  FILE* file = path.empty() ? nullptr : std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    return false;
  }
  while (std::fread(buffer->data(), 1, buffer->size(), file) > 0) {
  }
  benchmark::DoNotOptimize(buffer->data());
  std::fclose(file);
  return true;
}

void BM_RecordingPlaybackBaselineFread(benchmark::State& state) {
  const std::string& path = PlaybackFile(false);
  std::vector<uint8_t> buffer(kDepthSize + kImageSize);
  for (auto _ : state) {
    if (!ReadThrough(path, &buffer)) {
      state.SkipWithError("no file");
      break;
    }
  }
  SetBytes(state);
}
BENCHMARK(BM_RecordingPlaybackBaselineFread)->Unit(benchmark::kMillisecond)->UseRealTime();

// Args: frame CRC checks on/off, deflated depth or raw, and the CRC-32
// kernel (0 zlib, 1 pclmulqdq, 2 vpclmulqdq, 3 vpclmulqdq256; the label
// names it). A kernel this processor lacks is reported, not measured.
void BM_RecordingPlayback(benchmark::State& state) {
  ReaderOptions options;
  options.verifyFrameData = state.range(0) != 0;
  const std::string& path = PlaybackFile(state.range(1) != 0);
  const auto kernel = static_cast<crc::Kernel>(state.range(2));
  const crc::Kernel previous = crc::InUse();
  if (!crc::UseKernel(kernel)) {
    state.SkipWithError("this processor lacks the CRC-32 kernel");
    return;
  }
  std::vector<uint8_t> buffer(kImageSize);
  for (auto _ : state) {
    RecordingReader reader;
    if (path.empty() || reader.Open(path.c_str(), options) != KR_STATUS_OK) {
      state.SkipWithError("no recording");
      break;
    }
    Item item;
    uint64_t frames = 0;
    while (reader.Next(&item) == KR_STATUS_OK) {
      if (item.kind == Item::Kind::kFrame &&
          reader.ReadFrameData(buffer.data(), uint32_t(buffer.size())) == KR_STATUS_OK) {
        ++frames;
      }
    }
    if (frames != 2 * kRounds) {
      state.SkipWithError("playback incomplete");
      break;
    }
    benchmark::DoNotOptimize(buffer.data());
  }
  crc::UseKernel(previous);
  state.SetLabel(options.verifyFrameData ? crc::Name(kernel) : "unchecked");
  SetBytes(state);
}
BENCHMARK(BM_RecordingPlayback)
    ->ArgNames({"checkCrc", "deflateDepth", "kernel"})
    ->Args({1, 0, 1})
    ->Args({1, 0, 2})
    ->Args({1, 0, 3})
    ->Args({0, 0, 0})
    ->Args({1, 1, 1})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// ---- opening a crafted file ----

// A "Depth" stream, count items of the shape, then one frame; written once
// per count and shape.
const std::string& CraftedFile(uint32_t count, int shape) {
  static std::map<std::pair<uint32_t, int>, std::string> made;
  const auto key = std::make_pair(count, shape);
  if (made.count(key) != 0) {
    return made[key];
  }
  const std::string name = "crafted-" + std::to_string(shape) + "-" + std::to_string(count) + ".rec";
  const std::string path = Dir().File(name.c_str());
  RecordingWriter writer;
  uint32_t depth = 0;
  bool ok = writer.Open(path.c_str(), {{"Device", "Gain", Value::Int(1)}}) == KR_STATUS_OK &&
            writer.AddStream({0, "Depth", "Depth", Compression::kNone, {}}, &depth) == KR_STATUS_OK;
  for (uint32_t i = 0; ok && i < count; ++i) {
    const std::string n = std::to_string(i);
    uint32_t id = 0;
    const Property change =
        shape == 0 ? Property{"M" + n, "Value", Value::Int(i)} : Property{"Device", "P" + n, Value::Int(i)};
    ok = (shape == 2 ? writer.AddStream({0, "S" + n, "IR", Compression::kNone, {}}, &id)
                     : writer.AppendPropertyChange(change)) == KR_STATUS_OK;
  }
  const uint8_t data[4] = {1, 2, 3, 4};
  ok = ok && writer.AppendFrame({depth, 1, 1000, sizeof(data)}, data, nullptr) == KR_STATUS_OK;
  ok = writer.Close() == KR_STATUS_OK && ok;
  return made[key] = ok ? path : std::string();
}

// Items and shape of the crafted files: ten times more of each shape.
void CraftedArgs(benchmark::internal::Benchmark* benchmark) {
  benchmark->ArgNames({"items", "shape"});
  for (int shape = 0; shape < 3; ++shape) {
    const int items = shape == 2 ? 1000 : 10000;  // stream definitions are larger
    benchmark->Args({items, shape});
    benchmark->Args({10 * items, shape});
  }
}

void SetCraftedBytes(benchmark::State& state, const std::string& path) {
  FILE* file = std::fopen(path.c_str(), "rb");
  long size = 0;
  if (file != nullptr && std::fseek(file, 0, SEEK_END) == 0) {
    size = std::ftell(file);
  }
  if (file != nullptr) {
    std::fclose(file);
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * size);
}

void BM_RecordingOpenCraftedBaselineFread(benchmark::State& state) {
  const std::string& path = CraftedFile(uint32_t(state.range(0)), int(state.range(1)));
  std::vector<uint8_t> buffer(1 << 20);
  for (auto _ : state) {
    if (!ReadThrough(path, &buffer)) {
      state.SkipWithError("no file");
      break;
    }
  }
  SetCraftedBytes(state, path);
}
BENCHMARK(BM_RecordingOpenCraftedBaselineFread)
    ->Apply(CraftedArgs)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

void BM_RecordingOpenCrafted(benchmark::State& state) {
  const std::string& path = CraftedFile(uint32_t(state.range(0)), int(state.range(1)));
  if (path.empty() || TollanInit(Dir().File("").c_str()) != KR_STATUS_OK) {
    state.SkipWithError("no recording");
    return;
  }
  for (auto _ : state) {
    KrDeviceConfig config{KR_DEVICE_MODE_READ, path.c_str(), nullptr, KR_DEVICE_SHARING_EXCLUSIVE};
    KrDeviceHandle device = nullptr;
    KrStreamData* record = nullptr;
    KrStreamDataSetHandle set = nullptr;
    KrPropertySetHandle all = nullptr;
    const bool ok = KrDeviceProxyCreate(&device, &config) == KR_STATUS_OK &&
                    KrDeviceProxyOpenAllStreams(device) == KR_STATUS_OK &&
                    KrDeviceProxyCreateStreamData(device, "Depth", &record) == KR_STATUS_OK &&
                    KrStreamDataSetCreate(&set) == KR_STATUS_OK && KrStreamDataSetAdd(set, record) == KR_STATUS_OK &&
                    KrDeviceProxyRead(device, set) == KR_STATUS_OK && KrPropertySetCreate(&all) == KR_STATUS_OK &&
                    KrDeviceProxyGetAllProperties(device, all, 0, nullptr) == KR_STATUS_OK;
    KrPropertySetDestroy(&all);
    KrStreamDataSetDestroy(&set);
    KrDeviceProxyDestroyStreamData(&record);
    KrDeviceProxyDestroy(&device);
    if (!ok) {
      state.SkipWithError("opening failed");
      break;
    }
  }
  TollanShutdown();
  SetCraftedBytes(state, path);
}
BENCHMARK(BM_RecordingOpenCrafted)
    ->Apply(CraftedArgs)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

// ---- the frame check ----

// CRC-32 of one 640x480 depth and image frame pair; arg: the kernel (0
// zlib, 1 pclmulqdq, 2 vpclmulqdq with AVX-512, 3 vpclmulqdq256 with AVX2).
// Unsupported kernels are skipped.
void BM_RecordingCrc32(benchmark::State& state) {
  const auto kernel = static_cast<crc::Kernel>(state.range(0));
  if (!crc::Supported(kernel)) {
    state.SkipWithError("kernel not supported here");
    return;
  }
  const Frames& frames = TheFrames();
  uint32_t crc = 0;
  for (auto _ : state) {
    crc = crc::Compute(kernel, frames.depth[0].data(), kDepthSize, crc);
    crc = crc::Compute(kernel, frames.image[0].data(), kImageSize, crc);
  }
  benchmark::DoNotOptimize(crc);
  // zlib's crc32 is what the folding kernels are measured against.
  state.SetLabel(kernel == crc::Kernel::kZlib ? std::string(crc::Name(kernel)) + " (baseline)" : crc::Name(kernel));
  state.SetBytesProcessed(int64_t(state.iterations()) * (kDepthSize + kImageSize));
}
BENCHMARK(BM_RecordingCrc32)->ArgName("kernel")->DenseRange(0, 3);

}  // namespace
