// KrVStreamData: the base of every frame object. It is bound to one stream
// of a device and shows the stream's current frame (data address and size,
// time stamp, frame id, new-data mark), and keeps the derived classes'
// frame properties (resolution, depth range, formats) in step with the
// stream's properties.
//
// Following the stream: the object subscribes to changes of chosen stream
// properties (its watched properties) and then re-reads its derived
// properties, at once, or (deferred objects) at the next
// UnderlyingStreamUpdated, which the device calls after every read and which
// also copies the frame fields ("Timestamp", "FrameId", "IsNew",
// "BufferSize"). ReadPropertiesFromStream is a chain: each derived class
// first runs its base class's version.
//
// The device publishes the frame fields (and so raises "BufferSize") with
// every frame. The device hands its own frame objects the field properties
// themselves for the duration of the call, so a read costs no lookup by
// name; and a deferred object that heard only of "BufferSize" re-reads only
// when the re-read would show something new (FrameSizeNeedsReread).
//
// Ownership: the object owns its own stream handle (a second handle on the
// device's stream) and its own subscriptions. A copy (construction or
// assignment) gets its own handle on the same stream and subscribes again
// to the same properties, so copies and their sources can be destroyed in
// any order; a subscription the device refuses while copying is left out.
// The device must outlive every frame object bound to it.
//
// Choices of this implementation:
// - a frame-field read that fails in UnderlyingStreamUpdated keeps the
//   field's previous value;
// - Initialize re-binds to another stream; the object's own watched
//   properties move with it (unsubscribed from the old stream, subscribed on
//   the new one);
// - a live object without a stream fails its setters with KR_STATUS_QM_ERROR.
//
// Threads: change notifications arrive on the thread that raises the
// device's property events; UnderlyingStreamUpdated runs on the reading
// thread. No locking: with deferred set, a notification only sets a mark and
// the re-read runs on the reading thread.
#pragma once

#include <Ovalith/Infrastructure/KrVStatus.h>
#include <Ovalith/properties/KrVEventHandlers.h>
#include <Ovalith/properties/KrVStream.h>

class KrActualIntProperty;
class KrVDevice;

class KrVStreamData : public KrVModulePropertyChangedHandler {
 public:
  // Binds to a second handle on stream (unbound when stream is null). live:
  // watch "Buffer" and write the setters through to the stream. deferred:
  // re-read at the next data update instead of at each notification.
  KrVStreamData(KrVStream* stream = nullptr, int live = 0, int deferred = 0);
  KrVStreamData(const KrVStreamData& other);
  KrVStreamData& operator=(const KrVStreamData& other);
  ~KrVStreamData() override;

  // The frame-field properties of the stream's per-stream module, as the
  // device holds them; all four set. Borrowed for one call, never kept.
  struct FrameFieldProperties {
    const KrActualIntProperty* timestamp;   // "Timestamp"
    const KrActualIntProperty* frameId;     // "FrameId"
    const KrActualIntProperty* isNew;       // "IsNew"
    const KrActualIntProperty* bufferSize;  // "BufferSize"
  };

  int IsValid() const { return valid; }
  int IsLive() const { return live; }
  int IsDataNew() const { return dataNew; }
  unsigned long long GetTimestamp() const { return timestamp; }
  unsigned int GetFrameID() const { return frameId; }
  unsigned int GetDataSize() const { return dataSize; }
  // The stream's buffer as last read.
  const void* Data() const { return data; }
  void* Data() { return data; }
  KrVStream* GetStream() const { return stream; }
  // The device the stream handle names; null without a stream.
  KrVStreamContainer* GetCreator() const;

  // Store a frame field; a live object writes the stream's property first
  // and keeps the field unchanged when that write fails.
  KrStatus SetTimestamp(unsigned long long value);
  KrStatus SetFrameID(unsigned int value);
  KrStatus SetDataSize(unsigned int value);
  KrStatus SetDataNew(int value);

  // Copies a frame into the bound stream (see KrVStream::CopyFrom).
  KrStatus CopyFrom(const void* buffer, unsigned int size, unsigned long long frameTimestamp);
  // Copies other's current frame into the bound stream; a timestamp of 0
  // takes other's.
  KrStatus CopyFrom(const KrVStreamData& other, unsigned long long frameTimestamp);
  // Binds to other's stream and takes its new-data mark, time stamp and
  // frame id; KR_STATUS_QM_NOT_INITIALIZED when other is not bound.
  KrStatus Initialize(const KrVStreamData& other);

 protected:
  friend class KrVDevice;

  // Subscribes to changes of one stream property (name stored, not copied:
  // pass text that outlives the object). KR_STATUS_QM_ERROR when unbound.
  KrStatus AddWatchedProperty(const char* property);
  void SetValidity(int isValid) { valid = isValid; }
  // Called after each data update of the stream: re-reads when marked, then
  // copies the frame fields. KR_STATUS_QM_ERROR when unbound.
  KrStatus UnderlyingStreamUpdated();
  // The same, for the device that holds the stream's frame fields: reads
  // them from fields instead of by name. Only for an object bound to the
  // stream whose module holds fields.
  KrStatus UnderlyingStreamUpdated(const FrameFieldProperties& fields);
  // Re-reads the derived properties; this level reads "Buffer".
  virtual KrStatus ReadPropertiesFromStream();
  // Whether a deferred re-read asked for by "BufferSize" alone, now size,
  // would change what the object shows; this level: always (a derived class
  // that watches "BufferSize" knows better).
  virtual bool FrameSizeNeedsReread(unsigned int size) const;
  // 1 while a notification awaits its deferred re-read.
  int ArePropertiesChanged() const { return propertiesChanged != 0 || sizeChanged != 0 ? 1 : 0; }
  // Reads the stream's capacity ("RequiredDataSize"), then "Buffer" again
  // (asking the capacity may move the buffer); for the levels that view the
  // buffer. On failure the capacity is 0.
  KrStatus ReadBufferCapacity();
  // Bytes the stream's buffer holds as last read by ReadBufferCapacity (0
  // when a read failed or "Buffer" is null). Views over the buffer stay
  // within it.
  unsigned int BufferCapacity() const { return capacity; }

 private:
  struct WatchedProperty;

  void OnModulePropertyChanged(const char* module, const char* property) override;
  // Runs a deferred re-read that a notification asked for. size: the
  // frame's "BufferSize" as published, null when not known (then a
  // "BufferSize" notification re-reads too).
  KrStatus RereadIfChanged(const uint64_t* size);
  // Takes other's fields, own handle and own subscriptions (this is unbound).
  void CopyBinding(const KrVStreamData& other);
  // Subscribes to one property on the current handle and records it.
  KrStatus Subscribe(const char* property);
  // Subscribes once more to every watched property, on the current handle.
  void SubscribeAll(const WatchedProperty* first);
  void UnsubscribeAll();
  void FreeWatchList();
  void ReleaseBinding();

  int live;
  int deferred;
  WatchedProperty* watched;      // subscriptions in the order they were made
  WatchedProperty* watchedLast;  // where the next one is appended
  int propertiesChanged;         // a watched property other than "BufferSize" changed
  int sizeChanged;               // "BufferSize" was raised (maybe with the same value)
  KrVStream* stream;             // owned handle, or null when unbound
  int valid;
  int dataNew;
  unsigned long long timestamp;
  unsigned int frameId;
  void* data;
  unsigned int dataSize;
  unsigned int capacity;  // bytes at data, as read with it
};
