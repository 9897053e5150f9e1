// KrVStreamContainer: the abstract interface of whatever holds modules,
// properties and streams (in practice KrVDevice). Module and stream handles
// and frame objects reach their device only through it, so they work with
// any container, including a test's own.
//
// Properties are reached by module name and property name, by type:
// integer (uint64_t), real (double), text (char*, 200 bytes with the
// terminator) and general (KrGeneralBuffer describing the caller's bytes).
// The void*, uint32_t and uint16_t overloads serve the older interface.
// Every operation returns a KrStatus except the two Is...Exist questions.
//
// The interface holds nothing; copying it is trivial. Which threads may call
// is the implementation's to say (a device: one thread at a time).
#pragma once

#include <Tollan/TollanTypes.h>

class KrVPropertySet;
class KrVModulePropertyChangedHandler;
class KrVStreamCollectionChangedHandler;

class KrVStreamContainer {
 public:
  virtual ~KrVStreamContainer() = default;

  virtual KrStatus GetProperty(const char* module, const char* property, void*& value) = 0;
  virtual KrStatus GetProperty(const char* module, const char* property, uint32_t& value) = 0;
  virtual KrStatus GetProperty(const char* module, const char* property, uint16_t& value) = 0;
  // Fills the caller's bytes that value describes.
  virtual KrStatus GetProperty(const char* module, const char* property, const KrGeneralBuffer& value) = 0;
  // value has room for 200 characters with the terminator.
  virtual KrStatus GetProperty(const char* module, const char* property, char* value) = 0;
  virtual KrStatus GetProperty(const char* module, const char* property, double& value) = 0;
  virtual KrStatus GetProperty(const char* module, const char* property, uint64_t& value) = 0;

  virtual KrStatus SetProperty(const char* module, const char* property, void* value) = 0;
  virtual KrStatus SetProperty(const char* module, const char* property, uint32_t value) = 0;
  virtual KrStatus SetProperty(const char* module, const char* property, uint16_t value) = 0;
  virtual KrStatus SetProperty(const char* module, const char* property, const KrGeneralBuffer& value) = 0;
  virtual KrStatus SetProperty(const char* module, const char* property, const char* value) = 0;
  virtual KrStatus SetProperty(const char* module, const char* property, double value) = 0;
  virtual KrStatus SetProperty(const char* module, const char* property, uint64_t value) = 0;

  // *exists becomes 1 or 0.
  virtual KrStatus DoesModuleExist(const char* module, int* exists) = 0;
  virtual KrStatus DoesPropertyExist(const char* module, const char* property, int* exists) = 0;
  // Adds the properties of one module (or of all, module null) to the set;
  // noStreams leaves the stream modules out.
  virtual KrStatus GetAllProperties(KrVPropertySet& set, int noStreams, const char* module) = 0;

  // The handler is called on each change; cookie identifies the
  // registration for the matching Unregister call.
  virtual KrStatus RegisterForPropertyChangedEvent(const char* module, const char* property,
                                                   KrVModulePropertyChangedHandler* handler, void*& cookie) = 0;
  virtual KrStatus RegisterForStreamCollectionChangedEvent(KrVStreamCollectionChangedHandler* handler,
                                                           void*& cookie) = 0;
  virtual KrStatus UnregisterFromPropertyChangedEvent(const char* module, const char* property, void* cookie) = 0;
  virtual KrStatus UnregisterFromStreamCollectionChangedEvent(void* cookie) = 0;

  // 1 when the module (or the module's property) exists, else 0.
  virtual int IsModuleExist(const char* module) = 0;
  virtual int IsPropertyExist(const char* module, const char* property) = 0;
};
