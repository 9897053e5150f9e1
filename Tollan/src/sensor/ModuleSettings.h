// The current property values of one simulated-sensor module (a stream or
// "Device"), laid out by a table of PropertyRow. Typed reads and writes by
// name with the kit's statuses, value checks by the row's rule, and a
// combination check across properties (Validate) that a write must pass
// before it is kept.
//
// A write either applies completely or leaves every value as it was. For
// several writes that only make sense together (initial values), copy the
// settings, write with validate = false, then Commit the copy and keep it
// only when Commit succeeds.
//
// Statuses: unknown property 0x3080B; value of another type
// KR_STATUS_TL_BAD_PROPERTY_TYPE; write of a read-only property
// KR_STATUS_TL_PROPERTY_READ_ONLY; read of a write-only one
// KR_STATUS_TL_NOT_SUPPORTED; general buffer of the wrong size
// KR_STATUS_TL_BAD_PROPERTY_SIZE; a value the module does not offer
// KR_STATUS_TL_BAD_PROPERTY_VALUE; null output 0x10004.
//
// Not locked: the owner (the device) serialises access. Copies are
// independent values.
#pragma once

#include "PropertyRow.h"

#include <Orvane/OrvaneTypes.h>

#include <string>
#include <vector>

namespace tollan {
namespace sensor {

// A property value of any type; only the member of the row's type is used.
struct StoredValue {
  uint64_t i = 0;
  double r = 0.0;
  std::string s;
  std::vector<uint8_t> g;
};

class ModuleSettings {
 public:
  // rows: the module kind's table (static storage); kindBits selects the
  // rows of this module (a row applies when it shares a bit).
  ModuleSettings(const PropertyRow* rows, size_t rowCount, uint8_t kindBits);
  virtual ~ModuleSettings() = default;
  ModuleSettings(const ModuleSettings&) = default;
  ModuleSettings& operator=(const ModuleSettings&) = default;

  // The row of a property of this module, or null.
  const PropertyRow* Find(const char* property) const;
  KrStatus GetType(const char* property, KrPropertyType* type) const;

  KrStatus Get(const char* property, uint64_t* value) const;
  KrStatus Get(const char* property, double* value) const;
  KrStatus Get(const char* property, char* value) const;  // KR_MAX_NAME_LENGTH bytes
  // Copies the value into value.pData; some properties also read the
  // buffer first as a request (which bin, which sensor).
  KrStatus Get(const char* property, const KrGeneralBuffer& value) const;
  // The value in the row's type (general values whole, of their own size);
  // request: the caller's buffer of a request-driven read, or null.
  KrStatus GetValue(const char* property, StoredValue* value, const KrGeneralBuffer* request = nullptr) const;

  KrStatus Set(const char* property, uint64_t value, bool validate = true);
  KrStatus Set(const char* property, double value, bool validate = true);
  KrStatus Set(const char* property, const char* value, bool validate = true);
  KrStatus Set(const char* property, const KrGeneralBuffer& value, bool validate = true);

  // Stores a value without the row's access and rule checks (identity and
  // other values that the device itself fixes).
  KrStatus Force(const char* property, const StoredValue& value);

  // Combination checks across properties (a rate offered at the current
  // resolution, a cropping window that fits, ...).
  virtual KrStatus Validate() const { return KR_STATUS_OK; }
  // Validate, then bring derived state up to date; for batches of writes
  // made with validate = false.
  KrStatus Commit();

  // The module's rows in table order: all of them, or without those left
  // out of property lists (unlisted and write-only rows).
  std::vector<const PropertyRow*> Rows() const;
  std::vector<const PropertyRow*> ListedRows() const;
  static bool IsListed(const PropertyRow& row) {
    return (row.flags & kUnlisted) == 0 && row.access != Access::kWriteOnly;
  }

  // Names of the readable properties whose values differ between a and b
  // (two settings of the same module), in table order. Request-driven
  // values compare their whole stored state.
  static std::vector<const char*> Differences(const ModuleSettings& a, const ModuleSettings& b);

 protected:
  // Stored value of a row of this module (row must come from Find).
  const StoredValue& Value(const PropertyRow& row) const { return values_[Index(row)]; }
  StoredValue& MutableValue(const PropertyRow& row) { return values_[Index(row)]; }
  // Stored integer of an applicable row by name; 0 when absent.
  uint64_t IntValue(const char* property) const;

  // Module-kind rules. Store checks and stores a written value for rules
  // beyond the four generic ones; Read produces the value of a derived or
  // request-driven row (request is the caller's buffer for general reads,
  // else null).
  virtual KrStatus StoreByRule(const PropertyRow& row, const StoredValue& in);
  virtual KrStatus ReadByRule(const PropertyRow& row, const KrGeneralBuffer* request, StoredValue* out) const;
  // Called after a validated change; rebuilds derived state.
  virtual void Refresh() {}

 private:
  size_t Index(const PropertyRow& row) const { return static_cast<size_t>(&row - rows_); }
  KrStatus Write(const char* property, KrPropertyType type, const StoredValue& in, bool validate);
  KrStatus Read(const char* property, KrPropertyType type, const KrGeneralBuffer* request, StoredValue* out) const;
  KrStatus StoreGeneric(const PropertyRow& row, const StoredValue& in);

  const PropertyRow* rows_;
  size_t rowCount_;
  uint8_t kindBits_;
  // One entry per table row (rows of other kinds stay default and unused),
  // so a row's value is found by its index in the table.
  std::vector<StoredValue> values_;
};

}  // namespace sensor
}  // namespace tollan
