// Export to the RGB-D dataset layout and import from it, against what a
// user's own loop does with libpng.
//
// One recording of 300 VGA depth and RGB frames from the unpaced simulated
// sensor is made once. Export baseline: read it with the engine and write
// every depth and colour frame as a PNG with libpng's default settings, one
// thread. Figure: `ovalith export` of the same recording (every core, fast
// filters), the whole run of the tool. Import baseline: decode the exported
// pictures with libpng alone, one thread. Figure: `ovalith import` of them
// into a recording.
#include <Ovalith/Ovalith.h>
#include <benchmark/benchmark.h>
#include <png.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

namespace {

constexpr int kFrames = 300;

// The temporary folder with the recording and its export, made once.
class Material {
 public:
  static Material& Get() {
    static Material material;
    return material;
  }
  bool ok = false;
  std::string dir;
  bool Tool(const std::string& arguments) const {
    const std::string command = "cd '" + dir + "' && '" OVALITH_TOOL_PROGRAM "' " + arguments + " >/dev/null 2>&1";
    return std::system(command.c_str()) == 0;
  }

 private:
  Material() {
    char pattern[] = "/tmp/ovalith-export-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    dir = pattern;
    std::ofstream(dir + "/Tollan.ini") << "[Tollan]\nPaced=0\n";
    ok = Tool("record clip.rec --streams depth,image --frames " + std::to_string(kFrames)) &&
         Tool("export clip.rec made --streams depth,image");
  }
  ~Material() {
    if (!dir.empty()) std::system(("rm -rf '" + dir + "'").c_str());
  }
};

bool WriteDefaultPng(const std::string& path, const void* pixels, uint32_t width, uint32_t height, int channels,
                     int depth) {
  png_image image = {};
  image.version = PNG_IMAGE_VERSION;
  image.width = width;
  image.height = height;
  image.format = channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_LINEAR_Y;
  (void)depth;
  return png_image_write_to_file(&image, path.c_str(), 0, pixels, 0, nullptr) != 0;
}

// What a user writes: read each frame, save its pictures with libpng.
bool ExportByHand(const Material& material) {
  if (KrVDevice::EngineInit(nullptr, material.dir.c_str()) != KR_STATUS_OK) return false;
  bool ok = true;
  {
    KrVDevice device;
    ok = device.OpenFileForReading((material.dir + "/clip.rec").c_str()) == KR_STATUS_OK;
    const std::string out = material.dir + "/byhand";
    std::system(("mkdir -p '" + out + "'").c_str());
    for (int frame = 0; ok && device.Read() == KR_STATUS_OK; ++frame) {
      const KrVDepthMap* depth = device.GetDepthMap();
      const KrVImageMap* image = device.GetImageMap();
      ok = WriteDefaultPng(out + "/d" + std::to_string(frame) + ".png", depth->Data(), depth->GetXRes(),
                           depth->GetYRes(), 1, 16) &&
           WriteDefaultPng(out + "/c" + std::to_string(frame) + ".png", image->Data(), image->GetXRes(),
                           image->GetYRes(), 3, 8);
    }
  }
  KrVDevice::EngineShutdown();
  return ok;
}

void BM_ExportTum(benchmark::State& state) {
  Material& material = Material::Get();
  if (!material.ok) return state.SkipWithError("no recording");
  for (auto _ : state) {
    const bool ok = state.range(0) == 0 ? ExportByHand(material)
                                        : material.Tool("export clip.rec out --force --streams depth,image --json");
    if (!ok) return state.SkipWithError("the export failed");
  }
  state.SetItemsProcessed(state.iterations() * kFrames);
  state.SetLabel(state.range(0) == 0 ? "libpng defaults, one thread (baseline)" : "ovalith export --format tum");
}
BENCHMARK(BM_ExportTum)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

// What a user writes: decode every picture of the folder with libpng.
bool DecodeByHand(const Material& material) {
  for (const char* list : {"depth.txt", "rgb.txt"}) {
    std::ifstream in(material.dir + "/made/" + list);
    std::vector<uint8_t> pixels;
    for (std::string line; std::getline(in, line);) {
      if (line.empty() || line[0] == '#') continue;
      const std::string path = material.dir + "/made/" + line.substr(line.find(' ') + 1);
      png_image image = {};
      image.version = PNG_IMAGE_VERSION;
      if (png_image_begin_read_from_file(&image, path.c_str()) == 0) return false;
      image.format = list[0] == 'd' ? PNG_FORMAT_LINEAR_Y : PNG_FORMAT_RGB;
      pixels.resize(PNG_IMAGE_SIZE(image));
      if (png_image_finish_read(&image, nullptr, pixels.data(), 0, nullptr) == 0) return false;
      benchmark::DoNotOptimize(pixels.data());
    }
  }
  return true;
}

void BM_ImportTum(benchmark::State& state) {
  Material& material = Material::Get();
  if (!material.ok) return state.SkipWithError("no recording");
  for (auto _ : state) {
    const bool ok = state.range(0) == 0 ? DecodeByHand(material) : material.Tool("import made back.rec --force --quiet");
    if (!ok) return state.SkipWithError("the import failed");
  }
  state.SetItemsProcessed(state.iterations() * kFrames);
  state.SetLabel(state.range(0) == 0 ? "libpng decode, one thread (baseline)" : "ovalith import");
}
BENCHMARK(BM_ImportTum)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

}  // namespace
