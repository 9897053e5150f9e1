#include "Ovalith/properties/FakeStreamContainer.h"

#include <Ovalith/framedata/KrVPixelStreamData.h>

KrStatus FakeStreamContainer::Find(const char* verb, const char* module, const char* property, KrPropertyType type,
                                   Value** value) {
  journal.push_back(std::string(verb) + " " + module + "/" + property);
  auto failure = failures.find(std::string(module) + "/" + property);
  if (failure != failures.end() && failure->second != 0) {
    return failure->second;
  }
  auto found = modules.find(module);
  if (found == modules.end()) {
    return KR_STATUS_TL_MODULE_NOT_FOUND;
  }
  auto entry = found->second.find(property);
  if (entry == found->second.end()) {
    return KR_STATUS_TL_PROPERTY_NOT_FOUND;
  }
  if (entry->second.type != type) {
    return KR_STATUS_TL_BAD_PROPERTY_TYPE;
  }
  *value = &entry->second;
  return KR_STATUS_OK;
}

void FakeStreamContainer::Notify(const std::string& module, const std::string& property) {
  std::vector<KrVModulePropertyChangedHandler*> handlers;
  for (const auto& entry : registrations) {
    if (entry.second.module == module && entry.second.property == property) {
      handlers.push_back(entry.second.handler);
    }
  }
  for (KrVModulePropertyChangedHandler* handler : handlers) {
    handler->OnModulePropertyChanged(module.c_str(), property.c_str());
  }
}

KrStatus FakeStreamContainer::DoesModuleExist(const char* module, int* exists) {
  journal.push_back(std::string("exists ") + module);
  if (moduleQueryStatus != 0) return moduleQueryStatus;
  *exists = IsModuleExist(module);
  return KR_STATUS_OK;
}

int FakeStreamContainer::IsPropertyExist(const char* module, const char* property) {
  auto found = modules.find(module);
  return found != modules.end() && found->second.count(property) != 0 ? 1 : 0;
}

KrStatus FakeStreamContainer::DoesPropertyExist(const char* module, const char* property, int* exists) {
  *exists = IsPropertyExist(module, property);
  return KR_STATUS_OK;
}

KrStatus FakeStreamContainer::GetAllProperties(KrVPropertySet& /*set*/, int noStreams, const char* module) {
  journal.push_back("all " + std::to_string(noStreams) + " " + module);
  return KR_STATUS_OK;
}

KrStatus FakeStreamContainer::RegisterForPropertyChangedEvent(const char* module, const char* property,
                                                              KrVModulePropertyChangedHandler* handler, void*& cookie) {
  auto failure = failures.find(std::string("register/") + property);
  if (failure != failures.end() && failure->second != 0) return failure->second;
  registrations[nextCookie] = Registration{module, property, handler};
  cookie = reinterpret_cast<void*>(nextCookie++);
  return KR_STATUS_OK;
}

KrStatus FakeStreamContainer::RegisterForStreamCollectionChangedEvent(KrVStreamCollectionChangedHandler*, void*&) {
  return KR_STATUS_TL_NOT_SUPPORTED;
}

KrStatus FakeStreamContainer::UnregisterFromPropertyChangedEvent(const char* module, const char* property,
                                                                 void* cookie) {
  auto found = registrations.find(reinterpret_cast<uintptr_t>(cookie));
  // A cookie given back under another module or property is a caller's bug.
  if (found == registrations.end() || found->second.module != module || found->second.property != property) {
    return KR_STATUS_TL_BAD_REGISTRATION;
  }
  registrations.erase(found);
  return KR_STATUS_OK;
}

KrStatus FakeStreamContainer::UnregisterFromStreamCollectionChangedEvent(void*) { return KR_STATUS_TL_NOT_SUPPORTED; }

FakeDepthStream::FakeDepthStream(FakeStreamContainer& owner, const char* streamName, unsigned short xRes,
                                 unsigned short yRes)
    : container(owner), name(streamName), pixels(static_cast<size_t>(xRes) * yRes) {
  for (size_t i = 0; i < pixels.size(); ++i) {
    pixels[i] = static_cast<uint16_t>(i % 5 == 0 ? 0 : 500 + i % 3000);
  }
  container.AddModule(name);
  container.SetPointer(name, "Buffer", pixels.data());
  container.SetInt(name, "BufferSize", pixels.size() * 2);
  container.SetInt(name, "RequiredDataSize", pixels.size() * 2);
  container.SetInt(name, "Timestamp", 1000);
  container.SetInt(name, "FrameId", 1);
  container.SetInt(name, "IsNew", 1);
  container.SetInt(name, "XRes", xRes);
  container.SetInt(name, "YRes", yRes);
  container.SetInt(name, "MinDepthValue", 400);
  container.SetInt(name, "MaxDepthValue", 10000);
  container.SetInt(name, "ShadowValue", 1);
  container.SetInt(name, "NoSampleValue", 0);
  container.SetInt(name, "ZPD", 120);
  container.SetReal(name, "ZPPS", 0.1042);
  container.SetInt(name, "BytesPerPixel", 2);
  container.SetInt(name, "OutputFormat", KR_OUTPUT_FORMAT_DEPTH_VALUES);
  container.SetInt(name, "SampleRate", 44100);
  container.SetInt(name, "NumOfChannels", 2);
  SetCropping(false, 0, 0, 0, 0);
}

void FakeDepthStream::SetCropping(bool enabled, uint16_t x, uint16_t y, uint16_t width, uint16_t height) {
  const CroppingRecord record = {enabled ? 1 : 0, x, y, width, height};
  container.SetBytes(name, "Cropping", &record, sizeof(record));
}

void FakeDepthStream::MoveBuffer(std::vector<uint16_t>& memory) {
  void* address = memory.data();
  KrGeneralBuffer value = {&address, sizeof(address)};
  container.SetProperty(name.c_str(), "Buffer", value);
}
