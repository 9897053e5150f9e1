// The device recorder, checked by playing its recordings back, and the limits of a write device.
#include "DeviceTestSupport.h"

#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <thread>

namespace device_test {
namespace {

// Lets a test call the event operations directly.
class ExposedRecorder : public KrVDeviceRecorder {
 public:
  using KrVDeviceRecorder::KrVDeviceRecorder;
  using KrVDeviceRecorder::OnModulePropertyChanged;
};

const char* const kRecorderSource = "Infrastructure/KrVDeviceRecorder";

class RecorderTest : public DeviceTest {
 public:
  std::string File() const { return directory_ + "/session.rec"; }
  void TearDown() override {
    recorder.reset();
    DeviceTest::TearDown();
  }
  void Start(int recordAllStreams = 1) {
    recorder = std::make_unique<ExposedRecorder>(&source, File().c_str());
    ASSERT_EQ(recorder->StartRecording(recordAllStreams), KR_STATUS_OK);
  }
  // Reads the source n times, recording each read twice (the second write adds nothing).
  void ReadAndRecord(int n) {
    for (int i = 0; i < n; ++i) {
      EXPECT_EQ(source.Read(), KR_STATUS_OK);
      EXPECT_EQ(recorder->WriteData(), KR_STATUS_OK);
      EXPECT_EQ(recorder->WriteData(), KR_STATUS_OK);
      TakeNewFrames(source, recorded);
    }
  }
  // A registration left behind by a destroyed recorder would call into freed memory here.
  void RaiseEveryChange() {
    KrVPropertySet set;
    ASSERT_EQ(source.GetAllProperties(set, nullptr), KR_STATUS_OK);
    KrVPropertySetEnumerator properties(set, nullptr);
    const KrDeviceHandle kit = KitHandleOf(source);
    bool end = false;
    while (properties.MoveNext(&end) == KR_STATUS_OK && !end) {
      KrPropertyType type;
      const char* module = nullptr;
      const char* property = nullptr;
      ASSERT_EQ(properties.GetCurrentPropertyInfo(&type, &module, &property), KR_STATUS_OK);
      RaisePropertyChanged(kit, module, property);
    }
  }
  KrVDevice source;
  std::unique_ptr<ExposedRecorder> recorder;
  Frames recorded;
};

TEST_F(RecorderTest, RecordsStreamsValuesAndLaterChangesAtTheirPlace) {
  OpenSensor(source, {"Depth", "Image", "Audio"});
  ASSERT_EQ(source.SetProperty("Depth", "MaxDepthValue", uint64_t{6000}), KR_STATUS_OK);
  Start();
  ReadAndRecord(3);
  ASSERT_EQ(recorded.size(), 3u);  // every stream
  LogCapture log(kRecorderSource);
  // "MaxShift" also makes the general "S2D" table shorter.
  ASSERT_EQ(source.SetProperty("Depth", "MaxDepthValue", uint64_t{7000}), KR_STATUS_OK);
  ASSERT_EQ(source.SetProperty("Depth", "LDDIS", 8.25), KR_STATUS_OK);
  ASSERT_EQ(source.SetProperty("Device", "PrimaryStream", "Depth"), KR_STATUS_OK);
  ASSERT_EQ(source.SetProperty("Depth", "MaxShift", uint64_t{1023}), KR_STATUS_OK);
  std::vector<uint8_t> shiftToDepth(2048);
  ASSERT_EQ(source.GetProperty("Depth", "S2D", KrGeneralBuffer{shiftToDepth.data(), 2048}), KR_STATUS_OK);
  ASSERT_EQ(source.AddStream("IR", "IR", nullptr), KR_STATUS_OK);
  ASSERT_EQ(source.OpenStream("IR"), KR_STATUS_OK);
  ReadAndRecord(3);
  ASSERT_EQ(recorder->StopRecording(), KR_STATUS_OK);
  EXPECT_EQ(log.lines, std::vector<std::string>{});
  KrVDevice player;
  EXPECT_EQ(PlayBack(File(), &player), recorded);
  EXPECT_EQ(ValueOf(player, "Depth", "MaxDepthValue"), 7000u);
  EXPECT_EQ(ValueOf<double>(player, "Depth", "LDDIS"), 8.25);
  EXPECT_EQ(TextOf(player, "Device", "PrimaryStream"), "Depth");
  std::vector<uint8_t> played(2048);
  EXPECT_EQ(player.GetProperty("Depth", "S2D", KrGeneralBuffer{played.data(), 2048}), KR_STATUS_OK);
  EXPECT_EQ(played, shiftToDepth);
  EXPECT_EQ(ValueOf(player, "IR", "XRes"), 640u);
  // The first frame has the values from before the changes.
  ASSERT_EQ(player.SeekFrame(1), KR_STATUS_OK);
  EXPECT_EQ(ValueOf(player, "Depth", "MaxDepthValue"), 6000u);
  EXPECT_EQ(ValueOf(player, "Depth", "MaxShift"), 2047u);
  EXPECT_EQ(player.SeekFrame(1000), KR_STATUS_TL_FRAME_NOT_FOUND);
  EXPECT_EQ(player.GetLastStatus(), KR_STATUS_TL_FRAME_NOT_FOUND);
}

TEST_F(RecorderTest, RemovedStreamsNoLongerRecordTheirChanges) {
  OpenSensor(source, {"Depth", "Image"});
  Start();
  LogCapture log(kRecorderSource);
  ASSERT_EQ(recorder->RemoveStream("Image"), KR_STATUS_OK);
  ASSERT_EQ(source.SetProperty("Image", "Quality", uint64_t{50}), KR_STATUS_OK);  // not repeated: nothing logged
  ASSERT_EQ(recorder->AddStream("Image"), KR_STATUS_OK);                          // its watch was dropped whole
  // The source removes a stream and adds it again: the second recording of it starts clean.
  ASSERT_EQ(source.RemoveStream("Depth"), KR_STATUS_OK);
  uint64_t gone = 0;
  EXPECT_NE(recorder->GetWriteDevice()->GetProperty("Depth", "MaxDepthValue", gone), KR_STATUS_OK);
  ASSERT_EQ(source.AddStream("Depth", "Depth", nullptr), KR_STATUS_OK);
  ASSERT_EQ(source.SetProperty("Depth", "MaxDepthValue", uint64_t{4000}), KR_STATUS_OK);
  EXPECT_EQ(ValueOf(*recorder->GetWriteDevice(), "Depth", "MaxDepthValue"), 4000u);
  EXPECT_EQ(log.lines, std::vector<std::string>{});
}

TEST_F(RecorderTest, RecordingOnlyChosenStreams) {
  OpenSensor(source, {"Depth"});
  Start(0);
  KrVDevice& written = *recorder->GetWriteDevice();
  char type[KR_MAX_NAME_LENGTH] = {};
  EXPECT_NE(written.GetProperty("Depth", "Type", type), KR_STATUS_OK);  // none yet
  ASSERT_EQ(recorder->AddStream("Depth"), KR_STATUS_OK);
  EXPECT_NE(recorder->AddStream("Depth"), KR_STATUS_OK);
  ASSERT_EQ(source.AddStream("Image", "Image", nullptr), KR_STATUS_OK);  // not followed
  EXPECT_NE(written.GetProperty("Image", "Type", type), KR_STATUS_OK);
  LogCapture log(kRecorderSource);
  ASSERT_EQ(source.RemoveStream("Image"), KR_STATUS_OK);  // still repeated: fails on the file, logged
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0].rfind("2 [DeviceRecorder] Failed to remove stream: ", 0), 0u) << log.lines[0];
  ReadAndRecord(3);  // the first AddStream stays
  ASSERT_EQ(recorder->StopRecording(), KR_STATUS_OK);
  EXPECT_EQ(PlayBack(File()), recorded);
}

TEST_F(RecorderTest, StartStopRestartAndAnIndexThatCannotBeWritten) {
  OpenSensor(source, {"Depth"});
  {
    KrVDeviceRecorder idle(&source, File().c_str());
    for (KrStatus status : {idle.AddStream("Depth"), idle.RemoveStream("Depth"), idle.WriteData()}) {
      EXPECT_EQ(status, KR_STATUS_QM_NOT_INITIALIZED);
    }
    EXPECT_EQ(idle.StopRecording(), KR_STATUS_OK);
    KrVDeviceRecorder unwritable(&source, (directory_ + "/missing/session.rec").c_str());
    EXPECT_EQ(unwritable.StartRecording(1), KR_STATUS_TL_FILE_OPEN_FAILED);
    EXPECT_EQ(unwritable.GetWriteDevice(), nullptr);
  }
  RaiseEveryChange();  // the failed start left no registration behind
  Start();
  EXPECT_EQ(recorder->StartRecording(1), KR_STATUS_OS_ERROR);  // already recording
  ReadAndRecord(2);
  ASSERT_EQ(recorder->StopRecording(), KR_STATUS_OK);
  // A stopped recorder starts again; the new recording replaces the file.
  ASSERT_EQ(recorder->StartRecording(1), KR_STATUS_OK);
  recorded.clear();
  ReadAndRecord(3);
  recorder.reset();  // destroying a recording recorder stops it
  EXPECT_EQ(PlayBack(File()), recorded);
  // The file may not grow any more: its index and trailer cannot follow, the stop fails, the file still plays.
  recorded.clear();
  Start();
  ReadAndRecord(3);
  struct stat written {};
  ASSERT_EQ(stat(File().c_str(), &written), 0);
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
  const struct rlimit limited = {static_cast<rlim_t>(written.st_size), saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  const KrStatus stopped = recorder->StopRecording();
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
  EXPECT_EQ(stopped, KR_STATUS_TL_FILE_WRITE_FAILED);
  EXPECT_STREQ(recorder->GetWriteFailure(), "the index");
  EXPECT_EQ(recorder->GetWriteError(), EFBIG);
  EXPECT_EQ(recorder->GetWriteDevice(), nullptr);  // stopped all the same
  EXPECT_EQ(recorder->StopRecording(), KR_STATUS_OK);
  struct stat closed {};
  ASSERT_EQ(stat(File().c_str(), &closed), 0);
  EXPECT_EQ(closed.st_size, written.st_size);
  EXPECT_EQ(PlayBack(File()), recorded);  // found by scanning
}

// Compressed frames are queued: a frame lost to a full disk is reported by the flush that meets it, by name and with
// the system's reason; once there is room the recording goes on, and the stop closes the file with its index.
TEST_F(RecorderTest, ACompressedRecordingResumesAfterAFullDiskAndStopsClean) {
  OpenSensor(source, {"Depth"});
  Start();
  ASSERT_EQ(recorder->GetWriteDevice()->SetProperty("Device", "Compression", "depth=zstd"), KR_STATUS_OK);
  ReadAndRecord(2);
  ASSERT_EQ(recorder->Flush(1), KR_STATUS_OK);  // into the file, and the file to the disk
  uint64_t inFile = 0, taken = 0;
  ASSERT_EQ(recorder->GetWriteDevice()->GetProperty("Depth", "FramesWritten", inFile), KR_STATUS_OK);
  ASSERT_EQ(recorder->GetWriteDevice()->GetProperty("Depth", "FramesTaken", taken), KR_STATUS_OK);
  EXPECT_EQ(inFile, 2u);
  EXPECT_EQ(taken, 2u);
  struct stat written {};
  ASSERT_EQ(stat(File().c_str(), &written), 0);
  struct rlimit saved {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  void (*previous)(int) = signal(SIGXFSZ, SIG_IGN);
  const struct rlimit limited = {static_cast<rlim_t>(written.st_size), saved.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  ASSERT_EQ(source.Read(), KR_STATUS_OK);
  const KrStatus queued = recorder->WriteData();
  const KrStatus flushed = recorder->Flush(0);
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, previous);
  EXPECT_EQ(queued, KR_STATUS_OK);  // only queued
  EXPECT_EQ(flushed, KR_STATUS_TL_FILE_WRITE_FAILED);
  EXPECT_STREQ(recorder->GetWriteFailure(), "frame 3 of stream Depth");
  EXPECT_EQ(recorder->GetWriteError(), EFBIG);
  ReadAndRecord(2);
  // Twice more, with the loss left for the next write to report: that write still records its own frame, whether
  // the application reads on (the frame is not lost) or writes again first (it is not recorded twice).
  for (const bool writeAgain : {false, true}) {
    SCOPED_TRACE(writeAgain ? "written again" : "read on");
    ASSERT_EQ(recorder->Flush(0), KR_STATUS_OK);
    ASSERT_EQ(stat(File().c_str(), &written), 0);
    const struct rlimit full = {static_cast<rlim_t>(written.st_size), saved.rlim_max};
    signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &full), 0);
    ASSERT_EQ(source.Read(), KR_STATUS_OK);
    EXPECT_EQ(recorder->WriteData(), KR_STATUS_OK);
    uint64_t waiting = 1;
    for (int wait = 0; wait < 5000 && waiting != 0; ++wait) {
      ASSERT_EQ(recorder->GetWriteDevice()->GetProperty("Device", "FramesQueued", waiting), KR_STATUS_OK);
      usleep(1000);
    }
    ASSERT_EQ(waiting, 0u) << "the encoder never wrote the queued frame";
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, previous);
    ASSERT_EQ(source.Read(), KR_STATUS_OK);
    EXPECT_EQ(recorder->WriteData(), KR_STATUS_TL_FILE_WRITE_FAILED);
    EXPECT_STREQ(recorder->GetWriteFailure(), writeAgain ? "frame 9 of stream Depth" : "frame 6 of stream Depth");
    if (writeAgain) {
      EXPECT_EQ(recorder->WriteData(), KR_STATUS_OK);
    }
    TakeNewFrames(source, recorded);
    ReadAndRecord(1);
  }
  EXPECT_EQ(recorder->StopRecording(), KR_STATUS_OK);
  EXPECT_EQ(PlayBack(File()), recorded);
  KrVDevice file;
  ASSERT_EQ(file.OpenFileForReading(File().c_str()), KR_STATUS_OK);
  uint64_t complete = 0;
  ASSERT_EQ(file.GetProperty("Device", "Complete", complete), KR_STATUS_OK);
  EXPECT_EQ(complete, 1u);
  // What the writing device counted is not part of the recording.
  for (const char* count : {"FramesWritten", "FramesTaken"}) {
    uint64_t value = 0;
    EXPECT_NE(file.GetProperty("Depth", count, value), KR_STATUS_OK) << count;
  }
}

// Records and the write device's buffer grow with "RequiredDataSize"; a source closed first lets the stop finish.
TEST_F(RecorderTest, FramesThatGrowAndASourceClosedFirst) {
  OpenSensor(source, {"Image"});
  Start();
  ReadAndRecord(1);
  ASSERT_EQ(source.CloseStream("Image"), KR_STATUS_OK);
  ASSERT_EQ(source.SetProperty("Image", "FPS", uint64_t{15}), KR_STATUS_OK);
  ASSERT_EQ(source.SetProperty("Image", "Resolution", uint64_t{2}), KR_STATUS_OK);
  ASSERT_EQ(source.OpenStream("Image"), KR_STATUS_OK);
  ReadAndRecord(1);
  ASSERT_EQ(std::get<0>(recorded["Image"].back()).size(), 1280u * 1024u * 3u);
  ASSERT_EQ(source.Close(), KR_STATUS_OK);
  EXPECT_EQ(recorder->StopRecording(), KR_STATUS_OK);
  EXPECT_EQ(recorder->GetWriteDevice(), nullptr);
  OpenSensor(source, {"Depth"});
  RaiseEveryChange();
  EXPECT_EQ(PlayBack(File()), recorded);
}

// A frame size no recording can hold is refused; a property new to the device is created and recorded.
TEST_F(RecorderTest, AWriteDeviceKeepsFramesWithinTheirRecords) {
  KrVDevice writer;
  KrVPropertySet initial;
  ASSERT_EQ(writer.OpenFileForWriting(File().c_str(), initial), KR_STATUS_OK);
  KrVPropertySet values;
  values.AddProperty("Depth", "RequiredDataSize", uint64_t{64});
  ASSERT_EQ(writer.AddStream("Depth", "Depth", &values), KR_STATUS_OK);
  EXPECT_EQ(writer.SetProperty("Depth", "RequiredDataSize", (uint64_t{256} << 20) + 1),
            KR_STATUS_TL_BAD_PROPERTY_VALUE);
  EXPECT_EQ(writer.SetProperty("Depth", "RequiredDataSize", uint64_t{32}), KR_STATUS_OK);
  KrVStream depth;
  ASSERT_EQ(writer.GetStream("Depth", depth), KR_STATUS_OK);
  const std::vector<uint8_t> big(65, 7);
  EXPECT_EQ(depth.CopyFrom(big.data(), 65, 1), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  // A size beyond the record's buffer never reaches the file.
  ASSERT_EQ(depth.CopyFrom(big.data(), 32, 1), KR_STATUS_OK);
  ASSERT_EQ(writer.SetProperty("Depth", "BufferSize", uint64_t{1} << 20), KR_STATUS_OK);
  EXPECT_EQ(writer.Write(), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  ASSERT_EQ(writer.SetProperty("Depth", "BufferSize", uint64_t{32}), KR_STATUS_OK);
  EXPECT_EQ(writer.Write(), KR_STATUS_OK);
  ASSERT_EQ(writer.SetProperty("Depth", "Gain", 3.0), KR_STATUS_OK);  // new on the stream's module
  ASSERT_EQ(writer.Close(), KR_STATUS_OK);
  KrVDevice reader;
  ASSERT_EQ(reader.OpenFileForReading(File().c_str()), KR_STATUS_OK);
  EXPECT_EQ(ValueOf(reader, "Depth", "RequiredDataSize"), 64u);  // as created; the change comes at its place
  ASSERT_EQ(reader.Read(), KR_STATUS_OK);
  EXPECT_EQ(reader.GetDepthMap()->GetDataSize(), 32u);
  EXPECT_EQ(reader.Read(), KR_STATUS_TL_END_OF_FILE);
  EXPECT_EQ(ValueOf(reader, "Depth", "RequiredDataSize"), 32u);
  EXPECT_EQ(ValueOf<double>(reader, "Depth", "Gain"), 3.0);
}

class ScriptedRecorderTest : public RecorderTest {
 public:
  // Depth has a new frame at every read, Image at the first only.
  void SetUp() override {
    RecorderTest::SetUp();
    Script script = CameraScript().Stream("Depth", "Depth").Stream("Image", "Image");
    script.Generator([](const std::string& stream, uint64_t readIndex, ScriptFrame* frame) {
      return EveryRead(stream, readIndex, frame) && (stream != "Image" || readIndex == 0);
    });
    ASSERT_EQ(CreateScripted(source, script), KR_STATUS_OK);
    ASSERT_EQ(source.OpenAllStreams(), KR_STATUS_OK);
    kit = KitHandleOf(source);
  }
  KrDeviceHandle kit = nullptr;
};

// A frame read before the recording began is not the recording's, even with nothing newer.
TEST_F(ScriptedRecorderTest, OnlyFramesReadWhileRecordingAreWritten) {
  ASSERT_EQ(source.Read(), KR_STATUS_OK);  // the only image frame
  Start();
  ReadAndRecord(3);
  ASSERT_EQ(recorder->StopRecording(), KR_STATUS_OK);
  EXPECT_EQ(recorded.count("Image"), 0u);
  KrVDevice player;
  EXPECT_EQ(PlayBack(File(), &player), recorded);
  EXPECT_EQ(ValueOf(player, "Image", "NumberOfFrames"), 0u);
}

TEST_F(ScriptedRecorderTest, EveryFailingKitCallOfStartRecordingLeavesNothingBehind) {
  // Until a run makes every call without meeting the injected failure.
  uint64_t n = 1;
  for (bool injected = true; injected && n < 500; ++n) {
    SCOPED_TRACE(n);
    recorder = std::make_unique<ExposedRecorder>(&source, File().c_str());
    Journal();
    ClearFailures();
    FailNthCall(n);
    const KrStatus status = recorder->StartRecording(1);
    injected = GetInjectedFailureCount() > 0;
    ClearFailures();
    if (status == KR_STATUS_OK) {
      // Only the write device's frame objects pass failures over; it has both streams.
      for (const JournalEntry& entry : GetJournal()) {
        EXPECT_TRUE(entry.injected == KR_STATUS_OK || entry.device != kit) << entry.call;
      }
      KrVStreamData* frame = nullptr;
      EXPECT_EQ(recorder->GetWriteDevice()->GetStreamData("Depth", frame), KR_STATUS_OK);
      EXPECT_EQ(recorder->GetWriteDevice()->GetStreamData("Image", frame), KR_STATUS_OK);
      EXPECT_EQ(recorder->StopRecording(), KR_STATUS_OK);
      continue;
    }
    EXPECT_TRUE(injected);
    EXPECT_EQ(recorder->GetWriteDevice(), nullptr);
    EXPECT_EQ(Made("KrDeviceProxyRegisterToPropertyChange", kit),
              Made("KrDeviceProxyUnregisterFromPropertyChange", kit));
    EXPECT_EQ(Made("KrDeviceProxyRegisterToStreamsChange", kit), Made("KrDeviceProxyUnregisterFromStreamsChange", kit));
    recorder.reset();
    RaiseEveryChange();
  }
  EXPECT_GT(n, 20u);
  EXPECT_LT(n, 500u);
}

TEST_F(ScriptedRecorderTest, EventFailuresAreLoggedAndDropped) {
  Start();
  LogCapture log(kRecorderSource);
  FailCall("KrDeviceProxySetIntProperty");  // the write device refuses the change
  ASSERT_EQ(ChangeProperty(kit, "Device", "Mirror", ScriptValue::Int(1)), KR_STATUS_OK);
  ClearFailures();
  recorder->OnModulePropertyChanged("Device", "Unwatched");
  ASSERT_EQ(AddStream(kit, "Custom", "Extra"), KR_STATUS_OK);  // a kind the file does not take
  ASSERT_EQ(log.lines.size(), 3u);
  EXPECT_EQ(log.lines[0], "2 [DeviceRecorder] Failed to change property: " +
                              std::string(krGetStatusString(KR_STATUS_TL_INJECTED_FAILURE)));
  EXPECT_EQ(log.lines[1], "2 [DeviceRecorder] Failed to get changed property info - change will not be recorded: " +
                              std::string(krGetStatusString(KR_STATUS_OS_NOT_FOUND)));
  EXPECT_EQ(log.lines[2].rfind("2 [DeviceRecorder] Failed to add new stream: ", 0), 0u) << log.lines[2];
  EXPECT_EQ(recorder->StopRecording(), KR_STATUS_OK);
}

// Recording recorders destroyed while another thread raises recorded changes (run under TSan too).
TEST_F(ScriptedRecorderTest, DestroyingWhileAnotherThreadRaisesEvents) {
  ASSERT_EQ(source.Read(), KR_STATUS_OK);
  for (int round = 0; round < 20; ++round) {
    // Not a subclass: its part would be gone before the destructor cancels the registrations.
    auto recording = std::make_unique<KrVDeviceRecorder>(&source, File().c_str());
    ASSERT_EQ(recording->StartRecording(1), KR_STATUS_OK);
    std::atomic<bool> done{false};
    std::thread producer([&] {
      for (uint64_t i = 0; !done.load(); ++i) {
        ChangeProperty(kit, "Device", "Mirror", ScriptValue::Int(i % 2));
        ChangeProperty(kit, "Device", "Gain", ScriptValue::Real(static_cast<double>(i % 5)));
      }
    });
    EXPECT_EQ(recording->WriteData(), KR_STATUS_OK);
    recording.reset();
    done = true;
    producer.join();
  }
}

// Playing a recording, a held frame keeps its bytes while the reads after it bring the next frames.
TEST_F(RecorderTest, APlayedFrameThatIsHeldKeepsItsBytesThroughLaterReads) {
  OpenSensor(source, {"Depth"});
  Start();
  ReadAndRecord(4);
  EXPECT_EQ(recorder->StopRecording(), KR_STATUS_OK);
  KrVDevice file;
  ASSERT_EQ(file.OpenFileForReading(File().c_str()), KR_STATUS_OK);
  ASSERT_EQ(file.Read(), KR_STATUS_OK);
  KrVDepthMap* map = file.GetDepthMap();
  ASSERT_NE(map, nullptr);
  const auto* held = reinterpret_cast<const uint8_t*>(map->Data());
  const std::vector<uint8_t> first(held, held + map->GetDataSize());
  ASSERT_EQ(first, std::get<0>(recorded["Depth"].front()));
  KrBufferHold hold = nullptr;
  ASSERT_EQ(file.HoldFrameBuffer("Depth", &hold), KR_STATUS_OK);
  for (size_t i = 1; i < 4; ++i) {
    ASSERT_EQ(file.Read(), KR_STATUS_OK);
    const auto* now = reinterpret_cast<const uint8_t*>(map->Data());
    EXPECT_EQ(std::vector<uint8_t>(now, now + map->GetDataSize()), std::get<0>(recorded["Depth"][i])) << i + 1;
    EXPECT_EQ(std::memcmp(held, first.data(), first.size()), 0) << "after frame " << i + 1;
  }
  EXPECT_EQ(KrStreamDataReleaseBuffer(&hold), KR_STATUS_OK);
}

}  // namespace
}  // namespace device_test

