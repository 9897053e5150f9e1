// The 1st, 2nd, ... kit call of each operation fails in turn: each run reports the injected status (or
// passes the call over), releases all it made, and leaves the object able to close and be created again.
#include "DeviceTestSupport.h"

#include <algorithm>
#include <functional>
#include <memory>

namespace device_test {
namespace {

// Passed over: the "ReadWriteMode" hint, an unregistration (it goes with the kit device anyway), and a
// frame object's own stream handle (the second module check in a row: it stays unbound).
bool IsPassedOver(const std::vector<JournalEntry>& journal, size_t i) {
  const JournalEntry& entry = journal[i];
  return (entry.call == "KrDeviceProxyGetIntProperty" && entry.args.back() == "ReadWriteMode") ||
         entry.call == "KrDeviceProxyUnregisterFromStreamsChange" ||
         (entry.call == "KrDeviceProxyDoesModuleExist" && i > 0 && journal[i - 1].call == entry.call &&
          journal[i - 1].args == entry.args);
}

size_t Made(const std::vector<JournalEntry>& journal, const char* call) {
  return static_cast<size_t>(std::count_if(journal.begin(), journal.end(), [&](const JournalEntry& entry) {
    return entry.call == call && entry.injected == KR_STATUS_OK;
  }));
}

class FaultSweep : public DeviceTest {
 public:
  struct Case {
    const char* name;
    // Strict: every failure comes back unless IsPassedOver; else (typed frame objects go on without
    // properties they cannot read) success or the injected status.
    bool strict;
    std::function<void(FaultSweep&)> prepare;
    std::function<KrStatus(FaultSweep&)> run;
  };
  void SetUp() override {
    DeviceTest::SetUp();
    // "sweep": two streams with plain frame objects; "camera": one of each known type. Every read is new.
    Script sweep = CameraScript().IntProperty("Device", "ReadWriteMode", 0).Stream("Custom", "A").Stream("Custom", "B");
    Script camera =
        CameraScript().Stream("Depth", "Depth").Stream("Image", "Image").Stream("IR", "IR").Stream("Audio", "Audio");
    ASSERT_EQ(DefineScript("sweep", sweep.Generator(Frames)), KR_STATUS_OK);
    ASSERT_EQ(DefineScript("camera", camera.Generator(Frames)), KR_STATUS_OK);
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
  static bool Frames(const std::string&, uint64_t readIndex, ScriptFrame* frame) {
    frame->data = FrameBytes(static_cast<uint8_t>(readIndex));
    frame->timestamp = (readIndex + 1) * 100;
    frame->frameId = static_cast<uint32_t>(readIndex + 1);
    return true;
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
    SCOPED_TRACE(sweepCase.name);
    for (uint64_t n = 1; n < 400; ++n) {
      SCOPED_TRACE("failing kit call " + std::to_string(n));
      device.reset(new KrVDevice());
      source.reset(new KrVDevice());
      Journal();
      sweepCase.prepare(*this);
      ResetCallCount();
      FailNthCall(n);
      const KrStatus status = sweepCase.run(*this);
      const bool injected = GetInjectedFailureCount() > 0;
      ClearFailures();
      std::vector<JournalEntry> journal = GetJournal();
      const auto failed = std::find_if(journal.begin(), journal.end(),
                                       [](const JournalEntry& entry) { return entry.injected != KR_STATUS_OK; });
      if (!injected) {
        EXPECT_EQ(status, KR_STATUS_OK);
      } else if (status == KR_STATUS_OK) {
        EXPECT_TRUE(!sweepCase.strict || IsPassedOver(journal, static_cast<size_t>(failed - journal.begin())))
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
      journal = GetJournal();
      EXPECT_EQ(Made(journal, "KrDeviceProxyCreate") + Made(journal, "KrDeviceProxyCreateDeviceByName") +
                    Made(journal, "KrDeviceProxyCreateDeviceByINIFile"),
                Made(journal, "KrDeviceProxyDestroy"));
      EXPECT_EQ(Made(journal, "KrDeviceProxyCreateStreamData"), Made(journal, "KrDeviceProxyDestroyStreamData"));
      EXPECT_EQ(Made(journal, "KrStreamDataSetCreate"), Made(journal, "KrStreamDataSetDestroy"));
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
      {"CreateByConnectionString", true, Nothing, [](FaultSweep& t) { return Create(*t.device, "sweep"); }},
      {"CreateSensor", true, Nothing, [](FaultSweep& t) { return t.device->CreateSensor("*:0", nullptr, 0); }},
      {"OpenSensor", true, Nothing, [](FaultSweep& t) { return t.device->OpenSensor("*:1", t.values, 0); }},
      {"CreateFromINI", true, Nothing,
       [](FaultSweep& t) { return t.device->CreateFromINI(t.ini.c_str(), "Sweep", nullptr); }},
      {"OpenDeviceFromINI", true, Nothing,
       [](FaultSweep& t) { return t.device->OpenDeviceFromINI(t.ini.c_str(), "Sweep", nullptr); }},
      {"Create with typed frame objects", false, Nothing, [](FaultSweep& t) { return Create(*t.device, "camera"); }},
      {"CreateFileDevice for writing", true, Nothing,
       [](FaultSweep& t) {
         return t.device->CreateFileDevice(t.written.c_str(), KR_DEVICE_MODE_WRITE, &t.fileValues);
       }},
      {"OpenFileForWriting", true, Nothing,
       [](FaultSweep& t) { return t.device->OpenFileForWriting(t.written.c_str(), t.fileValues); }},
      // A recording's streams are typed.
      {"CreateFileDevice for reading", false, Nothing,
       [](FaultSweep& t) { return t.device->CreateFileDevice(t.recording.c_str(), KR_DEVICE_MODE_READ, nullptr); }},
      {"OpenFileForReading", false, Nothing,
       [](FaultSweep& t) { return t.device->OpenFileForReading(t.recording.c_str()); }},
      {"Read", true, OpenSweep, [](FaultSweep& t) { return t.device->Read(); }},
      {"Read one stream", true, OpenSweep, [](FaultSweep& t) { return t.device->Read("B"); }},
      {"Read with typed frame objects", false, OpenCamera, [](FaultSweep& t) { return t.device->Read(); }},
      {"Write", true, OpenForWriting, [](FaultSweep& t) { return t.device->Write(); }},
      {"Write one stream", true, OpenForWriting, [](FaultSweep& t) { return t.device->Write("A"); }},
      {"CopyFrom", true, OpenSourceAndTarget, [](FaultSweep& t) { return t.device->CopyFrom(*t.source); }},
      {"Close", true, OpenSweep, [](FaultSweep& t) { return t.device->Close(); }},
      {"Close with typed frame objects", false, OpenCamera, [](FaultSweep& t) { return t.device->Close(); }},
  };
  for (const Case& sweepCase : cases) {
    Sweep(sweepCase);
  }
}

}  // namespace
}  // namespace device_test
