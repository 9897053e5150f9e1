// Test support for whole runs of the ovalith tool: a private temporary
// folder with the kit's configuration (two unpaced simulated sensors, the
// flash of sensor 0 kept in a state file, sensor 1 paced at 320x240), runs
// of the program there, and readers for what it writes (PNG through libpng,
// recordings through the engine).
#pragma once

#include <Ovalith/Ovalith.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tool_test {

struct RunResult {
  int exitCode = -1;
  std::string out;
  std::string err;
};

struct PngImage {
  bool ok = false;
  uint32_t width = 0;
  uint32_t height = 0;
  int colourType = -1;
  int bitDepth = 0;
  std::vector<std::vector<uint8_t>> rows;
};

// One depth frame of a recording, as the engine reads it.
struct DepthFrame {
  uint16_t width = 0;
  uint16_t height = 0;
  uint16_t noSample = 0;
  uint16_t shadow = 0;
  std::vector<uint16_t> pixels;
  std::vector<KrVPoint> realWorld;  // of each pixel, row by row
};

class ToolFolder {
 public:
  ToolFolder();
  ~ToolFolder();
  ToolFolder(const ToolFolder&) = delete;
  ToolFolder& operator=(const ToolFolder&) = delete;

  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }
  bool Exists(const std::string& relative) const;
  void Write(const std::string& relative, const std::string& content) const;

  // Runs the tool in the folder. With interruptAt, sends SIGINT once that
  // file has grown past interruptBytes (so the run is surely under way).
  RunResult Run(const std::vector<std::string>& arguments, const std::string& interruptAt = "",
                long interruptBytes = 0) const;

  // The engine started on this folder's configuration for one check.
  class Engine {
   public:
    explicit Engine(const ToolFolder& folder);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
  };

 private:
  std::string root_;
};

PngImage ReadPng(const std::string& path);

// With the engine started: frames per stream of a recording, as the file
// says, and the depth frame of that number.
std::vector<std::pair<std::string, uint64_t>> FramesPerStream(const std::string& path);
bool ReadDepthFrame(const std::string& path, uint32_t number, DepthFrame* frame);

}  // namespace tool_test
