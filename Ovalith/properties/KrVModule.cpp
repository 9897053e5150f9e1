#include <Ovalith/properties/KrVModule.h>

#include <Orvane/OrvaneOS.h>
#include <Ovalith/properties/KrVCheckInternal.h>

#include <cstring>

KrVModule::KrVModule() : container(nullptr), name(nullptr), attached(0) {}

KrVModule::KrVModule(const KrVModule& other) : container(nullptr), name(nullptr), attached(0) {
  if (other.attached != 0) {
    Attach(other.container, other.name);  // a failure leaves the copy detached
  }
}

KrVModule& KrVModule::operator=(const KrVModule& other) {
  if (this == &other) {
    return *this;
  }
  DropName();
  if (other.attached != 0) {
    Attach(other.container, other.name);
  }
  return *this;
}

KrVModule::~KrVModule() { DropName(); }

void KrVModule::DropName() {
  krOSFree(name);
  name = nullptr;
  attached = 0;
}

KrStatus KrVModule::CheckAttached() const { return attached != 0 ? KR_STATUS_OK : KR_STATUS_OS_ERROR; }

KrStatus KrVModule::Attach(KrVStreamContainer* newContainer, const char* newName) {
  if (newName == nullptr) {
    return KR_STATUS_OS_ERROR;
  }
  if (newContainer == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  int exists = 0;
  KRV_RETURN_IF_FAILED(newContainer->DoesModuleExist(newName, &exists));
  if (exists == 0) {
    return KR_STATUS_OS_ERROR;
  }
  // Copy before dropping the old name: newName may be that very text.
  const size_t length = std::strlen(newName);
  auto* copy = static_cast<char*>(krOSCalloc(length + 1, 1));
  if (copy == nullptr) {
    return KR_STATUS_OS_ALLOC_FAILED;
  }
  krOSMemCopy(copy, newName, length);
  DropName();
  container = newContainer;
  name = copy;
  attached = 1;
  return KR_STATUS_OK;
}

KrStatus KrVModule::Detach() {
  KRV_RETURN_IF_FAILED(CheckAttached());
  DropName();
  return KR_STATUS_OK;
}

KrStatus KrVModule::GetOtherModule(const char* otherName, KrVModule& other) const {
  KRV_RETURN_IF_FAILED(CheckAttached());
  return other.Attach(container, otherName);
}

KrStatus KrVModule::GetAllProperties(KrVPropertySet& set) const {
  KRV_RETURN_IF_FAILED(CheckAttached());
  return container->GetAllProperties(set, 0, name);
}

KrStatus KrVModule::RegisterForPropertyChangedEvent(const char* property, KrVModulePropertyChangedHandler* handler,
                                                    void*& cookie) {
  KRV_RETURN_IF_FAILED(CheckAttached());
  return container->RegisterForPropertyChangedEvent(name, property, handler, cookie);
}

KrStatus KrVModule::UnregisterFromPropertyChangedEvent(const char* property, void* cookie) {
  KRV_RETURN_IF_FAILED(CheckAttached());
  return container->UnregisterFromPropertyChangedEvent(name, property, cookie);
}

// ---- typed reads ----

KrStatus KrVModule::GetProperty(const char* property, uint64_t& value) const {
  KRV_RETURN_IF_FAILED(CheckAttached());
  return container->GetProperty(name, property, value);
}

KrStatus KrVModule::GetProperty(const char* property, double& value) const {
  KRV_RETURN_IF_FAILED(CheckAttached());
  return container->GetProperty(name, property, value);
}

KrStatus KrVModule::GetProperty(const char* property, char* value) const {
  KRV_RETURN_IF_FAILED(CheckAttached());
  return container->GetProperty(name, property, value);
}

KrStatus KrVModule::GetProperty(const char* property, const KrGeneralBuffer& value) const {
  KRV_RETURN_IF_FAILED(CheckAttached());
  return container->GetProperty(name, property, value);
}

KrStatus KrVModule::GetProperty(const char* property, void*& value) const {
  KRV_RETURN_IF_FAILED(CheckAttached());
  return container->GetProperty(name, property, value);
}

KrStatus KrVModule::GetProperty(const char* property, uint32_t& value) const {
  KRV_RETURN_IF_FAILED(CheckAttached());
  return container->GetProperty(name, property, value);
}

KrStatus KrVModule::GetProperty(const char* property, uint16_t& value) const {
  KRV_RETURN_IF_FAILED(CheckAttached());
  return container->GetProperty(name, property, value);
}

// The narrowing reads go through a zeroed temporary of the wider type and
// store the conversion whatever the status.
KrStatus KrVModule::GetProperty(const char* property, int32_t& value) const {
  uint32_t wide = 0;
  const KrStatus status = GetProperty(property, wide);
  value = static_cast<int32_t>(wide);
  return status;
}

KrStatus KrVModule::GetProperty(const char* property, uint8_t& value) const {
  uint32_t wide = 0;
  const KrStatus status = GetProperty(property, wide);
  value = static_cast<uint8_t>(wide & 0xFFu);
  return status;
}

KrStatus KrVModule::GetProperty(const char* property, float& value) const {
  double wide = 0.0;
  const KrStatus status = GetProperty(property, wide);
  value = static_cast<float>(wide);
  return status;
}

// ---- typed writes ----

KrStatus KrVModule::SetProperty(const char* property, uint64_t value) {
  KRV_RETURN_IF_FAILED(CheckAttached());
  return container->SetProperty(name, property, value);
}

KrStatus KrVModule::SetProperty(const char* property, double value) {
  KRV_RETURN_IF_FAILED(CheckAttached());
  return container->SetProperty(name, property, value);
}

KrStatus KrVModule::SetProperty(const char* property, const char* value) {
  KRV_RETURN_IF_FAILED(CheckAttached());
  return container->SetProperty(name, property, value);
}

KrStatus KrVModule::SetProperty(const char* property, const KrGeneralBuffer& value) {
  KRV_RETURN_IF_FAILED(CheckAttached());
  return container->SetProperty(name, property, value);
}

KrStatus KrVModule::SetProperty(const char* property, int32_t value) {
  return SetProperty(property, static_cast<uint32_t>(value));
}

KrStatus KrVModule::SetProperty(const char* property, uint32_t value) {
  KRV_RETURN_IF_FAILED(CheckAttached());
  return container->SetProperty(name, property, value);
}

KrStatus KrVModule::SetProperty(const char* property, float value) {
  return SetProperty(property, static_cast<double>(value));
}

KrStatus KrVModule::SetProperty(const char* property, void* value) {
  KRV_RETURN_IF_FAILED(CheckAttached());
  return container->SetProperty(name, property, value);
}
