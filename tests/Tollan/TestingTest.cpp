// Injected failures and the journal of kit calls.
#include "KitTestSupport.h"

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
    // Other calls are not touched.
    uint64_t value = 0;
    EXPECT_EQ(KrDeviceProxyGetIntProperty(device, "Device", "Mirror", &value), KR_STATUS_OK);
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

  FailCall("KrDeviceProxyDestroy", KR_STATUS_TL_DEVICE_BUSY, 0, 1);
  KrDeviceHandle copy = device;
  EXPECT_EQ(KrDeviceProxyDestroy(&copy), KR_STATUS_TL_DEVICE_BUSY);
  EXPECT_EQ(copy, device);
  EXPECT_EQ(KrDeviceProxyDestroy(&copy), KR_STATUS_OK);
  EXPECT_EQ(GetInjectedFailureCount(), 1u);
}

TEST_F(TestingTest, TheNthCallFailsOnceCountedFromTheReset) {
  KrDeviceHandle device = MakeDevice(CameraScript());
  ClearFailures();
  EXPECT_EQ(GetCallCount(), 0u);
  FailNthCall(3, 0x777);
  uint64_t value = 0;
  EXPECT_EQ(KrDeviceProxyGetIntProperty(device, "Device", "Mirror", &value), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxySetIntProperty(device, "Device", "Mirror", 1), KR_STATUS_OK);
  EXPECT_EQ(KrDeviceProxyGetIntProperty(device, "Device", "Mirror", &value), KrStatus(0x777));
  EXPECT_EQ(KrDeviceProxyGetIntProperty(device, "Device", "Mirror", &value), KR_STATUS_OK);
  EXPECT_EQ(GetCallCount(), 4u);
  ResetCallCount();
  EXPECT_EQ(GetCallCount(), 0u);
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

#define TOLLAN_STEP(expression)                \
  do {                                         \
    const KrStatus stepStatus_ = (expression); \
    if (stepStatus_ != KR_STATUS_OK) {         \
      return stepStatus_;                      \
    }                                          \
  } while (0)

// One pass over a typical reading session; every step is a kit call. On the
// first failure everything made so far is released and the status returned.
// *injected tells whether a failure was injected into the session's steps.
KrStatus ReadingSession(int* frames, bool* injected) {
  KrDeviceHandle device = nullptr;
  KrStreamDataSetHandle set = nullptr;
  KrStreamData* depth = nullptr;
  KrCallbackHandle registration = nullptr;
  KrDeviceConfig config{KR_DEVICE_MODE_READ, "scripted:sweep", nullptr, 0};
  auto step = [&]() -> KrStatus {
    TOLLAN_STEP(KrDeviceProxyCreate(&device, &config));
    TOLLAN_STEP(KrStreamDataSetCreate(&set));
    TOLLAN_STEP(KrDeviceProxyCreateStreamData(device, "Depth", &depth));
    TOLLAN_STEP(KrStreamDataSetAdd(set, depth));
    TOLLAN_STEP(KrDeviceProxyRegisterToNewStreamData(
        device, [](const KrNewStreamDataEventArgs&, void*) {}, nullptr, &registration));
    TOLLAN_STEP(KrDeviceProxyOpenAllStreams(device));
    TOLLAN_STEP(KrDeviceProxyRead(device, set));
    *frames += depth->bIsNew;
    TOLLAN_STEP(KrDeviceProxyUnregisterFromNewStreamData(device, registration));
    TOLLAN_STEP(KrStreamDataSetRemove(set, depth));
    return KR_STATUS_OK;
  };
  const KrStatus status = step();
  *injected = GetInjectedFailureCount() > 0;
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
  return status;
}

TEST_F(TestingTest, FailingEachCallOfASessionInTurnIsClean) {
  ASSERT_EQ(DefineScript("sweep", CameraScript().Frame("Depth", {1, 2}, 10, 1)), KR_STATUS_OK);
  uint64_t n = 1;
  for (;; ++n) {
    ClearFailures();
    FailNthCall(n, 0x4242);
    int frames = 0;
    bool injected = false;
    const KrStatus status = ReadingSession(&frames, &injected);
    if (!injected) {
      EXPECT_EQ(status, KR_STATUS_OK);
      EXPECT_EQ(frames, 1);
      break;
    }
    EXPECT_EQ(status, KrStatus(0x4242)) << "call " << n;
    ASSERT_LT(n, 100u);
  }
  EXPECT_EQ(n, 10u);  // nine calls in the session, the tenth pass runs clean
}

}  // namespace
}  // namespace tollan_test
