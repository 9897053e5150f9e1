// The device tests' kit with unpaced sensors, scripted devices, an event recorder and the engine's log lines.
#pragma once

#include <Ovalith/Ovalith.h>
#include <Tollan/TollanTesting.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <numeric>
#include <string>
#include <tuple>
#include <vector>

#include <unistd.h>

namespace device_test {

using namespace tollan::testing;

// Every event as text: "Depth/XRes" (property), "new Depth", "+Depth", "-Depth".
class EventLog : public KrVModulePropertyChangedHandler,
                 public KrVNewDataFromStreamHandler,
                 public KrVStreamCollectionChangedHandler {
 public:
  void OnModulePropertyChanged(const char* module, const char* property) override {
    events.push_back(std::string(module) + "/" + property);
  }
  void OnNewData(const char* stream) override { events.push_back(std::string("new ") + stream); }
  void OnStreamAdded(const char* stream) override { events.push_back(std::string("+") + stream); }
  void OnStreamRemoved(const char* stream) override { events.push_back(std::string("-") + stream); }
  std::vector<std::string> events;
};

// One frame as the engine shows it after a read: bytes, time stamp, frame id.
using Frame = std::tuple<std::vector<uint8_t>, uint64_t, uint64_t>;
using Frames = std::map<std::string, std::vector<Frame>>;  // per stream, in order

// One source file's engine ("QMCore") log lines while it lives, as "severity message".
class LogCapture {
 public:
  explicit LogCapture(const char* file) : only(file) { krLogSetCallback(&LogCapture::Receive, this); }
  ~LogCapture() { krLogSetCallback(nullptr, nullptr); }
  std::vector<std::string> lines;

 private:
  static void Receive(const char* mask, int32_t severity, const char* file, int, const char* message, void* self) {
    auto* log = static_cast<LogCapture*>(self);
    if (mask != nullptr && std::string(mask) == "QMCore" && log->only == std::string(file)) {
      log->lines.push_back(std::to_string(severity) + " " + message);
    }
  }
  const char* only;
};

// The calls of that name the journal shows made (not failed by injection), by one kit device if given.
inline size_t Made(const char* call, KrDeviceHandle device = nullptr) {
  const std::vector<JournalEntry> journal = GetJournal();
  return static_cast<size_t>(std::count_if(journal.begin(), journal.end(), [&](const JournalEntry& entry) {
    return entry.call == call && entry.injected == KR_STATUS_OK && (device == nullptr || entry.device == device);
  }));
}

class DeviceTest : public ::testing::Test {
 public:
  // Frame bytes of every scripted stream (4 x 2 pixels of 2 bytes).
  static constexpr uint32_t kFrameBytes = 16;
  void SetUp() override {
    ResetAll();
    char pattern[] = "/tmp/ovalith-device-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
    Write("Tollan.ini", "[Tollan]\nSensors=2\nPaced=0\n");
    ASSERT_EQ(KrVDevice::EngineInit(nullptr, directory_.c_str()), KR_STATUS_OK);
  }
  void TearDown() override {
    KrVDevice::EngineShutdown();
    ResetAll();
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
  }
  std::string Write(const std::string& name, const std::string& text) const {
    std::ofstream(directory_ + "/" + name) << text;
    return directory_ + "/" + name;
  }
  // "Device" settings and five stream types (the four known ones and "Custom"), each 4 x 2.
  static Script CameraScript() {
    Script script;
    script.IntProperty("Device", "Mirror", 0)
        .Property("Device", "PrimaryStream", ScriptValue::String("Any"))
        .Property("Device", "Gain", ScriptValue::Real(1.5));
    for (const char* type : {"Depth", "Image", "IR", "Audio", "Custom"}) {
      script.SupportedType(type)
          .TypeProperty(type, "XRes", ScriptValue::Int(4))
          .TypeProperty(type, "YRes", ScriptValue::Int(2))
          .TypeProperty(type, "RequiredDataSize", ScriptValue::Int(kFrameBytes), kScriptReadOnly);
    }
    return script.TypeProperty("Depth", "ZPD", ScriptValue::Int(120))
        .TypeProperty("Depth", "ZPPS", ScriptValue::Real(0.1));
  }
  static std::vector<uint8_t> FrameBytes(uint8_t first, uint32_t size = kFrameBytes) {
    std::vector<uint8_t> bytes(size);
    std::iota(bytes.begin(), bytes.end(), first);
    return bytes;
  }
  // Frames for a script: a new one at every read, with 100 times the read's number as time stamp.
  static bool EveryRead(const std::string&, uint64_t readIndex, ScriptFrame* frame) {
    frame->data = FrameBytes(static_cast<uint8_t>(readIndex));
    frame->timestamp = (readIndex + 1) * 100;
    frame->frameId = static_cast<uint32_t>(readIndex + 1);
    return true;
  }
  // The simulated sensor with open streams of the types, depth at its lowest resolution.
  static void OpenSensor(KrVDevice& device, std::initializer_list<const char*> types) {
    ASSERT_EQ(device.CreateSensor("*:0", nullptr, KR_DEVICE_SHARING_EXCLUSIVE), KR_STATUS_OK);
    KrVPropertySet lowest;
    lowest.AddProperty("Depth", "Resolution", uint64_t{0});
    for (const char* type : types) {
      ASSERT_EQ(device.AddStream(type, type, std::strcmp(type, "Depth") == 0 ? &lowest : nullptr), KR_STATUS_OK);
    }
    ASSERT_EQ(device.OpenAllStreams(), KR_STATUS_OK);
  }
  // Defines the script and creates the device on it by connection string.
  static KrStatus CreateScripted(KrVDevice& device, const Script& script, KrDeviceMode mode = KR_DEVICE_MODE_READ,
                                 const std::string& name = "camera") {
    EXPECT_EQ(DefineScript(name, script), KR_STATUS_OK);
    std::string connection = "scripted:" + name;
    return device.CreateByConnectionString(&connection[0], mode, nullptr, KR_DEVICE_SHARING_EXCLUSIVE);
  }
  // The kit handle of a created device, from the journal entry of a harmless call.
  static KrDeviceHandle KitHandleOf(KrVDevice& device) {
    EnableJournal(true);
    int exists = 0;
    device.DoesPropertyExist("Device", "Mirror", &exists);
    return GetJournal().back().device;
  }
  static void Journal() {
    EnableJournal(true);
    ClearJournal();
  }
  // OpenAllStreams calls in the journal, and the streams opened one by one (each once).
  static void ExpectOpened(size_t openAllCalls, const std::vector<std::string>& oneByOne) {
    EXPECT_EQ(CountJournalCalls("KrDeviceProxyOpenAllStreams"), openAllCalls);
    EXPECT_EQ(CountJournalCalls("KrDeviceProxyOpenStream"), oneByOne.size());
    for (const std::string& stream : oneByOne) {
      EXPECT_EQ(CountJournalCalls("KrDeviceProxyOpenStream", stream.c_str()), 1u) << stream;
    }
  }
  // Adds the frames of the device's streams that its last read marked new.
  static void TakeNewFrames(KrVDevice& device, Frames& frames) {
    const char* names[16] = {};
    uint32_t count = 16;
    ASSERT_EQ(device.GetStreamNames(names, &count), KR_STATUS_OK);
    for (uint32_t i = 0; i < count; ++i) {
      if (ValueOf(device, names[i], "IsNew") != 1) {
        continue;
      }
      void* data = nullptr;
      ASSERT_EQ(device.GetProperty(names[i], "Buffer", KrGeneralBuffer{&data, sizeof(data)}), KR_STATUS_OK);
      const auto* bytes = static_cast<const uint8_t*>(data);
      frames[names[i]].emplace_back(std::vector<uint8_t>(bytes, bytes + ValueOf(device, names[i], "BufferSize")),
                                    ValueOf(device, names[i], "Timestamp"), ValueOf(device, names[i], "FrameId"));
    }
  }
  // Plays a recording to its end through the engine (on the player given, if any): its new frames.
  static Frames PlayBack(const std::string& path, KrVDevice* given = nullptr) {
    KrVDevice own;
    KrVDevice& player = given != nullptr ? *given : own;
    Frames frames;
    EXPECT_EQ(player.OpenFileForReading(path.c_str()), KR_STATUS_OK);
    KrStatus status = KR_STATUS_OK;
    while ((status = player.Read()) == KR_STATUS_OK) {
      TakeNewFrames(player, frames);
    }
    EXPECT_EQ(status, KR_STATUS_TL_END_OF_FILE);
    return frames;
  }
  // A property read as a value (a failing read is a test failure).
  template <typename T = uint64_t>
  static T ValueOf(KrVDevice& device, const char* module, const char* property) {
    T value = T(0xDEAD);
    EXPECT_EQ(device.GetProperty(module, property, value), KR_STATUS_OK) << module << "/" << property;
    return value;
  }
  static std::string TextOf(KrVDevice& device, const char* module, const char* property) {
    char value[KR_MAX_NAME_LENGTH] = {};
    EXPECT_EQ(device.GetProperty(module, property, value), KR_STATUS_OK) << module << "/" << property;
    return value;
  }

 protected:
  std::string directory_;
};

}  // namespace device_test
