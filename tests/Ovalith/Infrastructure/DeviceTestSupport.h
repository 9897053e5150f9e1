// Shared pieces of the device tests: a started kit with unpaced simulated sensors, scripted
// devices, a handler that remembers every event, and a capture of the engine's log lines.
#pragma once

#include <Ovalith/Ovalith.h>
#include <Tollan/TollanTesting.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <string>
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

// One frame as the engine shows it after a read.
struct Frame {
  std::vector<uint8_t> bytes;
  uint64_t timestamp;
  uint64_t frameId;
  bool operator==(const Frame& o) const { return bytes == o.bytes && timestamp == o.timestamp && frameId == o.frameId; }
};
using Frames = std::map<std::string, std::vector<Frame>>;  // per stream, in order

// The engine's ("QMCore") log lines while it lives: "severity file: message", or only one
// file's lines as "severity line: message".
class LogCapture {
 public:
  explicit LogCapture(const char* onlyFile = nullptr) : only(onlyFile) { krLogSetCallback(&LogCapture::Receive, this); }
  ~LogCapture() { krLogSetCallback(nullptr, nullptr); }
  std::vector<std::string> lines;

 private:
  static void Receive(const char* mask, int32_t severity, const char* file, int line, const char* message, void* self) {
    auto* log = static_cast<LogCapture*>(self);
    if (mask == nullptr || std::string(mask) != "QMCore") {
      return;
    }
    if (log->only == nullptr) {
      log->lines.push_back(std::to_string(severity) + " " + file + ": " + message);
    } else if (log->only == std::string(file)) {
      log->lines.push_back(std::to_string(severity) + " " + std::to_string(line) + ": " + message);
    }
  }
  const char* only;
};

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
    for (uint32_t i = 0; i < size; ++i) {
      bytes[i] = static_cast<uint8_t>(first + i);
    }
    return bytes;
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
      KrVStream stream;
      ASSERT_EQ(device.GetStream(names[i], stream), KR_STATUS_OK);
      uint64_t isNew = 0, timestamp = 0, frameId = 0;
      uint32_t size = 0;
      void* data = nullptr;
      ASSERT_EQ(stream.GetProperty("IsNew", isNew), KR_STATUS_OK);
      if (isNew != 1) {
        continue;
      }
      ASSERT_EQ(stream.GetProperty("Timestamp", timestamp), KR_STATUS_OK);
      ASSERT_EQ(stream.GetProperty("FrameId", frameId), KR_STATUS_OK);
      ASSERT_EQ(stream.GetBufferSize(size), KR_STATUS_OK);
      ASSERT_EQ(stream.GetBuffer(data), KR_STATUS_OK);
      const uint8_t* bytes = static_cast<const uint8_t*>(data);
      frames[names[i]].push_back(Frame{std::vector<uint8_t>(bytes, bytes + size), timestamp, frameId});
    }
  }
  // Plays a recording to its end through the engine: its new frames.
  static Frames PlayBack(KrVDevice& player, const std::string& path) {
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
  static uint64_t IntOf(KrVDevice& device, const char* module, const char* property) {
    uint64_t value = 0xDEAD;
    EXPECT_EQ(device.GetProperty(module, property, value), KR_STATUS_OK) << module << "/" << property;
    return value;
  }
  static double RealOf(KrVDevice& device, const char* module, const char* property) {
    double value = -1;
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
