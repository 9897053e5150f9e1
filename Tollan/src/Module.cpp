// Tollan module properties and property modules.
//
// A property keeps its change registrations in a vector, in registration
// order. Raising walks it by index and never allocates; a callback may
// register (the new registration is raised from the next change on) or
// unregister (itself or any other; an unregistered callback that has not
// run yet in this round does not run). Registrations removed during a raise
// are only marked, and swept once the outermost raise is over.

#include <Tollan/TollanModule.h>
#include <Tollan/TollanStatus.h>

#include <atomic>
#include <cstring>
#include <new>
#include <string_view>
#include <unordered_map>
#include <vector>

// Returns the status of expr when it is a failure.
#define TL_RETURN_IF_FAILED(expr)    \
  do {                               \
    const KrStatus status_ = (expr); \
    if (status_ != KR_STATUS_OK) {   \
      return status_;                \
    }                                \
  } while (0)

namespace {

KrStatus CheckNotNull(const void* pointer) { return pointer == nullptr ? KR_STATUS_OS_NULL_POINTER : KR_STATUS_OK; }

KrStatus CheckType(KrPropertyType actual, KrPropertyType wanted) {
  return actual == wanted ? KR_STATUS_OK : KR_STATUS_TL_BAD_PROPERTY_TYPE;
}

// Copies a name into a KR_MAX_NAME_LENGTH buffer, cut to fit; null is "".
void CopyName(char* destination, const char* source) {
  const size_t length = source == nullptr ? 0 : strnlen(source, KR_MAX_NAME_LENGTH - 1);
  if (length > 0) {
    std::memcpy(destination, source, length);
  }
  destination[length] = '\0';
}

// What a property that holds no value of the asked type answers: the wrong
// type, or (a bare KrProperty of that type, without storage) not supported.
KrStatus NoStorage(KrPropertyType actual, KrPropertyType wanted) {
  TL_RETURN_IF_FAILED(CheckType(actual, wanted));
  return KR_STATUS_TL_NOT_SUPPORTED;
}

// Registration handles are numbers from one process-wide counter, so a
// handle never names two registrations, even after the first is gone or on
// another property.
KrCallbackHandle NextRegistrationHandle() {
  static std::atomic<uintptr_t> counter{0};
  return reinterpret_cast<KrCallbackHandle>(counter.fetch_add(1) + 1);
}

}  // namespace

struct KrProperty::Callbacks {
  struct Registration {
    KrCallbackHandle handle;
    KrPropertyValueChangedCallback callback;
    void* cookie;
    bool live;  // false once unregistered during a raise, until swept
  };
  std::vector<Registration> registrations;
  int raiseDepth = 0;  // nested raises in progress (a callback may change the value again)
  bool hasDead = false;

  Registration* Find(KrCallbackHandle handle) {
    for (Registration& registration : registrations) {
      if (registration.handle == handle && registration.live) {
        return &registration;
      }
    }
    return nullptr;
  }

  void Sweep() {
    size_t to = 0;  // compacts in place: sweeping never allocates
    for (size_t from = 0; from < registrations.size(); ++from) {
      if (registrations[from].live) {
        registrations[to++] = registrations[from];
      }
    }
    registrations.resize(to);
    hasDead = false;
  }
};

// ---- KrProperty ----

KrProperty::KrProperty(KrPropertyType type, const char* name, const char* module) : type_(type), callbacks_(nullptr) {
  CopyName(name_, name);
  CopyName(module_, module);
}

KrProperty::~KrProperty() { delete callbacks_; }

void KrProperty::SetModule(const char* module) { CopyName(module_, module); }

KrStatus KrProperty::GetValue(uint64_t* value) const {
  TL_RETURN_IF_FAILED(CheckNotNull(value));
  return NoStorage(type_, KR_PROPERTY_TYPE_INTEGER);
}

KrStatus KrProperty::GetValue(double* value) const {
  TL_RETURN_IF_FAILED(CheckNotNull(value));
  return NoStorage(type_, KR_PROPERTY_TYPE_REAL);
}

KrStatus KrProperty::GetValue(char* value) const {
  TL_RETURN_IF_FAILED(CheckNotNull(value));
  return NoStorage(type_, KR_PROPERTY_TYPE_STRING);
}

KrStatus KrProperty::GetValue(const KrGeneralBuffer& value) const {
  (void)value;
  return NoStorage(type_, KR_PROPERTY_TYPE_GENERAL);
}

KrStatus KrProperty::SetValue(uint64_t value) {
  TL_RETURN_IF_FAILED(CheckType(type_, KR_PROPERTY_TYPE_INTEGER));
  return UnsafeUpdateValue(value);
}

KrStatus KrProperty::SetValue(double value) {
  TL_RETURN_IF_FAILED(CheckType(type_, KR_PROPERTY_TYPE_REAL));
  return UnsafeUpdateValue(value);
}

KrStatus KrProperty::SetValue(const char* value) {
  TL_RETURN_IF_FAILED(CheckType(type_, KR_PROPERTY_TYPE_STRING));
  return UnsafeUpdateValue(value);
}

KrStatus KrProperty::SetValue(const KrGeneralBuffer& value) {
  TL_RETURN_IF_FAILED(CheckType(type_, KR_PROPERTY_TYPE_GENERAL));
  return UnsafeUpdateValue(value);
}

// Store refuses what cannot be stored (wrong type, null, wrong size); only a
// stored value raises the callbacks.
KrStatus KrProperty::UnsafeUpdateValue(uint64_t value) {
  TL_RETURN_IF_FAILED(Store(value));
  RaiseChanged();
  return KR_STATUS_OK;
}

KrStatus KrProperty::UnsafeUpdateValue(double value) {
  TL_RETURN_IF_FAILED(Store(value));
  RaiseChanged();
  return KR_STATUS_OK;
}

KrStatus KrProperty::UnsafeUpdateValue(const char* value) {
  TL_RETURN_IF_FAILED(Store(value));
  RaiseChanged();
  return KR_STATUS_OK;
}

KrStatus KrProperty::UnsafeUpdateValue(const KrGeneralBuffer& value) {
  TL_RETURN_IF_FAILED(Store(value));
  RaiseChanged();
  return KR_STATUS_OK;
}

KrStatus KrProperty::Store(uint64_t) { return NoStorage(type_, KR_PROPERTY_TYPE_INTEGER); }
KrStatus KrProperty::Store(double) { return NoStorage(type_, KR_PROPERTY_TYPE_REAL); }
KrStatus KrProperty::Store(const char*) { return NoStorage(type_, KR_PROPERTY_TYPE_STRING); }
KrStatus KrProperty::Store(const KrGeneralBuffer&) { return NoStorage(type_, KR_PROPERTY_TYPE_GENERAL); }

KrStatus KrProperty::RegisterForOnValueChanged(KrPropertyValueChangedCallback callback, void* cookie,
                                               KrCallbackHandle* registration) {
  if (callback == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  TL_RETURN_IF_FAILED(CheckNotNull(registration));
  if (callbacks_ == nullptr) {
    callbacks_ = new (std::nothrow) Callbacks();
    if (callbacks_ == nullptr) {
      return KR_STATUS_OS_ALLOC_FAILED;
    }
  }
  try {
    const KrCallbackHandle handle = NextRegistrationHandle();
    callbacks_->registrations.push_back({handle, callback, cookie, true});
    *registration = handle;
  } catch (const std::bad_alloc&) {
    return KR_STATUS_OS_ALLOC_FAILED;
  }
  return KR_STATUS_OK;
}

KrStatus KrProperty::UnregisterFromOnValueChanged(KrCallbackHandle registration) {
  Callbacks::Registration* found = callbacks_ == nullptr ? nullptr : callbacks_->Find(registration);
  if (found == nullptr) {
    return KR_STATUS_TL_BAD_REGISTRATION;
  }
  found->live = false;
  callbacks_->hasDead = true;
  if (callbacks_->raiseDepth == 0) {
    callbacks_->Sweep();
  }
  return KR_STATUS_OK;
}

void KrProperty::RaiseChanged() {
  if (callbacks_ == nullptr) {
    return;
  }
  Callbacks& callbacks = *callbacks_;
  // Registrations made by a callback land past count and wait for the next
  // change. The vector may grow meanwhile, so each row is copied before its
  // callback runs.
  const size_t count = callbacks.registrations.size();
  ++callbacks.raiseDepth;
  for (size_t i = 0; i < count && i < callbacks.registrations.size(); ++i) {
    const Callbacks::Registration registration = callbacks.registrations[i];
    if (registration.live) {
      registration.callback(*this, registration.cookie);  // the status is the callback's own business
    }
  }
  if (--callbacks.raiseDepth == 0 && callbacks.hasDead) {
    callbacks.Sweep();
  }
}

// ---- typed properties ----

KrActualIntProperty::KrActualIntProperty(const char* name, uint64_t value, const char* module)
    : KrProperty(KR_PROPERTY_TYPE_INTEGER, name, module), value_(value) {}

KrStatus KrActualIntProperty::GetValue(uint64_t* value) const {
  TL_RETURN_IF_FAILED(CheckNotNull(value));
  *value = value_;
  return KR_STATUS_OK;
}

KrStatus KrActualIntProperty::Store(uint64_t value) {
  value_ = value;
  return KR_STATUS_OK;
}

KrActualRealProperty::KrActualRealProperty(const char* name, double value, const char* module)
    : KrProperty(KR_PROPERTY_TYPE_REAL, name, module), value_(value) {}

KrStatus KrActualRealProperty::GetValue(double* value) const {
  TL_RETURN_IF_FAILED(CheckNotNull(value));
  *value = value_;
  return KR_STATUS_OK;
}

KrStatus KrActualRealProperty::Store(double value) {
  value_ = value;
  return KR_STATUS_OK;
}

// A null or over-long initial value starts the property as "".
KrActualStringProperty::KrActualStringProperty(const char* name, const char* value, const char* module)
    : KrProperty(KR_PROPERTY_TYPE_STRING, name, module) {
  value_[0] = '\0';
  if (value != nullptr && strnlen(value, KR_MAX_NAME_LENGTH) < KR_MAX_NAME_LENGTH) {
    CopyName(value_, value);
  }
}

KrStatus KrActualStringProperty::GetValue(char* value) const {
  TL_RETURN_IF_FAILED(CheckNotNull(value));
  std::memcpy(value, value_, std::strlen(value_) + 1);
  return KR_STATUS_OK;
}

// Text that does not fit is refused rather than cut.
KrStatus KrActualStringProperty::Store(const char* value) {
  TL_RETURN_IF_FAILED(CheckNotNull(value));
  const size_t length = strnlen(value, KR_MAX_NAME_LENGTH);
  if (length >= KR_MAX_NAME_LENGTH) {
    return KR_STATUS_TL_BAD_PROPERTY_SIZE;
  }
  std::memmove(value_, value, length + 1);  // the text may be our own (a value read back)
  return KR_STATUS_OK;
}

KrActualGeneralProperty::KrActualGeneralProperty(const char* name, void* storage, uint32_t size, const char* module)
    : KrProperty(KR_PROPERTY_TYPE_GENERAL, name, module), storage_(storage), size_(size) {}

KrStatus KrActualGeneralProperty::GetValue(const KrGeneralBuffer& value) const {
  if (value.nDataSize != size_) {
    return KR_STATUS_TL_BAD_PROPERTY_SIZE;
  }
  if (size_ == 0) {
    return KR_STATUS_OK;
  }
  TL_RETURN_IF_FAILED(CheckNotNull(value.pData));
  TL_RETURN_IF_FAILED(CheckNotNull(storage_));
  std::memmove(value.pData, storage_, size_);
  return KR_STATUS_OK;
}

KrStatus KrActualGeneralProperty::Store(const KrGeneralBuffer& value) {
  if (value.nDataSize != size_) {
    return KR_STATUS_TL_BAD_PROPERTY_SIZE;
  }
  if (size_ == 0) {
    return KR_STATUS_OK;
  }
  TL_RETURN_IF_FAILED(CheckNotNull(value.pData));
  TL_RETURN_IF_FAILED(CheckNotNull(storage_));
  std::memmove(storage_, value.pData, size_);
  return KR_STATUS_OK;
}

// ---- KrDeviceModule ----

struct KrDeviceModule::Properties {
  std::vector<KrProperty*> ordered;
  // Keys view the names inside the properties, which outlive the module and
  // never rename.
  std::unordered_map<std::string_view, KrProperty*> byName;
};

KrDeviceModule::KrDeviceModule(const char* name) : properties_(new (std::nothrow) Properties()) {
  CopyName(name_, name);
}

KrDeviceModule::~KrDeviceModule() { delete properties_; }

// The table is made in the constructor; Init makes it again only if that
// allocation failed, so a derived Init can report the failure.
KrStatus KrDeviceModule::Init() {
  if (properties_ == nullptr) {
    properties_ = new (std::nothrow) Properties();
  }
  return properties_ != nullptr ? KR_STATUS_OK : KR_STATUS_OS_ALLOC_FAILED;
}

KrStatus KrDeviceModule::AddProperties(KrProperty** properties, uint32_t count) {
  if (count == 0) {
    return KR_STATUS_OK;
  }
  TL_RETURN_IF_FAILED(CheckNotNull(properties));
  // Qualified: a derived Init calls AddProperties, so the virtual one would recurse.
  TL_RETURN_IF_FAILED(KrDeviceModule::Init());
  for (uint32_t i = 0; i < count; ++i) {
    KrProperty* property = properties[i];
    TL_RETURN_IF_FAILED(CheckNotNull(property));
    if (FindProperty(property->GetName()) != nullptr) {
      return KR_STATUS_TL_PROPERTY_ALREADY_EXISTS;
    }
    try {
      properties_->ordered.push_back(property);
      try {
        properties_->byName.emplace(property->GetName(), property);
      } catch (...) {
        properties_->ordered.pop_back();
        throw;
      }
    } catch (const std::bad_alloc&) {
      return KR_STATUS_OS_ALLOC_FAILED;
    }
    if (property->GetModule()[0] == '\0') {
      property->SetModule(name_);
    }
  }
  return KR_STATUS_OK;
}

KrProperty* KrDeviceModule::FindProperty(const char* name) const {
  if (name == nullptr || properties_ == nullptr) {
    return nullptr;
  }
  auto found = properties_->byName.find(name);
  return found == properties_->byName.end() ? nullptr : found->second;
}

namespace {

// Finds the property an operation addresses: null name 0x10004, unknown 0x3080B.
KrStatus Lookup(const KrDeviceModule& module, const char* name, KrProperty** property) {
  TL_RETURN_IF_FAILED(CheckNotNull(name));
  *property = module.FindProperty(name);
  return *property != nullptr ? KR_STATUS_OK : KR_STATUS_TL_PROPERTY_NOT_FOUND;
}

}  // namespace

KrStatus KrDeviceModule::GetProperty(const char* property, uint64_t* value) {
  KrProperty* found = nullptr;
  TL_RETURN_IF_FAILED(Lookup(*this, property, &found));
  return found->GetValue(value);
}

KrStatus KrDeviceModule::GetProperty(const char* property, double* value) {
  KrProperty* found = nullptr;
  TL_RETURN_IF_FAILED(Lookup(*this, property, &found));
  return found->GetValue(value);
}

KrStatus KrDeviceModule::GetProperty(const char* property, char* value) {
  KrProperty* found = nullptr;
  TL_RETURN_IF_FAILED(Lookup(*this, property, &found));
  return found->GetValue(value);
}

KrStatus KrDeviceModule::GetProperty(const char* property, const KrGeneralBuffer& value) {
  KrProperty* found = nullptr;
  TL_RETURN_IF_FAILED(Lookup(*this, property, &found));
  return found->GetValue(value);
}

KrStatus KrDeviceModule::SetProperty(const char* property, uint64_t value) {
  KrProperty* found = nullptr;
  TL_RETURN_IF_FAILED(Lookup(*this, property, &found));
  return found->SetValue(value);
}

KrStatus KrDeviceModule::SetProperty(const char* property, double value) {
  KrProperty* found = nullptr;
  TL_RETURN_IF_FAILED(Lookup(*this, property, &found));
  return found->SetValue(value);
}

KrStatus KrDeviceModule::SetProperty(const char* property, const char* value) {
  KrProperty* found = nullptr;
  TL_RETURN_IF_FAILED(Lookup(*this, property, &found));
  return found->SetValue(value);
}

KrStatus KrDeviceModule::SetProperty(const char* property, const KrGeneralBuffer& value) {
  KrProperty* found = nullptr;
  TL_RETURN_IF_FAILED(Lookup(*this, property, &found));
  return found->SetValue(value);
}

KrStatus KrDeviceModule::GetPropertyType(const char* property, KrPropertyType* type) {
  TL_RETURN_IF_FAILED(CheckNotNull(type));
  KrProperty* found = nullptr;
  TL_RETURN_IF_FAILED(Lookup(*this, property, &found));
  *type = found->GetType();
  return KR_STATUS_OK;
}

KrStatus KrDeviceModule::DoesPropertyExist(const char* property, int* exists) {
  TL_RETURN_IF_FAILED(CheckNotNull(exists));
  *exists = 0;
  KrProperty* found = nullptr;
  TL_RETURN_IF_FAILED(Lookup(*this, property, &found));
  *exists = 1;
  return KR_STATUS_OK;
}

KrStatus KrDeviceModule::RegisterForOnPropertyValueChanged(const char* property,
                                                           KrPropertyValueChangedCallback callback, void* cookie,
                                                           KrCallbackHandle* registration) {
  KrProperty* found = nullptr;
  TL_RETURN_IF_FAILED(Lookup(*this, property, &found));
  return found->RegisterForOnValueChanged(callback, cookie, registration);
}

KrStatus KrDeviceModule::UnregisterFromOnPropertyValueChanged(const char* property, KrCallbackHandle registration) {
  KrProperty* found = nullptr;
  TL_RETURN_IF_FAILED(Lookup(*this, property, &found));
  return found->UnregisterFromOnValueChanged(registration);
}
