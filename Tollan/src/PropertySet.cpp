// Tollan property sets and their enumerators.
//
// A set is a vector of modules, each a vector of entries, both in order of
// first addition, with an index by name beside each vector: a device's whole
// property list (GetAllProperties of a large recording) goes through one set,
// so a lookup must not walk it.
// Every entry owns its value, general bytes included. An enumerator copies
// the entries it will visit when it is made, so later changes of the set
// neither move nor free anything the enumerator hands out.

#include <Tollan/TollanPropertySet.h>
#include <Tollan/TollanStatus.h>

#include "KitInternal.h"
#include "PropertySetInternal.h"

#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

// Returns the status of expr when it is a failure.
#define TL_RETURN_IF_FAILED(expr)    \
  do {                               \
    const KrStatus status_ = (expr); \
    if (status_ != KR_STATUS_OK) {   \
      return status_;                \
    }                                \
  } while (0)

namespace {

struct PropertyEntry {
  std::string name;
  KrPropertyType type = KR_PROPERTY_TYPE_INTEGER;
  uint64_t intValue = 0;
  double realValue = 0.0;
  std::string text;                  // string values
  std::vector<unsigned char> bytes;  // general values, the set's own copy
};

// Positions of named entries in a vector, by name.
using Positions = std::unordered_map<std::string, size_t>;

// Appends entry to entries and its position to positions, both or neither.
template <typename Entry>
void AppendNamed(std::vector<Entry>* entries, Positions* positions, Entry&& entry) {
  const auto added = positions->emplace(entry.name, entries->size()).first;
  try {
    entries->push_back(std::move(entry));
  } catch (...) {
    positions->erase(added);
    throw;
  }
}

// Removes the entry at index; the ones after it move up by one.
template <typename Entry>
void RemoveNamed(std::vector<Entry>* entries, Positions* positions, size_t index) {
  positions->erase((*entries)[index].name);
  entries->erase(entries->begin() + std::ptrdiff_t(index));
  for (auto& position : *positions) {
    if (position.second > index) {
      --position.second;
    }
  }
}

struct ModuleEntry {
  std::string name;
  std::vector<PropertyEntry> properties;
  Positions positions;  // property name -> index in properties

  PropertyEntry* Find(const char* property) {
    const auto found = positions.find(property);
    return found == positions.end() ? nullptr : &properties[found->second];
  }
};

// Runs an operation and turns an escaping exception (only allocation can
// throw here, or a visitor) into a status: nothing is thrown across the C
// interface.
template <typename Operation>
KrStatus Guarded(Operation&& operation) {
  try {
    return operation();
  } catch (const std::bad_alloc&) {
    return KR_STATUS_OS_ALLOC_FAILED;
  } catch (...) {
    return KR_STATUS_OS_ERROR;
  }
}

KrStatus CheckNotNull(const void* pointer) { return pointer == nullptr ? KR_STATUS_OS_NULL_POINTER : KR_STATUS_OK; }

// Names must fit the kit's text buffers, where devices and recorders copy them.
KrStatus CheckName(const char* name) {
  TL_RETURN_IF_FAILED(CheckNotNull(name));
  return strnlen(name, KR_MAX_NAME_LENGTH) < KR_MAX_NAME_LENGTH ? KR_STATUS_OK : KR_STATUS_OS_BAD_ARGUMENT;
}

// Builds the entry for a value before the set is touched, so a failed
// allocation leaves the set as it was.
KrStatus MakeEntry(const char* property, const tollan::PropertyValue& value, PropertyEntry* entry) {
  entry->name = property;
  entry->type = value.type;
  switch (value.type) {
    case KR_PROPERTY_TYPE_INTEGER:
      entry->intValue = value.intValue;
      return KR_STATUS_OK;
    case KR_PROPERTY_TYPE_REAL:
      entry->realValue = value.realValue;
      return KR_STATUS_OK;
    case KR_PROPERTY_TYPE_STRING:
      TL_RETURN_IF_FAILED(CheckNotNull(value.stringValue));
      if (strnlen(value.stringValue, KR_MAX_NAME_LENGTH) >= KR_MAX_NAME_LENGTH) {
        return KR_STATUS_TL_BAD_PROPERTY_SIZE;
      }
      entry->text = value.stringValue;
      return KR_STATUS_OK;
    case KR_PROPERTY_TYPE_GENERAL: {
      const KrGeneralBuffer& buffer = value.generalValue;
      if (buffer.nDataSize > 0) {
        TL_RETURN_IF_FAILED(CheckNotNull(buffer.pData));
        const auto* first = static_cast<const unsigned char*>(buffer.pData);
        entry->bytes.assign(first, first + buffer.nDataSize);
      }
      return KR_STATUS_OK;
    }
  }
  return KR_STATUS_TL_BAD_PROPERTY_TYPE;
}

tollan::PropertyValue ViewOf(const PropertyEntry& entry) {
  tollan::PropertyValue value;
  value.type = entry.type;
  value.intValue = entry.intValue;
  value.realValue = entry.realValue;
  value.stringValue = entry.text.c_str();
  // The view hands out a non-const pointer because KrGeneralBuffer has one;
  // callers read through it.
  value.generalValue.pData = entry.bytes.empty() ? nullptr : const_cast<unsigned char*>(entry.bytes.data());
  value.generalValue.nDataSize = static_cast<uint32_t>(entry.bytes.size());
  return value;
}

}  // namespace

struct KrPropertySetImpl {
  std::vector<ModuleEntry> modules;
  Positions positions;  // module name -> index in modules

  ModuleEntry* FindModule(const char* name) {
    const auto found = positions.find(name);
    return found == positions.end() ? nullptr : &modules[found->second];
  }
  ModuleEntry& AppendModule(const char* name) {
    ModuleEntry added;
    added.name = name;
    AppendNamed(&modules, &positions, std::move(added));
    return modules.back();
  }

  KrStatus FindProperty(const char* module, const char* property, const PropertyEntry** entry) {
    TL_RETURN_IF_FAILED(CheckNotNull(module));
    TL_RETURN_IF_FAILED(CheckNotNull(property));
    ModuleEntry* found = FindModule(module);
    if (found == nullptr) {
      return KR_STATUS_OS_NOT_FOUND;
    }
    *entry = found->Find(property);
    return *entry == nullptr ? KR_STATUS_OS_NOT_FOUND : KR_STATUS_OK;
  }

  // Adds or replaces; a replaced entry keeps its place.
  KrStatus Put(const char* module, const char* property, const tollan::PropertyValue& value) {
    TL_RETURN_IF_FAILED(CheckName(module));
    TL_RETURN_IF_FAILED(CheckName(property));
    PropertyEntry entry;
    TL_RETURN_IF_FAILED(MakeEntry(property, value, &entry));
    ModuleEntry* target = FindModule(module);
    if (target == nullptr) {
      target = &AppendModule(module);
    }
    if (PropertyEntry* existing = target->Find(property)) {
      *existing = std::move(entry);
      return KR_STATUS_OK;
    }
    AppendNamed(&target->properties, &target->positions, std::move(entry));
    return KR_STATUS_OK;
  }

  // Copies of the modules an enumeration or visit covers (one module when
  // module is not null).
  KrStatus Snapshot(const char* module, std::vector<ModuleEntry>* copy) {
    if (module == nullptr) {
      *copy = modules;
      return KR_STATUS_OK;
    }
    ModuleEntry* found = FindModule(module);
    if (found == nullptr) {
      return KR_STATUS_OS_NOT_FOUND;
    }
    copy->assign(1, *found);
    return KR_STATUS_OK;
  }
};

struct KrPropertySetEnumeratorImpl {
  std::vector<ModuleEntry> modules;  // snapshot taken at creation
  // Entries in walk order, as (module index, property index) into modules.
  std::vector<std::pair<size_t, size_t>> order;
  // 0 before the first entry; n means order[n - 1] is current; past the
  // last once above order.size().
  size_t position = 0;

  KrStatus Current(const ModuleEntry** module, const PropertyEntry** entry) const {
    if (position == 0 || position > order.size()) {
      return KR_STATUS_OS_NOT_FOUND;
    }
    const std::pair<size_t, size_t>& at = order[position - 1];
    *module = &modules[at.first];
    *entry = &modules[at.first].properties[at.second];
    return KR_STATUS_OK;
  }

  KrStatus CurrentOfType(KrPropertyType type, const PropertyEntry** entry) const {
    const ModuleEntry* module = nullptr;
    TL_RETURN_IF_FAILED(Current(&module, entry));
    return (*entry)->type == type ? KR_STATUS_OK : KR_STATUS_TL_BAD_PROPERTY_TYPE;
  }
};

namespace {

// Looks up a typed value of a set.
KrStatus FindTyped(KrPropertySetHandle set, const char* module, const char* property, KrPropertyType type,
                   const void* output, const PropertyEntry** entry) {
  TL_RETURN_IF_FAILED(CheckNotNull(set));
  TL_RETURN_IF_FAILED(CheckNotNull(output));
  TL_RETURN_IF_FAILED(set->FindProperty(module, property, entry));
  return (*entry)->type == type ? KR_STATUS_OK : KR_STATUS_TL_BAD_PROPERTY_TYPE;
}

KrStatus AddValue(KrPropertySetHandle set, const char* module, const char* property,
                  const tollan::PropertyValue& value) {
  TL_RETURN_IF_FAILED(CheckNotNull(set));
  return Guarded([&] { return set->Put(module, property, value); });
}

}  // namespace

// ---- sets ----

KrStatus KrPropertySetCreate(KrPropertySetHandle* set) {
  TOLLAN_ENTER("KrPropertySetCreate", nullptr);
  TL_RETURN_IF_FAILED(CheckNotNull(set));
  KrPropertySetImpl* created = new (std::nothrow) KrPropertySetImpl();
  if (created == nullptr) {
    return KR_STATUS_OS_ALLOC_FAILED;
  }
  *set = created;
  return KR_STATUS_OK;
}

KrStatus KrPropertySetDestroy(KrPropertySetHandle* set) {
  // Not an entry point for injected failures: its callers (destructors)
  // cannot try again, so a failure could only leak.
  TL_RETURN_IF_FAILED(CheckNotNull(set));
  TL_RETURN_IF_FAILED(CheckNotNull(*set));
  delete *set;
  *set = nullptr;
  return KR_STATUS_OK;
}

KrStatus KrPropertySetClone(KrPropertySetHandle source, KrPropertySetHandle* copy) {
  TOLLAN_ENTER("KrPropertySetClone", nullptr);
  TL_RETURN_IF_FAILED(CheckNotNull(source));
  TL_RETURN_IF_FAILED(CheckNotNull(copy));
  return Guarded([&] {
    *copy = new KrPropertySetImpl(*source);
    return KR_STATUS_OK;
  });
}

KrStatus KrPropertySetAddModule(KrPropertySetHandle set, const char* module) {
  TOLLAN_ENTER("KrPropertySetAddModule", nullptr, module);
  TL_RETURN_IF_FAILED(CheckNotNull(set));
  TL_RETURN_IF_FAILED(CheckName(module));
  if (set->FindModule(module) != nullptr) {
    return KR_STATUS_OK;  // already there: keeps its place and its properties
  }
  return Guarded([&] {
    set->AppendModule(module);
    return KR_STATUS_OK;
  });
}

KrStatus KrPropertySetRemoveModule(KrPropertySetHandle set, const char* module) {
  TOLLAN_ENTER("KrPropertySetRemoveModule", nullptr, module);
  TL_RETURN_IF_FAILED(CheckNotNull(set));
  TL_RETURN_IF_FAILED(CheckNotNull(module));
  ModuleEntry* found = set->FindModule(module);
  if (found == nullptr) {
    return KR_STATUS_OS_NOT_FOUND;
  }
  RemoveNamed(&set->modules, &set->positions, size_t(found - set->modules.data()));
  return KR_STATUS_OK;
}

KrStatus KrPropertySetAddIntProperty(KrPropertySetHandle set, const char* module, const char* property,
                                     uint64_t value) {
  TOLLAN_ENTER("KrPropertySetAddIntProperty", nullptr, module, property);
  tollan::PropertyValue entry;
  entry.type = KR_PROPERTY_TYPE_INTEGER;
  entry.intValue = value;
  return AddValue(set, module, property, entry);
}

KrStatus KrPropertySetAddRealProperty(KrPropertySetHandle set, const char* module, const char* property, double value) {
  TOLLAN_ENTER("KrPropertySetAddRealProperty", nullptr, module, property);
  tollan::PropertyValue entry;
  entry.type = KR_PROPERTY_TYPE_REAL;
  entry.realValue = value;
  return AddValue(set, module, property, entry);
}

KrStatus KrPropertySetAddStringProperty(KrPropertySetHandle set, const char* module, const char* property,
                                        const char* value) {
  TOLLAN_ENTER("KrPropertySetAddStringProperty", nullptr, module, property);
  tollan::PropertyValue entry;
  entry.type = KR_PROPERTY_TYPE_STRING;
  entry.stringValue = value;
  return AddValue(set, module, property, entry);
}

KrStatus KrPropertySetAddGeneralProperty(KrPropertySetHandle set, const char* module, const char* property,
                                         const KrGeneralBuffer* value) {
  TOLLAN_ENTER("KrPropertySetAddGeneralProperty", nullptr, module, property);
  TL_RETURN_IF_FAILED(CheckNotNull(value));
  tollan::PropertyValue entry;
  entry.type = KR_PROPERTY_TYPE_GENERAL;
  entry.generalValue = *value;
  return AddValue(set, module, property, entry);
}

KrStatus KrPropertySetRemoveProperty(KrPropertySetHandle set, const char* module, const char* property) {
  TOLLAN_ENTER("KrPropertySetRemoveProperty", nullptr, module, property);
  TL_RETURN_IF_FAILED(CheckNotNull(set));
  const PropertyEntry* entry = nullptr;
  TL_RETURN_IF_FAILED(set->FindProperty(module, property, &entry));
  ModuleEntry& owner = *set->FindModule(module);
  RemoveNamed(&owner.properties, &owner.positions, size_t(entry - owner.properties.data()));
  return KR_STATUS_OK;
}

// ---- lookups ----

KrStatus KrPropertySetDoesModuleExist(KrPropertySetHandle set, const char* module, int* exists) {
  TOLLAN_ENTER("KrPropertySetDoesModuleExist", nullptr, module);
  TL_RETURN_IF_FAILED(CheckNotNull(set));
  TL_RETURN_IF_FAILED(CheckNotNull(module));
  TL_RETURN_IF_FAILED(CheckNotNull(exists));
  *exists = set->FindModule(module) != nullptr ? 1 : 0;
  return KR_STATUS_OK;
}

KrStatus KrPropertySetGetPropertyType(KrPropertySetHandle set, const char* module, const char* property,
                                      KrPropertyType* type) {
  TOLLAN_ENTER("KrPropertySetGetPropertyType", nullptr, module, property);
  TL_RETURN_IF_FAILED(CheckNotNull(set));
  TL_RETURN_IF_FAILED(CheckNotNull(type));
  const PropertyEntry* entry = nullptr;
  TL_RETURN_IF_FAILED(set->FindProperty(module, property, &entry));
  *type = entry->type;
  return KR_STATUS_OK;
}

KrStatus KrPropertySetGetIntProperty(KrPropertySetHandle set, const char* module, const char* property,
                                     uint64_t* value) {
  TOLLAN_ENTER("KrPropertySetGetIntProperty", nullptr, module, property);
  const PropertyEntry* entry = nullptr;
  TL_RETURN_IF_FAILED(FindTyped(set, module, property, KR_PROPERTY_TYPE_INTEGER, value, &entry));
  *value = entry->intValue;
  return KR_STATUS_OK;
}

KrStatus KrPropertySetGetRealProperty(KrPropertySetHandle set, const char* module, const char* property,
                                      double* value) {
  TOLLAN_ENTER("KrPropertySetGetRealProperty", nullptr, module, property);
  const PropertyEntry* entry = nullptr;
  TL_RETURN_IF_FAILED(FindTyped(set, module, property, KR_PROPERTY_TYPE_REAL, value, &entry));
  *value = entry->realValue;
  return KR_STATUS_OK;
}

// A buffer too small for the text gets as much as fits, terminated, and
// 0x10007.
KrStatus KrPropertySetGetStringProperty(KrPropertySetHandle set, const char* module, const char* property, char* value,
                                        uint32_t capacity) {
  TOLLAN_ENTER("KrPropertySetGetStringProperty", nullptr, module, property);
  const PropertyEntry* entry = nullptr;
  TL_RETURN_IF_FAILED(FindTyped(set, module, property, KR_PROPERTY_TYPE_STRING, value, &entry));
  if (capacity == 0) {
    return KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;
  }
  const size_t length = entry->text.size();
  const size_t copied = length < capacity ? length : capacity - 1;
  std::memcpy(value, entry->text.data(), copied);
  value[copied] = '\0';
  return copied == length ? KR_STATUS_OK : KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;
}

KrStatus KrPropertySetGetGeneralProperty(KrPropertySetHandle set, const char* module, const char* property,
                                         KrGeneralBuffer* value) {
  TOLLAN_ENTER("KrPropertySetGetGeneralProperty", nullptr, module, property);
  const PropertyEntry* entry = nullptr;
  TL_RETURN_IF_FAILED(FindTyped(set, module, property, KR_PROPERTY_TYPE_GENERAL, value, &entry));
  *value = ViewOf(*entry).generalValue;
  return KR_STATUS_OK;
}

KrStatus KrPropertySetGetCounts(KrPropertySetHandle set, uint32_t* modules, uint32_t* properties) {
  TOLLAN_ENTER("KrPropertySetGetCounts", nullptr);
  TL_RETURN_IF_FAILED(CheckNotNull(set));
  TL_RETURN_IF_FAILED(CheckNotNull(modules));
  TL_RETURN_IF_FAILED(CheckNotNull(properties));
  size_t total = 0;
  for (const ModuleEntry& module : set->modules) {
    total += module.properties.size();
  }
  *modules = static_cast<uint32_t>(set->modules.size());
  *properties = static_cast<uint32_t>(total);
  return KR_STATUS_OK;
}

// ---- enumeration ----

KrStatus KrPropertySetGetEnumerator(KrPropertySetHandle set, KrPropertySetEnumeratorHandle* enumerator,
                                    const char* module) {
  TOLLAN_ENTER("KrPropertySetGetEnumerator", nullptr, module);
  TL_RETURN_IF_FAILED(CheckNotNull(set));
  TL_RETURN_IF_FAILED(CheckNotNull(enumerator));
  return Guarded([&] {
    auto created = std::make_unique<KrPropertySetEnumeratorImpl>();
    TL_RETURN_IF_FAILED(set->Snapshot(module, &created->modules));
    for (size_t m = 0; m < created->modules.size(); ++m) {
      for (size_t p = 0; p < created->modules[m].properties.size(); ++p) {
        created->order.emplace_back(m, p);
      }
    }
    *enumerator = created.release();
    return KR_STATUS_OK;
  });
}

KrStatus KrPropertySetEnumeratorFree(KrPropertySetEnumeratorHandle* enumerator) {
  // Not an entry point for injected failures: its callers (destructors)
  // cannot try again, so a failure could only leak.
  TL_RETURN_IF_FAILED(CheckNotNull(enumerator));
  TL_RETURN_IF_FAILED(CheckNotNull(*enumerator));
  delete *enumerator;
  *enumerator = nullptr;
  return KR_STATUS_OK;
}

KrStatus KrPropertySetEnumeratorMoveNext(KrPropertySetEnumeratorHandle enumerator, bool* end) {
  TOLLAN_ENTER("KrPropertySetEnumeratorMoveNext", nullptr);
  TL_RETURN_IF_FAILED(CheckNotNull(enumerator));
  TL_RETURN_IF_FAILED(CheckNotNull(end));
  // Stops one step past the last entry, however often it is called.
  if (enumerator->position <= enumerator->order.size()) {
    ++enumerator->position;
  }
  *end = enumerator->position > enumerator->order.size();
  return KR_STATUS_OK;
}

KrStatus KrPropertySetEnumeratorGetCurrentPropertyInfo(KrPropertySetEnumeratorHandle enumerator, KrPropertyType* type,
                                                       const char** module, const char** property) {
  TOLLAN_ENTER("KrPropertySetEnumeratorGetCurrentPropertyInfo", nullptr);
  TL_RETURN_IF_FAILED(CheckNotNull(enumerator));
  TL_RETURN_IF_FAILED(CheckNotNull(type));
  TL_RETURN_IF_FAILED(CheckNotNull(module));
  TL_RETURN_IF_FAILED(CheckNotNull(property));
  const ModuleEntry* currentModule = nullptr;
  const PropertyEntry* entry = nullptr;
  TL_RETURN_IF_FAILED(enumerator->Current(&currentModule, &entry));
  *type = entry->type;
  *module = currentModule->name.c_str();
  *property = entry->name.c_str();
  return KR_STATUS_OK;
}

KrStatus KrPropertySetEnumeratorGetIntValue(KrPropertySetEnumeratorHandle enumerator, uint64_t* value) {
  TOLLAN_ENTER("KrPropertySetEnumeratorGetIntValue", nullptr);
  TL_RETURN_IF_FAILED(CheckNotNull(enumerator));
  TL_RETURN_IF_FAILED(CheckNotNull(value));
  const PropertyEntry* entry = nullptr;
  TL_RETURN_IF_FAILED(enumerator->CurrentOfType(KR_PROPERTY_TYPE_INTEGER, &entry));
  *value = entry->intValue;
  return KR_STATUS_OK;
}

KrStatus KrPropertySetEnumeratorGetRealValue(KrPropertySetEnumeratorHandle enumerator, double* value) {
  TOLLAN_ENTER("KrPropertySetEnumeratorGetRealValue", nullptr);
  TL_RETURN_IF_FAILED(CheckNotNull(enumerator));
  TL_RETURN_IF_FAILED(CheckNotNull(value));
  const PropertyEntry* entry = nullptr;
  TL_RETURN_IF_FAILED(enumerator->CurrentOfType(KR_PROPERTY_TYPE_REAL, &entry));
  *value = entry->realValue;
  return KR_STATUS_OK;
}

KrStatus KrPropertySetEnumeratorGetStringValue(KrPropertySetEnumeratorHandle enumerator, const char** value) {
  TOLLAN_ENTER("KrPropertySetEnumeratorGetStringValue", nullptr);
  TL_RETURN_IF_FAILED(CheckNotNull(enumerator));
  TL_RETURN_IF_FAILED(CheckNotNull(value));
  const PropertyEntry* entry = nullptr;
  TL_RETURN_IF_FAILED(enumerator->CurrentOfType(KR_PROPERTY_TYPE_STRING, &entry));
  *value = entry->text.c_str();
  return KR_STATUS_OK;
}

KrStatus KrPropertySetEnumeratorGetGeneralValue(KrPropertySetEnumeratorHandle enumerator, KrGeneralBuffer* value) {
  TOLLAN_ENTER("KrPropertySetEnumeratorGetGeneralValue", nullptr);
  TL_RETURN_IF_FAILED(CheckNotNull(enumerator));
  TL_RETURN_IF_FAILED(CheckNotNull(value));
  const PropertyEntry* entry = nullptr;
  TL_RETURN_IF_FAILED(enumerator->CurrentOfType(KR_PROPERTY_TYPE_GENERAL, &entry));
  *value = ViewOf(*entry).generalValue;
  return KR_STATUS_OK;
}

// ---- the device side's view ----

namespace tollan {

KrStatus VisitProperties(KrPropertySetHandle set, const char* module, const PropertyVisitor& visit) {
  TL_RETURN_IF_FAILED(CheckNotNull(set));
  if (!visit) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  return Guarded([&] {
    std::vector<ModuleEntry> snapshot;
    TL_RETURN_IF_FAILED(set->Snapshot(module, &snapshot));
    for (const ModuleEntry& current : snapshot) {
      for (const PropertyEntry& entry : current.properties) {
        TL_RETURN_IF_FAILED(visit(current.name.c_str(), entry.name.c_str(), ViewOf(entry)));
      }
    }
    return KR_STATUS_OK;
  });
}

KrStatus GetModuleNames(KrPropertySetHandle set, std::vector<std::string>* names) {
  TL_RETURN_IF_FAILED(CheckNotNull(set));
  TL_RETURN_IF_FAILED(CheckNotNull(names));
  return Guarded([&] {
    std::vector<std::string> found;
    found.reserve(set->modules.size());
    for (const ModuleEntry& module : set->modules) {
      found.push_back(module.name);
    }
    names->swap(found);
    return KR_STATUS_OK;
  });
}

KrStatus AddPropertyValue(KrPropertySetHandle set, const char* module, const char* property,
                          const PropertyValue& value) {
  return AddValue(set, module, property, value);
}

}  // namespace tollan
