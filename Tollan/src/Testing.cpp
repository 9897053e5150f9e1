// Test support: the entry helper of every exported call (call count,
// journal, injected failures), the script registry, the script builder and
// the hardware-side helpers of <Tollan/TollanTesting.h>.
#include <Tollan/TollanTesting.h>

#include "KitInternal.h"
#include "ScriptedDevice.h"

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>

namespace tollan {
namespace {

struct Rule {
  std::string call;
  KrStatus status = KR_STATUS_TL_INJECTED_FAILURE;
  uint32_t after = 0;   // calls of this name let through before failing
  uint32_t times = 0;   // failures to inject; 0 = no limit
  uint32_t seen = 0;    // calls let through so far
  uint32_t failed = 0;  // failures injected so far
};

struct TestState {
  std::mutex mutex;
  // The entry helper reads these without the mutex: with no rules and no
  // journal a call costs one atomic increment.
  std::atomic<bool> rulesActive{false};
  std::atomic<bool> journalOn{false};
  std::atomic<uint64_t> calls{0};

  std::vector<Rule> rules;
  uint64_t failAt = 0;  // 0: none
  KrStatus failAtStatus = KR_STATUS_TL_INJECTED_FAILURE;
  uint64_t injected = 0;
  std::vector<testing::JournalEntry> journal;
  std::map<std::string, testing::Script> scripts;

  void UpdateActiveLocked() { rulesActive.store(!rules.empty() || failAt != 0); }
};

TestState& TheState() {
  static TestState* state = new TestState();  // used by calls made during static destruction
  return *state;
}

// The first applicable rule decides; every rule of the name counts the call.
KrStatus InjectedLocked(TestState& state, const char* call, uint64_t number) {
  KrStatus injected = KR_STATUS_OK;
  if (state.failAt != 0 && state.failAt == number) {
    injected = state.failAtStatus;
    state.failAt = 0;
  }
  for (Rule& rule : state.rules) {
    if (rule.call != call) {
      continue;
    }
    if (rule.seen < rule.after) {
      ++rule.seen;
      continue;
    }
    if (rule.times != 0 && rule.failed >= rule.times) {
      continue;
    }
    if (injected == KR_STATUS_OK) {
      injected = rule.status;
      ++rule.failed;
    }
  }
  state.UpdateActiveLocked();
  return injected;
}

}  // namespace

KrStatus EnterCallN(const char* call, KrDeviceHandle device, const char* const* args, int count) {
  TestState& state = TheState();
  const uint64_t number = state.calls.fetch_add(1, std::memory_order_relaxed) + 1;
  if (!state.rulesActive.load(std::memory_order_relaxed) && !state.journalOn.load(std::memory_order_relaxed)) {
    return KR_STATUS_OK;
  }
  std::lock_guard<std::mutex> guard(state.mutex);
  const KrStatus injected = InjectedLocked(state, call, number);
  if (injected != KR_STATUS_OK) {
    ++state.injected;
  }
  if (state.journalOn.load(std::memory_order_relaxed)) {
    testing::JournalEntry entry;
    entry.number = number;
    entry.call = call;
    entry.device = device;
    for (int i = 0; i < count; ++i) {
      entry.args.emplace_back(args[i] ? args[i] : "(null)");
    }
    entry.injected = injected;
    state.journal.push_back(std::move(entry));
  }
  return injected;
}

bool FindScript(const std::string& name, testing::Script* script) {
  TestState& state = TheState();
  std::lock_guard<std::mutex> guard(state.mutex);
  auto found = state.scripts.find(name);
  if (found == state.scripts.end()) {
    return false;
  }
  *script = found->second;
  return true;
}

namespace testing {

// ---- values and the script builder ----

ScriptValue ScriptValue::Int(uint64_t value) {
  ScriptValue v;
  v.type = KR_PROPERTY_TYPE_INTEGER;
  v.intValue = value;
  return v;
}

ScriptValue ScriptValue::Real(double value) {
  ScriptValue v;
  v.type = KR_PROPERTY_TYPE_REAL;
  v.realValue = value;
  return v;
}

ScriptValue ScriptValue::String(const std::string& value) {
  ScriptValue v;
  v.type = KR_PROPERTY_TYPE_STRING;
  v.stringValue = value;
  return v;
}

ScriptValue ScriptValue::General(const void* data, uint32_t size) {
  ScriptValue v;
  v.type = KR_PROPERTY_TYPE_GENERAL;
  if (data != nullptr) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    v.generalValue.assign(bytes, bytes + size);
  }
  return v;
}

Script& Script::Module(const std::string& module) {
  modules.push_back(module);
  return *this;
}

Script& Script::Property(const std::string& module, const std::string& name, const ScriptValue& value, uint32_t flags) {
  properties.push_back(ScriptProperty{module, name, value, flags, {}});
  return *this;
}

Script& Script::IntProperty(const std::string& module, const std::string& name, uint64_t value, uint32_t flags) {
  return Property(module, name, ScriptValue::Int(value), flags);
}

Script& Script::SupportedType(const std::string& type) {
  supportedTypes.push_back(type);
  return *this;
}

Script& Script::TypeProperty(const std::string& type, const std::string& name, const ScriptValue& value,
                             uint32_t flags) {
  typeProperties.push_back(ScriptProperty{type, name, value, flags, {}});
  return *this;
}

Script& Script::Stream(const std::string& type, const std::string& name) {
  streams.push_back(StreamSpec{type, name});
  return *this;
}

Script& Script::StreamProperty(const std::string& stream, const std::string& name, const ScriptValue& value,
                               uint32_t flags) {
  streamProperties.push_back(ScriptProperty{stream, name, value, flags, {}});
  return *this;
}

Script& Script::Frame(const std::string& stream, const std::vector<uint8_t>& data, uint64_t timestamp, uint32_t frameId,
                      bool isNew) {
  frames.push_back(ScriptFrame{stream, data, timestamp, frameId, isNew});
  return *this;
}

Script& Script::Generator(FrameGenerator function) {
  generator = std::move(function);
  return *this;
}

Script& Script::Seekable(bool value) {
  seekable = value;
  return *this;
}

// ---- scripts ----

KrStatus DefineScript(const std::string& name, const Script& script) {
  if (name.empty()) {
    return KR_STATUS_OS_BAD_ARGUMENT;
  }
  TestState& state = TheState();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.scripts[name] = script;
  return KR_STATUS_OK;
}

void ClearScripts() {
  TestState& state = TheState();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.scripts.clear();
}

// ---- the hardware side ----

namespace {

KrStatus Target(KrDeviceHandle device, std::shared_ptr<DeviceBase>* target) {
  TOLLAN_REQUIRE(device);
  *target = FindDevice(device);
  return *target ? KR_STATUS_OK : KR_STATUS_TL_BAD_HANDLE;
}

KrStatus Scripted(KrDeviceHandle device, std::shared_ptr<ScriptedDevice>* target) {
  std::shared_ptr<DeviceBase> any;
  TOLLAN_TRY(Target(device, &any));
  *target = std::dynamic_pointer_cast<ScriptedDevice>(any);
  return *target ? KR_STATUS_OK : KR_STATUS_TL_NOT_SUPPORTED;
}

}  // namespace

KrStatus RaisePropertyChanged(KrDeviceHandle device, const char* module, const char* property) {
  std::shared_ptr<DeviceBase> target;
  TOLLAN_TRY(Target(device, &target));
  TOLLAN_REQUIRE(module);
  TOLLAN_REQUIRE(property);
  target->RaisePropertyChanged(module, property);
  return KR_STATUS_OK;
}

KrStatus RaiseNewData(KrDeviceHandle device, const char* stream) {
  std::shared_ptr<DeviceBase> target;
  TOLLAN_TRY(Target(device, &target));
  TOLLAN_REQUIRE(stream);
  target->RaiseNewData(stream);
  return KR_STATUS_OK;
}

KrStatus RaiseStreamCollectionChanged(KrDeviceHandle device, const char* stream, uint32_t eventType) {
  std::shared_ptr<DeviceBase> target;
  TOLLAN_TRY(Target(device, &target));
  TOLLAN_REQUIRE(stream);
  target->RaiseStreamCollection(stream, eventType);
  return KR_STATUS_OK;
}

KrStatus ChangeProperty(KrDeviceHandle device, const char* module, const char* property, const ScriptValue& value) {
  std::shared_ptr<DeviceBase> target;
  TOLLAN_TRY(Target(device, &target));
  TOLLAN_REQUIRE(module);
  TOLLAN_REQUIRE(property);
  return target->UpdateProperty(module, property, ToValue(value));
}

KrStatus AddStream(KrDeviceHandle device, const char* type, const char* name) {
  std::shared_ptr<DeviceBase> target;
  TOLLAN_TRY(Target(device, &target));
  TOLLAN_REQUIRE(type);
  TOLLAN_REQUIRE(name);
  DeviceBase::Locked lock(*target);
  if (target->ClosedLocked()) {
    return KR_STATUS_TL_BAD_HANDLE;
  }
  return target->CreateStreamLocked(type, name, nullptr, nullptr);
}

KrStatus RemoveStream(KrDeviceHandle device, const char* name) {
  std::shared_ptr<DeviceBase> target;
  TOLLAN_TRY(Target(device, &target));
  TOLLAN_REQUIRE(name);
  DeviceBase::Locked lock(*target);
  if (target->ClosedLocked()) {
    return KR_STATUS_TL_BAD_HANDLE;
  }
  return target->DestroyStreamLocked(name);
}

KrStatus PushFrame(KrDeviceHandle device, const ScriptFrame& frame) {
  std::shared_ptr<ScriptedDevice> target;
  TOLLAN_TRY(Scripted(device, &target));
  return target->PushFrame(frame);
}

KrStatus GetWrittenFrames(KrDeviceHandle device, std::vector<ScriptFrame>* frames) {
  TOLLAN_REQUIRE(frames);
  std::shared_ptr<ScriptedDevice> target;
  TOLLAN_TRY(Scripted(device, &target));
  return target->GetWrittenFrames(frames);
}

// ---- injected failures ----

void FailCall(const std::string& call, KrStatus status, uint32_t after, uint32_t times) {
  TestState& state = TheState();
  std::lock_guard<std::mutex> guard(state.mutex);
  Rule rule;
  rule.call = call;
  rule.status = status;
  rule.after = after;
  rule.times = times;
  state.rules.push_back(rule);
  state.UpdateActiveLocked();
}

void FailNthCall(uint64_t n, KrStatus status) {
  TestState& state = TheState();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.failAt = n;
  state.failAtStatus = status;
  state.UpdateActiveLocked();
}

void ClearFailures() {
  TestState& state = TheState();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.rules.clear();
  state.failAt = 0;
  state.injected = 0;
  state.calls.store(0);
  state.UpdateActiveLocked();
}

void ResetCallCount() { TheState().calls.store(0); }

uint64_t GetCallCount() { return TheState().calls.load(); }

uint64_t GetInjectedFailureCount() {
  TestState& state = TheState();
  std::lock_guard<std::mutex> guard(state.mutex);
  return state.injected;
}

// ---- journal ----

void EnableJournal(bool enabled) {
  TestState& state = TheState();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.journalOn.store(enabled);
}

void ClearJournal() {
  TestState& state = TheState();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.journal.clear();
}

std::vector<JournalEntry> GetJournal() {
  TestState& state = TheState();
  std::lock_guard<std::mutex> guard(state.mutex);
  return state.journal;
}

size_t CountJournalCalls(const std::string& call, const char* arg) {
  TestState& state = TheState();
  std::lock_guard<std::mutex> guard(state.mutex);
  return static_cast<size_t>(std::count_if(state.journal.begin(), state.journal.end(), [&](const JournalEntry& e) {
    return e.call == call &&
           (arg == nullptr || std::find(e.args.begin(), e.args.end(), std::string(arg)) != e.args.end());
  }));
}

void ResetAll() {
  ClearFailures();
  ClearScripts();
  TestState& state = TheState();
  std::lock_guard<std::mutex> guard(state.mutex);
  state.journal.clear();
  state.journalOn.store(false);
}

}  // namespace testing
}  // namespace tollan
