// tollan::Value (Value.h). Depends on nothing else of the kit, so tools that
// build only the recording sources can link it.
#include <Tollan/src/Value.h>

namespace tollan {

Value Value::Int(uint64_t value) {
  Value v;
  v.type = KR_PROPERTY_TYPE_INTEGER;
  v.intValue = value;
  return v;
}

Value Value::Real(double value) {
  Value v;
  v.type = KR_PROPERTY_TYPE_REAL;
  v.realValue = value;
  return v;
}

Value Value::String(const std::string& value) {
  Value v;
  v.type = KR_PROPERTY_TYPE_STRING;
  v.stringValue = value;
  return v;
}

Value Value::General(const void* data, size_t size) {
  Value v;
  v.type = KR_PROPERTY_TYPE_GENERAL;
  if (size > 0 && data != nullptr) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    v.generalValue.assign(bytes, bytes + size);
  }
  return v;
}

Value Value::FromView(const PropertyValue& view) {
  switch (view.type) {
    case KR_PROPERTY_TYPE_INTEGER:
      return Int(view.intValue);
    case KR_PROPERTY_TYPE_REAL:
      return Real(view.realValue);
    case KR_PROPERTY_TYPE_STRING:
      return String(view.stringValue ? view.stringValue : "");
    case KR_PROPERTY_TYPE_GENERAL:
      return General(view.generalValue.pData, view.generalValue.nDataSize);
  }
  return Value();
}

PropertyValue Value::View() const {
  PropertyValue view;
  view.type = type;
  view.intValue = intValue;
  view.realValue = realValue;
  view.stringValue = stringValue.c_str();
  view.generalValue.pData = const_cast<uint8_t*>(generalValue.data());
  view.generalValue.nDataSize = static_cast<uint32_t>(generalValue.size());
  return view;
}

bool Value::operator==(const Value& other) const {
  if (type != other.type) {
    return false;
  }
  switch (type) {
    case KR_PROPERTY_TYPE_INTEGER:
      return intValue == other.intValue;
    case KR_PROPERTY_TYPE_REAL:
      return realValue == other.realValue;
    case KR_PROPERTY_TYPE_STRING:
      return stringValue == other.stringValue;
    case KR_PROPERTY_TYPE_GENERAL:
      return generalValue == other.generalValue;
  }
  return false;
}

}  // namespace tollan
