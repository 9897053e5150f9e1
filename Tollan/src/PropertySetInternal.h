// Inside view of a Tollan property set, for the device side of the kit
// (initial values, KrDeviceProxyGetAllProperties, KrDeviceProxyBatchConfig).
//
// Visits work on a snapshot of the set taken when the visit starts, so a
// visitor may change the set (or another set) without disturbing the walk.
// The texts and bytes a visitor sees stay valid for that one call only.
// Same threading rule as the set: one thread at a time per set.
#pragma once

#include <Tollan/TollanPropertySet.h>

#include <functional>
#include <string>
#include <vector>

namespace tollan {

// One value of a set; only the field of its type is meaningful.
struct PropertyValue {
  KrPropertyType type = KR_PROPERTY_TYPE_INTEGER;
  uint64_t intValue = 0;
  double realValue = 0.0;
  const char* stringValue = nullptr;         // KR_PROPERTY_TYPE_STRING
  KrGeneralBuffer generalValue{nullptr, 0};  // KR_PROPERTY_TYPE_GENERAL
};

// Called once per property; a status other than KR_STATUS_OK stops the walk
// and becomes the walk's result.
using PropertyVisitor = std::function<KrStatus(const char* module, const char* property, const PropertyValue& value)>;

// Every property in set order (of one module when module is not null).
// Null set or visitor: 0x10004; a module filter the set lacks: 0x1000A.
KrStatus VisitProperties(KrPropertySetHandle set, const char* module, const PropertyVisitor& visit);

// The set's module names in order, empty modules included.
KrStatus GetModuleNames(KrPropertySetHandle set, std::vector<std::string>* names);

// Adds (or replaces) one value, with the checks of the typed Add calls.
KrStatus AddPropertyValue(KrPropertySetHandle set, const char* module, const char* property,
                          const PropertyValue& value);

}  // namespace tollan
