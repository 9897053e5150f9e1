// Inside view of the kit's stream-data records and sets, for the devices.
//
// A record (KrStreamData) belongs to its creator; its buffer belongs to the
// record. The kit keeps a registry of live records and sets so that a
// destroyed or random pointer gives a status instead of a crash, and so that
// destroying a record takes it out of every set holding it. A record names
// its device (by handle) and its stream (by stream id): it outlives both, and
// once either is gone the record only fails cleanly. One record is used by
// one thread at a time; the registry itself is safe from any thread.
#pragma once

#include <Tollan/TollanDevice.h>

#include <string>
#include <vector>

namespace tollan {

// Makes a record for a stream, its buffer holding capacity bytes.
KrStatus NewRecord(KrDeviceHandle device, uint64_t streamId, const std::string& stream, uint64_t capacity,
                   KrStreamData** record);
// The device and stream of a live record; false for anything else.
bool GetRecordOwner(const KrStreamData* record, KrDeviceHandle* device, uint64_t* streamId);
// Makes the record's buffer hold at least size bytes (pData may move; the
// bytes up to the old capacity are kept). Null when memory runs out.
void* ReserveRecordData(KrStreamData* record, uint32_t size);
// The same for a new frame of size bytes that the caller writes whole: the
// bytes held before are not kept, and a buffer that a hold shares
// (KrStreamDataHoldBuffer) is never written: the record moves to a buffer
// of its own, so every hold keeps the frame it was taken on.
void* ReserveFrameData(KrStreamData* record, uint32_t size);
// Makes every live record of the device's stream hold at least size bytes
// (a stream whose frames grew). Out of memory: KR_STATUS_OS_ALLOC_FAILED;
// records grown before then keep their larger buffers.
KrStatus ReserveStreamRecords(KrDeviceHandle device, uint64_t streamId, uint64_t size);
// False when the record's data is the kit's own buffer and size bytes
// would run past it (a caller may point pData at memory of its own, which
// the kit cannot check).
bool RecordDataFits(const KrStreamData* record, uint32_t size);
// Copies a frame into the record and sets its fields.
KrStatus FillRecord(KrStreamData* record, const void* data, uint32_t size, uint64_t timestamp, uint32_t frameId,
                    bool isNew);
// The members of a live set, in order of addition.
KrStatus GetSetMembers(KrStreamDataSetHandle set, std::vector<KrStreamData*>* members);

}  // namespace tollan
