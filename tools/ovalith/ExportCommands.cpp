// ovalith export, ovalith convert: a recording's frames out into the
// formats other tools read (the RGB-D dataset layout of PNG pictures and
// timestamp lists, PLY and PCD point clouds, WAV sound), and a recording
// re-encoded, trimmed or thinned into another recording.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

#include "Interchange.h"
#include "Png.h"

namespace ovalith_tool {
namespace {

enum class ExportFormat { kTum, kPly, kPcd };

struct ExportOptions {
  std::string recording;
  std::string folder;
  std::string format = "tum";
  double depthScale = 5000;
  std::string frames, time;
  std::vector<std::string> streams;  // empty: every stream the recording has
  uint32_t every = 1;
  bool metres = false;
  bool force = false;
  bool json = false;
  std::string filter;  // the depth filter chain, e.g. "decimate=2,spatial"
};

// ---- which frames go out ----

// Frames are chosen by number (--frames, counted in the depth stream, or
// the first stream of a recording without one), by time from the
// recording's first frame (--time, in seconds), then every Nth (--every,
// per stream). The numbered window opens with the read that brings its
// first frame and closes after the read that brings its last: the other
// streams' frames of those reads go with them.
struct Selection {
  Range frames;
  bool byFrames = false;
  Range seconds;
  bool byTime = false;
  uint32_t every = 1;
};

struct StreamOut {
  std::string name, type, option;  // "Depth", "Depth", "depth"
  KrVStreamData* data = nullptr;
  bool wanted = false;
  uint64_t seen = 0;      // frames of the stream in the window and time span
  uint64_t exported = 0;  // frames written
};

// ---- the dataset layout ----

std::string Seconds(uint64_t microseconds) {
  char text[32];
  std::snprintf(text, sizeof(text), "%llu.%06llu", static_cast<unsigned long long>(microseconds / 1000000),
                static_cast<unsigned long long>(microseconds % 1000000));
  return text;
}

// A list of "timestamp filename" lines, written as files complete, so the
// list names exactly the files that are there.
class TimestampList {
 public:
  bool Open(const std::string& path, const std::string& title) {
    path_ = path;
    file_ = std::fopen(path.c_str(), "w");
    if (file_ == nullptr) return Fail("cannot create " + path + ": " + std::strerror(errno));
    std::fprintf(file_, "# %s\n# file: 'ovalith export'\n# timestamp filename\n", title.c_str());
    return true;
  }
  void Add(uint64_t timestamp, const std::string& name) {
    std::fprintf(file_, "%s %s\n", Seconds(timestamp).c_str(), name.c_str());
    entries.emplace_back(timestamp, name);
  }
  bool Close() {
    if (file_ == nullptr) return true;
    const bool ok = std::fflush(file_) == 0 && std::ferror(file_) == 0;
    const int reason = errno;
    const bool closed = std::fclose(file_) == 0;
    file_ = nullptr;
    return (ok && closed) || Fail("cannot write " + path_ + ": " + std::strerror(reason));
  }
  ~TimestampList() { Close(); }
  std::vector<std::pair<uint64_t, std::string>> entries;

 private:
  std::string path_;
  FILE* file_ = nullptr;
};

// 16-bit PCM in a RIFF/WAVE file. The sizes in its header are set after
// every block, so the file plays whatever stops it.
class WavFile {
 public:
  bool Open(const std::string& path, uint32_t rate, uint16_t channels) {
    path_ = path;
    rate_ = rate;
    channels_ = channels;
    fd_ = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd_ < 0) return Fail("cannot create " + path + ": " + std::strerror(errno));
    return WriteHeader();
  }
  bool Append(const void* samples, size_t bytes) {
    if (bytes % (2u * channels_) != 0) bytes -= bytes % (2u * channels_);
    if (bytes_ + bytes > UINT32_MAX - 36) return Fail(path_ + ": the sound is longer than a WAVE file holds");
    const ssize_t written = pwrite(fd_, samples, bytes, 44 + static_cast<off_t>(bytes_));
    if (written != static_cast<ssize_t>(bytes)) {
      // A short write (the disk filled up within the block) is cut off
      // again: the file keeps whole blocks that its header counts.
      const int reason = written < 0 ? errno : ENOSPC;
      if (ftruncate(fd_, 44 + static_cast<off_t>(bytes_)) != 0) {}
      return Fail("cannot write " + path_ + ": " + std::strerror(reason));
    }
    bytes_ += bytes;
    return WriteHeader();
  }
  bool Close() {
    if (fd_ < 0) return true;
    const bool ok = close(fd_) == 0;
    fd_ = -1;
    return ok || Fail("cannot write " + path_ + ": " + std::strerror(errno));
  }
  ~WavFile() { Close(); }
  uint64_t Samples() const { return channels_ != 0 ? bytes_ / (2u * channels_) : 0; }

 private:
  bool WriteHeader() {
    uint8_t header[44];
    const auto put32 = [&](int at, uint32_t v) { std::memcpy(header + at, &v, 4); };  // little-endian host
    const auto put16 = [&](int at, uint16_t v) { std::memcpy(header + at, &v, 2); };
    std::memcpy(header, "RIFF", 4);
    put32(4, static_cast<uint32_t>(36 + bytes_));
    std::memcpy(header + 8, "WAVEfmt ", 8);
    put32(16, 16);
    put16(20, 1);  // PCM
    put16(22, channels_);
    put32(24, rate_);
    put32(28, rate_ * channels_ * 2);
    put16(32, static_cast<uint16_t>(channels_ * 2));
    put16(34, 16);
    std::memcpy(header + 36, "data", 4);
    put32(40, static_cast<uint32_t>(bytes_));
    return pwrite(fd_, header, sizeof(header), 0) == sizeof(header) ||
           Fail("cannot write " + path_ + ": " + std::strerror(errno));
  }
  std::string path_;
  int fd_ = -1;
  uint32_t rate_ = 0;
  uint16_t channels_ = 0;
  uint64_t bytes_ = 0;
};

// ---- point clouds ----

// The measured points of a depth frame with their colours (when an image
// of the frame's size came with it), in millimetres or metres.
struct Cloud {
  std::vector<float> xyz;
  std::vector<uint8_t> rgb;  // empty: no colour
  size_t Count() const { return xyz.size() / 3; }
};

// camera: the pinhole of a filtered frame's grid (decimation changes it),
// else null for the stream's own translator. pixels: for each depth pixel
// the image pixel that shows it (-1: none, black), or empty: no colour.
bool MakeCloud(const DepthCapture& depth, const ImageCapture* image, const std::vector<int>& pixels, bool metres,
               const Pinhole* camera, Cloud* cloud) {
  KrVPointContainer points(static_cast<unsigned int>(depth.pixels.size()));
  if (camera != nullptr) {
    for (size_t i = 0; i < depth.pixels.size(); ++i) {
      const double z = depth.pixels[i], u = static_cast<double>(i % depth.width), v = static_cast<double>(i / depth.width);
      points[static_cast<int>(i)] = KrVPoint(static_cast<float>((u - camera->cx) * z / camera->fx),
                                             static_cast<float>((v - camera->cy) * z / camera->fy), static_cast<float>(z));
    }
  } else if (depth.translator == nullptr) {
    return Fail("the depth stream has no real-world calibration");
  } else if (!Check(depth.translator->Projective2RW(depth.pixels.data(), depth.width, 0, 0, depth.width, depth.height,
                                                    points, KRV_NO_SAMPLE_KEEP, depth.noSampleValue),
                    "cannot convert the depth frame to real-world points")) {
    return false;
  }
  const bool coloured = image != nullptr && image->captured && !image->grey16 && pixels.size() == depth.pixels.size();
  static const uint8_t kUnseen[3] = {0, 0, 0};
  const float unit = metres ? 0.001f : 1.0f;
  cloud->xyz.reserve(depth.ValidCount() * 3);
  for (size_t i = 0; i < depth.pixels.size(); ++i) {
    if (!depth.Valid(depth.pixels[i])) continue;
    const KrVPoint& point = points[static_cast<int>(i)];
    cloud->xyz.insert(cloud->xyz.end(), {point.X() * unit, point.Y() * unit, point.Z() * unit});
    if (coloured) {
      const uint8_t* rgb = pixels[i] >= 0 ? &image->rgb[size_t(pixels[i]) * 3] : kUnseen;
      cloud->rgb.insert(cloud->rgb.end(), rgb, rgb + 3);
    }
  }
  return true;
}

std::string PlyBytes(const Cloud& cloud, bool metres) {
  const bool coloured = !cloud.rgb.empty();
  std::string bytes = "ply\nformat binary_little_endian 1.0\ncomment ovalith point cloud, " +
                      std::string(metres ? "metres" : "millimetres") + "\nelement vertex " +
                      std::to_string(cloud.Count()) + "\nproperty float x\nproperty float y\nproperty float z\n";
  if (coloured) bytes += "property uchar red\nproperty uchar green\nproperty uchar blue\n";
  bytes += "end_header\n";
  for (size_t i = 0; i < cloud.Count(); ++i) {
    bytes.append(reinterpret_cast<const char*>(&cloud.xyz[i * 3]), 12);  // x86-64 floats are little-endian
    if (coloured) bytes.append(reinterpret_cast<const char*>(&cloud.rgb[i * 3]), 3);
  }
  return bytes;
}

// The point cloud layout of version 0.7: colour packed as 0x00RRGGBB in an
// unsigned 32-bit "rgb" field.
std::string PcdBytes(const Cloud& cloud, bool metres) {
  const bool coloured = !cloud.rgb.empty();
  const std::string count = std::to_string(cloud.Count());
  std::string bytes = "# .PCD v0.7 - ovalith point cloud, " + std::string(metres ? "metres" : "millimetres") +
                      "\nVERSION 0.7\n" + (coloured ? "FIELDS x y z rgb\nSIZE 4 4 4 4\nTYPE F F F U\nCOUNT 1 1 1 1\n"
                                                    : "FIELDS x y z\nSIZE 4 4 4\nTYPE F F F\nCOUNT 1 1 1\n") +
                      "WIDTH " + count + "\nHEIGHT 1\nVIEWPOINT 0 0 0 1 0 0 0\nPOINTS " + count + "\nDATA binary\n";
  for (size_t i = 0; i < cloud.Count(); ++i) {
    bytes.append(reinterpret_cast<const char*>(&cloud.xyz[i * 3]), 12);
    if (coloured) {
      const uint32_t packed = uint32_t{cloud.rgb[i * 3]} << 16 | uint32_t{cloud.rgb[i * 3 + 1]} << 8 | cloud.rgb[i * 3 + 2];
      bytes.append(reinterpret_cast<const char*>(&packed), 4);
    }
  }
  return bytes;
}

// ---- the export itself ----

class Exporter {
 public:
  Exporter(const ExportOptions& options, ExportFormat format, const Selection& selection)
      : options_(options), format_(format), selection_(selection) {}

  int Run() {
    std::string error;
    if (!options_.filter.empty() && chain_.Parse(options_.filter, &error) != KR_STATUS_OK) {
      Fail("--filter " + options_.filter + ": " + error);
      return kExitUsage;
    }
    if (!OpenRecording(options_.recording, &source_) || !ChooseStreams() || !PrepareFolder(options_.folder, options_.force) ||
        !OpenOutputs()) {
      return kExitFailed;
    }
    uint64_t total = 0;
    if (counted_ != nullptr) source_.device->GetProperty(counted_->name.c_str(), "NumberOfFrames", total);
    Progress progress("exporting " + options_.recording, total, options_.json);
    bool ok = true, end = false;
    int damagedInARow = 0;
    while (ok && !end && !pool_.Failed()) {
      const KrStatus status = source_.device->Read();
      end = status == KR_STATUS_TL_END_OF_FILE;
      if (end) break;
      if (status == KR_STATUS_TL_FILE_CORRUPT && ++damagedInARow < 1000) {
        std::fprintf(stderr, "ovalith: warning: a damaged frame or chunk of %s was passed over\n",
                     options_.recording.c_str());
        ++damaged_;
      } else if (!Check(status, "cannot read " + options_.recording)) {
        ok = false;
        break;
      } else {
        damagedInARow = 0;
      }
      ok = Round();
      progress.Show(counterValue_);
      if (beyondWindow_) break;
    }
    progress.Show(counterValue_, true);
    const std::string failure = pool_.Finish();
    ok = Finish() && ok && failure.empty();
    if (!failure.empty()) Fail(failure);
    Summarise(ok, failure);
    return ok ? kExitOk : kExitFailed;
  }

 private:
  bool ChooseStreams() {
    std::vector<std::string> names;
    if (!StreamNames(*source_.device, &names)) return false;
    for (const std::string& name : names) {
      StreamOut stream;
      stream.name = name;
      if (!GetText(*source_.device, name.c_str(), "Type", &stream.type) ||
          !Check(source_.device->GetStreamData(name.c_str(), stream.data), "cannot reach stream " + name)) {
        return false;
      }
      for (const std::string& option : kStreamOptionNames) {
        if (StreamTypeOf(option) == stream.type) stream.option = option;
      }
      stream.wanted = !stream.option.empty() &&
                      (options_.streams.empty() ||
                       std::find(options_.streams.begin(), options_.streams.end(), stream.option) != options_.streams.end());
      // Clouds are made of depth, coloured from the image.
      if (format_ != ExportFormat::kTum) stream.wanted = stream.type == "Depth" || stream.type == "Image";
      streams_.push_back(stream);
    }
    for (const std::string& wanted : options_.streams) {
      if (std::none_of(streams_.begin(), streams_.end(), [&](const StreamOut& s) { return s.option == wanted; })) {
        return Fail(options_.recording + " has no " + wanted + " stream");
      }
    }
    for (StreamOut& stream : streams_) {
      if (stream.type == "Depth" && depth_ == nullptr) depth_ = &stream;
      if (stream.type == "Image" && image_ == nullptr) image_ = &stream;
    }
    counted_ = depth_ != nullptr ? depth_ : (streams_.empty() ? nullptr : &streams_.front());
    if (format_ != ExportFormat::kTum && depth_ == nullptr) return Fail(options_.recording + " has no depth stream");
    if (std::none_of(streams_.begin(), streams_.end(), [](const StreamOut& s) { return s.wanted; })) {
      return Fail("nothing to export: " + options_.recording + " holds none of the streams asked for");
    }
    return true;
  }

  std::string Path(const std::string& relative) const { return options_.folder + "/" + relative; }

  bool MakeFolder(const std::string& relative) {
    const std::string path = Path(relative);
    return mkdir(path.c_str(), 0755) == 0 || errno == EEXIST || Fail("cannot create " + path + ": " + std::strerror(errno));
  }

  bool OpenOutputs() {
    if (format_ != ExportFormat::kTum) return MakeFolder("clouds") && clouds_.Open(Path("clouds.txt"), "point clouds");
    for (StreamOut& stream : streams_) {
      if (!stream.wanted) continue;
      if (stream.type == "Depth" && &stream == depth_) {
        if (!MakeFolder("depth") || !depthList_.Open(Path("depth.txt"), "depth maps")) return false;
      } else if (stream.type == "Image" && &stream == image_) {
        if (!MakeFolder("rgb") || !rgbList_.Open(Path("rgb.txt"), "color images")) return false;
      } else if (stream.type == "IR" && ir_ == nullptr) {
        ir_ = &stream;
        if (!MakeFolder("ir") || !irList_.Open(Path("ir.txt"), "infra-red images")) return false;
      } else if (stream.type == "Audio" && audio_ == nullptr) {
        audio_ = &stream;
        const auto* buffer = dynamic_cast<const KrVAudioBuffer*>(stream.data);
        if (buffer == nullptr) return Fail("the audio stream " + stream.name + " has no sound buffer");
        wavRate_ = static_cast<uint32_t>(buffer->GetSampleRate());
        wavChannels_ = buffer->GetNumberOfChannels();
      } else {
        stream.wanted = false;
      }
    }
    return true;
  }

  // Whether a frame of a stream is taken: inside the window and the time
  // span, and the Nth of them.
  bool Take(StreamOut& stream) {
    const uint64_t timestamp = stream.data->GetTimestamp();
    if (!haveStart_) {
      start_ = timestamp;
      haveStart_ = true;
    }
    if (selection_.byTime && !selection_.seconds.Holds(static_cast<double>(timestamp - std::min(start_, timestamp)) / 1e6)) {
      return false;
    }
    const uint64_t index = stream.seen++;
    return &stream == audio_ || index % selection_.every == 0;
  }

  bool Round() {
    // The numbered window, by the counted stream's frames.
    bool inWindow = true;
    if (counted_ != nullptr && counted_->data->IsDataNew()) ++counterValue_;
    if (selection_.byFrames) {
      inWindow = counterValue_ >= selection_.frames.first && counterValue_ > 0 &&
                 (selection_.frames.last < selection_.frames.first || counterValue_ <= selection_.frames.last);
      if (!inWindow && selection_.frames.last >= selection_.frames.first && counterValue_ > selection_.frames.last) {
        beyondWindow_ = true;
      }
    }
    // The first frame's time stamp starts the clock even outside the window.
    for (StreamOut& stream : streams_) {
      if (!haveStart_ && stream.data->IsDataNew()) {
        start_ = stream.data->GetTimestamp();
        haveStart_ = true;
      }
    }
    if (!inWindow) return true;
    ImageCapture image;
    bool haveImage = false;
    if (image_ != nullptr && image_->data->IsDataNew() && (image_->wanted || format_ != ExportFormat::kTum)) {
      haveImage = CaptureImage(*static_cast<const KrVImageMap*>(image_->data), &image);
      if (!haveImage) return false;
      if (format_ == ExportFormat::kTum && image_->wanted && Take(*image_) && !ExportImage(image)) return false;
    }
    for (StreamOut& stream : streams_) {
      if (!stream.wanted || !stream.data->IsDataNew() || &stream == image_) continue;
      if (&stream == depth_) {
        if (!Take(stream)) continue;
        auto depth = std::make_shared<DepthCapture>();
        if (!CaptureDepth(*static_cast<const KrVDepthMap*>(stream.data), depth.get())) return false;
        if (!chain_.Empty() && !FilterDepth(depth.get())) return false;
        if (!(format_ == ExportFormat::kTum ? ExportDepth(depth) : ExportCloud(depth, haveImage ? &image : nullptr))) {
          return false;
        }
      } else if (&stream == ir_) {
        if (Take(stream) && !ExportIr(stream)) return false;
      } else if (&stream == audio_) {
        if (Take(stream) && !ExportAudio(stream)) return false;
      }
    }
    return true;
  }

  // Writes a picture on the pool; once it is complete (and in order) the
  // list names it and the stream counts it. pixels keeps the picture's
  // memory alive until then.
  template <typename Pixels>
  void QueuePicture(const std::string& name, const PngPicture& picture, std::shared_ptr<Pixels> pixels,
                    uint64_t timestamp, TimestampList* list, StreamOut* stream) {
    const std::string path = Path(name);
    pool_.Add(
        [picture, pixels, path] {
          std::string error;
          return WritePng(path, picture, PngEffort::kFast, &error) ? std::string() : error;
        },
        [list, stream, timestamp, name](const std::string& failure) {
          if (failure.empty()) {
            list->Add(timestamp, name);
            ++stream->exported;
          }
        },
        [path] { std::remove(path.c_str()); });
  }

  // Runs the filter chain on a depth frame; the frame takes the chain's
  // output, and its camera is the output grid's from then on.
  bool FilterDepth(DepthCapture* depth) {
    KrVDepthImage in, out;
    Pinhole camera;
    if (!DepthPinhole(*depth, &camera)) return false;
    in.width = depth->width;
    in.height = depth->height;
    in.pixels.swap(depth->pixels);
    in.noSampleValue = depth->noSampleValue;
    in.shadowValue = depth->shadowValue;
    in.fx = camera.fx;
    in.fy = camera.fy;
    in.cx = camera.cx;
    in.cy = camera.cy;
    if (!Check(chain_.Apply(in, out), "cannot filter depth frame " + std::to_string(counterValue_))) return false;
    depth->width = static_cast<uint16_t>(out.width);
    depth->height = static_cast<uint16_t>(out.height);
    depth->pixels.swap(out.pixels);
    filteredCamera_ = {out.width, out.height, out.fx, out.fy, out.cx, out.cy, "none"};
    filtered_ = true;
    return true;
  }

  // The depth picture in units of 1 / scale metres; no-sample and shadow
  // pixels are 0, as the layout has it.
  bool ExportDepth(const std::shared_ptr<DepthCapture>& depth) {
    if (!haveDepthCamera_) {
      KrVCameraIntrinsics camera;
      if (!DepthCamera(*depth, &camera)) return false;
      camera_.depth = {camera.width, camera.height, camera.fx, camera.fy, camera.cx, camera.cy,
                       camera.GetDistortionModel()};
      haveDepthCamera_ = true;
    }
    const double factor = options_.depthScale / 1000.0;
    auto pixels = std::make_shared<std::vector<uint16_t>>(depth->pixels.size());
    uint16_t deepest = 0;
    for (size_t i = 0; i < depth->pixels.size(); ++i) {
      const uint16_t z = depth->pixels[i];
      if (!depth->Valid(z)) continue;
      const double value = std::round(z * factor);
      if (value > UINT16_MAX) {
        deepest = std::max(deepest, z);
        continue;
      }
      (*pixels)[i] = static_cast<uint16_t>(value);
    }
    if (deepest != 0) {
      return Fail("depth frame " + std::to_string(counterValue_) + " holds " + std::to_string(deepest) +
                  " mm, beyond the " + std::to_string(static_cast<int>(UINT16_MAX / factor)) +
                  " mm that 16 bits hold at --depth-scale " + RealText(options_.depthScale, false) +
                  "; give a smaller scale (1000: millimetres)");
    }
    const std::string name = "depth/" + Seconds(depth->timestamp) + ".png";
    const PngPicture picture{depth->width, depth->height, 1, 16, pixels->data()};
    const uint64_t timestamp = depth->timestamp;
    QueuePicture(name, picture, pixels, timestamp, &depthList_, depth_);
    return true;
  }

  bool ExportImage(const ImageCapture& image) {
    if (!camera_.hasColour) {
      KrVCameraIntrinsics camera;
      KrVCameraExtrinsics motion;
      if (!Check(KrVCameraIntrinsics::FromStream(*source_.device, image_->name.c_str(), camera),
                 "cannot read the colour camera of " + options_.recording) ||
          (depth_ != nullptr &&
           !Check(KrVCameraExtrinsics::FromStream(*source_.device, depth_->name.c_str(), motion),
                  "cannot read where the colour camera sits in " + options_.recording))) {
        return false;
      }
      camera_.colour = {camera.width, camera.height, camera.fx, camera.fy, camera.cx, camera.cy,
                        camera.GetDistortionModel()};
      std::copy(motion.rotation, motion.rotation + 9, camera_.rotation);
      std::copy(motion.translation, motion.translation + 3, camera_.translation);
      camera_.hasColour = true;
    }
    if (image.grey16) return Fail("the image stream holds 16-bit grey, not colour; export it with --streams depth,ir");
    const std::string name = "rgb/" + Seconds(image.timestamp) + ".png";
    auto rgb = std::make_shared<std::vector<uint8_t>>(image.rgb);
    const PngPicture picture{image.width, image.height, 3, 8, rgb->data()};
    const uint64_t timestamp = image.timestamp;
    QueuePicture(name, picture, rgb, timestamp, &rgbList_, image_);
    return true;
  }

  bool ExportIr(StreamOut& stream) {
    const auto* map = static_cast<const KrVImageMap*>(stream.data);
    const uint32_t width = map->GetXRes(), height = map->GetYRes();
    const size_t pixels = size_t{width} * height;
    const bool sixteen = map->GetOutputFormat() == KR_OUTPUT_FORMAT_GRAYSCALE16;
    if (!sixteen && map->GetOutputFormat() != KR_OUTPUT_FORMAT_GRAYSCALE8) {
      return Fail("the infra-red stream's output format " + std::to_string(map->GetOutputFormat()) +
                  " is not grey; it cannot be exported");
    }
    if (pixels == 0) {
      return Fail("the infra-red stream has no usable resolution");
    }
    if (!HoldsPixels(*map, pixels * (sixteen ? 2 : 1), "infra-red")) return false;
    auto values = std::make_shared<std::vector<uint16_t>>(pixels);
    if (sixteen) {
      std::memcpy(values->data(), map->Data(), pixels * 2);
    } else {
      std::copy(map->Data(), map->Data() + pixels, values->begin());
    }
    const std::string name = "ir/" + Seconds(map->GetTimestamp()) + ".png";
    const PngPicture picture{width, height, 1, 16, values->data()};
    const uint64_t timestamp = map->GetTimestamp();
    QueuePicture(name, picture, values, timestamp, &irList_, &stream);
    return true;
  }

  bool ExportAudio(StreamOut& stream) {
    if (!wavOpen_) {
      if (wavChannels_ == 0 || wavRate_ == 0) return Fail("the audio stream has no sample rate or channels");
      if (!wav_.Open(Path("audio.wav"), wavRate_, wavChannels_)) return false;
      wavOpen_ = true;
    }
    if (!wav_.Append(stream.data->Data(), stream.data->GetDataSize())) return false;
    ++stream.exported;
    return true;
  }

  // The camera of the depth frames as exported: the filtered grid's, or
  // the stream's own.
  bool DepthCamera(const DepthCapture& depth, KrVCameraIntrinsics* camera) {
    if (!filtered_) {
      return Check(KrVCameraIntrinsics::FromStream(*source_.device, depth_->name.c_str(), *camera),
                   "cannot read the depth camera of " + options_.recording);
    }
    camera->width = depth.width;
    camera->height = depth.height;
    camera->fx = filteredCamera_.fx;
    camera->fy = filteredCamera_.fy;
    camera->cx = filteredCamera_.cx;
    camera->cy = filteredCamera_.cy;
    return true;
  }

  // For each depth pixel, the image pixel that shows it (the colour camera
  // sits beside the depth camera), through the engine's aligner.
  bool ImagePixels(const DepthCapture& depth, const ImageCapture& image, std::vector<int>* pixels) {
    KrVCameraIntrinsics depthCamera, imageCamera;
    KrVCameraExtrinsics motion;
    KrVFrameAligner aligner;
    if (!DepthCamera(depth, &depthCamera) ||
        !Check(KrVCameraIntrinsics::FromStream(*source_.device, image_->name.c_str(), imageCamera),
               "cannot read the colour camera of " + options_.recording) ||
        !Check(KrVCameraExtrinsics::FromStream(*source_.device, depth_->name.c_str(), motion),
               "cannot read where the colour camera sits in " + options_.recording)) {
      return false;
    }
    if (imageCamera.width != image.width || imageCamera.height != image.height) {
      return Fail("the colour camera's size differs from its image's in " + options_.recording);
    }
    pixels->assign(depth.pixels.size(), -1);
    return Check(aligner.Init(depthCamera, imageCamera, motion), "cannot align depth and colour") &&
           Check(aligner.FindImagePixels(depth.pixels.data(), depth.pixels.size(), depth.noSampleValue,
                                         depth.shadowValue, pixels->data(), pixels->size()),
                 "cannot align depth and colour");
  }

  bool ExportCloud(const std::shared_ptr<DepthCapture>& depth, const ImageCapture* image) {
    auto cloud = std::make_shared<Cloud>();
    std::vector<int> pixels;
    if (image != nullptr && image->captured && !image->grey16 && !ImagePixels(*depth, *image, &pixels)) return false;
    if (!MakeCloud(*depth, image, pixels, options_.metres, filtered_ ? &filteredCamera_ : nullptr, cloud.get())) {
      return false;
    }
    const bool ply = format_ == ExportFormat::kPly;
    char number[16];
    std::snprintf(number, sizeof(number), "%06llu", static_cast<unsigned long long>(counterValue_));
    const std::string name = std::string("clouds/frame-") + number + (ply ? ".ply" : ".pcd");
    const std::string path = Path(name);
    const bool metres = options_.metres;
    const uint64_t timestamp = depth->timestamp;
    pool_.Add([cloud, path, ply, metres] { return WriteWhole(path, ply ? PlyBytes(*cloud, metres) : PcdBytes(*cloud, metres)); },
              [this, timestamp, name](const std::string& failure) {
                if (failure.empty()) {
                  clouds_.Add(timestamp, name);
                  ++depth_->exported;
                }
              },
              [path] { std::remove(path.c_str()); });
    return true;
  }

  // associations.txt: for every depth picture, the colour picture nearest
  // in time ("rgb-time rgb-file depth-time depth-file", as the layout's
  // tools expect).
  bool WriteAssociations() {
    if (depthList_.entries.empty() || rgbList_.entries.empty()) return true;
    std::string text;
    const auto& rgb = rgbList_.entries;
    for (const auto& depth : depthList_.entries) {
      auto after = std::lower_bound(rgb.begin(), rgb.end(), depth,
                                    [](const auto& a, const auto& b) { return a.first < b.first; });
      auto nearest = after == rgb.end() ? std::prev(after) : after;
      if (after != rgb.begin() && after != rgb.end() &&
          depth.first - std::prev(after)->first <= after->first - depth.first) {
        nearest = std::prev(after);
      }
      text += Seconds(nearest->first) + " " + nearest->second + " " + Seconds(depth.first) + " " + depth.second + "\n";
    }
    const std::string failure = WriteWhole(Path("associations.txt"), text);
    return failure.empty() || Fail(failure);
  }

  bool Finish() {
    bool ok = depthList_.Close() & rgbList_.Close() & irList_.Close() & clouds_.Close() & wav_.Close();
    if (format_ == ExportFormat::kTum) {
      ok = WriteAssociations() && ok;
      camera_.depthScale = options_.depthScale;
      if (haveDepthCamera_) {
        const std::string failure = WriteWhole(Path("camera.json"), CameraJson(camera_));
        ok = (failure.empty() || Fail(failure)) && ok;
      }
    }
    return ok;
  }

  void Summarise(bool ok, const std::string& failure) {
    std::string counts;
    for (const StreamOut& stream : streams_) {
      if (!stream.wanted) continue;
      counts += (counts.empty() ? "" : ", ") + (options_.json ? Quoted(stream.option) + ": " : stream.option + " ") +
                std::to_string(stream.exported);
    }
    if (options_.json) {
      std::printf("{\"recording\": %s, \"folder\": %s, \"format\": %s, \"complete\": %s, \"frames\": {%s}, "
                  "\"audio_samples\": %llu, \"damaged_reads\": %u, \"error\": %s}\n",
                  Quoted(options_.recording).c_str(), Quoted(options_.folder).c_str(), Quoted(options_.format).c_str(),
                  ok ? "true" : "false", counts.c_str(), static_cast<unsigned long long>(wav_.Samples()), damaged_,
                  ok ? "null" : Quoted(failure.empty() ? "see the messages above" : failure).c_str());
      return;
    }
    std::printf("%s: %s %s into %s/ (%s)\n", options_.recording.c_str(), ok ? "exported" : "stopped exporting",
                options_.format.c_str(), options_.folder.c_str(), counts.c_str());
    if (!ok) std::printf("  the files listed in %s/ are complete; the export stopped after them\n", options_.folder.c_str());
  }

  const ExportOptions& options_;
  ExportFormat format_;
  Selection selection_;
  Source source_;
  std::vector<StreamOut> streams_;
  StreamOut* depth_ = nullptr;
  StreamOut* image_ = nullptr;
  StreamOut* ir_ = nullptr;
  StreamOut* audio_ = nullptr;
  StreamOut* counted_ = nullptr;
  uint64_t counterValue_ = 0;
  bool beyondWindow_ = false;
  bool haveStart_ = false;
  uint64_t start_ = 0;
  uint32_t damaged_ = 0;
  CameraFile camera_;
  bool haveDepthCamera_ = false;
  TimestampList depthList_, rgbList_, irList_, clouds_;
  WavFile wav_;
  bool wavOpen_ = false;
  uint32_t wavRate_ = 0;
  uint16_t wavChannels_ = 0;
  KrVDepthFilterChain chain_;
  Pinhole filteredCamera_;
  bool filtered_ = false;
  OrderedPool pool_;  // last: its jobs finish before the lists they add to go
};

bool ParseSelection(const std::string& frames, const std::string& time, uint32_t every, Selection* selection) {
  selection->every = every;
  selection->byFrames = !frames.empty();
  selection->byTime = !time.empty();
  if (selection->byFrames && (!ParseRange(frames, true, &selection->frames) || selection->frames.first < 1)) {
    return Fail("--frames " + frames + ": give FIRST:LAST frame numbers from 1 (either may be left out)");
  }
  if (selection->byTime && !ParseRange(time, false, &selection->seconds)) {
    return Fail("--time " + time + ": give FROM:TO in seconds from the recording's start (either may be left out)");
  }
  return true;
}

int RunExport(const ExportOptions& options) {
  ExportFormat format = ExportFormat::kTum;
  if (options.format == "ply") format = ExportFormat::kPly;
  if (options.format == "pcd") format = ExportFormat::kPcd;
  Selection selection;
  if (!ParseSelection(options.frames, options.time, options.every, &selection)) return kExitUsage;
  if (!(options.depthScale > 0 && std::isfinite(options.depthScale))) {
    Fail("--depth-scale must be a number above zero");
    return kExitUsage;
  }
  Exporter exporter(options, format, selection);
  return exporter.Run();
}

// ---- convert ----

struct ConvertOptions {
  std::string input, output;
  std::string compress;
  std::string frames, time;
  std::vector<std::string> streams;
  bool force = false;
};

bool SameFile(const std::string& a, const std::string& b) {
  struct stat first = {}, second = {};
  return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
         first.st_ino == second.st_ino;
}

// Plays the input and records it with the engine's recorder: every property
// change is repeated at its place, as it was recorded; frames outside the
// window are read (so their changes still apply) but not written.
int RunConvert(const ConvertOptions& options) {
  Selection selection;
  if (!ParseSelection(options.frames, options.time, 1, &selection)) return kExitUsage;
  if (SameFile(options.input, options.output)) {
    Fail(options.output + " is the recording being converted: give another file");
    return kExitUsage;
  }
  if (!options.force && access(options.output.c_str(), F_OK) == 0) {
    Fail(options.output + " exists: give a new file name, or --force to replace it");
    return kExitFailed;
  }
  Source source;
  if (!OpenRecording(options.input, &source)) return kExitFailed;
  KrVDevice& device = *source.device;
  std::vector<std::string> names;
  if (!StreamNames(device, &names)) return kExitFailed;
  struct Kept {
    std::string name;
    KrVStreamData* data = nullptr;
    uint32_t frames = 0;
  };
  std::vector<Kept> kept;
  KrVStreamData* counted = nullptr;
  for (const std::string& name : names) {
    std::string type;
    KrVStreamData* data = nullptr;
    if (!GetText(device, name.c_str(), "Type", &type) ||
        !Check(device.GetStreamData(name.c_str(), data), "cannot reach stream " + name)) {
      return kExitFailed;
    }
    if (counted == nullptr || (type == "Depth" && dynamic_cast<KrVDepthMap*>(counted) == nullptr)) counted = data;
    std::string option;
    for (const std::string& candidate : kStreamOptionNames) {
      if (StreamTypeOf(candidate) == type) option = candidate;
    }
    if (options.streams.empty() ||
        std::find(options.streams.begin(), options.streams.end(), option) != options.streams.end()) {
      kept.push_back({name, data, 0});
    }
  }
  if (kept.empty()) {
    Fail("nothing to convert: " + options.input + " holds none of the streams asked for");
    return kExitFailed;
  }
  KrVDeviceRecorder recorder(&device, options.output.c_str());
  if (!Check(recorder.StartRecording(0), "cannot record into " + options.output)) return kExitFailed;
  for (const Kept& stream : kept) {
    if (!Check(recorder.AddStream(stream.name.c_str()), "cannot record stream " + stream.name)) {
      recorder.StopRecording();
      return kExitFailed;
    }
  }
  if (!SetCompression(recorder, options.compress)) return kExitUsage;
  uint64_t total = 0, number = 0, start = 0;
  bool haveStart = false;
  device.GetProperty(names.front().c_str(), "NumberOfFrames", total);
  Progress progress("converting " + options.input, total, false);
  bool ok = true;
  int damagedInARow = 0;
  for (;;) {
    const KrStatus status = device.Read();
    if (status == KR_STATUS_TL_END_OF_FILE) break;
    if (status == KR_STATUS_TL_FILE_CORRUPT && ++damagedInARow < 1000) {
      std::fprintf(stderr, "ovalith: warning: a damaged frame or chunk of %s was passed over\n", options.input.c_str());
    } else if (!Check(status, "cannot read " + options.input)) {
      ok = false;
      break;
    } else {
      damagedInARow = 0;
    }
    if (counted != nullptr && counted->IsDataNew()) ++number;
    uint64_t timestamp = 0;
    bool any = false;
    for (const std::string& name : names) {
      KrVStreamData* data = nullptr;
      if (device.GetStreamData(name.c_str(), data) == KR_STATUS_OK && data->IsDataNew() && !any) {
        timestamp = data->GetTimestamp();
        any = true;
      }
    }
    if (any && !haveStart) {
      start = timestamp;
      haveStart = true;
    }
    const bool beyond = selection.byFrames && selection.frames.last >= selection.frames.first && number > selection.frames.last;
    if (beyond) break;
    const bool inFrames = !selection.byFrames || (number >= selection.frames.first && number > 0);
    const bool inTime =
        !selection.byTime || (any && selection.seconds.Holds(static_cast<double>(timestamp - std::min(start, timestamp)) / 1e6));
    if (inFrames && inTime) {
      const KrStatus written = recorder.WriteData();  // before its failure is described
      if (!Check(written, WriteFailureText(recorder, "write to", options.output))) {
        ok = false;
        break;
      }
      for (Kept& stream : kept) stream.frames += stream.data->IsDataNew() ? 1 : 0;
    }
    progress.Show(number);
  }
  progress.Show(number, true);
  const KrStatus stopped = recorder.StopRecording();
  ok = Check(stopped, WriteFailureText(recorder, "finish", options.output)) && ok;
  std::printf("%s: %s %s\n", options.output.c_str(), ok ? "converted from" : "stopped converting", options.input.c_str());
  for (const Kept& stream : kept) std::printf("  %-8s %u frames\n", stream.name.c_str(), stream.frames);
  return ok ? kExitOk : kExitFailed;
}

}  // namespace

void AddExportCommands(CLI::App& app, Command* command) {
  auto options = std::make_shared<ExportOptions>();
  CLI::App* exportCommand =
      app.add_subcommand("export", "write a recording's frames as PNG pictures with timestamp lists (the RGB-D dataset "
                                   "layout), as PLY or PCD point clouds, and its sound as WAV");
  exportCommand->add_option("REC", options->recording, "the recording")->required();
  exportCommand->add_option("DIR", options->folder, "the folder to write (made when missing; must be empty)")->required();
  exportCommand->add_option("--format", options->format, "tum: depth/, rgb/, ir/ PNGs, depth.txt, rgb.txt, ir.txt, "
                                                         "associations.txt, audio.wav, camera.json; ply or pcd: one "
                                                         "binary point cloud per depth frame in clouds/")
      ->check(CLI::IsMember({"tum", "ply", "pcd"}))
      ->capture_default_str();
  exportCommand->add_option("--depth-scale", options->depthScale,
                            "depth picture units per metre (5000 as the dataset layout has it; 1000: millimetres)")
      ->check(PositiveFinite())
      ->capture_default_str();
  exportCommand->add_option("--frames", options->frames, "FIRST:LAST depth frame numbers, from 1 (bounds included)");
  exportCommand->add_option("--time", options->time, "FROM:TO seconds from the recording's first frame");
  exportCommand->add_option("--streams", options->streams, "streams to export (default: every one)")
      ->delimiter(',')
      ->check(CLI::IsMember(kStreamOptionNames));
  exportCommand->add_option("--every", options->every, "keep every Nth frame of each picture stream")
      ->check(CLI::Range(1u, 1000000u))
      ->capture_default_str();
  exportCommand->add_flag("--metres", options->metres, "point clouds in metres (default millimetres)");
  exportCommand->add_option("--filter", options->filter,
                            "depth filters in turn, e.g. decimate=2,spatial,temporal,holes=nearest (see "
                            "docs/depth-filters.md)");
  exportCommand->add_flag("--force", options->force, "write into a folder that is not empty");
  exportCommand->add_flag("--json", options->json, "print a one-line JSON summary, no progress line");
  exportCommand->callback([command, options] { *command = [options] { return RunExport(*options); }; });

  auto convert = std::make_shared<ConvertOptions>();
  CLI::App* convertCommand = app.add_subcommand(
      "convert", "copy a recording into a new one: re-encoded, trimmed or with fewer streams, every property change at "
                 "its place");
  convertCommand->add_option("IN", convert->input, "the recording to convert")->required();
  convertCommand->add_option("OUT", convert->output, "the new recording")->required();
  convertCommand->add_option("--compress", convert->compress,
                             "codec of each kind of stream, e.g. depth=depth,image=lz4 (codecs: raw, depth, lz4, zstd, "
                             "zlib; default raw)");
  convertCommand->add_option("--frames", convert->frames, "FIRST:LAST depth frame numbers to keep, from 1");
  convertCommand->add_option("--time", convert->time, "FROM:TO seconds from the recording's first frame to keep");
  convertCommand->add_option("--streams", convert->streams, "streams to keep (default: every one)")
      ->delimiter(',')
      ->check(CLI::IsMember(kStreamOptionNames));
  convertCommand->add_flag("--force", convert->force, "replace OUT when it exists");
  convertCommand->callback([command, convert] { *command = [convert] { return RunConvert(*convert); }; });
}

}  // namespace ovalith_tool
