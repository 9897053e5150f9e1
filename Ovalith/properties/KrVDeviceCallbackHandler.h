// KrVDeviceCallbackHandler: the older interface's client callbacks. A legacy
// application derives from it, overrides what it needs and registers the
// object with its device; the device calls it after a full read triggered by
// new depth, image or IR data (depth and image maps) and after a read of the
// audio stream (audio buffer). Every default does nothing and returns 1.
//
// The application owns the handler and keeps it alive while registered.
// A callback runs, with the device's frame lock held, on the thread that
// read the frame: the kit's event thread, or the application's own thread
// inside Read or the release of LockFrames (see KrVDevice.h). Each new frame
// reaches the handler once.
#pragma once

class KrVDevice;
class KrVDepthMap;
class KrVImageMap;
class KrVAudioBuffer;

// Data of a client's register write; opaque here, passed through unread.
struct KrCallbackSetRegData;

class KrVDeviceCallbackHandler {
 public:
  virtual ~KrVDeviceCallbackHandler() = default;
  virtual int OnNewDepthFrameAvailable(KrVDevice* /*device*/, KrVDepthMap& /*depthMap*/) { return 1; }
  virtual int OnNewImageFrameAvailable(KrVDevice* /*device*/, KrVImageMap& /*imageMap*/) { return 1; }
  virtual int OnNewAudioBufferAvailable(KrVDevice* /*device*/, KrVAudioBuffer& /*audioBuffer*/) { return 1; }
  virtual int OnNewClient(KrVDevice* /*device*/) { return 1; }
  virtual int OnClientSetReg(KrVDevice* /*device*/, KrCallbackSetRegData* /*data*/) { return 1; }
};
