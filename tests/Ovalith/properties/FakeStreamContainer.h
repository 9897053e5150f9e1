// A stream container for tests: modules of typed properties held in maps,
// change subscriptions that a SetProperty (or Notify) calls at once, chosen
// failures per property, and a journal of every call.
#pragma once

#include <Ovalith/properties/KrVEventHandlers.h>
#include <Ovalith/properties/KrVStreamContainer.h>
#include <Tollan/Tollan.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

class FakeStreamContainer : public KrVStreamContainer {
 public:
  struct Value {
    KrPropertyType type = KR_PROPERTY_TYPE_INTEGER;
    uint64_t integer = 0;
    double real = 0.0;
    std::string text;
    std::vector<unsigned char> bytes;
    void Bytes(const void* data, size_t size) {
      bytes.assign(static_cast<const unsigned char*>(data), static_cast<const unsigned char*>(data) + size);
    }
  };

  void AddModule(const std::string& module) { modules[module]; }
  void SetInt(const std::string& module, const std::string& property, uint64_t value) {
    Value& v = modules[module][property];
    v.type = KR_PROPERTY_TYPE_INTEGER;
    v.integer = value;
  }
  void SetReal(const std::string& module, const std::string& property, double value) {
    Value& v = modules[module][property];
    v.type = KR_PROPERTY_TYPE_REAL;
    v.real = value;
  }
  void SetBytes(const std::string& module, const std::string& property, const void* data, size_t size) {
    Value& v = modules[module][property];
    v.type = KR_PROPERTY_TYPE_GENERAL;
    v.Bytes(data, size);
  }
  void SetPointer(const std::string& module, const std::string& property, void* pointer) {
    SetBytes(module, property, &pointer, sizeof(pointer));
  }
  uint64_t Int(const std::string& module, const std::string& property) { return modules[module][property].integer; }
  double Real(const std::string& module, const std::string& property) { return modules[module][property].real; }
  // Every get and set of the property fails with status (0 clears).
  void Fail(const std::string& module, const std::string& property, KrStatus status) {
    failures[module + "/" + property] = status;
  }
  // Calls the handlers subscribed to the property, as a device does.
  void Notify(const std::string& module, const std::string& property);
  size_t Subscriptions() const { return registrations.size(); }
  size_t CountCalls(const std::string& entry) const { return std::count(journal.begin(), journal.end(), entry); }
  std::vector<std::string> journal;  // "get u64 Depth/XRes", "set u64 Depth/IsNew", ...

  // Reads check the type and copy the value out; writes store it and raise
  // the change, as a device does.
  KrStatus GetProperty(const char* m, const char* p, void*& value) override {
    return Get("get ptr", m, p, KR_PROPERTY_TYPE_GENERAL, [&](Value& v) { return CopyOut(v, &value, sizeof(value)); });
  }
  KrStatus GetProperty(const char* m, const char* p, uint32_t& value) override {
    return Get("get u32", m, p, KR_PROPERTY_TYPE_INTEGER, [&](Value& v) { return Assign(value, v.integer); });
  }
  KrStatus GetProperty(const char* m, const char* p, uint16_t& value) override {
    return Get("get u16", m, p, KR_PROPERTY_TYPE_INTEGER, [&](Value& v) { return Assign(value, v.integer); });
  }
  KrStatus GetProperty(const char* m, const char* p, const KrGeneralBuffer& value) override {
    return Get("get general", m, p, KR_PROPERTY_TYPE_GENERAL,
               [&](Value& v) { return CopyOut(v, value.pData, value.nDataSize); });
  }
  KrStatus GetProperty(const char* m, const char* p, char* value) override {
    return Get("get text", m, p, KR_PROPERTY_TYPE_STRING, [&](Value& v) { return CopyOut(v, value, 0); });
  }
  KrStatus GetProperty(const char* m, const char* p, double& value) override {
    return Get("get real", m, p, KR_PROPERTY_TYPE_REAL, [&](Value& v) { return Assign(value, v.real); });
  }
  KrStatus GetProperty(const char* m, const char* p, uint64_t& value) override {
    return Get("get u64", m, p, KR_PROPERTY_TYPE_INTEGER, [&](Value& v) { return Assign(value, v.integer); });
  }
  KrStatus SetProperty(const char* m, const char* p, void* value) override {
    return Set("set ptr", m, p, KR_PROPERTY_TYPE_GENERAL, [&](Value& v) { v.Bytes(&value, sizeof(value)); });
  }
  KrStatus SetProperty(const char* m, const char* p, uint32_t value) override {
    return Set("set u32", m, p, KR_PROPERTY_TYPE_INTEGER, [&](Value& v) { v.integer = value; });
  }
  KrStatus SetProperty(const char* m, const char* p, uint16_t value) override {
    return Set("set u16", m, p, KR_PROPERTY_TYPE_INTEGER, [&](Value& v) { v.integer = value; });
  }
  KrStatus SetProperty(const char* m, const char* p, const KrGeneralBuffer& value) override {
    return Set("set general", m, p, KR_PROPERTY_TYPE_GENERAL, [&](Value& v) { v.Bytes(value.pData, value.nDataSize); });
  }
  KrStatus SetProperty(const char* m, const char* p, const char* value) override {
    return Set("set text", m, p, KR_PROPERTY_TYPE_STRING, [&](Value& v) { v.text = value; });
  }
  KrStatus SetProperty(const char* m, const char* p, double value) override {
    return Set("set real", m, p, KR_PROPERTY_TYPE_REAL, [&](Value& v) { v.real = value; });
  }
  KrStatus SetProperty(const char* m, const char* p, uint64_t value) override {
    return Set("set u64", m, p, KR_PROPERTY_TYPE_INTEGER, [&](Value& v) { v.integer = value; });
  }
  KrStatus DoesModuleExist(const char* module, int* exists) override;
  KrStatus DoesPropertyExist(const char* module, const char* property, int* exists) override;
  KrStatus GetAllProperties(KrVPropertySet& set, int noStreams, const char* module) override;
  KrStatus RegisterForPropertyChangedEvent(const char* module, const char* property,
                                           KrVModulePropertyChangedHandler* handler, void*& cookie) override;
  KrStatus RegisterForStreamCollectionChangedEvent(KrVStreamCollectionChangedHandler* handler, void*& cookie) override;
  KrStatus UnregisterFromPropertyChangedEvent(const char* module, const char* property, void* cookie) override;
  KrStatus UnregisterFromStreamCollectionChangedEvent(void* cookie) override;
  int IsModuleExist(const char* module) override { return modules.count(module) != 0 ? 1 : 0; }
  int IsPropertyExist(const char* module, const char* property) override;

  // Status of a DoesModuleExist call (0: answer normally).
  KrStatus moduleQueryStatus = 0;

 private:
  struct Registration {
    std::string module;
    std::string property;
    KrVModulePropertyChangedHandler* handler;
  };
  // Finds the value (journaling the call); a failing status when it cannot.
  KrStatus Find(const char* verb, const char* module, const char* property, KrPropertyType type, Value** value);
  template <typename Read>
  KrStatus Get(const char* verb, const char* module, const char* property, KrPropertyType type, Read read) {
    Value* v = nullptr;
    const KrStatus status = Find(verb, module, property, type, &v);
    return status != KR_STATUS_OK ? status : read(*v);
  }
  template <typename Write>
  KrStatus Set(const char* verb, const char* module, const char* property, KrPropertyType type, Write write) {
    Value* v = nullptr;
    const KrStatus status = Find(verb, module, property, type, &v);
    if (status != KR_STATUS_OK) return status;
    write(*v);
    Notify(module, property);
    return KR_STATUS_OK;
  }
  template <typename T, typename U>
  static KrStatus Assign(T& out, U value) {
    out = static_cast<T>(value);
    return KR_STATUS_OK;
  }
  // Copies a general value (size must match) or, with size 0, a text.
  static KrStatus CopyOut(const Value& v, void* out, size_t size) {
    if (size == 0) {
      std::memcpy(out, v.text.c_str(), v.text.size() + 1);
      return KR_STATUS_OK;
    }
    if (v.bytes.size() != size) return KR_STATUS_TL_BAD_PROPERTY_SIZE;
    std::memcpy(out, v.bytes.data(), size);
    return KR_STATUS_OK;
  }

  std::map<std::string, std::map<std::string, Value>> modules;
  std::map<std::string, KrStatus> failures;
  std::map<uintptr_t, Registration> registrations;
  uintptr_t nextCookie = 1;
};

// A "Depth"-like stream module with every property the frame objects read:
// a 640 x 480 buffer of 16-bit values, depth range, calibration, cropping off.
struct FakeDepthStream {
  explicit FakeDepthStream(FakeStreamContainer& container, const char* name = "Depth", unsigned short xRes = 640,
                           unsigned short yRes = 480);
  void SetCropping(bool enabled, uint16_t x, uint16_t y, uint16_t width, uint16_t height);
  // Points "Buffer" at other memory and raises its change.
  void MoveBuffer(std::vector<uint16_t>& memory);

  FakeStreamContainer& container;
  std::string name;
  std::vector<uint16_t> pixels;
};
