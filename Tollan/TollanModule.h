// Tollan property modules: KrProperty (one named, typed value that raises
// change callbacks) and KrDeviceModule (a named group of properties). Device
// kinds build their modules from these, and so does an application that
// keeps per-stream values of its own (the engine's per-stream modules).
//
// Ownership: a module does not own the properties added to it; they must
// outlive the module (typically both are members of one object). A
// KrActualGeneralProperty's storage belongs to its creator.
//
// Threads: a module and its properties are not locked; one thread at a
// time, or the owner serialises. Change callbacks run on the thread that
// changed the value, after the value is stored. A callback may register or
// unregister callbacks (its own included) of the same property: a callback
// unregistered before its turn does not run, one registered runs from the
// next change on.
//
// Null pointers give 0x10004; text values of more than 199 characters are
// refused with KR_STATUS_TL_BAD_PROPERTY_SIZE, never cut.
#pragma once

#include <Tollan/TollanTypes.h>

class KrProperty;

// Change callback of a module property; the status is ignored by the kit.
typedef KrStatus (*KrPropertyValueChangedCallback)(const KrProperty& property, void* cookie);

class KrProperty {
 public:
  // module may be null (then the module adding it names it at AddProperties).
  KrProperty(KrPropertyType type, const char* name, const char* module);
  virtual ~KrProperty();
  KrProperty(const KrProperty&) = delete;
  KrProperty& operator=(const KrProperty&) = delete;

  KrPropertyType GetType() const { return type_; }
  const char* GetName() const { return name_; }
  const char* GetModule() const { return module_; }
  void SetModule(const char* module);

  // Reads and writes by the value's type; another type gives
  // KR_STATUS_TL_BAD_PROPERTY_TYPE. String reads fill KR_MAX_NAME_LENGTH
  // characters. General reads and writes need exactly the value's size.
  // The default writes store the value with UnsafeUpdateValue.
  virtual KrStatus GetValue(uint64_t* value) const;
  virtual KrStatus GetValue(double* value) const;
  virtual KrStatus GetValue(char* value) const;
  virtual KrStatus GetValue(const KrGeneralBuffer& value) const;
  virtual KrStatus SetValue(uint64_t value);
  virtual KrStatus SetValue(double value);
  virtual KrStatus SetValue(const char* value);
  virtual KrStatus SetValue(const KrGeneralBuffer& value);

  // Stores the value without the checks a derived SetValue adds, then
  // raises every registered change callback (also when the value is equal).
  KrStatus UnsafeUpdateValue(uint64_t value);
  KrStatus UnsafeUpdateValue(double value);
  KrStatus UnsafeUpdateValue(const char* value);
  KrStatus UnsafeUpdateValue(const KrGeneralBuffer& value);

  KrStatus RegisterForOnValueChanged(KrPropertyValueChangedCallback callback, void* cookie,
                                     KrCallbackHandle* registration);
  KrStatus UnregisterFromOnValueChanged(KrCallbackHandle registration);  // unknown: KR_STATUS_TL_BAD_REGISTRATION

 protected:
  // Storage of the value, by type; the derived classes hold it.
  virtual KrStatus Store(uint64_t value);
  virtual KrStatus Store(double value);
  virtual KrStatus Store(const char* value);
  virtual KrStatus Store(const KrGeneralBuffer& value);
  void RaiseChanged();
  bool HasChangeCallbacks() const { return callbacks_ != nullptr; }

 private:
  struct Callbacks;
  KrPropertyType type_;
  char name_[KR_MAX_NAME_LENGTH];
  char module_[KR_MAX_NAME_LENGTH];
  Callbacks* callbacks_;  // registrations, in registration order
};

class KrActualIntProperty : public KrProperty {
 public:
  KrActualIntProperty(const char* name, uint64_t value, const char* module = nullptr);
  uint64_t GetValue() const { return value_; }
  using KrProperty::GetValue;
  KrStatus GetValue(uint64_t* value) const override;
  // UnsafeUpdateValue of this very class, inline: for owners that publish a
  // value on every frame. A class derived from this one that stores
  // differently must not be updated through it.
  void Publish(uint64_t value) {
    value_ = value;
    if (HasChangeCallbacks()) {
      RaiseChanged();
    }
  }

 protected:
  KrStatus Store(uint64_t value) override;
  using KrProperty::Store;

 private:
  uint64_t value_;
};

class KrActualRealProperty : public KrProperty {
 public:
  KrActualRealProperty(const char* name, double value, const char* module = nullptr);
  using KrProperty::GetValue;
  KrStatus GetValue(double* value) const override;

 protected:
  KrStatus Store(double value) override;
  using KrProperty::Store;

 private:
  double value_;
};

class KrActualStringProperty : public KrProperty {
 public:
  KrActualStringProperty(const char* name, const char* value, const char* module = nullptr);
  using KrProperty::GetValue;
  KrStatus GetValue(char* value) const override;

 protected:
  KrStatus Store(const char* value) override;
  using KrProperty::Store;

 private:
  char value_[KR_MAX_NAME_LENGTH];
};

// A general value kept in the creator's storage of a fixed size: reads copy
// the storage out, writes copy into it.
class KrActualGeneralProperty : public KrProperty {
 public:
  KrActualGeneralProperty(const char* name, void* storage, uint32_t size, const char* module = nullptr);
  using KrProperty::GetValue;
  KrStatus GetValue(const KrGeneralBuffer& value) const override;

 protected:
  KrStatus Store(const KrGeneralBuffer& value) override;
  using KrProperty::Store;

 private:
  void* storage_;
  uint32_t size_;
};

class KrDeviceModule {
 public:
  explicit KrDeviceModule(const char* name);
  virtual ~KrDeviceModule();
  KrDeviceModule(const KrDeviceModule&) = delete;
  KrDeviceModule& operator=(const KrDeviceModule&) = delete;

  // Prepares the module; a derived Init calls it first, then adds properties.
  virtual KrStatus Init();
  const char* GetName() const { return name_; }

  // Adds properties (not owned); a name already present gives
  // KR_STATUS_TL_PROPERTY_ALREADY_EXISTS and stops there. A property without
  // a module name takes this module's name.
  KrStatus AddProperties(KrProperty** properties, uint32_t count);
  KrProperty* FindProperty(const char* name) const;  // null when absent

  // An unknown property gives 0x3080B in every operation below.
  virtual KrStatus GetProperty(const char* property, uint64_t* value);
  virtual KrStatus GetProperty(const char* property, double* value);
  virtual KrStatus GetProperty(const char* property, char* value);
  virtual KrStatus GetProperty(const char* property, const KrGeneralBuffer& value);
  virtual KrStatus SetProperty(const char* property, uint64_t value);
  virtual KrStatus SetProperty(const char* property, double value);
  virtual KrStatus SetProperty(const char* property, const char* value);
  virtual KrStatus SetProperty(const char* property, const KrGeneralBuffer& value);
  virtual KrStatus GetPropertyType(const char* property, KrPropertyType* type);
  // Found: 0 with *exists 1. Not found: 0x3080B with *exists 0.
  virtual KrStatus DoesPropertyExist(const char* property, int* exists);
  virtual KrStatus RegisterForOnPropertyValueChanged(const char* property, KrPropertyValueChangedCallback callback,
                                                     void* cookie, KrCallbackHandle* registration);
  virtual KrStatus UnregisterFromOnPropertyValueChanged(const char* property, KrCallbackHandle registration);

 private:
  struct Properties;
  char name_[KR_MAX_NAME_LENGTH];
  Properties* properties_;  // name -> property, in addition order
};
