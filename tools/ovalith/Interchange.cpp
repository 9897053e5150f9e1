// Shared pieces of export, convert and import (see Interchange.h).
#include "Interchange.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace ovalith_tool {
namespace {

std::string Number(double value) {
  char text[40];
  std::snprintf(text, sizeof(text), "%.17g", value);
  return text;
}

std::string PinholeJson(const Pinhole& camera) {
  return "{\"width\": " + std::to_string(camera.width) + ", \"height\": " + std::to_string(camera.height) +
         ", \"fx\": " + Number(camera.fx) + ", \"fy\": " + Number(camera.fy) + ", \"cx\": " + Number(camera.cx) +
         ", \"cy\": " + Number(camera.cy) + ", \"distortion\": " + Quoted(camera.distortion) + "}";
}

// The object after "name": in text, braces and all; empty when missing.
std::string ObjectOf(const std::string& text, const std::string& name) {
  const size_t key = text.find("\"" + name + "\"");
  if (key == std::string::npos) return std::string();
  const size_t open = text.find('{', key);
  const size_t close = open == std::string::npos ? open : text.find('}', open);
  return close == std::string::npos ? std::string() : text.substr(open, close - open + 1);
}

// The text after "name": (blanks skipped); npos when the key is missing.
size_t ValueAt(const std::string& text, const std::string& name) {
  const size_t key = text.find("\"" + name + "\"");
  if (key == std::string::npos) return key;
  size_t at = text.find_first_not_of(" \t\n", key + name.size() + 2);
  if (at == std::string::npos || text[at] != ':') return std::string::npos;
  return text.find_first_not_of(" \t\n", at + 1);
}

bool NumberOf(const std::string& object, const std::string& name, double* value) {
  const size_t at = ValueAt(object, name);
  if (at == std::string::npos) return false;
  char* end = nullptr;
  *value = std::strtod(object.c_str() + at, &end);
  return end != object.c_str() + at && std::isfinite(*value) && std::strchr(",} \t\n", *end) != nullptr;
}

bool NumbersOf(const std::string& text, const std::string& name, double* values, size_t count) {
  const size_t at = ValueAt(text, name);
  if (at == std::string::npos || text[at] != '[') return false;
  const size_t close = text.find(']', at);
  if (close == std::string::npos) return false;
  std::istringstream list(text.substr(at + 1, close - at - 1));
  std::string item;
  size_t n = 0;
  while (std::getline(list, item, ',')) {
    char* end = nullptr;
    if (n == count) return false;
    values[n] = std::strtod(item.c_str(), &end);
    while (*end == ' ' || *end == '\n') ++end;
    if (end == item.c_str() || *end != '\0' || !std::isfinite(values[n])) return false;
    ++n;
  }
  return n == count;
}

bool ReadPinhole(const std::string& object, Pinhole* camera) {
  double width = 0, height = 0;
  if (!NumberOf(object, "width", &width) || !NumberOf(object, "height", &height) ||
      !NumberOf(object, "fx", &camera->fx) || !NumberOf(object, "fy", &camera->fy) ||
      !NumberOf(object, "cx", &camera->cx) || !NumberOf(object, "cy", &camera->cy)) {
    return false;
  }
  if (width < 1 || height < 1 || width > UINT16_MAX || height > UINT16_MAX || camera->fx <= 0 || camera->fy <= 0) {
    return false;
  }
  camera->width = static_cast<uint32_t>(width);
  camera->height = static_cast<uint32_t>(height);
  return true;
}

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

}  // namespace

std::string CameraJson(const CameraFile& camera) {
  std::string json = "{\n  \"depth\": " + PinholeJson(camera.depth) + ",\n";
  if (camera.hasColour) {
    json += "  \"colour\": " + PinholeJson(camera.colour) + ",\n  \"depth_to_colour\": {\"rotation\": [";
    for (int i = 0; i < 9; ++i) json += (i != 0 ? ", " : "") + Number(camera.rotation[i]);
    json += "], \"translation_mm\": [";
    for (int i = 0; i < 3; ++i) json += (i != 0 ? ", " : "") + Number(camera.translation[i]);
    json += "]},\n";
  }
  return json + "  \"depth_scale\": " + Number(camera.depthScale) + "\n}\n";
}

bool ReadCameraJson(const std::string& path, CameraFile* camera, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::stringstream text;
  text << in.rdbuf();
  const std::string json = text.str();
  if (!ReadPinhole(ObjectOf(json, "depth"), &camera->depth)) {
    *error = path + ": \"depth\" needs width, height, fx, fy, cx and cy (sizes from 1 to 65535, focal lengths above 0)";
    return false;
  }
  const std::string colour = ObjectOf(json, "colour");
  camera->hasColour = !colour.empty();
  if (camera->hasColour && (!ReadPinhole(colour, &camera->colour) || !NumbersOf(json, "rotation", camera->rotation, 9) ||
                            !NumbersOf(json, "translation_mm", camera->translation, 3))) {
    *error = path + ": \"colour\" needs width, height, fx, fy, cx and cy, and \"depth_to_colour\" a \"rotation\" of 9 "
             "and a \"translation_mm\" of 3 numbers";
    return false;
  }
  double scale = 0;
  if (NumberOf(json, "depth_scale", &scale)) {
    if (scale <= 0) {
      *error = path + ": \"depth_scale\" must be above 0";
      return false;
    }
    camera->depthScale = scale;
  }
  return true;
}

bool DepthPinhole(const DepthCapture& depth, Pinhole* camera) {
  const KrVRealWorldTranslator* translator = depth.translator.get();
  if (translator == nullptr || translator->GetZPPS() <= 0 || translator->GetF() <= 0 || translator->GetZPD() <= 0) {
    return Fail("the depth stream has no usable calibration (\"ZPD\", \"ZPPS\")");
  }
  camera->width = depth.width;
  camera->height = depth.height;
  camera->fx = camera->fy = translator->GetZPD() / (translator->GetZPPS() * translator->GetF());
  camera->cx = translator->GetParentXRes() / 2 - translator->GetXOffset();
  camera->cy = translator->GetParentYRes() / 2 - translator->GetYOffset();
  return true;
}

bool ParseRange(const std::string& text, bool whole, Range* range) {
  const size_t colon = text.find(':');
  if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos) return false;
  const auto bound = [whole](const std::string& part, double* value) {
    if (part.empty()) return true;
    char* end = nullptr;
    *value = std::strtod(part.c_str(), &end);
    return *end == '\0' && std::isfinite(*value) && *value >= 0 && (!whole || *value == std::floor(*value)) &&
           std::isdigit(static_cast<unsigned char>(part[0]));
  };
  Range parsed;
  if (!bound(text.substr(0, colon), &parsed.first) || !bound(text.substr(colon + 1), &parsed.last)) return false;
  if (colon + 1 < text.size() && parsed.last < parsed.first) return false;
  *range = parsed;
  return true;
}

bool PrepareFolder(const std::string& folder, bool force) {
  if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
    return Fail("cannot create " + folder + ": " + std::strerror(errno));
  }
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return Fail("cannot use " + folder + ": " + std::strerror(errno));
  bool empty = true;
  for (dirent* entry = readdir(dir); entry != nullptr && empty; entry = readdir(dir)) {
    empty = std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0;
  }
  closedir(dir);
  return empty || force || Fail(folder + " is not empty: give an empty folder, or --force to write into it");
}

// Twice as many jobs as cores are in flight, so the cores stay busy while
// the tool's thread takes a result.
OrderedPool::OrderedPool() : limit_(2 * std::max(1u, std::thread::hardware_concurrency())) {}

OrderedPool::~OrderedPool() { Finish(); }

void OrderedPool::TakeOldest() {
  Pending oldest = std::move(pending_.front());
  pending_.pop_front();
  std::string result = oldest.result.get();
  if (!failure_.empty()) {
    if (oldest.undo) oldest.undo();
    oldest.done("skipped");
    return;
  }
  if (!result.empty()) {
    failure_ = result;
    if (oldest.undo) oldest.undo();
  }
  oldest.done(result);
}

void OrderedPool::Add(Job job, Done done, std::function<void()> undo) {
  while (pending_.size() >= limit_) TakeOldest();
  pending_.push_back({std::async(std::launch::async, std::move(job)), std::move(done), std::move(undo)});
}

std::string OrderedPool::Finish() {
  while (!pending_.empty()) TakeOldest();
  return failure_;
}

Progress::Progress(const std::string& what, uint64_t total, bool quiet)
    : what_(what), total_(total), shown_(!quiet && isatty(STDERR_FILENO) != 0) {}

void Progress::Show(uint64_t done, bool last) {
  if (!shown_) return;
  const int64_t now = NowMs();
  if (!last && now - lastMs_ < 100) return;
  lastMs_ = now;
  constexpr int kWidth = 30;
  const double share = total_ > 0 ? std::min(1.0, static_cast<double>(done) / static_cast<double>(total_)) : 0;
  const int filled = static_cast<int>(share * kWidth);
  std::fprintf(stderr, "\r%s [%s%s] %llu/%llu", what_.c_str(), std::string(filled, '#').c_str(),
               std::string(kWidth - filled, ' ').c_str(), static_cast<unsigned long long>(done),
               static_cast<unsigned long long>(total_));
  if (last) std::fputc('\n', stderr);
  std::fflush(stderr);
}

}  // namespace ovalith_tool
