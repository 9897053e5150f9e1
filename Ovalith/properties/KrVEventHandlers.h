// The event interfaces that applications and the engine's own objects derive
// from: property changes of a module, new data of a stream, streams joining
// or leaving a device. The handler object itself is the registration's
// cookie. The application owns its handlers and keeps each alive until it
// has unregistered it.
//
// Threads: a handler runs on the thread that raises the event, which may be
// the kit's producer thread; property-change handlers of the frame fields
// ("Timestamp", "FrameId", ...) run inside KrVDevice::Read on the reading
// thread. Handlers must do their own locking if they share state.
#pragma once

// Told when a property of a module changes value.
class KrVModulePropertyChangedHandler {
 public:
  virtual ~KrVModulePropertyChangedHandler() = default;
  virtual void OnModulePropertyChanged(const char* module, const char* property) = 0;
};

// Told when a stream has a new frame to read.
class KrVNewDataFromStreamHandler {
 public:
  virtual ~KrVNewDataFromStreamHandler() = default;
  virtual void OnNewData(const char* streamName) = 0;
};

// Told when a stream joins or leaves a device.
class KrVStreamCollectionChangedHandler {
 public:
  virtual ~KrVStreamCollectionChangedHandler() = default;
  virtual void OnStreamAdded(const char* streamName) = 0;
  virtual void OnStreamRemoved(const char* streamName) = 0;
};
