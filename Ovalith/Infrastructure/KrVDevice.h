// KrVDevice: the application's handle on one device of the kit: a simulated
// or live sensor, a recording, a device described by an INI file, or any
// device named by a connection string.
//
// A created device mirrors the kit's streams: each stream gets a per-stream
// module (KrVDeviceStream) carrying the frame fields "Timestamp", "FrameId",
// "IsNew", "BufferSize" and "Buffer", and a frame object of its type (the
// first "Depth", "Image", "IR" and "Audio" streams get a depth map, image
// maps and an audio buffer; other streams a plain KrVStreamData). Property
// access goes by module and property name; a module name that is a stream
// name is first offered to that stream's per-stream module, and only what it
// does not know goes to the kit. Streams the kit adds or removes later reach
// the device as stream-collection events and are mirrored the same way.
//
// Ownership: the device owns its kit device, its per-stream modules, the
// frame objects it made, the kit records of its streams and the legacy
// depth tables; closing or destroying the device releases all of them. The
// application owns its handlers, module and stream handles and property
// sets; a handler stays alive until it is unregistered, and the device
// outlives every handle and frame object bound to it.
//
// Last status: most operations record their outcome, success included, in
// the field read by GetLastStatus; argument checks that return 0x10004 do
// not. Each operation below says when it does not record.
//
// Frame buffers: every copy into a stream's buffer and every frame object's
// view over it is bounded by what that buffer holds. Reading a stream's
// "RequiredDataSize" through the device (as KrVStream and the frame objects
// do before they size anything by it) first grows the buffer to that size,
// so a changed geometry never meets the buffer made for the old one.
//
// Threads: EngineInit and EngineShutdown are process-wide, first and last.
// A device is used from one thread at a time (or the caller serialises).
// Callbacks arrive on the thread that raises the event. Property-change
// handlers of the frame fields run inside Read; a stream they add or remove
// (or one the kit adds or removes meanwhile on the reading thread) is
// mirrored once the read has published every stream.
//
// The frame lock (a recursive mutex) serves the older interface's client
// callbacks. Read, Write, the legacy writes, SetCallbackHandler and the
// mirroring of stream changes hold it; the application holds LockFrames()
// while it looks at frame objects or makes other calls on the device while
// a handler is set. A handler is called with the lock held, on the thread
// that read the frames, so it sees one consistent set of frames; it may call
// the device again (the lock is recursive).
//
// The kit's event thread never waits for the lock. A new-data event marks
// its kind (depth/image, or audio) pending and takes the lock only if it is
// free: it then reads as the event asks. When the lock is held, the holder
// serves what is pending: a read of the application takes the frames the
// event announced, and the release of LockFrames() (or of SetCallbackHandler)
// reads them. An event raised inside this device's own read, on the reading
// thread, reads nothing: that read publishes the frame. Whoever reads, every
// read that brings a new frame of the depth map, the image map or the audio
// buffer calls the handler once for it, after the outermost read has
// published, so a frame reaches the handler once and the application's reads
// and the handler see the same frames. An event that arrives while a write
// or a change of streams holds the lock is served by the next read, event or
// release of LockFrames(). Do not close or destroy a device from inside its
// handler.
#pragma once

#include <Ovalith/Infrastructure/KrVStatus.h>
#include <Ovalith/properties/KrVEventHandlers.h>
#include <Ovalith/properties/KrVStreamContainer.h>
#include <Tollan/Tollan.h>

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

class KrVAudioBuffer;
class KrVDepthMap;
class KrVDeviceCallbackHandler;
class KrVInitStreamProperties;
class KrVDeviceStream;
class KrVImageMap;
class KrVModule;
class KrVPropertySet;
class KrVStream;
class KrVStreamData;

class KrVDevice : public KrVStreamContainer, public KrVStreamCollectionChangedHandler {
 public:
  // A non-zero compatibility selects the older (3.6) behaviour on the
  // shared paths.
  explicit KrVDevice(int compatibility = 0);
  // Closes the device and releases everything it holds.
  ~KrVDevice() override;
  KrVDevice(const KrVDevice&) = delete;
  KrVDevice& operator=(const KrVDevice&) = delete;

  // ---- engine ----
  // Starts the kit for the whole process; "already started" counts as
  // success. The first argument is not read.
  static KrStatus EngineInit(const char* first, const char* kitDirectory);
  // Starts the kit from a configuration file.
  static KrStatus EngineInit(const char* iniFile);
  static KrStatus EngineShutdown();
  // Lists the kit's devices: one connection string of 200 characters per
  // element; count is in-out as the kit defines it. Does not record.
  KrStatus Enumerate(char (*connectionStrings)[200], uint32_t* count);
  // The outcome of the last operation that records it.
  KrStatus GetLastStatus() const { return lastStatus; }

  // ---- creation and closing ----
  // Each creation closes a device the object still holds, creates the kit
  // device and mirrors its streams; a failure after the kit device was made
  // closes it again. The open operations also open every stream.
  KrStatus CreateSensor(const char* connectionString, KrVPropertySet* initialValues, KrDeviceSharingMode sharing);
  KrStatus CreateFileDevice(const char* path, KrDeviceMode mode, KrVPropertySet* initialValues);
  KrStatus CreateByConnectionString(char* connectionString, KrDeviceMode mode, KrVPropertySet* initialValues,
                                    KrDeviceSharingMode sharing);
  // Starts the kit from the file when needed, then creates the device of the
  // section.
  KrStatus CreateFromINI(const char* iniFile, const char* section, KrVPropertySet* initialValues);
  // As CreateFromINI, applying the section's settings before mirroring.
  KrStatus OpenDeviceFromINI(const char* iniFile, const char* section, KrVPropertySet* initialValues);
  KrStatus OpenSensor(const char* connectionString, KrVPropertySet& initialValues, KrDeviceSharingMode sharing);
  KrStatus OpenFileForReading(const char* path);
  KrStatus OpenFileForWriting(const char* path, KrVPropertySet& initialValues);
  // Applies an INI section's settings to the existing device.
  KrStatus ConfigureFromINI(const char* iniFile, const char* section);
  // Releases the kit device and everything mirrored from it; the object can
  // be created again. A never-created device closes with success.
  KrStatus Close();
  // Copies the frames of source's streams that are new ("IsNew" 1) into the
  // streams of the same names of this device, with their time stamps and
  // frame ids; the other streams get "IsNew" 0, so a Write that follows
  // writes each frame once.
  KrStatus CopyFrom(KrVDevice& source);

  // ---- properties (stream-first lookup) ----
  // The void*, uint32_t and uint16_t forms belong to the older interface.
  KrStatus GetProperty(const char* module, const char* property, void*& value) override;
  KrStatus GetProperty(const char* module, const char* property, uint32_t& value) override;
  KrStatus GetProperty(const char* module, const char* property, uint16_t& value) override;
  KrStatus GetProperty(const char* module, const char* property, const KrGeneralBuffer& value) override;
  // value has room for 200 characters with the terminator.
  KrStatus GetProperty(const char* module, const char* property, char* value) override;
  // In compatibility mode the module "FixedParams" reads "Depth".
  KrStatus GetProperty(const char* module, const char* property, double& value) override;
  KrStatus GetProperty(const char* module, const char* property, uint64_t& value) override;
  KrStatus SetProperty(const char* module, const char* property, void* value) override;
  KrStatus SetProperty(const char* module, const char* property, uint32_t value) override;
  KrStatus SetProperty(const char* module, const char* property, uint16_t value) override;
  KrStatus SetProperty(const char* module, const char* property, const KrGeneralBuffer& value) override;
  KrStatus SetProperty(const char* module, const char* property, const char* value) override;
  KrStatus SetProperty(const char* module, const char* property, double value) override;
  KrStatus SetProperty(const char* module, const char* property, uint64_t value) override;
  KrStatus GetPropertyType(const char* module, const char* property, KrPropertyType& type);

  // In compatibility mode answered by IsModuleExist, without the kit.
  KrStatus DoesModuleExist(const char* module, int* exists) override;
  // A stream's per-stream module answers first; *exists is 0 on failure.
  KrStatus DoesPropertyExist(const char* module, const char* property, int* exists) override;
  // Adds every property (of one module when module is not null) to set.
  KrStatus GetAllProperties(KrVPropertySet& set, const char* module);
  // noStreams non-zero leaves the stream modules out.
  KrStatus GetAllProperties(KrVPropertySet& set, int noStreams, const char* module) override;
  // Sets every property of set on the device, in the set's order.
  KrStatus BatchConfig(KrVPropertySet& set);
  // Attaches handle to the module of that name.
  KrStatus GetModule(const char* module, KrVModule& handle);

  // ---- events ----
  // A null handler gives 0x10004 without recording; cookie receives the
  // registration for the matching Unregister call.
  KrStatus RegisterForPropertyChangedEvent(const char* module, const char* property,
                                           KrVModulePropertyChangedHandler* handler, void*& cookie) override;
  KrStatus RegisterForStreamCollectionChangedEvent(KrVStreamCollectionChangedHandler* handler, void*& cookie) override;
  // Null module, property or cookie give 0x10004 without recording.
  KrStatus UnregisterFromPropertyChangedEvent(const char* module, const char* property, void* cookie) override;
  KrStatus UnregisterFromStreamCollectionChangedEvent(void* cookie) override;
  KrStatus RegisterForNewDataFromStreamEvent(KrVNewDataFromStreamHandler* handler, void*& cookie);
  KrStatus UnregisterFromNewDataFromStreamEvent(void* cookie);

  // The older interface's answers: fixed lists of names, no kit call, no
  // status recorded.
  int IsModuleExist(const char* module) override;
  int IsPropertyExist(const char* module, const char* property) override;

  // The device's own stream-collection handler: mirrors the kit's streams.
  void OnStreamAdded(const char* streamName) override;
  void OnStreamRemoved(const char* streamName) override;

  // ---- streams ----
  // Names point at text the kit keeps while the device exists; count is the
  // capacity in and the number written out (a null array: the count only).
  KrStatus GetSupportedStreams(const char** names, uint32_t* count);
  // *supported becomes 1 when the kit offers the stream type (first 100 kept).
  KrStatus IsStreamSupported(const char* name, int* supported);
  KrStatus GetStreamNames(const char** names, uint32_t* count);
  // Creates a stream in the kit; the device mirrors it when the kit reports
  // it. initialValues may be null.
  KrStatus AddStream(const char* type, const char* name, const KrVPropertySet* initialValues);
  // The older interface's forms: not supported.
  KrStatus AddStream(const char* name);
  KrStatus AddStream(const char* name, const KrVStream& stream);
  KrStatus RemoveStream(const char* name);
  KrStatus OpenStream(const char* name);
  KrStatus CloseStream(const char* name);
  KrStatus OpenAllStreams();
  KrStatus CloseAllStreams();
  // Attaches stream to the first stream (in the kit's order) whose "Type" is
  // type; none: 0x1000A with stream detached.
  KrStatus FindStreamOfType(const char* type, KrVStream& stream);
  KrStatus GetStream(const char* name, KrVStream& stream);
  // The frame object of the named stream; unknown name: 0x1000A.
  KrStatus GetStreamData(const char* name, KrVStreamData*& data);
  // Keeps the buffer under the named stream's frame object alive, bytes and
  // all, until KrStreamDataReleaseBuffer(hold), even when the stream moves to
  // a larger buffer or the device closes; no later read writes into it (the
  // stream's next frame goes into a buffer of its own, and "Buffer" moves):
  // for views that the application may keep past the next read. Unknown name: 0x1000A. In compatibility mode
  // the frames live in the device's own buffers: KR_STATUS_TL_NOT_SUPPORTED.
  KrStatus HoldFrameBuffer(const char* name, KrBufferHold* hold);

  // ---- reading and writing ----
  // Reads every stream and publishes each record to its stream's properties
  // and frame object (also after a failed read).
  KrStatus Read();
  KrStatus Read(const char* name);
  KrStatus Read(const KrVStream& stream);
  // Copies every stream's properties back into its record, then writes.
  KrStatus Write();
  KrStatus Write(const char* name);
  // Compatibility mode: copies stream's frame into this device's stream of
  // the same name, for a later Write().
  KrStatus Write(KrVStream& stream);
  // Position in a recording by time stamp or frame number.
  KrStatus TellTime(uint64_t* time);
  KrStatus SeekTime(uint64_t time);
  KrStatus TellFrame(uint32_t* frame);
  KrStatus SeekFrame(uint32_t frame);

  // ---- frame objects (owned by the device; null without such a stream) ----
  KrVDepthMap* GetDepthMap() { return depthMap; }
  const KrVDepthMap* GetDepthMap() const { return depthMap; }
  KrVImageMap* GetImageMap() { return imageMap; }
  const KrVImageMap* GetImageMap() const { return imageMap; }
  KrVImageMap* GetIRMap() { return irMap; }
  const KrVImageMap* GetIRMap() const { return irMap; }
  KrVAudioBuffer* GetAudioBuffer() { return audioBuffer; }
  const KrVAudioBuffer* GetAudioBuffer() const { return audioBuffer; }

  // ---- older interface: property bridge, IO parameters, flags, depth tables ----
  // None of these keeps a setting: each becomes calls of the current
  // property operations above (overrides included), with value conversions.
  // Every one records its outcome, success included. The legacy 16-bit,
  // 32-bit and pointer property overloads are declared with the properties;
  // their re-entry guards are per thread. Threads: as the device; the depth
  // tables are refilled in place, without a lock, on the thread on which the
  // kit raises its "S2D" change event.
  //
  // Numbered integer parameters (0 to 52). Reads keep the low 32 bits of the
  // current property; writes sign-extend. Pass number 0 as 0u (a plain 0
  // would also match the named form).
  KrStatus GetIOParam(uint32_t param, int& value) const;
  KrStatus SetIOParam(uint32_t param, int value);
  // Named integer parameters of the older interface (exact names).
  KrStatus GetIOParam(const char* name, int& value) const;
  KrStatus SetIOParam(const char* name, int value);
  // Numbered buffer parameters (3 to 48): buffer is caller memory of the
  // parameter's fixed size, neither kept nor freed. 27 and 28 store the
  // address of the device's shift-to-depth or depth-to-shift table (65536
  // 16-bit entries, so any 16-bit shift or depth indexes it; owned by the
  // device, valid until it closes, refreshed in place when the kit's tables
  // change; entries past the kit's current table read 0) at buffer.
  KrStatus GetIOParam(uint32_t param, void* buffer) const;
  KrStatus SetIOParam(uint32_t param, const void* buffer);
  // Flag 1 is the mirror of the whole device ("Device"/"Mirror"); other
  // numbers give 0x3083E.
  KrStatus EnableFlag(int flag);
  KrStatus DisableFlag(int flag);
  KrStatus FlipFlag(int flag);
  KrStatus GetFlag(int flag, uint32_t& value);

  // ---- older interface: INI configuration, capture mode, open, writing, callbacks ----
  // Every operation here records its outcome, success included.
  //
  // Creates the device of an INI section. A section that defines streams in
  // the current format is taken as it is. Otherwise the section is read in
  // the old format (keys in examples/legacy/README.md): streams are added,
  // a "SensorV2" gets its sensor section applied, the streams are opened and
  // capture mode may start; a failure there closes the device again.
  // source (may be null) must be a KrVDevice whose stream layout seeds the
  // defaults.
  KrStatus OpenFromINI(const char* iniFile, const char* section, KrVStreamContainer* source);
  // Saves "Device"/"PrimaryStream", then sets it to "Any" (newFramesOnly
  // non-zero) or "None". A second start saves what the first one set.
  KrStatus StartCaptureMode(int newFramesOnly);
  // Writes back the value saved by the last StartCaptureMode. Before any
  // start there is nothing to restore: KR_STATUS_QM_NOT_ENOUGH_INFORMATION,
  // nothing written.
  KrStatus StopCaptureMode();
  // Creates a simulated or live sensor and adds and opens the streams that
  // initProps requests (null: depth and image opened, audio added).
  // Requesting "Image" and "IR" together gives KR_STATUS_QM_ILLEGAL_INPUT
  // before any sensor is made. An "IR" request makes the stream named
  // "Image" of type "IR"; GetImageMap() then returns the IR map. A failure
  // after the sensor was created leaves it created with the streams added
  // so far.
  KrStatus OpenSensor(const char* connectionString, KrVStreamContainer* source, KrVInitStreamProperties* initProps);
  // Mode 0 opens a recording for reading (source and initProps unused);
  // mode 1 creates one for writing with the streams of source (a KrVDevice)
  // or default streams, adjusted by initProps; other modes:
  // KR_STATUS_QM_BAD_PARAMETER.
  KrStatus OpenFile(const char* fileName, KrDeviceMode mode, KrVStreamContainer* source,
                    KrVInitStreamProperties* initProps);
  // Sets (or with null clears) the client callback handler, not owned. The
  // device registers for the kit's new-data events once per kit device; a
  // null handler cancels that registration, so a device without a handler
  // hears no events. Once this returns, a replaced handler is not called
  // again. Never created: KR_STATUS_QM_NOT_INITIALIZED.
  KrStatus SetCallbackHandler(KrVDeviceCallbackHandler* handler);
  // Frame-by-frame writing: each copies one frame into this device's stream
  // of that name (a frame object's stream name), for the next CommitWrite.
  KrStatus Write(const char* streamName, const char* data, uint32_t size, uint64_t timestamp);
  KrStatus Write(KrVDepthMap& map, uint64_t timestamp);
  KrStatus Write(KrVImageMap& map, uint64_t timestamp);
  KrStatus Write(KrVAudioBuffer& buffer, uint64_t timestamp);
  // Writes every stream's pending frame (Write()).
  KrStatus CommitWrite();
  // Holds the frame lock while it lives (see Threads above); its release
  // serves the client callbacks that arrived meanwhile, on the caller's
  // thread. Movable; unlock() releases early.
  class FrameLock {
   public:
    explicit FrameLock(KrVDevice& device);
    FrameLock(FrameLock&& other) noexcept : device(other.device) { other.device = nullptr; }
    FrameLock(const FrameLock&) = delete;
    FrameLock& operator=(const FrameLock&) = delete;
    FrameLock& operator=(FrameLock&&) = delete;
    ~FrameLock() { unlock(); }
    void unlock();
    bool owns_lock() const { return device != nullptr; }

   private:
    KrVDevice* device;  // null once released
  };
  FrameLock LockFrames() { return FrameLock(*this); }

 protected:
  // The legacy opens behind OpenSensor and OpenFile; sensorType is unused.
  KrStatus GeneralOpenSensor(const char* sensorType, const char* connectionString, KrVStreamContainer* source,
                             KrVInitStreamProperties* initProps);
  KrStatus OpenFileRead(const char* fileName, KrVStreamContainer* source, KrVInitStreamProperties* initProps);
  KrStatus OpenFileWrite(const char* fileName, KrVStreamContainer* source, KrVInitStreamProperties* initProps);

 private:
  // Old-format INI: the stream section (adds the streams), then the sensor
  // section and the opening of the streams, one AGC bin bound.
  KrStatus ConfigureDevice36FromINI(const char* iniFile, const char* section, KrVStreamContainer* source);
  KrStatus ConfigureFromOldINIFileAndOpen(const char* iniFile, const char* section);
  KrStatus ConfigureAGCDepthBinFromOldINIFile(const char* iniFile, const char* section, uint32_t bin, int isMax);
  // Walks the sensor-section key table; clears the open flags of the
  // streams a mode key leaves closed.
  KrStatus ApplySensorSection36(const char* iniFile, const char* section, int* openDepth, int* openImage);
  // Re-creates the stream "Image" with type "IR", keeping its geometry.
  KrStatus SwitchImageToIR36();
  // Streams of a new file device: fixed defaults, or source's layout.
  KrStatus ConfigureDefault();
  KrStatus ConfigureFileFrom36Device(KrVDevice& source);
  // Kit new-data callback of the client callbacks; the cookie is the device.
  static void OnNewStreamDataCallback36(const KrNewStreamDataEventArgs& args, void* cookie);

  // Held by the reads, writes, mirroring and the client callback path.
  std::recursive_mutex frameMutex;
  // 1 while Close destroys the kit device: a new-data event then leaves the
  // device alone.
  std::atomic<int> closing{0};
  // The kit device the client callbacks are registered on (kit handles are
  // never reused, so a new device registers afresh) and that registration;
  // null before any and after a null handler cancelled it.
  KrDeviceHandle callbackRegisteredOn = nullptr;
  KrCallbackHandle callbackRegistration = nullptr;

  // ---- client callbacks: who serves an event (see Threads above) ----
  // Kinds of new-data event (bits of pendingCallbacks36) and frames a read
  // brought (bits of publishedFrames36).
  enum : unsigned { kPixelEvent36 = 1, kAudioEvent36 = 2 };
  enum : unsigned { kDepthFrame36 = 1, kImageFrame36 = 2, kAudioFrame36 = 4 };
  // Holds the frame lock around one read: marks the reading thread, takes
  // the events raised so far as served by this read (their frames were in
  // the kit before it began), and after the outermost read calls the
  // handler for the new frames. streamName: the one stream read; null
  // for a read of every stream.
  class ReadScope36 {
   public:
    ReadScope36(KrVDevice& device, const char* streamName);
    ~ReadScope36();
    ReadScope36(const ReadScope36&) = delete;
    ReadScope36& operator=(const ReadScope36&) = delete;
    // The read published (frame: the one frame object it published, null
    // for all); returns status, which the read returns.
    KrStatus Published(KrStatus status, const KrVStreamData* frame);

   private:
    KrVDevice& device;
    const char* streamName;  // null: every stream
  };
  // Releases one level of the frame lock taken by a FrameLock, a read or the
  // callback path. serve: an outermost release reads for the pending events
  // first and retakes a free lock for events that raced with the release.
  void ReleaseFrameLock36(bool serve);
  // Reads for the pending events (at most one read of each kind); the lock
  // is held, outermost.
  void ServePendingCallbacks36();
  // Calls the handler for publishedFrames36 (the lock is held).
  void DeliverFrames36();
  // Kinds of event raised and not yet served; set by the event thread.
  std::atomic<unsigned> pendingCallbacks36{0};
  // Levels of the frame lock held through FrameLock, reads and the callback
  // path, and levels of reads (both guarded by frameMutex).
  int frameLockDepth36 = 0;
  int readDepth36 = 0;
  // The thread inside the outermost read; an event raised there is that
  // read's own.
  std::atomic<std::thread::id> readingThread36{};
  // New frames published and not yet handed to the handler, and whether a
  // delivery is running on the lock's thread (guarded by frameMutex).
  unsigned publishedFrames36 = 0;
  bool delivering36 = false;
  // 1 once StartCaptureMode has filled savedPrimaryStream.
  int primaryStreamSaved = 0;
  // Depth of the publishing of a read (handlers of the frame fields run
  // inside it), and the stream-collection changes that arrived meanwhile
  // (name, added), mirrored in order once the outermost publishing ends.
  int publishing = 0;
  std::vector<std::pair<std::string, bool>> deferredStreamChanges;
  // Mirrors the deferred stream changes; called when publishing ends.
  void ApplyDeferredStreamChanges();

 protected:
  // Clears the fields (savedPrimaryStream excepted) and keeps compatibility.
  void Ctor(int compatibility);

 private:
  // Mirrors one kit stream: record, per-stream module, frame object. A name
  // already mirrored is replaced (the old module, frame object and record
  // are released once). Does not record.
  virtual KrStatus AddStreamToDevice(const char* streamName);
  // Releases one mirrored stream; an unknown name gives 0x1000A. Does not
  // record.
  virtual KrStatus RemoveStreamFromDevice(const char* streamName);

  // Kit callbacks; the cookie is the application's (or the device's) handler.
  static void OnPropertyChangedCallback(KrDeviceHandle device, const char* module, const char* property, void* cookie);
  static KrStatus OnKrVDevicePropertyChanged(const KrProperty& property, void* cookie);
  static void OnNewStreamDataCallback(const KrNewStreamDataEventArgs& args, void* cookie);
  static void OnStreamsChangedCallback(const KrStreamCollectionChangedEventArgs& args, void* cookie);

  // Kit steps of the creation operations (no mirroring); they record.
  KrStatus CreateSensorImpl(const char* connectionString, KrVPropertySet* initialValues, KrDeviceSharingMode sharing);
  KrStatus CreateFileImpl(const char* path, KrDeviceMode mode, KrVPropertySet* initialValues);
  KrStatus CreateFromINIImpl(const char* iniFile, const char* section, KrVPropertySet* initialValues);
  KrStatus CreateByConnectionStringImpl(char* connectionString, KrDeviceMode mode, KrVPropertySet* initialValues,
                                        KrDeviceSharingMode sharing);
  // Closes a device still held before a new creation; records a failure.
  KrStatus CloseHeldDevice();
  // Mirrors the new kit device (Init) and closes it again on failure.
  KrStatus InitAfterCreation();
  // Opens every stream of the new device and closes it on failure.
  KrStatus OpenAllAfterCreation();
  KrStatus Init();
  // Releases in order; stops at the first failing kit call, leaving the
  // rest in place for a later Close.
  KrStatus CloseImpl();
  // The destructor's last resort after a failed CloseImpl: every step is
  // tried, failures are passed over.
  void ReleaseEverything();
  // Deletes the frame objects and per-stream modules (kit records stay).
  void ReleaseStreams();
  // Destroys every member record of the stream-data set.
  KrStatus DestroySetMembers();
  // Takes a record out of the set and destroys it; a record the set keeps
  // is destroyed when the device closes.
  KrStatus DiscardRecord(KrStreamData* record);
  // Deletes a mirrored stream's frame object and per-stream module and
  // forgets the name; returns its record (null for an unknown name), which
  // the caller discards.
  KrStreamData* DropStreamEntry(const char* streamName);
  // Makes the frame object of a new stream by its type, bound through a
  // stream handle; the handle's status, or 0x20001.
  KrStatus MakeFrameObject(const char* streamName, const char* type, KrVStreamData** made);
  // Clears the device fields that hold frame (imageMap and irMap may share).
  void ForgetFrameObject(const KrVStreamData* frame);

  KrVDeviceStream* FindStream(const char* name) const;
  // Grows a stream's frame buffer to hold size bytes (its "RequiredDataSize"
  // as just read) and re-wraps the stream's frame object when it moved.
  KrStatus ReserveFrameBuffer(KrVDeviceStream& stream, uint64_t size);
  // Publishes a stream's record to its properties, then tells its frame.
  KrStatus UpdateStream(KrVDeviceStream& stream);
  // Tells the stream's frame object that the frame changed. A frame object
  // still bound to this stream reads the module's frame fields directly;
  // one the application re-bound elsewhere reads its own stream by name.
  void TellFrameObject(KrVDeviceStream& stream);
  KrStatus UpdateAllStreams();

  // The current real-valued read (stream-first); does not record.
  KrStatus GetProperty40(const char* module, const char* property, double& value);
  // The older real-valued read: "FixedParams" reads "Depth".
  KrStatus GetProperty36(const char* module, const char* property, double& value);
  // The older Write(KrVStream&): copies the frame into this device's stream.
  KrStatus Write36(KrVStream& stream);

  // ---- older interface (private): property bridge, IO parameters, depth tables ----
  // The bridge's per-module operations: property is the legacy name, the
  // module is in the operation's name. Each records.
  KrStatus GetDepthProperty(const char* property, uint16_t& value);
  KrStatus GetDepthProperty(const char* property, uint32_t& value);
  KrStatus GetDepthProperty(const char* property, void*& value);
  KrStatus GetImageProperty(const char* property, uint16_t& value);
  KrStatus GetImageProperty(const char* property, uint32_t& value);
  KrStatus GetIRProperty(const char* property, uint16_t& value);
  KrStatus GetIRProperty(const char* property, uint32_t& value);
  KrStatus GetAudioProperty(const char* property, uint16_t& value);
  KrStatus GetAudioProperty(const char* property, uint32_t& value);
  KrStatus GetShiftsProperty(const char* property, uint16_t& value);
  KrStatus GetShiftsProperty(const char* property, uint32_t& value);
  KrStatus GetShiftsProperty(const char* property, void*& value);
  KrStatus GetFixedParamsProperty(const char* property, uint16_t& value);
  KrStatus GetFixedParamsProperty(const char* property, uint32_t& value);
  KrStatus GetDeviceProperty(const char* property, uint32_t& value);
  KrStatus GetDeviceProperty(const char* property, void*& value);
  KrStatus SetDepthProperty(const char* property, uint16_t value);
  KrStatus SetDepthProperty(const char* property, uint32_t value);
  KrStatus SetDepthProperty(const char* property, void* value);
  KrStatus SetImageProperty(const char* property, uint32_t value);
  KrStatus SetIRProperty(const char* property, uint32_t value);
  KrStatus SetIRProperty(const char* property, void* value);
  KrStatus SetAudioProperty(const char* property, uint16_t value);
  KrStatus SetAudioProperty(const char* property, uint32_t value);
  KrStatus SetDeviceProperty(const char* property, uint32_t value);
  KrStatus SetDeviceProperty(const char* property, void* value);
  // The table walkers of the bridge and the IO parameters.
  friend class KrVDeviceBC36;

  // Reads an integer property into *value (low 32 bits). A missing module
  // stores defaultValue when useDefault is set, else gives 0x30814.
  KrStatus GetModuleIntProperty36(const char* module, const char* property, int* value, int useDefault,
                                  int defaultValue) const;
  // Succeeds when the kit supports an "Audio" stream; 0x30802 otherwise.
  KrStatus CheckAudioStreamProperties36() const;
  // Builds the depth tables once and registers for "S2D" changes; records.
  KrStatus InitS2DTables36() const;
  // Refills both tables in place from the kit's current "S2D" and "D2S"
  // (sized by the current "MaxShift" and "DeviceMaxDepth"); entries past
  // them read 0. Records nothing.
  void RefreshS2DTables36() const;
  // Kit callback on a change of "Depth"/"S2D": refreshes both tables. The
  // cookie is the device.
  static void OnS2DTableChanged36(KrDeviceHandle sender, const char* module, const char* property, void* cookie);
  // Cancels the "S2D" registration, then frees both tables (close and
  // destruction paths).
  void ReleaseS2DTables36();

  // Stores status as the last status and returns it.
  KrStatus Record(KrStatus status) const {
    lastStatus = status;
    return status;
  }

  KrDeviceHandle deviceHandle;          // null while no kit device exists
  KrVDepthMap* depthMap;                // frame object of the first "Depth" stream
  KrVImageMap* imageMap;                // of the first "Image" stream (or irMap after a legacy open)
  KrVImageMap* irMap;                   // of the first "IR" stream
  KrVAudioBuffer* audioBuffer;          // of the first "Audio" stream
  int initialized;                      // the mirroring of the last creation completed
  int writeMode;                        // "ReadWriteMode" was 1 at a creation; never cleared
  int compatibility;                    // non-zero: the older behaviour on shared paths
  KrStreamDataSetHandle streamDataSet;  // one record per mirrored stream; what Read fills
  // Stream name (copied) to its per-stream module; std::less<> finds by
  // const char* without a copy.
  std::map<std::string, KrVDeviceStream*, std::less<>> streams;
  // Mutable: the const operations of the older interface record too.
  // Atomic: the client callback path records from the kit's event thread.
  mutable std::atomic<KrStatus> lastStatus;
  // Older client callbacks; not owned. Atomic: the event thread looks at it
  // without the frame lock.
  std::atomic<KrVDeviceCallbackHandler*> callbackHandler;
  char savedPrimaryStream[KR_MAX_NAME_LENGTH];  // "Device"/"PrimaryStream" kept by capture mode
  // The older interface's shift-to-depth and depth-to-shift tables
  // (65536 16-bit entries each, so every 16-bit index is inside; 16-byte
  // aligned, owned), with the bytes of each the kit filled at the last
  // refresh (the rest is 0). Built on the first request (a const read),
  // released when the device closes; a non-null shift-to-depth pointer
  // means both exist.
  mutable uint16_t* shiftToDepthTable;
  mutable uint32_t shiftToDepthTableSize;
  mutable uint16_t* depthToShiftTable;
  mutable uint32_t depthToShiftTableSize;
  // The kit registration that refreshes the tables on "S2D" changes;
  // cancelled before the tables are freed.
  mutable KrCallbackHandle s2dRegistration;
  // The device's own stream-collection registration, cancelled before
  // anything is freed so that no kit event reaches a released device.
  KrCallbackHandle streamsRegistration;
};
