// A test stream container: typed properties in maps, subscriptions called at once, chosen failures, a call journal.
#pragma once

#include <Ovalith/framedata/KrVPixelStreamData.h>
#include <Ovalith/properties/KrVEventHandlers.h>
#include <Ovalith/properties/KrVStreamContainer.h>
#include <Tollan/Tollan.h>

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
  };
  void AddModule(const std::string& module) { modules[module]; }
  void SetInt(const std::string& module, const std::string& property, uint64_t value) {
    modules[module][property] = Value{KR_PROPERTY_TYPE_INTEGER, value, 0.0, {}, {}};
  }
  void SetReal(const std::string& module, const std::string& property, double value) {
    modules[module][property] = Value{KR_PROPERTY_TYPE_REAL, 0, value, {}, {}};
  }
  void SetBytes(const std::string& module, const std::string& property, const void* data, size_t size) {
    modules[module][property] = Value{KR_PROPERTY_TYPE_GENERAL, 0, 0.0, {}, Bytes(data, size)};
  }
  void SetPointer(const std::string& module, const std::string& property, void* pointer) {
    SetBytes(module, property, &pointer, sizeof(pointer));
  }
  uint64_t Int(const std::string& module, const std::string& property) { return modules[module][property].integer; }
  double Real(const std::string& module, const std::string& property) { return modules[module][property].real; }
  // Every get and set of the property fails with status (0 clears); "register/<name>": subscribing fails.
  void Fail(const std::string& module, const std::string& property, KrStatus status) {
    failures[module + "/" + property] = status;
  }
  // Calls the handlers subscribed to the property, as a device does.
  void Notify(const std::string& module, const std::string& property) {
    std::vector<KrVModulePropertyChangedHandler*> handlers;
    for (const auto& entry : registrations) {
      if (entry.second.module == module && entry.second.property == property) handlers.push_back(entry.second.handler);
    }
    for (KrVModulePropertyChangedHandler* handler : handlers) {
      handler->OnModulePropertyChanged(module.c_str(), property.c_str());
    }
  }
  size_t Subscriptions() const { return registrations.size(); }
  std::vector<std::string> journal;  // "get u64 Depth/XRes", "set u64 Depth/IsNew", ...
  KrStatus moduleQueryStatus = 0;    // of DoesModuleExist (0: answer normally)
  // Reads check the type and copy the value out; writes store it and raise the change, as a device does.
  KrStatus GetProperty(const char* m, const char* p, void*& v) override {
    return GetBytes("get ptr", m, p, &v, sizeof(v));
  }
  KrStatus GetProperty(const char* m, const char* p, uint32_t& v) override { return GetInt("get u32", m, p, v); }
  KrStatus GetProperty(const char* m, const char* p, uint16_t& v) override { return GetInt("get u16", m, p, v); }
  KrStatus GetProperty(const char* m, const char* p, uint64_t& v) override { return GetInt("get u64", m, p, v); }
  KrStatus GetProperty(const char* m, const char* p, const KrGeneralBuffer& value) override {
    return GetBytes("get general", m, p, value.pData, value.nDataSize);
  }
  KrStatus GetProperty(const char* m, const char* p, char* value) override {
    return Get("get text", m, p, KR_PROPERTY_TYPE_STRING, [&](Value& v) { std::strcpy(value, v.text.c_str()); });
  }
  KrStatus GetProperty(const char* m, const char* p, double& value) override {
    return Get("get real", m, p, KR_PROPERTY_TYPE_REAL, [&](Value& v) { value = v.real; });
  }
  KrStatus SetProperty(const char* m, const char* p, void* value) override {
    return Set("set ptr", m, p, KR_PROPERTY_TYPE_GENERAL, [&](Value& v) { v.bytes = Bytes(&value, sizeof(value)); });
  }
  KrStatus SetProperty(const char* m, const char* p, uint32_t value) override { return SetInt("set u32", m, p, value); }
  KrStatus SetProperty(const char* m, const char* p, uint16_t value) override { return SetInt("set u16", m, p, value); }
  KrStatus SetProperty(const char* m, const char* p, uint64_t value) override { return SetInt("set u64", m, p, value); }
  KrStatus SetProperty(const char* m, const char* p, const KrGeneralBuffer& value) override {
    return Set("set general", m, p, KR_PROPERTY_TYPE_GENERAL,
               [&](Value& v) { v.bytes = Bytes(value.pData, value.nDataSize); });
  }
  KrStatus SetProperty(const char* m, const char* p, const char* value) override {
    return Set("set text", m, p, KR_PROPERTY_TYPE_STRING, [&](Value& v) { v.text = value; });
  }
  KrStatus SetProperty(const char* m, const char* p, double value) override {
    return Set("set real", m, p, KR_PROPERTY_TYPE_REAL, [&](Value& v) { v.real = value; });
  }
  KrStatus DoesModuleExist(const char* module, int* exists) override {
    journal.push_back(std::string("exists ") + module);
    if (moduleQueryStatus != 0) return moduleQueryStatus;
    *exists = IsModuleExist(module);
    return KR_STATUS_OK;
  }
  KrStatus DoesPropertyExist(const char* module, const char* property, int* exists) override {
    *exists = IsPropertyExist(module, property);
    return KR_STATUS_OK;
  }
  KrStatus GetAllProperties(KrVPropertySet& /*set*/, int noStreams, const char* module) override {
    journal.push_back("all " + std::to_string(noStreams) + " " + module);
    return KR_STATUS_OK;
  }
  KrStatus RegisterForPropertyChangedEvent(const char* module, const char* property,
                                           KrVModulePropertyChangedHandler* handler, void*& cookie) override {
    auto failure = failures.find(std::string("register/") + property);
    if (failure != failures.end() && failure->second != 0) return failure->second;
    registrations[nextCookie] = Registration{module, property, handler};
    cookie = reinterpret_cast<void*>(nextCookie++);
    return KR_STATUS_OK;
  }
  KrStatus RegisterForStreamCollectionChangedEvent(KrVStreamCollectionChangedHandler*, void*&) override {
    return KR_STATUS_TL_NOT_SUPPORTED;
  }
  KrStatus UnregisterFromPropertyChangedEvent(const char* module, const char* property, void* cookie) override {
    auto found = registrations.find(reinterpret_cast<uintptr_t>(cookie));
    // A cookie given back under another module or property is a caller's bug.
    if (found == registrations.end() || found->second.module != module || found->second.property != property) {
      return KR_STATUS_TL_BAD_REGISTRATION;
    }
    registrations.erase(found);
    return KR_STATUS_OK;
  }
  KrStatus UnregisterFromStreamCollectionChangedEvent(void*) override { return KR_STATUS_TL_NOT_SUPPORTED; }
  int IsModuleExist(const char* module) override { return modules.count(module) != 0 ? 1 : 0; }
  int IsPropertyExist(const char* module, const char* property) override {
    auto found = modules.find(module);
    return found != modules.end() && found->second.count(property) != 0 ? 1 : 0;
  }

 private:
  struct Registration {
    std::string module;
    std::string property;
    KrVModulePropertyChangedHandler* handler;
  };
  static std::vector<unsigned char> Bytes(const void* data, size_t size) {
    const auto* bytes = static_cast<const unsigned char*>(data);
    return {bytes, bytes + size};
  }
  // Finds the value (journaling the call); a failing status when it cannot.
  KrStatus Find(const char* verb, const char* module, const char* property, KrPropertyType type, Value** value) {
    journal.push_back(std::string(verb) + " " + module + "/" + property);
    auto failure = failures.find(std::string(module) + "/" + property);
    if (failure != failures.end() && failure->second != 0) return failure->second;
    auto found = modules.find(module);
    if (found == modules.end()) return KR_STATUS_TL_MODULE_NOT_FOUND;
    auto entry = found->second.find(property);
    if (entry == found->second.end()) return KR_STATUS_TL_PROPERTY_NOT_FOUND;
    if (entry->second.type != type) return KR_STATUS_TL_BAD_PROPERTY_TYPE;
    *value = &entry->second;
    return KR_STATUS_OK;
  }
  template <typename Read>
  KrStatus Get(const char* verb, const char* module, const char* property, KrPropertyType type, Read read) {
    Value* v = nullptr;
    const KrStatus status = Find(verb, module, property, type, &v);
    if (status == KR_STATUS_OK) read(*v);
    return status;
  }
  template <typename T>
  KrStatus GetInt(const char* verb, const char* module, const char* property, T& value) {
    return Get(verb, module, property, KR_PROPERTY_TYPE_INTEGER, [&](Value& v) { value = static_cast<T>(v.integer); });
  }
  // A general value copied out: its size must match.
  KrStatus GetBytes(const char* verb, const char* module, const char* property, void* out, size_t size) {
    Value* v = nullptr;
    const KrStatus status = Find(verb, module, property, KR_PROPERTY_TYPE_GENERAL, &v);
    if (status != KR_STATUS_OK) return status;
    if (v->bytes.size() != size) return KR_STATUS_TL_BAD_PROPERTY_SIZE;
    std::memcpy(out, v->bytes.data(), size);
    return KR_STATUS_OK;
  }
  template <typename Write>
  KrStatus Set(const char* verb, const char* module, const char* property, KrPropertyType type, Write write) {
    const KrStatus status = Get(verb, module, property, type, write);
    if (status == KR_STATUS_OK) Notify(module, property);
    return status;
  }
  KrStatus SetInt(const char* verb, const char* module, const char* property, uint64_t value) {
    return Set(verb, module, property, KR_PROPERTY_TYPE_INTEGER, [&](Value& v) { v.integer = value; });
  }
  std::map<std::string, std::map<std::string, Value>> modules;
  std::map<std::string, KrStatus> failures;
  std::map<uintptr_t, Registration> registrations;
  uintptr_t nextCookie = 1;
};

// A "Depth"-like stream module with every property the frame objects read: 640 x 480 of 16 bits, cropping off.
struct FakeDepthStream {
  explicit FakeDepthStream(FakeStreamContainer& owner, const char* streamName = "Depth", unsigned short xRes = 640,
                           unsigned short yRes = 480)
      : container(owner), name(streamName), pixels(static_cast<size_t>(xRes) * yRes) {
    for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint16_t>(i % 5 == 0 ? 0 : 500 + i % 3000);
    container.SetPointer(name, "Buffer", pixels.data());
    container.SetInt(name, "BufferSize", pixels.size() * 2);
    container.SetInt(name, "RequiredDataSize", pixels.size() * 2);
    container.SetInt(name, "XRes", xRes);
    container.SetInt(name, "YRes", yRes);
    container.SetInt(name, "OutputFormat", KR_OUTPUT_FORMAT_DEPTH_VALUES);
    const std::pair<const char*, uint64_t> integers[] = {
        {"Timestamp", 1000},      {"FrameId", 1},        {"IsNew", 1},         {"MinDepthValue", 400},
        {"MaxDepthValue", 10000}, {"ShadowValue", 1},    {"NoSampleValue", 0}, {"ZPD", 120},
        {"BytesPerPixel", 2},     {"SampleRate", 44100}, {"NumOfChannels", 2}};
    for (const auto& integer : integers) container.SetInt(name, integer.first, integer.second);
    container.SetReal(name, "ZPPS", 0.1042);
    SetCropping(false, 0, 0, 0, 0);
  }
  void SetCropping(bool enabled, uint16_t x, uint16_t y, uint16_t width, uint16_t height) {
    const CroppingRecord record = {enabled ? 1 : 0, x, y, width, height};
    container.SetBytes(name, "Cropping", &record, sizeof(record));
  }
  // Points "Buffer" at other memory and raises its change.
  void MoveBuffer(std::vector<uint16_t>& memory) {
    void* address = memory.data();
    container.SetProperty(name.c_str(), "Buffer", KrGeneralBuffer{&address, sizeof(address)});
  }
  FakeStreamContainer& container;
  std::string name;
  std::vector<uint16_t> pixels;
};
