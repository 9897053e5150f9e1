// Stream-data records and sets: the exported calls and the registry of live
// records and sets behind them.
#include "StreamDataInternal.h"

#include "DeviceBase.h"
#include "KitInternal.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_set>

struct KrStreamDataSetImpl {
  std::vector<KrStreamData*> members;  // not owned; order of addition
};

// One share of a record buffer; the buffer is freed with its last share.
struct KrBufferHoldImpl {
  std::shared_ptr<void> buffer;
};

namespace tollan {
namespace {

// Record buffers are cache-line aligned and never empty, so pData is never
// null (a zero-byte copy into it stays well defined).
constexpr size_t kBufferAlignment = 64;
constexpr uint64_t kMinimumCapacity = 64;

void FreeBuffer(void* buffer) {
  if (buffer != nullptr) {
    ::operator delete(buffer, std::align_val_t(kBufferAlignment));
  }
}

// The record shares its buffer with every hold taken on it (KrStreamDataHoldBuffer):
// a buffer the record replaces or drops lives on until its last hold goes.
struct RecordInternal {
  KrDeviceHandle device = nullptr;
  uint64_t streamId = 0;
  std::shared_ptr<void> buffer;
  uint64_t capacity = 0;
};

std::shared_ptr<void> AllocateBuffer(uint64_t size) {
  if (size > UINT32_MAX) {
    return nullptr;
  }
  void* buffer = ::operator new(static_cast<size_t>(size), std::align_val_t(kBufferAlignment), std::nothrow);
  if (buffer == nullptr) {
    return nullptr;
  }
  std::memset(buffer, 0, static_cast<size_t>(size));
  try {
    return std::shared_ptr<void>(buffer, FreeBuffer);
  } catch (const std::bad_alloc&) {  // the deleter was called
    return nullptr;
  }
}

// Every live record and set, so that pointers can be checked before use.
struct Registry {
  std::mutex mutex;
  std::unordered_set<const KrStreamData*> records;
  std::unordered_set<KrStreamDataSetImpl*> sets;
};

Registry& TheRegistry() {
  static Registry* registry = new Registry();  // outlives every static destructor that may free records
  return *registry;
}

RecordInternal* Internal(const KrStreamData* record) { return static_cast<RecordInternal*>(record->pInternal); }

}  // namespace

KrStatus NewRecord(KrDeviceHandle device, uint64_t streamId, const std::string& stream, uint64_t capacity,
                   KrStreamData** record) {
  TOLLAN_REQUIRE(record);
  if (stream.size() >= KR_MAX_NAME_LENGTH) {
    return KR_STATUS_OS_BAD_ARGUMENT;
  }
  auto* internal = new (std::nothrow) RecordInternal();
  auto* data = new (std::nothrow) KrStreamData();
  const uint64_t size = std::max(capacity, kMinimumCapacity);
  std::shared_ptr<void> buffer = (internal && data) ? AllocateBuffer(size) : nullptr;
  if (buffer == nullptr) {
    delete internal;
    delete data;
    return KR_STATUS_OS_ALLOC_FAILED;
  }
  internal->device = device;
  internal->streamId = streamId;
  internal->buffer = buffer;
  internal->capacity = size;
  std::memcpy(data->strStreamName, stream.c_str(), stream.size() + 1);
  data->pData = buffer.get();
  data->pInternal = internal;
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  registry.records.insert(data);
  *record = data;
  return KR_STATUS_OK;
}

bool GetRecordOwner(const KrStreamData* record, KrDeviceHandle* device, uint64_t* streamId) {
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  if (record == nullptr || registry.records.count(record) == 0) {
    return false;
  }
  *device = Internal(record)->device;
  *streamId = Internal(record)->streamId;
  return true;
}

void* ReserveRecordData(KrStreamData* record, uint32_t size) {
  RecordInternal* internal = Internal(record);
  if (size <= internal->capacity) {
    record->pData = internal->buffer.get();
    return record->pData;
  }
  // Grow by half again so a stream whose frames creep up does not reallocate
  // at every frame.
  const uint64_t grown = std::max<uint64_t>(size, internal->capacity + internal->capacity / 2);
  std::shared_ptr<void> buffer = AllocateBuffer(std::min<uint64_t>(grown, UINT32_MAX));
  if (buffer == nullptr) {
    return nullptr;
  }
  std::memcpy(buffer.get(), internal->buffer.get(), static_cast<size_t>(internal->capacity));
  internal->buffer = std::move(buffer);  // the old one goes with its last hold
  internal->capacity = std::min<uint64_t>(grown, UINT32_MAX);
  record->pData = internal->buffer.get();
  return record->pData;
}

void* ReserveFrameData(KrStreamData* record, uint32_t size) {
  RecordInternal* internal = Internal(record);
  if (internal->buffer.use_count() == 1 || record->pData != internal->buffer.get()) {
    return ReserveRecordData(record, size);
  }
  // A hold shares the buffer: it keeps the frame it holds, and the new
  // frame goes into a buffer of the record's own. Only the bytes past the
  // frame are cleared; the caller writes the frame's.
  const uint64_t capacity = std::max<uint64_t>({size, internal->capacity, kMinimumCapacity});
  if (capacity > UINT32_MAX) {
    return nullptr;
  }
  void* buffer = ::operator new(static_cast<size_t>(capacity), std::align_val_t(kBufferAlignment), std::nothrow);
  if (buffer == nullptr) {
    return nullptr;
  }
  std::memset(static_cast<uint8_t*>(buffer) + size, 0, static_cast<size_t>(capacity - size));
  try {
    internal->buffer = std::shared_ptr<void>(buffer, FreeBuffer);
  } catch (const std::bad_alloc&) {  // the deleter was called; the record keeps its buffer
    return nullptr;
  }
  internal->capacity = capacity;
  record->pData = internal->buffer.get();
  return record->pData;
}

KrStatus ReserveStreamRecords(KrDeviceHandle device, uint64_t streamId, uint64_t size) {
  if (size > UINT32_MAX) {
    return KR_STATUS_OS_BAD_ARGUMENT;
  }
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  for (const KrStreamData* record : registry.records) {
    RecordInternal* internal = Internal(record);
    if (internal->device == device && internal->streamId == streamId && internal->capacity < size) {
      // A caller that pointed pData at memory of its own keeps it.
      auto* target = const_cast<KrStreamData*>(record);
      void* const own = target->pData;
      const bool kitBuffer = own == internal->buffer.get();
      if (ReserveRecordData(target, static_cast<uint32_t>(size)) == nullptr) {
        return KR_STATUS_OS_ALLOC_FAILED;
      }
      if (!kitBuffer) {
        target->pData = own;
      }
    }
  }
  return KR_STATUS_OK;
}

bool RecordDataFits(const KrStreamData* record, uint32_t size) {
  const RecordInternal* internal = Internal(record);
  return record->pData != internal->buffer.get() || size <= internal->capacity;
}

KrStatus FillRecord(KrStreamData* record, const void* data, uint32_t size, uint64_t timestamp, uint32_t frameId,
                    bool isNew) {
  void* buffer = ReserveFrameData(record, size);
  if (buffer == nullptr) {
    return KR_STATUS_OS_ALLOC_FAILED;
  }
  if (size > 0) {
    std::memcpy(buffer, data, size);
  }
  record->nDataSize = size;
  record->nTimestamp = timestamp;
  record->nFrameID = frameId;
  record->bIsNew = isNew ? 1 : 0;
  return KR_STATUS_OK;
}

KrStatus GetSetMembers(KrStreamDataSetHandle set, std::vector<KrStreamData*>* members) {
  TOLLAN_REQUIRE(set);
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  if (registry.sets.count(set) == 0) {
    return KR_STATUS_TL_BAD_HANDLE;
  }
  *members = set->members;
  return KR_STATUS_OK;
}

}  // namespace tollan

using tollan::Registry;
using tollan::TheRegistry;

KrStatus KrDeviceProxyCreateStreamData(KrDeviceHandle device, const char* stream, KrStreamData** data) {
  TOLLAN_ENTER("KrDeviceProxyCreateStreamData", device, stream);
  TOLLAN_REQUIRE(device);
  TOLLAN_REQUIRE(stream);
  TOLLAN_REQUIRE(data);
  std::shared_ptr<tollan::DeviceBase> target = tollan::FindDevice(device);
  if (!target) {
    return KR_STATUS_TL_BAD_HANDLE;
  }
  return target->CreateRecord(stream, data);
}

KrStatus KrDeviceProxyDestroyStreamData(KrStreamData** data) {
  TOLLAN_ENTER("KrDeviceProxyDestroyStreamData", nullptr);
  TOLLAN_REQUIRE(data);
  TOLLAN_REQUIRE(*data);
  KrStreamData* record = *data;
  {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.mutex);
    if (registry.records.erase(record) == 0) {
      return KR_STATUS_TL_BAD_HANDLE;
    }
    // A set never keeps a pointer to a record that is gone.
    for (KrStreamDataSetImpl* set : registry.sets) {
      auto& members = set->members;
      members.erase(std::remove(members.begin(), members.end(), record), members.end());
    }
  }
  delete tollan::Internal(record);  // the buffer goes with its last hold
  delete record;
  *data = nullptr;
  return KR_STATUS_OK;
}

KrStatus KrStreamDataReserve(KrStreamData* data, uint32_t size) {
  TOLLAN_ENTER("KrStreamDataReserve", nullptr);
  TOLLAN_REQUIRE(data);
  {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.mutex);
    if (registry.records.count(data) == 0) {
      return KR_STATUS_TL_BAD_HANDLE;
    }
  }
  return tollan::ReserveRecordData(data, size) != nullptr ? KR_STATUS_OK : KR_STATUS_OS_ALLOC_FAILED;
}

KrStatus KrStreamDataHoldBuffer(const KrStreamData* data, KrBufferHold* hold) {
  TOLLAN_ENTER("KrStreamDataHoldBuffer", nullptr);
  TOLLAN_REQUIRE(data);
  TOLLAN_REQUIRE(hold);
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  if (registry.records.count(data) == 0) {
    return KR_STATUS_TL_BAD_HANDLE;
  }
  const tollan::RecordInternal* internal = tollan::Internal(data);
  if (data->pData != internal->buffer.get()) {
    return KR_STATUS_TL_NOT_SUPPORTED;  // memory of the caller's own
  }
  *hold = new (std::nothrow) KrBufferHoldImpl{internal->buffer};
  return *hold != nullptr ? KR_STATUS_OK : KR_STATUS_OS_ALLOC_FAILED;
}

// Never fails (no fault injection either): a hold is let go like memory.
KrStatus KrStreamDataReleaseBuffer(KrBufferHold* hold) {
  TOLLAN_REQUIRE(hold);
  delete *hold;
  *hold = nullptr;
  return KR_STATUS_OK;
}

KrStatus KrStreamDataSetCreate(KrStreamDataSetHandle* set) {
  TOLLAN_ENTER("KrStreamDataSetCreate", nullptr);
  TOLLAN_REQUIRE(set);
  auto* created = new (std::nothrow) KrStreamDataSetImpl();
  if (created == nullptr) {
    return KR_STATUS_OS_ALLOC_FAILED;
  }
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  registry.sets.insert(created);
  *set = created;
  return KR_STATUS_OK;
}

KrStatus KrStreamDataSetDestroy(KrStreamDataSetHandle* set) {
  TOLLAN_ENTER("KrStreamDataSetDestroy", nullptr);
  TOLLAN_REQUIRE(set);
  TOLLAN_REQUIRE(*set);
  {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> guard(registry.mutex);
    if (registry.sets.erase(*set) == 0) {
      return KR_STATUS_TL_BAD_HANDLE;
    }
  }
  delete *set;
  *set = nullptr;
  return KR_STATUS_OK;
}

KrStatus KrStreamDataSetAdd(KrStreamDataSetHandle set, KrStreamData* data) {
  TOLLAN_ENTER("KrStreamDataSetAdd", nullptr);
  TOLLAN_REQUIRE(set);
  TOLLAN_REQUIRE(data);
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  if (registry.sets.count(set) == 0 || registry.records.count(data) == 0) {
    return KR_STATUS_TL_BAD_HANDLE;
  }
  // A record is a member at most once, so one Remove always takes it out.
  if (std::find(set->members.begin(), set->members.end(), data) == set->members.end()) {
    set->members.push_back(data);
  }
  return KR_STATUS_OK;
}

KrStatus KrStreamDataSetRemove(KrStreamDataSetHandle set, KrStreamData* data) {
  TOLLAN_ENTER("KrStreamDataSetRemove", nullptr);
  TOLLAN_REQUIRE(set);
  TOLLAN_REQUIRE(data);
  Registry& registry = TheRegistry();
  std::lock_guard<std::mutex> guard(registry.mutex);
  if (registry.sets.count(set) == 0) {
    return KR_STATUS_TL_BAD_HANDLE;
  }
  auto found = std::find(set->members.begin(), set->members.end(), data);
  if (found == set->members.end()) {
    return KR_STATUS_OS_NOT_FOUND;
  }
  set->members.erase(found);
  return KR_STATUS_OK;
}

KrStatus KrStreamDataSetCopyToArray(KrStreamDataSetHandle set, KrStreamData** array, uint32_t* count) {
  TOLLAN_ENTER("KrStreamDataSetCopyToArray", nullptr);
  TOLLAN_REQUIRE(set);
  TOLLAN_REQUIRE(count);
  std::vector<KrStreamData*> members;
  TOLLAN_TRY(tollan::GetSetMembers(set, &members));
  if (array == nullptr) {
    *count = static_cast<uint32_t>(members.size());
    return KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;
  }
  const uint32_t written = std::min<uint32_t>(*count, static_cast<uint32_t>(members.size()));
  std::copy(members.begin(), members.begin() + written, array);
  *count = written;
  return KR_STATUS_OK;
}
