// KrVPropertySet: the application's set of module and property values,
// passed as initial values when a device or stream is created, filled by
// KrVDevice::GetAllProperties and applied by KrVDevice::BatchConfig.
//
// The values live in a property set of the device kit; this object owns the
// kit's handle. Copies (construction and assignment) share the same kit set:
// the set lives until the last copy is gone, so destroying every copy, in any
// order, is safe. An object is not thread-safe; copies on different threads
// need the caller's serialisation, since they share one set.
#pragma once

#include <Tollan/Tollan.h>

#include <atomic>

class KrVPropertySetEnumerator;

class KrVPropertySet {
 public:
  KrVPropertySet();  // a failure to create the kit set is silent; later calls fail in the kit
  virtual ~KrVPropertySet();  // virtual, as its AddProperty calls are
  KrVPropertySet(const KrVPropertySet& other);
  KrVPropertySet& operator=(const KrVPropertySet& other);

  KrStatus AddModule(const char* module);
  KrStatus RemoveModule(const char* module);
  virtual KrStatus AddProperty(const char* module, const char* property, const KrGeneralBuffer& value);
  virtual KrStatus AddProperty(const char* module, const char* property, const char* value);
  virtual KrStatus AddProperty(const char* module, const char* property, double value);
  virtual KrStatus AddProperty(const char* module, const char* property, uint64_t value);
  KrStatus RemoveProperty(const char* module, const char* property);

  // The kit's handle (null when creation failed); the device passes it on.
  KrPropertySetHandle GetHandle() const { return handle; }

 private:
  friend class KrVDevice;
  friend class KrVPropertySetEnumerator;
  void Release();

  KrPropertySetHandle handle;  // shared by every copy
  std::atomic<int>* shareCount;  // objects sharing handle; null when the set was never made
};

// Walks a property set's entries (of one module when module is not null).
// Internal to the engine; owned by its creator; the set must outlive it.
class KrVPropertySetEnumerator {
 public:
  KrVPropertySetEnumerator(const KrVPropertySet& set, const char* module);
  ~KrVPropertySetEnumerator();
  KrVPropertySetEnumerator(const KrVPropertySetEnumerator&) = delete;
  KrVPropertySetEnumerator& operator=(const KrVPropertySetEnumerator&) = delete;

  KrStatus MoveNext(bool* end);
  KrStatus GetCurrentPropertyInfo(KrPropertyType* type, const char** module, const char** property);
  KrStatus GetCurrentGeneralValue(KrGeneralBuffer* value);

 private:
  KrPropertySetEnumeratorHandle enumeratorHandle;
};
