#include <Ovalith/properties/KrVPropertySet.h>

#include <new>

// The share count is shared by every copy of one set; the last copy to go
// destroys the kit set.

KrVPropertySet::KrVPropertySet() : handle(nullptr), shareCount(nullptr) {
  KrPropertySetCreate(&handle);
  auto* count = new (std::nothrow) std::atomic<int>(1);
  if (count == nullptr) {
    // Without a count the set cannot be shared safely; give it up.
    KrPropertySetDestroy(&handle);
    handle = nullptr;
    return;
  }
  shareCount = count;
}

KrVPropertySet::~KrVPropertySet() { Release(); }

KrVPropertySet::KrVPropertySet(const KrVPropertySet& other) : handle(other.handle), shareCount(other.shareCount) {
  if (shareCount != nullptr) {
    shareCount->fetch_add(1);
  }
}

KrVPropertySet& KrVPropertySet::operator=(const KrVPropertySet& other) {
  if (this == &other || shareCount == other.shareCount) {
    return *this;
  }
  if (other.shareCount != nullptr) {
    other.shareCount->fetch_add(1);
  }
  Release();
  handle = other.handle;
  shareCount = other.shareCount;
  return *this;
}

void KrVPropertySet::Release() {
  if (shareCount != nullptr && shareCount->fetch_sub(1) == 1) {
    KrPropertySetDestroy(&handle);
    delete shareCount;
  }
  handle = nullptr;
  shareCount = nullptr;
}

KrStatus KrVPropertySet::AddModule(const char* module) { return KrPropertySetAddModule(handle, module); }

KrStatus KrVPropertySet::RemoveModule(const char* module) { return KrPropertySetRemoveModule(handle, module); }

KrStatus KrVPropertySet::AddProperty(const char* module, const char* property, const KrGeneralBuffer& value) {
  return KrPropertySetAddGeneralProperty(handle, module, property, &value);
}

KrStatus KrVPropertySet::AddProperty(const char* module, const char* property, const char* value) {
  return KrPropertySetAddStringProperty(handle, module, property, value);
}

KrStatus KrVPropertySet::AddProperty(const char* module, const char* property, double value) {
  return KrPropertySetAddRealProperty(handle, module, property, value);
}

KrStatus KrVPropertySet::AddProperty(const char* module, const char* property, uint64_t value) {
  return KrPropertySetAddIntProperty(handle, module, property, value);
}

KrStatus KrVPropertySet::RemoveProperty(const char* module, const char* property) {
  return KrPropertySetRemoveProperty(handle, module, property);
}

KrVPropertySetEnumerator::KrVPropertySetEnumerator(const KrVPropertySet& set, const char* module)
    : enumeratorHandle(nullptr) {
  // A failure leaves the handle null; MoveNext then reports the kit's status.
  KrPropertySetGetEnumerator(set.handle, &enumeratorHandle, module);
}

KrVPropertySetEnumerator::~KrVPropertySetEnumerator() { KrPropertySetEnumeratorFree(&enumeratorHandle); }

KrStatus KrVPropertySetEnumerator::MoveNext(bool* end) {
  return KrPropertySetEnumeratorMoveNext(enumeratorHandle, end);
}

KrStatus KrVPropertySetEnumerator::GetCurrentPropertyInfo(KrPropertyType* type, const char** module,
                                                          const char** property) {
  return KrPropertySetEnumeratorGetCurrentPropertyInfo(enumeratorHandle, type, module, property);
}

KrStatus KrVPropertySetEnumerator::GetCurrentGeneralValue(KrGeneralBuffer* value) {
  return KrPropertySetEnumeratorGetGeneralValue(enumeratorHandle, value);
}
