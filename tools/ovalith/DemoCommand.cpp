// ovalith demo: the first thing to run. Records three seconds of depth,
// image and audio from a sensor (the simulated one unless told otherwise),
// plays the recording back verifying every frame, and saves a depth
// picture, the colour image and a point cloud of one of its frames.
#include "ToolCommon.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ovalith_tool {
namespace {

struct DemoOptions {
  std::string folder = "ovalith-demo";
  std::string connection = "*:0";
  double seconds = 3;
};

// A frame from the middle of the recording.
constexpr uint32_t kPictureFrame = 30;

bool Step(const char* title, int status) {
  if (status == kExitOk) return true;
  std::fprintf(stderr, "ovalith demo: %s failed\n", title);
  return false;
}

int RunDemo(const DemoOptions& options) {
  if (mkdir(options.folder.c_str(), 0755) != 0 && errno != EEXIST) {
    Fail("cannot create " + options.folder + ": " + std::strerror(errno));
    return kExitFailed;
  }
  RecordOptions record;
  record.file = options.folder + "/demo.rec";
  record.connection = options.connection;
  record.seconds = options.seconds;
  std::printf("== recording %.3g s of depth, image and audio from %s\n", options.seconds, options.connection.c_str());
  if (!Step("recording", RunRecord(record))) return kExitFailed;
  std::printf("\n== playing %s back, frame by frame\n", record.file.c_str());
  if (!Step("verification", RunPlay(record.file, true))) return kExitFailed;

  PictureOptions picture;
  picture.file = {record.file, true};
  picture.frame = kPictureFrame;
  picture.depthPng = options.folder + "/depth.png";
  picture.imagePng = options.folder + "/image.png";
  std::printf("\n== pictures of frame %u\n", kPictureFrame);
  if (!Step("snapshot", RunSnapshot(picture))) return kExitFailed;
  picture.cloudPly = options.folder + "/cloud.ply";
  std::printf("\n== point cloud of frame %u\n", kPictureFrame);
  if (!Step("point cloud", RunCloud(picture))) return kExitFailed;

  std::printf("\nDone. In %s/:\n  demo.rec   the recording (ovalith play, ovalith info --file)\n"
              "  depth.png  depth, near red to far blue, black where nothing was measured\n"
              "  image.png  the colour image\n  cloud.ply  coloured real-world points in mm (MeshLab, CloudCompare)\n",
              options.folder.c_str());
  return kExitOk;
}

}  // namespace

void AddDemoCommand(CLI::App& app, Command* command) {
  auto options = std::make_shared<DemoOptions>();
  CLI::App* demo = app.add_subcommand("demo", "record, play back and verify, save pictures and a point cloud");
  demo->add_option("--out", options->folder, "folder for what the demo makes")->capture_default_str();
  demo->add_option("--device", options->connection, "connection string")->capture_default_str();
  demo->add_option("--seconds", options->seconds, "length of the recording")
      ->check(PositiveFinite() & CLI::Range(2.0, 3600.0))
      ->capture_default_str();
  demo->callback([command, options] { *command = [options] { return RunDemo(*options); }; });
}

}  // namespace ovalith_tool
