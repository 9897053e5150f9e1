// KrVDeviceRecorder: records a running KrVDevice (the source) into a file.
//
// StartRecording creates the recorder's own write device, opened for writing
// on the file name given at construction with the source's device-level
// property values, and mirrors the source's streams into it (all of them, or
// only those the client adds with AddStream). From then on every change of a
// recorded property of the source, and every stream the source adds or
// removes, is repeated on the write device; WriteData copies the source's new
// frames into the write device and writes them, each frame once however
// often it is called. StopRecording undoes the registrations on the source,
// closes the file and releases the write device. A stopped recorder can be
// started again; the new recording overwrites the file.
//
// When a frame is in the file: raw frames when WriteData returns; frames of
// a stream recorded with a codec ("Device"."Compression" of the write
// device) are only queued for the file device's encoder threads when
// WriteData returns, and are in the file once Flush returns OK (or once the
// write device's stream property "FramesWritten" counts them). A process
// killed with frames queued loses those frames, never one that was in the
// file.
//
// What the calls return (docs/recording-format.md has the same list):
//   WriteData      OK when every new frame was written or queued, or there
//                  was none; KR_STATUS_QM_NOT_INITIALIZED when not recording;
//                  else the first failure (a full disk:
//                  KR_STATUS_TL_FILE_WRITE_FAILED; a queued frame that failed
//                  in the background fails the next call, which still
//                  writes or queues its own frames). The frames written
//                  before a failure stay written and are not written again.
//   Flush          OK when every frame written or queued is in the file
//                  (durable: and forced to the disk); else the failure of a
//                  queued frame.
//   StopRecording  OK when not recording, or when every frame went into the
//                  file and it was closed with its index.
//                  KR_STATUS_TL_FILE_WRITE_FAILED when a queued frame could
//                  not be written (the file is still closed with its index)
//                  or when the index could not be written (the file plays by
//                  scanning): the recording is stopped and the write device
//                  released all the same. GetWriteFailure tells which.
//                  A failure to cancel a registration on the source
//                  is returned with the recording partly stopped; calling
//                  again goes on from there. A source closed (or destroyed by
//                  the kit's shutdown) before the stop holds no registration
//                  any more: the stop finishes and closes the file normally.
//   Close (of the write device, KrVDevice::Close) returns the same close
//                  failure.
//
// Ownership: the source object is the application's and must outlive the
// recorder (or at least its recording); it may be closed before the stop. The recorder owns its write device, its
// property map and the stream handles it attaches to the source's streams.
// Destroying a recorder that is still recording stops the recording first,
// so the source never calls into a destroyed recorder.
//
// Threads: the client calls the public operations from one thread at a time.
// The event operations run on whatever thread the source raises its events
// on (the kit's producer thread, or the client's own thread inside a call on
// the source). A lock inside the recorder serialises the event path with the
// client's calls, since both use the property map and the write device; it is
// never held while the recorder cancels a registration on the source, so a
// stop or destruction does not deadlock with an event that is being raised.
// Events that arrive while a stop runs are dropped. The recorder reads the
// source from the event thread: a client that calls the source from another
// thread while events arrive must serialise those calls itself.
#pragma once

#include <Ovalith/Infrastructure/KrVDevice.h>
#include <Ovalith/properties/KrVEventHandlers.h>

#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

class KrVPropertySet;
class KrVStream;

class KrVDeviceRecorder : public KrVModulePropertyChangedHandler, public KrVStreamCollectionChangedHandler {
 public:
  // source is not owned; fileName is copied (cut to 199 characters).
  KrVDeviceRecorder(KrVDevice* source, const char* fileName);
  // Stops a recording still running, then releases everything.
  ~KrVDeviceRecorder() override;
  KrVDeviceRecorder(const KrVDeviceRecorder&) = delete;
  KrVDeviceRecorder& operator=(const KrVDeviceRecorder&) = delete;

  // Opens the file with the source's device-level properties and watches
  // them; a non-zero recordAllStreams records every stream of the source now
  // and every stream it adds later. A failure leaves no registration on the
  // source and no write device. Already recording: 0x10001; null source:
  // 0x10004.
  KrStatus StartRecording(int recordAllStreams);
  // Stops watching the source, closes the file and releases the write device
  // (see the list above for what it returns). A recorder that is not
  // recording stops with success.
  KrStatus StopRecording();
  // Records one more stream of the source (with its current property values),
  // or stops recording one. Not recording: KR_STATUS_QM_NOT_INITIALIZED.
  KrStatus AddStream(const char* streamName);
  KrStatus RemoveStream(const char* streamName);
  // Writes the frames the source's last read marked new, with their time
  // stamps and frame ids. A frame already written (the same frame id, time
  // stamp and size as the stream's last written frame) is not written again, so a
  // client may call it on a timer. Not recording:
  // KR_STATUS_QM_NOT_INITIALIZED.
  KrStatus WriteData();
  // Waits until every frame written or queued is in the file; a non-zero
  // durable also forces the file to the disk. Not recording:
  // KR_STATUS_QM_NOT_INITIALIZED.
  KrStatus Flush(int durable);
  // What the last failed WriteData, Flush or StopRecording could not write
  // ("frame 3 (id 7) of stream Depth", "the index"; "" when none failed),
  // and the system's errno for it (0 when the system gave none).
  const char* GetWriteFailure() const;
  int GetWriteError() const;
  // The write device while recording, else null.
  KrVDevice* GetWriteDevice() const;

 protected:
  // Repeats a recorded property's new value on the write device.
  void OnModulePropertyChanged(const char* module, const char* property) override;
  // Records a new stream of the source (only after StartRecording(1)).
  void OnStreamAdded(const char* stream) override;
  // Stops recording a stream the source removed.
  void OnStreamRemoved(const char* stream) override;

 private:
  // What the recorder knows of one watched property.
  struct PropertyEntry {
    std::string module;
    std::string property;
    uint32_t type;       // KrPropertyType: 0 integer, 1 real, 2 text, 3 general
    uint32_t size;       // byte size of a general value; 0 for the others
    void* registration;  // the property-change registration on the source; null: not watched
  };
  using PropertyMap = std::unordered_map<std::string, PropertyEntry>;
  // The last frame written of one stream.
  struct FrameMark {
    bool written = false;
    uint64_t frameId = 0;
    uint64_t timestamp = 0;
    uint64_t size = 0;
  };

  // Watches every property of set on the source and adds it to the map. The
  // caller holds lock_.
  KrStatus RegisterForAllProps(KrVPropertySet& set);
  // Cancels the source registrations of the map entries that pick chooses
  // (all when pick is null; module names the stream when not null), then
  // drops those entries when erase is set. Stops at the first failure; that
  // entry and those not reached keep their registrations. The caller does
  // not hold lock_: the source waits for a change callback that is running.
  KrStatus CancelRegistrations(const char* module, bool erase);
  KrStatus CancelKeys(const std::vector<std::string>& keys, bool erase);

  // StopRecording's steps, run while stopping is set.
  KrStatus StopSteps();
  // AddStream's steps; the caller holds lock_ and there is a write device.
  KrStatus AddStreamLocked(const char* streamName);
  // The last resort of a failed start or a destruction: every registration
  // and the write device go, failures passed over.
  void Abandon();
  bool IsRecordingOrRegistered() const;
  // Copies a recorded property's current value from the source to the
  // write device; the caller holds lock_.
  KrStatus CopyProperty(const char* module, const char* property, PropertyEntry& entry);
  // Takes what the write device says of its last failed write; the caller
  // holds lock_.
  void NoteWriteFailure();
  // Refreshes entry.size from the source when a general value changed size.
  KrStatus RefreshGeneralSize(const char* module, const char* property, PropertyEntry& entry);

  // "module\0property": names hold no terminator, so the key is unambiguous.
  static std::string Key(const char* module, const char* property);

  KrVDevice* source;                        // not owned
  char fileName[KR_MAX_NAME_LENGTH];        // copied at construction
  KrVDevice* writeDevice;                   // owned; null while not recording
  PropertyMap propertyMap;                  // every watched property of the source
  int recordNewStreams;                     // the argument of the last StartRecording
  std::vector<KrVStream*> recordedStreams;  // owned; attached to the source's streams
  // By stream name: the frame WriteData wrote last, so that it writes none
  // twice. Dropped with the stream's recording.
  std::unordered_map<std::string, FrameMark> lastWritten;
  std::string writeFailure;  // GetWriteFailure
  int writeError;            // GetWriteError
  void* streamsRegistration;                // stream-collection registration on the source; null: none
  // Set while StopRecording runs: events are dropped without touching the
  // source, whose registrations are being cancelled on the client's thread.
  bool stopping;

  // Serialises the event path with the client's calls. Recursive because the
  // source may raise an event on the client's thread inside a call the
  // recorder makes on it.
  mutable std::recursive_mutex lock_;
};
