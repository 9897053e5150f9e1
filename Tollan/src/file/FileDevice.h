// FileDevice: the kit's "File" device kind, a recording written or played
// back through the kit's device calls. The connection string is the path.
//
// Write mode (KR_DEVICE_MODE_WRITE, "ReadWriteMode" 1): the file is created
// at device creation with the "Device" properties (initial values of any
// name are accepted and recorded). Every stream created is recorded with its
// properties (initial values of any name are accepted), and is open from
// its creation: a recorder may add streams after opening all of them. Sets
// are recorded at their place; a set of a property the device lacks
// declares it (a recorder mirrors properties its source adds later), and a
// set whose change cannot be recorded fails and changes nothing.
// A stream's frame geometry follows its settings, as on the sensor:
// "Resolution" and "XRes"/"YRes" are kept in step, and "BytesPerPixel" and
// "RequiredDataSize" are derived from them, "OutputFormat" (the sensor's
// default for the type when absent) and, for audio, "SampleRate",
// "NumOfChannels" and "FPS" (30 when absent), at creation and after each
// change (recorded as changes too). A stream whose settings give no size (no
// resolution, a compressed format) keeps the "RequiredDataSize" it was given.
// The records of a stream grow with its "RequiredDataSize", so a frame of
// that size always fits; more than a frame of the format can hold is
// refused.
// Write/WriteStream append the members of open streams whose bIsNew is 1
// (a record whose bIsNew is 0 holds no frame to write). Raw frames are in
// the file when the write returns; compressed frames are only queued for the
// writer's encoder threads (RecordingWriter.h) and the write returns once
// they are copied. What reached the file: each stream's "FramesWritten"
// (read-only), "Device"."FramesQueued" (frames not yet in it); set
// "Device"."Flush" to 1 to wait until every queued frame is in the file (2:
// and forced to the disk). A frame that could not be written in the
// background fails the next write, flush or the destruction; then
// "Device"."WriteFailure" names what was lost ("frame 3 (id 7) of stream
// Depth and 2 queued frames after it", "the index") and
// "Device"."WriteError" holds the system's errno. A write failed that way
// has still taken its own frames: each stream's "FramesTaken" (read-only)
// counts the frames the device took, so a caller retries only a frame that
// it does not count (one whose own write failed).
// "Device"."EncoderFellBehind" names the codecs whose frames made a write
// wait for the encoders.
// Destruction writes the index; when it cannot (a full disk, a size limit)
// the destruction reports KR_STATUS_TL_FILE_WRITE_FAILED, the device is gone
// all the same and the file plays by scanning up to its last frame. A queued
// frame that failed and was not yet reported makes the destruction fail the
// same way, but then the file is closed with its index: the log names the
// frame, and says so.
//
// Read mode (KR_DEVICE_MODE_READ, "ReadWriteMode" 0): the recorded
// properties and streams (closed until opened). A Read brings, in recorded
// order, the next frame of each stream it asks for (an open stream with a
// member in the set) and stops before a second frame of a stream it already
// filled, so frames written together come back together; ReadStream brings
// the next frame of its stream. Property changes met on the way are
// replayed; members without a frame get bIsNew 0.
// Like the sensor's producer, a read that brings a frame raises a new-data
// event for its stream (on the reading thread, before the read returns; a
// read made inside one of the device's callbacks raises none, so a handler
// that reads cannot recurse through the whole file).
// docs/recording-format.md ("Playing back through the kit") has the rest:
// frame numbers, "NumberOfFrames", seeking, "VerifyFrameData".
//
// Threads: DeviceBase serialises every call with the device mutex; the
// writer and reader are only touched under it (and in Stop, after events
// stopped).
#pragma once

#include <Tollan/src/DeviceBase.h>
#include <Tollan/src/file/RecordingReader.h>
#include <Tollan/src/file/RecordingWriter.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace tollan {

class FileDevice : public DeviceBase {
 public:
  explicit FileDevice(const DeviceParams& params);

 protected:
  KrStatus Setup() override;
  KrStatus Start() override;
  void Stop() override;
  KrStatus StopResult() const override { return closeStatus_; }
  KrStatus OnCreateStream(Stream& stream) override;
  KrStatus OnStreamReady(Stream& stream) override;
  // "Device"."Compression" of a written recording, and the choice it holds.
  void AddCompressionProperty();
  // The write-state properties: "Flush", "FramesQueued", "WriteFailure",
  // "WriteError", "EncoderFellBehind".
  void AddWriteStateProperties();
  recording::CodecChoice CodecChoiceNow() const;
  KrStatus OnDestroyStream(Stream& stream) override;
  KrStatus ReadRecords(Locked& lock, std::vector<StreamRecord>& records, bool single) override;
  KrStatus WriteRecords(Locked& lock, std::vector<StreamRecord>& records, bool single) override;
  KrStatus TellTime(uint64_t* timestamp) override;
  KrStatus SeekTime(uint64_t timestamp) override;
  KrStatus TellFrameNumber(uint32_t* frame) override;
  KrStatus SeekFrameNumber(uint32_t frame) override;
  KrStatus BeforeSet(Module& module, Property& property, Value* proposed) override;
  KrStatus OnUnknownInitialValue(const std::string& module, const std::string& property, const Value& value) override;
  bool DeclareOnSet(const std::string& module, const std::string& property, KrPropertyType type) override;
  uint64_t RecordCapacity(const Stream& stream) const override;
  void AfterSet(Module& module, Property& property) override;

 private:
  bool Writing() const { return Params().mode == KR_DEVICE_MODE_WRITE; }
  // ---- writing ----
  KrStatus StartWriting();
  std::vector<recording::Property> ModuleProperties(const Module& module) const;
  // Makes a set of a stream's "RequiredDataSize" grow its records first.
  void GuardCapacity(const Stream& stream, Property& property);
  // Grows the stream's records (made and to be made) to hold size bytes.
  KrStatus GrowCapacity(uint64_t streamId, uint64_t size);
  // Frame geometry from the stream's settings; false when they give none.
  bool DeriveGeometry(const Stream& stream, uint64_t* bytesPerPixel, uint64_t* requiredSize) const;
  // Brings the derived settings in line after a change of the named setting
  // (empty: at creation), recording and announcing each value that changes.
  KrStatus UpdateGeometryLocked(Stream& stream, const std::string& changed);
  KrStatus SetDerivedLocked(Stream& stream, const char* name, uint64_t value);
  // ---- reading ----
  KrStatus StartReading();
  KrStatus DeclareRecordedStream(const recording::StreamDefinition& definition);
  // Stores a recorded value and queues its change event (adds the property
  // when the device lacks it). Unchanged values raise nothing.
  void ReplayLocked(const recording::Property& property);
  // After a seek: the recorded properties, then the changes before the new
  // place.
  // "Codec" of a stream after one of its frames was read.
  void ShowCodecLocked(const Stream& stream);
  void RestoreAfterSeekLocked();
  // The kit stream of a recorded stream id; null when none.
  Stream* StreamOfRecorded(uint32_t recordedId) const;
  KrStatus Report(KrStatus status, const char* what);

  bool started_ = false;
  // What closing the written file gave (its index and trailer); reported by
  // the device's destruction.
  KrStatus closeStatus_ = KR_STATUS_OK;
  // Write mode.
  recording::RecordingWriter writer_;
  std::map<uint64_t, uint32_t> writeIds_;             // kit stream id -> recorded id
  std::map<uint64_t, uint64_t> capacities_;           // kit stream id -> capacity of its records (only grows)
  std::vector<std::string> deviceModules_{"Device"};  // device-level modules, recorded at creation
  // Read mode.
  recording::RecordingReader reader_;
  std::map<uint32_t, std::string> streamNames_;             // recorded id -> kit stream name
  std::set<std::string> recordedStreams_;                   // every recorded stream's name
  std::vector<recording::Property> recordedProperties_;     // as at creation: device, then streams
  const recording::StreamDefinition* declaring_ = nullptr;  // during DeclareRecordedStream
  uint32_t primary_ = 0;                                    // recorded id counted by frame numbers
};

}  // namespace tollan
