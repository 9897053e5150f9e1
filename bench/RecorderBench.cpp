// What the device recorder adds to writing a recording: KrVDeviceRecorder::
// WriteData against the kit's "File" device written directly, on the same
// frames in the same run.
//
// The source is an unpaced simulated sensor with a 640x480 depth stream
// (16-bit) and a 640x480 RGB image stream, read once so that both hold a new
// frame. Every iteration records that frame pair:
//   argument 0: KrDeviceProxyWrite of kit records that already hold the
//               frames (the file write alone: CRC-32 and fwrite);
//   argument 1: the direct writer: copy each frame from the source into the
//               kit record, fill its fields, KrDeviceProxyWrite (baseline);
//   argument 2: KrVDeviceRecorder::WriteData (copy through the write
//               device's streams, then KrVDevice::Write).
// The aim: argument 2 within 10% of argument 1. The files are started afresh
// every kRotate frame pairs, outside the timing, to keep them small.
//
// BM_RecorderCompression: whole recordings of kRotate frame pairs through
// KrVDeviceRecorder into a file on disk (TMPDIR, else /tmp), from
// StartRecording to StopRecording (which waits for the last frame and writes
// the index), raw (the labelled baseline) against "Compression" choices.
// "reader_us" is what each WriteData costs the application's reading thread
// (per frame pair); the time per iteration gives the overall throughput,
// encoder threads included. durable:1 makes the file durable as a recorder
// that must not lose data would: fdatasync after every 8 frame pairs and at
// the end, so the disk, not the page cache, takes the bytes.
#include <Ovalith/Ovalith.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

const char* const kStreams[] = {"Depth", "Image"};
constexpr int kStreamCount = 2;
constexpr int64_t kRotate = 64;  // frame pairs per file (about 98 MB)

// The kit started unpaced and a sensor whose depth and image streams both
// hold a new frame; everything goes at the end.
class Source {
 public:
  Source() {
    const char* base = std::getenv("TMPDIR");
    directory_ = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/recorder-bench-XXXXXX";
    if (mkdtemp(&directory_[0]) == nullptr) {
      directory_.clear();
      return;
    }
    std::ofstream(directory_ + "/Tollan.ini") << "[Tollan]\nPaced=0\n";
    if (KrVDevice::EngineInit(nullptr, directory_.c_str()) != KR_STATUS_OK) {
      return;
    }
    started_ = true;
    if (device.CreateSensor("*:0", nullptr, KR_DEVICE_SHARING_EXCLUSIVE) != KR_STATUS_OK) {
      return;
    }
    for (const char* stream : kStreams) {
      if (device.AddStream(stream, stream, nullptr) != KR_STATUS_OK) {
        return;
      }
    }
    if (device.OpenAllStreams() != KR_STATUS_OK) {
      return;
    }
    // Unpaced, a read may bring one stream's frame only; read until one
    // brings both.
    for (int read = 0; read < 100 && !ready; ++read) {
      if (device.Read() != KR_STATUS_OK) {
        return;
      }
      ready = IsNew("Depth") && IsNew("Image");
    }
  }
  ~Source() {
    device.Close();
    if (started_) {
      KrVDevice::EngineShutdown();
    }
    if (!directory_.empty()) {
      std::remove(File().c_str());
      std::remove((directory_ + "/Tollan.ini").c_str());
      rmdir(directory_.c_str());
    }
  }
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;

  std::string File() const { return directory_ + "/bench.rec"; }

  KrVDevice device;
  bool ready = false;

 private:
  bool IsNew(const char* stream) {
    uint64_t isNew = 0;
    return device.GetProperty(stream, "IsNew", isNew) == KR_STATUS_OK && isNew == 1;
  }

  std::string directory_;
  bool started_ = false;
};

// A kit "File" device written directly, its streams made with the source's
// values (as the recorder makes them) and one record per stream.
class DirectWriter {
 public:
  DirectWriter(KrVDevice& source, const std::string& path) {
    KrVPropertySet deviceValues;
    if (source.GetAllProperties(deviceValues, 1, nullptr) != KR_STATUS_OK) {
      return;
    }
    const KrDeviceConfig config{KR_DEVICE_MODE_WRITE, path.c_str(), deviceValues.GetHandle(),
                                KR_DEVICE_SHARING_EXCLUSIVE};
    if (KrDeviceProxyCreate(&device_, &config) != KR_STATUS_OK || KrStreamDataSetCreate(&set_) != KR_STATUS_OK) {
      return;
    }
    for (int i = 0; i < kStreamCount; ++i) {
      KrVPropertySet values;
      if (source.GetAllProperties(values, kStreams[i]) != KR_STATUS_OK ||
          KrDeviceProxyCreateStream(device_, kStreams[i], kStreams[i], values.GetHandle()) != KR_STATUS_OK ||
          KrDeviceProxyCreateStreamData(device_, kStreams[i], &records_[i]) != KR_STATUS_OK ||
          KrStreamDataSetAdd(set_, records_[i]) != KR_STATUS_OK) {
        return;
      }
    }
    ready = true;
  }
  ~DirectWriter() {
    if (set_ != nullptr) {
      KrStreamDataSetDestroy(&set_);
    }
    for (KrStreamData*& record : records_) {
      if (record != nullptr) {
        KrDeviceProxyDestroyStreamData(&record);
      }
    }
    if (device_ != nullptr) {
      KrDeviceProxyDestroy(&device_);
    }
  }
  DirectWriter(const DirectWriter&) = delete;
  DirectWriter& operator=(const DirectWriter&) = delete;

  // Copies the source's current frames into the records.
  bool Fill(KrVDevice& source) {
    for (int i = 0; i < kStreamCount; ++i) {
      KrVStream stream;
      void* data = nullptr;
      uint32_t size = 0;
      uint64_t timestamp = 0;
      uint64_t frameId = 0;
      if (source.GetStream(kStreams[i], stream) != KR_STATUS_OK || stream.GetBuffer(data) != KR_STATUS_OK ||
          stream.GetBufferSize(size) != KR_STATUS_OK || stream.GetProperty("Timestamp", timestamp) != KR_STATUS_OK ||
          stream.GetProperty("FrameId", frameId) != KR_STATUS_OK) {
        return false;
      }
      std::memcpy(records_[i]->pData, data, size);
      records_[i]->nDataSize = size;
      records_[i]->nTimestamp = timestamp;
      records_[i]->nFrameID = static_cast<uint32_t>(frameId);
      records_[i]->bIsNew = 1;
    }
    return true;
  }
  KrStatus Write() { return KrDeviceProxyWrite(device_, set_); }

  bool ready = false;

 private:
  KrDeviceHandle device_ = nullptr;
  KrStreamDataSetHandle set_ = nullptr;
  KrStreamData* records_[kStreamCount] = {};
};

// Makes the source's frame pair a new one (frame id n): the recorder skips a
// frame it has written already, so without this it would write only the
// first pair of each file. Both writers that read the source pay for it.
bool Renumber(Source& source, int64_t n) {
  for (const char* stream : kStreams) {
    if (source.device.SetProperty(stream, "FrameId", uint64_t(n)) != KR_STATUS_OK) {
      return false;
    }
  }
  return true;
}

void RunDirect(benchmark::State& state, Source& source, bool copy) {
  DirectWriter* writer = nullptr;
  int64_t written = 0;
  for (auto _ : state) {
    if (written % kRotate == 0) {
      state.PauseTiming();
      delete writer;
      std::remove(source.File().c_str());
      writer = new DirectWriter(source.device, source.File());
      const bool ready = writer->ready && writer->Fill(source.device);
      state.ResumeTiming();
      if (!ready) {
        state.SkipWithError("the file device did not open");
        break;
      }
    }
    if ((copy && (!Renumber(source, written + 1) || !writer->Fill(source.device))) || writer->Write() != KR_STATUS_OK) {
      state.SkipWithError("write failed");
      break;
    }
    ++written;
  }
  delete writer;
  state.SetLabel(copy ? "copy + KrDeviceProxyWrite (baseline)" : "KrDeviceProxyWrite of filled records");
}

void RunRecorder(benchmark::State& state, Source& source) {
  KrVDeviceRecorder recorder(&source.device, source.File().c_str());
  int64_t written = 0;
  for (auto _ : state) {
    if (written % kRotate == 0) {
      state.PauseTiming();
      recorder.StopRecording();
      std::remove(source.File().c_str());
      const KrStatus started = recorder.StartRecording(1);
      state.ResumeTiming();
      if (started != KR_STATUS_OK) {
        state.SkipWithError("the recording did not start");
        break;
      }
    }
    if (!Renumber(source, written + 1) || recorder.WriteData() != KR_STATUS_OK) {
      state.SkipWithError("WriteData failed");
      break;
    }
    ++written;
  }
  recorder.StopRecording();
  state.SetLabel("KrVDeviceRecorder::WriteData");
}

void BM_RecorderWriteData(benchmark::State& state) {
  Source source;
  if (!source.ready) {
    state.SkipWithError("the sensor did not deliver depth and image");
    return;
  }
  if (state.range(0) == 2) {
    RunRecorder(state, source);
  } else {
    RunDirect(state, source, state.range(0) == 1);
  }
  state.SetBytesProcessed(state.iterations() * int64_t{640 * 480 * (2 + 3)});
}
BENCHMARK(BM_RecorderWriteData)->Arg(0)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMicrosecond);

const char* const kCompressionChoices[] = {"", "depth=depth", "depth=depth,image=lz4"};
const char* const kCompressionLabels[] = {"raw (baseline)", "depth codec, image raw", "depth codec, image lz4"};

void BM_RecorderCompression(benchmark::State& state) {
  Source source;
  if (!source.ready) {
    state.SkipWithError("the sensor did not deliver depth and image");
    return;
  }
  const int64_t mode = state.range(0);
  const bool durable = state.range(1) != 0;
  double readerSeconds = 0;
  double fileBytes = 0;
  for (auto _ : state) {
    std::remove(source.File().c_str());
    KrVDeviceRecorder recorder(&source.device, source.File().c_str());
    if (recorder.StartRecording(1) != KR_STATUS_OK ||
        (mode != 0 &&
         recorder.GetWriteDevice()->SetProperty("Device", "Compression", kCompressionChoices[mode]) != KR_STATUS_OK)) {
      state.SkipWithError("the recording did not start");
      break;
    }
    const int fd = durable ? open(source.File().c_str(), O_RDONLY | O_CLOEXEC) : -1;
    bool ok = !durable || fd >= 0;
    for (int64_t pair = 0; ok && pair < kRotate; ++pair) {
      ok = ok && Renumber(source, pair + 1);
      const auto start = std::chrono::steady_clock::now();
      ok = recorder.WriteData() == KR_STATUS_OK;
      readerSeconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
      if (durable && pair % 8 == 7) {
        ok = ok && fdatasync(fd) == 0;
      }
    }
    ok = recorder.StopRecording() == KR_STATUS_OK && ok;
    if (durable) {
      ok = ok && fdatasync(fd) == 0;
      close(fd);
    }
    if (!ok) {
      state.SkipWithError("recording failed");
      break;
    }
    FILE* file = std::fopen(source.File().c_str(), "rb");
    if (file != nullptr) {
      std::fseek(file, 0, SEEK_END);
      fileBytes = double(std::ftell(file));
      std::fclose(file);
    }
  }
  const double pairs = double(state.iterations()) * double(kRotate);
  state.counters["reader_us"] = pairs > 0 ? readerSeconds * 1e6 / pairs : 0;
  state.counters["file_ratio"] = fileBytes / (double(kRotate) * 640 * 480 * (2 + 3));
  state.SetLabel(std::string(kCompressionLabels[mode]) + (durable ? ", durable" : ""));
  state.SetBytesProcessed(state.iterations() * kRotate * int64_t{640 * 480 * (2 + 3)});
}
BENCHMARK(BM_RecorderCompression)
    ->ArgNames({"mode", "durable"})
    ->ArgsProduct({{0, 1, 2}, {0, 1}})
    ->Iterations(4)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace
