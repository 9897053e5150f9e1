#include <Ovalith/properties/KrVInitStreamProperties.h>

#include <cstring>
#include <map>
#include <new>
#include <string>

namespace {

// The streams in lookup order; a name selects the table of the same index.
const char* const kStreamNames[] = {"Depth", "Image", "IR", "Audio"};
constexpr int kStreamCount = sizeof(kStreamNames) / sizeof(kStreamNames[0]);

// One property of a stream's table: a generic failure (no such stream), a null name,
// "not found", or OK with *found set.
template <typename Table, typename Iterator>
KrStatus FindValue(Table* table, const char* property, Iterator* found) {
  if (table == nullptr) {
    return KR_STATUS_OS_ERROR;
  }
  if (property == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  *found = table->values.find(property);
  return *found == table->values.end() ? KR_STATUS_OS_NOT_FOUND : KR_STATUS_OK;
}

}  // namespace

// Property name (owned copy) to value; std::less<> finds by const char*
// without building a string.
struct KrVInitStreamProperties::Table {
  std::map<std::string, uint32_t, std::less<>> values;
};

struct KrVInitStreamProperties::Storage {
  Table tables[kStreamCount];
  int configure = 1;
};

KrVInitStreamProperties::KrVInitStreamProperties() : storage(new (std::nothrow) Storage) {}

KrVInitStreamProperties::~KrVInitStreamProperties() { delete storage; }

KrVInitStreamProperties::KrVInitStreamProperties(const KrVInitStreamProperties& other) : storage(nullptr) {
  if (other.storage != nullptr) {
    try {
      storage = new Storage(*other.storage);
    } catch (const std::bad_alloc&) {
      storage = nullptr;  // behaves as an object whose construction ran out of memory
    }
  }
}

KrVInitStreamProperties& KrVInitStreamProperties::operator=(const KrVInitStreamProperties& other) {
  if (this == &other) {
    return *this;
  }
  // Copy first, swap after: running out of memory leaves this object as it was.
  Storage* copy = nullptr;
  if (other.storage != nullptr) {
    try {
      copy = new Storage(*other.storage);
    } catch (const std::bad_alloc&) {
      return *this;
    }
  }
  delete storage;
  storage = copy;
  return *this;
}

int KrVInitStreamProperties::GetConfigure() const { return storage != nullptr ? storage->configure : 0; }

void KrVInitStreamProperties::SetConfigure(int configure) {
  if (storage != nullptr) {
    storage->configure = configure;
  }
}

KrVInitStreamProperties::Table* KrVInitStreamProperties::FindTable(const char* stream) const {
  if (storage == nullptr || stream == nullptr) {
    return nullptr;
  }
  for (int i = 0; i < kStreamCount; ++i) {
    if (std::strcmp(stream, kStreamNames[i]) == 0) {
      return &storage->tables[i];
    }
  }
  return nullptr;
}

KrStatus KrVInitStreamProperties::AddStream(const char* stream) { return AddProperty(stream, "State", 1); }

KrStatus KrVInitStreamProperties::RemoveStream(const char* stream) { return AddProperty(stream, "State", 0); }

int KrVInitStreamProperties::IsStream(const char* stream) const {
  uint32_t state = 0;
  return GetProperty(stream, "State", state) == KR_STATUS_OK ? static_cast<int>(state) : 0;
}

KrStatus KrVInitStreamProperties::AddProperty(const char* stream, const char* property, uint32_t value) {
  Table* table = FindTable(stream);
  if (table == nullptr) {
    // Without storage (the constructor ran out of memory) nothing can be stored.
    return storage == nullptr ? KR_STATUS_OS_ALLOC_FAILED : KR_STATUS_OS_ERROR;
  }
  if (property == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  const auto found = table->values.find(property);
  if (found != table->values.end()) {
    found->second = value;
    return KR_STATUS_OK;
  }
  try {
    table->values.emplace(property, value);
  } catch (const std::bad_alloc&) {
    return KR_STATUS_OS_ALLOC_FAILED;
  }
  return KR_STATUS_OK;
}

KrStatus KrVInitStreamProperties::RemoveProperty(const char* stream, const char* property) {
  Table* table = FindTable(stream);
  std::map<std::string, uint32_t, std::less<>>::iterator found;
  const KrStatus status = FindValue(table, property, &found);
  if (status == KR_STATUS_OK) {
    table->values.erase(found);
  }
  return status;
}

KrStatus KrVInitStreamProperties::GetProperty(const char* stream, const char* property, uint32_t& value) const {
  Table* table = FindTable(stream);
  std::map<std::string, uint32_t, std::less<>>::iterator found;
  const KrStatus status = FindValue(table, property, &found);
  if (status == KR_STATUS_OK) {
    value = found->second;
  }
  return status;
}

int KrVInitStreamProperties::IsProperty(const char* stream, const char* property) const {
  const Table* table = FindTable(stream);
  if (table == nullptr || property == nullptr) {
    return 0;
  }
  return table->values.find(property) != table->values.end() ? 1 : 0;
}
