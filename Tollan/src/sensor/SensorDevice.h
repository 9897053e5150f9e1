// SensorDevice: the kit's "SensorV2" device kind, a simulated depth sensor.
//
// Streams of the types "Depth", "Image", "IR" and "Audio", each a module of
// the properties in StreamSettings.cpp; the "Device" module of
// DeviceSettings.cpp plus the flash and identity properties of
// flash/FlashProperties.h. Every property is answered from the settings
// objects, which check each write; derived values ("XRes" with
// "Resolution", "RequiredDataSize", "S2D"/"D2S", ...) raise change events
// of their own when a write changes them. Settings that shape frames
// (kGeometry rows: resolution, rate, format, cropping, sample rate,
// channels) are refused with KR_STATUS_TL_STREAM_IS_OPEN while the stream is
// open; every other change applies from the next frame.
//
// Frames come from a producer thread per device, drawn by SceneRenderer and
// AudioSynth. Paced (the default, a real camera): frame k of a stream is
// due (k - 1) / FPS after the stream opened (on the device's frame grid, so
// streams opened together tick together); a late producer skips to the
// newest due frame. Unpaced (kit configuration, for tests and benchmarks):
// the next frame is made as soon as a read has taken the current one, so
// reads get consecutive frame ids. Each published frame raises a new-data
// event from the producer thread.
//
// Threads: DeviceBase serialises the kit calls with the device mutex; the
// settings, the stream state and the published frames are guarded by it.
// The producer renders outside the mutex into its own buffers and swaps
// them in under it.
#pragma once

#include "../DeviceBase.h"
#include "DeviceSettings.h"
#include "SensorCameras.h"
#include "SensorNoise.h"
#include "StreamSettings.h"
#include "flash/FlashProperties.h"

#include <atomic>
#include <chrono>
#include <map>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace tollan {
namespace sensor {

// What the simulated sensor keeps for each stream (guarded by the device
// mutex).
struct SensorStream : StreamState {
  explicit SensorStream(StreamKind k) : kind(k), settings(k) {}

  StreamKind kind;
  StreamSettings settings;
  bool ready = false;  // initial values applied: from now on each write is checked alone
  // The session since the stream last opened.
  uint64_t generation = 0;  // counts opens; tells frames of two sessions apart
  uint64_t startUs = 0;     // the session's first frame time on the device's grid
  // The published frame and what reads took of it.
  uint32_t frameId = 0;  // 0: none yet this session
  uint64_t timestamp = 0;
  uint32_t frameSize = 0;
  std::vector<uint8_t> frame;  // frameSize valid bytes
  uint32_t consumedId = 0;     // newest frame id a read has taken
  // (generation, frame id) that each record was last given.
  std::map<const KrStreamData*, std::pair<uint64_t, uint32_t>> delivered;
};

// A configuration default: "<Type>.<Property>" of the sensor's section.
struct ConfiguredValue {
  std::string module;  // a stream type, or "Device"
  std::string property;
  StoredValue value;
};

class SensorDevice : public DeviceBase {
 public:
  SensorDevice(const DeviceParams& params, uint32_t index);
  ~SensorDevice() override;

  // Reads the sensor's configuration and opens its flash; before Initialize.
  KrStatus Prepare();

 protected:
  KrStatus Setup() override;
  KrStatus Start() override;
  void Stop() override;
  KrStatus OnCreateStream(Stream& stream) override;
  KrStatus OnStreamReady(Stream& stream) override;
  KrStatus OnDestroyStream(Stream& stream) override;
  KrStatus OnOpenStream(Stream& stream) override;
  KrStatus OnCloseStream(Stream& stream) override;
  KrStatus ReadRecords(Locked& lock, std::vector<StreamRecord>& records, bool single) override;
  void AfterSet(Module& module, Property& property) override;
  uint64_t RecordCapacity(const Stream& stream) const override;

 private:
  using Clock = std::chrono::steady_clock;
  struct FrameJob;

  static SensorStream& State(const Stream& stream) { return *static_cast<SensorStream*>(stream.state.get()); }

  // ---- properties (SensorProperties.cpp) ----
  // Declares a property per row of settings, answered by settings (locked).
  void DeclareModule(const std::string& module, ModuleSettings& settings, SensorStream* stream);
  KrStatus WriteSetting(const std::string& module, const PropertyRow& row, ModuleSettings& settings,
                        SensorStream* stream, const Value& value);
  KrStatus ReadSetting(const PropertyRow& row, const ModuleSettings& settings, const SensorStream* stream,
                       Value* value) const;
  KrStatus ApplyConfigured(const std::string& module, ModuleSettings& settings, bool validate) const;

  // ---- reading (SensorReading.cpp) ----
  bool Producing(const Stream* stream) const;
  bool WouldBeNew(const KrStreamData* record, const SensorStream& state) const;
  // KR_STATUS_OK with *ready when the read may go on; a failure ends it.
  KrStatus CheckReadyLocked(const std::vector<StreamRecord>& records, bool single, bool* ready);
  KrStatus DeliverLocked(std::vector<StreamRecord>& records);

  // ---- producer (SensorProducer.cpp) ----
  void ProducerLoop();
  // The frames due now; *wake is when the next one falls due (locked).
  void CollectJobsLocked(std::vector<FrameJob>* jobs, Clock::time_point* wake);
  uint64_t OffsetUs(StreamKind kind) const;
  uint64_t SessionMicros(Clock::time_point at) const;

  const uint32_t index_;
  bool paced_;
  NoiseParams noise_;                        // the scene's noise ("Scene", "NoiseSeed"), fixed at creation
  CameraRig rig_;                            // the two cameras ("Cameras", "Colour..."), fixed at creation
  std::vector<ConfiguredValue> configured_;  // "<Type>.<Property>" defaults, in configuration order
  FlashProperties flash_;
  DeviceSettings device_;

  // Guarded by the device mutex.
  Clock::time_point sessionStart_;                                 // when the first of the open streams opened
  std::map<uint64_t, std::pair<uint64_t, uint32_t>> primarySeen_;  // stream id -> frame a read waited for
  bool stopping_ = false;

  std::thread producer_;
  std::atomic<std::thread::id> producerId_{};
};

}  // namespace sensor
}  // namespace tollan
