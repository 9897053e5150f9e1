// The viewer's device thread: frames, commands and state (see ViewSession.h).
#include "ViewSession.h"

#include "ViewJson.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sstream>

namespace ovalith_view {
namespace {

using Clock = std::chrono::steady_clock;

// How often the state goes out while nothing else changes it.
constexpr auto kStatePeriod = std::chrono::seconds(1);
// Commands carried out between two reads at most, so a flood of them does
// not hold up the frames.
constexpr size_t kCommandsPerRound = 16;
// Reads in a row that may bring a damaged chunk before playback stops.
constexpr int kMaxDamagedInARow = 1000;
// Frame fields every stream module carries; the page shows them per frame.
const char* const kFrameFields[] = {"Timestamp", "FrameId", "IsNew", "BufferSize", "Buffer"};

struct KindRow {
  const char* type;
  FrameKind kind;
};
const KindRow kKinds[] = {
    {"Depth", FrameKind::kDepth}, {"Image", FrameKind::kImage}, {"IR", FrameKind::kIR}, {"Audio", FrameKind::kAudio}};

std::string Quoted(const std::string& text) { return JsonText(text); }

std::string RealText(double value) { return ovalith_tool::RealText(value, false); }

std::vector<std::string> SplitFields(const std::string& text) {
  std::vector<std::string> fields;
  std::string field;
  std::istringstream in(text);
  while (std::getline(in, field, '\t')) fields.push_back(field);
  return fields;
}

// A whole decimal number that fits; false for anything else.
bool ParseUnsigned(const std::string& text, uint64_t* value) {
  if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) return false;
  errno = 0;
  *value = std::strtoull(text.c_str(), nullptr, 10);
  return errno == 0;
}

// A decimal real as people write it: [+-]digits[.digits][e[+-]digits], no
// spaces, no hexadecimal, no infinity or not-a-number; false for anything else.
bool ParseReal(const std::string& text, double* value) {
  size_t i = 0, digits = 0;
  const auto digitsAt = [&text](size_t* at) {
    size_t n = 0;
    while (*at < text.size() && text[*at] >= '0' && text[*at] <= '9') ++*at, ++n;
    return n;
  };
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  digits = digitsAt(&i);
  if (i < text.size() && text[i] == '.') ++i, digits += digitsAt(&i);
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    if (digitsAt(&i) == 0) return false;
  }
  if (i != text.size()) return false;
  *value = std::strtod(text.c_str(), nullptr);
  return std::isfinite(*value);
}

// A recording's file name from the page: a plain name, no folders.
bool PlainFileName(const std::string& name) {
  return !name.empty() && name.size() < 100 && name[0] != '.' &&
         name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789._-") ==
             std::string::npos;
}

std::string StatusText(KrStatus status) { return krGetStatusString(status); }

const KrVDepthMap* DepthOf(const KrVStreamData* data) { return dynamic_cast<const KrVDepthMap*>(data); }

// The RGB of image pixel at (of count pixels) in the image's output format;
// false for a format the viewer does not colour with.
bool PixelColour(const uint8_t* bytes, unsigned int format, size_t at, uint8_t rgb[3]) {
  const auto clamp = [](double x) { return static_cast<uint8_t>(x < 0 ? 0 : x > 255 ? 255 : x); };
  switch (format) {
    case KR_OUTPUT_FORMAT_RGB24:
      std::memcpy(rgb, bytes + at * 3, 3);
      return true;
    case KR_OUTPUT_FORMAT_GRAYSCALE8:
      rgb[0] = rgb[1] = rgb[2] = bytes[at];
      return true;
    case KR_OUTPUT_FORMAT_GRAYSCALE16: {
      uint16_t grey = 0;
      std::memcpy(&grey, bytes + at * 2, 2);
      rgb[0] = rgb[1] = rgb[2] = static_cast<uint8_t>(std::min(255, grey >> 2));
      return true;
    }
    case KR_OUTPUT_FORMAT_YUV422: {
      // Y0 U Y1 V for each pair of pixels.
      const uint8_t* pair = bytes + (at & ~size_t{1}) * 2;
      const double y = pair[(at & 1) * 2], u = pair[1] - 128.0, v = pair[3] - 128.0;
      rgb[0] = clamp(y + 1.402 * v);
      rgb[1] = clamp(y - 0.344136 * u - 0.714136 * v);
      rgb[2] = clamp(y + 1.772 * u);
      return true;
    }
    default:
      return false;
  }
}

}  // namespace

ViewSession::ViewSession(ViewOptions options, FrameSink* sink) : options_(std::move(options)), sink_(sink) {}

ViewSession::~ViewSession() {
  Stop();
  if (recordFolder_ >= 0) close(recordFolder_);
}

bool ViewSession::Open() {
  std::vector<std::string> types;
  for (const std::string& name : options_.streams) types.push_back(ovalith_tool::StreamTypeOf(name));
  const ovalith_tool::OptionalText connection{options_.connection, !options_.connection.empty()};
  const ovalith_tool::OptionalText file{options_.file, !options_.file.empty()};
  if (!ovalith_tool::OpenEither(connection, file, types, &source_)) return false;
  KrVDevice& device = *source_.device;
  std::vector<std::string> names;
  if (!ovalith_tool::StreamNames(device, &names)) return false;
  for (const std::string& name : names) {
    std::string type;
    KrVStreamData* data = nullptr;
    if (!ovalith_tool::GetText(device, name.c_str(), "Type", &type) ||
        !ovalith_tool::Check(device.GetStreamData(name.c_str(), data), "cannot reach stream " + name)) {
      return false;
    }
    for (const KindRow& row : kKinds) {
      if (type == row.type) streams_.push_back({name, row.kind, data});
    }
  }
  std::string error;
  if (!options_.filter.empty() && options_.filter != "none" &&
      filters_->Parse(options_.filter, &error) != KR_STATUS_OK) {
    std::fprintf(stderr, "ovalith view: --filter %s: %s\n", options_.filter.c_str(), error.c_str());
    return false;
  }
  if (source_.isFile) {
    device.GetProperty("Device", "NumberOfFrames", totalFrames_);
    // Paused on frame 1 until someone watches.
    playing_ = false;
    waitingForPage_ = true;
    ReadForPlayback();
  } else {
    recordFolder_ = open(options_.recordFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  }
  PublishState();
  return true;
}

void ViewSession::Start() {
  thread_ = std::thread([this] { Run(); });
}

bool ViewSession::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
  if (!recorder_) return true;
  const KrStatus status = recorder_->StopRecording();
  recorder_.reset();
  if (status != KR_STATUS_OK) {
    std::fprintf(stderr, "ovalith view: cannot finish the recording %s: %s\n", recordingFile_.c_str(),
                 StatusText(status).c_str());
    return false;
  }
  std::printf("ovalith view: finished the recording %s\n", recordingFile_.c_str());
  return true;
}

void ViewSession::PageConnected() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pageConnected_ = true;
  }
  wake_.notify_all();
}

void ViewSession::Post(const std::string& command, Reply reply) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    commands_.push_back({command, std::move(reply)});
  }
  wake_.notify_all();
}

std::string ViewSession::State() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_;
}

bool ViewSession::WaitForCommand(Clock::time_point until) {
  std::unique_lock<std::mutex> lock(mutex_);
  wake_.wait_until(lock, until,
                   [this] { return stopping_ || !commands_.empty() || (waitingForPage_ && pageConnected_); });
  return !stopping_;
}

void ViewSession::Run() {
  auto nextState = Clock::now() + kStatePeriod;
  for (;;) {
    std::vector<Command> commands;
    bool startPlaying = false;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (stopping_) return;
      while (!commands_.empty() && commands.size() < kCommandsPerRound) {
        commands.push_back(std::move(commands_.front()));
        commands_.pop_front();
      }
      startPlaying = waitingForPage_ && pageConnected_;
    }
    if (startPlaying) {
      waitingForPage_ = false;
      playing_ = true;
      anchorSet_ = false;
    }
    for (const Command& command : commands) Execute(command);
    if (startPlaying) PublishState();
    if (Clock::now() >= nextState) {
      PublishState();
      nextState = Clock::now() + kStatePeriod;
    }
    if (!source_.isFile) {
      // A paced sensor's read waits for its next frame; a failing one is
      // retried at a calm pace.
      if (!ReadAndPublish() && !WaitForCommand(Clock::now() + std::chrono::milliseconds(100))) return;
      continue;
    }
    if (!playing_) {
      if (!WaitForCommand(nextState)) return;
      continue;
    }
    // Playback keeps the recording's own pace.
    uint64_t next = 0;
    if (source_.device->TellTime(&next) == KR_STATUS_OK && anchorSet_ && next > playAnchorTime_) {
      const auto due = playAnchor_ + std::chrono::microseconds(next - playAnchorTime_);
      if (due > Clock::now()) {
        if (!WaitForCommand(std::min(due, nextState))) return;
        continue;
      }
    }
    if (!anchorSet_) {
      playAnchor_ = Clock::now();
      playAnchorTime_ = next;
      anchorSet_ = true;
    }
    if (!ReadAndPublish()) {
      playing_ = false;
      PublishState();
    }
  }
}

bool ViewSession::ReadAndPublish() {
  KrVDevice& device = *source_.device;
  KrStatus status = device.Read();
  for (int damaged = 0; status == KR_STATUS_TL_FILE_CORRUPT && source_.isFile && damaged < kMaxDamagedInARow;
       ++damaged) {
    status = device.Read();
  }
  if (status == KR_STATUS_TL_END_OF_FILE) {
    ended_ = true;
    return false;
  }
  if (status != KR_STATUS_OK) {
    lastFailure_ = "read: " + StatusText(status);
    return false;
  }
  // Depth goes last, so its colours come from the image this read brought.
  size_t depthIndex = streams_.size();
  for (size_t i = 0; i < streams_.size(); ++i) {
    const Stream& stream = streams_[i];
    if (!stream.data->IsDataNew()) continue;
    if (i == 0 && source_.isFile) {
      uint32_t next = 0;
      if (device.TellFrame(&next) == KR_STATUS_OK && next > 0) shownFrame_ = next - 1;
      shownTime_ = stream.data->GetTimestamp();
    }
    if (stream.kind == FrameKind::kDepth && depthIndex == streams_.size()) {
      depthIndex = i;
    } else if (Message message = EncodeFrame(stream.kind, *stream.data)) {
      sink_->PublishFrame(i, message);
    }
  }
  if (depthIndex < streams_.size()) PublishDepth(depthIndex);
  if (recorder_) {
    const KrStatus written = recorder_->WriteData();
    if (written != KR_STATUS_OK) {
      lastFailure_ = "recording " + recordingFile_ + ": " + StatusText(written);
      recorder_->StopRecording();
      recorder_.reset();
      PublishState();
    } else {
      ++recordedReads_;
    }
  }
  return true;
}

// Reads until the first stream (the recording's primary one) shows a new
// frame, for a step or a seek.
bool ViewSession::ReadForPlayback() {
  if (streams_.empty()) return false;
  for (;;) {
    if (!ReadAndPublish()) return false;
    if (streams_[0].data->IsDataNew()) return true;
  }
}

void ViewSession::Execute(const Command& command) {
  const std::vector<std::string> fields = SplitFields(command.text);
  const std::string name = fields.empty() ? std::string() : fields[0];
  bool ok = false;
  // Whatever the page does with a recording, it no longer waits for a page.
  waitingForPage_ = false;
  std::string text;
  if (name == "set") {
    text = SetProperty(fields, &ok);
  } else if (name == "record") {
    text = Record(fields, &ok);
  } else if (name == "filter") {
    text = SetFilter(fields, &ok);
  } else if (!source_.isFile &&
             (name == "play" || name == "pause" || name == "step" || name == "seekframe" || name == "seektime")) {
    text = "a sensor cannot " + name;
  } else if (name == "play" || name == "pause") {
    ok = fields.size() == 1;
    if (ok && name == "play" && ended_) {
      ok = source_.device->SeekFrame(1) == KR_STATUS_OK;
      ended_ = !ok;
      filters_->Reset();
    }
    playing_ = ok ? name == "play" : playing_;
    anchorSet_ = false;
    text = ok ? (playing_ ? "playing" : "paused") : "cannot " + name;
  } else if (name == "step") {
    playing_ = false;
    ok = fields.size() == 1 && ReadForPlayback();
    text = ok ? "frame " + std::to_string(shownFrame_) : ended_ ? "the recording has ended" : "cannot step";
  } else if (name == "seekframe" || name == "seektime") {
    text = Seek(fields, &ok);
  } else {
    text = "unknown command";
  }
  std::string reply = "{\"type\":\"reply\",\"command\":" + Quoted(name) + ",\"ok\":" + (ok ? "true" : "false") + ",\"" +
                      (ok ? "text" : "status") + "\":" + Quoted(text) + "}";
  // The state shows what the command did before its reply arrives, so a page
  // that asks for it after the reply never sees the old value.
  PublishState();
  if (command.reply) command.reply(reply);
}

std::string ViewSession::SetProperty(const std::vector<std::string>& fields, bool* ok) {
  if (fields.size() != 4) return "set needs a module, a property and a value";
  // The page shows a recording's properties read-only: they are what was recorded.
  if (source_.isFile) return "a recording's properties are read-only";
  if (readOnly_.count(fields[1] + "." + fields[2]) != 0) return StatusText(KR_STATUS_TL_PROPERTY_READ_ONLY);
  KrVDevice& device = *source_.device;
  const char* module = fields[1].c_str();
  const char* property = fields[2].c_str();
  KrPropertyType type = KR_PROPERTY_TYPE_INTEGER;
  KrStatus status = device.GetPropertyType(module, property, type);
  if (status != KR_STATUS_OK) return StatusText(status);
  uint64_t integer = 0;
  double real = 0;
  switch (type) {
    case KR_PROPERTY_TYPE_INTEGER:
      if (!ParseUnsigned(fields[3], &integer)) return "not a whole number: " + fields[3];
      status = device.SetProperty(module, property, integer);
      break;
    case KR_PROPERTY_TYPE_REAL:
      if (!ParseReal(fields[3], &real)) return "not a number: " + fields[3];
      status = device.SetProperty(module, property, real);
      break;
    case KR_PROPERTY_TYPE_STRING:
      status = device.SetProperty(module, property, fields[3].c_str());
      break;
    default:
      return "the viewer does not write general values";
  }
  if (status == KR_STATUS_TL_PROPERTY_READ_ONLY) readOnly_.insert(fields[1] + "." + fields[2]);
  if (status != KR_STATUS_OK) return StatusText(status);
  // A mode, calibration or registration may have changed.
  camerasRead_ = false;
  for (const Stream& stream : streams_) {
    if (stream.kind == FrameKind::kDepth && stream.name == fields[1]) filters_->Reset();
  }
  *ok = true;
  return fields[1] + "." + fields[2] + " = " + fields[3];
}

std::string ViewSession::Record(const std::vector<std::string>& fields, bool* ok) {
  if (source_.isFile) return "a recording cannot be recorded again";
  const std::string action = fields.size() > 1 ? fields[1] : std::string();
  if (action == "stop" && fields.size() == 2) {
    if (!recorder_) return "not recording";
    const KrStatus status = recorder_->StopRecording();
    recorder_.reset();
    if (status != KR_STATUS_OK) return "cannot finish " + recordingFile_ + ": " + StatusText(status);
    *ok = true;
    return recordingFile_;
  }
  if (action != "start" || fields.size() > 3) return "record start [NAME] or record stop";
  if (recorder_) return "already recording into " + recordingFile_;
  std::string name = fields.size() == 3 ? fields[2] : std::string();
  if (name.empty()) {
    char stamp[64];
    const std::time_t now = std::time(nullptr);
    std::tm local = {};
    localtime_r(&now, &local);
    std::strftime(stamp, sizeof(stamp), "view-%Y%m%d-%H%M%S.rec", &local);
    name = stamp;
  }
  if (!PlainFileName(name)) return "not a plain file name: " + name;
  const std::string path = options_.recordFolder + "/" + name;
  if (recordFolder_ < 0) return "cannot open the record folder " + options_.recordFolder;
  // The file is made here, in the folder itself: never one that exists, nor
  // through a link (even a dangling one). The recorder then opens that very
  // file by its descriptor, whatever happens to the name meanwhile.
  const int fd = openat(recordFolder_, name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
  if (fd < 0) {
    return errno == EEXIST ? path + " exists already" : "cannot create " + path + ": " + std::strerror(errno);
  }
  const std::string opened = "/proc/self/fd/" + std::to_string(fd);
  auto recorder = std::make_unique<KrVDeviceRecorder>(source_.device.get(), opened.c_str());
  const KrStatus status = recorder->StartRecording(1);
  close(fd);
  if (status != KR_STATUS_OK) {
    unlinkat(recordFolder_, name.c_str(), 0);
    return "cannot record into " + path + ": " + StatusText(status);
  }
  recorder_ = std::move(recorder);
  recordingFile_ = path;
  recordedReads_ = 0;
  *ok = true;
  return path;
}

std::string ViewSession::Seek(const std::vector<std::string>& fields, bool* ok) {
  uint64_t value = 0;
  if (fields.size() != 2 || !ParseUnsigned(fields[1], &value)) return fields[0] + " needs a whole number";
  KrVDevice& device = *source_.device;
  KrStatus status = KR_STATUS_OK;
  if (fields[0] == "seekframe") {
    status = value > UINT32_MAX ? KR_STATUS_TL_FRAME_NOT_FOUND : device.SeekFrame(static_cast<uint32_t>(value));
  } else {
    status = device.SeekTime(value);
  }
  if (status != KR_STATUS_OK) return StatusText(status);
  playing_ = false;
  ended_ = false;
  anchorSet_ = false;
  filters_->Reset();
  if (!ReadForPlayback()) return "no frame there";
  *ok = true;
  return "frame " + std::to_string(shownFrame_) + " at " + std::to_string(shownTime_) + " us";
}

std::string ViewSession::SetFilter(const std::vector<std::string>& fields, bool* ok) {
  if (fields.size() > 2) return "filter needs one text";
  const std::string text = fields.size() == 2 ? fields[1] : std::string();
  if (text.empty() || text == "none") {
    filters_ = std::make_unique<KrVDepthFilterChain>();
  } else {
    std::string error;
    if (filters_->Parse(text, &error) != KR_STATUS_OK) return error;
  }
  *ok = true;
  // A paused recording shows its frame again, through the new chain.
  if (source_.isFile && !playing_) {
    for (size_t i = 0; i < streams_.size(); ++i) {
      if (streams_[i].kind == FrameKind::kDepth) {
        PublishDepth(i);
        break;
      }
    }
  }
  return filters_->Empty() ? "no filters" : filters_->Describe();
}

void ViewSession::ReadCameras() {
  KrVDevice& device = *source_.device;
  depthCameraKnown_ = imageCameraKnown_ = false;
  const Stream* depth = nullptr;
  const Stream* image = nullptr;
  for (const Stream& stream : streams_) {
    if (stream.kind == FrameKind::kDepth && depth == nullptr) depth = &stream;
    if (stream.kind == FrameKind::kImage && image == nullptr) image = &stream;
  }
  if (depth != nullptr) {
    depthCameraKnown_ = KrVCameraIntrinsics::FromStream(device, depth->name.c_str(), depthCamera_) == KR_STATUS_OK;
  }
  if (depth != nullptr && image != nullptr) {
    imageCameraKnown_ = KrVCameraIntrinsics::FromStream(device, image->name.c_str(), imageCamera_) == KR_STATUS_OK &&
                        KrVCameraExtrinsics::FromStream(device, depth->name.c_str(), depthToImage_) == KR_STATUS_OK;
  }
  camerasRead_ = true;
}

void ViewSession::PublishDepth(size_t index) {
  const KrVDepthMap* depth = DepthOf(streams_[index].data);
  if (depth == nullptr) return;
  const uint32_t width = depth->GetXRes(), height = depth->GetYRes();
  if (!camerasRead_ || (depthCameraKnown_ && (depthCamera_.width != width || depthCamera_.height != height))) {
    ReadCameras();
  }
  const bool cameraFits = depthCameraKnown_ && depthCamera_.width == width && depthCamera_.height == height;
  GridCamera grid;
  if (cameraFits) {
    grid = {static_cast<float>(depthCamera_.fx), static_cast<float>(depthCamera_.fy),
            static_cast<float>(depthCamera_.cx), static_cast<float>(depthCamera_.cy)};
  }
  if (filters_->Empty()) {
    if (Message message = EncodeFrame(FrameKind::kDepth, *depth, grid)) {
      sink_->PublishFrame(index, message);
      PublishColours(nullptr, *depth, grid);
    }
    return;
  }
  // Sized from the bytes the frame holds, never from its resolution alone.
  const size_t count = size_t{width} * height;
  if (depth->Data() == nullptr || depth->GetDataSize() < count * 2 || count == 0) return;
  filterInput_.width = width;
  filterInput_.height = height;
  const auto* pixels = static_cast<const uint16_t*>(depth->Data());
  filterInput_.pixels.assign(pixels, pixels + count);
  filterInput_.noSampleValue = depth->GetNoSampleValue();
  filterInput_.shadowValue = depth->GetShadowValue();
  filterInput_.fx = grid.fx;
  filterInput_.fy = grid.fy;
  filterInput_.cx = grid.cx;
  filterInput_.cy = grid.cy;
  const KrStatus status = filters_->Apply(filterInput_, filterOutput_);
  if (status != KR_STATUS_OK) {
    lastFailure_ = "filters: " + StatusText(status);
    return;
  }
  const uint32_t id = static_cast<uint32_t>(depth->GetFrameID());
  if (Message message = EncodeDepth(filterOutput_, id, static_cast<uint64_t>(depth->GetTimestamp()))) {
    sink_->PublishFrame(index, message);
    const GridCamera filtered = {static_cast<float>(filterOutput_.fx), static_cast<float>(filterOutput_.fy),
                                 static_cast<float>(filterOutput_.cx), static_cast<float>(filterOutput_.cy)};
    PublishColours(&filterOutput_, *depth, filtered);
  }
}

// The colours of the depth frame served (filtered, or the device's own when
// filtered is null); nothing without an image stream.
void ViewSession::PublishColours(const KrVDepthImage* filtered, const KrVDepthMap& depth, const GridCamera& grid) {
  const Stream* image = nullptr;
  for (const Stream& stream : streams_) {
    if (stream.kind == FrameKind::kImage) {
      image = &stream;
      break;
    }
  }
  const auto* map = image == nullptr ? nullptr : dynamic_cast<const KrVImageMap*>(image->data);
  if (map == nullptr) return;
  const uint32_t width = filtered ? filtered->width : depth.GetXRes();
  const uint32_t height = filtered ? filtered->height : depth.GetYRes();
  const size_t count = size_t{width} * height;
  const uint16_t* pixels = filtered ? filtered->pixels.data() : static_cast<const uint16_t*>(depth.Data());
  const size_t held = filtered ? filtered->pixels.size() : (depth.Data() ? depth.GetDataSize() / 2 : 0);
  if (count == 0 || held < count || width > UINT16_MAX || height > UINT16_MAX) return;
  // The cloud's points: every kColourStep-th pixel of every kColourStep-th
  // row, as a grid of their own whose camera is the depth grid's scaled
  // (pixel i of it is pixel kColourStep i of the frame).
  const uint32_t gridWidth = (width + kColourStep - 1) / kColourStep;
  const uint32_t gridHeight = (height + kColourStep - 1) / kColourStep;
  const size_t gridCount = size_t{gridWidth} * gridHeight;
  auto message = NewColours(static_cast<uint16_t>(gridWidth), static_cast<uint16_t>(gridHeight),
                            static_cast<uint32_t>(depth.GetFrameID()), static_cast<uint64_t>(depth.GetTimestamp()), grid);
  uint8_t* out = message->data() + kFrameHeaderSize;
  static_assert(kNeutralColour[0] == kNeutralColour[1] && kNeutralColour[1] == kNeutralColour[2], "a grey");
  std::memset(out, kNeutralColour[0], gridCount * 3);
  // The image's bytes, sized from what the frame holds; its grid must be
  // the one its camera describes.
  const size_t imageCount = size_t{map->GetXRes()} * map->GetYRes();
  const size_t bytesPerPixel = map->GetBytesPerPixel();
  const bool imageHeld =
      map->Data() != nullptr && bytesPerPixel > 0 && map->GetDataSize() >= imageCount * bytesPerPixel;
  if (imageCameraKnown_ && (imageCamera_.width != map->GetXRes() || imageCamera_.height != map->GetYRes())) {
    camerasRead_ = false;  // the image's mode changed: read the cameras for the next frame
  }
  KrVCameraIntrinsics gridCamera = depthCamera_;
  gridCamera.width = gridWidth;
  gridCamera.height = gridHeight;
  gridCamera.fx = grid.fx / kColourStep;
  gridCamera.fy = grid.fy / kColourStep;
  gridCamera.cx = grid.cx / kColourStep;
  gridCamera.cy = grid.cy / kColourStep;
  KrVFrameAligner aligner;
  uint8_t rgb[3];
  const bool colourable = imageHeld && imageCameraKnown_ && imageCamera_.width == map->GetXRes() &&
                          imageCamera_.height == map->GetYRes() &&
                          PixelColour(static_cast<const uint8_t*>(map->Data()), map->GetOutputFormat(), 0, rgb) &&
                          aligner.Init(gridCamera, imageCamera_, depthToImage_) == KR_STATUS_OK;
  if (colourable) {
    gridDepth_.resize(gridCount);
    for (uint32_t v = 0; v < gridHeight; ++v) {
      const uint16_t* row = pixels + size_t{v} * kColourStep * width;
      uint16_t* to = gridDepth_.data() + size_t{v} * gridWidth;
      for (uint32_t u = 0; u < gridWidth; ++u) to[u] = row[size_t{u} * kColourStep];
    }
    imagePixels_.resize(gridCount);
    const uint16_t noSample = filtered ? filtered->noSampleValue : depth.GetNoSampleValue();
    const uint16_t shadow = filtered ? filtered->shadowValue : depth.GetShadowValue();
    if (aligner.FindImagePixels(gridDepth_.data(), gridCount, noSample, shadow, imagePixels_.data(), gridCount) ==
        KR_STATUS_OK) {
      const auto* bytes = static_cast<const uint8_t*>(map->Data());
      const unsigned int format = map->GetOutputFormat();
      if (format == KR_OUTPUT_FORMAT_RGB24) {
        // The common case without the per-pixel choice of format.
        for (size_t i = 0; i < gridCount; ++i) {
          const int at = imagePixels_[i];
          if (at >= 0 && static_cast<size_t>(at) < imageCount) std::memcpy(out + i * 3, bytes + size_t(at) * 3, 3);
        }
      } else {
        for (size_t i = 0; i < gridCount; ++i) {
          const int at = imagePixels_[i];
          if (at >= 0 && static_cast<size_t>(at) < imageCount)
            PixelColour(bytes, format, static_cast<size_t>(at), out + i * 3);
        }
      }
    }
  }
  sink_->PublishFrame(streams_.size(), message);
}

std::string ViewSession::PropertiesJson() {
  KrVPropertySet set;
  if (source_.device->GetAllProperties(set, 0, nullptr) != KR_STATUS_OK) return "[]";
  KrPropertySetEnumeratorHandle entry = nullptr;
  if (KrPropertySetGetEnumerator(set.GetHandle(), &entry, nullptr) != KR_STATUS_OK) return "[]";
  std::string out = "[", module;
  bool end = false;
  while (KrPropertySetEnumeratorMoveNext(entry, &end) == KR_STATUS_OK && !end) {
    KrPropertyType type = KR_PROPERTY_TYPE_INTEGER;
    const char *entryModule = nullptr, *property = nullptr;
    if (KrPropertySetEnumeratorGetCurrentPropertyInfo(entry, &type, &entryModule, &property) != KR_STATUS_OK) break;
    if (std::any_of(std::begin(kFrameFields), std::end(kFrameFields),
                    [property](const char* field) { return std::string(field) == property; })) {
      continue;
    }
    std::string value, kind;
    uint64_t integer = 0;
    double real = 0;
    const char* text = nullptr;
    KrGeneralBuffer general = {};
    if (type == KR_PROPERTY_TYPE_INTEGER && KrPropertySetEnumeratorGetIntValue(entry, &integer) == KR_STATUS_OK) {
      kind = "int", value = std::to_string(integer);
    } else if (type == KR_PROPERTY_TYPE_REAL && KrPropertySetEnumeratorGetRealValue(entry, &real) == KR_STATUS_OK) {
      kind = "real", value = Quoted(RealText(real));
    } else if (type == KR_PROPERTY_TYPE_STRING && KrPropertySetEnumeratorGetStringValue(entry, &text) == KR_STATUS_OK) {
      kind = "text", value = Quoted(text);
    } else if (KrPropertySetEnumeratorGetGeneralValue(entry, &general) == KR_STATUS_OK) {
      kind = "general", value = Quoted(std::to_string(general.nDataSize) + " bytes");
    } else {
      continue;
    }
    const std::string key = std::string(entryModule) + "." + property;
    const bool readOnly =
        kind == "general" || source_.isFile || std::find(readOnly_.begin(), readOnly_.end(), key) != readOnly_.end();
    if (entryModule != module) {
      out += std::string(module.empty() ? "" : "]},") + "{\"name\":" + Quoted(entryModule) + ",\"properties\":[";
      module = entryModule;
    } else {
      out += ",";
    }
    out += "{\"name\":" + Quoted(property) + ",\"type\":\"" + kind + "\",\"value\":" + value +
           ",\"readOnly\":" + (readOnly ? "true" : "false") + "}";
  }
  KrPropertySetEnumeratorFree(&entry);
  return out + (module.empty() ? "]" : "]}]");
}

void ViewSession::PublishState() {
  std::string out = "{\"type\":\"state\",\"device\":" + Quoted(source_.name) +
                    ",\"isFile\":" + (source_.isFile ? "true" : "false") + ",\"streams\":[";
  for (size_t i = 0; i < streams_.size(); ++i) {
    out += std::string(i == 0 ? "" : ",") + "{\"name\":" + Quoted(streams_[i].name) +
           ",\"kind\":" + std::to_string(static_cast<int>(streams_[i].kind)) + "}";
  }
  out += "],\"recording\":{\"active\":" + std::string(recorder_ ? "true" : "false") +
         ",\"file\":" + Quoted(recordingFile_) + ",\"reads\":" + std::to_string(recordedReads_) + "}";
  out += ",\"filter\":" + Quoted(filters_->Describe());
  if (source_.isFile) {
    out += ",\"playback\":{\"playing\":" + std::string(playing_ ? "true" : "false") +
           ",\"ended\":" + (ended_ ? "true" : "false") + ",\"frame\":" + std::to_string(shownFrame_) +
           ",\"frames\":" + std::to_string(totalFrames_) + ",\"time\":" + std::to_string(shownTime_) + "}";
  }
  out += ",\"failure\":" + Quoted(lastFailure_) + ",\"modules\":" + PropertiesJson() + "}";
  {
    std::lock_guard<std::mutex> lock(mutex_);
    state_ = out;
  }
  sink_->PublishText(out);
}

}  // namespace ovalith_view
