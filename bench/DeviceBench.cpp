// What the engine adds to a read: KrVDevice::Read against KrDeviceProxyRead
// alone, on the same kit device (an unpaced simulated sensor with four open
// streams at their defaults: depth, image and IR at 640x480, audio).
//
// Both figures run the same session: a KrVDevice made on the sensor with
// its four streams mirrored (per-stream modules, frame objects), and a kit
// stream-data set of four records of the same streams. Baseline (argument
// 0): KrDeviceProxyRead of that set on the device's kit device. Figure
// (argument 1): KrVDevice::Read, which reads the device's own set and then
// publishes every record to its stream's properties and frame object. The
// aim: the figure's time per read within 5% of the baseline's.
//
// A second pair shows the engine's own cost per read apart from the frames:
// the same two reads on a scripted device whose four streams deliver 16-byte
// frames, so that the kit's part is nearly nothing.
#include <Ovalith/Ovalith.h>
#include <Tollan/TollanTesting.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <unistd.h>

namespace {

const char* const kStreamTypes[] = {"Depth", "Image", "IR", "Audio"};
constexpr int kStreams = 4;

// The kit started unpaced, a created device with four open streams, and a
// second set of records on its kit device; everything goes again at the end.
class ReadSession {
 public:
  // scripted: a scripted device with tiny frames instead of the sensor.
  explicit ReadSession(bool scripted) {
    char pattern[] = "/tmp/device-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
      return;
    }
    directory_ = pattern;
    std::ofstream(directory_ + "/Tollan.ini") << "[Tollan]\nPaced=0\n";
    if (KrVDevice::EngineInit(nullptr, directory_.c_str()) != KR_STATUS_OK) {
      return;
    }
    started_ = true;
    if (!(scripted ? CreateScripted() : CreateSensor())) {
      return;
    }
    if (device.OpenAllStreams() != KR_STATUS_OK) {
      return;
    }
    kitDevice = KitDeviceOf(device);
    if (kitDevice == nullptr || KrStreamDataSetCreate(&set) != KR_STATUS_OK) {
      return;
    }
    for (int i = 0; i < kStreams; ++i) {
      if (KrDeviceProxyCreateStreamData(kitDevice, kStreamTypes[i], &records_[i]) != KR_STATUS_OK ||
          KrStreamDataSetAdd(set, records_[i]) != KR_STATUS_OK) {
        return;
      }
    }
    ready = true;
  }

  ~ReadSession() {
    for (KrStreamData*& record : records_) {
      if (record != nullptr) {
        KrDeviceProxyDestroyStreamData(&record);
      }
    }
    if (set != nullptr) {
      KrStreamDataSetDestroy(&set);
    }
    device.Close();
    if (started_) {
      KrVDevice::EngineShutdown();
    }
    if (!directory_.empty()) {
      std::remove((directory_ + "/Tollan.ini").c_str());
      rmdir(directory_.c_str());
    }
  }

  ReadSession(const ReadSession&) = delete;
  ReadSession& operator=(const ReadSession&) = delete;

  KrVDevice device;
  KrDeviceHandle kitDevice = nullptr;
  KrStreamDataSetHandle set = nullptr;
  bool ready = false;

 private:
  // The device keeps its kit handle to itself; the kit's journal shows it.
  static KrDeviceHandle KitDeviceOf(KrVDevice& device) {
    tollan::testing::EnableJournal(true);
    tollan::testing::ClearJournal();
    int exists = 0;
    device.DoesModuleExist("Device", &exists);
    const std::vector<tollan::testing::JournalEntry> journal = tollan::testing::GetJournal();
    tollan::testing::EnableJournal(false);
    tollan::testing::ClearJournal();
    return journal.empty() ? nullptr : journal.back().device;
  }

  bool CreateSensor() {
    if (device.CreateSensor("*:0", nullptr, KR_DEVICE_SHARING_EXCLUSIVE) != KR_STATUS_OK) {
      return false;
    }
    for (const char* type : kStreamTypes) {
      if (device.AddStream(type, type, nullptr) != KR_STATUS_OK) {
        return false;
      }
    }
    return true;
  }

  bool CreateScripted() {
    tollan::testing::Script script;
    for (const char* type : kStreamTypes) {
      script.Stream(type, type)
          .TypeProperty(type, "XRes", tollan::testing::ScriptValue::Int(4))
          .TypeProperty(type, "YRes", tollan::testing::ScriptValue::Int(2))
          .TypeProperty(type, "RequiredDataSize", tollan::testing::ScriptValue::Int(16));
    }
    script.Generator([](const std::string&, uint64_t readIndex, tollan::testing::ScriptFrame* frame) {
      frame->data.assign(16, static_cast<uint8_t>(readIndex));
      frame->timestamp = readIndex * 1000;
      frame->frameId = static_cast<uint32_t>(readIndex + 1);
      return true;
    });
    if (tollan::testing::DefineScript("device-bench", script) != KR_STATUS_OK) {
      return false;
    }
    char connection[] = "scripted:device-bench";
    return device.CreateByConnectionString(connection, KR_DEVICE_MODE_READ, nullptr, KR_DEVICE_SHARING_EXCLUSIVE) ==
           KR_STATUS_OK;
  }

  std::string directory_;
  bool started_ = false;
  KrStreamData* records_[kStreams] = {};
};

// Reads through the engine (argument 1) or the kit alone (argument 0).
void RunReads(benchmark::State& state, ReadSession& session) {
  if (!session.ready) {
    state.SkipWithError("the device did not open");
    return;
  }
  const bool engine = state.range(0) != 0;
  for (auto _ : state) {
    const KrStatus status = engine ? session.device.Read() : KrDeviceProxyRead(session.kitDevice, session.set);
    if (status != KR_STATUS_OK) {
      state.SkipWithError("read failed");
      break;
    }
  }
  if (engine) {
    benchmark::DoNotOptimize(session.device.GetDepthMap()->Data());
  }
  state.SetLabel(engine ? "KrVDevice::Read" : "KrDeviceProxyRead (baseline)");
}

void BM_DeviceRead(benchmark::State& state) {
  ReadSession session(false);
  RunReads(state, session);
}
BENCHMARK(BM_DeviceRead)->Arg(0)->Arg(1)->UseRealTime()->Unit(benchmark::kMicrosecond);

void BM_DeviceReadTinyFrames(benchmark::State& state) {
  ReadSession session(true);
  RunReads(state, session);
}
BENCHMARK(BM_DeviceReadTinyFrames)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond);

}  // namespace
