// Injected failures and the journal of kit calls.
#include "KitTestSupport.h"

#include <functional>
#include <vector>

namespace tollan_test {
namespace {

using TestingTest = KitTest;

TEST_F(TestingTest, FailuresByNameCountSuccessesAndLimits) {
  KrDeviceHandle device = MakeDevice(CameraScript());
  const struct {
    uint32_t after;
    uint32_t times;
    const char* fails;  // outcome of five calls in a row: x failed, . passed
  } cases[] = {{0, 0, "xxxxx"}, {0, 1, "x...."}, {2, 0, "..xxx"}, {1, 2, ".xx.."}};
  for (const auto& c : cases) {
    ClearFailures();
    FailCall("KrDeviceProxySetIntProperty", 0x12345, c.after, c.times);
    std::string outcome;
    for (int i = 0; i < 5; ++i) {
      const KrStatus status = KrDeviceProxySetIntProperty(device, "Device", "Mirror", i);
      outcome += status == KrStatus(0x12345) ? 'x' : status == KR_STATUS_OK ? '.' : '?';
    }
    EXPECT_EQ(outcome, c.fails);
    IntOf(device, "Device", "Mirror");  // other calls are not touched
  }
}

TEST_F(TestingTest, AnInjectedFailureDoesNothingElse) {
  KrDeviceHandle device = MakeDevice(CameraScript());
  std::vector<int> calls;
  KrCallbackHandle registration = nullptr;
  ASSERT_EQ(KrDeviceProxyRegisterToPropertyChange(
                device, "Device", "Mirror",
                [](KrDeviceHandle, const char*, const char*, void* cookie) {
                  static_cast<std::vector<int>*>(cookie)->push_back(1);
                },
                &calls, &registration),
            KR_STATUS_OK);
  FailCall("KrDeviceProxySetIntProperty");
  EXPECT_EQ(KrDeviceProxySetIntProperty(device, "Device", "Mirror", 1), KR_STATUS_TL_INJECTED_FAILURE);
  // Injection comes before the checks: even bad arguments get the injected status.
  EXPECT_EQ(KrDeviceProxySetIntProperty(nullptr, nullptr, nullptr, 1), KR_STATUS_TL_INJECTED_FAILURE);
  ClearFailures();
  EXPECT_EQ(IntOf(device, "Device", "Mirror"), 0u);
  EXPECT_TRUE(calls.empty());
  // The Nth call counted from the reset fails once.
  ClearFailures();
  EXPECT_EQ(GetCallCount(), 0u);
  FailNthCall(2, 0x777);
  uint64_t value = 0;
  EXPECT_EQ(KrDeviceProxyGetIntProperty(device, "Device", "Mirror", &value), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxyGetIntProperty(device, "Device", "Mirror", &value), KrStatus(0x777));
  EXPECT_EQ(KrDeviceProxyGetIntProperty(device, "Device", "Mirror", &value), KR_STATUS_OK);
  EXPECT_EQ(GetCallCount(), 3u);
  ResetCallCount();
  EXPECT_EQ(GetCallCount(), 0u);
  ClearFailures();
  FailCall("KrDeviceProxyDestroy", KR_STATUS_TL_DEVICE_BUSY, 0, 1);
  KrDeviceHandle copy = device;
  EXPECT_EQ(KrDeviceProxyDestroy(&copy), KR_STATUS_TL_DEVICE_BUSY);
  EXPECT_EQ(copy, device);
  EXPECT_EQ(KrDeviceProxyDestroy(&copy), KR_STATUS_OK);
  EXPECT_EQ(GetInjectedFailureCount(), 1u);
}

TEST_F(TestingTest, JournalRecordsCallsWithTheirKeyArguments) {
  KrDeviceHandle device = MakeDevice(CameraScript());
  uint64_t value = 0;
  EXPECT_EQ(KrDeviceProxyGetIntProperty(device, "Device", "Mirror", &value), KR_STATUS_OK);
  EXPECT_TRUE(GetJournal().empty());  // off until enabled
  EnableJournal(true);
  FailCall("KrDeviceProxyOpenStream", 0x999, 0, 1);
  EXPECT_EQ(KrDeviceProxyGetIntProperty(device, "Depth", "XRes", &value), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxyOpenStream(device, "Depth"), KrStatus(0x999));
  EXPECT_EQ(KrDeviceProxyGetIntProperty(device, nullptr, "XRes", &value), KR_STATUS_OS_NULL_POINTER);
  EnableJournal(false);
  EXPECT_EQ(KrDeviceProxyCloseStream(device, "Depth"), KR_STATUS_OK);

  // Each entry as "call(args) -> injected status".
  std::vector<std::string> entries;
  for (const JournalEntry& entry : GetJournal()) {
    std::string args;
    for (const std::string& arg : entry.args) args += (args.empty() ? "" : ",") + arg;
    entries.push_back(entry.call + "(" + args + ") -> " + std::to_string(entry.injected));
    EXPECT_EQ(entry.device, device);
  }
  EXPECT_EQ(entries, (std::vector<std::string>{"KrDeviceProxyGetIntProperty(Depth,XRes) -> 0",
                                               "KrDeviceProxyOpenStream(Depth) -> 2457",
                                               "KrDeviceProxyGetIntProperty((null),XRes) -> 0"}));
  const std::vector<JournalEntry> journal = GetJournal();
  EXPECT_LT(journal[0].number, journal[1].number);
  EXPECT_EQ(CountJournalCalls("KrDeviceProxyGetIntProperty"), 2u);
  EXPECT_EQ(CountJournalCalls("KrDeviceProxyGetIntProperty", "Depth"), 1u);
  EXPECT_EQ(CountJournalCalls("KrDeviceProxyCloseStream"), 0u);
  ClearJournal();
  EXPECT_TRUE(GetJournal().empty());
}

// A typical reading session, failed at each of its kit calls in turn: the
// failure reaches the caller, and everything made so far is released.
TEST_F(TestingTest, FailingEachCallOfASessionInTurnIsClean) {
  ASSERT_EQ(DefineScript("sweep", CameraScript().Frame("Depth", {1, 2}, 10, 1)), KR_STATUS_OK);
  KrDeviceHandle device = nullptr;
  KrStreamDataSetHandle set = nullptr;
  KrStreamData* depth = nullptr;
  KrCallbackHandle registration = nullptr;
  KrDeviceConfig config{KR_DEVICE_MODE_READ, "scripted:sweep", nullptr, 0};
  const std::vector<std::function<KrStatus()>> steps = {
      [&] { return KrDeviceProxyCreate(&device, &config); },
      [&] { return KrStreamDataSetCreate(&set); },
      [&] { return KrDeviceProxyCreateStreamData(device, "Depth", &depth); },
      [&] { return KrStreamDataSetAdd(set, depth); },
      [&] {
        return KrDeviceProxyRegisterToNewStreamData(
            device, [](const KrNewStreamDataEventArgs&, void*) {}, nullptr, &registration);
      },
      [&] { return KrDeviceProxyOpenAllStreams(device); },
      [&] { return KrDeviceProxyRead(device, set); },
      [&] { return KrDeviceProxyUnregisterFromNewStreamData(device, registration); },
      [&] { return KrStreamDataSetRemove(set, depth); },
  };
  for (uint64_t n = 1; n <= steps.size() + 1; ++n) {
    SCOPED_TRACE(n);
    ClearFailures();
    FailNthCall(n, 0x4242);
    KrStatus status = KR_STATUS_OK;
    for (size_t step = 0; step < steps.size() && status == KR_STATUS_OK; ++step) status = steps[step]();
    EXPECT_EQ(GetInjectedFailureCount(), n <= steps.size() ? 1u : 0u);
    EXPECT_EQ(status, n <= steps.size() ? KrStatus(0x4242) : KR_STATUS_OK);
    EXPECT_TRUE(n <= steps.size() || depth->bIsNew == 1);
    ClearFailures();  // the release below is not part of the sweep
    if (depth != nullptr) {
      EXPECT_EQ(KrDeviceProxyDestroyStreamData(&depth), KR_STATUS_OK);
    }
    if (set != nullptr) {
      EXPECT_EQ(KrStreamDataSetDestroy(&set), KR_STATUS_OK);
    }
    if (device != nullptr) {
      EXPECT_EQ(KrDeviceProxyDestroy(&device), KR_STATUS_OK);
    }
  }
}

}  // namespace
}  // namespace tollan_test
