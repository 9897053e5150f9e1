// The older interface's opens with init stream properties, its client
// callbacks driven by the kit's new-data event, and its frame-by-frame
// writing.
#include <Ovalith/Infrastructure/KrVDevice.h>

#include <Orvane/OrvaneLog.h>
#include <Ovalith/Infrastructure/KrVDeviceLegacy36Internal.h>
#include <Ovalith/framedata/KrVAudioBuffer.h>
#include <Ovalith/framedata/KrVDepthMap.h>
#include <Ovalith/framedata/KrVImageMap.h>
#include <Ovalith/properties/KrVCheckInternal.h>
#include <Ovalith/properties/KrVDeviceCallbackHandler.h>
#include <Ovalith/properties/KrVInitStreamProperties.h>
#include <Ovalith/properties/KrVPropertySet.h>
#include <Ovalith/properties/KrVStream.h>
#include <Tollan/TollanBC.h>

#include <cstdio>
#include <cstring>
#include <thread>

namespace krv36 {

namespace {

// Where a source device's stream values land in the layout.
struct SourceRow {
  const char* property;
  uint64_t* (*field)(StreamLayout&, bool image);
};

const SourceRow kPixelSource[] = {
    {"FPS", [](StreamLayout& l, bool image) { return &(image ? l.image : l.depth).fps; }},
    {"OutputFormat", [](StreamLayout& l, bool image) { return &(image ? l.image : l.depth).outputFormat; }},
    {"XRes", [](StreamLayout& l, bool image) { return &(image ? l.image : l.depth).xRes; }},
    {"YRes", [](StreamLayout& l, bool image) { return &(image ? l.image : l.depth).yRes; }},
};

const SourceRow kAudioSource[] = {
    {"OutputFormat", [](StreamLayout& l, bool) { return &l.audio.outputFormat; }},
    {"NumOfChannels", [](StreamLayout& l, bool) { return &l.audio.channels; }},
    {"SampleRate", [](StreamLayout& l, bool) { return &l.audio.sampleRate; }},
};

template <size_t N>
KrStatus ReadSource(KrVDevice& source, const char* stream, const SourceRow (&rows)[N], bool image,
                    StreamLayout* layout) {
  for (const SourceRow& row : rows) {
    uint64_t value = 0;
    KRV_RETURN_IF_FAILED(source.GetProperty(stream, row.property, value));
    *row.field(*layout, image) = value;
  }
  return KR_STATUS_OK;
}

}  // namespace

KrStatus SeedFromSource(KrVStreamContainer& container, KrStatus notADevice, StreamLayout* layout) {
  KrVDevice* source = dynamic_cast<KrVDevice*>(&container);
  if (source == nullptr) {
    return notADevice;
  }
  const struct {
    const char* name;
    int* wanted;
  } streams[] = {{"Depth", &layout->depth.wanted}, {"Image", &layout->image.wanted}, {"Audio", &layout->audio.wanted}};
  for (const auto& stream : streams) {
    int exists = 0;
    KRV_RETURN_IF_FAILED(source->DoesModuleExist(stream.name, &exists));
    if (exists == 0) {
      *stream.wanted = 0;
      continue;
    }
    const bool audio = stream.wanted == &layout->audio.wanted;
    KRV_RETURN_IF_FAILED(
        audio ? ReadSource(*source, stream.name, kAudioSource, false, layout)
              : ReadSource(*source, stream.name, kPixelSource, stream.wanted == &layout->image.wanted, layout));
  }
  return KR_STATUS_OK;
}

KrStatus AddStreams(KrVDevice& device, const StreamLayout& layout, bool withInputFormat) {
  const struct {
    const PixelLayout& pixels;
    const char* type;
    const char* name;
  } pixelStreams[] = {{layout.depth, "Depth", "Depth"}, {layout.image, layout.imageType, "Image"}};
  for (const auto& stream : pixelStreams) {
    if (stream.pixels.wanted == 0) {
      continue;
    }
    KrVPropertySet values;
    KRV_RETURN_IF_FAILED(values.AddProperty(stream.name, "OutputFormat", stream.pixels.outputFormat));
    KRV_RETURN_IF_FAILED(values.AddProperty(stream.name, "FPS", stream.pixels.fps));
    KRV_RETURN_IF_FAILED(values.AddProperty(stream.name, "XRes", stream.pixels.xRes));
    KRV_RETURN_IF_FAILED(values.AddProperty(stream.name, "YRes", stream.pixels.yRes));
    // An infra-red stream has no input format.
    if (withInputFormat && std::strcmp(stream.type, "IR") != 0) {
      KRV_RETURN_IF_FAILED(values.AddProperty(stream.name, "InputFormat", stream.pixels.inputFormat));
    }
    KRV_RETURN_IF_FAILED(device.AddStream(stream.type, stream.name, &values));
  }
  if (layout.audio.wanted != 0) {
    KrVPropertySet values;
    KRV_RETURN_IF_FAILED(values.AddProperty("Audio", "OutputFormat", layout.audio.outputFormat));
    KRV_RETURN_IF_FAILED(values.AddProperty("Audio", "NumOfChannels", layout.audio.channels));
    KRV_RETURN_IF_FAILED(values.AddProperty("Audio", "SampleRate", layout.audio.sampleRate));
    KRV_RETURN_IF_FAILED(device.AddStream("Audio", "Audio", &values));
  }
  return KR_STATUS_OK;
}

}  // namespace krv36

namespace {

using krv36::StreamLayout;

// The kind of new-data event a stream name raises (the bits of
// KrVDevice::kPixelEvent36 and kAudioEvent36); 0 for names the client
// callbacks ignore.
constexpr unsigned kPixelEvent = 1;
constexpr unsigned kAudioEvent = 2;

unsigned EventKind(const char* stream) {
  if (stream == nullptr) {
    return 0;
  }
  if (std::strcmp(stream, "Depth") == 0 || std::strcmp(stream, "Image") == 0 || std::strcmp(stream, "IR") == 0) {
    return kPixelEvent;
  }
  return std::strcmp(stream, "Audio") == 0 ? kAudioEvent : 0u;
}

// Served rounds of one outermost release: each round reads at most once per
// kind, and events keep arriving while a sensor runs, so a release that
// keeps meeting new ones leaves them to the next read or event.
constexpr int kMaxServeRounds = 4;

// One request of init stream properties: a value, when present, replaces
// the layout's.
KrStatus Take(const KrVInitStreamProperties& props, const char* stream, const char* property, uint64_t* field) {
  uint32_t value = 0;
  if (props.GetProperty(stream, property, value) == KR_STATUS_OK) {
    *field = value;
  }
  return KR_STATUS_OK;
}

// "OutputFormat" of a request is a legacy code of the stream's kind.
KrStatus TakeFormat(const KrVInitStreamProperties& props, const char* stream, KrStatus (*toOutput)(int32_t, uint32_t*),
                    uint64_t* field) {
  uint32_t code = 0;
  if (props.GetProperty(stream, "OutputFormat", code) != KR_STATUS_OK) {
    return KR_STATUS_OK;
  }
  uint32_t outputFormat = 0;
  KRV_RETURN_IF_FAILED(toOutput(static_cast<int32_t>(code), &outputFormat));
  *field = outputFormat;
  return KR_STATUS_OK;
}

KrStatus TakePixelRequest(const KrVInitStreamProperties& props, const char* stream,
                          KrStatus (*toOutput)(int32_t, uint32_t*), krv36::PixelLayout* pixels) {
  Take(props, stream, "XRes", &pixels->xRes);
  Take(props, stream, "YRes", &pixels->yRes);
  Take(props, stream, "FPS", &pixels->fps);
  if (toOutput != nullptr) {
    KRV_RETURN_IF_FAILED(TakeFormat(props, stream, toOutput, &pixels->outputFormat));
    Take(props, stream, "InputFormat", &pixels->inputFormat);
  }
  return KR_STATUS_OK;
}

// Settings a new recording takes from init stream properties, per stream
// requested, in this order; absent ones are skipped.
struct FileSettingRow {
  const char* stream;  // as listed in the init stream properties
  const char* module;  // on the file device
  const char* property;
};

const FileSettingRow kFileSettings[] = {
    {"Depth", "Depth", "XRes"},
    {"Depth", "Depth", "YRes"},
    {"Depth", "Depth", "FPS"},
    {"Image", "Image", "XRes"},
    {"Image", "Image", "YRes"},
    {"Image", "Image", "FPS"},
    {"IR", "IR", "XRes"},
    {"IR", "IR", "YRes"},
    {"IR", "IR", "FPS"},
    {"Audio", "Audio", "OutputFormat"},
    {"Audio", "Audio", "SampleRate"},
    {"Audio", "Audio", "NumOfChannels"},
};

// The bytes of a frame object's pixels, or UINT64_MAX when its resolution claims
// more than its matrix holds.
uint64_t PixelBytes(const KrVMatrix& matrix, uint64_t xRes, uint64_t yRes, uint64_t bytesPerPixel) {
  const uint64_t wanted = xRes * yRes * bytesPerPixel;
  const KrVContainer& held = matrix.GetContainer();
  const uint64_t available = static_cast<uint64_t>(held.GetCapacity()) * held.GetElSize();
  return wanted <= available ? wanted : UINT64_MAX;
}

}  // namespace

// ---- opening a sensor ----

KrStatus KrVDevice::OpenSensor(const char* connectionString, KrVStreamContainer* source,
                               KrVInitStreamProperties* initProps) {
  return GeneralOpenSensor("SensorV2", connectionString, source, initProps);
}

KrStatus KrVDevice::GeneralOpenSensor(const char* /*sensorType*/, const char* connectionString,
                                      KrVStreamContainer* source, KrVInitStreamProperties* initProps) {
  StreamLayout layout;
  layout.depth.outputFormat = 1;
  layout.image.outputFormat = 5;
  if (source != nullptr) {
    KRV_RETURN_IF_FAILED(Record(krv36::SeedFromSource(*source, KR_STATUS_QM_BAD_PARAMETER, &layout)));
  }

  bool anyRequested = false;
  if (initProps == nullptr) {
    anyRequested = true;
    layout.depth.open = 1;
    layout.image.open = 1;
  } else {
    if (initProps->IsStream("Depth") != 0) {
      layout.depth.open = 1;
      anyRequested = true;
      KRV_RETURN_IF_FAILED(Record(TakePixelRequest(*initProps, "Depth", KrBCDepthFormatToOutputFormat, &layout.depth)));
    }
    if (initProps->IsStream("Image") != 0) {
      layout.image.open = 1;
      anyRequested = true;
      KRV_RETURN_IF_FAILED(Record(TakePixelRequest(*initProps, "Image", KrBCImageFormatToOutputFormat, &layout.image)));
    }
    if (initProps->IsStream("IR") != 0) {
      // One stream carries both: the image and the infra-red picture.
      if (layout.image.open != 0) {
        krLogWrite("QMCore", 2, "Infrastructure/KrVDeviceBC36", 1062, "Can't turn on both image and IR streams!");
        return Record(KR_STATUS_QM_ILLEGAL_INPUT);
      }
      layout.image.open = 1;
      anyRequested = true;
      layout.imageType = "IR";
      TakePixelRequest(*initProps, "IR", nullptr, &layout.image);
    }
    if (initProps->IsStream("Audio") != 0) {
      layout.audio.open = 1;
      anyRequested = true;
      Take(*initProps, "Audio", "SampleRate", &layout.audio.sampleRate);
      Take(*initProps, "Audio", "NumOfChannels", &layout.audio.channels);
    }
  }

  KrVPropertySet initialValues;
  KRV_RETURN_IF_FAILED(
      Record(initialValues.AddProperty("Device", "ResetSensorOnStartup", static_cast<uint64_t>(anyRequested ? 1 : 0))));
  KRV_RETURN_IF_FAILED(Record(initialValues.AddProperty("Device", "HighResTimestamps", static_cast<uint64_t>(0))));
  KRV_RETURN_IF_FAILED(CreateSensor(connectionString, &initialValues, KR_DEVICE_SHARING_EXCLUSIVE));
  if (!anyRequested) {
    return Record(KR_STATUS_OK);
  }
  KRV_RETURN_IF_FAILED(Record(krv36::AddStreams(*this, layout, true)));

  const struct {
    const char* name;
    int wanted;
    int open;
  } streamsToOpen[] = {{"Depth", layout.depth.wanted, layout.depth.open},
                       {"Image", layout.image.wanted, layout.image.open},
                       {"Audio", layout.audio.wanted, layout.audio.open}};
  bool openAll = true;
  for (const auto& stream : streamsToOpen) {
    openAll = openAll && (stream.wanted == 0 || stream.open != 0);
  }
  if (openAll) {
    KRV_RETURN_IF_FAILED(OpenAllStreams());
  } else {
    for (const auto& stream : streamsToOpen) {
      if (stream.wanted != 0 && stream.open != 0) {
        KRV_RETURN_IF_FAILED(OpenStream(stream.name));
      }
    }
  }
  if (irMap != nullptr) {
    imageMap = irMap;
  }
  return Record(KR_STATUS_OK);
}

// ---- opening a recording ----

KrStatus KrVDevice::OpenFile(const char* fileName, KrDeviceMode mode, KrVStreamContainer* source,
                             KrVInitStreamProperties* initProps) {
  switch (mode) {
    case KR_DEVICE_MODE_READ:
      return OpenFileRead(fileName, source, initProps);
    case KR_DEVICE_MODE_WRITE:
      return OpenFileWrite(fileName, source, initProps);
    default:
      return Record(KR_STATUS_QM_BAD_PARAMETER);
  }
}

KrStatus KrVDevice::OpenFileRead(const char* fileName, KrVStreamContainer* /*source*/,
                                 KrVInitStreamProperties* /*initProps*/) {
  return OpenFileForReading(fileName);
}

KrStatus KrVDevice::OpenFileWrite(const char* fileName, KrVStreamContainer* source,
                                  KrVInitStreamProperties* initProps) {
  KrVPropertySet deviceValues;
  KrVDevice* sourceDevice = nullptr;
  if (source != nullptr) {
    sourceDevice = dynamic_cast<KrVDevice*>(source);
    if (sourceDevice == nullptr) {
      std::printf("Some other container?!\n");
      return Record(KR_STATUS_QM_BAD_PARAMETER);
    }
    KRV_RETURN_IF_FAILED(Record(sourceDevice->GetAllProperties(deviceValues, 1, nullptr)));
  }
  KRV_RETURN_IF_FAILED(CreateFileDevice(fileName, KR_DEVICE_MODE_WRITE, &deviceValues));
  KRV_RETURN_IF_FAILED(sourceDevice == nullptr ? ConfigureDefault() : ConfigureFileFrom36Device(*sourceDevice));

  if (initProps != nullptr) {
    for (const FileSettingRow& row : kFileSettings) {
      uint32_t value = 0;
      if (initProps->IsStream(row.stream) == 0 ||
          initProps->GetProperty(row.stream, row.property, value) != KR_STATUS_OK) {
        continue;
      }
      KRV_RETURN_IF_FAILED(SetProperty(row.module, row.property, static_cast<uint64_t>(value)));
    }
  }
  KRV_RETURN_IF_FAILED(OpenAllStreams());
  writeMode = 1;
  return Record(KR_STATUS_OK);
}

// ---- client callbacks ----
//
// Nobody waits for anybody here: the kit's event thread marks its event
// pending and serves it only if the frame lock is free; whoever holds the
// lock serves it otherwise (see KrVDevice.h). The handler is called for the
// frames a read published, once per new frame, after the outermost read.

KrVDevice::ReadScope36::ReadScope36(KrVDevice& owner, const char* name) : device(owner), streamName(name) {
  device.frameMutex.lock();
  ++device.frameLockDepth36;
  // Only the thread itself compares its id with this, so program order is
  // all the ordering it needs (a locked exchange here costs every read).
  if (device.readDepth36++ == 0) {
    device.readingThread36.store(std::this_thread::get_id(), std::memory_order_relaxed);
  }
  // The kit raises an event after it holds the frame, so this read takes
  // the frames of every event raised before it starts. One raised while it
  // runs stays pending: the read may have left the kit just before.
  const unsigned served = streamName == nullptr ? ~0u : EventKind(streamName);
  if ((device.pendingCallbacks36.load() & served) != 0) {
    device.pendingCallbacks36.fetch_and(~served);
  }
}

KrStatus KrVDevice::ReadScope36::Published(KrStatus status, const KrVStreamData* frame) {
  // A failed read calls nothing; without a handler nothing is kept for a
  // later one.
  if (status != KR_STATUS_OK || device.callbackHandler.load() == nullptr) {
    return status;
  }
  const struct {
    const KrVStreamData* object;
    unsigned bit;
  } kept[] = {{device.depthMap, kDepthFrame36}, {device.imageMap, kImageFrame36}, {device.audioBuffer, kAudioFrame36}};
  for (const auto& entry : kept) {
    if (entry.object != nullptr && (frame == nullptr || frame == entry.object) && entry.object->IsDataNew() != 0) {
      device.publishedFrames36 |= entry.bit;
    }
  }
  return status;
}

KrVDevice::ReadScope36::~ReadScope36() {
  if (--device.readDepth36 == 0) {
    device.readingThread36.store(std::thread::id(), std::memory_order_relaxed);
    // The handler's own calls record too; the read's outcome stays the last.
    const KrStatus kept = device.lastStatus;
    device.DeliverFrames36();
    device.lastStatus = kept;
  }
  // An application's read does not read again for events raised meanwhile:
  // they announced frames it has taken or that the next read takes.
  device.ReleaseFrameLock36(false);
}

void KrVDevice::DeliverFrames36() {
  // A read made by the handler adds to publishedFrames36; this loop hands
  // those over too, instead of nesting.
  if (delivering36) {
    return;
  }
  delivering36 = true;
  while (publishedFrames36 != 0) {
    const unsigned frames = publishedFrames36;
    publishedFrames36 = 0;
    // Looked up before each call: a handler may replace or clear itself.
    KrVDeviceCallbackHandler* handler = callbackHandler.load();
    if (handler != nullptr && (frames & kDepthFrame36) != 0 && depthMap != nullptr) {
      handler->OnNewDepthFrameAvailable(this, *depthMap);
    }
    handler = callbackHandler.load();
    if (handler != nullptr && (frames & kImageFrame36) != 0 && imageMap != nullptr) {
      handler->OnNewImageFrameAvailable(this, *imageMap);
    }
    handler = callbackHandler.load();
    if (handler != nullptr && (frames & kAudioFrame36) != 0 && audioBuffer != nullptr) {
      handler->OnNewAudioBufferAvailable(this, *audioBuffer);
    }
  }
  delivering36 = false;
}

void KrVDevice::ServePendingCallbacks36() {
  static_assert(kPixelEvent == kPixelEvent36 && kAudioEvent == kAudioEvent36, "event kinds agree");
  if (callbackHandler.load() == nullptr) {
    pendingCallbacks36.store(0);
    return;
  }
  const unsigned pending = pendingCallbacks36.exchange(0);
  // As the events ask: depth, image and IR read every stream, audio reads
  // its own. Each read calls the handler for what it brought.
  if ((pending & kPixelEvent36) != 0) {
    Read();
  }
  if ((pending & kAudioEvent36) != 0) {
    Read("Audio");
  }
}

void KrVDevice::ReleaseFrameLock36(bool serve) {
  if (!serve || frameLockDepth36 > 1) {
    --frameLockDepth36;
    frameMutex.unlock();
    return;
  }
  for (int round = 0;; ++round) {
    ServePendingCallbacks36();
    const KrStatus kept = lastStatus;
    --frameLockDepth36;
    frameMutex.unlock();
    lastStatus = kept;
    // An event that found the lock taken just before the release is served
    // here, unless its own thread took the lock first.
    if (round + 1 >= kMaxServeRounds || pendingCallbacks36.load() == 0 || !frameMutex.try_lock()) {
      return;
    }
    ++frameLockDepth36;
  }
}

KrVDevice::FrameLock::FrameLock(KrVDevice& owner) : device(&owner) {
  device->frameMutex.lock();
  ++device->frameLockDepth36;
}

void KrVDevice::FrameLock::unlock() {
  if (device != nullptr) {
    KrVDevice* owner = device;
    device = nullptr;
    owner->ReleaseFrameLock36(true);
  }
}

KrStatus KrVDevice::SetCallbackHandler(KrVDeviceCallbackHandler* handler) {
  FrameLock lock(*this);
  if (initialized == 0) {
    return Record(KR_STATUS_QM_NOT_INITIALIZED);
  }
  if (handler == nullptr) {
    callbackHandler.store(nullptr);
    pendingCallbacks36.store(0);
    publishedFrames36 = 0;
    // Without a handler the device hears no events at all. The kit waits
    // for a callback still running on another thread, which never waits
    // for the frame lock held here.
    if (callbackRegistration != nullptr && callbackRegisteredOn == deviceHandle) {
      KRV_RETURN_IF_FAILED(Record(KrDeviceProxyUnregisterFromNewStreamData(deviceHandle, callbackRegistration)));
    }
    callbackRegistration = nullptr;
    callbackRegisteredOn = nullptr;
    return Record(KR_STATUS_OK);
  }
  // One registration per kit device: a second handler replaces the first
  // instead of doubling every event.
  if (callbackRegisteredOn != deviceHandle) {
    KrCallbackHandle registration = nullptr;
    KRV_RETURN_IF_FAILED(
        Record(KrDeviceProxyRegisterToNewStreamData(deviceHandle, OnNewStreamDataCallback36, this, &registration)));
    callbackRegisteredOn = deviceHandle;
    callbackRegistration = registration;
  }
  callbackHandler.store(handler);
  return Record(KR_STATUS_OK);
}

void KrVDevice::OnNewStreamDataCallback36(const KrNewStreamDataEventArgs& args, void* cookie) {
  KrVDevice* device = static_cast<KrVDevice*>(cookie);
  const unsigned kind = EventKind(args.strStreamName);
  if (device == nullptr || kind == 0 || device->callbackHandler.load() == nullptr) {
    return;
  }
  // Raised inside this device's own read on this thread: that read
  // publishes the frame and then calls the handler.
  if (device->readingThread36.load(std::memory_order_relaxed) == std::this_thread::get_id()) {
    return;
  }
  device->pendingCallbacks36.fetch_or(kind);
  if (device->closing.load() != 0) {
    return;
  }
  // Taken: serve it (and whatever else is pending) now. Held: the holder
  // serves it when it reads or releases.
  if (!device->frameMutex.try_lock()) {
    return;
  }
  ++device->frameLockDepth36;
  device->ReleaseFrameLock36(true);
}

// ---- frame-by-frame writing ----

KrStatus KrVDevice::Write(const char* streamName, const char* data, uint32_t size, uint64_t timestamp) {
  std::lock_guard<std::recursive_mutex> guard(frameMutex);
  KrVStream stream;
  KRV_RETURN_IF_FAILED(Record(stream.Attach(this, streamName)));
  return Record(stream.CopyFrom(data, size, timestamp));
}

namespace {

// The name of the stream a frame object is bound to; null when unbound.
const char* BoundStreamName(const KrVStreamData& frame) {
  return frame.GetStream() != nullptr ? frame.GetStream()->GetName() : nullptr;
}

}  // namespace

KrStatus KrVDevice::Write(KrVDepthMap& map, uint64_t timestamp) {
  const char* name = BoundStreamName(map);
  if (name == nullptr) {
    return Record(KR_STATUS_QM_NOT_INITIALIZED);
  }
  const uint64_t bytes = PixelBytes(map.GetMatrix(), map.GetXRes(), map.GetYRes(), sizeof(uint16_t));
  if (bytes > UINT32_MAX) {
    return Record(KR_STATUS_QM_RESOLUTION_MISMATCH);
  }
  return Write(name, reinterpret_cast<const char*>(map.Data()), static_cast<uint32_t>(bytes), timestamp);
}

KrStatus KrVDevice::Write(KrVImageMap& map, uint64_t timestamp) {
  const char* name = BoundStreamName(map);
  if (name == nullptr) {
    return Record(KR_STATUS_QM_NOT_INITIALIZED);
  }
  const uint64_t bytes = PixelBytes(map.GetMatrix(), map.GetXRes(), map.GetYRes(), map.GetBytesPerPixel());
  if (bytes > UINT32_MAX) {
    return Record(KR_STATUS_QM_RESOLUTION_MISMATCH);
  }
  return Write(name, reinterpret_cast<const char*>(map.Data()), static_cast<uint32_t>(bytes), timestamp);
}

KrStatus KrVDevice::Write(KrVAudioBuffer& buffer, uint64_t timestamp) {
  const char* name = BoundStreamName(buffer);
  if (name == nullptr) {
    return Record(KR_STATUS_QM_NOT_INITIALIZED);
  }
  return Write(name, reinterpret_cast<const char*>(buffer.Data()), buffer.GetDataSize(), timestamp);
}

KrStatus KrVDevice::CommitWrite() { return Write(); }
