// KrVModule: a small handle that names one module of a KrVStreamContainer
// (in practice a device: "Device", "Depth", "Image", a per-stream module,
// ...) and forwards typed property access, property enumeration and change
// subscriptions to the container with the module's name filled in.
//
// Ownership: the handle owns a copy of the module's name; it does not own
// or keep alive the container: the application keeps the device alive while
// it uses handles on it. A copy attaches to the same container and module
// (and stays detached if the container no longer has that module).
//
// Statuses: 0x10001 for any use of a detached handle and for attaching to a
// module the container does not have; 0x10004 for a null container; the
// container's own statuses pass through unchanged.
//
// Threads: a handle is used from one thread at a time; the calls it forwards
// follow the container's rules.
#pragma once

#include <Ovalith/properties/KrVStreamContainer.h>

class KrVModule {
 public:
  KrVModule();  // detached
  KrVModule(const KrVModule& other);
  KrVModule& operator=(const KrVModule& other);
  virtual ~KrVModule();

  // Names the module of the container; on any failure the handle stays as it
  // was (attached to its previous module, or detached).
  KrStatus Attach(KrVStreamContainer* container, const char* name);
  // Forgets the module; a detached handle gives 0x10001.
  KrStatus Detach();
  // The module's name; null when detached.
  const char* GetName() const { return name; }
  // The container the handle was last attached to.
  KrVStreamContainer* GetCreator() { return container; }
  const KrVStreamContainer* GetCreator() const { return container; }
  bool IsAttached() const { return attached != 0; }
  // Attaches other to the module of that name in the same container.
  KrStatus GetOtherModule(const char* name, KrVModule& other) const;
  // Adds this module's properties to the set.
  KrStatus GetAllProperties(KrVPropertySet& set) const;
  // Subscribes the handler to changes of one of this module's properties.
  KrStatus RegisterForPropertyChangedEvent(const char* property, KrVModulePropertyChangedHandler* handler,
                                           void*& cookie);
  KrStatus UnregisterFromPropertyChangedEvent(const char* property, void* cookie);

  // Typed reads. The uint8_t, int32_t and float forms read the wider type
  // and store the converted value whatever the status; on failure the
  // caller must not rely on it.
  KrStatus GetProperty(const char* property, uint64_t& value) const;
  KrStatus GetProperty(const char* property, double& value) const;
  KrStatus GetProperty(const char* property, char* value) const;
  KrStatus GetProperty(const char* property, const KrGeneralBuffer& value) const;
  KrStatus GetProperty(const char* property, void*& value) const;
  KrStatus GetProperty(const char* property, uint32_t& value) const;
  KrStatus GetProperty(const char* property, int32_t& value) const;  // bits of the uint32 read
  KrStatus GetProperty(const char* property, uint16_t& value) const;
  KrStatus GetProperty(const char* property, uint8_t& value) const;  // low 8 bits of the uint32 read
  KrStatus GetProperty(const char* property, float& value) const;    // the double read, rounded

  // Typed writes.
  KrStatus SetProperty(const char* property, uint64_t value);
  KrStatus SetProperty(const char* property, double value);
  KrStatus SetProperty(const char* property, const char* value);
  KrStatus SetProperty(const char* property, const KrGeneralBuffer& value);
  KrStatus SetProperty(const char* property, int32_t value);  // as the uint32 of the same bits
  KrStatus SetProperty(const char* property, uint32_t value);
  KrStatus SetProperty(const char* property, float value);  // widened to double
  KrStatus SetProperty(const char* property, void* value);

 private:
  // 0x10001 when detached, else OK.
  KrStatus CheckAttached() const;
  void DropName();

  KrVStreamContainer* container;  // not owned; kept after Detach for GetCreator
  char* name;                     // owned copy (krOSCalloc), null when detached
  int attached;
};
