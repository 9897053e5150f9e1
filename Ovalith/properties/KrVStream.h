// KrVStream: a module handle on one stream of a device, with the operations
// that treat the stream as a frame buffer: its address, filled size and
// capacity, and copying a frame into it from another stream or from memory.
//
// It owns no memory: the buffer and the frame fields ("Buffer",
// "BufferSize", "RequiredDataSize", "Timestamp", "IsNew") are properties of
// the stream's module in the device, reached by name. Sizes are the low 32
// bits of those integer properties. "Buffer" is a general property of
// sizeof(void*) bytes that holds the frame's address.
//
// Copies attach to the same device and stream (see KrVModule). Statuses:
// 0x10001 on a detached stream; 0x10007 for a frame larger than the
// destination's capacity (nothing copied, nothing changed); 0x10004 for a
// frame of at least one byte when the source or destination address is
// null; the device's statuses pass through. Threads: as KrVModule.
#pragma once

#include <Ovalith/properties/KrVModule.h>

class KrVStream : public KrVModule {
 public:
  KrVStream() = default;  // detached
  KrVStream(const KrVStream& other) = default;
  KrVStream& operator=(const KrVStream& other) = default;
  ~KrVStream() override;

  // The frame's address ("Buffer").
  KrStatus GetBuffer(void*& buffer) const;
  // Valid bytes ("BufferSize"); the output is untouched on failure.
  KrStatus GetBufferSize(uint32_t& size) const;
  // Capacity in bytes ("RequiredDataSize"); the output is untouched on failure.
  KrStatus GetBufferAllocatedSize(uint32_t& size) const;
  // Copies source's current frame into this stream as a new frame; a
  // timestamp of 0 takes the source's "Timestamp" (0 if unreadable).
  KrStatus CopyFrom(const KrVStream& source, uint64_t timestamp);
  // Copies size bytes of memory into this stream as a new frame with the
  // timestamp as given.
  KrStatus CopyFrom(const void* data, uint32_t size, uint64_t timestamp);

 private:
  // Reads an integer property and keeps its low 32 bits.
  KrStatus GetSize(const char* property, uint32_t& size) const;
};
