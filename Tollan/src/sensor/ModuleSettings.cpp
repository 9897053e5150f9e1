#include "ModuleSettings.h"

#include "../KitInternal.h"

#include <Tollan/TollanStatus.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace tollan {
namespace sensor {
namespace {

bool IsGenericRule(Rule rule) {
  return rule == Rule::kAny || rule == Rule::kRange || rule == Rule::kList || rule == Rule::kPositive;
}

bool SameValue(KrPropertyType type, const StoredValue& a, const StoredValue& b) {
  switch (type) {
    case KR_PROPERTY_TYPE_INTEGER:
      return a.i == b.i;
    case KR_PROPERTY_TYPE_REAL:
      return a.r == b.r;
    case KR_PROPERTY_TYPE_STRING:
      return a.s == b.s;
    default:
      return a.g == b.g;
  }
}

}  // namespace

ModuleSettings::ModuleSettings(const PropertyRow* rows, size_t rowCount, uint8_t kindBits)
    : rows_(rows), rowCount_(rowCount), kindBits_(kindBits), values_(rowCount) {
  for (size_t i = 0; i < rowCount_; ++i) {
    const PropertyRow& row = rows_[i];
    if ((row.kinds & kindBits_) == 0) continue;
    StoredValue& v = values_[i];
    v.i = row.intDefault;
    v.r = row.realDefault;
    v.s = row.textDefault ? row.textDefault : "";
    v.g.assign(row.generalSize, 0);
  }
}

const PropertyRow* ModuleSettings::Find(const char* property) const {
  if (property == nullptr) return nullptr;
  for (size_t i = 0; i < rowCount_; ++i) {
    if ((rows_[i].kinds & kindBits_) != 0 && std::strcmp(rows_[i].name, property) == 0) return &rows_[i];
  }
  return nullptr;
}

uint64_t ModuleSettings::IntValue(const char* property) const {
  const PropertyRow* row = Find(property);
  return row ? Value(*row).i : 0;
}

KrStatus ModuleSettings::GetType(const char* property, KrPropertyType* type) const {
  if (property == nullptr || type == nullptr) return KR_STATUS_OS_NULL_POINTER;
  const PropertyRow* row = Find(property);
  if (row == nullptr) return KR_STATUS_TL_PROPERTY_NOT_FOUND;
  *type = row->type;
  return KR_STATUS_OK;
}

KrStatus ModuleSettings::Read(const char* property, KrPropertyType type, const KrGeneralBuffer* request,
                              StoredValue* out) const {
  if (property == nullptr) return KR_STATUS_OS_NULL_POINTER;
  const PropertyRow* row = Find(property);
  if (row == nullptr) return KR_STATUS_TL_PROPERTY_NOT_FOUND;
  if (row->type != type) return KR_STATUS_TL_BAD_PROPERTY_TYPE;
  if (row->access == Access::kWriteOnly) return KR_STATUS_TL_NOT_SUPPORTED;
  if (IsGenericRule(row->rule) && (row->flags & kDerived) == 0) {
    *out = Value(*row);
    return KR_STATUS_OK;
  }
  return ReadByRule(*row, request, out);
}

KrStatus ModuleSettings::GetValue(const char* property, StoredValue* value, const KrGeneralBuffer* request) const {
  if (value == nullptr) return KR_STATUS_OS_NULL_POINTER;
  const PropertyRow* row = Find(property);
  if (row == nullptr) return KR_STATUS_TL_PROPERTY_NOT_FOUND;
  return Read(property, row->type, request, value);
}

KrStatus ModuleSettings::Get(const char* property, uint64_t* value) const {
  if (value == nullptr) return KR_STATUS_OS_NULL_POINTER;
  StoredValue v;
  TOLLAN_TRY(Read(property, KR_PROPERTY_TYPE_INTEGER, nullptr, &v));
  *value = v.i;
  return KR_STATUS_OK;
}

KrStatus ModuleSettings::Get(const char* property, double* value) const {
  if (value == nullptr) return KR_STATUS_OS_NULL_POINTER;
  StoredValue v;
  TOLLAN_TRY(Read(property, KR_PROPERTY_TYPE_REAL, nullptr, &v));
  *value = v.r;
  return KR_STATUS_OK;
}

KrStatus ModuleSettings::Get(const char* property, char* value) const {
  if (value == nullptr) return KR_STATUS_OS_NULL_POINTER;
  StoredValue v;
  TOLLAN_TRY(Read(property, KR_PROPERTY_TYPE_STRING, nullptr, &v));
  const size_t n = std::min(v.s.size(), static_cast<size_t>(KR_MAX_NAME_LENGTH - 1));
  std::memcpy(value, v.s.data(), n);
  value[n] = '\0';
  return KR_STATUS_OK;
}

KrStatus ModuleSettings::Get(const char* property, const KrGeneralBuffer& value) const {
  if (value.pData == nullptr && value.nDataSize != 0) return KR_STATUS_OS_NULL_POINTER;
  StoredValue v;
  TOLLAN_TRY(Read(property, KR_PROPERTY_TYPE_GENERAL, &value, &v));
  if (v.g.size() != value.nDataSize) return KR_STATUS_TL_BAD_PROPERTY_SIZE;
  if (!v.g.empty()) std::memcpy(value.pData, v.g.data(), v.g.size());
  return KR_STATUS_OK;
}

KrStatus ModuleSettings::Write(const char* property, KrPropertyType type, const StoredValue& in, bool validate) {
  if (property == nullptr) return KR_STATUS_OS_NULL_POINTER;
  const PropertyRow* row = Find(property);
  if (row == nullptr) return KR_STATUS_TL_PROPERTY_NOT_FOUND;
  if (row->type != type) return KR_STATUS_TL_BAD_PROPERTY_TYPE;
  if (row->access == Access::kReadOnly) return KR_STATUS_TL_PROPERTY_READ_ONLY;

  std::vector<StoredValue> saved;
  if (validate) saved = values_;
  TOLLAN_TRY(IsGenericRule(row->rule) ? StoreGeneric(*row, in) : StoreByRule(*row, in));
  if (!validate) return KR_STATUS_OK;
  const KrStatus status = Validate();
  if (status != KR_STATUS_OK) {
    values_.swap(saved);
    return status;
  }
  Refresh();
  return KR_STATUS_OK;
}

KrStatus ModuleSettings::Set(const char* property, uint64_t value, bool validate) {
  StoredValue v;
  v.i = value;
  return Write(property, KR_PROPERTY_TYPE_INTEGER, v, validate);
}

KrStatus ModuleSettings::Set(const char* property, double value, bool validate) {
  StoredValue v;
  v.r = value;
  return Write(property, KR_PROPERTY_TYPE_REAL, v, validate);
}

KrStatus ModuleSettings::Set(const char* property, const char* value, bool validate) {
  if (value == nullptr) return KR_STATUS_OS_NULL_POINTER;
  StoredValue v;
  v.s = value;
  return Write(property, KR_PROPERTY_TYPE_STRING, v, validate);
}

KrStatus ModuleSettings::Set(const char* property, const KrGeneralBuffer& value, bool validate) {
  if (value.pData == nullptr && value.nDataSize != 0) return KR_STATUS_OS_NULL_POINTER;
  StoredValue v;
  const uint8_t* bytes = static_cast<const uint8_t*>(value.pData);
  if (value.nDataSize != 0) v.g.assign(bytes, bytes + value.nDataSize);
  return Write(property, KR_PROPERTY_TYPE_GENERAL, v, validate);
}

KrStatus ModuleSettings::Force(const char* property, const StoredValue& value) {
  const PropertyRow* row = Find(property);
  if (row == nullptr) return KR_STATUS_TL_PROPERTY_NOT_FOUND;
  MutableValue(*row) = value;
  Refresh();
  return KR_STATUS_OK;
}

KrStatus ModuleSettings::Commit() {
  TOLLAN_TRY(Validate());
  Refresh();
  return KR_STATUS_OK;
}

KrStatus ModuleSettings::StoreGeneric(const PropertyRow& row, const StoredValue& in) {
  bool ok = true;
  switch (row.type) {
    case KR_PROPERTY_TYPE_INTEGER:
      if (row.rule == Rule::kRange) ok = in.i >= row.min && in.i <= row.max;
      if (row.rule == Rule::kList) ok = std::find(row.list, row.list + row.listSize, in.i) != row.list + row.listSize;
      break;
    case KR_PROPERTY_TYPE_REAL:
      if (row.rule == Rule::kPositive) ok = std::isfinite(in.r) && in.r > 0.0;
      break;
    case KR_PROPERTY_TYPE_STRING:
      ok = in.s.size() < KR_MAX_NAME_LENGTH;
      break;
    default:
      if (in.g.size() != row.generalSize) return KR_STATUS_TL_BAD_PROPERTY_SIZE;
      break;
  }
  if (!ok) return KR_STATUS_TL_BAD_PROPERTY_VALUE;
  MutableValue(row) = in;
  return KR_STATUS_OK;
}

KrStatus ModuleSettings::StoreByRule(const PropertyRow& row, const StoredValue& in) { return StoreGeneric(row, in); }

KrStatus ModuleSettings::ReadByRule(const PropertyRow& row, const KrGeneralBuffer*, StoredValue* out) const {
  *out = Value(row);
  return KR_STATUS_OK;
}

std::vector<const PropertyRow*> ModuleSettings::Rows() const {
  std::vector<const PropertyRow*> rows;
  for (size_t i = 0; i < rowCount_; ++i) {
    if ((rows_[i].kinds & kindBits_) != 0) rows.push_back(&rows_[i]);
  }
  return rows;
}

std::vector<const PropertyRow*> ModuleSettings::ListedRows() const {
  std::vector<const PropertyRow*> rows = Rows();
  rows.erase(std::remove_if(rows.begin(), rows.end(), [](const PropertyRow* row) { return !IsListed(*row); }),
             rows.end());
  return rows;
}

std::vector<const char*> ModuleSettings::Differences(const ModuleSettings& a, const ModuleSettings& b) {
  std::vector<const char*> names;
  for (size_t i = 0; i < a.rowCount_; ++i) {
    const PropertyRow& row = a.rows_[i];
    if ((row.kinds & a.kindBits_) == 0 || row.access == Access::kWriteOnly) continue;
    bool same;
    if (row.flags & kDerived) {
      StoredValue va, vb;
      const KrStatus sa = a.ReadByRule(row, nullptr, &va);
      const KrStatus sb = b.ReadByRule(row, nullptr, &vb);
      same = sa == sb && (sa != KR_STATUS_OK || SameValue(row.type, va, vb));
    } else {
      same = SameValue(row.type, a.values_[i], b.values_[i]);
    }
    if (!same) names.push_back(row.name);
  }
  return names;
}

}  // namespace sensor
}  // namespace tollan
