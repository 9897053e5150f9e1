// tollan::DeviceBase: what every device kind of the kit ("SensorV2", "File",
// "Scripted") is built on. The exported KrDeviceProxy* calls validate their
// arguments and land here; the base owns everything that does not depend on
// the kind and calls virtual hooks for what does.
//
// The base owns:
//   - the property store: modules in order ("Device", other device-level
//     modules, then one module per stream named after it), each holding typed
//     properties with optional rules (read-only, allowed values, exact general
//     size, validate and after-set hooks, computed and request getters);
//   - the streams (name, type, open flag, module, the kind's state);
//   - the registrations of the three event kinds and their dispatch;
//   - the device mutex.
//
// Threads and locking. Every public operation takes the device mutex for its
// whole duration, so calls on one device are serialised. Events are never
// raised with the mutex held: an operation (or a kind's hook) queues them
// while locked, and the Locked guard raises them once it has let go, on the
// calling thread and before the operation returns. Callbacks may therefore
// call back into the kit for the same device. Unregistration is safe from
// inside a callback; from any other thread it also waits for a running
// invocation of that registration to end, so the caller may then free its
// cookie. Destroy stops new invocations and waits for those running on other
// threads: once it returns, no callback of the device runs.
//
// Kind hooks marked "locked" run with the device mutex held: they must not
// create a Locked guard of their own nor call exported kit functions on the
// same device. They change values with the *Locked helpers below, which queue
// the matching events.
#pragma once

#include "KitInternal.h"
#include "PropertySetInternal.h"
#include "Value.h"

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace tollan {

// One property of a module. Kinds declare it with DeviceBase::AddProperty and
// set the rules on the returned object. Hooks run locked.
struct Property {
  std::string name;
  Value value;
  bool readOnly = false;          // a set through the kit gives KR_STATUS_TL_PROPERTY_READ_ONLY
  bool listed = true;             // reported by KrDeviceProxyGetAllProperties
  uint32_t generalSize = 0;       // general values: the one accepted size; 0 accepts any size
  std::vector<uint64_t> allowed;  // integer values accepted; empty accepts any
  // Checks (and may adjust) a value before it is stored; a failure refuses it
  // and nothing changes.
  std::function<KrStatus(Value* proposed)> validate;
  // Runs after a new value was stored, by the kit or by the kind (derived
  // values, effects on the simulated hardware).
  std::function<void()> afterSet;
  // Computes the value at each read; the stored value is then not used.
  std::function<KrStatus(Value* value)> compute;
  // General reads that take the caller's buffer as a request and fill it in
  // place; the exact-size rule is then the hook's business. Such properties
  // are left out of KrDeviceProxyGetAllProperties.
  std::function<KrStatus(const KrGeneralBuffer& buffer)> request;
  // General sets through the kit that take the caller's buffer as a command
  // and may write an answer back into it (a self test and its result). The
  // type, read-only and exact-size rules apply first; the value is not
  // stored; a change event follows success.
  std::function<KrStatus(const KrGeneralBuffer& buffer)> setRequest;
};

struct Stream;

// A named group of properties. Stream modules carry their stream.
struct Module {
  std::string name;
  Stream* stream = nullptr;                           // null for device-level modules
  std::vector<std::unique_ptr<Property>> properties;  // declaration order
  // The same properties by name, so that a lookup does not walk a module
  // that a recording made large. DeviceBase::AddProperty keeps both.
  std::unordered_map<std::string, Property*> byName;
  Property* Find(const std::string& property) const;  // null when absent
};

// A kind's own per-stream state derives from this.
struct StreamState {
  virtual ~StreamState() = default;
};

struct Stream {
  uint64_t id = 0;  // unique in the process; records refer to it
  std::string name;
  std::string type;
  bool open = false;
  Module* module = nullptr;
  std::unique_ptr<StreamState> state;
};

// One member of a read or write: a live record of an existing stream.
struct StreamRecord {
  KrStreamData* record = nullptr;
  Stream* stream = nullptr;  // valid while the device stays locked
  uint64_t streamId = 0;     // finds the stream again after a wait (FindStreamById)
};

// A stream described by text keys (an INI device section).
struct StreamDefinition {
  std::string name;
  std::string type;
  std::vector<std::pair<std::string, std::string>> values;  // property, text value
};

class DeviceBase {
 public:
  explicit DeviceBase(const DeviceParams& params);
  virtual ~DeviceBase();
  DeviceBase(const DeviceBase&) = delete;
  DeviceBase& operator=(const DeviceBase&) = delete;

  // Holds the device mutex; raises the events queued meanwhile once released.
  class Locked {
   public:
    explicit Locked(DeviceBase& device);
    ~Locked();
    Locked(const Locked&) = delete;
    Locked& operator=(const Locked&) = delete;
    // For condition-variable waits with the device mutex.
    std::unique_lock<std::mutex>& Lock() { return lock_; }

   private:
    DeviceBase& device_;
    std::unique_lock<std::mutex> lock_;
  };

  // ---- identity ----
  const std::string& Kind() const { return params_.kind; }
  const DeviceParams& Params() const { return params_; }
  KrDeviceHandle Handle() const { return handle_; }

  // ---- lifecycle (the kit's registry) ----
  // Runs Setup, applies the initial values ("Device" and other existing
  // modules), creates the described streams, then runs Start.
  KrStatus Initialize(KrDeviceHandle handle, KrPropertySetHandle initialValues,
                      const std::vector<StreamDefinition>& streams);
  // Stops events and the kind; no callback of the device runs once it returns.
  // The device is gone either way; a failure says what the kind could not
  // finish (a recording whose index could not be written).
  KrStatus Destroy();
  // True on a thread that is running one of this device's callbacks.
  bool InCallbackOnThisThread() const;

  // ---- streams ----
  KrStatus GetSupportedStreams(const char** types, uint32_t* count);
  KrStatus GetStreamNames(const char** names, uint32_t* count);
  KrStatus CreateStream(const char* type, const char* name, KrPropertySetHandle initialValues);
  KrStatus DestroyStream(const char* name);
  KrStatus OpenStream(const char* name);
  KrStatus CloseStream(const char* name);
  KrStatus OpenAllStreams();
  KrStatus CloseAllStreams();

  // ---- frames ----
  KrStatus CreateRecord(const char* stream, KrStreamData** record);
  KrStatus Read(const std::vector<KrStreamData*>& records);
  KrStatus ReadStream(KrStreamData* record);
  KrStatus Write(const std::vector<KrStreamData*>& records);
  KrStatus WriteStream(KrStreamData* record);
  KrStatus Tell(uint64_t* timestamp);
  KrStatus Seek(uint64_t timestamp);
  KrStatus TellFrame(uint32_t* frame);
  KrStatus SeekFrame(uint32_t frame);

  // ---- properties ----
  // Typed reads of integer, real and string values (the type must match).
  KrStatus GetValue(const char* module, const char* property, KrPropertyType type, Value* value);
  KrStatus GetGeneral(const char* module, const char* property, const KrGeneralBuffer& buffer);
  // A set through the kit: every rule applies, then a change event.
  KrStatus SetValue(const char* module, const char* property, const Value& value);
  // A general set through the kit: the property's setRequest hook when it
  // has one, else SetValue with a copy of the bytes.
  KrStatus SetGeneral(const char* module, const char* property, const KrGeneralBuffer& buffer);
  KrStatus GetPropertyType(const char* module, const char* property, KrPropertyType* type);
  KrStatus DoesModuleExist(const char* module, int* exists);
  KrStatus DoesPropertyExist(const char* module, const char* property, int* exists);
  KrStatus GetAllProperties(KrPropertySetHandle set, int noStreams, const char* module);
  KrStatus BatchConfig(KrPropertySetHandle set);
  // Applies the "Module.Property=value" keys of an INI section.
  KrStatus LoadConfig(const IniSection& section);

  // ---- events ----
  KrStatus RegisterPropertyChange(const char* module, const char* property, KrPropertyChangedCallback callback,
                                  void* cookie, KrCallbackHandle* registration);
  KrStatus UnregisterPropertyChange(const char* module, const char* property, KrCallbackHandle registration);
  KrStatus RegisterNewData(KrNewStreamDataCallback callback, void* cookie, KrCallbackHandle* registration);
  KrStatus UnregisterNewData(KrCallbackHandle registration);
  KrStatus RegisterStreamsChange(KrStreamCollectionChangedCallback callback, void* cookie,
                                 KrCallbackHandle* registration);
  KrStatus UnregisterStreamsChange(KrCallbackHandle registration);

  // Raise events now, on the calling thread (which must not hold the device
  // mutex): for kinds' own threads and the test helpers. Any name and any
  // stream-collection type number pass through unchanged.
  void RaisePropertyChanged(const std::string& module, const std::string& property);
  void RaiseNewData(const std::string& stream);
  void RaiseStreamCollection(const std::string& stream, uint32_t eventType);
  // Stores a value as the hardware would (no rules), then raises its event.
  KrStatus UpdateProperty(const std::string& module, const std::string& property, const Value& value);

  // ---- for kinds: declarations and changes (locked) ----
  Module& AddModule(const std::string& name);  // returns the existing one when present
  Property& AddProperty(const std::string& module, const std::string& name, const Value& value);
  void AddSupportedStreamType(const std::string& type);
  Module* FindModule(const std::string& name) const;
  Property* FindProperty(const std::string& module, const std::string& property) const;
  Stream* FindStream(const std::string& name) const;
  Stream* FindStreamById(uint64_t id) const;
  const std::vector<std::unique_ptr<Stream>>& Streams() const { return streams_; }
  // Stores without the rules (read-only included), runs the after-set hooks
  // and queues the change event. Missing: 0x30814/0x3080B; another type:
  // KR_STATUS_TL_BAD_PROPERTY_TYPE.
  KrStatus StoreLocked(const std::string& module, const std::string& property, const Value& value);
  void QueuePropertyChangedLocked(const std::string& module, const std::string& property);
  void QueueNewDataLocked(const std::string& stream);
  void QueueStreamCollectionLocked(const std::string& stream, uint32_t eventType);
  // Creates or removes a stream as the hardware would (events queued).
  KrStatus CreateStreamLocked(const std::string& type, const std::string& name, KrPropertySetHandle initialValues,
                              const std::vector<std::pair<std::string, std::string>>* textValues);
  KrStatus DestroyStreamLocked(const std::string& name);
  // True once Destroy began; waits in kinds end when it turns true.
  bool ClosedLocked() const { return closed_; }
  // Signalled by Destroy; kinds may wait on it with Locked::Lock().
  std::condition_variable& Signal() { return signal_; }

 protected:
  // ---- hooks for kinds ----
  // Declares modules, properties, supported stream types and the streams
  // present at creation (locked).
  virtual KrStatus Setup() { return KR_STATUS_OK; }
  // After the initial values and described streams are in place (locked).
  virtual KrStatus Start() { return KR_STATUS_OK; }
  // At destruction, unlocked, after events stopped: end the kind's threads
  // and finish its files.
  virtual void Stop() {}
  // After Stop: what Stop could not finish, reported by Destroy.
  virtual KrStatus StopResult() const { return KR_STATUS_OK; }
  // Declares the properties of a new stream beyond "Type" (locked).
  virtual KrStatus OnCreateStream(Stream& /*stream*/) { return KR_STATUS_OK; }
  // The stream has its initial values (locked).
  virtual KrStatus OnStreamReady(Stream& /*stream*/) { return KR_STATUS_OK; }
  // Before a stream goes (closed already); a failure keeps it (locked).
  virtual KrStatus OnDestroyStream(Stream& /*stream*/) { return KR_STATUS_OK; }
  virtual KrStatus OnOpenStream(Stream& /*stream*/) { return KR_STATUS_OK; }
  virtual KrStatus OnCloseStream(Stream& /*stream*/) { return KR_STATUS_OK; }
  // Fill the records of open streams (locked; may wait on Signal() through
  // lock, after which streams are found again by id). single: one stream was
  // asked for (KrDeviceProxyReadStream).
  virtual KrStatus ReadRecords(Locked& lock, std::vector<StreamRecord>& records, bool single);
  // Take the records of a write (locked). Records of closed streams are
  // passed too: whether writing needs an open stream is the kind's choice (a
  // recorder adds streams to its file after opening all of them). Default:
  // KR_STATUS_TL_WRONG_MODE in read mode, KR_STATUS_TL_NOT_SUPPORTED in write
  // mode.
  virtual KrStatus WriteRecords(Locked& lock, std::vector<StreamRecord>& records, bool single);
  // Position in a recording (locked). Default: KR_STATUS_TL_NOT_SUPPORTED.
  virtual KrStatus TellTime(uint64_t* timestamp);
  virtual KrStatus SeekTime(uint64_t timestamp);
  virtual KrStatus TellFrameNumber(uint32_t* frame);
  virtual KrStatus SeekFrameNumber(uint32_t frame);
  // Every set through the kit (after the property's own validate) and every
  // store: refuse, or watch changes (locked).
  virtual KrStatus BeforeSet(Module& /*module*/, Property& /*property*/, Value* /*proposed*/) { return KR_STATUS_OK; }
  virtual void AfterSet(Module& /*module*/, Property& /*property*/) {}
  // An initial value (device or stream creation, INI stream key) names a
  // module or property the device lacks. Default: 0x30814 or 0x3080B. A kind
  // that records anything (a file being written) adds it (locked).
  virtual KrStatus OnUnknownInitialValue(const std::string& module, const std::string& property, const Value& value);
  // A set through the kit names a module or property the device lacks.
  // Default: false (the set fails with 0x30814 or 0x3080B). A kind that
  // records anything (a file being written) declares the property with an
  // empty value of the type and returns true; the set then proceeds as
  // usual (locked).
  virtual bool DeclareOnSet(const std::string& /*module*/, const std::string& /*property*/,
                            KrPropertyType /*type*/) {
    return false;
  }
  // Size of a new record's buffer; default the stream's "RequiredDataSize".
  virtual uint64_t RecordCapacity(const Stream& stream) const;

 private:
  enum EventKind { kPropertyEvent = 0, kNewDataEvent = 1, kStreamsEvent = 2 };
  struct Event {
    int kind = kPropertyEvent;
    std::string name;      // module (property events) or stream
    std::string property;  // property events
    uint32_t type = 0;     // stream-collection events
  };
  struct Registration {
    uint64_t id = 0;
    int kind = kPropertyEvent;
    std::string module;    // property events
    std::string property;  // property events
    KrPropertyChangedCallback onProperty = nullptr;
    KrNewStreamDataCallback onNewData = nullptr;
    KrStreamCollectionChangedCallback onStreams = nullptr;
    void* cookie = nullptr;
    bool active = true;  // guarded by eventsMutex_
  };
  enum class SetOrigin { kKit, kInitial };

  KrStatus CheckOpenLocked() const;
  KrStatus FindLocked(const char* module, const char* property, Module** m, Property** p) const;
  // FindLocked for a set: offers a missing property to DeclareOnSet first.
  KrStatus FindForSetLocked(const char* module, const char* property, KrPropertyType type, Module** m, Property** p);
  KrStatus SetLocked(Module& module, Property& property, Value value, SetOrigin origin);
  KrStatus ApplyInitialLocked(const std::string& module, const std::string& property, const Value& value);
  KrStatus ApplyInitialTextLocked(const std::string& module, const std::string& property, const std::string& text);
  KrStatus ApplyDeviceInitialValuesLocked(KrPropertySetHandle set);
  KrStatus ResolveRecordsLocked(const std::vector<KrStreamData*>& records, bool forRead,
                                std::vector<StreamRecord>* resolved);
  const char* InternLocked(const std::string& text);
  void RemoveStreamLocked(Stream* stream);

  KrStatus Register(std::unique_ptr<Registration> registration, KrCallbackHandle* handle);
  KrStatus Unregister(int kind, const char* module, const char* property, KrCallbackHandle handle);
  void Dispatch(const std::vector<Event>& events);
  void Invoke(const std::shared_ptr<Registration>& registration, const Event& event);

  const DeviceParams params_;
  KrDeviceHandle handle_ = nullptr;

  // The device state, guarded by mutex_.
  mutable std::mutex mutex_;
  std::condition_variable signal_;
  bool closed_ = false;
  std::vector<std::unique_ptr<Module>> modules_;  // "Device" first, stream modules in creation order
  std::vector<std::unique_ptr<Stream>> streams_;  // creation order
  std::vector<std::string> supportedTypes_;       // declaration order
  std::set<std::string> interned_;                // names handed out; stable until destruction
  std::vector<Event> pending_;                    // queued while locked, raised by Locked
  // Lookups beside modules_ and streams_ (whose order is what callers see),
  // so that a device with many modules or streams (a crafted recording)
  // still finds one without a walk. deviceModules_ counts the device-level
  // modules at the front of modules_.
  std::unordered_map<std::string, Module*> modulesByName_;
  std::unordered_map<std::string, Stream*> streamsByName_;
  std::unordered_map<uint64_t, Stream*> streamsById_;
  size_t deviceModules_ = 0;

  // Registrations, guarded by eventsMutex_ (never taken while calling out).
  std::mutex eventsMutex_;
  std::condition_variable eventsDone_;
  bool eventsClosed_ = false;
  std::vector<std::shared_ptr<Registration>> registrations_;
  // Invocations in progress: thread and registration.
  std::vector<std::pair<std::thread::id, const Registration*>> running_;
};

// The kit's capacity rule for lists (see TollanDevice.h).
KrStatus FillNameList(const std::vector<const char*>& entries, const char** out, uint32_t* count);

}  // namespace tollan
