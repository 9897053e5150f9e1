// SensorDevice: reads. What a read waits for follows "PrimaryStream":
//   "None"         nothing: the newest frames are taken as they are;
//   "Any"          a new frame of any open stream of the read;
//   a stream name  that stream's next frame (the stream must be open).
// A read of one stream (KrDeviceProxyReadStream) waits for that stream
// unless the primary stream is "None". Streams paused by "State" 0 are not
// waited for. A read made on a callback thread (for example from inside a
// new-data callback, which runs on the producer thread) never waits, since
// the frames it would wait for come from that very thread.
#include "SensorDevice.h"

#include "../StreamDataInternal.h"

#include <algorithm>
#include <cstring>

namespace tollan {
namespace sensor {
namespace {

// A read never waits longer than this; the producer delivers within a frame
// period, so only a stalled machine gets KR_STATUS_TL_TIMEOUT.
constexpr std::chrono::seconds kReadTimeout{10};

}  // namespace

bool SensorDevice::Producing(const Stream* stream) const {
  return stream != nullptr && stream->open && State(*stream).settings.Enabled() && !flash_.Gone();
}

bool SensorDevice::WouldBeNew(const KrStreamData* record, const SensorStream& state) const {
  if (state.frameId == 0) return false;
  const auto given = state.delivered.find(record);
  return given == state.delivered.end() || given->second != std::make_pair(state.generation, state.frameId) ||
         record->nFrameID != state.frameId;
}

KrStatus SensorDevice::CheckReadyLocked(const std::vector<StreamRecord>& records, bool single, bool* ready) {
  const std::string primary = device_.PrimaryStream();
  *ready = true;
  if (primary == "None") return KR_STATUS_OK;
  if (single) {
    const Stream* stream = records.front().stream;
    if (stream == nullptr || !stream->open) return KR_STATUS_TL_STREAM_NOT_OPEN;
    *ready = !Producing(stream) || WouldBeNew(records.front().record, State(*stream));
    return KR_STATUS_OK;
  }
  if (primary == "Any") {
    bool producing = false;
    for (const StreamRecord& r : records) {
      if (!Producing(r.stream)) continue;
      producing = true;
      if (WouldBeNew(r.record, State(*r.stream))) return KR_STATUS_OK;
    }
    *ready = !producing;
    return KR_STATUS_OK;
  }
  const Stream* wanted = FindStream(primary);
  if (wanted == nullptr || !wanted->open) return KR_STATUS_TL_STREAM_NOT_OPEN;
  if (!Producing(wanted)) return KR_STATUS_OK;
  const SensorStream& state = State(*wanted);
  const auto member =
      std::find_if(records.begin(), records.end(), [&](const StreamRecord& r) { return r.stream == wanted; });
  if (member != records.end()) {
    *ready = WouldBeNew(member->record, state);
  } else {  // not read itself: its next frame since the last read that waited for it
    const auto seen = primarySeen_.find(wanted->id);
    *ready = state.frameId != 0 &&
             (seen == primarySeen_.end() || seen->second != std::make_pair(state.generation, state.frameId));
  }
  return KR_STATUS_OK;
}

KrStatus SensorDevice::ReadRecords(Locked& lock, std::vector<StreamRecord>& records, bool single) {
  if (flash_.Gone()) return KR_STATUS_TL_DEVICE_DISCONNECTED;
  if (records.empty()) return KR_STATUS_TL_STREAM_NOT_OPEN;  // every stream of the read is closed
  const bool mayWait = device_.PrimaryStream() != "None" && !InCallbackOnThisThread() &&
                       std::this_thread::get_id() != producerId_.load();
  const Clock::time_point deadline = Clock::now() + kReadTimeout;
  for (;;) {
    bool ready = false;
    TOLLAN_TRY(CheckReadyLocked(records, single, &ready));
    if (ready || !mayWait) break;
    if (Signal().wait_until(lock.Lock(), deadline) == std::cv_status::timeout) return KR_STATUS_TL_TIMEOUT;
    if (ClosedLocked() || stopping_) return KR_STATUS_TL_BAD_HANDLE;
    if (flash_.Gone()) return KR_STATUS_TL_DEVICE_DISCONNECTED;
    // Streams may have gone or closed meanwhile.
    for (StreamRecord& r : records) r.stream = FindStreamById(r.streamId);
  }
  if (const Stream* wanted = FindStream(device_.PrimaryStream())) {
    // Waiting for a frame takes it, as reading it would: an unpaced
    // producer then makes the next.
    SensorStream& state = State(*wanted);
    primarySeen_[wanted->id] = std::make_pair(state.generation, state.frameId);
    state.consumedId = std::max(state.consumedId, state.frameId);
  }
  return DeliverLocked(records);
}

KrStatus SensorDevice::DeliverLocked(std::vector<StreamRecord>& records) {
  for (StreamRecord& r : records) {
    KrStreamData* record = r.record;
    if (r.stream == nullptr || !r.stream->open || !WouldBeNew(record, State(*r.stream))) {
      record->bIsNew = 0;
      continue;
    }
    SensorStream& state = State(*r.stream);
    void* data = ReserveFrameData(record, std::max<uint32_t>(state.frameSize, 1));
    if (data == nullptr) return KR_STATUS_OS_ALLOC_FAILED;
    if (state.frameSize > 0) std::memcpy(data, state.frame.data(), state.frameSize);
    record->nDataSize = state.frameSize;
    record->nFrameID = state.frameId;
    record->nTimestamp = state.timestamp;
    record->bIsNew = 1;
    state.delivered[record] = std::make_pair(state.generation, state.frameId);
    state.consumedId = std::max(state.consumedId, state.frameId);
  }
  Signal().notify_all();  // an unpaced producer makes the next frames now
  return KR_STATUS_OK;
}

}  // namespace sensor
}  // namespace tollan
