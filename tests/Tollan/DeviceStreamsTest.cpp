// Streams, records, sets, reads, writes, seeks and stream events of the scripted device, also from other threads.
#include "KitTestSupport.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <thread>
#include <vector>

namespace tollan_test {
namespace {

using DeviceStreamsTest = KitTest;

void RecordCollection(const KrStreamCollectionChangedEventArgs& args, void* cookie) {
  static_cast<std::vector<std::string>*>(cookie)->push_back(std::string(args.strStreamName) + ":" +
                                                            std::to_string(args.eventType));
}

void RecordNewData(const KrNewStreamDataEventArgs& args, void* cookie) {
  static_cast<std::vector<std::string>*>(cookie)->push_back(args.strStreamName);
}

std::string Seen(const KrStreamData* record) {
  return std::to_string(record->bIsNew) + " #" + std::to_string(record->nFrameID) + " @" +
         std::to_string(record->nTimestamp) + " " + std::to_string(record->nDataSize);
}

TEST_F(DeviceStreamsTest, StreamsCreatedWithInitialValuesKeepThem) {
  KrDeviceHandle device = MakeDevice(CameraScript());
  std::vector<std::string> events;
  KrCallbackHandle registration = nullptr;
  ASSERT_EQ(KrDeviceProxyRegisterToStreamsChange(device, &RecordCollection, &events, &registration), KR_STATUS_OK);
  PropertySet initial;
  KrPropertySetAddIntProperty(initial.Get(), "Near", "XRes", 160);
  KrPropertySetAddIntProperty(initial.Get(), "Near", "RequiredDataSize", 1);  // read-only: passed over
  KrPropertySetAddIntProperty(initial.Get(), "Other", "XRes", 999);           // another stream's module
  ASSERT_EQ(KrDeviceProxyCreateStream(device, "Depth", "Near", initial.Get()), KR_STATUS_OK);
  EXPECT_EQ(IntOf(device, "Near", "XRes"), 160u);
  EXPECT_EQ(IntOf(device, "Near", "YRes"), 480u);
  EXPECT_EQ(IntOf(device, "Near", "RequiredDataSize"), 640u * 480u * 2u);
  uint32_t count = 0;
  EXPECT_EQ(KrDeviceProxyGetStreamNames(device, nullptr, &count), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  EXPECT_EQ(count, 2u);
  const char* names[2] = {};
  count = 1;  // fewer places than streams: the first ones
  ASSERT_EQ(KrDeviceProxyGetStreamNames(device, names, &count), KR_STATUS_OK);
  EXPECT_EQ(count, 1u);
  EXPECT_STREQ(names[0], "Depth");
  EXPECT_EQ(names[1], nullptr);
  count = 2;
  ASSERT_EQ(KrDeviceProxyGetSupportedStreams(device, names, &count), KR_STATUS_OK);
  EXPECT_EQ(std::to_string(count) + std::string(names[0]) + "," + names[1], "2Depth,Image");
  EXPECT_EQ(KrDeviceProxyGetSupportedStreams(device, names, nullptr), KR_STATUS_OS_NULL_POINTER);
  // Rejected creations leave no stream behind and raise nothing.
  PropertySet wrongType;
  KrPropertySetAddStringProperty(wrongType.Get(), "Far", "XRes", "wide");
  const struct {
    const char* type;
    const char* name;
    KrPropertySetHandle values;
    KrStatus expected;
  } failures[] = {
      {"Depth", "Far", wrongType.Get(), KR_STATUS_TL_BAD_PROPERTY_TYPE},
      {"Audio", "Far", nullptr, KR_STATUS_TL_UNSUPPORTED_STREAM_TYPE},
      {"Depth", "Near", nullptr, KR_STATUS_TL_STREAM_ALREADY_EXISTS},
      {"Depth", "Device", nullptr, KR_STATUS_TL_MODULE_ALREADY_EXISTS},
      {"Depth", "", nullptr, KR_STATUS_OS_BAD_ARGUMENT},
  };
  for (const auto& c : failures) EXPECT_EQ(KrDeviceProxyCreateStream(device, c.type, c.name, c.values), c.expected);
  int exists = 1;
  EXPECT_EQ(KrDeviceProxyDoesModuleExist(device, "Far", &exists), KR_STATUS_OK);
  EXPECT_EQ(exists, 0);
  count = 2;
  ASSERT_EQ(KrDeviceProxyGetStreamNames(device, names, &count), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyDestroyStream(device, "Near"), KR_STATUS_OK);
  EXPECT_STREQ(names[1], "Near");  // names stay readable after their stream is gone
  EXPECT_EQ(KrDeviceProxyDestroyStream(device, "Near"), KR_STATUS_TL_STREAM_NOT_FOUND);
  // The hardware's streams and events of any type reach every registration.
  std::vector<std::string> second;
  KrCallbackHandle other = nullptr;
  ASSERT_EQ(KrDeviceProxyRegisterToStreamsChange(device, &RecordCollection, &second, &other), KR_STATUS_OK);
  ASSERT_EQ(AddStream(device, "Image", "Color"), KR_STATUS_OK);
  ASSERT_EQ(RaiseStreamCollectionChanged(device, "Ghost", 0xFFFFFFFFu), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyUnregisterFromStreamsChange(device, other), KR_STATUS_OK);
  ASSERT_EQ(RemoveStream(device, "Color"), KR_STATUS_OK);
  EXPECT_EQ(AddStream(device, "Audio", "Mic"), KR_STATUS_TL_UNSUPPORTED_STREAM_TYPE);
  EXPECT_EQ(events, (std::vector<std::string>{"Near:0", "Near:1", "Color:0", "Ghost:4294967295", "Color:1"}));
  EXPECT_EQ(second, (std::vector<std::string>{"Color:0", "Ghost:4294967295"}));
}

TEST_F(DeviceStreamsTest, ReadsDeliverScriptedFramesOfOpenStreams) {
  Script script = CameraScript();
  script.Stream("Image", "Color").Frame("Depth", {1, 2, 3, 4}, 100, 1).Frame("Color", {9}, 150, 1);
  KrDeviceHandle device = MakeDevice(script.Frame("Depth", {5, 6}, 200, 2));
  KrStreamData* depth = nullptr;
  KrStreamData* color = nullptr;
  ASSERT_EQ(KrDeviceProxyCreateStreamData(device, "Depth", &depth), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyCreateStreamData(device, "Color", &color), KR_STATUS_OK);
  EXPECT_STREQ(depth->strStreamName, "Depth");
  KrStreamDataSetHandle set = nullptr;
  ASSERT_EQ(KrStreamDataSetCreate(&set), KR_STATUS_OK);
  for (KrStreamData* member : {depth, color, color}) ASSERT_EQ(KrStreamDataSetAdd(set, member), KR_STATUS_OK);
  // Closed streams: one-stream reads fail, set reads pass them over.
  EXPECT_EQ(KrDeviceProxyReadStream(device, depth), KR_STATUS_TL_STREAM_NOT_OPEN);
  depth->bIsNew = 1;
  EXPECT_EQ(KrDeviceProxyRead(device, set), KR_STATUS_OK);
  EXPECT_EQ(depth->bIsNew, 0);
  std::vector<std::string> newData;
  KrCallbackHandle onData = nullptr;
  ASSERT_EQ(KrDeviceProxyRegisterToNewStreamData(device, &RecordNewData, &newData, &onData), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyOpenStream(device, "Depth"), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyRead(device, set), KR_STATUS_OK);
  EXPECT_EQ(Seen(depth), "1 #1 @100 4");
  EXPECT_EQ(std::memcmp(depth->pData, "\x01\x02\x03\x04", 4), 0);
  EXPECT_EQ(color->bIsNew, 0);
  ASSERT_EQ(KrDeviceProxyOpenAllStreams(device), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyReadStream(device, color), KR_STATUS_OK);
  EXPECT_EQ(Seen(color), "1 #1 @150 1");
  ASSERT_EQ(KrDeviceProxyRead(device, set), KR_STATUS_OK);
  EXPECT_EQ(Seen(depth), "1 #2 @200 2");
  EXPECT_EQ(Seen(color), "0 #1 @150 1");  // no frame left: the last one stays
  ASSERT_EQ(KrDeviceProxyRead(device, set), KR_STATUS_OK);
  EXPECT_EQ(Seen(depth), "0 #2 @200 2");
  EXPECT_TRUE(newData.empty());  // reads do not raise new-data events; the hardware does
  ASSERT_EQ(RaiseNewData(device, "Anything"), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyUnregisterFromNewStreamData(device, onData), KR_STATUS_OK);
  ASSERT_EQ(RaiseNewData(device, "Depth"), KR_STATUS_OK);
  EXPECT_EQ(newData, std::vector<std::string>{"Anything"});
  EXPECT_EQ(RaiseNewData(nullptr, "Depth"), KR_STATUS_OS_NULL_POINTER);
  // Frames pushed later, larger than the record's buffer, move pData.
  std::vector<uint8_t> large(1 << 20, 0xAB);
  ASSERT_EQ(PushFrame(device, ScriptFrame{"Depth", large, 300, 3, true}), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyReadStream(device, depth), KR_STATUS_OK);
  ASSERT_EQ(depth->nDataSize, large.size());
  EXPECT_EQ(static_cast<uint8_t*>(depth->pData)[large.size() - 1], 0xAB);
  ASSERT_EQ(KrDeviceProxyCloseAllStreams(device), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxyReadStream(device, depth), KR_STATUS_TL_STREAM_NOT_OPEN);
  uint32_t count = 0;
  EXPECT_EQ(KrStreamDataSetCopyToArray(set, nullptr, &count), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  EXPECT_EQ(count, 2u);  // color was added once
  KrStreamData* members[2] = {};
  ASSERT_EQ(KrStreamDataSetCopyToArray(set, members, &count), KR_STATUS_OK);
  EXPECT_TRUE(members[0] == depth && members[1] == color);
  EXPECT_EQ(KrStreamDataSetRemove(set, color), KR_STATUS_OK);
  EXPECT_EQ(KrStreamDataSetRemove(set, color), KR_STATUS_OS_NOT_FOUND);
  // A destroyed record leaves every set it was in.
  ASSERT_EQ(KrDeviceProxyDestroyStreamData(&depth), KR_STATUS_OK);
  EXPECT_EQ(depth, nullptr);
  EXPECT_EQ(KrStreamDataSetCopyToArray(set, nullptr, &count), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  EXPECT_EQ(count, 0u);
  EXPECT_EQ(KrStreamDataSetDestroy(&set), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxyDestroyStreamData(&color), KR_STATUS_OK);
}

TEST_F(DeviceStreamsTest, RecordsAndSetsFailCleanlyOnceGoneOrUnknownAndWritesNeedWriteMode) {
  KrDeviceHandle device = MakeDevice(CameraScript());
  KrDeviceHandle other = MakeDevice(CameraScript(), "other");
  KrStreamData* record = nullptr;
  ASSERT_EQ(KrDeviceProxyCreateStreamData(device, "Depth", &record), KR_STATUS_OK);
  KrStreamData* foreign = nullptr;
  ASSERT_EQ(KrDeviceProxyCreateStreamData(other, "Depth", &foreign), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyOpenAllStreams(device), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxyReadStream(device, foreign), KR_STATUS_TL_STREAM_NOT_FOUND);
  KrStreamData* none = nullptr;
  EXPECT_EQ(KrDeviceProxyCreateStreamData(device, "Nope", &none), KR_STATUS_TL_STREAM_NOT_FOUND);
  EXPECT_EQ(KrDeviceProxyCreateStreamData(device, "Depth", nullptr), KR_STATUS_OS_NULL_POINTER);
  ASSERT_EQ(KrDeviceProxyDestroyStream(device, "Depth"), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxyReadStream(device, record), KR_STATUS_TL_STREAM_NOT_FOUND);
  // A new stream of the same name is another stream.
  ASSERT_EQ(KrDeviceProxyCreateStream(device, "Depth", "Depth", nullptr), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyOpenAllStreams(device), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxyReadStream(device, record), KR_STATUS_TL_STREAM_NOT_FOUND);
  // The record outlives its device and is still destroyed normally.
  ASSERT_EQ(KrDeviceProxyDestroy(&device), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxyReadStream(device, record), KR_STATUS_OS_NULL_POINTER);
  KrStreamData* destroyed = record;
  EXPECT_EQ(KrDeviceProxyDestroyStreamData(&record), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxyDestroyStreamData(&destroyed), KR_STATUS_TL_BAD_HANDLE);
  EXPECT_EQ(KrDeviceProxyDestroyStreamData(&record), KR_STATUS_OS_NULL_POINTER);
  // Records and sets the kit does not know.
  KrStreamData fake = {};
  KrStreamData* fakePointer = &fake;
  KrStreamDataSetHandle set = nullptr, dead = nullptr;
  ASSERT_EQ(KrStreamDataSetCreate(&set), KR_STATUS_OK);
  ASSERT_EQ(KrStreamDataSetCreate(&dead), KR_STATUS_OK);
  KrStreamDataSetHandle deadCopy = dead;
  ASSERT_EQ(KrStreamDataSetDestroy(&dead), KR_STATUS_OK);
  uint32_t count = 0;
  const struct {
    const char* what;
    KrStatus status;
    KrStatus expected;
  } cases[] = {
      {"unknown record", KrDeviceProxyDestroyStreamData(&fakePointer), KR_STATUS_TL_BAD_HANDLE},
      {"unknown record added", KrStreamDataSetAdd(set, &fake), KR_STATUS_TL_BAD_HANDLE},
      {"read of unknown record", KrDeviceProxyReadStream(other, &fake), KR_STATUS_TL_BAD_HANDLE},
      {"destroyed set", KrStreamDataSetCopyToArray(deadCopy, nullptr, &count), KR_STATUS_TL_BAD_HANDLE},
      {"read into destroyed set", KrDeviceProxyRead(other, deadCopy), KR_STATUS_TL_BAD_HANDLE},
      {"null set", KrDeviceProxyRead(other, nullptr), KR_STATUS_OS_NULL_POINTER},
      {"null count", KrStreamDataSetCopyToArray(set, nullptr, nullptr), KR_STATUS_OS_NULL_POINTER},
      {"destroy null", KrStreamDataSetDestroy(nullptr), KR_STATUS_OS_NULL_POINTER},
  };
  for (const auto& c : cases) EXPECT_EQ(c.status, c.expected) << c.what;
  EXPECT_EQ(KrStreamDataSetDestroy(&set), KR_STATUS_OK);
  // Writes need write mode and open streams.
  foreign->bIsNew = 1;
  EXPECT_EQ(KrDeviceProxyWriteStream(other, foreign), KR_STATUS_TL_WRONG_MODE);
  ASSERT_EQ(KrDeviceProxyDestroyStreamData(&foreign), KR_STATUS_OK);
  KrDeviceHandle writer = MakeDevice(CameraScript(), "writer", KR_DEVICE_MODE_WRITE);
  ASSERT_EQ(KrDeviceProxyCreateStreamData(writer, "Depth", &record), KR_STATUS_OK);
  // The record's own buffer holds a whole frame of the stream.
  std::memset(record->pData, 7, 640 * 480 * 2);
  record->nDataSize = 3;
  record->nTimestamp = 42;
  record->nFrameID = 5;
  record->bIsNew = 1;
  EXPECT_EQ(KrDeviceProxyWriteStream(writer, record), KR_STATUS_TL_STREAM_NOT_OPEN);
  ASSERT_EQ(KrDeviceProxyOpenAllStreams(writer), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxyWriteStream(writer, record), KR_STATUS_OK);
  record->bIsNew = 0;  // nothing new: nothing written
  EXPECT_EQ(KrDeviceProxyWriteStream(writer, record), KR_STATUS_OK);
  std::vector<ScriptFrame> written;
  ASSERT_EQ(GetWrittenFrames(writer, &written), KR_STATUS_OK);
  ASSERT_EQ(written.size(), 1u);
  EXPECT_EQ(written[0].stream + " #" + std::to_string(written[0].frameId) + " @" + std::to_string(written[0].timestamp),
            "Depth #5 @42");
  EXPECT_EQ(written[0].data, std::vector<uint8_t>(3, 7));
  EXPECT_EQ(KrDeviceProxyDestroyStreamData(&record), KR_STATUS_OK);
}

TEST_F(DeviceStreamsTest, SeekingFollowsTheScript) {
  Script script = CameraScript();
  for (uint32_t id = 1; id <= 5; ++id) script.Frame("Depth", {static_cast<uint8_t>(id)}, id * 1000, id);
  uint32_t frame = 0;
  EXPECT_EQ(KrDeviceProxySeekFrame(MakeDevice(script, "fixed"), 1), KR_STATUS_TL_NOT_SUPPORTED);
  KrDeviceHandle device = MakeDevice(script.Seekable(), "seekable");
  KrStreamData* record = nullptr;
  ASSERT_EQ(KrDeviceProxyCreateStreamData(device, "Depth", &record), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyOpenAllStreams(device), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxySeekFrame(device, 3), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyReadStream(device, record), KR_STATUS_OK);
  EXPECT_EQ(record->nFrameID, 3u);
  ASSERT_EQ(KrDeviceProxySeek(device, 1500), KR_STATUS_OK);  // between frames: the next one
  ASSERT_EQ(KrDeviceProxyReadStream(device, record), KR_STATUS_OK);
  ASSERT_EQ(KrDeviceProxyTellFrame(device, &frame), KR_STATUS_OK);
  EXPECT_EQ(frame, 2u);
  EXPECT_EQ(KrDeviceProxyDestroyStreamData(&record), KR_STATUS_OK);
}

// No callback runs once its unregistration (or the device's destruction) returned; sanitizers see freed cookies.
using EventThreadsTest = KitTest;

struct Watch {
  std::atomic<bool> gone{false};
  std::atomic<int> calls{0};
  std::atomic<int> late{0};  // calls after the registration was cancelled
};

void OnData(const KrNewStreamDataEventArgs&, void* cookie) {
  auto* watch = static_cast<Watch*>(cookie);
  watch->calls.fetch_add(1);
  std::this_thread::yield();  // widen the window between start and end of a call
  if (watch->gone.load()) watch->late.fetch_add(1);
}

void OnChange(KrDeviceHandle, const char*, const char*, void* cookie) {
  OnData(KrNewStreamDataEventArgs{nullptr, ""}, cookie);
}

TEST_F(EventThreadsTest, UnregisteredCallbacksNeverRunAgain) {
  Script script = CameraScript().Generator([](const std::string&, uint64_t index, ScriptFrame* frame) {
    frame->data.assign(16, static_cast<uint8_t>(index));
    frame->frameId = static_cast<uint32_t>(index + 1);
    return true;
  });
  KrDeviceHandle device = MakeDevice(script);
  ASSERT_EQ(KrDeviceProxyOpenAllStreams(device), KR_STATUS_OK);
  std::atomic<bool> stop{false};
  std::thread producer([&] {
    for (uint64_t n = 0; !stop.load(); ++n) {
      RaiseNewData(device, "Depth");
      ChangeProperty(device, "Device", "Mirror", ScriptValue::Int(n & 1));
    }
  });
  KrStreamData* record = nullptr;
  ASSERT_EQ(KrDeviceProxyCreateStreamData(device, "Depth", &record), KR_STATUS_OK);
  for (int round = 0; round < 200; ++round) {
    auto data = std::make_unique<Watch>();
    auto change = std::make_unique<Watch>();
    KrCallbackHandle onData = nullptr, onChange = nullptr;
    ASSERT_EQ(KrDeviceProxyRegisterToNewStreamData(device, &OnData, data.get(), &onData), KR_STATUS_OK);
    ASSERT_EQ(KrDeviceProxyRegisterToPropertyChange(device, "Device", "Mirror", &OnChange, change.get(), &onChange),
              KR_STATUS_OK);
    ASSERT_EQ(KrDeviceProxyReadStream(device, record), KR_STATUS_OK);
    EXPECT_EQ(record->nFrameID, static_cast<uint32_t>(round + 1));
    ASSERT_EQ(KrDeviceProxySetIntProperty(device, "Device", "Mirror", 1), KR_STATUS_OK);
    ASSERT_EQ(KrDeviceProxyUnregisterFromNewStreamData(device, onData), KR_STATUS_OK);
    ASSERT_EQ(KrDeviceProxyUnregisterFromPropertyChange(device, "Device", "Mirror", onChange), KR_STATUS_OK);
    data->gone = true;
    change->gone = true;
    EXPECT_GE(change->calls.load(), 1);  // at least the test thread's own set
    std::this_thread::yield();
    EXPECT_EQ(data->late.load(), 0);
    EXPECT_EQ(change->late.load(), 0);
  }  // the cookies are freed here; a late callback would touch freed memory
  stop = true;
  producer.join();
  EXPECT_EQ(KrDeviceProxyDestroyStreamData(&record), KR_STATUS_OK);
}

TEST_F(EventThreadsTest, NoCallbackRunsOnceDestroyReturns) {
  for (int round = 0; round < 20; ++round) {
    KrDeviceHandle device = MakeDevice(CameraScript(), "device" + std::to_string(round));
    auto watch = std::make_unique<Watch>();
    KrCallbackHandle registration = nullptr;
    ASSERT_EQ(KrDeviceProxyRegisterToNewStreamData(device, &OnData, watch.get(), &registration), KR_STATUS_OK);
    std::atomic<bool> started{false};
    std::thread producer([&, device] {
      while (RaiseNewData(device, "Depth") == KR_STATUS_OK) started = true;
    });
    while (!started.load()) std::this_thread::yield();
    KrDeviceHandle doomed = device;
    ASSERT_EQ(KrDeviceProxyDestroy(&doomed), KR_STATUS_OK);
    watch->gone = true;
    producer.join();  // ends once the handle is invalid
    EXPECT_EQ(watch->late.load(), 0);
    EXPECT_GT(watch->calls.load(), 0);
  }
}

}  // namespace
}  // namespace tollan_test
