// Events raised on another thread while the test thread reads, changes
// values, unregisters and destroys: no callback may run once its
// unregistration (or the device's destruction) has returned. Meant to run
// under the sanitizers, where a callback on a freed cookie is a report.
#include "KitTestSupport.h"

#include <atomic>
#include <memory>
#include <thread>

namespace tollan_test {
namespace {

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
  if (watch->gone.load()) {
    watch->late.fetch_add(1);
  }
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
    uint64_t n = 0;
    while (!stop.load()) {
      RaiseNewData(device, "Depth");
      ChangeProperty(device, "Device", "Mirror", ScriptValue::Int(++n & 1));
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
      while (RaiseNewData(device, "Depth") == KR_STATUS_OK) {
        started = true;
      }
    });
    while (!started.load()) {
      std::this_thread::yield();
    }
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
