// The simulated sensor's flash file system: the table, its state file and
// the process-wide registry of stores.
//
// State file layout (little-endian): the 8 bytes "TLFLASH1", the 16-bit id of
// the next upload, the 32-bit file count, then per file id (16), type (16),
// offset (32), size (32), crc (16), attributes (16) and its bytes; last the
// CRC-32 of everything before it. A file that does not read back exactly so
// is damaged (KR_STATUS_TL_FLASH_STATE_DAMAGED) and is never half used.

#include "FlashStore.h"

#include <Tollan/TollanStatus.h>

#include <zlib.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <new>
#include <utility>

namespace tollan::sensor {
namespace {

#define FLASH_RETURN_IF_FAILED(expr) \
  do {                               \
    const KrStatus status_ = (expr); \
    if (status_ != KR_STATUS_OK) {   \
      return status_;                \
    }                                \
  } while (0)

constexpr char kStateMagic[8] = {'T', 'L', 'F', 'L', 'A', 'S', 'H', '1'};

// Runs an operation that may allocate; nothing is thrown to the kit's callers.
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

uint16_t TypeOf(const std::vector<uint8_t>& content) {
  return content.size() < 2 ? 0 : static_cast<uint16_t>(content[0] | (content[1] << 8));
}

bool Overlaps(uint32_t offsetA, uint32_t sizeA, uint32_t offsetB, uint32_t sizeB) {
  const uint64_t endA = uint64_t{offsetA} + sizeA;
  const uint64_t endB = uint64_t{offsetB} + sizeB;
  return offsetA < endB && offsetB < endA;
}

// ---- little-endian writing and reading of the state file ----

void Put(std::vector<uint8_t>* out, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) out->push_back(static_cast<uint8_t>(value >> (8 * i)));
}

// Reads fields from bytes[start, end), refusing to step past end.
class Reader {
 public:
  Reader(const std::vector<uint8_t>& bytes, size_t start, size_t end) : bytes_(bytes), end_(end), position_(start) {}
  bool Get(uint64_t* value, int bytes) {
    if (end_ - position_ < static_cast<size_t>(bytes)) return false;
    *value = 0;
    for (int i = 0; i < bytes; ++i) *value |= uint64_t{bytes_[position_ + i]} << (8 * i);
    position_ += bytes;
    return true;
  }
  bool Take(size_t count, std::vector<uint8_t>* out) {
    if (end_ - position_ < count) return false;
    out->assign(bytes_.begin() + position_, bytes_.begin() + position_ + count);
    position_ += count;
    return true;
  }
  bool AtEnd() const { return position_ == end_; }

 private:
  const std::vector<uint8_t>& bytes_;
  size_t end_;
  size_t position_;
};

uint32_t Crc32(const uint8_t* data, size_t size) {
  uLong crc = crc32(0L, Z_NULL, 0);
  // zlib takes 32-bit lengths; walk larger buffers in pieces.
  while (size > 0) {
    const uInt piece = static_cast<uInt>(std::min<size_t>(size, 1u << 30));
    crc = crc32(crc, data, piece);
    data += piece;
    size -= piece;
  }
  return static_cast<uint32_t>(crc);
}

}  // namespace

uint16_t FlashChecksum(const uint8_t* data, size_t size) {
  const uint32_t crc = Crc32(data, size);
  return static_cast<uint16_t>((crc >> 16) ^ (crc & 0xFFFF));
}

// ---- files on disk ----

KrStatus ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, uint64_t limit) {
  return Guarded([&] {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return KR_STATUS_OS_INVALID_FILE;
    FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) return KR_STATUS_OS_INVALID_FILE;
    std::vector<uint8_t> data;
    uint8_t chunk[65536];
    size_t got = 0;
    bool tooLarge = false;
    // The size is checked while reading: the file may grow meanwhile.
    while (!tooLarge && (got = std::fread(chunk, 1, sizeof(chunk), file)) > 0) {
      tooLarge = data.size() + got > limit;
      if (!tooLarge) data.insert(data.end(), chunk, chunk + got);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (tooLarge) return KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;
    if (failed) return KR_STATUS_OS_INVALID_FILE;
    *bytes = std::move(data);
    return KR_STATUS_OK;
  });
}

KrStatus WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes) {
  return Guarded([&] {
    std::string temporary = path + ".XXXXXX";
    const int descriptor = mkstemp(temporary.data());
    if (descriptor < 0) return KR_STATUS_TL_FILE_WRITE_FAILED;
    size_t written = 0;
    bool ok = true;
    while (ok && written < bytes.size()) {
      const ssize_t n = ::write(descriptor, bytes.data() + written, bytes.size() - written);
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      if (ok) written += static_cast<size_t>(n);
    }
    // The data must be on disk before the rename makes it the state.
    ok = ok && ::fsync(descriptor) == 0;
    ok = (::close(descriptor) == 0) && ok;
    ok = ok && std::rename(temporary.c_str(), path.c_str()) == 0;
    if (!ok) {
      std::remove(temporary.c_str());
      return KR_STATUS_TL_FILE_WRITE_FAILED;
    }
    return KR_STATUS_OK;
  });
}

// ---- the store ----

namespace {

uint16_t FirstIdAfter(const std::vector<FlashFile>& files) {
  uint32_t highest = 0;
  for (const FlashFile& file : files) highest = std::max<uint32_t>(highest, file.id + 1u);
  return static_cast<uint16_t>(highest % kFlashDeleteUpgradeZone);
}

}  // namespace

FlashStore::FlashStore(FlashConfig config)
    : config_(std::move(config)), files_(config_.files), nextId_(FirstIdAfter(config_.files)) {}

std::vector<uint8_t> FlashStore::Serialize(const std::vector<FlashFile>& files, uint16_t nextId) {
  std::vector<uint8_t> out(kStateMagic, kStateMagic + sizeof(kStateMagic));
  Put(&out, nextId, 2);
  Put(&out, files.size(), 4);
  for (const FlashFile& file : files) {
    Put(&out, file.id, 2);
    Put(&out, file.type, 2);
    Put(&out, file.offset, 4);
    Put(&out, file.size, 4);
    Put(&out, file.crc, 2);
    Put(&out, file.attributes, 2);
    out.insert(out.end(), file.content.begin(), file.content.end());
  }
  Put(&out, Crc32(out.data(), out.size()), 4);
  return out;
}

KrStatus FlashStore::Deserialize(const std::vector<uint8_t>& bytes, uint32_t flashSize, std::vector<FlashFile>* files,
                                 uint16_t* nextId) {
  if (bytes.size() < sizeof(kStateMagic) + 8 || std::memcmp(bytes.data(), kStateMagic, sizeof(kStateMagic)) != 0) {
    return KR_STATUS_TL_FLASH_STATE_DAMAGED;
  }
  const size_t body = bytes.size() - 4;
  uint64_t storedCrc = 0;
  Reader trailer(bytes, body, bytes.size());
  if (!trailer.Get(&storedCrc, 4) || storedCrc != Crc32(bytes.data(), body)) return KR_STATUS_TL_FLASH_STATE_DAMAGED;

  Reader reader(bytes, sizeof(kStateMagic), body);
  uint64_t next = 0, count = 0;
  if (!reader.Get(&next, 2) || next >= kFlashDeleteUpgradeZone || !reader.Get(&count, 4)) {
    return KR_STATUS_TL_FLASH_STATE_DAMAGED;
  }
  std::vector<FlashFile> result;
  for (uint64_t n = 0; n < count; ++n) {
    FlashFile file;
    uint64_t id = 0, type = 0, offset = 0, size = 0, crc = 0, attributes = 0;
    if (!reader.Get(&id, 2) || !reader.Get(&type, 2) || !reader.Get(&offset, 4) || !reader.Get(&size, 4) ||
        !reader.Get(&crc, 2) || !reader.Get(&attributes, 2) || size > flashSize ||
        !reader.Take(static_cast<size_t>(size), &file.content)) {
      return KR_STATUS_TL_FLASH_STATE_DAMAGED;
    }
    file.id = static_cast<uint16_t>(id);
    file.type = static_cast<uint16_t>(type);
    file.offset = static_cast<uint32_t>(offset);
    file.size = static_cast<uint32_t>(size);
    file.crc = static_cast<uint16_t>(crc);
    file.attributes = static_cast<uint16_t>(attributes);
    result.push_back(std::move(file));
  }
  if (!reader.AtEnd()) return KR_STATUS_TL_FLASH_STATE_DAMAGED;
  *files = std::move(result);
  *nextId = static_cast<uint16_t>(next);
  return KR_STATUS_OK;
}

KrStatus FlashStore::Validate(const std::vector<FlashFile>& files) const {
  for (size_t i = 0; i < files.size(); ++i) {
    const FlashFile& file = files[i];
    if (file.id >= kFlashDeleteUpgradeZone || file.size < 2 || file.content.size() != file.size ||
        uint64_t{file.offset} + file.size > config_.flashSize) {
      return KR_STATUS_TL_FILE_CORRUPT;
    }
    for (size_t j = 0; j < i; ++j) {
      if (files[j].id == file.id || Overlaps(files[j].offset, files[j].size, file.offset, file.size)) {
        return KR_STATUS_TL_FILE_CORRUPT;
      }
    }
  }
  return files.size() <= config_.maxFiles ? KR_STATUS_OK : KR_STATUS_TL_FILE_CORRUPT;
}

KrStatus FlashStore::Load() {
  std::lock_guard<std::mutex> lock(mutex_);
  return Guarded([&] {
    std::vector<FlashFile> files = config_.files;
    uint16_t nextId = FirstIdAfter(files);
    const bool fromState = !config_.stateFile.empty() && access(config_.stateFile.c_str(), F_OK) == 0;
    if (fromState) {
      std::vector<uint8_t> bytes;
      FLASH_RETURN_IF_FAILED(ReadWholeFile(config_.stateFile, &bytes, UINT64_MAX));
      FLASH_RETURN_IF_FAILED(Deserialize(bytes, config_.flashSize, &files, &nextId));
    }
    // A configured table that breaks the flash's rules is as unusable as a
    // damaged state file. A state file whose table breaks them was damaged
    // after it was saved: every save is checked first.
    const KrStatus valid = Validate(files);
    if (valid != KR_STATUS_OK) return fromState ? KR_STATUS_TL_FLASH_STATE_DAMAGED : valid;
    files_ = std::move(files);
    nextId_ = nextId;
    return KR_STATUS_OK;
  });
}

KrStatus FlashStore::Commit(std::vector<FlashFile> candidate, uint16_t nextId) {
  if (!config_.stateFile.empty()) {
    FLASH_RETURN_IF_FAILED(WriteFileAtomically(config_.stateFile, Serialize(candidate, nextId)));
  }
  files_ = std::move(candidate);
  nextId_ = nextId;
  return KR_STATUS_OK;
}

KrStatus FlashStore::CheckFault(const std::string& operation) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Guarded([&] {
    auto found = std::find(callNames_.begin(), callNames_.end(), operation);
    if (found == callNames_.end()) {
      callNames_.push_back(operation);
      callCounts_.push_back(0);
      found = callNames_.end() - 1;
    }
    const uint32_t call = ++callCounts_[static_cast<size_t>(found - callNames_.begin())];
    // "Set:Reset" and the bare "Reset" both name this operation.
    const std::string bare = operation.substr(operation.find(':') + 1);
    for (const FlashFault& fault : config_.faults) {
      if ((fault.operation == operation || fault.operation == bare) && (fault.call == 0 || fault.call == call)) {
        return config_.faultStatus;
      }
    }
    return KR_STATUS_OK;
  });
}

const FlashFile* FlashStore::Find(uint16_t id) const {
  for (const FlashFile& file : files_) {
    if (file.id == id) return &file;
  }
  return nullptr;
}

KrStatus FlashStore::FreeId(uint16_t* id) const {
  // The next id in turn, or the first free one after it (wrapping before the
  // reserved 0x8000).
  for (uint32_t step = 0; step < kFlashDeleteUpgradeZone; ++step) {
    const uint16_t candidate = static_cast<uint16_t>((nextId_ + step) % kFlashDeleteUpgradeZone);
    if (Find(candidate) == nullptr) {
      *id = candidate;
      return KR_STATUS_OK;
    }
  }
  return KR_STATUS_TL_FLASH_FULL;
}

std::vector<FileListEntry> FlashStore::List() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<FileListEntry> entries;
  entries.reserve(files_.size());
  for (const FlashFile& file : files_) {
    FileListEntry entry{};
    entry.id = file.id;
    entry.type = file.type;
    entry.offset = file.offset;
    entry.size = file.size;
    entry.crc = file.crc;
    entry.attributes = file.attributes;
    entries.push_back(entry);
  }
  return entries;
}

KrStatus FlashStore::Upload(uint32_t offset, const std::vector<uint8_t>& content, uint16_t attributes, uint16_t* id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Guarded([&] {
    if (content.size() < 2) return KR_STATUS_TL_BAD_PROPERTY_VALUE;
    if (uint64_t{offset} + content.size() > config_.flashSize || files_.size() >= config_.maxFiles) {
      return KR_STATUS_TL_FLASH_FULL;
    }
    const uint32_t size = static_cast<uint32_t>(content.size());
    for (const FlashFile& file : files_) {
      if (Overlaps(file.offset, file.size, offset, size)) return KR_STATUS_TL_FLASH_OVERLAP;
    }
    FlashFile file;
    FLASH_RETURN_IF_FAILED(FreeId(&file.id));
    file.type = TypeOf(content);
    file.offset = offset;
    file.size = size;
    file.crc = FlashChecksum(content.data(), content.size());
    file.attributes = attributes;
    file.content = content;
    const uint16_t newId = file.id;
    std::vector<FlashFile> candidate = files_;
    candidate.push_back(std::move(file));
    FLASH_RETURN_IF_FAILED(Commit(std::move(candidate), static_cast<uint16_t>((newId + 1u) % kFlashDeleteUpgradeZone)));
    if (id != nullptr) *id = newId;
    return KR_STATUS_OK;
  });
}

KrStatus FlashStore::Download(uint16_t id, std::vector<uint8_t>* content) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return Guarded([&] {
    const FlashFile* file = Find(id);
    if (file == nullptr) return KR_STATUS_TL_FLASH_FILE_NOT_FOUND;
    *content = file->content;
    return KR_STATUS_OK;
  });
}

KrStatus FlashStore::Delete(uint64_t id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Guarded([&] {
    std::vector<FlashFile> candidate;
    if (id == kFlashDeleteUpgradeZone) {
      // A wipe erases the zone's blocks, whatever the files' attributes say.
      for (const FlashFile& file : files_) {
        if (file.offset < config_.upgradeZoneMin || file.offset >= config_.upgradeZoneMax) candidate.push_back(file);
      }
      return Commit(std::move(candidate), nextId_);
    }
    const FlashFile* file = id < kFlashDeleteUpgradeZone ? Find(static_cast<uint16_t>(id)) : nullptr;
    if (file == nullptr) return KR_STATUS_TL_FLASH_FILE_NOT_FOUND;
    if ((file->attributes & kFlashAttributeReadOnly) != 0) return KR_STATUS_TL_FLASH_FILE_READ_ONLY;
    for (const FlashFile& other : files_) {
      if (&other != file) candidate.push_back(other);
    }
    return Commit(std::move(candidate), nextId_);
  });
}

KrStatus FlashStore::ReadRaw(uint32_t offset, uint32_t size, uint8_t* out) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (uint64_t{offset} + size > config_.flashSize) return KR_STATUS_TL_BAD_PROPERTY_VALUE;
  if (size == 0) return KR_STATUS_OK;
  std::memset(out, 0xFF, size);  // erased flash
  for (const FlashFile& file : files_) {
    if (!Overlaps(file.offset, file.size, offset, size)) continue;
    const uint32_t from = std::max(file.offset, offset);
    const uint64_t to = std::min(uint64_t{file.offset} + file.size, uint64_t{offset} + size);
    std::memcpy(out + (from - offset), file.content.data() + (from - file.offset), static_cast<size_t>(to - from));
  }
  return KR_STATUS_OK;
}

KrStatus FlashStore::GetAttributes(uint16_t id, uint16_t* attributes) const {
  std::lock_guard<std::mutex> lock(mutex_);
  const FlashFile* file = Find(id);
  if (file == nullptr) return KR_STATUS_TL_FLASH_FILE_NOT_FOUND;
  *attributes = file->attributes;
  return KR_STATUS_OK;
}

KrStatus FlashStore::SetAttributes(uint16_t id, uint16_t attributes) {
  std::lock_guard<std::mutex> lock(mutex_);
  return Guarded([&] {
    if (Find(id) == nullptr) return KR_STATUS_TL_FLASH_FILE_NOT_FOUND;
    std::vector<FlashFile> candidate = files_;
    for (FlashFile& file : candidate) {
      if (file.id == id) file.attributes = attributes;
    }
    return Commit(std::move(candidate), nextId_);
  });
}

KrStatus FlashStore::RunBist(uint32_t selector, uint32_t* result, bool* answered) {
  if (selector != kBistSelectorNesaUnlimited) return KR_STATUS_TL_BAD_PROPERTY_VALUE;
  *answered = config_.bistAnswers;
  if (config_.bistAnswers) *result = config_.bistResult;
  return KR_STATUS_OK;
}

// ---- the process-wide registry ----

namespace {

std::mutex& RegistryMutex() {
  static std::mutex mutex;
  return mutex;
}

std::map<uint32_t, std::shared_ptr<FlashStore>>& Registry() {
  static std::map<uint32_t, std::shared_ptr<FlashStore>> stores;
  return stores;
}

}  // namespace

KrStatus AttachFlashStore(uint32_t sensorIndex, const FlashConfig& config, std::shared_ptr<FlashStore>* store) {
  if (store == nullptr) return KR_STATUS_OS_NULL_POINTER;
  std::lock_guard<std::mutex> lock(RegistryMutex());
  return Guarded([&] {
    auto found = Registry().find(sensorIndex);
    if (found != Registry().end() && found->second->Config() == config) {
      // Opening the sensor reads its state file again: another process may
      // have changed the flash since.
      if (!config.stateFile.empty()) FLASH_RETURN_IF_FAILED(found->second->Load());
      *store = found->second;
      return KR_STATUS_OK;
    }
    auto created = std::make_shared<FlashStore>(config);
    FLASH_RETURN_IF_FAILED(created->Load());
    Registry()[sensorIndex] = created;
    *store = std::move(created);
    return KR_STATUS_OK;
  });
}

void ReleaseFlashStores() {
  std::lock_guard<std::mutex> lock(RegistryMutex());
  Registry().clear();
}

}  // namespace tollan::sensor
