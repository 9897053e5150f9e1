// Tollan test support: the scripted device, injected failures and the
// journal of kit calls. For tests of code that stands on the kit.
//
// Scripted device. A test describes a device in a Script (modules, typed
// properties, supported stream types with the properties each new stream of
// that type gets, streams present at creation, frames to deliver, a frame
// generator, seeking) and defines it under a name with DefineScript. Then
// KrDeviceProxyCreateDeviceByName("Scripted", ...) with the connection string
// "NAME" (or "scripted:NAME"), or KrDeviceProxyCreate with "scripted:NAME",
// makes a device from it; each device takes a copy of the script. The kit
// must be started (TollanInit). The device name of a scripted device is
// "Scripted".
//
// Behaviour of a scripted device: reads deliver the script's frames (and
// frames pushed later) of each open stream in order, one per stream per read;
// a stream with no frame left (and no generator frame) keeps its last data
// with bIsNew 0. Reading one stream that is not open gives
// KR_STATUS_TL_STREAM_NOT_OPEN; in a read of a set such members get bIsNew 0.
// Writes need a device created in write mode (else KR_STATUS_TL_WRONG_MODE)
// and an open stream; GetWrittenFrames returns what was written. Seeking
// works when the script allows it (else KR_STATUS_TL_NOT_SUPPORTED): the
// position is the delivered frame sequence, Tell and TellFrame give the
// timestamp and frame id of the last frame delivered, Seek and SeekFrame make
// the next read deliver the first frame whose timestamp (frame id) is at
// least the one given.
//
// Hardware side. The Raise* functions raise events on any kit device, with
// any names and any stream-collection event type number; ChangeProperty,
// AddStream and RemoveStream change a device as its hardware would (no
// rules; events raised). They run the callbacks on the calling thread before
// they return, and must not be called while a scripted generator runs.
//
// Injected failures and journal. Every exported call of TollanDevice.h (kit
// lifecycle, devices, streams, stream-data records and sets, properties,
// events) enters through one helper that counts it, appends it to the journal when the
// journal is on, and fails it with the chosen status when a rule applies:
// by name (optionally after N successful calls of that name, optionally a
// limited number of times) or the Nth call overall counted from the last
// ClearFailures or ResetCallCount. A failed call does nothing else.
//
// Threads: every function here is safe from any thread. Scripts are copied
// when defined and when a device is made, so a Script object belongs to its
// creator. Generators run with the device locked: they must not call the kit.
#pragma once

#include <Tollan/Tollan.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tollan {
namespace testing {

// A typed value for scripts and ChangeProperty.
struct ScriptValue {
  KrPropertyType type = KR_PROPERTY_TYPE_INTEGER;
  uint64_t intValue = 0;
  double realValue = 0.0;
  std::string stringValue;
  std::vector<uint8_t> generalValue;

  static ScriptValue Int(uint64_t value);
  static ScriptValue Real(double value);
  static ScriptValue String(const std::string& value);
  static ScriptValue General(const void* data, uint32_t size);
};

// Rules of a scripted property.
enum ScriptPropertyFlags : uint32_t {
  kScriptReadOnly = 1u << 0,  // sets through the kit give KR_STATUS_TL_PROPERTY_READ_ONLY
  kScriptUnlisted = 1u << 1,  // left out of KrDeviceProxyGetAllProperties
  kScriptFixedSize = 1u << 2  // general values: only the initial value's size is accepted
};

struct ScriptProperty {
  std::string module;  // module name; for stream templates, ignored (the stream's name is used)
  std::string name;
  ScriptValue value;
  uint32_t flags = 0;                 // ScriptPropertyFlags
  std::vector<uint64_t> allowedInts;  // integer values accepted by sets (empty: any)
};

// One frame of one stream.
struct ScriptFrame {
  std::string stream;
  std::vector<uint8_t> data;
  uint64_t timestamp = 0;
  uint32_t frameId = 0;
  bool isNew = true;
};

// Called for each open stream being read when it has no scripted frame left;
// returns true with *frame filled (its stream field is ignored) to deliver
// it, false for "no new frame". readIndex counts the reads of that stream
// since the device was made, from 0.
using FrameGenerator = std::function<bool(const std::string& stream, uint64_t readIndex, ScriptFrame* frame)>;

// The description of a scripted device. Fields may be filled directly or
// through the chaining helpers.
struct Script {
  std::vector<std::string> modules;            // device-level modules besides "Device"
  std::vector<ScriptProperty> properties;      // device-level properties ("Device" or a listed module)
  std::vector<std::string> supportedTypes;     // stream types KrDeviceProxyCreateStream accepts
  std::vector<ScriptProperty> typeProperties;  // per type: module = the stream type they apply to
  struct StreamSpec {
    std::string type;
    std::string name;
  };
  std::vector<StreamSpec> streams;               // present at creation, closed
  std::vector<ScriptProperty> streamProperties;  // properties of those streams: module = stream name
  std::vector<ScriptFrame> frames;               // delivered in order
  FrameGenerator generator;
  bool seekable = false;
  // Initial values naming properties (or modules) the script lacks add them
  // instead of failing with 0x3080B (0x30814).
  bool acceptUnknownInitialValues = false;

  Script& Module(const std::string& module);
  Script& Property(const std::string& module, const std::string& name, const ScriptValue& value, uint32_t flags = 0);
  Script& IntProperty(const std::string& module, const std::string& name, uint64_t value, uint32_t flags = 0);
  Script& SupportedType(const std::string& type);
  // Every stream of this type made on the device gets the property.
  Script& TypeProperty(const std::string& type, const std::string& name, const ScriptValue& value, uint32_t flags = 0);
  // A stream present at creation (its type becomes supported too).
  Script& Stream(const std::string& type, const std::string& name);
  Script& StreamProperty(const std::string& stream, const std::string& name, const ScriptValue& value,
                         uint32_t flags = 0);
  Script& Frame(const std::string& stream, const std::vector<uint8_t>& data, uint64_t timestamp, uint32_t frameId,
                bool isNew = true);
  Script& Generator(FrameGenerator generator);
  Script& Seekable(bool seekable = true);
};

// ---- scripts ----
// Defines (or replaces) the script of that name. Empty name: 0x10006.
KrStatus DefineScript(const std::string& name, const Script& script);
void ClearScripts();

// ---- the hardware side (any device kind) ----
KrStatus RaisePropertyChanged(KrDeviceHandle device, const char* module, const char* property);
KrStatus RaiseNewData(KrDeviceHandle device, const char* stream);
KrStatus RaiseStreamCollectionChanged(KrDeviceHandle device, const char* stream, uint32_t eventType);
// Stores the value without the property's rules and raises its change event.
KrStatus ChangeProperty(KrDeviceHandle device, const char* module, const char* property, const ScriptValue& value);
// A stream appears (type must be supported) or goes; events raised.
KrStatus AddStream(KrDeviceHandle device, const char* type, const char* name);
KrStatus RemoveStream(KrDeviceHandle device, const char* name);
// Scripted devices only (others: KR_STATUS_TL_NOT_SUPPORTED).
KrStatus PushFrame(KrDeviceHandle device, const ScriptFrame& frame);
KrStatus GetWrittenFrames(KrDeviceHandle device, std::vector<ScriptFrame>* frames);

// ---- injected failures ----
// Fails the named call (e.g. "KrDeviceProxyRead") with status, after
// `after` successful calls of it; `times` failures then (0: every call).
void FailCall(const std::string& call, KrStatus status = KR_STATUS_TL_INJECTED_FAILURE, uint32_t after = 0,
              uint32_t times = 0);
// Fails the Nth kit call (1 is the first) counted from the last ClearFailures
// or ResetCallCount, once.
void FailNthCall(uint64_t n, KrStatus status = KR_STATUS_TL_INJECTED_FAILURE);
// Removes every rule and resets the call count.
void ClearFailures();
void ResetCallCount();
uint64_t GetCallCount();  // calls since the last reset
// Failures injected since the last ClearFailures.
uint64_t GetInjectedFailureCount();

// ---- journal ----
struct JournalEntry {
  uint64_t number = 0;  // position in the call count
  std::string call;     // e.g. "KrDeviceProxyGetIntProperty"
  KrDeviceHandle device = nullptr;
  std::vector<std::string> args;     // key texts: module, property, stream, kind ("(null)" for null)
  KrStatus injected = KR_STATUS_OK;  // the injected failure, if any
};

void EnableJournal(bool enabled);
void ClearJournal();
std::vector<JournalEntry> GetJournal();
// Calls of that name in the journal; with arg, only those having it among their texts.
size_t CountJournalCalls(const std::string& call, const char* arg = nullptr);

// Clears scripts, failure rules, the call count and the journal, and turns
// the journal off.
void ResetAll();

}  // namespace testing
}  // namespace tollan
