// What `ovalith export`, `convert` and `import` share: the output folder,
// the camera description that travels with exported data ("camera.json"),
// frame and time ranges, and a pool that writes files on every core while
// keeping their order.
//
// Used from the tool's one thread; the pool runs its jobs on threads of its
// own, and a job touches nothing but what it was given.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <future>
#include <string>
#include <vector>

#include "ToolCommon.h"

namespace ovalith_tool {

// A pinhole camera: the image size and the projection of a point (X, Y, Z)
// in the camera's frame to the pixel (cx + fx X / Z, cy + fy Y / Z).
struct Pinhole {
  uint32_t width = 0;
  uint32_t height = 0;
  double fx = 0, fy = 0, cx = 0, cy = 0;
  std::string distortion = "none";
};

// Both cameras of a recording and how they sit: a point p of the depth
// camera is R p + t in the colour camera (R row by row, t in millimetres).
struct CameraFile {
  Pinhole depth;
  bool hasColour = false;
  Pinhole colour;
  double rotation[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
  double translation[3] = {0, 0, 0};
  double depthScale = 5000;  // depth picture units per metre
};
std::string CameraJson(const CameraFile& camera);
// Reads a camera.json as CameraJson writes it; false with *error naming
// the file and what is wrong.
bool ReadCameraJson(const std::string& path, CameraFile* camera, std::string* error);

// The depth camera of a recording's depth stream as the engine's translator
// models it: centred principal point, square pixels, fx = ZPD / (ZPPS F).
bool DepthPinhole(const DepthCapture& depth, Pinhole* camera);

// "A:B", "A:" or ":B" (bounds included); false when the text is none of them.
struct Range {
  double first = 0;
  double last = -1;  // below first: no upper bound
  bool Holds(double value) const { return value >= first && (last < first || value <= last); }
};
bool ParseRange(const std::string& text, bool whole, Range* range);

// The folder exists (it is made when missing) and is empty, unless force.
bool PrepareFolder(const std::string& folder, bool force);

// Runs jobs on every core; their results are taken in the order they were
// added. A job returns "" or the reason it failed; Add's callback then gets
// that text on the tool's thread. Once a job failed, later jobs' callbacks
// get "skipped" and their undo runs, so what is done stays a prefix.
class OrderedPool {
 public:
  using Job = std::function<std::string()>;
  using Done = std::function<void(const std::string& failure)>;
  OrderedPool();
  ~OrderedPool();  // waits for every job
  OrderedPool(const OrderedPool&) = delete;
  OrderedPool& operator=(const OrderedPool&) = delete;
  // Waits while twice as many jobs as there are cores are unfinished.
  void Add(Job job, Done done, std::function<void()> undo = nullptr);
  // Waits for every job; the first failure, or "".
  std::string Finish();
  bool Failed() const { return !failure_.empty(); }

 private:
  struct Pending {
    std::future<std::string> result;
    Done done;
    std::function<void()> undo;
  };
  void TakeOldest();
  size_t limit_;
  std::deque<Pending> pending_;
  std::string failure_;
};

// A progress line on standard error when it is a terminal.
class Progress {
 public:
  Progress(const std::string& what, uint64_t total, bool quiet);
  void Show(uint64_t done, bool last = false);

 private:
  std::string what_;
  uint64_t total_;
  bool shown_;
  int64_t lastMs_ = -1000;
};

}  // namespace ovalith_tool
