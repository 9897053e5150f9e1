// Orvane status registry: maps a KrStatus to the name and message that its
// library registered.
//
// The registry is a function-local static created on first use and never
// destroyed: other libraries register from their own static initialisers,
// which may run before this file's, and may render statuses from static
// destructors at exit, after this file's destructors would have run.
// A shared mutex lets lookups run in parallel; registration is rare.
#include <Orvane/OrvaneStatus.h>

#include <cstdio>
#include <mutex>
#include <shared_mutex>
#include <unordered_map>

namespace {

struct StatusTexts {
  const char* name;
  const char* message;
};

class StatusRegistry {
 public:
  void Register(uint16_t group, uint16_t firstCode, uint16_t count, const KrErrorCodeMessage* table) {
    std::unique_lock<std::shared_mutex> lock(mutex_);
    for (uint16_t row = 0; row < count; ++row) {
      texts_[KR_MAKE_STATUS(group, firstCode + row)] = StatusTexts{table[row].name, table[row].message};
    }
  }

  // False when the status is unknown; texts may hold null fields.
  bool Find(KrStatus status, StatusTexts* texts) const {
    std::shared_lock<std::shared_mutex> lock(mutex_);
    auto found = texts_.find(status);
    if (found == texts_.end()) return false;
    *texts = found->second;
    return true;
  }

 private:
  mutable std::shared_mutex mutex_;
  // Full status value -> texts; the strings belong to the registering library.
  std::unordered_map<KrStatus, StatusTexts> texts_;
};

StatusRegistry& Registry() {
  static StatusRegistry* registry = new StatusRegistry();  // never destroyed, see above
  return *registry;
}

const char* UnknownStatusText(KrStatus status) {
  thread_local char text[32];
  std::snprintf(text, sizeof(text), "Unknown status 0x%08X", static_cast<unsigned>(status));
  return text;
}

// Orvane's own statuses, one table per run of consecutive codes.
const KrErrorCodeMessage kGroup1Codes1To13[] = {
    {0x0001, "KR_STATUS_OS_ERROR", "Generic failure"},
    {0, "KR_STATUS_OS_INVALID_FILE", "File missing or unreadable"},
    {0, "KR_STATUS_OS_FILE_WRITE_FAILED", "File could not be written"},
    {0, "KR_STATUS_OS_NULL_POINTER", "Null pointer"},
    {0, "KR_STATUS_OS_FILE_SEEK_FAILED", "File position could not be set"},
    {0, "KR_STATUS_OS_BAD_ARGUMENT", "Argument out of range"},
    {0, "KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW", "Output buffer too small"},
    {0, "KR_STATUS_OS_EVENT_FAILED", "Thread or event operation failed"},
    {0, "KR_STATUS_OS_FILE_DELETE_FAILED", "File could not be deleted"},
    {0, "KR_STATUS_OS_NOT_FOUND", "Not found"},
    {0, "KR_STATUS_OS_INI_READ_FAILED", "INI file could not be read"},
    {0, "KR_STATUS_OS_INI_SECTION_NOT_FOUND", "INI section not found"},
    {0, "KR_STATUS_OS_KEY_NOT_FOUND", "Key not found"},
};
const KrErrorCodeMessage kGroup1Code21[] = {
    {0x0015, "KR_STATUS_OS_BAD_NUMBER", "Not a whole decimal number"},
};
const KrErrorCodeMessage kGroup2Code1[] = {
    {0x0001, "KR_STATUS_OS_ALLOC_FAILED", "Memory allocation failed"},
};

struct OwnTable {
  uint16_t group;
  uint16_t firstCode;
  uint16_t count;
  const KrErrorCodeMessage* rows;
};

const OwnTable kOwnTables[] = {
    {1, 0x0001, sizeof(kGroup1Codes1To13) / sizeof(kGroup1Codes1To13[0]), kGroup1Codes1To13},
    {1, 0x0015, 1, kGroup1Code21},
    {2, 0x0001, 1, kGroup2Code1},
};

// Registers Orvane's statuses when the library is loaded.
struct RegisterOwnStatuses {
  RegisterOwnStatuses() {
    for (const OwnTable& table : kOwnTables) {
      krRegisterErrorCodeMessages(table.group, table.firstCode, table.count, table.rows);
    }
  }
};
const RegisterOwnStatuses kRegisterOwnStatuses;

}  // namespace

extern "C" {

KrStatus krRegisterErrorCodeMessages(uint16_t group, uint16_t firstCode, uint16_t count,
                                     const KrErrorCodeMessage* table) {
  if (count == 0) return KR_STATUS_OK;
  if (table == nullptr) return KR_STATUS_OS_NULL_POINTER;
  // The rows must stay inside the group: a wrapped code would land on code 0
  // of the same group and overwrite an unrelated row.
  if (static_cast<uint32_t>(firstCode) + count - 1 > 0xFFFFu) return KR_STATUS_OS_BAD_ARGUMENT;
  Registry().Register(group, firstCode, count, table);
  return KR_STATUS_OK;
}

const char* krGetStatusString(KrStatus status) {
  if (status == KR_STATUS_OK) return "OK";
  StatusTexts texts{};
  if (Registry().Find(status, &texts) && texts.message != nullptr) return texts.message;
  return UnknownStatusText(status);
}

const char* krGetStatusName(KrStatus status) {
  if (status == KR_STATUS_OK) return "KR_STATUS_OK";
  StatusTexts texts{};
  if (Registry().Find(status, &texts) && texts.name != nullptr) return texts.name;
  return UnknownStatusText(status);
}

}  // extern "C"
