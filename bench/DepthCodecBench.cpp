// Lossless depth compression on the simulated sensor's noisy scene, side by
// side in one run: our depth codec (DepthCodec.h) against the baselines
// raw (memcpy), zlib (deflate at its fastest level, the format's version 1
// codec), Zstandard level 1 and LZ4 on the raw bytes, and RVL (A. D. Wilson,
// "Fast Lossless Depth Image Compression", ISS 2017), written here from the
// paper's description. Ratios of time are against RVL (the labelled
// baseline); the counters give each codec's size as a fraction of the raw
// frame ("ratio") and of RVL's ("vs_rvl"). Frames: 64 consecutive 640x480
// noisy depth frames, encoded and decoded in turn.
//
// BM_RecordingCodecWrite / BM_RecordingCodecPlayback record and play the
// same noisy depth and image frames through the recording writer and reader,
// raw (the labelled baseline) and with compression, with frame checks on.
// Playback runs twice: from the system's cache (the reader's own speed) and
// from the disk (argument cold: the file's cached pages are dropped before
// each pass, so the reads wait for the disk as a long recording's would).
#include <Tollan/src/file/FrameCodec.h>
#include <Tollan/src/file/RecordingReader.h>
#include <Tollan/src/file/RecordingWriter.h>
#include <Tollan/src/sensor/SceneRenderer.h>

#include <benchmark/benchmark.h>
#include <lz4.h>
#include <zlib.h>
#include <zstd.h>

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace tollan;
using namespace tollan::recording;

constexpr uint32_t kWidth = 640, kHeight = 480, kPixels = kWidth * kHeight;
constexpr uint32_t kDepthBytes = kPixels * 2, kImageBytes = kPixels * 3;
constexpr uint32_t kFrames = 64;

struct NoisyFrames {
  std::vector<std::vector<uint16_t>> depth;
  std::vector<std::vector<uint8_t>> image;
  NoisyFrames() {
    const sensor::DepthTables tables{sensor::ShiftParams()};
    sensor::SceneRenderer depthRenderer, imageRenderer;
    sensor::RenderParams params;
    params.noise.enabled = true;
    sensor::RenderParams colour = params;
    colour.kind = sensor::StreamKind::kImage;
    colour.outputFormat = KR_OUTPUT_FORMAT_RGB24;
    for (uint32_t n = 1; n <= kFrames; ++n) {
      std::vector<uint16_t> d(kPixels);
      std::vector<uint8_t> c(kImageBytes);
      uint32_t size = 0;
      if (depthRenderer.Render(params, &tables, n, d.data(), kDepthBytes, &size) != KR_STATUS_OK ||
          imageRenderer.Render(colour, nullptr, n, c.data(), kImageBytes, &size) != KR_STATUS_OK) {
        std::fprintf(stderr, "rendering failed\n");
        std::exit(1);
      }
      depth.push_back(std::move(d));
      image.push_back(std::move(c));
    }
  }
};

const NoisyFrames& Frames() {
  static const NoisyFrames frames;
  return frames;
}

// ---- RVL, after the paper: runs of zero pixels and of non-zero pixels,
// each length and each zig-zagged delta of a non-zero pixel from the previous
// one written as variable-length nibbles (3 value bits and a continuation
// bit), packed eight to a 32-bit word, most significant nibble first.

class RvlWriter {
 public:
  explicit RvlWriter(int32_t* out) : out_(out), start_(out) {}
  void Put(uint32_t value) {
    do {
      uint32_t nibble = value & 7;
      value >>= 3;
      if (value != 0) nibble |= 8;
      word_ = (word_ << 4) | nibble;
      if (++nibbles_ == 8) {
        *out_++ = int32_t(word_);
        nibbles_ = 0;
        word_ = 0;
      }
    } while (value != 0);
  }
  size_t Finish() {
    if (nibbles_ != 0) *out_++ = int32_t(word_ << (4 * (8 - nibbles_)));
    return size_t(out_ - start_) * sizeof(int32_t);
  }

 private:
  int32_t* out_;
  int32_t* start_;
  uint32_t word_ = 0;
  int nibbles_ = 0;
};

size_t RvlCompress(const uint16_t* in, uint32_t count, int32_t* out) {
  RvlWriter writer(out);
  const uint16_t* end = in + count;
  int previous = 0;
  while (in != end) {
    uint32_t zeros = 0, nonzeros = 0;
    for (; in != end && *in == 0; ++in) ++zeros;
    writer.Put(zeros);
    for (const uint16_t* p = in; p != end && *p != 0; ++p) ++nonzeros;
    writer.Put(nonzeros);
    for (uint32_t i = 0; i < nonzeros; ++i) {
      const int current = *in++;
      const int delta = current - previous;
      writer.Put(uint32_t((delta << 1) ^ (delta >> 31)));
      previous = current;
    }
  }
  return writer.Finish();
}

class RvlReader {
 public:
  explicit RvlReader(const int32_t* in) : in_(in) {}
  uint32_t Get() {
    uint32_t value = 0, nibble;
    int bits = 29;
    do {
      if (nibbles_ == 0) {
        word_ = uint32_t(*in_++);
        nibbles_ = 8;
      }
      nibble = word_ & 0xF0000000u;
      value |= (nibble << 1) >> bits;
      word_ <<= 4;
      --nibbles_;
      bits -= 3;
    } while (nibble & 0x80000000u);
    return value;
  }

 private:
  const int32_t* in_;
  uint32_t word_ = 0;
  int nibbles_ = 0;
};

void RvlDecompress(const int32_t* in, uint16_t* out, uint32_t count) {
  RvlReader reader(in);
  int previous = 0;
  int64_t left = count;
  while (left > 0) {
    uint32_t zeros = reader.Get();
    left -= zeros;
    for (; zeros != 0; --zeros) *out++ = 0;
    uint32_t nonzeros = reader.Get();
    left -= nonzeros;
    for (; nonzeros != 0; --nonzeros) {
      const uint32_t positive = reader.Get();
      const int current = previous + int((positive >> 1) ^ (0u - (positive & 1)));
      *out++ = uint16_t(current);
      previous = current;
    }
  }
}

// ---- the codecs under test, one row each ----

enum Method { kRvl = 0, kRaw, kZlib, kZstd1, kLz4, kOurs };
const char* const kMethodNames[] = {"rvl (baseline)", "raw memcpy", "zlib level 1", "zstd level 1", "lz4",
                                    "depth codec"};

struct Encoded {
  std::vector<std::vector<uint8_t>> frames;
  size_t bytes = 0;
};

// Every frame encoded with one method; also the check that it round-trips.
class Codecs {
 public:
  size_t Encode(Method method, const uint16_t* in, std::vector<uint8_t>* out) {
    switch (method) {
      case kRvl: {
        out->resize(kDepthBytes * 2 + 64);
        return Fit(out, RvlCompress(in, kPixels, reinterpret_cast<int32_t*>(out->data())));
      }
      case kRaw:
        out->resize(kDepthBytes);
        std::memcpy(out->data(), in, kDepthBytes);
        return kDepthBytes;
      case kZlib:
        return codec_.Encode(Codec::kZlib, in, kDepthBytes, kWidth, out) ? out->size() : 0;
      case kZstd1:
        return codec_.Encode(Codec::kZstd, in, kDepthBytes, kWidth, out) ? out->size() : 0;
      case kLz4:
        return codec_.Encode(Codec::kLz4, in, kDepthBytes, kWidth, out) ? out->size() : 0;
      case kOurs:
        return codec_.Encode(Codec::kDepth, in, kDepthBytes, kWidth, out) ? out->size() : 0;
    }
    return 0;
  }
  bool Decode(Method method, const std::vector<uint8_t>& in, uint16_t* out) {
    switch (method) {
      case kRvl:
        RvlDecompress(reinterpret_cast<const int32_t*>(in.data()), out, kPixels);
        return true;
      case kRaw:
        std::memcpy(out, in.data(), kDepthBytes);
        return true;
      case kZlib:
        return codec_.Decode(Codec::kZlib, in.data(), in.size(), out, kDepthBytes) == DecodeStatus::kOk;
      case kZstd1:
        return codec_.Decode(Codec::kZstd, in.data(), in.size(), out, kDepthBytes) == DecodeStatus::kOk;
      case kLz4:
        return codec_.Decode(Codec::kLz4, in.data(), in.size(), out, kDepthBytes) == DecodeStatus::kOk;
      case kOurs:
        return codec_.Decode(Codec::kDepth, in.data(), in.size(), out, kDepthBytes) == DecodeStatus::kOk;
    }
    return false;
  }

 private:
  static size_t Fit(std::vector<uint8_t>* out, size_t size) {
    out->resize(size + 4);  // RVL's reader may look at one word past the last
    return size;
  }
  FrameCodec codec_;
};

const Encoded& EncodedFrames(Method method) {
  static Encoded encoded[kOurs + 1];
  static bool made[kOurs + 1] = {};
  if (!made[method]) {
    Codecs codecs;
    std::vector<uint16_t> back(kPixels);
    for (const auto& frame : Frames().depth) {
      std::vector<uint8_t> out;
      const size_t size = codecs.Encode(method, frame.data(), &out);
      if (size == 0 || !codecs.Decode(method, out, back.data()) || back != frame) {
        std::fprintf(stderr, "%s does not round-trip\n", kMethodNames[method]);
        std::exit(1);
      }
      encoded[method].bytes += size;
      encoded[method].frames.push_back(std::move(out));
    }
    made[method] = true;
  }
  return encoded[method];
}

void SetCounters(benchmark::State& state, Method method) {
  const double bytes = double(EncodedFrames(method).bytes);
  state.counters["ratio"] = bytes / (double(kDepthBytes) * kFrames);
  state.counters["vs_rvl"] = bytes / double(EncodedFrames(kRvl).bytes);
  state.SetLabel(kMethodNames[method]);
  state.SetBytesProcessed(int64_t(state.iterations()) * kDepthBytes);
}

void BM_DepthEncode(benchmark::State& state) {
  const Method method = Method(state.range(0));
  Codecs codecs;
  std::vector<uint8_t> out;
  uint32_t n = 0;
  EncodedFrames(method);  // frames rendered and checked before timing
  for (auto _ : state) {
    benchmark::DoNotOptimize(codecs.Encode(method, Frames().depth[n++ % kFrames].data(), &out));
  }
  SetCounters(state, method);
}
BENCHMARK(BM_DepthEncode)->ArgName("codec")->DenseRange(kRvl, kOurs)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_DepthDecode(benchmark::State& state) {
  const Method method = Method(state.range(0));
  const Encoded& encoded = EncodedFrames(method);
  Codecs codecs;
  std::vector<uint16_t> out(kPixels);
  uint32_t n = 0;
  for (auto _ : state) {
    if (!codecs.Decode(method, encoded.frames[n++ % kFrames], out.data())) {
      state.SkipWithError("decode failed");
      break;
    }
    benchmark::DoNotOptimize(out.data());
  }
  SetCounters(state, method);
}
BENCHMARK(BM_DepthDecode)->ArgName("codec")->DenseRange(kRvl, kOurs)->Unit(benchmark::kMicrosecond)->UseRealTime();

// ---- recording with compression ----

std::string TempPath(const char* name) {
  const char* base = std::getenv("TMPDIR");
  return std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/" + name + "-" +
         std::to_string(getpid()) + ".rec";
}

// Arg: 0 raw; 1 depth codec for depth, image raw; 2 depth codec, LZ4 image.
bool WriteNoisy(const std::string& path, int64_t mode) {
  RecordingWriter writer;
  uint32_t depth = 0, image = 0;
  const Compression depthCodec = mode == 0 ? Compression::kNone : Compression::kDepth;
  const Compression imageCodec = mode == 2 ? Compression::kLz4 : Compression::kNone;
  bool ok = writer.Open(path.c_str(), {{"Device", "ReadWriteMode", Value::Int(1)}}) == KR_STATUS_OK &&
            writer.AddStream({0, "Depth", "Depth", depthCodec, {{"Depth", "XRes", Value::Int(kWidth)}}}, &depth) ==
                KR_STATUS_OK &&
            writer.AddStream({0, "Image", "Image", imageCodec, {}}, &image) == KR_STATUS_OK;
  for (uint32_t n = 0; ok && n < kFrames; ++n) {
    ok = writer.AppendFrame({depth, n + 1, n * 33333ull, kDepthBytes}, Frames().depth[n].data(), nullptr) == KR_STATUS_OK &&
         writer.AppendFrame({image, n + 1, n * 33333ull, kImageBytes}, Frames().image[n].data(), nullptr) == KR_STATUS_OK;
  }
  return writer.Close() == KR_STATUS_OK && ok;
}

const char* const kRecordingModes[] = {"raw (baseline)", "depth codec, image raw", "depth codec, image lz4"};

void BM_RecordingCodecWrite(benchmark::State& state) {
  const std::string path = TempPath("codec-write");
  for (auto _ : state) {
    if (!WriteNoisy(path, state.range(0))) {
      state.SkipWithError("recording failed");
      break;
    }
  }
  FILE* file = std::fopen(path.c_str(), "rb");
  if (file != nullptr) {
    std::fseek(file, 0, SEEK_END);
    state.counters["file_ratio"] = double(std::ftell(file)) / (double(kDepthBytes + kImageBytes) * kFrames);
    std::fclose(file);
  }
  std::remove(path.c_str());
  state.SetLabel(kRecordingModes[state.range(0)]);
  state.SetBytesProcessed(int64_t(state.iterations()) * kFrames * (kDepthBytes + kImageBytes));
}
BENCHMARK(BM_RecordingCodecWrite)->ArgName("mode")->DenseRange(0, 2)->Unit(benchmark::kMillisecond)->UseRealTime();

// Writes the file's pages out and drops them from the system's cache, outside
// the timing.
bool DropCachedPages(benchmark::State& state, const std::string& path) {
  state.PauseTiming();
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  const bool dropped =
      fd >= 0 && fdatasync(fd) == 0 && posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED) == 0 && close(fd) == 0;
  if (fd >= 0 && !dropped) {
    close(fd);
  }
  state.ResumeTiming();
  return dropped;
}

void BM_RecordingCodecPlayback(benchmark::State& state) {
  const std::string path = TempPath("codec-play");
  if (!WriteNoisy(path, state.range(0))) {
    state.SkipWithError("recording failed");
    return;
  }
  std::vector<uint8_t> buffer(kImageBytes);
  const bool cold = state.range(1) != 0;
  for (auto _ : state) {
    if (cold && !DropCachedPages(state, path)) {
      state.SkipWithError("could not drop the file's cached pages");
      break;
    }
    RecordingReader reader;
    if (reader.Open(path.c_str(), ReaderOptions()) != KR_STATUS_OK) {
      state.SkipWithError("no recording");
      break;
    }
    Item item;
    uint32_t frames = 0;
    while (reader.Next(&item) == KR_STATUS_OK) {
      if (item.kind == Item::Kind::kFrame &&
          reader.ReadFrameData(buffer.data(), uint32_t(buffer.size())) == KR_STATUS_OK) {
        ++frames;
      }
    }
    if (frames != 2 * kFrames) {
      state.SkipWithError("playback incomplete");
      break;
    }
  }
  std::remove(path.c_str());
  state.SetLabel(std::string(kRecordingModes[state.range(0)]) + (cold ? ", from disk" : ", from cache"));
  state.SetBytesProcessed(int64_t(state.iterations()) * kFrames * (kDepthBytes + kImageBytes));
}
BENCHMARK(BM_RecordingCodecPlayback)
    ->ArgNames({"mode", "cold"})
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace
