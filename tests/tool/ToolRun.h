// Test support for whole runs of the ovalith tool: a private temporary
// folder with the kit's configuration (two unpaced simulated sensors, the
// flash of sensor 0 kept in a state file, sensor 1 paced at 320x240), runs
// of the program there, and readers for what it writes (PNG through libpng,
// recordings through the engine).
#pragma once

#include <Ovalith/Ovalith.h>

#include <gtest/gtest.h>

#include <csignal>

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

  // Runs the tool in the folder. With interruptAt, sends the signal once
  // that file has grown past interruptBytes (so the run is surely under
  // way).
  RunResult Run(const std::vector<std::string>& arguments, const std::string& interruptAt = "",
                long interruptBytes = 0, int signal = SIGINT) const;
  // Runs the tool with files limited to fileSizeLimit bytes: a disk that
  // fills up.
  RunResult RunOnFullDisk(const std::vector<std::string>& arguments, long fileSizeLimit) const;
  std::string Read(const std::string& relative) const;

  // The engine started on this folder's configuration for one check.
  class Engine {
   public:
    explicit Engine(const ToolFolder& folder);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;
  };

 private:
  RunResult RunWith(const std::vector<std::string>& arguments, const std::string& interruptAt, long interruptBytes,
                    int signal, long fileSizeLimit) const;

  std::string root_;
};

// The chunks of a recording as its documented layout lays them out: a
// 20-byte file header, then chunks of a 16-byte header (type, payload
// length, two CRCs) and the payload.
struct Chunk {
  size_t offset = 0;
  std::string type;
  size_t size = 0;  // header and payload
};
std::vector<Chunk> Chunks(const std::string& recording);

// A recording written straight through the kit, for contents no sensor
// makes: a lying "BytesPerPixel", a resolution of 0, a real that is not a
// number. Every frame of a stream has frameBytes bytes of 0x11.
struct CraftedStream {
  std::string type;
  std::string name;
  std::vector<std::pair<std::string, uint64_t>> integers;
  std::vector<std::pair<std::string, double>> reals;
  uint32_t frameBytes = 0;
};
// With the engine started; false when the kit refuses something.
bool WriteRecording(const std::string& path, const std::vector<CraftedStream>& streams, uint32_t frames,
                    const std::vector<std::pair<std::string, double>>& deviceReals = {});

PngImage ReadPng(const std::string& path);

// With the engine started: frames per stream of a recording, as the file
// says, and the depth frame of that number.
std::vector<std::pair<std::string, uint64_t>> FramesPerStream(const std::string& path);
bool ReadDepthFrame(const std::string& path, uint32_t number, DepthFrame* frame);
// With the engine started: the frames of each stream that playback
// delivers (reads that meet damage included), in the file's stream order;
// empty when the file does not open.
std::vector<std::pair<std::string, uint64_t>> DeliveredFrames(const std::string& path);
// The per-stream frame counts of a "play" summary, in its order.
std::vector<std::pair<std::string, uint64_t>> PlayedFrames(const std::string& playOutput);

}  // namespace tool_test
