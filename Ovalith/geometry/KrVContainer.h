// KrVContainer: a flat array of fixed-size elements that either owns its
// memory (16-byte aligned, from Orvane's allocator) or wraps memory owned
// elsewhere. Matrices and the point container are built on it.
//
// Ownership: an owned buffer is freed by the container, exactly once. A copy
// (construction or assignment) of a container that owns its buffer gets its
// own buffer of the same capacity holding the same bytes (a deep copy); a
// copy of a container that wraps external memory wraps the same memory. If
// the deep copy cannot allocate, the copy is an owned, empty container of
// capacity 0. Growth that cannot allocate is reported (0x10001) and leaves
// the container as it was.
//
// Threads: no locking; an object is used from one thread at a time.
#pragma once

#include <Orvane/OrvaneTypes.h>
#include <Ovalith/Infrastructure/KrVStatus.h>

class KrVContainer {
 public:
  // Wraps count elements of external memory; the caller keeps it alive.
  KrVContainer(void* buffer, unsigned int count, unsigned short elementSize);
  // Allocates count zero-filled elements (capacity 0 when that fails).
  KrVContainer(unsigned int count, unsigned short elementSize);
  KrVContainer(const KrVContainer& other);
  KrVContainer& operator=(const KrVContainer& other);
  virtual ~KrVContainer();

  // Frees an owned buffer and wraps count elements of external memory.
  KrStatus ReAdjust(void* buffer, unsigned int count);
  // Makes room for count elements: a larger owned buffer is reallocated
  // zero-filled (contents not kept; if that fails, 0x10001 and the container
  // is left empty, capacity 0); an external one that is too small gives
  // KR_STATUS_QM_BAD_PARAMETER. Size becomes 0.
  KrStatus ReAdjust(unsigned int count);
  // Lets go of the buffer (freeing an owned one) and allocates an owned,
  // zero-filled one of count elements; 0x10001 and an empty container when
  // that fails. For a copy that must not write into memory it only wraps.
  KrStatus ReAdjustOwned(unsigned int count);
  // True when the buffer's capacity x element size bytes share a byte with
  // the bytes bytes at other.
  bool Overlaps(const void* other, size_t bytes) const;
  // Appends a copy of one element; a full owned buffer doubles. 0x10001
  // when it cannot (external, capacity 0, overflow, no memory); 0x10004 for
  // a null element.
  KrStatus Add(const void* element);
  // Stores a copy at index; an owned buffer grows to index + 100. Size stays.
  KrStatus SetAt(unsigned int index, const void* element);

  // Address of element index; no range check.
  void* GetAt(unsigned int index) { return static_cast<unsigned char*>(buffer) + Offset(index); }
  const void* GetAt(unsigned int index) const { return static_cast<const unsigned char*>(buffer) + Offset(index); }
  // The element after or before the given one.
  void* GetNext(void* element) const { return static_cast<unsigned char*>(element) + elementSize; }
  void* GetPrevious(void* element) const { return static_cast<unsigned char*>(element) - elementSize; }

  unsigned int GetSize() const { return size; }
  unsigned int GetCapacity() const { return capacity; }
  unsigned short GetElSize() const { return elementSize; }
  void* Data() { return buffer; }
  const void* Data() const { return buffer; }
  bool IsExternal() const { return ownsBuffer == 0; }
  // Forgets the appended elements; the bytes stay.
  void Clear() { size = 0; }

 protected:
  // Grows an owned buffer to newCapacity elements, keeping its contents.
  KrStatus Resize(unsigned int newCapacity);
  size_t Offset(unsigned int index) const { return static_cast<size_t>(index) * elementSize; }
  size_t Bytes(unsigned int count) const { return static_cast<size_t>(count) * elementSize; }

  unsigned short elementSize;
  unsigned int capacity;  // elements the buffer holds
  unsigned int size;      // elements appended with Add
  void* buffer;           // owned: exactly capacity * elementSize bytes
  int ownsBuffer;         // 1: allocated here and freed here; 0: external memory

 private:
  void CopyFields(const KrVContainer& other);
  void FreeOwned();
};
