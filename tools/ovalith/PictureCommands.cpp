// ovalith snapshot, ovalith cloud: one frame of a sensor or a recording as
// PNG pictures (libpng) or as a binary PLY point cloud.
#include "Png.h"
#include "ToolCommon.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace ovalith_tool {
namespace {

// ---- PNG ----

bool WritePng(const std::string& path, const PngPicture& picture) {
  std::string error;
  return WritePng(path, picture, PngEffort::kDefault, &error) || Fail(error);
}

// ---- depth pictures ----

// Near is warm, far is cold: a ramp red - yellow - green - cyan - blue.
void RampColour(double t, uint8_t* rgb) {
  const double x = std::min(1.0, std::max(0.0, t)) * 4.0;
  const int segment = std::min(3, static_cast<int>(x));
  const auto up = static_cast<uint8_t>(255.0 * (x - segment) + 0.5);
  const auto down = static_cast<uint8_t>(255 - up);
  const uint8_t colours[4][3] = {{255, up, 0}, {down, 255, 0}, {0, 255, up}, {0, down, 255}};
  std::memcpy(rgb, colours[segment], 3);
}

// Pixels without a depth are black; the others run through the ramp over
// the frame's own depth range.
std::vector<uint8_t> Colourise(const DepthCapture& depth) {
  uint16_t nearest = UINT16_MAX, farthest = 0;
  for (const uint16_t z : depth.pixels) {
    if (!depth.Valid(z)) continue;
    nearest = std::min(nearest, z);
    farthest = std::max(farthest, z);
  }
  const double range = farthest > nearest ? farthest - nearest : 1.0;
  std::vector<uint8_t> rgb(depth.pixels.size() * 3, 0);
  for (size_t i = 0; i < depth.pixels.size(); ++i) {
    if (depth.Valid(depth.pixels[i])) RampColour((depth.pixels[i] - nearest) / range, &rgb[i * 3]);
  }
  return rgb;
}

bool WriteDepthPictures(const PictureOptions& options, const DepthCapture& depth) {
  if (!options.depthPng.empty()) {
    const std::vector<uint8_t> rgb = Colourise(depth);
    if (!WritePng(options.depthPng, {depth.width, depth.height, 3, 8, rgb.data()})) return false;
  }
  return options.depth16Png.empty() ||
         WritePng(options.depth16Png, {depth.width, depth.height, 1, 16, depth.pixels.data()});
}

bool WriteImagePicture(const std::string& path, const ImageCapture& image) {
  if (image.grey16) return WritePng(path, {image.width, image.height, 1, 16, image.grey.data()});
  return WritePng(path, {image.width, image.height, 3, 8, image.rgb.data()});
}

// ---- point cloud ----

// The real-world point of every pixel (row by row) from the batch
// conversion; pixels without a depth are left out later.
// A filtered frame's points come from the pinhole camera of its grid
// (decimation changes it; the stream's translator knows only the full one).
bool ConvertAll(const DepthCapture& depth, const DepthFiltering* filtering, KrVPointContainer* points) {
  if (filtering != nullptr) {
    if (!(filtering->fx > 0) || !(filtering->fy > 0)) return Fail("the depth stream has no real-world calibration");
    for (size_t i = 0; i < depth.pixels.size(); ++i) {
      const double z = depth.pixels[i], u = static_cast<double>(i % depth.width);
      const double v = static_cast<double>(i / depth.width);
      (*points)[static_cast<int>(i)] =
          KrVPoint(static_cast<float>((u - filtering->cx) * z / filtering->fx),
                   static_cast<float>((v - filtering->cy) * z / filtering->fy), static_cast<float>(z));
    }
    return true;
  }
  if (depth.translator == nullptr) return Fail("the depth stream has no real-world calibration");
  return Check(depth.translator->Projective2RW(depth.pixels.data(), depth.width, 0, 0, depth.width, depth.height,
                                               *points, KRV_NO_SAMPLE_KEEP, depth.noSampleValue),
               "cannot convert the depth frame to real-world points");
}

// A calibration that gives no position (a damaged or foreign recording's
// "ZPD"/"ZPPS") makes no cloud: points that are not numbers help nobody.
bool AllFinite(const DepthCapture& depth, const KrVPointContainer& points) {
  size_t bad = 0;
  for (size_t i = 0; i < depth.pixels.size(); ++i) {
    if (!depth.Valid(depth.pixels[i])) continue;
    const KrVPoint& point = points[static_cast<int>(i)];
    bad += !std::isfinite(point.X()) || !std::isfinite(point.Y()) || !std::isfinite(point.Z());
  }
  return bad == 0 || Fail("the depth stream's calibration gives no real-world position for " + std::to_string(bad) +
                          " measured pixels; no cloud written");
}

std::string PlyHeader(size_t count, bool coloured) {
  std::string header = "ply\nformat binary_little_endian 1.0\ncomment ovalith point cloud, millimetres\n";
  header += "element vertex " + std::to_string(count) + "\n";
  header += "property float x\nproperty float y\nproperty float z\n";
  if (coloured) header += "property uchar red\nproperty uchar green\nproperty uchar blue\n";
  return header + "end_header\n";
}

bool Colourable(const DepthCapture& depth, const ImageCapture& image) {
  return image.captured && !image.grey16 && depth.width > 0;
}

// The image pixel that shows each depth pixel (-1: none) from the device's
// camera parameters as they are now (KrVFrameAligner: the colour camera sits
// beside the depth camera, so the right pixel is the point's projection, not
// the pixel of the same index). Without camera parameters (a foreign
// recording) an image of the depth's size is taken pixel for pixel. A
// filtered frame stands in the grid of the filters' camera.
bool FindImagePixels(KrVDevice& device, const DepthCapture& depth, const ImageCapture& image,
                     const DepthFiltering* filtering, std::vector<int>* pixels) {
  pixels->assign(depth.pixels.size(), -1);
  KrVFrameAligner aligner;
  bool known = aligner.Init(device) == KR_STATUS_OK;
  if (known && filtering != nullptr) {
    KrVCameraIntrinsics grid = aligner.GetDepthIntrinsics();
    grid.width = filtering->width;
    grid.height = filtering->height;
    grid.fx = filtering->fx, grid.fy = filtering->fy, grid.cx = filtering->cx, grid.cy = filtering->cy;
    const KrVCameraIntrinsics colour = aligner.GetImageIntrinsics();
    const KrVCameraExtrinsics motion = aligner.GetExtrinsics();
    known = aligner.Init(grid, colour, motion) == KR_STATUS_OK;
  }
  const bool described = known && aligner.GetDepthIntrinsics().width == depth.width &&
                         aligner.GetDepthIntrinsics().height == depth.height &&
                         aligner.GetImageIntrinsics().width == image.width &&
                         aligner.GetImageIntrinsics().height == image.height;
  if (described) {
    return Check(aligner.FindImagePixels(depth.pixels.data(), depth.pixels.size(), depth.noSampleValue,
                                         depth.shadowValue, pixels->data(), pixels->size()),
                 "cannot find the image pixels of the depth frame");
  }
  if (image.width != depth.width || image.height != depth.height) {
    std::fprintf(stderr,
                 "ovalith: warning: the streams carry no camera parameters that relate a %ux%u image to "
                 "%ux%u depth; the points stay uncoloured\n",
                 image.width, image.height, depth.width, depth.height);
    pixels->clear();
    return true;
  }
  for (size_t i = 0; i < pixels->size(); ++i) (*pixels)[i] = static_cast<int>(i);
  return true;
}

// Binary PLY of the valid pixels' points (no-sample and shadow pixels are
// no points), coloured from the image pixel that shows each of them (black
// where the colour camera does not see it); with imagePixels also that
// pixel's column and row (-1 for none).
bool WritePly(const std::string& path, const DepthCapture& depth, const KrVPointContainer& points,
              const ImageCapture& image, const std::vector<int>& pixels, bool imagePixels) {
  const bool coloured = Colourable(depth, image) && pixels.size() == depth.pixels.size();
  const bool withPixels = coloured && imagePixels;
  const size_t vertexBytes = sizeof(float) * 3 + (coloured ? 3 : 0) + (withPixels ? 8 : 0);
  std::string bytes = PlyHeader(depth.ValidCount(), coloured);
  if (withPixels) {
    bytes.insert(bytes.size() - std::strlen("end_header\n"), "property int image_x\nproperty int image_y\n");
  }
  bytes.reserve(bytes.size() + depth.ValidCount() * vertexBytes);
  const uint8_t black[3] = {0, 0, 0};
  for (size_t i = 0; i < depth.pixels.size(); ++i) {
    if (!depth.Valid(depth.pixels[i])) continue;
    const KrVPoint& point = points[static_cast<int>(i)];
    const float xyz[3] = {point.X(), point.Y(), point.Z()};
    bytes.append(reinterpret_cast<const char*>(xyz), sizeof(xyz));  // x86-64 floats are little-endian
    if (!coloured) continue;
    const int at = pixels[i];
    bytes.append(reinterpret_cast<const char*>(at >= 0 ? &image.rgb[static_cast<size_t>(at) * 3] : black), 3);
    if (withPixels) {
      const int32_t xy[2] = {at >= 0 ? at % image.width : -1, at >= 0 ? at / image.width : -1};
      bytes.append(reinterpret_cast<const char*>(xy), sizeof(xy));
    }
  }
  return WriteFile(path, bytes.data(), bytes.size());
}

bool IsRgbImageStream(KrVDevice& device) {
  const KrVImageMap* image = device.GetImageMap();
  return image != nullptr && image->GetOutputFormat() != KR_OUTPUT_FORMAT_GRAYSCALE16;
}

// filtering: null, or the chain of --filter (parsed here, before any device
// is opened, so a bad chain fails at once).
bool Capture(const PictureOptions& options, ImageWish wish, Source* source, DepthCapture* depth, ImageCapture* image,
             DepthFiltering* filtering) {
  if (filtering != nullptr && !filtering->Parse(options.filter)) return false;
  std::vector<std::string> types = {"Depth"};
  if (wish != ImageWish::kNone) types.push_back("Image");
  if (!OpenEither(options.connection, options.file, types, source)) return false;
  if (wish == ImageWish::kIfAny && !IsRgbImageStream(*source->device)) wish = ImageWish::kNone;
  return CaptureFrame(*source, options.frame, wish, depth, image, filtering);
}

std::string FilteredLabel(const DepthFiltering* filtering) {
  return filtering != nullptr ? ", filtered by " + filtering->chain.Describe() : "";
}

}  // namespace

int RunSnapshot(const PictureOptions& options) {
  if (options.depthPng.empty() && options.depth16Png.empty() && options.imagePng.empty()) {
    Fail("nothing to write: give --depth, --depth16 or --image");
    return kExitUsage;
  }
  Source source;
  DepthCapture depth;
  ImageCapture image;
  const ImageWish wish = options.imagePng.empty() ? ImageWish::kNone : ImageWish::kRequired;
  DepthFiltering filtering;
  DepthFiltering* filters = options.filter.empty() ? nullptr : &filtering;
  if (!Capture(options, wish, &source, &depth, &image, filters)) return kExitFailed;
  if (!WriteDepthPictures(options, depth)) return kExitFailed;
  if (!options.imagePng.empty() && !WriteImagePicture(options.imagePng, image)) return kExitFailed;
  std::printf("depth %s (%ux%u%s) of %s\n", FrameLabel(options.frame, depth.frameId).c_str(), depth.width,
              depth.height, FilteredLabel(filters).c_str(), source.name.c_str());
  for (const std::string* path : {&options.depthPng, &options.depth16Png, &options.imagePng}) {
    if (!path->empty()) std::printf("  wrote %s\n", path->c_str());
  }
  return kExitOk;
}

int RunCloud(const PictureOptions& options) {
  Source source;
  DepthCapture depth;
  ImageCapture image;
  DepthFiltering filtering;
  DepthFiltering* filters = options.filter.empty() ? nullptr : &filtering;
  if (!Capture(options, ImageWish::kIfAny, &source, &depth, &image, filters)) return kExitFailed;
  KrVPointContainer points(static_cast<unsigned int>(depth.pixels.size()));
  std::vector<int> pixels;
  if (!ConvertAll(depth, filters, &points) || !AllFinite(depth, points) ||
      (Colourable(depth, image) && !FindImagePixels(*source.device, depth, image, filters, &pixels)) ||
      !WritePly(options.cloudPly, depth, points, image, pixels, options.imagePixels)) {
    return kExitFailed;
  }
  if (pixels.empty()) image.captured = false;  // no colours after all
  std::printf("depth %s of %s%s: %zu points%s\n  wrote %s\n", FrameLabel(options.frame, depth.frameId).c_str(),
              source.name.c_str(), FilteredLabel(filters).c_str(), depth.ValidCount(),
              Colourable(depth, image) ? ", coloured" : "", options.cloudPly.c_str());
  size_t unseen = 0;
  for (size_t i = 0; i < pixels.size(); ++i) unseen += depth.Valid(depth.pixels[i]) && pixels[i] < 0;
  if (unseen > 0) std::printf("  %zu point(s) that the colour camera does not see are black\n", unseen);
  return kExitOk;
}

void AddPictureCommands(CLI::App& app, Command* command) {
  const auto addSource = [](CLI::App* sub, PictureOptions* options) {
    CLI::Option* device = AddTextOption(sub, "--device", &options->connection, "connection string (default *:0)");
    AddTextOption(sub, "--file", &options->file, "a recording")->excludes(device);
    sub->add_option("--frame", options->frame, "depth frame number, from 1")
        ->check(PositiveFinite())
        ->capture_default_str();
    sub->add_option("--filter", options->filter,
                    "depth filters run on every depth frame up to --frame, e.g. decimate=2,spatial,temporal,"
                    "holes=nearest (docs/depth-filters.md)");
  };
  auto snapshot = std::make_shared<PictureOptions>();
  CLI::App* snapshotCommand = app.add_subcommand("snapshot", "save one frame as PNG pictures");
  addSource(snapshotCommand, snapshot.get());
  snapshotCommand->add_option("--depth", snapshot->depthPng, "colourised depth picture (PNG)");
  snapshotCommand->add_option("--depth16", snapshot->depth16Png, "depth in mm as a 16-bit grey PNG");
  snapshotCommand->add_option("--image", snapshot->imagePng, "the colour image (PNG)");
  snapshotCommand->callback([command, snapshot] { *command = [snapshot] { return RunSnapshot(*snapshot); }; });

  auto cloud = std::make_shared<PictureOptions>();
  CLI::App* cloudCommand = app.add_subcommand("cloud", "save one depth frame as a binary PLY point cloud");
  addSource(cloudCommand, cloud.get());
  cloudCommand->add_option("--out", cloud->cloudPly, "the PLY file")->required();
  cloudCommand->add_flag("--image-pixels", cloud->imagePixels,
                         "add each point's image pixel (image_x, image_y; -1 where the colour camera does not see it)");
  cloudCommand->callback([command, cloud] { *command = [cloud] { return RunCloud(*cloud); }; });
}

}  // namespace ovalith_tool
