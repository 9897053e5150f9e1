// Sweeps: each kit call of each operation fails in turn; geometry changes run every path touching the buffer.
#include "DeviceTestSupport.h"

#include <functional>

namespace device_test {
namespace {

// Passed over: the "ReadWriteMode" hint, an unregistration, a frame object's own stream (a repeated module check).
bool IsPassedOver(const std::vector<JournalEntry>& journal, size_t i) {
  const JournalEntry& entry = journal[i];
  return (entry.call == "KrDeviceProxyGetIntProperty" && entry.args.back() == "ReadWriteMode") ||
         entry.call == "KrDeviceProxyUnregisterFromStreamsChange" ||
         (entry.call == "KrDeviceProxyDoesModuleExist" && i > 0 && journal[i - 1].call == entry.call &&
          journal[i - 1].args == entry.args);
}

class FaultSweep : public DeviceTest {
 public:
  // {name, strict (every failure comes back unless passed over; else, typed frame objects: success too), prepare, run}
  using Case = std::tuple<const char*, bool, std::function<void(FaultSweep&)>, std::function<KrStatus(FaultSweep&)>>;
  void SetUp() override {
    DeviceTest::SetUp();
    // "sweep": two streams with plain frame objects; "camera": one of each known type. Every read is new.
    Script sweep = CameraScript().IntProperty("Device", "ReadWriteMode", 0).Stream("Custom", "A").Stream("Custom", "B");
    Script camera =
        CameraScript().Stream("Depth", "Depth").Stream("Image", "Image").Stream("IR", "IR").Stream("Audio", "Audio");
    ASSERT_EQ(DefineScript("sweep", sweep.Generator(EveryRead)), KR_STATUS_OK);
    ASSERT_EQ(DefineScript("camera", camera.Generator(EveryRead)), KR_STATUS_OK);
    ini = Write("sweep.ini", "[Sweep]\nKind=Scripted\nConnection=sweep\nDevice.Mirror=1\n");
    recording = directory_ + "/sweep.rec";
    written = directory_ + "/written.rec";
    fileValues.AddProperty("Device", "Gain", 1.5);
    // A recording of a depth and an audio stream, one frame each.
    KrVDevice writer;
    KrVPropertySet initial;
    ASSERT_EQ(writer.OpenFileForWriting(recording.c_str(), initial), KR_STATUS_OK);
    for (const char* type : {"Depth", "Audio"}) {
      KrVPropertySet stream;
      stream.AddProperty(type, "RequiredDataSize", uint64_t{kFrameBytes});
      ASSERT_EQ(writer.AddStream(type, type, &stream), KR_STATUS_OK);
      KrVStream handle;
      ASSERT_EQ(writer.GetStream(type, handle), KR_STATUS_OK);
      ASSERT_EQ(handle.CopyFrom(FrameBytes(3).data(), kFrameBytes, 10), KR_STATUS_OK);
    }
    ASSERT_EQ(writer.Write(), KR_STATUS_OK);
    ASSERT_EQ(writer.Close(), KR_STATUS_OK);
  }
  static KrStatus Create(KrVDevice& target, const char* script, KrDeviceMode mode = KR_DEVICE_MODE_READ) {
    std::string connection = std::string("scripted:") + script;
    return target.CreateByConnectionString(&connection[0], mode, nullptr, KR_DEVICE_SHARING_EXCLUSIVE);
  }
  static void CreateOpen(KrVDevice& target, const char* script, KrDeviceMode mode = KR_DEVICE_MODE_READ) {
    ASSERT_EQ(Create(target, script, mode), KR_STATUS_OK);
    ASSERT_EQ(target.OpenAllStreams(), KR_STATUS_OK);
  }
  void Sweep(const Case& sweepCase) {
    const auto& [name, strict, prepare, run] = sweepCase;
    SCOPED_TRACE(name);
    for (uint64_t n = 1; n < 400; ++n) {
      SCOPED_TRACE("failing kit call " + std::to_string(n));
      device.reset(new KrVDevice());
      source.reset(new KrVDevice());
      Journal();
      prepare(*this);
      ResetCallCount();
      FailNthCall(n);
      const KrStatus status = run(*this);
      const bool injected = GetInjectedFailureCount() > 0;
      ClearFailures();
      const std::vector<JournalEntry> journal = GetJournal();
      const auto failed = std::find_if(journal.begin(), journal.end(),
                                       [](const JournalEntry& entry) { return entry.injected != KR_STATUS_OK; });
      if (!injected) {
        EXPECT_EQ(status, KR_STATUS_OK);
      } else if (status == KR_STATUS_OK) {
        EXPECT_TRUE(!strict || IsPassedOver(journal, static_cast<size_t>(failed - journal.begin())))
            << "passed over: " << failed->call;
      } else {
        EXPECT_EQ(status, KR_STATUS_TL_INJECTED_FAILURE) << "failed: " << failed->call;
        EXPECT_EQ(device->GetLastStatus(), status);
      }
      EXPECT_EQ(device->Close(), KR_STATUS_OK);
      CreateOpen(*device, "sweep");
      EXPECT_EQ(device->Read(), KR_STATUS_OK);
      EXPECT_EQ(device->Close(), KR_STATUS_OK);
      EXPECT_EQ(source->Close(), KR_STATUS_OK);
      EXPECT_EQ(Made("KrDeviceProxyCreate") + Made("KrDeviceProxyCreateDeviceByName") +
                    Made("KrDeviceProxyCreateDeviceByINIFile"),
                Made("KrDeviceProxyDestroy"));
      EXPECT_EQ(Made("KrDeviceProxyCreateStreamData"), Made("KrDeviceProxyDestroyStreamData"));
      EXPECT_EQ(Made("KrStreamDataSetCreate"), Made("KrStreamDataSetDestroy"));
      if (HasFailure() || !injected) {
        EXPECT_GT(n, 1u) << "no kit call to fail";
        return;
      }
    }
    ADD_FAILURE() << "the operation never got through";
  }
  std::unique_ptr<KrVDevice> device, source;
  std::string ini, recording, written;
  KrVPropertySet values;
  KrVPropertySet fileValues;  // initial values of the files written
};

void Nothing(FaultSweep&) {}
void OpenSweep(FaultSweep& t) { FaultSweep::CreateOpen(*t.device, "sweep"); }
void OpenCamera(FaultSweep& t) { FaultSweep::CreateOpen(*t.device, "camera"); }
void OpenForWriting(FaultSweep& t) {
  FaultSweep::CreateOpen(*t.device, "sweep", KR_DEVICE_MODE_WRITE);
  KrVStream a;
  ASSERT_EQ(t.device->GetStream("A", a), KR_STATUS_OK);
  ASSERT_EQ(a.CopyFrom(DeviceTest::FrameBytes(5).data(), DeviceTest::kFrameBytes, 55), KR_STATUS_OK);
}
void OpenSourceAndTarget(FaultSweep& t) {
  FaultSweep::CreateOpen(*t.source, "sweep");
  ASSERT_EQ(t.source->Read(), KR_STATUS_OK);
  FaultSweep::CreateOpen(*t.device, "sweep", KR_DEVICE_MODE_WRITE);
}

TEST_F(FaultSweep, EveryKitCallOfEveryOperationFailsInTurn) {
  const Case cases[] = {
      {"CreateByConnectionString", true, Nothing, [](auto& t) { return Create(*t.device, "sweep"); }},
      {"CreateSensor", true, Nothing, [](auto& t) { return t.device->CreateSensor("*:0", nullptr, 0); }},
      {"OpenSensor", true, Nothing, [](auto& t) { return t.device->OpenSensor("*:1", t.values, 0); }},
      {"CreateFromINI", true, Nothing,
       [](auto& t) { return t.device->CreateFromINI(t.ini.c_str(), "Sweep", nullptr); }},
      {"OpenDeviceFromINI", true, Nothing,
       [](auto& t) { return t.device->OpenDeviceFromINI(t.ini.c_str(), "Sweep", nullptr); }},
      {"Create with typed frame objects", false, Nothing, [](auto& t) { return Create(*t.device, "camera"); }},
      {"CreateFileDevice for writing", true, Nothing,
       [](auto& t) { return t.device->CreateFileDevice(t.written.c_str(), KR_DEVICE_MODE_WRITE, &t.fileValues); }},
      {"OpenFileForWriting", true, Nothing,
       [](auto& t) { return t.device->OpenFileForWriting(t.written.c_str(), t.fileValues); }},
      // A recording's streams are typed.
      {"CreateFileDevice for reading", false, Nothing,
       [](auto& t) { return t.device->CreateFileDevice(t.recording.c_str(), KR_DEVICE_MODE_READ, nullptr); }},
      {"OpenFileForReading", false, Nothing, [](auto& t) { return t.device->OpenFileForReading(t.recording.c_str()); }},
      {"Read", true, OpenSweep, [](auto& t) { return t.device->Read(); }},
      {"Read one stream", true, OpenSweep, [](auto& t) { return t.device->Read("B"); }},
      {"Read with typed frame objects", false, OpenCamera, [](auto& t) { return t.device->Read(); }},
      {"Write", true, OpenForWriting, [](auto& t) { return t.device->Write(); }},
      {"Write one stream", true, OpenForWriting, [](auto& t) { return t.device->Write("A"); }},
      {"CopyFrom", true, OpenSourceAndTarget, [](auto& t) { return t.device->CopyFrom(*t.source); }},
      {"Close", true, OpenSweep, [](auto& t) { return t.device->Close(); }},
      {"Close with typed frame objects", false, OpenCamera, [](auto& t) { return t.device->Close(); }},
  };
  for (const Case& sweepCase : cases) {
    Sweep(sweepCase);
  }
}

using Settings = std::vector<std::pair<const char*, uint64_t>>;

enum class Kind { kSensor, kScripted, kFileWrite };

// Pixel streams: columns, rows, bytes per pixel; audio: sample rate, channels, bytes a sample.
struct Geometry {
  uint64_t a, b, c;
};

struct Change {
  const char* type;
  const char* what;
  const char* sensorProperty;  // the simulated sensor derives the rest
  uint64_t sensorBefore, sensorAfter;
  Geometry before, after;  // told directly to scripted devices and recordings being written
};

const Change kChanges[] = {
    {"Depth", "resolution up", "Resolution", 0, 1, {4, 2, 2}, {8, 6, 2}},
    {"Depth", "resolution down", "Resolution", 1, 0, {8, 6, 2}, {4, 2, 2}},
    {"Depth", "output format", "OutputFormat", 1, 0, {4, 2, 2}, {4, 2, 1}},
    {"Image", "resolution up", "Resolution", 0, 1, {4, 2, 3}, {8, 6, 3}},
    {"Image", "resolution down", "Resolution", 1, 0, {8, 6, 3}, {4, 2, 3}},
    {"Image", "bytes per pixel down", "OutputFormat", 5, 4, {4, 2, 3}, {4, 2, 1}},
    {"Image", "bytes per pixel up", "OutputFormat", 4, 5, {4, 2, 1}, {4, 2, 3}},
    {"IR", "resolution up", "Resolution", 0, 1, {4, 2, 2}, {8, 6, 2}},
    {"IR", "output format", "OutputFormat", 4, 8, {4, 2, 1}, {4, 2, 2}},
    {"Audio", "sample rate up", "SampleRate", 8000, 48000, {8000, 2, 2}, {48000, 2, 2}},
    {"Audio", "sample rate down", "SampleRate", 48000, 8000, {48000, 2, 2}, {8000, 2, 2}},
    {"Audio", "channels", "NumOfChannels", 1, 2, {48000, 1, 2}, {48000, 2, 2}},
};

bool Is(const char* type, const char* expected) { return std::strcmp(type, expected) == 0; }

uint64_t Bytes(const char* type, const Geometry& g) {
  return Is(type, "Audio") ? g.a / 100 * g.b * g.c : g.a * g.b * g.c;
}

// What a device without derived properties is told.
Settings PlainSettings(const char* type, const Geometry& g) {
  if (Is(type, "Audio")) {
    return {{"SampleRate", g.a}, {"NumOfChannels", g.b}, {"RequiredDataSize", Bytes(type, g)}};  // 10 ms
  }
  return {{"XRes", g.a}, {"YRes", g.b}, {"BytesPerPixel", g.c}, {"RequiredDataSize", Bytes(type, g)}};
}

class GeometryChangeSweepTest : public DeviceTest {
 protected:
  KrStatus Create(KrVDevice& device, Kind kind) const {
    if (kind == Kind::kSensor) {
      return device.CreateSensor("*:0", nullptr, KR_DEVICE_SHARING_EXCLUSIVE);
    }
    if (kind == Kind::kFileWrite) {
      return device.CreateFileDevice((directory_ + "/sweep.rec").c_str(), KR_DEVICE_MODE_WRITE, nullptr);
    }
    tollan::testing::Script script;
    for (const char* type : {"Depth", "Image", "IR", "Audio"}) {
      script.SupportedType(type);
      for (const char* property :
           {"XRes", "YRes", "BytesPerPixel", "RequiredDataSize", "SampleRate", "NumOfChannels"}) {
        script.TypeProperty(type, property, tollan::testing::ScriptValue::Int(0));
      }
    }
    return CreateScripted(device, script);
  }
  // The larger of the stream's capacity now and before: buffers grow to every capacity asked, never shrink.
  static uint32_t Held(KrVDevice& device, const char* name, uint32_t before) {
    KrVStream stream;
    uint32_t capacity = 0;
    if (device.GetStream(name, stream) != KR_STATUS_OK || stream.GetBufferAllocatedSize(capacity) != KR_STATUS_OK) {
      capacity = 0;
    }
    return capacity > before ? capacity : before;
  }
  // The bytes behind "Buffer" must hold what the stream's frame object shows.
  static void ExpectViewWithinCapacity(KrVDevice& device, const char* type, uint32_t before = 0) {
    const uint32_t capacity = Held(device, type, before);
    if (Is(type, "Audio")) {
      EXPECT_LE(device.GetAudioBuffer()->GetBufferAllocatedSize(), capacity);
      return;
    }
    const KrVMatrix& matrix = Is(type, "Depth") ? static_cast<const KrVMatrix&>(device.GetDepthMap()->GetMatrix())
                              : Is(type, "IR")  ? device.GetIRMap()->GetMatrix()
                                                : device.GetImageMap()->GetMatrix();
    EXPECT_LE(uint64_t{matrix.GetXRes()} * matrix.GetYRes() * matrix.GetContainer().GetElSize(), capacity);
  }
  // Every path that copies into, reads from or views the stream's buffer.
  static void RunBufferPaths(KrVDevice& device, const char* type, uint32_t before) {
    KrVStream stream;
    ASSERT_EQ(device.GetStream(type, stream), KR_STATUS_OK);
    uint32_t capacity = 0;
    ASSERT_EQ(stream.GetBufferAllocatedSize(capacity), KR_STATUS_OK);
    std::vector<uint8_t> frame(capacity + 1, 0x5A);
    if (stream.CopyFrom(frame.data(), capacity, 7) == KR_STATUS_OK) {
      void* buffer = nullptr;
      ASSERT_EQ(stream.GetBuffer(buffer), KR_STATUS_OK);
      EXPECT_EQ(std::memcmp(buffer, frame.data(), capacity), 0);
    }
    EXPECT_EQ(stream.CopyFrom(frame.data(), capacity + 1, 7), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
    device.Write(type, reinterpret_cast<const char*>(frame.data()), capacity, 8);
    ExpectViewWithinCapacity(device, type, before);
    device.Read();
    device.Write();
    ExpectViewWithinCapacity(device, type, before);
    if (Is(type, "Depth")) {
      KrVDepthMap& map = *device.GetDepthMap();
      const KrVDepthMatrix& matrix = map.GetMatrix();
      if (matrix.GetXRes() > 0 && matrix.GetYRes() > 0) {
        map(matrix.GetXRes() - 1, matrix.GetYRes() - 1) = 1234;
      }
      KrVDepthMap sharing(map);
      map.Clone(sharing);
      KrVPointContainer points(16);
      map.ConvertToRealWorld(points);
      map.ConvertToRealWorld(0, 0, map.GetXRes(), map.GetYRes(), points);
      if (map.GetRealWorldTranslator() != nullptr) {
        KrVPoint point{1.0f, 1.0f, 1000.0f};
        map.GetRealWorldTranslator()->Projective2RW(point);
      }
      CloneWriteAndClear(device, map);
    } else if (Is(type, "Audio")) {
      CloneWriteAndClear(device, *device.GetAudioBuffer());
    } else {
      KrVImageMap& map = *(Is(type, "IR") ? device.GetIRMap() : device.GetImageMap());
      const KrVImageMatrix& matrix = map.GetMatrix();
      if (matrix.GetXRes() > 0 && matrix.GetYRes() > 0) {
        map[static_cast<int>(uint32_t{matrix.GetXRes()} * matrix.GetYRes() - 1)] = 0xEE;
      }
      CloneWriteAndClear(device, map);
    }
  }
  template <typename Map>
  static void CloneWriteAndClear(KrVDevice& device, Map& map) {
    Map copy;
    map.Clone(copy);
    copy.Clear();
    device.Write(map, 9);
    map.Clear();
  }
};

TEST_F(GeometryChangeSweepTest, EveryBufferPathStaysInsideTheBufferHeld) {
  for (const Change& change : kChanges) {
    for (Kind kind : {Kind::kSensor, Kind::kScripted, Kind::kFileWrite}) {
      for (int compatibility : {0, 1}) {
        for (bool closeFirst : {false, true}) {
          SCOPED_TRACE(std::string(change.type) + " " + change.what + ", kind " +
                       std::to_string(static_cast<int>(kind)) + ", compatibility " + std::to_string(compatibility) +
                       ", closed first " + std::to_string(closeFirst));
          KrVDevice device(compatibility);
          ASSERT_EQ(Create(device, kind), KR_STATUS_OK);
          const bool sensor = kind == Kind::kSensor;
          const Settings after =
              sensor ? Settings{{change.sensorProperty, change.sensorAfter}} : PlainSettings(change.type, change.after);
          // The changed stream, and another one read while it is closed.
          const char* other = Is(change.type, "Depth") ? "Image" : "Depth";
          KrVPropertySet initial;
          KrVPropertySet otherValues;
          for (const auto& setting : sensor ? Settings{{change.sensorProperty, change.sensorBefore}}
                                            : PlainSettings(change.type, change.before)) {
            initial.AddProperty(change.type, setting.first, setting.second);
          }
          for (const auto& setting : sensor ? Settings{} : PlainSettings(other, {4, 2, 2})) {
            otherValues.AddProperty(other, setting.first, setting.second);
          }
          ASSERT_EQ(device.AddStream(change.type, change.type, &initial), KR_STATUS_OK);
          ASSERT_EQ(device.AddStream(other, other, &otherValues), KR_STATUS_OK);
          device.OpenAllStreams();
          device.Read();
          const uint32_t heldBefore = Held(device, change.type, 0);
          uint32_t asked = heldBefore;
          if (closeFirst) {
            device.CloseStream(change.type);
          }
          // A sensor refuses geometry changes of an open stream.
          for (const auto& setting : after) {
            if (device.SetProperty(change.type, setting.first, setting.second) != KR_STATUS_OK) {
              break;
            }
            asked = Held(device, change.type, asked);
          }
          if (closeFirst) {
            // The change took effect: a larger frame asked for a larger buffer.
            if (Bytes(change.type, change.after) > Bytes(change.type, change.before)) {
              EXPECT_GE(asked, sensor ? uint64_t{heldBefore} + 1 : Bytes(change.type, change.after));
            }
            // Every path right after the change, and again once a read of the other stream re-published it.
            RunBufferPaths(device, change.type, asked);
            device.Read();
            ExpectViewWithinCapacity(device, change.type, asked);
            device.OpenStream(change.type);
          }
          ExpectViewWithinCapacity(device, change.type, asked);
          RunBufferPaths(device, change.type, asked);
          if (HasFatalFailure()) {
            return;
          }
        }
      }
    }
  }
}

}  // namespace
}  // namespace device_test
