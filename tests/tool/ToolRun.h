// Test support for whole runs of the ovalith tool: a private temporary folder with the kit's configuration, runs
// of the program there, and readers for what it writes. One thread uses a ToolFolder; it removes its folder.
#pragma once

#include <Ovalith/Ovalith.h>

#include <fcntl.h>
#include <gtest/gtest.h>
#include <png.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace tool_test {

using Frames = std::vector<std::pair<std::string, uint64_t>>;

struct RunResult {
  int exitCode = -1;  // 128 + the signal of a run that a signal ended
  std::string out, err;
};

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Sensor 0 unpaced with its flash in a state file (one run sees the last one's changes); sensor 1 paced with
// 320x240 depth, for runs interrupted.
class ToolFolder {
 public:
  ToolFolder() {
    Write("Tollan.ini",
          "[Tollan]\nSensors = 2\nPaced = 0\n[SensorV2.0]\nFlashStateFile = flash.state\n"
          "[SensorV2.1]\nPaced = 1\nDepth.Resolution = 0\n");
  }
  ~ToolFolder() { std::filesystem::remove_all(root_); }
  ToolFolder(const ToolFolder&) = delete;
  ToolFolder& operator=(const ToolFolder&) = delete;
  std::string Path(const std::string& relative) const { return root_ + "/" + relative; }
  bool Exists(const std::string& relative) const { return access(Path(relative).c_str(), F_OK) == 0; }
  void Write(const std::string& relative, const std::string& content) const {
    std::ofstream(Path(relative), std::ios::binary | std::ios::trunc) << content;
  }
  std::string Read(const std::string& relative) const { return ReadAll(Path(relative)); }
  // Runs the tool in the folder. With interruptAt, sends the signal (0: removes the file) once that file has grown
  // past interruptBytes. With fileSizeLimit, a write past it fails as on a full disk.
  RunResult Run(const std::vector<std::string>& arguments, const std::string& interruptAt = "", long interruptBytes = 0,
                int signal = SIGINT, long fileSizeLimit = 0) const {
    const std::string outPath = Path(".out"), errPath = Path(".err");
    const pid_t child = fork();
    if (child == 0) {
      const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int in = open("/dev/null", O_RDONLY);
      if (out < 0 || err < 0 || in < 0 || chdir(root_.c_str()) != 0) _exit(127);
      if (fileSizeLimit > 0) {
        std::signal(SIGXFSZ, SIG_DFL);  // the tool itself must keep the signal from killing it
        const rlimit limit = {static_cast<rlim_t>(fileSizeLimit), static_cast<rlim_t>(fileSizeLimit)};
        setrlimit(RLIMIT_FSIZE, &limit);
      }
      dup2(in, STDIN_FILENO);
      dup2(out, STDOUT_FILENO);
      dup2(err, STDERR_FILENO);
      std::vector<char*> argv = {const_cast<char*>(OVALITH_TOOL_PROGRAM)};
      for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
      argv.push_back(nullptr);
      execv(OVALITH_TOOL_PROGRAM, argv.data());
      _exit(127);
    }
    int status = 0;
    if (!interruptAt.empty()) {
      struct stat file = {};
      for (int wait = 0; wait < 1500 && waitpid(child, &status, WNOHANG) == 0; ++wait) {
        if (stat(Path(interruptAt).c_str(), &file) == 0 && file.st_size > interruptBytes) break;
        usleep(20000);
      }
      if (signal == 0) std::remove(Path(interruptAt).c_str());
      if (signal != 0) kill(child, signal);
    }
    waitpid(child, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), ReadAll(outPath), ReadAll(errPath)};
  }
  // The engine started on this folder's configuration for one check.
  struct Engine {
    explicit Engine(const ToolFolder& folder) {
      EXPECT_EQ(KrVDevice::EngineInit(nullptr, folder.root_.c_str()), KR_STATUS_OK);
    }
    ~Engine() { KrVDevice::EngineShutdown(); }
  };

 private:
  std::string root_ = mkdtemp(std::string("/tmp/ovalith-tool-XXXXXX").data());
};

inline ::testing::AssertionResult Succeeded(const RunResult& run) {
  if (run.exitCode == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "exit " << run.exitCode << "\nout: " << run.out << "\nerr: " << run.err;
}

inline ::testing::AssertionResult Holds(const std::string& text, const std::string& part) {
  if (text.find(part) != std::string::npos) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "no \"" << part << "\" in\n" << text;
}

// Ended normally (no crash) with a failure status and the message.
inline ::testing::AssertionResult FailedWith(const RunResult& run, const std::string& message) {
  if (run.exitCode > 0 && run.exitCode < 128) return Holds(run.err, message);
  return ::testing::AssertionFailure() << "exit " << run.exitCode << "\n" << run.err;
}

// A PNG as libpng reads it in the file's own format (8-bit RGB, 16-bit grey in native byte order).
struct PngImage {
  png_image info{};
  std::vector<uint8_t> pixels;  // empty when unreadable
};

inline PngImage ReadPng(const std::string& path) {
  PngImage image;
  image.info.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&image.info, path.c_str()) != 0) {
    image.pixels.resize(PNG_IMAGE_SIZE(image.info));
    if (png_image_finish_read(&image.info, nullptr, image.pixels.data(), 0, nullptr) == 0) image.pixels.clear();
  }
  return image;
}

// Depth frame number of a recording in the folder as the engine reads it, with each pixel's real-world point
// converted one at a time (the tool's batch conversion must agree). Starts the engine for the read.
struct DepthFrame {
  uint16_t width = 0, height = 0, noSample = 0, shadow = 0;
  uint32_t frameId = 0;
  std::vector<uint16_t> pixels;
  std::vector<KrVPoint> realWorld;
};
inline bool ReadDepthFrame(const ToolFolder& folder, const std::string& name, uint32_t number, DepthFrame* frame) {
  ToolFolder::Engine engine(folder);
  KrVDevice device;
  if (device.OpenFileForReading(folder.Path(name).c_str()) != KR_STATUS_OK || device.GetDepthMap() == nullptr) {
    return false;
  }
  const KrVDepthMap& depth = *device.GetDepthMap();
  for (uint32_t seen = 0; seen < number;) {
    if (device.Read() != KR_STATUS_OK) return false;
    seen += depth.IsDataNew() ? 1 : 0;
  }
  frame->width = depth.GetXRes();
  frame->height = depth.GetYRes();
  frame->noSample = depth.GetNoSampleValue();
  frame->shadow = depth.GetShadowValue();
  frame->frameId = depth.GetFrameID();
  frame->pixels.assign(depth.Data(), depth.Data() + size_t{frame->width} * frame->height);
  for (uint16_t y = 0; y < frame->height; ++y) {
    for (uint16_t x = 0; x < frame->width; ++x) {
      KrVPoint point(x, y, depth(x, y));
      depth.GetRealWorldTranslator()->Projective2RW(point);
      frame->realWorld.push_back(point);
    }
  }
  return true;
}

// The frames of each stream that playback of a recording in the folder delivers (damaged reads included), in the
// file's stream order; empty when the file does not open. Starts the engine for the reads.
inline Frames DeliveredFrames(const ToolFolder& folder, const std::string& name) {
  ToolFolder::Engine engine(folder);
  Frames frames;
  KrVDevice device;
  const char* names[256] = {};
  uint32_t count = 256;
  if (device.OpenFileForReading(folder.Path(name).c_str()) != KR_STATUS_OK ||
      device.GetStreamNames(names, &count) != KR_STATUS_OK) {
    return frames;
  }
  std::vector<KrVStreamData*> data(count, nullptr);
  for (uint32_t i = 0; i < count; ++i) {
    frames.emplace_back(names[i], 0);
    device.GetStreamData(names[i], data[i]);
  }
  for (int damaged = 0; damaged < 100000;) {
    const KrStatus status = device.Read();
    if (status != KR_STATUS_OK && status != KR_STATUS_TL_FILE_CORRUPT) break;
    damaged += status == KR_STATUS_TL_FILE_CORRUPT ? 1 : 0;
    for (uint32_t i = 0; i < count; ++i) frames[i].second += data[i] != nullptr && data[i]->IsDataNew() ? 1 : 0;
  }
  return frames;
}

// The "  <stream> <count> ..." lines of a record report or a play summary, in their order.
inline Frames Counted(const std::string& output) {
  Frames frames;
  std::istringstream lines(output);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string name;
    uint64_t count = 0;
    if (line.rfind("  ", 0) == 0 && line[2] != ' ' && fields >> name >> count) frames.emplace_back(name, count);
  }
  return frames;
}

// The chunks of a recording by its documented layout: a 20-byte file header, then chunks of a 16-byte header
// (type, payload length, two CRCs) and the payload.
struct Chunk {
  size_t offset = 0;
  std::string type;
  size_t size = 0;  // header and payload
};
inline std::vector<Chunk> Chunks(const std::string& recording) {
  std::vector<Chunk> chunks;
  for (size_t offset = 20; offset + 16 <= recording.size();) {
    uint32_t length = 0;
    std::memcpy(&length, recording.data() + offset + 4, 4);  // little-endian, as x86-64
    const size_t size = 16 + size_t{length};
    if (size > recording.size() - offset) break;
    chunks.push_back({offset, recording.substr(offset, 4), size});
    offset += size;
  }
  return chunks;
}

// A recording written straight through the kit, for contents no sensor makes. Every frame of a stream has
// frameBytes bytes of 0x11. With the engine started; false when the kit refuses something.
struct CraftedStream {
  std::string type, name;
  std::vector<std::pair<std::string, uint64_t>> integers;
  std::vector<std::pair<std::string, double>> reals;
  uint32_t frameBytes = 0;
};
inline bool WriteRecording(const std::string& path, const std::vector<CraftedStream>& streams, uint32_t frames,
                           const std::vector<std::pair<std::string, double>>& deviceReals = {}) {
  KrVPropertySet initial;
  for (const auto& real : deviceReals) initial.AddProperty("Device", real.first.c_str(), real.second);
  KrDeviceConfig config{KR_DEVICE_MODE_WRITE, path.c_str(), initial.GetHandle(), KR_DEVICE_SHARING_EXCLUSIVE};
  KrDeviceHandle device = nullptr;
  bool ok = KrDeviceProxyCreateDeviceByName("File", &device, &config) == KR_STATUS_OK &&
            KrDeviceProxyOpenAllStreams(device) == KR_STATUS_OK;
  std::vector<KrStreamData*> records(streams.size(), nullptr);
  KrStreamDataSetHandle set = nullptr;
  KrStreamDataSetCreate(&set);
  for (size_t s = 0; ok && s < streams.size(); ++s) {
    const char* name = streams[s].name.c_str();
    KrVPropertySet values;
    values.AddProperty(name, "RequiredDataSize", uint64_t{streams[s].frameBytes});
    for (const auto& value : streams[s].integers) values.AddProperty(name, value.first.c_str(), value.second);
    for (const auto& value : streams[s].reals) values.AddProperty(name, value.first.c_str(), value.second);
    ok = KrDeviceProxyCreateStream(device, streams[s].type.c_str(), name, values.GetHandle()) == KR_STATUS_OK &&
         KrDeviceProxyCreateStreamData(device, name, &records[s]) == KR_STATUS_OK &&
         KrStreamDataSetAdd(set, records[s]) == KR_STATUS_OK;
  }
  for (uint32_t f = 1; ok && f <= frames; ++f) {
    for (size_t s = 0; s < streams.size(); ++s) {
      std::memset(records[s]->pData, 0x11, streams[s].frameBytes);
      records[s]->nDataSize = streams[s].frameBytes;
      records[s]->nTimestamp = f * 33333ull;
      records[s]->nFrameID = f;
      records[s]->bIsNew = 1;
    }
    ok = KrDeviceProxyWrite(device, set) == KR_STATUS_OK;
  }
  KrStreamDataSetDestroy(&set);
  for (KrStreamData*& record : records) {
    if (record != nullptr) KrDeviceProxyDestroyStreamData(&record);
  }
  return device != nullptr && KrDeviceProxyDestroy(&device) == KR_STATUS_OK && ok;
}

}  // namespace tool_test
