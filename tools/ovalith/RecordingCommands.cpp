// ovalith record, ovalith play: record a sensor into a file through the
// engine's recorder, and play a recording back with a summary per stream.
#include "ToolCommon.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <csignal>
#include <cstdio>

namespace ovalith_tool {

std::string WriteFailureText(const KrVDeviceRecorder& recorder, const std::string& verb, const std::string& file) {
  const std::string what = recorder.GetWriteFailure();
  std::string text = "cannot " + verb + " " + file;
  if (!what.empty()) text += ": " + what + " could not be written";
  const int error = recorder.GetWriteError();
  if (error != 0 && error != EINTR) text += " (" + std::string(std::strerror(error)) + ")";
  return text;
}

namespace {

// Set by Ctrl+C, a hang-up (the terminal closed) or a termination request
// while recording.
volatile std::sig_atomic_t g_stopRequested = 0;

void OnStopSignal(int) { g_stopRequested = 1; }

// Installs the stop handler for the life of the object.
class StopSignals {
 public:
  StopSignals() {
    g_stopRequested = 0;
    struct sigaction action = {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &action, &old_[i]);
  }
  ~StopSignals() {
    for (size_t i = 0; i < kSignals.size(); ++i) sigaction(kSignals[i], &old_[i], nullptr);
  }
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

 private:
  static constexpr std::array<int, 3> kSignals = {SIGINT, SIGTERM, SIGHUP};
  std::array<struct sigaction, 3> old_ = {};
};

// ---- record ----

// One recorded stream: what has gone into the file.
struct RecordedStream {
  std::string name;
  uint32_t frames = 0;  // handed to the recorder (compressed ones may still be queued)
  uint64_t inFile = 0;  // in the file, as the write device counts them
  uint64_t firstTimestamp = 0;
  bool complete = false;
  bool pending = false;  // a frame of the last read goes into the next write
  uint32_t lastId = 0;   // of the last frame the sensor delivered
  uint64_t dropped = 0;  // frame ids the sensor skipped (frames lost under load)
};

struct RecordTotals {
  uint64_t bytes = 0;
  uint64_t pendingBytes = 0;  // of the frames selected for the next write
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  std::chrono::steady_clock::time_point lastProgress;
};

// Whether a new frame still belongs to the recording asked for: the first
// `frames` frames, and frames less than `seconds` after the stream's first.
bool Wanted(const RecordOptions& options, const RecordedStream& stream, uint64_t timestamp) {
  if (stream.complete) return false;
  if (options.frames != 0 && stream.frames >= options.frames) return false;
  const double microseconds = options.seconds * 1e6;
  return options.seconds <= 0 || stream.frames == 0 ||
         static_cast<double>(timestamp - stream.firstTimestamp) < microseconds;
}

// Counts the frames of the last read that go into the file; a frame beyond
// the recording asked for is taken out of the write (its stream is done).
bool SelectFrames(KrVDevice& device, const RecordOptions& options, std::vector<RecordedStream>* streams,
                  RecordTotals* totals) {
  for (RecordedStream& stream : *streams) {
    KrVStreamData* data = nullptr;
    if (!Check(device.GetStreamData(stream.name.c_str(), data), "cannot reach stream " + stream.name)) return false;
    stream.pending = false;
    if (!data->IsDataNew()) continue;
    if (!Wanted(options, stream, data->GetTimestamp())) {
      stream.complete = true;
      if (!Check(device.SetProperty(stream.name.c_str(), "IsNew", uint64_t{0}), "cannot hold back a frame")) {
        return false;
      }
      continue;
    }
    if (stream.frames == 0) {
      stream.firstTimestamp = data->GetTimestamp();
    } else if (data->GetFrameID() > stream.lastId + 1) {
      stream.dropped += data->GetFrameID() - stream.lastId - 1;
    }
    stream.lastId = data->GetFrameID();
    stream.pending = true;
    totals->pendingBytes += data->GetDataSize();
  }
  return true;
}

// The frames of the last read are in the file now.
void CountWritten(const RecordOptions& options, std::vector<RecordedStream>* streams, RecordTotals* totals) {
  for (RecordedStream& stream : *streams) {
    if (!stream.pending) continue;
    stream.pending = false;
    ++stream.frames;
    stream.complete = options.frames != 0 && stream.frames >= options.frames;
  }
  totals->bytes += totals->pendingBytes;
  totals->pendingBytes = 0;
}

bool AllComplete(const std::vector<RecordedStream>& streams) {
  for (const RecordedStream& stream : streams) {
    if (!stream.complete) return false;
  }
  return !streams.empty();
}

// Reads back how many frames of each stream the file holds (compressed
// frames reach it from the encoder threads, after their write returned).
void CountInFile(KrVDeviceRecorder& recorder, std::vector<RecordedStream>* streams) {
  KrVDevice* file = recorder.GetWriteDevice();
  for (RecordedStream& stream : *streams) {
    uint64_t frames = 0;
    if (file != nullptr && file->GetProperty(stream.name.c_str(), "FramesWritten", frames) == KR_STATUS_OK) {
      stream.inFile = frames;
    }
  }
}

void ShowProgress(KrVDeviceRecorder& recorder, std::vector<RecordedStream>* streams, RecordTotals* totals, bool last) {
  const auto now = std::chrono::steady_clock::now();
  if (!last && now - totals->lastProgress < std::chrono::milliseconds(250)) return;
  totals->lastProgress = now;
  CountInFile(recorder, streams);
  const double seconds = std::chrono::duration<double>(now - totals->start).count();
  const double frames = static_cast<double>(streams->front().inFile);
  std::fprintf(stderr, "\rrecording: %.0f frames  %.1f fps  %.1f MB handed over ", frames,
               seconds > 0 ? frames / seconds : 0.0, static_cast<double>(totals->bytes) / 1e6);
  if (last) std::fputc('\n', stderr);
}

bool Write(KrVDeviceRecorder& recorder, const std::string& file) {
  const KrStatus status = recorder.WriteData();
  return status == KR_STATUS_OK || Check(status, WriteFailureText(recorder, "write to", file));
}

// --filter: the new depth frame of the last read is filtered in the
// stream's own buffer, so the recorder copies the filtered frame. The chain
// keeps the frame size (checked before recording), so the frame keeps the
// stream's mode and the recording plays as any other.
bool FilterDepthInPlace(KrVDevice& device, DepthFiltering* filtering) {
  KrVDepthMap* map = device.GetDepthMap();
  if (filtering == nullptr || map == nullptr || !map->IsDataNew()) return true;
  DepthCapture depth;
  if (!CaptureDepth(*map, &depth) || !filtering->Apply(&depth)) return false;
  if (depth.pixels.size() != size_t{map->GetXRes()} * map->GetYRes()) {
    return Fail("--filter " + filtering->text + " changed the depth frame's size");
  }
  std::memcpy(map->Data(), depth.pixels.data(), depth.pixels.size() * sizeof(uint16_t));
  return true;
}

bool RecordLoop(KrVDevice& device, KrVDeviceRecorder& recorder, const RecordOptions& options,
                std::vector<RecordedStream>* streams, DepthFiltering* filtering) {
  RecordTotals totals;
  const bool progress = !options.quiet && isatty(STDERR_FILENO) == 1;
  bool ok = true;
  while (ok && g_stopRequested == 0 && !AllComplete(*streams)) {
    ok = Check(device.Read(), "cannot read from " + options.connection) &&
         SelectFrames(device, options, streams, &totals) && FilterDepthInPlace(device, filtering) &&
         Write(recorder, options.file);
    if (ok) CountWritten(options, streams, &totals);
    if (ok && progress) ShowProgress(recorder, streams, &totals, false);
  }
  // Every queued frame into the file before counting what it holds.
  ok = (recorder.Flush(0) == KR_STATUS_OK || Check(KR_STATUS_TL_FILE_WRITE_FAILED,
                                                   WriteFailureText(recorder, "write to", options.file))) &&
       ok;
  CountInFile(recorder, streams);
  if (progress) ShowProgress(recorder, streams, &totals, true);
  return ok;
}

std::vector<std::string> TypesOf(const std::vector<std::string>& optionNames) {
  std::vector<std::string> types;
  for (const std::string& name : optionNames) types.push_back(StreamTypeOf(name));
  return types;
}

}  // namespace

namespace {

// What a recording names must be a file: a sensor's connection string or a
// device node would be opened as something else. The recorder keeps a file
// name of at most KR_MAX_NAME_LENGTH - 1 characters: a longer one would be
// cut and the frames would go into another file.
bool CheckRecordingPath(const std::string& path) {
  if (path.empty()) return Fail("the recording needs a file name");
  if (path.size() >= KR_MAX_NAME_LENGTH) {
    return Fail("cannot record into " + path + ": the name is longer than " +
                std::to_string(KR_MAX_NAME_LENGTH - 1) + " characters");
  }
  if (path.size() > 1 && path[0] == '*' && path[1] == ':') {
    return Fail(path + " names a sensor, not a file: give the recording a file name");
  }
  struct stat status = {};
  if (stat(path.c_str(), &status) == 0 && !S_ISREG(status.st_mode)) {
    return Fail("cannot record into " + path + ": it is not a regular file");
  }
  return true;
}

// After a failure: what the file really holds, read back from it.
void PrintFileContent(const std::string& path) {
  KrVDevice file;
  std::vector<std::string> names;
  if (file.OpenFileForReading(path.c_str()) != KR_STATUS_OK || !StreamNames(file, &names)) {
    std::printf("%s: holds nothing that can be played\n", path.c_str());
    return;
  }
  std::printf("%s: holds\n", path.c_str());
  for (const std::string& name : names) {
    uint64_t frames = 0;
    file.GetProperty(name.c_str(), "NumberOfFrames", frames);
    std::printf("  %-8s %llu frames\n", name.c_str(), static_cast<unsigned long long>(frames));
  }
}

}  // namespace

int RunRecord(const RecordOptions& options) {
  if (!CheckRecordingPath(options.file) || !NotEmpty({options.connection, true}, "--device")) return kExitFailed;
  DepthFiltering filtering;
  DepthFiltering* filters = options.filter.empty() ? nullptr : &filtering;
  if (filters != nullptr) {
    if (!filtering.Parse(options.filter)) return kExitUsage;
    if (std::find(options.streams.begin(), options.streams.end(), "depth") == options.streams.end()) {
      Fail("--filter " + options.filter + ": the recording has no depth stream to filter");
      return kExitUsage;
    }
    if (!filtering.KeepsSize()) {
      Fail("--filter " + options.filter + ": record keeps the depth stream's mode, so it takes no decimate (use "
           "decimate in snapshot, cloud or export)");
      return kExitUsage;
    }
  }
  Source source;
  if (!OpenSensor(options.connection, TypesOf(options.streams), &source, options.modes)) return kExitFailed;
  KrVDevice& device = *source.device;
  KrVDeviceRecorder recorder(&device, options.file.c_str());
  if (!Check(recorder.StartRecording(1), "cannot record into " + options.file)) return kExitFailed;
  // The codecs apply from each stream's first frame: nothing is written yet.
  if (!SetCompression(recorder, options.compress)) return kExitUsage;
  std::vector<RecordedStream> streams;
  std::vector<std::string> names;
  if (!StreamNames(device, &names)) return kExitFailed;
  for (const std::string& name : names) {
    streams.emplace_back();
    streams.back().name = name;
  }
  // A second Ctrl+C while the file is being finished must not cut it short.
  StopSignals signals;
  bool ok = RecordLoop(device, recorder, options, &streams, filters);
  std::string behind;  // codecs whose encoders made a write wait
  if (KrVDevice* file = recorder.GetWriteDevice()) {
    char text[KR_MAX_NAME_LENGTH] = {};
    if (file->GetProperty("Device", "EncoderFellBehind", text) == KR_STATUS_OK) behind = text;
  }
  // The file is closed (and made playable) even after a failed read.
  const KrStatus stopped = recorder.StopRecording();
  ok = (stopped == KR_STATUS_OK || Check(stopped, WriteFailureText(recorder, "finish", options.file))) && ok;
  if (!ok) {
    PrintFileContent(options.file);
    return kExitFailed;
  }
  std::printf("%s: %s\n", options.file.c_str(), g_stopRequested != 0 ? "stopped" : "recorded");
  for (const RecordedStream& stream : streams) {
    std::printf("  %-8s %llu frames", stream.name.c_str(), static_cast<unsigned long long>(stream.inFile));
    if (stream.dropped != 0 && !behind.empty()) {
      // The writes waited for the encoders, so the reads fell behind the
      // sensor: the codec is the cause, not the sensor.
      std::printf(", %llu dropped: the %s encoder fell behind (see record --help for codecs that keep up)",
                  static_cast<unsigned long long>(stream.dropped), behind.c_str());
    } else if (stream.dropped != 0) {
      std::printf(", %llu dropped by the sensor under load", static_cast<unsigned long long>(stream.dropped));
    }
    std::printf("\n");
  }
  return kExitOk;
}

namespace {

// ---- play ----

// Reads in a row that meet damage and bring nothing before play gives up.
constexpr uint32_t kMaxDamagedInARow = 100000;

// How the recording ended: closed by its writer (index and trailer found
// intact), and the bytes after its last complete chunk.
struct FileEnd {
  bool known = false;
  bool complete = false;
  uint64_t ignoredTailBytes = 0;
};

// What playback found in one stream.
struct PlayedStream {
  std::string name;
  KrVStreamData* data = nullptr;  // null: the engine cannot reach the stream
  uint32_t frames = 0;
  uint64_t firstTimestamp = 0;
  uint64_t lastTimestamp = 0;
  uint32_t lastId = 0;
  uint64_t missingIds = 0;  // ids skipped between consecutive frames
  std::vector<std::string> faults;
};

// The size a frame of this stream must have, or 0 when any size will do.
uint64_t ExpectedSize(const KrVStreamData& data) {
  const auto pixels = [](const KrVPixelStreamData& map) { return uint64_t{map.GetXRes()} * map.GetYRes(); };
  if (const auto* depth = dynamic_cast<const KrVDepthMap*>(&data)) return pixels(*depth) * 2;
  if (const auto* image = dynamic_cast<const KrVImageMap*>(&data)) return pixels(*image) * image->GetBytesPerPixel();
  return 0;
}

// Checks one frame against the one before it.
void VerifyFrame(const KrVStreamData& data, PlayedStream* stream) {
  const std::string where = "frame " + std::to_string(stream->frames) + " (id " + std::to_string(data.GetFrameID()) + ")";
  if (stream->frames > 1 && data.GetFrameID() <= stream->lastId) stream->faults.push_back(where + ": id goes back");
  if (stream->frames > 1 && data.GetTimestamp() < stream->lastTimestamp) {
    stream->faults.push_back(where + ": time stamp goes back");
  }
  const uint64_t expected = ExpectedSize(data);
  if (expected != 0 && data.GetDataSize() != expected) {
    stream->faults.push_back(where + ": " + std::to_string(data.GetDataSize()) + " bytes, " +
                             std::to_string(expected) + " expected");
  }
  if (data.GetDataSize() == 0) stream->faults.push_back(where + ": empty");
}

void Account(const KrVStreamData& data, bool verify, PlayedStream* stream) {
  ++stream->frames;
  if (verify) VerifyFrame(data, stream);
  if (stream->frames == 1) {
    stream->firstTimestamp = data.GetTimestamp();
  } else if (data.GetFrameID() > stream->lastId + 1) {
    stream->missingIds += data.GetFrameID() - stream->lastId - 1;
  }
  stream->lastTimestamp = data.GetTimestamp();
  stream->lastId = data.GetFrameID();
}

// Reads the recording to its end. A read that meets a damaged chunk is
// counted; the intact frames it still brings are played like any other.
bool PlayAll(KrVDevice& device, const std::string& file, bool verify, std::vector<PlayedStream>* streams,
             uint32_t* damaged) {
  for (uint32_t damagedInARow = 0;;) {
    const KrStatus status = device.Read();
    if (status == KR_STATUS_TL_END_OF_FILE) return true;
    if (status == KR_STATUS_TL_FILE_CORRUPT && ++damagedInARow < kMaxDamagedInARow) {
      ++*damaged;
    } else if (!Check(status, "cannot read " + file)) {
      return false;
    } else {
      damagedInARow = 0;
    }
    for (PlayedStream& stream : *streams) {
      if (stream.data != nullptr && stream.data->IsDataNew()) Account(*stream.data, verify, &stream);
    }
  }
}

// Every stream's frame count must match what the file says it holds.
void VerifyCounts(KrVDevice& device, std::vector<PlayedStream>* streams) {
  for (PlayedStream& stream : *streams) {
    uint64_t recorded = 0;
    if (device.GetProperty(stream.name.c_str(), "NumberOfFrames", recorded) == KR_STATUS_OK &&
        recorded != stream.frames) {
      stream.faults.push_back("the file lists " + std::to_string(recorded) + " frames, " +
                              std::to_string(stream.frames) + " played");
    }
  }
}

FileEnd ReadFileEnd(KrVDevice& device) {
  FileEnd end;
  uint64_t complete = 0;
  end.known = device.GetProperty("Device", "Complete", complete) == KR_STATUS_OK &&
              device.GetProperty("Device", "IgnoredTailBytes", end.ignoredTailBytes) == KR_STATUS_OK;
  end.complete = end.known && complete != 0;
  return end;
}

// A recording passes only when its writer closed it and nothing in it was
// passed over.
bool PrintFileEnd(const FileEnd& end) {
  if (!end.known) {
    std::printf("  whether the file was closed cannot be told\n");
    return false;
  }
  std::printf("  closed: %s\n", end.complete ? "yes (index and trailer present)"
                                              : "NO (no intact index and trailer: cut short or not closed)");
  if (end.ignoredTailBytes != 0) {
    std::printf("  %llu tail byte(s) after the last complete chunk ignored\n",
                static_cast<unsigned long long>(end.ignoredTailBytes));
  }
  return end.complete && end.ignoredTailBytes == 0;
}

bool PrintSummary(const std::string& file, const std::vector<PlayedStream>& streams, uint32_t damaged, bool verify,
                  const FileEnd& end) {
  std::printf("%s: %zu stream(s)\n", file.c_str(), streams.size());
  std::printf("  %-10s %8s %10s %9s %6s\n", "stream", "frames", "span (s)", "mean fps", "gaps");
  bool clean = damaged == 0;
  for (const PlayedStream& stream : streams) {
    const double span = static_cast<double>(stream.lastTimestamp - stream.firstTimestamp) / 1e6;
    const double fps = span > 0 ? (stream.frames - 1) / span : 0.0;
    std::printf("  %-10s %8u %10.3f %9.2f %6llu\n", stream.name.c_str(), stream.frames, span, fps,
                static_cast<unsigned long long>(stream.missingIds));
    for (const std::string& fault : stream.faults) std::printf("    fault: %s\n", fault.c_str());
    clean = clean && stream.faults.empty();
  }
  if (damaged != 0) std::printf("  %u damaged frame(s) or chunk(s) passed over\n", damaged);
  if (verify) clean = PrintFileEnd(end) && clean;
  if (verify) std::printf("verification %s\n", clean ? "passed" : "FAILED");
  return clean || !verify;
}

}  // namespace

int RunPlay(const std::string& file, bool verify) {
  Source source;
  if (!OpenRecording(file, &source)) return kExitFailed;
  std::vector<PlayedStream> streams;
  std::vector<std::string> names;
  if (!StreamNames(*source.device, &names)) return kExitFailed;
  for (const std::string& name : names) {
    streams.emplace_back();
    PlayedStream& stream = streams.back();
    stream.name = name;
    if (source.device->GetStreamData(name.c_str(), stream.data) != KR_STATUS_OK || stream.data == nullptr) {
      stream.data = nullptr;
      stream.faults.push_back("the engine cannot reach this stream; its frames were not played");
    }
  }
  const FileEnd end = ReadFileEnd(*source.device);
  uint32_t damaged = 0;
  if (!PlayAll(*source.device, file, verify, &streams, &damaged)) return kExitFailed;
  if (verify) VerifyCounts(*source.device, &streams);
  return PrintSummary(file, streams, damaged, verify, end) ? kExitOk : kExitFailed;
}

void AddRecordingCommands(CLI::App& app, Command* command) {
  auto record = std::make_shared<RecordOptions>();
  CLI::App* recordCommand = app.add_subcommand("record", "record a sensor into a file; Ctrl+C stops cleanly");
  recordCommand->add_option("FILE", record->file, "the recording to write")->required();
  recordCommand->add_option("--device", record->connection, "connection string")->capture_default_str();
  recordCommand->add_option("--streams", record->streams, "streams to record")
      ->delimiter(',')
      ->check(CLI::IsMember(kStreamOptionNames))
      ->capture_default_str();
  CLI::Option* frames = recordCommand->add_option("--frames", record->frames, "frames per stream")
                            ->check(PositiveFinite());
  recordCommand->add_option("--seconds", record->seconds, "seconds per stream, by time stamps")
      ->check(PositiveFinite())
      ->excludes(frames);
  recordCommand->add_flag("--quiet", record->quiet, "no progress line");
  recordCommand->add_option("--filter", record->filter,
                            "depth filters run on every depth frame before it is written, e.g. "
                            "spatial,temporal,holes=nearest; no decimate (docs/depth-filters.md)");
  recordCommand->add_option("--compress", record->compress,
                            "codec per stream type, e.g. depth=depth,image=lz4 (lossless; codecs: raw, depth, lz4, "
                            "zstd, zlib; default raw). Frames are encoded on two threads beside the reading; on 2 "
                            "cores 640x480 at 30 fps keeps up with depth=depth and image=lz4 (or raw); zstd and "
                            "zlib on image fall behind, and frames are then dropped");
  auto modeTexts = std::make_shared<std::vector<std::string>>(kStreamOptionNames.size());
  for (size_t i = 0; i < kStreamOptionNames.size(); ++i) {
    const std::string& name = kStreamOptionNames[i];
    recordCommand->add_option("--" + name, (*modeTexts)[i],
                              name == "audio" ? "audio mode RATE[xCHANNELS][@FPS], e.g. 44100x1@30"
                                              : name + " mode WIDTHxHEIGHT[@FPS][:FORMAT], e.g. 640x480@30:" +
                                                    (name == "depth" ? "depth" : name == "ir" ? "grey16" : "rgb24"));
  }
  recordCommand->callback([command, record, modeTexts] {
    *command = [record, modeTexts] {
      record->modes.clear();
      for (size_t i = 0; i < modeTexts->size(); ++i) {
        const std::string& name = kStreamOptionNames[i];
        if ((*modeTexts)[i].empty()) continue;
        StreamMode mode;
        if (!ParseStreamMode(name, (*modeTexts)[i], &mode)) return kExitUsage;
        if (std::find(record->streams.begin(), record->streams.end(), name) == record->streams.end()) {
          Fail("--" + name + " is given but " + name + " is not among --streams");
          return kExitUsage;
        }
        record->modes.push_back(mode);
      }
      return RunRecord(*record);
    };
  });

  struct PlayOptions {
    std::vector<std::string> files;
    bool verify = false;
  };
  auto play = std::make_shared<PlayOptions>();
  CLI::App* playCommand = app.add_subcommand("play", "play recordings back: frames, time span, mean fps and missing frame ids (gaps) per stream");
  playCommand->add_option("FILE", play->files, "the recordings, each played on its own")->required();
  playCommand->add_flag("--verify", play->verify, "check every frame; non-zero status on any fault");
  playCommand->callback([command, play] {
    *command = [play] {
      // Each file's summary starts with its name; the status is that of
      // the worst file.
      int status = kExitOk;
      for (const std::string& file : play->files) {
        status = std::max(status, RunPlay(file, play->verify));
        std::fflush(stdout);
      }
      return status;
    };
  });
}

}  // namespace ovalith_tool
