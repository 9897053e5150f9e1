// ViewSession: the viewer's hold on its device, a sensor or a recording.
//
// One thread, the session's own, uses the device: it reads frames, turns
// each new one into a frame message for the sink, carries out the commands
// the page sends (property writes, recording, play/pause/step/seek), and
// every second describes the device (modules, properties, recording and
// playback position) in a JSON state text. Other threads only queue
// commands (Post) and read the last state (State); neither waits for the
// device. The device is opened by Open on the caller's thread before Start
// and closed by the destructor after Stop, so it is never used from two
// threads at once.
//
// Commands are texts of tab-separated fields, the first the command:
//   set MODULE PROPERTY VALUE     write a property (integer, real or text) of
//                                 a sensor; a recording's are read-only
//   record start [NAME] | record stop    a sensor only; NAME is a plain file
//                                 name (letters, digits, '.', '_', '-') that
//                                 does not exist yet in the record folder; the
//                                 default names it by time
//   play | pause | step           a recording only
//   seekframe N | seektime MICROSECONDS   a recording only (pauses it)
//   filter [TEXT]                 the depth filter chain, as KrVDepthFilterChain
//                                 parses it ("decimate=2,spatial,temporal,holes=nearest");
//                                 none, or no TEXT, turns filtering off. An
//                                 invalid chain is refused with the parser's
//                                 message and the chain stays as it was.
// Each command gets one JSON reply: {"type":"reply","command":...,"ok":...,
// "status":<the failure's text>,"text":<what was done>}. Every text in the
// JSON is valid UTF-8 (ViewJson.h), whatever bytes the device holds.
//
// Depth frames go out through the session's filter chain (one per session,
// on the device's depth stream; its temporal state starts afresh on a seek,
// a property write to the depth stream or a frame of another size), and
// after each one a colours message (ViewFrames.h) of the same id for the
// cloud's points, every kColourStep-th pixel of every kColourStep-th row:
// each takes the colour of the image pixel that shows its point
// (KrVFrameAligner::FindImagePixels, with the filtered grid's camera,
// the image's and the motion between them as the device reports them now);
// a pixel without depth, or one the colour camera does not see, takes the
// neutral grey kNeutralColour.
//
// A recording opens paused on frame 1 and starts playing when the first page
// connects (PageConnected), so nobody misses its start; at its end the last
// frames stay the newest ones the sink was given.
//
// Ownership: the session owns its device, its recorder and its thread; the
// sink is the caller's and must outlive the session's thread (Stop).
#pragma once

#include "ToolCommon.h"
#include "ViewFrames.h"

#include <Ovalith/Ovalith.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace ovalith_view {

// Where the session's output goes; called on the session's thread.
class FrameSink {
 public:
  virtual ~FrameSink() = default;
  // A frame of the stream with that index (fixed for the session).
  virtual void PublishFrame(size_t stream, const Message& message) = 0;
  // A state text for every client.
  virtual void PublishText(const std::string& text) = 0;
};

// The cloud's points are every kColourStep-th pixel of every kColourStep-th
// row of the depth frame (page/cloud.js takes the same ones).
constexpr uint32_t kColourStep = 2;
// The colour of cloud points the colour camera does not see (RGB).
constexpr uint8_t kNeutralColour[3] = {160, 160, 160};

struct ViewOptions {
  std::string connection;  // a sensor ("*:0" when neither is given)
  std::string file;        // or a recording
  std::vector<std::string> streams = {"depth", "image", "ir", "audio"};
  std::string recordFolder = ".";
  std::string filter;  // the depth filter chain at the start (empty: none)
};

class ViewSession {
 public:
  using Reply = std::function<void(const std::string& json)>;

  ViewSession(ViewOptions options, FrameSink* sink);
  // Stops the thread, a recording still running (its file is finished) and
  // closes the device.
  ~ViewSession();
  ViewSession(const ViewSession&) = delete;
  ViewSession& operator=(const ViewSession&) = delete;

  // Opens the device and its streams (a recording: shows its frame 1);
  // false after a report on standard error.
  bool Open();
  void Start();
  // Stops the thread and finishes a recording still running (index and
  // trailer written). False when that recording could not be finished (after
  // a report on standard error).
  bool Stop();
  // A page has connected: a recording waiting for its first viewer starts
  // playing. Any thread.
  void PageConnected();

  // Queues a command; reply is called once, on the session's thread (or not
  // at all when the session stops first). Any thread.
  void Post(const std::string& command, Reply reply);
  // The last state text. Any thread.
  std::string State() const;

  // One read of the device and the messages of its new frames, on the
  // caller's thread (the session's thread must not run). False at the end of
  // a recording or on a failed read.
  bool ReadAndPublish();

 private:
  struct Stream {
    std::string name;
    FrameKind kind;
    KrVStreamData* data;
  };
  struct Command {
    std::string text;
    Reply reply;
  };

  void Run();
  void Execute(const Command& command);
  std::string SetProperty(const std::vector<std::string>& fields, bool* ok);
  std::string Record(const std::vector<std::string>& fields, bool* ok);
  std::string Seek(const std::vector<std::string>& fields, bool* ok);
  std::string SetFilter(const std::vector<std::string>& fields, bool* ok);
  // The depth frame's message (filtered) and its colours.
  void PublishDepth(size_t index);
  void PublishColours(const KrVDepthImage* filtered, const KrVDepthMap& depth, const GridCamera& grid);
  // The cameras as the device reports them now.
  void ReadCameras();
  bool ReadForPlayback();
  void PublishState();
  std::string PropertiesJson();
  bool WaitForCommand(std::chrono::steady_clock::time_point until);

  ViewOptions options_;
  FrameSink* sink_;
  ovalith_tool::Source source_;
  std::vector<Stream> streams_;
  // The depth filters and their frames (kept between frames, so their memory is).
  std::unique_ptr<KrVDepthFilterChain> filters_ = std::make_unique<KrVDepthFilterChain>();
  KrVDepthImage filterInput_, filterOutput_;
  // The cameras for colouring: read again after a property write or when a
  // frame's size differs from theirs.
  bool camerasRead_ = false;
  bool depthCameraKnown_ = false, imageCameraKnown_ = false;
  KrVCameraIntrinsics depthCamera_, imageCamera_;
  KrVCameraExtrinsics depthToImage_;
  std::vector<uint16_t> gridDepth_;  // the depth of the cloud's points
  std::vector<int> imagePixels_;     // per cloud point, the image pixel that shows it
  std::unique_ptr<KrVDeviceRecorder> recorder_;
  std::string recordingFile_;
  uint64_t recordedReads_ = 0;
  std::string lastFailure_;

  // Playback of a recording: the frame and time shown, and the clock that
  // paces it (frame time playAnchorTime is shown at playAnchor).
  bool playing_ = true;
  bool waitingForPage_ = false;  // a recording paused on frame 1 until a page connects
  bool ended_ = false;
  uint32_t shownFrame_ = 0;
  uint64_t shownTime_ = 0;
  uint64_t totalFrames_ = 0;
  std::chrono::steady_clock::time_point playAnchor_;
  uint64_t playAnchorTime_ = 0;
  bool anchorSet_ = false;
  // Properties refused as read-only so far ("Module.Property"): the page
  // stops offering them, and they are refused without asking the device.
  std::set<std::string> readOnly_;
  int recordFolder_ = -1;  // the record folder, open (a sensor only)

  std::thread thread_;
  mutable std::mutex mutex_;  // guards the fields below
  std::condition_variable wake_;
  std::deque<Command> commands_;
  bool stopping_ = false;
  bool pageConnected_ = false;
  std::string state_ = "{}";
};

}  // namespace ovalith_view
