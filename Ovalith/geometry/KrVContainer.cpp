#include <Ovalith/geometry/KrVContainer.h>

#include <Orvane/OrvaneOS.h>

#include <cstdint>
#include <Ovalith/Infrastructure/KrVStatus.h>
#include <Ovalith/properties/KrVCheckInternal.h>

namespace {

// Every buffer of the engine's containers is 16-byte aligned.
constexpr size_t kAlignment = 16;

}  // namespace

KrVContainer::KrVContainer(void* externalBuffer, unsigned int count, unsigned short elSize)
    : elementSize(elSize), capacity(count), size(0), buffer(externalBuffer), ownsBuffer(0) {}

KrVContainer::KrVContainer(unsigned int count, unsigned short elSize)
    : elementSize(elSize), capacity(count), size(0), buffer(nullptr), ownsBuffer(1) {
  buffer = krOSCallocAligned(count, elSize, kAlignment);
  if (buffer == nullptr) {
    capacity = 0;  // keep "an owned buffer holds capacity elements" true
  }
}

KrVContainer::KrVContainer(const KrVContainer& other)
    : elementSize(other.elementSize), capacity(0), size(0), buffer(nullptr), ownsBuffer(1) {
  CopyFields(other);
}

KrVContainer& KrVContainer::operator=(const KrVContainer& other) {
  if (this != &other) {
    FreeOwned();
    CopyFields(other);
  }
  return *this;
}

KrVContainer::~KrVContainer() { FreeOwned(); }

// Takes other's fields; an owned buffer is duplicated so that each object
// frees only its own.
void KrVContainer::CopyFields(const KrVContainer& other) {
  elementSize = other.elementSize;
  ownsBuffer = other.ownsBuffer;
  capacity = other.capacity;
  size = other.size;
  buffer = other.buffer;
  if (other.ownsBuffer == 0) {
    return;
  }
  buffer = krOSMallocAligned(other.Bytes(other.capacity), kAlignment);
  if (buffer == nullptr) {
    capacity = 0;
    size = 0;
    return;
  }
  krOSMemCopy(buffer, other.buffer, other.Bytes(other.capacity));
}

void KrVContainer::FreeOwned() {
  if (ownsBuffer != 0) {
    krOSFreeAligned(buffer);
  }
  buffer = nullptr;
}

KrStatus KrVContainer::ReAdjust(void* externalBuffer, unsigned int count) {
  FreeOwned();
  buffer = externalBuffer;
  capacity = count;
  size = 0;
  ownsBuffer = 0;
  return KR_STATUS_OK;
}

KrStatus KrVContainer::ReAdjust(unsigned int count) {
  if (count > capacity) {
    if (ownsBuffer == 0) {
      return KR_STATUS_QM_BAD_PARAMETER;
    }
    FreeOwned();
    buffer = krOSCallocAligned(count, elementSize, kAlignment);
    if (buffer == nullptr) {
      capacity = 0;
      size = 0;
      return KR_STATUS_OS_ERROR;
    }
    capacity = count;
  }
  size = 0;
  return KR_STATUS_OK;
}

KrStatus KrVContainer::ReAdjustOwned(unsigned int count) {
  FreeOwned();
  ownsBuffer = 1;
  size = 0;
  capacity = 0;
  buffer = krOSCallocAligned(count, elementSize, kAlignment);
  if (buffer == nullptr) {
    return KR_STATUS_OS_ERROR;
  }
  capacity = count;
  return KR_STATUS_OK;
}

bool KrVContainer::Overlaps(const void* other, size_t bytes) const {
  const uintptr_t begin = reinterpret_cast<uintptr_t>(buffer);
  const uintptr_t otherBegin = reinterpret_cast<uintptr_t>(other);
  const size_t held = Bytes(capacity);
  return buffer != nullptr && other != nullptr && held > 0 && bytes > 0 && begin < otherBegin + bytes &&
         otherBegin < begin + held;
}

KrStatus KrVContainer::Resize(unsigned int newCapacity) {
  if (ownsBuffer == 0 || newCapacity <= capacity) {
    return KR_STATUS_OS_ERROR;
  }
  void* grown = krOSMallocAligned(Bytes(newCapacity), kAlignment);
  if (grown == nullptr) {
    return KR_STATUS_OS_ERROR;  // the old buffer stays as it was
  }
  krOSMemCopy(grown, buffer, Bytes(capacity));
  krOSFreeAligned(buffer);
  buffer = grown;
  capacity = newCapacity;
  return KR_STATUS_OK;
}

KrStatus KrVContainer::Add(const void* element) {
  if (element == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  if (size >= capacity) {
    // Doubling in 32 bits: capacity 0 and overflow both fail here.
    const unsigned int doubled = capacity * 2u;
    if (ownsBuffer == 0 || doubled <= capacity) {
      return KR_STATUS_OS_ERROR;
    }
    KRV_RETURN_IF_FAILED(Resize(doubled));
  }
  krOSMemCopy(GetAt(size), element, elementSize);
  ++size;
  return KR_STATUS_OK;
}

KrStatus KrVContainer::SetAt(unsigned int index, const void* element) {
  if (element == nullptr) {
    return KR_STATUS_OS_NULL_POINTER;
  }
  if (index >= capacity) {
    // Worked out in 64 bits: an index whose growth would not fit a 32-bit
    // capacity cannot be reached and fails rather than wrap to a small one.
    const uint64_t grown = static_cast<uint64_t>(index) + 100u;
    if (ownsBuffer == 0 || grown > UINT32_MAX) {
      return KR_STATUS_OS_ERROR;
    }
    KRV_RETURN_IF_FAILED(Resize(static_cast<unsigned int>(grown)));
  }
  krOSMemCopy(GetAt(index), element, elementSize);
  return KR_STATUS_OK;
}
