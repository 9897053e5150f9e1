// SensorDevice: the producer thread. Each round it takes, under the device
// mutex, the frames that are due (paced) or wanted (unpaced), renders them
// without the mutex, then publishes them all at once, so that a read waiting
// for any stream sees every frame of the same instant together, and raises
// one new-data event per frame.
#include "SensorDevice.h"

#include "AudioSynth.h"
#include "SceneRenderer.h"

#include <Orvane/OrvaneLog.h>

#include <algorithm>
#include <memory>

namespace tollan {
namespace sensor {

struct SensorDevice::FrameJob {
  uint64_t streamId = 0;
  uint64_t generation = 0;
  StreamKind kind = StreamKind::kDepth;
  uint32_t frameId = 0;
  uint64_t timestamp = 0;
  uint32_t capacity = 0;
  RenderParams picture;
  AudioParams sound;
  std::shared_ptr<const DepthTables> tables;  // kept alive while rendering
  uint32_t size = 0;                          // filled by the render
  KrStatus status = KR_STATUS_OK;
};

uint64_t SensorDevice::OffsetUs(StreamKind kind) const {
  const bool camera = kind == StreamKind::kImage || kind == StreamKind::kIR;
  return camera && !device_.FrameSync() ? device_.FrameDelay() : 0;
}

void SensorDevice::CollectJobsLocked(std::vector<FrameJob>* jobs, Clock::time_point* wake) {
  const uint64_t now = SessionMicros(Clock::now());
  for (const auto& stream : Streams()) {
    if (!Producing(stream.get())) continue;
    SensorStream& state = State(*stream);
    const uint32_t fps = std::max(1u, state.settings.Fps());
    const uint64_t offset = OffsetUs(state.kind);
    uint64_t next = state.frameId + 1ull;
    if (paced_) {
      const uint64_t due = state.startUs + (next - 1) * 1000000u / fps + offset;
      if (now < due) {
        *wake = std::min(*wake, sessionStart_ + std::chrono::microseconds(due));
        continue;
      }
      // A late producer skips to the newest frame that is due, as a camera
      // drops the frames nobody took in time.
      next = std::max(next, (now - state.startUs - offset) * fps / 1000000u + 1);
    } else if (state.frameId != 0 && state.consumedId < state.frameId) {
      continue;  // unpaced: the current frame has not been read yet
    }
    if (next > UINT32_MAX) continue;
    FrameJob job;
    job.streamId = stream->id;
    job.generation = state.generation;
    job.kind = state.kind;
    job.frameId = static_cast<uint32_t>(next);
    job.timestamp = state.startUs + FrameTimestamp(job.frameId, fps, offset, device_.HighResTimestamps());
    job.capacity = state.settings.RequiredDataSize();
    if (state.kind == StreamKind::kAudio) {
      job.sound = MakeAudioParams(state.settings);
    } else {
      job.picture = MakeRenderParams(state.settings, device_.Mirror());
      job.picture.noise = noise_;
      job.tables = state.settings.Tables();
    }
    jobs->push_back(std::move(job));
  }
}

void SensorDevice::ProducerLoop() {
  producerId_.store(std::this_thread::get_id());
  // The producer's own pictures and buffers, by stream id; a published
  // buffer is swapped with the stream's previous frame, so no frame is
  // allocated twice.
  std::map<uint64_t, std::unique_ptr<SceneRenderer>> renderers;
  std::map<uint64_t, std::vector<uint8_t>> buffers;
  for (;;) {
    std::vector<FrameJob> jobs;
    {
      Locked lock(*this);
      for (;;) {
        if (ClosedLocked() || stopping_) return;
        Clock::time_point wake = Clock::time_point::max();
        CollectJobsLocked(&jobs, &wake);
        if (!jobs.empty()) break;
        if (wake == Clock::time_point::max()) {
          Signal().wait(lock.Lock());
        } else {
          Signal().wait_until(lock.Lock(), wake);
        }
      }
    }

    for (FrameJob& job : jobs) {
      std::vector<uint8_t>& buffer = buffers[job.streamId];
      buffer.resize(job.capacity);
      if (job.kind == StreamKind::kAudio) {
        job.status = RenderAudio(job.sound, job.frameId, buffer.data(), job.capacity, &job.size);
      } else {
        std::unique_ptr<SceneRenderer>& renderer = renderers[job.streamId];
        if (!renderer) renderer = std::make_unique<SceneRenderer>();
        job.status =
            renderer->Render(job.picture, job.tables.get(), job.frameId, buffer.data(), job.capacity, &job.size);
      }
    }

    Locked lock(*this);
    for (FrameJob& job : jobs) {
      Stream* stream = FindStreamById(job.streamId);
      if (stream == nullptr || !stream->open || State(*stream).generation != job.generation) continue;
      SensorStream& state = State(*stream);
      if (job.status != KR_STATUS_OK) {
        // Settings the renderer cannot draw: the frame carries no data, but
        // time goes on and readers are not left waiting.
        job.size = 0;
        TOLLAN_LOG(KR_LOG_SEVERITY_ERROR, "SensorV2 stream %s: frame %u not rendered (0x%X)", stream->name.c_str(),
                   job.frameId, job.status);
      }
      state.frame.swap(buffers[job.streamId]);
      state.frameSize = job.size;
      state.frameId = job.frameId;
      state.timestamp = job.timestamp;
      QueueNewDataLocked(stream->name);
    }
    for (auto it = renderers.begin(); it != renderers.end();) {
      it = FindStreamById(it->first) ? std::next(it) : renderers.erase(it);
    }
    for (auto it = buffers.begin(); it != buffers.end();) {
      it = FindStreamById(it->first) ? std::next(it) : buffers.erase(it);
    }
    Signal().notify_all();
  }
}

}  // namespace sensor
}  // namespace tollan
