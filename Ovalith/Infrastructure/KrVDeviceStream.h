// KrVDeviceStream: the device's per-stream module, one for each stream the
// device mirrors. It is a kit property module named "InternalKrVDevice.<stream>"
// holding the frame fields of the stream's last read or pending write:
// "Timestamp", "FrameId", "IsNew", "BufferSize" (integers) and "Buffer" (a
// general value of sizeof(void*) bytes: the frame's address). The five
// properties name the plain stream name as their module, so a change of
// "Depth"/"Timestamp" reaches handlers with module "Depth".
//
// Ownership: the device owns the module, the frame object stored in it and
// the kit record it publishes (the record is a member of the device's
// stream-data set and is destroyed by the device, never by the module). An
// optional private frame buffer (requiredSize bytes, 16-byte aligned) belongs
// to the module and is freed with it.
//
// Threads: as the device; not locked. Change callbacks of the five
// properties run on the thread that publishes (the device's reading thread).
#pragma once

#include <Ovalith/framedata/KrVStreamData.h>
#include <Tollan/Tollan.h>

class KrVDeviceStream : public KrDeviceModule {
 public:
  // record: the kit's record of the stream (not owned). requiredSize: size of
  // a private frame buffer, 0 for none (then "Buffer" follows the record).
  KrVDeviceStream(KrStreamData* record, uint32_t requiredSize);
  ~KrVDeviceStream() override;

  // Prepares the module, adds the five properties and makes the private
  // buffer when one is asked for; 0x20001 when it cannot be allocated.
  KrStatus Init() override;

  // Publishes the record into the five properties, raising their change
  // callbacks; with a private buffer a new frame is copied into it.
  KrStatus PublishRecord();
  // Copies the frame fields back into the record before a write; with a
  // private buffer and "IsNew" set, also the frame's bytes (0x10007 when
  // "BufferSize" exceeds the private buffer; the record grows to hold them).
  KrStatus WriteBackToRecord();
  // Makes the frame buffer ("Buffer": the private buffer, else the kit's
  // record) hold at least size bytes, keeping its bytes. *moved becomes true
  // when "Buffer" changed (its change callbacks have run; the old buffer is
  // freed). On failure the buffer and "Buffer" stay as they were.
  KrStatus Reserve(uint32_t size, bool* moved);

  const char* GetStreamName() const { return streamData->strStreamName; }
  KrStreamData* GetStreamData() const { return streamData; }
  KrVStreamData* GetFrameObject() const { return frameObject; }
  void SetFrameObject(KrVStreamData* frame) { frameObject = frame; }
  // The four integer frame fields, for the frame object's update; valid
  // while the module lives.
  KrVStreamData::FrameFieldProperties GetFrameFields() const {
    return {&timestampProperty, &frameIdProperty, &isNewProperty, &bufferSizeProperty};
  }
  // The private buffer's size, 0 without one.
  uint32_t GetRequiredSize() const { return requiredSize; }

 private:
  // Replaces the private buffer by one of size bytes holding the old bytes
  // (zeros after them) and publishes its address.
  KrStatus AllocatePrivateBuffer(uint32_t size);
  // Sets "Buffer" to address when it differs.
  KrStatus PublishAddress(void* address);

  KrActualIntProperty timestampProperty;
  KrActualIntProperty frameIdProperty;
  KrActualIntProperty isNewProperty;
  KrActualIntProperty bufferSizeProperty;
  KrActualGeneralProperty bufferProperty;  // its storage is bufferAddress
  KrVStreamData* frameObject;              // owned by the device
  KrStreamData* streamData;                // the kit's record; owned by the device
  void* bufferAddress;                     // the frame's address: the record's data or the private buffer
  uint32_t requiredSize;                   // private buffer size; 0: none
  void* privateBuffer;                     // krOSCallocAligned, or null
};
