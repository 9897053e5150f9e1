// tollan::DeviceBase: the property store, typed access with its rules,
// whole-set queries, batch configuration and INI configuration.
#include "DeviceBase.h"

#include <algorithm>
#include <cstring>

namespace tollan {

namespace {

// Text of an INI key, typed by the property it is meant for.
KrStatus ParseValue(KrPropertyType type, const std::string& text, Value* value) {
  switch (type) {
    case KR_PROPERTY_TYPE_INTEGER: {
      uint64_t number = 0;
      TOLLAN_TRY(ParseUnsigned(text, &number));
      *value = Value::Int(number);
      return KR_STATUS_OK;
    }
    case KR_PROPERTY_TYPE_REAL: {
      double number = 0.0;
      TOLLAN_TRY(ParseReal(text, &number));
      *value = Value::Real(number);
      return KR_STATUS_OK;
    }
    case KR_PROPERTY_TYPE_STRING:
      *value = Value::String(text);
      return KR_STATUS_OK;
    case KR_PROPERTY_TYPE_GENERAL: {
      std::vector<uint8_t> bytes;
      TOLLAN_TRY(ParseHexBytes(text, &bytes));
      *value = Value::General(bytes.data(), bytes.size());
      return KR_STATUS_OK;
    }
  }
  return KR_STATUS_TL_BAD_PROPERTY_TYPE;
}

// A key for a property the device lacks: an integer when the text is one,
// else a real, else a string.
Value GuessValue(const std::string& text) {
  Value value;
  for (KrPropertyType type : {KR_PROPERTY_TYPE_INTEGER, KR_PROPERTY_TYPE_REAL}) {
    if (ParseValue(type, text, &value) == KR_STATUS_OK) {
      return value;
    }
  }
  return Value::String(text);
}

// Keys of a device section that are not "Module.Property" settings.
const char* const kDeviceSectionKeys[] = {"Kind", "Connection", "Mode", "Sharing"};
const char kStreamKeyPrefix[] = "Stream.";

}  // namespace

// ---- the store ----

Property* Module::Find(const std::string& property) const {
  const auto found = byName.find(property);
  return found == byName.end() ? nullptr : found->second;
}

Module& DeviceBase::AddModule(const std::string& name) {
  if (Module* existing = FindModule(name)) {
    return *existing;
  }
  auto module = std::make_unique<Module>();
  module->name = name;
  Module* added = module.get();
  // Device-level modules stay ahead of the stream modules.
  modules_.insert(modules_.begin() + std::ptrdiff_t(deviceModules_), std::move(module));
  ++deviceModules_;
  modulesByName_.emplace(name, added);
  return *added;
}

Property& DeviceBase::AddProperty(const std::string& module, const std::string& name, const Value& value) {
  Module& target = AddModule(module);
  if (Property* existing = target.Find(name)) {
    existing->value = value;
    return *existing;
  }
  auto property = std::make_unique<Property>();
  property->name = name;
  property->value = value;
  target.byName.emplace(name, property.get());
  target.properties.push_back(std::move(property));
  return *target.properties.back();
}

Module* DeviceBase::FindModule(const std::string& name) const {
  const auto found = modulesByName_.find(name);
  return found == modulesByName_.end() ? nullptr : found->second;
}

Property* DeviceBase::FindProperty(const std::string& module, const std::string& property) const {
  Module* found = FindModule(module);
  return found ? found->Find(property) : nullptr;
}

KrStatus DeviceBase::FindLocked(const char* module, const char* property, Module** m, Property** p) const {
  *m = FindModule(module);
  if (*m == nullptr) {
    return KR_STATUS_TL_MODULE_NOT_FOUND;
  }
  *p = (*m)->Find(property);
  return (*p == nullptr) ? KR_STATUS_TL_PROPERTY_NOT_FOUND : KR_STATUS_OK;
}

KrStatus DeviceBase::FindForSetLocked(const char* module, const char* property, KrPropertyType type, Module** m,
                                      Property** p) {
  const KrStatus found = FindLocked(module, property, m, p);
  if ((found == KR_STATUS_TL_MODULE_NOT_FOUND || found == KR_STATUS_TL_PROPERTY_NOT_FOUND) &&
      DeclareOnSet(module, property, type)) {
    return FindLocked(module, property, m, p);
  }
  return found;
}

// ---- typed access ----

KrStatus DeviceBase::GetValue(const char* module, const char* property, KrPropertyType type, Value* value) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  Module* m = nullptr;
  Property* p = nullptr;
  TOLLAN_TRY(FindLocked(module, property, &m, &p));
  if (p->value.type != type) {
    return KR_STATUS_TL_BAD_PROPERTY_TYPE;
  }
  if (p->compute) {
    TOLLAN_TRY(p->compute(value));
    return value->type == type ? KR_STATUS_OK : KR_STATUS_TL_BAD_PROPERTY_TYPE;
  }
  *value = p->value;
  return KR_STATUS_OK;
}

KrStatus DeviceBase::GetGeneral(const char* module, const char* property, const KrGeneralBuffer& buffer) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  Module* m = nullptr;
  Property* p = nullptr;
  TOLLAN_TRY(FindLocked(module, property, &m, &p));
  if (p->value.type != KR_PROPERTY_TYPE_GENERAL) {
    return KR_STATUS_TL_BAD_PROPERTY_TYPE;
  }
  if (p->request) {
    return p->request(buffer);
  }
  Value computed;
  const Value* source = &p->value;
  if (p->compute) {
    TOLLAN_TRY(p->compute(&computed));
    source = &computed;
  }
  const std::vector<uint8_t>& bytes = source->generalValue;
  if (buffer.nDataSize != bytes.size()) {
    return KR_STATUS_TL_BAD_PROPERTY_SIZE;
  }
  if (!bytes.empty()) {
    TOLLAN_REQUIRE(buffer.pData);
    std::memcpy(buffer.pData, bytes.data(), bytes.size());
  }
  return KR_STATUS_OK;
}

KrStatus DeviceBase::SetValue(const char* module, const char* property, const Value& value) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  Module* m = nullptr;
  Property* p = nullptr;
  TOLLAN_TRY(FindForSetLocked(module, property, value.type, &m, &p));
  return SetLocked(*m, *p, value, SetOrigin::kKit);
}

KrStatus DeviceBase::SetGeneral(const char* module, const char* property, const KrGeneralBuffer& buffer) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  Module* m = nullptr;
  Property* p = nullptr;
  TOLLAN_TRY(FindForSetLocked(module, property, KR_PROPERTY_TYPE_GENERAL, &m, &p));
  if (!p->setRequest) {
    return SetLocked(*m, *p, Value::General(buffer.pData, buffer.nDataSize), SetOrigin::kKit);
  }
  if (p->value.type != KR_PROPERTY_TYPE_GENERAL) {
    return KR_STATUS_TL_BAD_PROPERTY_TYPE;
  }
  if (p->readOnly) {
    return KR_STATUS_TL_PROPERTY_READ_ONLY;
  }
  if (p->generalSize != 0 && buffer.nDataSize != p->generalSize) {
    return KR_STATUS_TL_BAD_PROPERTY_SIZE;
  }
  TOLLAN_TRY(p->setRequest(buffer));
  QueuePropertyChangedLocked(m->name, p->name);
  return KR_STATUS_OK;
}

KrStatus DeviceBase::SetLocked(Module& module, Property& property, Value value, SetOrigin origin) {
  if (value.type != property.value.type) {
    return KR_STATUS_TL_BAD_PROPERTY_TYPE;
  }
  if (origin == SetOrigin::kKit && property.readOnly) {
    return KR_STATUS_TL_PROPERTY_READ_ONLY;
  }
  switch (value.type) {
    case KR_PROPERTY_TYPE_INTEGER:
      if (!property.allowed.empty() &&
          std::find(property.allowed.begin(), property.allowed.end(), value.intValue) == property.allowed.end()) {
        return KR_STATUS_TL_BAD_PROPERTY_VALUE;
      }
      break;
    case KR_PROPERTY_TYPE_STRING:
      if (value.stringValue.size() >= KR_MAX_NAME_LENGTH) {
        return KR_STATUS_TL_BAD_PROPERTY_SIZE;
      }
      break;
    case KR_PROPERTY_TYPE_GENERAL:
      if (property.generalSize != 0 && value.generalValue.size() != property.generalSize) {
        return KR_STATUS_TL_BAD_PROPERTY_SIZE;
      }
      break;
    case KR_PROPERTY_TYPE_REAL:
      break;
  }
  if (property.validate) {
    TOLLAN_TRY(property.validate(&value));
  }
  TOLLAN_TRY(BeforeSet(module, property, &value));
  property.value = std::move(value);
  if (property.afterSet) {
    property.afterSet();
  }
  AfterSet(module, property);
  // Initial values are where a property starts, not a change of it.
  if (origin == SetOrigin::kKit) {
    QueuePropertyChangedLocked(module.name, property.name);
  }
  return KR_STATUS_OK;
}

KrStatus DeviceBase::StoreLocked(const std::string& module, const std::string& property, const Value& value) {
  Module* m = nullptr;
  Property* p = nullptr;
  TOLLAN_TRY(FindLocked(module.c_str(), property.c_str(), &m, &p));
  if (value.type != p->value.type) {
    return KR_STATUS_TL_BAD_PROPERTY_TYPE;
  }
  p->value = value;
  if (p->afterSet) {
    p->afterSet();
  }
  AfterSet(*m, *p);
  QueuePropertyChangedLocked(m->name, p->name);
  return KR_STATUS_OK;
}

KrStatus DeviceBase::UpdateProperty(const std::string& module, const std::string& property, const Value& value) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  return StoreLocked(module, property, value);
}

KrStatus DeviceBase::GetPropertyType(const char* module, const char* property, KrPropertyType* type) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  Module* m = nullptr;
  Property* p = nullptr;
  TOLLAN_TRY(FindLocked(module, property, &m, &p));
  *type = p->value.type;
  return KR_STATUS_OK;
}

KrStatus DeviceBase::DoesModuleExist(const char* module, int* exists) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  *exists = FindModule(module) ? 1 : 0;
  return KR_STATUS_OK;
}

KrStatus DeviceBase::DoesPropertyExist(const char* module, const char* property, int* exists) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  *exists = FindProperty(module, property) ? 1 : 0;
  return KR_STATUS_OK;
}

// ---- whole sets ----

KrStatus DeviceBase::GetAllProperties(KrPropertySetHandle set, int noStreams, const char* module) {
  Locked lock(*this);
  TOLLAN_TRY(CheckOpenLocked());
  std::vector<Module*> chosen;
  if (module != nullptr) {
    Module* named = FindModule(module);
    if (named == nullptr) {
      return KR_STATUS_TL_MODULE_NOT_FOUND;
    }
    chosen.push_back(named);
  } else {
    for (const auto& m : modules_) {
      chosen.push_back(m.get());
    }
  }
  for (Module* m : chosen) {
    if (noStreams && m->stream != nullptr) {
      continue;
    }
    bool added = false;
    for (const auto& p : m->properties) {
      if (!p->listed || p->request) {
        continue;
      }
      Value computed;
      const Value* value = &p->value;
      if (p->compute) {
        TOLLAN_TRY(p->compute(&computed));
        value = &computed;
      }
      TOLLAN_TRY(AddPropertyValue(set, m->name.c_str(), p->name.c_str(), value->View()));
      added = true;
    }
    if (!added) {  // the module exists even without values to report
      TOLLAN_TRY(KrPropertySetAddModule(set, m->name.c_str()));
    }
  }
  return KR_STATUS_OK;
}

KrStatus DeviceBase::BatchConfig(KrPropertySetHandle set) {
  // Each value is its own set (and event), as if the caller had made them
  // one by one; the device is not locked across the walk.
  return VisitProperties(set, nullptr, [&](const char* module, const char* property, const PropertyValue& value) {
    return SetValue(module, property, Value::FromView(value));
  });
}

KrStatus DeviceBase::LoadConfig(const IniSection& section) {
  for (const auto& key : section.keys) {
    const std::string& name = key.first;
    const bool reserved = std::any_of(std::begin(kDeviceSectionKeys), std::end(kDeviceSectionKeys),
                                      [&](const char* k) { return name == k; });
    const size_t dot = name.rfind('.');
    if (reserved || name.compare(0, sizeof(kStreamKeyPrefix) - 1, kStreamKeyPrefix) == 0 || dot == std::string::npos ||
        dot == 0 || dot + 1 == name.size()) {
      continue;  // not a "Module.Property" setting
    }
    const std::string module = name.substr(0, dot);
    const std::string property = name.substr(dot + 1);
    KrPropertyType type;
    TOLLAN_TRY(GetPropertyType(module.c_str(), property.c_str(), &type));
    Value value;
    const KrStatus parsed = ParseValue(type, key.second, &value);
    if (parsed != KR_STATUS_OK) {
      TOLLAN_LOG(KR_LOG_SEVERITY_ERROR, "[%s] %s: \"%s\" is not a value of the property's type", section.name.c_str(),
                 name.c_str(), key.second.c_str());
      return parsed;
    }
    TOLLAN_TRY(SetValue(module.c_str(), property.c_str(), value));
  }
  return KR_STATUS_OK;
}

// ---- initial values ----

KrStatus DeviceBase::ApplyDeviceInitialValuesLocked(KrPropertySetHandle set) {
  if (set == nullptr) {
    return KR_STATUS_OK;
  }
  return VisitProperties(set, nullptr, [&](const char* module, const char* property, const PropertyValue& value) {
    return ApplyInitialLocked(module, property, Value::FromView(value));
  });
}

KrStatus DeviceBase::ApplyInitialLocked(const std::string& module, const std::string& property, const Value& value) {
  Module* m = FindModule(module);
  Property* p = m ? m->Find(property) : nullptr;
  if (p == nullptr) {
    return OnUnknownInitialValue(module, property, value);
  }
  // Read-only values describe a device rather than configure it; a set
  // copied from another device (KrDeviceProxyGetAllProperties) carries them,
  // and they are passed over.
  if (p->readOnly) {
    return KR_STATUS_OK;
  }
  return SetLocked(*m, *p, value, SetOrigin::kInitial);
}

KrStatus DeviceBase::ApplyInitialTextLocked(const std::string& module, const std::string& property,
                                            const std::string& text) {
  const Property* p = FindProperty(module, property);
  Value value;
  if (p == nullptr) {
    value = GuessValue(text);
  } else {
    const KrStatus parsed = ParseValue(p->value.type, text, &value);
    if (parsed != KR_STATUS_OK) {
      TOLLAN_LOG(KR_LOG_SEVERITY_ERROR, "Stream.%s.%s: \"%s\" is not a value of the property's type", module.c_str(),
                 property.c_str(), text.c_str());
      return parsed;
    }
  }
  return ApplyInitialLocked(module, property, value);
}

KrStatus DeviceBase::OnUnknownInitialValue(const std::string& module, const std::string& /*property*/,
                                           const Value& /*value*/) {
  return FindModule(module) ? KR_STATUS_TL_PROPERTY_NOT_FOUND : KR_STATUS_TL_MODULE_NOT_FOUND;
}

}  // namespace tollan
