// tollan::Value: the kit's typed value, owning its text or bytes. Device
// properties hold it, and recordings carry it unchanged (Tollan/src/file).
//
// A plain value type: each Value is owned by whoever holds it, and a
// PropertyValue view borrows from it. Not synchronised; callers guard
// values shared between threads (the device mutex for properties).
#pragma once

#include <Tollan/TollanTypes.h>
#include <Tollan/src/PropertySetInternal.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace tollan {

// Only the field of the value's type counts.
struct Value {
  KrPropertyType type = KR_PROPERTY_TYPE_INTEGER;
  uint64_t intValue = 0;
  double realValue = 0.0;
  std::string stringValue;
  std::vector<uint8_t> generalValue;

  static Value Int(uint64_t value);
  static Value Real(double value);
  static Value String(const std::string& value);
  static Value General(const void* data, size_t size);
  // Copies a value seen in a property set.
  static Value FromView(const PropertyValue& view);
  // A view for the property-set calls, valid while this value lives unchanged.
  PropertyValue View() const;
  // Same type and same field of that type; reals compare as numbers.
  bool operator==(const Value& other) const;
  bool operator!=(const Value& other) const { return !(*this == other); }
};

}  // namespace tollan
