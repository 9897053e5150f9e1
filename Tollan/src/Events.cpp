// tollan::DeviceBase: event registrations and their dispatch.
//
// A registration is shared between the device's list and the invocations in
// progress, so unregistering (which drops it from the list) never frees one
// that a callback is running for. running_ tells unregistration and Destroy
// which callbacks are still executing and on which threads.
#include "DeviceBase.h"

#include <algorithm>
#include <atomic>

namespace tollan {

namespace {

// Registration handles are unique in the process, so a handle of another
// device (or a stale one) never matches by accident.
std::atomic<uint64_t> gNextRegistration{1};

// The devices whose callbacks are running on this thread, innermost last.
thread_local std::vector<const DeviceBase*> tCallbacks;

bool InAnyCallback() { return !tCallbacks.empty(); }

}  // namespace

bool DeviceBase::InCallbackOnThisThread() const {
  return std::find(tCallbacks.begin(), tCallbacks.end(), this) != tCallbacks.end();
}

// ---- queueing and raising ----

void DeviceBase::QueuePropertyChangedLocked(const std::string& module, const std::string& property) {
  pending_.push_back(Event{kPropertyEvent, module, property, 0});
}

void DeviceBase::QueueNewDataLocked(const std::string& stream) {
  pending_.push_back(Event{kNewDataEvent, stream, std::string(), 0});
}

void DeviceBase::QueueStreamCollectionLocked(const std::string& stream, uint32_t eventType) {
  pending_.push_back(Event{kStreamsEvent, stream, std::string(), eventType});
}

void DeviceBase::RaisePropertyChanged(const std::string& module, const std::string& property) {
  Dispatch({Event{kPropertyEvent, module, property, 0}});
}

void DeviceBase::RaiseNewData(const std::string& stream) { Dispatch({Event{kNewDataEvent, stream, std::string(), 0}}); }

void DeviceBase::RaiseStreamCollection(const std::string& stream, uint32_t eventType) {
  Dispatch({Event{kStreamsEvent, stream, std::string(), eventType}});
}

void DeviceBase::Dispatch(const std::vector<Event>& events) {
  for (const Event& event : events) {
    std::vector<std::shared_ptr<Registration>> targets;
    {
      std::lock_guard<std::mutex> guard(eventsMutex_);
      if (eventsClosed_) {
        return;
      }
      for (const auto& registration : registrations_) {
        if (registration->kind == event.kind &&
            (event.kind != kPropertyEvent ||
             (registration->module == event.name && registration->property == event.property))) {
          targets.push_back(registration);
        }
      }
    }
    for (const auto& registration : targets) {
      Invoke(registration, event);
    }
  }
}

void DeviceBase::Invoke(const std::shared_ptr<Registration>& registration, const Event& event) {
  const std::thread::id self = std::this_thread::get_id();
  {
    std::lock_guard<std::mutex> guard(eventsMutex_);
    // Unregistered (or the device closed) since the targets were chosen.
    if (!registration->active || eventsClosed_) {
      return;
    }
    running_.emplace_back(self, registration.get());
  }
  tCallbacks.push_back(this);
  switch (registration->kind) {
    case kPropertyEvent:
      registration->onProperty(handle_, event.name.c_str(), event.property.c_str(), registration->cookie);
      break;
    case kNewDataEvent: {
      const KrNewStreamDataEventArgs args{handle_, event.name.c_str()};
      registration->onNewData(args, registration->cookie);
      break;
    }
    case kStreamsEvent: {
      const KrStreamCollectionChangedEventArgs args{handle_, event.name.c_str(), event.type};
      registration->onStreams(args, registration->cookie);
      break;
    }
  }
  tCallbacks.pop_back();
  {
    std::lock_guard<std::mutex> guard(eventsMutex_);
    auto entry = std::find(running_.begin(), running_.end(),
                           std::make_pair(self, static_cast<const Registration*>(registration.get())));
    if (entry != running_.end()) {
      running_.erase(entry);
    }
  }
  eventsDone_.notify_all();
}

// ---- registration ----

KrStatus DeviceBase::Register(std::unique_ptr<Registration> registration, KrCallbackHandle* handle) {
  std::lock_guard<std::mutex> guard(eventsMutex_);
  if (eventsClosed_) {
    return KR_STATUS_TL_BAD_HANDLE;
  }
  registration->id = gNextRegistration.fetch_add(1);
  *handle = reinterpret_cast<KrCallbackHandle>(static_cast<uintptr_t>(registration->id));
  registrations_.push_back(std::shared_ptr<Registration>(std::move(registration)));
  return KR_STATUS_OK;
}

KrStatus DeviceBase::Unregister(int kind, const char* module, const char* property, KrCallbackHandle handle) {
  const uint64_t id = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
  std::unique_lock<std::mutex> lock(eventsMutex_);
  if (eventsClosed_) {
    return KR_STATUS_TL_BAD_HANDLE;
  }
  auto found = std::find_if(registrations_.begin(), registrations_.end(), [&](const auto& r) {
    return r->id == id && r->kind == kind &&
           (kind != kPropertyEvent || (r->module == module && r->property == property));
  });
  if (found == registrations_.end()) {
    return KR_STATUS_TL_BAD_REGISTRATION;
  }
  const Registration* target = found->get();
  (*found)->active = false;
  registrations_.erase(found);
  // Once this returns the caller may free its cookie, so an invocation still
  // running on another thread is waited for. Inside a callback that wait
  // could close a cycle between two threads, so there only new invocations
  // are stopped.
  if (!InAnyCallback()) {
    const std::thread::id self = std::this_thread::get_id();
    eventsDone_.wait(lock, [&] {
      return std::none_of(running_.begin(), running_.end(),
                          [&](const auto& entry) { return entry.second == target && entry.first != self; });
    });
  }
  return KR_STATUS_OK;
}

KrStatus DeviceBase::RegisterPropertyChange(const char* module, const char* property,
                                            KrPropertyChangedCallback callback, void* cookie,
                                            KrCallbackHandle* registration) {
  {
    Locked lock(*this);
    TOLLAN_TRY(CheckOpenLocked());
    Module* m = nullptr;
    Property* p = nullptr;
    TOLLAN_TRY(FindLocked(module, property, &m, &p));
  }
  auto entry = std::make_unique<Registration>();
  entry->kind = kPropertyEvent;
  entry->module = module;
  entry->property = property;
  entry->onProperty = callback;
  entry->cookie = cookie;
  return Register(std::move(entry), registration);
}

KrStatus DeviceBase::UnregisterPropertyChange(const char* module, const char* property, KrCallbackHandle registration) {
  return Unregister(kPropertyEvent, module, property, registration);
}

KrStatus DeviceBase::RegisterNewData(KrNewStreamDataCallback callback, void* cookie, KrCallbackHandle* registration) {
  auto entry = std::make_unique<Registration>();
  entry->kind = kNewDataEvent;
  entry->onNewData = callback;
  entry->cookie = cookie;
  return Register(std::move(entry), registration);
}

KrStatus DeviceBase::UnregisterNewData(KrCallbackHandle registration) {
  return Unregister(kNewDataEvent, nullptr, nullptr, registration);
}

KrStatus DeviceBase::RegisterStreamsChange(KrStreamCollectionChangedCallback callback, void* cookie,
                                           KrCallbackHandle* registration) {
  auto entry = std::make_unique<Registration>();
  entry->kind = kStreamsEvent;
  entry->onStreams = callback;
  entry->cookie = cookie;
  return Register(std::move(entry), registration);
}

KrStatus DeviceBase::UnregisterStreamsChange(KrCallbackHandle registration) {
  return Unregister(kStreamsEvent, nullptr, nullptr, registration);
}

}  // namespace tollan
