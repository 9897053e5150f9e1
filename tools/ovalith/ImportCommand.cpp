// ovalith import: a folder of pictures in the RGB-D dataset layout (or a
// plain folder of 16-bit depth PNGs) made into a recording that the whole
// engine plays like one of the sensor's.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

#include "Interchange.h"
#include "Png.h"

namespace ovalith_tool {
namespace {

struct ImportOptions {
  std::string folder, output;
  double depthScale = 0;  // 0: camera.json's, else 5000
  double fps = 30;        // plain folders
  std::string intrinsics;  // "fx,fy,cx,cy"
  bool force = false;
  bool quiet = false;
};

// The engine's model of the depth camera: a zero-plane distance of this many
// millimetres (the sensor's own), the pixel size then follows from fx.
constexpr double kZeroPlaneDistance = 120.0;
// Beyond these the centred, square-pixel model misplaces points visibly.
constexpr double kCentreTolerancePixels = 1.0;
constexpr double kFocalTolerance = 0.005;

struct Picture {
  uint64_t timestamp = 0;  // microseconds
  std::string file;        // relative to the folder
  std::string where;       // "depth.txt line 7", for messages
};

struct Stream {
  const char* name;  // "Depth", "Image", "IR"
  std::vector<Picture> pictures;
  uint32_t width = 0, height = 0;
  uint32_t written = 0;
};

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// A list of "timestamp filename" lines (the layout's depth.txt, rgb.txt):
// comments start with "#"; time stamps in seconds, each after the one before.
bool ReadList(const std::string& folder, const std::string& list, std::vector<Picture>* pictures) {
  const std::string path = folder + "/" + list;
  std::ifstream in(path);
  if (!in) return Fail("cannot read " + path + ": " + std::strerror(errno));
  std::string line;
  for (int number = 1; std::getline(in, line); ++number) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos || line[first] == '#') continue;
    std::istringstream fields(line);
    std::string stamp, file, extra;
    fields >> stamp >> file;
    const std::string where = list + " line " + std::to_string(number);
    char* end = nullptr;
    const double seconds = std::strtod(stamp.c_str(), &end);
    if (stamp.empty() || *end != '\0' || !std::isfinite(seconds) || seconds < 0 || seconds > 1.8e13 || file.empty() ||
        (fields >> extra)) {
      return Fail(path + " line " + std::to_string(number) + ": give \"TIMESTAMP FILENAME\" (seconds, then the picture)");
    }
    const auto timestamp = static_cast<uint64_t>(std::llround(seconds * 1e6));
    if (!pictures->empty() && timestamp <= pictures->back().timestamp) {
      return Fail(path + " line " + std::to_string(number) + ": time stamp " + stamp +
                  " is not after the one before it; the list must be in time order");
    }
    pictures->push_back({timestamp, file, where});
  }
  if (pictures->empty()) return Fail(path + " lists no pictures");
  return true;
}

// A plain folder: its .png files in name order, fps apart.
bool ListFolder(const std::string& folder, double fps, std::vector<Picture>* pictures) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return Fail("cannot read " + folder + ": " + std::strerror(errno));
  std::vector<std::string> names;
  for (dirent* entry = readdir(dir); entry != nullptr; entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".png") == 0) names.push_back(name);
  }
  closedir(dir);
  if (names.empty()) return Fail(folder + " holds neither depth.txt nor .png pictures");
  std::sort(names.begin(), names.end());
  for (size_t i = 0; i < names.size(); ++i) {
    pictures->push_back({static_cast<uint64_t>(std::llround(static_cast<double>(i) * 1e6 / fps)), names[i],
                         "picture " + std::to_string(i + 1) + " of " + folder});
  }
  return true;
}

bool ParseIntrinsics(const std::string& text, uint32_t width, uint32_t height, Pinhole* camera) {
  double values[4];
  char tail = 0;
  if (std::sscanf(text.c_str(), "%lf,%lf,%lf,%lf%c", &values[0], &values[1], &values[2], &values[3], &tail) != 4 ||
      !(values[0] > 0) || !(values[1] > 0) || !std::isfinite(values[0] + values[1] + values[2] + values[3])) {
    return Fail("--intrinsics " + text + ": give FX,FY,CX,CY in pixels (focal lengths above 0)");
  }
  *camera = {width, height, values[0], values[1], values[2], values[3], "none"};
  return true;
}

// The engine's translator models the depth camera with its principal
// point at the centre (integer halves) and square pixels; a dataset's
// camera is mapped onto the nearest such model, and what differs is said.
bool MapIntrinsics(const Pinhole& camera, const char* which, double* zpps) {
  const uint32_t scale = camera.width <= 1280 ? 1280 / camera.width : 0;
  if (scale == 0) {
    return Fail(std::string(which) + " pictures " + std::to_string(camera.width) +
                " pixels wide: the engine's camera model covers widths up to 1280");
  }
  const double focal = (camera.fx + camera.fy) / 2;
  *zpps = kZeroPlaneDistance / (focal * scale);
  const double dx = camera.cx - camera.width / 2, dy = camera.cy - camera.height / 2;
  if (std::abs(dx) > kCentreTolerancePixels || std::abs(dy) > kCentreTolerancePixels) {
    std::fprintf(stderr,
                 "ovalith: warning: the %s camera's principal point (%.2f, %.2f) lies %.2f, %.2f pixels from the "
                 "centre (%u, %u) that the engine's camera model assumes: points will be shifted by up to that much\n",
                 which, camera.cx, camera.cy, dx, dy, camera.width / 2, camera.height / 2);
  }
  const double spread = std::abs(camera.fx - camera.fy) / focal;
  if (spread > kFocalTolerance) {
    std::fprintf(stderr,
                 "ovalith: warning: the %s camera's fx %.3f and fy %.3f differ by %.2f%%; the engine's pixels are "
                 "square, so both become %.3f\n",
                 which, camera.fx, camera.fy, 100 * spread, focal);
  }
  return true;
}

// Depth picture units (scale per metre) to millimetres, rounded and capped
// at 65535: a table of every 16-bit value, made once per import, so a frame
// costs a lookup per pixel.
class MillimetreTable {
 public:
  explicit MillimetreTable(double scale) : values_(65536) {
    const double factor = 1000 / scale;
    for (size_t v = 0; v < values_.size(); ++v) {
      values_[v] = static_cast<uint16_t>(std::min(65535.0, std::round(static_cast<double>(v) * factor)));
    }
  }
  void Apply(uint16_t* values, size_t count) const {
    for (size_t i = 0; i < count; ++i) values[i] = values_[values[i]];
  }

 private:
  std::vector<uint16_t> values_;
};

class Importer {
 public:
  explicit Importer(const ImportOptions& options) : options_(options) {}

  int Run() {
    if (!ReadInputs() || !CheckOutput() || !Describe()) return kExitFailed;
    const bool ok = Write();
    if (!ok) std::printf("%s: stopped importing; it holds the frames before the failure:", options_.output.c_str());
    if (ok) std::printf("%s: imported from %s:", options_.output.c_str(), options_.folder.c_str());
    for (const Stream& stream : streams_) std::printf(" %s %u", stream.name, stream.written);
    std::printf(" frames\n");
    return ok ? kExitOk : kExitFailed;
  }

 private:
  std::string Path(const std::string& relative) const { return options_.folder + "/" + relative; }

  bool ReadInputs() {
    struct stat status = {};
    if (stat(options_.folder.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
      return Fail("cannot import " + options_.folder + ": not a folder");
    }
    streams_.push_back({"Depth", {}, 0, 0, 0});
    layout_ = Exists(Path("depth.txt"));
    if (layout_) {
      if (!ReadList(options_.folder, "depth.txt", &streams_[0].pictures)) return false;
      for (const auto& [list, name] : {std::make_pair("rgb.txt", "Image"), std::make_pair("ir.txt", "IR")}) {
        if (!Exists(Path(list))) continue;
        streams_.push_back({name, {}, 0, 0, 0});
        if (!ReadList(options_.folder, list, &streams_.back().pictures)) return false;
      }
    } else if (!ListFolder(options_.folder, options_.fps, &streams_[0].pictures)) {
      return false;
    }
    std::string error;
    if (Exists(Path("camera.json"))) {
      if (!ReadCameraJson(Path("camera.json"), &camera_, &error)) return Fail(error);
      haveCamera_ = true;
    }
    scale_ = options_.depthScale > 0 ? options_.depthScale : (haveCamera_ ? camera_.depthScale : 5000);
    // The first picture of each stream sets its size; every other must match.
    for (Stream& stream : streams_) {
      PngImage first;
      const Picture& picture = stream.pictures.front();
      if (!ReadPng(Path(picture.file), stream.name != std::string("Image"), &first, &error)) {
        return Fail(picture.where + ": " + error);
      }
      stream.width = first.width;
      stream.height = first.height;
      if (stream.width > UINT16_MAX || stream.height > UINT16_MAX) return Fail(picture.where + ": a picture too large");
    }
    return true;
  }

  bool CheckOutput() {
    if (Exists(options_.output) && !options_.force) {
      return Fail(options_.output + " exists: give a new file name, or --force to replace it");
    }
    return true;
  }

  bool Describe() {
    const Stream& depth = streams_[0];
    if (!options_.intrinsics.empty()) {
      if (!ParseIntrinsics(options_.intrinsics, depth.width, depth.height, &camera_.depth)) return false;
    } else if (!haveCamera_) {
      // The dataset layout's own default camera, at its 640-pixel width.
      const double scale = depth.width / 640.0;
      camera_.depth = {depth.width, depth.height, 525.0 * scale, 525.0 * scale, depth.width / 2.0 - 0.5 * scale,
                       depth.height / 2.0 - 0.5 * scale, "none"};
      std::fprintf(stderr,
                   "ovalith: warning: %s has no camera.json and no --intrinsics was given: the layout's default "
                   "camera (fx = fy = %.1f) is assumed\n",
                   options_.folder.c_str(), camera_.depth.fx);
    }
    if (camera_.depth.width != depth.width || camera_.depth.height != depth.height) {
      return Fail("camera.json describes " + std::to_string(camera_.depth.width) + "x" +
                  std::to_string(camera_.depth.height) + " depth, but the depth pictures are " +
                  std::to_string(depth.width) + "x" + std::to_string(depth.height));
    }
    if (!MapIntrinsics(camera_.depth, "depth", &zpps_)) return false;
    if (!camera_.hasColour) return true;
    const auto image = std::find_if(streams_.begin(), streams_.end(),
                                    [](const Stream& s) { return s.name == std::string("Image"); });
    if (image != streams_.end() && (camera_.colour.width != image->width || camera_.colour.height != image->height)) {
      return Fail("camera.json describes " + std::to_string(camera_.colour.width) + "x" +
                  std::to_string(camera_.colour.height) + " colour, but the colour pictures are " +
                  std::to_string(image->width) + "x" + std::to_string(image->height));
    }
    return MapIntrinsics(camera_.colour, "colour", &colourZpps_);
  }

  KrStatus AddStreams(KrVDevice& writer) {
    for (const Stream& stream : streams_) {
      KrVPropertySet values;
      const std::string name = stream.name;
      const uint64_t bytesPerPixel = name == "Image" ? 3 : 2;
      const uint64_t fps = static_cast<uint64_t>(std::max(1.0, std::round(FramesPerSecond(stream))));
      values.AddProperty(stream.name, "XRes", uint64_t{stream.width});
      values.AddProperty(stream.name, "YRes", uint64_t{stream.height});
      values.AddProperty(stream.name, "BytesPerPixel", bytesPerPixel);
      values.AddProperty(stream.name, "RequiredDataSize", bytesPerPixel * stream.width * stream.height);
      values.AddProperty(stream.name, "FPS", fps);
      // Where the colour camera sits: R row by row, then t in mm, from the
      // depth (and infra-red) camera.
      double motion[12];
      std::copy(camera_.rotation, camera_.rotation + 9, motion);
      std::copy(camera_.translation, camera_.translation + 3, motion + 9);
      if (camera_.hasColour && name != "Image") {
        values.AddProperty(stream.name, "ExtrinsicsToImage", KrGeneralBuffer{motion, sizeof(motion)});
      }
      if (name != "Depth") {
        values.AddProperty(stream.name, "ZPD", static_cast<uint64_t>(kZeroPlaneDistance));
        values.AddProperty(stream.name, "ZPPS", name == "Image" && camera_.hasColour ? colourZpps_ : zpps_);
      }
      if (name == "Depth") {
        values.AddProperty(stream.name, "OutputFormat", uint64_t{KR_OUTPUT_FORMAT_DEPTH_VALUES});
        values.AddProperty(stream.name, "ZPD", static_cast<uint64_t>(kZeroPlaneDistance));
        values.AddProperty(stream.name, "ZPPS", zpps_);
        values.AddProperty(stream.name, "NoSampleValue", uint64_t{0});
        values.AddProperty(stream.name, "ShadowValue", uint64_t{1});
        values.AddProperty(stream.name, "MinDepthValue", uint64_t{0});
        values.AddProperty(stream.name, "MaxDepthValue",
                           static_cast<uint64_t>(std::min(65535.0, std::floor(65535 * 1000 / scale_))));
      } else {
        values.AddProperty(stream.name, "OutputFormat",
                           uint64_t{name == "Image" ? KR_OUTPUT_FORMAT_RGB24 : KR_OUTPUT_FORMAT_GRAYSCALE16});
      }
      const KrStatus status = writer.AddStream(stream.name, stream.name, &values);
      if (status != KR_STATUS_OK) return status;
    }
    return writer.OpenAllStreams();
  }

  double FramesPerSecond(const Stream& stream) const {
    if (stream.pictures.size() < 2) return options_.fps;
    const double span = static_cast<double>(stream.pictures.back().timestamp - stream.pictures.front().timestamp);
    return span > 0 ? (stream.pictures.size() - 1) * 1e6 / span : options_.fps;
  }

  // Decodes pictures on every core, and writes them into the recording in
  // time order on this thread.
  bool Write() {
    KrVDevice writer;
    KrVPropertySet initial;
    if (!Check(writer.OpenFileForWriting(options_.output.c_str(), initial), "cannot create " + options_.output) ||
        !Check(AddStreams(writer), "cannot describe the streams of " + options_.output)) {
      return false;
    }
    struct Next {
      uint64_t timestamp;
      size_t stream, index;
    };
    std::vector<Next> order;
    for (size_t s = 0; s < streams_.size(); ++s) {
      for (size_t i = 0; i < streams_[s].pictures.size(); ++i) order.push_back({streams_[s].pictures[i].timestamp, s, i});
    }
    std::stable_sort(order.begin(), order.end(), [](const Next& a, const Next& b) { return a.timestamp < b.timestamp; });
    Progress progress("importing " + options_.folder, order.size(), options_.quiet);
    bool ok = true;
    uint64_t done = 0;
    const std::unique_ptr<MillimetreTable> millimetres(scale_ != 1000 ? new MillimetreTable(scale_) : nullptr);
    {
      OrderedPool pool;
      for (const Next& next : order) {
        if (pool.Failed() || !ok) break;
        Stream* stream = &streams_[next.stream];
        const Picture* picture = &stream->pictures[next.index];
        auto frame = std::make_shared<std::vector<uint8_t>>();
        const std::string path = Path(picture->file);
        const MillimetreTable* table = millimetres.get();
        pool.Add(
            [stream, picture, frame, path, table] { return Decode(*stream, *picture, path, table, frame.get()); },
            [&, stream, picture, frame](const std::string& failure) {
              if (!failure.empty()) {
                if (failure != "skipped") Fail(failure);
                ok = false;
                return;
              }
              ok = ok && WriteFrame(writer, *stream, *picture, *frame);
              progress.Show(++done);
            });
      }
      if (!pool.Finish().empty()) ok = false;
    }
    progress.Show(done, true);
    return Check(writer.Close(), "cannot finish " + options_.output) && ok;
  }

  // One picture as the stream's frame bytes: depth in millimetres, colour
  // as RGB, infra-red as 16-bit grey. Runs on a pool thread.
  static std::string Decode(const Stream& stream, const Picture& picture, const std::string& path,
                            const MillimetreTable* millimetres,
                            std::vector<uint8_t>* frame) {
    PngImage image;
    std::string error;
    const bool depth = stream.name == std::string("Depth");
    if (!ReadPng(path, stream.name != std::string("Image"), &image, &error)) return picture.where + ": " + error;
    if (image.width != stream.width || image.height != stream.height) {
      return picture.where + ": " + picture.file + " is " + std::to_string(image.width) + "x" +
             std::to_string(image.height) + ", the stream's first picture " + std::to_string(stream.width) + "x" +
             std::to_string(stream.height) + "; a stream's pictures must all have one size";
    }
    frame->swap(image.bytes);
    if (depth && millimetres != nullptr) millimetres->Apply(reinterpret_cast<uint16_t*>(frame->data()), frame->size() / 2);
    return std::string();
  }

  bool WriteFrame(KrVDevice& writer, Stream& stream, const Picture& picture, const std::vector<uint8_t>& frame) {
    KrVStream handle;
    const std::string what = "cannot write " + std::string(stream.name) + " frame " +
                             std::to_string(stream.written + 1) + " (" + picture.where + ") into " + options_.output;
    if (!Check(writer.GetStream(stream.name, handle), what) ||
        !Check(handle.CopyFrom(frame.data(), static_cast<uint32_t>(frame.size()), picture.timestamp), what) ||
        !Check(writer.SetProperty(stream.name, "FrameId", uint64_t{stream.written + 1}), what) ||
        !Check(writer.Write(stream.name), what)) {
      return false;
    }
    ++stream.written;
    return true;
  }

  const ImportOptions& options_;
  std::vector<Stream> streams_;
  bool layout_ = false;
  CameraFile camera_;
  bool haveCamera_ = false;
  double scale_ = 5000;
  double zpps_ = 0;
  double colourZpps_ = 0;
};

}  // namespace

void AddImportCommand(CLI::App& app, Command* command) {
  auto options = std::make_shared<ImportOptions>();
  CLI::App* import = app.add_subcommand(
      "import", "make a recording of a folder of pictures: the RGB-D dataset layout (depth.txt, rgb.txt, depth/ and "
                "rgb/ PNGs, camera.json) or a plain folder of 16-bit depth PNGs");
  import->add_option("DIR", options->folder, "the folder to import")->required();
  import->add_option("OUT", options->output, "the recording to make")->required();
  import->add_option("--depth-scale", options->depthScale,
                     "depth picture units per metre (default: camera.json's, else 5000; 1000: millimetres)")
      ->check(PositiveFinite());
  import->add_option("--fps", options->fps, "frames per second of a plain folder of depth pictures")
      ->check(PositiveFinite())
      ->capture_default_str();
  import->add_option("--intrinsics", options->intrinsics,
                     "FX,FY,CX,CY of the depth camera in pixels (default: camera.json's, else the layout's default)");
  import->add_flag("--force", options->force, "replace OUT when it exists");
  import->add_flag("--quiet", options->quiet, "no progress line");
  import->callback([command, options] { *command = [options] { return Importer(*options).Run(); }; });
}

}  // namespace ovalith_tool
