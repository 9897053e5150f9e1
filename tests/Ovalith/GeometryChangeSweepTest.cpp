// The frame geometry of a stream changes (resolution up and down, output
// format, bytes per pixel, sample rate, channels) on every device kind, in
// both compatibility settings, while the stream is open or while it is
// closed with another stream read meanwhile; then every path that touches
// the stream's buffer runs. Each either works on a buffer that holds what it
// describes or returns a status; under the sanitizers nothing is reported.
#include <Ovalith/Ovalith.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "Ovalith/Infrastructure/DeviceTestSupport.h"

namespace {

using device_test::DeviceTest;
using Settings = std::vector<std::pair<const char*, uint64_t>>;

enum class Kind { kSensor, kScripted, kFileWrite };
enum class Order { kWhileOpen, kClosedThenRead };

// A pixel stream's geometry (columns, rows, bytes per pixel) or an audio
// stream's (sample rate, channels, 2 bytes a sample): what a device without
// derived properties is told directly.
struct Geometry {
  uint64_t a;
  uint64_t b;
  uint64_t c;
  uint64_t Bytes(bool audio) const { return audio ? a / 100 * b * c : a * b * c; }  // audio: 10 ms
};

struct Change {
  const char* type;
  const char* what;
  Settings sensorBefore;  // the simulated sensor derives the rest
  Settings sensorAfter;
  Geometry before;  // scripted devices and recordings being written
  Geometry after;
};

const Change kChanges[] = {
    {"Depth", "resolution up", {{"Resolution", 0}}, {{"Resolution", 1}}, {4, 2, 2}, {8, 6, 2}},
    {"Depth", "resolution down", {{"Resolution", 1}}, {{"Resolution", 0}}, {8, 6, 2}, {4, 2, 2}},
    {"Depth", "output format", {{"OutputFormat", 1}}, {{"OutputFormat", 0}}, {4, 2, 2}, {4, 2, 1}},
    {"Image", "resolution up", {{"Resolution", 0}}, {{"Resolution", 1}}, {4, 2, 3}, {8, 6, 3}},
    {"Image", "resolution down", {{"Resolution", 1}}, {{"Resolution", 0}}, {8, 6, 3}, {4, 2, 3}},
    {"Image", "bytes per pixel down", {{"OutputFormat", 5}}, {{"OutputFormat", 4}}, {4, 2, 3}, {4, 2, 1}},
    {"Image", "bytes per pixel up", {{"OutputFormat", 4}}, {{"OutputFormat", 5}}, {4, 2, 1}, {4, 2, 3}},
    {"IR", "resolution up", {{"Resolution", 0}}, {{"Resolution", 1}}, {4, 2, 2}, {8, 6, 2}},
    {"IR", "output format", {{"OutputFormat", 4}}, {{"OutputFormat", 8}}, {4, 2, 1}, {4, 2, 2}},
    {"Audio", "sample rate up", {{"SampleRate", 8000}}, {{"SampleRate", 48000}}, {8000, 2, 2}, {48000, 2, 2}},
    {"Audio", "sample rate down", {{"SampleRate", 48000}}, {{"SampleRate", 8000}}, {48000, 2, 2}, {8000, 2, 2}},
    {"Audio", "channels", {{"NumOfChannels", 1}}, {{"NumOfChannels", 2}}, {48000, 1, 2}, {48000, 2, 2}},
};

bool IsAudio(const char* type) { return std::strcmp(type, "Audio") == 0; }

Settings PlainSettings(const char* type, const Geometry& g) {
  const uint64_t size = g.Bytes(IsAudio(type));
  if (IsAudio(type)) {
    return {{"SampleRate", g.a}, {"NumOfChannels", g.b}, {"RequiredDataSize", size}};
  }
  return {{"XRes", g.a}, {"YRes", g.b}, {"BytesPerPixel", g.c}, {"RequiredDataSize", size}};
}

class GeometryChangeSweepTest : public DeviceTest {
 protected:
  KrStatus Create(KrVDevice& device, Kind kind) {
    switch (kind) {
      case Kind::kSensor:
        return device.CreateSensor("*:0", nullptr, KR_DEVICE_SHARING_EXCLUSIVE);
      case Kind::kScripted: {
        tollan::testing::Script script;
        for (const char* type : {"Depth", "Image", "IR", "Audio"}) {
          script.SupportedType(type);
          for (const char* property : {"XRes", "YRes", "BytesPerPixel", "RequiredDataSize", "SampleRate",
                                       "NumOfChannels"}) {
            script.TypeProperty(type, property, tollan::testing::ScriptValue::Int(0));
          }
        }
        return CreateScripted(device, script);
      }
      case Kind::kFileWrite:
        return device.CreateFileDevice((directory_ + "/sweep.rec").c_str(), KR_DEVICE_MODE_WRITE, nullptr);
    }
    return KR_STATUS_OS_ERROR;
  }

  // Sets each value in turn; *largest becomes the largest capacity the
  // stream asked for on the way (a file being written derives one from each
  // setting, and its buffers keep the largest).
  static KrStatus Apply(KrVDevice& device, const char* stream, const Settings& settings, uint32_t* largest) {
    KrStatus status = KR_STATUS_OK;
    for (const auto& setting : settings) {
      if (status == KR_STATUS_OK) {
        status = device.SetProperty(stream, setting.first, setting.second);
        *largest = Held(device, stream, *largest);
      }
    }
    return status;
  }

  // The larger of the stream's capacity now and the one it had before:
  // buffers grow to every capacity asked and never shrink.
  static uint32_t Held(KrVDevice& device, const char* name, uint32_t before) {
    KrVStream stream;
    uint32_t capacity = 0;
    if (device.GetStream(name, stream) != KR_STATUS_OK || stream.GetBufferAllocatedSize(capacity) != KR_STATUS_OK) {
      capacity = 0;
    }
    return capacity > before ? capacity : before;
  }

  // The bytes behind "Buffer" must hold what the stream's frame object shows.
  static void ExpectViewWithinCapacity(KrVDevice& device, const char* name, const char* type, uint32_t before = 0) {
    const uint32_t capacity = Held(device, name, before);
    if (IsAudio(type)) {
      EXPECT_LE(device.GetAudioBuffer()->GetBufferAllocatedSize(), capacity);
      return;
    }
    const KrVMatrix& matrix = std::strcmp(type, "Depth") == 0
                                  ? static_cast<const KrVMatrix&>(device.GetDepthMap()->GetMatrix())
                                  : static_cast<const KrVMatrix&>((std::strcmp(type, "IR") == 0 ? device.GetIRMap()
                                                                                                 : device.GetImageMap())
                                                                      ->GetMatrix());
    const uint64_t bytes = uint64_t{matrix.GetXRes()} * matrix.GetYRes() * matrix.GetContainer().GetElSize();
    EXPECT_LE(bytes, capacity);
  }

  // Every path that copies into, reads from or views the stream's buffer.
  static void RunBufferPaths(KrVDevice& device, const char* name, const char* type, uint32_t before) {
    KrVStream stream;
    ASSERT_EQ(device.GetStream(name, stream), KR_STATUS_OK);
    uint32_t capacity = 0;
    ASSERT_EQ(stream.GetBufferAllocatedSize(capacity), KR_STATUS_OK);
    std::vector<uint8_t> frame(capacity + 1, 0x5A);
    if (stream.CopyFrom(frame.data(), capacity, 7) == KR_STATUS_OK) {
      void* buffer = nullptr;
      ASSERT_EQ(stream.GetBuffer(buffer), KR_STATUS_OK);
      EXPECT_EQ(std::memcmp(buffer, frame.data(), capacity), 0);
    }
    EXPECT_EQ(stream.CopyFrom(frame.data(), capacity + 1, 7), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
    device.Write(name, reinterpret_cast<const char*>(frame.data()), capacity, 8);
    ExpectViewWithinCapacity(device, name, type, before);
    device.Read();
    device.Write();
    ExpectViewWithinCapacity(device, name, type, before);

    if (std::strcmp(type, "Depth") == 0) {
      KrVDepthMap& map = *device.GetDepthMap();
      const KrVDepthMatrix& matrix = map.GetMatrix();
      if (matrix.GetXRes() > 0 && matrix.GetYRes() > 0) {
        map(matrix.GetXRes() - 1, matrix.GetYRes() - 1) = 1234;
      }
      KrVDepthMap copy;
      map.Clone(copy);
      KrVDepthMap sharing(map);
      map.Clone(sharing);
      KrVPointContainer points(16);
      map.ConvertToRealWorld(points);
      map.ConvertToRealWorld(0, 0, map.GetXRes(), map.GetYRes(), points);
      if (map.GetRealWorldTranslator() != nullptr) {
        KrVPoint point{1.0f, 1.0f, 1000.0f};
        map.GetRealWorldTranslator()->Projective2RW(point);
      }
      device.Write(map, 9);
      map.Clear();
    } else if (IsAudio(type)) {
      KrVAudioBuffer& audio = *device.GetAudioBuffer();
      KrVAudioBuffer copy;
      audio.Clone(copy);
      copy.Clear();
      device.Write(audio, 9);
      audio.Clear();
    } else {
      KrVImageMap& map = *(std::strcmp(type, "IR") == 0 ? device.GetIRMap() : device.GetImageMap());
      const KrVImageMatrix& matrix = map.GetMatrix();
      if (matrix.GetXRes() > 0 && matrix.GetYRes() > 0) {
        map[static_cast<int>(uint32_t{matrix.GetXRes()} * matrix.GetYRes() - 1)] = 0xEE;
      }
      KrVImageMap copy;
      map.Clone(copy);
      device.Write(map, 9);
      map.Clear();
    }
  }
};

TEST_F(GeometryChangeSweepTest, EveryBufferPathStaysInsideTheBufferHeld) {
  for (const Change& change : kChanges) {
    for (Kind kind : {Kind::kSensor, Kind::kScripted, Kind::kFileWrite}) {
      for (int compatibility : {0, 1}) {
        for (Order order : {Order::kWhileOpen, Order::kClosedThenRead}) {
          SCOPED_TRACE(std::string(change.type) + " " + change.what + ", kind " +
                       std::to_string(static_cast<int>(kind)) + ", compatibility " + std::to_string(compatibility) +
                       (order == Order::kWhileOpen ? ", while open" : ", closed then read"));
          KrVDevice device(compatibility);
          ASSERT_EQ(Create(device, kind), KR_STATUS_OK);
          const bool sensor = kind == Kind::kSensor;
          const Settings before = sensor ? change.sensorBefore : PlainSettings(change.type, change.before);
          const Settings after = sensor ? change.sensorAfter : PlainSettings(change.type, change.after);
          KrVPropertySet initial;
          for (const auto& setting : before) {
            ASSERT_EQ(initial.AddProperty(change.type, setting.first, setting.second), KR_STATUS_OK);
          }
          ASSERT_EQ(device.AddStream(change.type, change.type, &initial), KR_STATUS_OK);
          // Another stream, read while the changed one is closed.
          const char* other = std::strcmp(change.type, "Depth") == 0 ? "Image" : "Depth";
          KrVPropertySet otherValues;
          for (const auto& setting : sensor ? Settings{} : PlainSettings(other, {4, 2, 2})) {
            otherValues.AddProperty(other, setting.first, setting.second);
          }
          ASSERT_EQ(device.AddStream(other, other, &otherValues), KR_STATUS_OK);
          device.OpenAllStreams();
          device.Read();
          const uint32_t heldBefore = Held(device, change.type, 0);

          if (order == Order::kClosedThenRead) {
            device.CloseStream(change.type);
          }
          uint32_t asked = heldBefore;
          Apply(device, change.type, after, &asked);  // a sensor refuses geometry changes of an open stream
          if (order == Order::kClosedThenRead) {
            device.Read();
            device.OpenStream(change.type);
          }
          ExpectViewWithinCapacity(device, change.type, change.type, asked);
          RunBufferPaths(device, change.type, change.type, asked);
          if (HasFatalFailure()) {
            return;
          }
        }
      }
    }
  }
}

// The two reported cases, step by step on the sensor in both compatibility
// settings: a copy of the new frame size right after a resolution change,
// and a closed stream re-published with the new resolution by a read of
// another stream.
TEST_F(GeometryChangeSweepTest, LargerResolutionGrowsTheBufferBeforeAnyCopyOrView) {
  for (int compatibility : {0, 1}) {
    for (bool copyFirst : {true, false}) {
      SCOPED_TRACE(std::to_string(compatibility) + (copyFirst ? " copy" : " closed, read"));
      KrVDevice device(compatibility);
      ASSERT_EQ(device.CreateSensor("*:0", nullptr, KR_DEVICE_SHARING_EXCLUSIVE), KR_STATUS_OK);
      KrVPropertySet initial;
      initial.AddProperty("Depth", "Resolution", uint64_t{0});
      ASSERT_EQ(device.AddStream("Depth", "Depth", &initial), KR_STATUS_OK);
      ASSERT_EQ(device.AddStream("Image", "Image", nullptr), KR_STATUS_OK);
      ASSERT_EQ(device.OpenStream("Image"), KR_STATUS_OK);
      ASSERT_EQ(device.Read(), KR_STATUS_OK);
      ASSERT_EQ(device.SetProperty("Depth", "Resolution", uint64_t{1}), KR_STATUS_OK);
      if (copyFirst) {
        KrVStream depth;
        ASSERT_EQ(device.GetStream("Depth", depth), KR_STATUS_OK);
        uint32_t capacity = 0;
        ASSERT_EQ(depth.GetBufferAllocatedSize(capacity), KR_STATUS_OK);
        ASSERT_EQ(capacity, 640u * 480u * 2u);
        std::vector<uint8_t> frame(capacity);
        for (size_t i = 0; i < frame.size(); ++i) {
          frame[i] = static_cast<uint8_t>(i * 7);
        }
        ASSERT_EQ(depth.CopyFrom(frame.data(), capacity, 5), KR_STATUS_OK);
        ASSERT_EQ(device.Write("Depth", reinterpret_cast<const char*>(frame.data()), capacity, 6), KR_STATUS_OK);
        void* buffer = nullptr;
        ASSERT_EQ(depth.GetBuffer(buffer), KR_STATUS_OK);
        EXPECT_EQ(std::memcmp(buffer, frame.data(), capacity), 0);
        // The device's depth map was re-wrapped over the grown buffer at once.
        EXPECT_EQ(static_cast<void*>(device.GetDepthMap()->Data()), buffer);
      } else {
        ASSERT_EQ(device.Read(), KR_STATUS_OK);
      }
      KrVDepthMap& map = *device.GetDepthMap();
      EXPECT_EQ(map.GetMatrix().GetXRes(), 640);
      EXPECT_EQ(map.GetMatrix().GetYRes(), 480);
      ExpectViewWithinCapacity(device, "Depth", "Depth");
      map.Clear();
      map(639, 479) = 77;
      KrVDepthMap copy;
      ASSERT_EQ(map.Clone(copy), KR_STATUS_OK);
      EXPECT_EQ(copy(639, 479), 77);
    }
  }
}

}  // namespace
