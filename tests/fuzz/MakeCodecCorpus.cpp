// Writes the seed corpus of FrameCodecFuzz into a directory: small frames
// encoded with each codec, in the fuzz target's input layout.
//   MakeCodecCorpus tests/fuzz/corpus/codec
#include <Tollan/src/file/FrameCodec.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace tollan::recording;

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
    return 2;
  }
  // A 24x16 depth frame: a wall, a nearer box, a hole of no-sample pixels.
  std::vector<uint16_t> depth(24 * 16);
  for (int y = 0; y < 16; ++y) {
    for (int x = 0; x < 24; ++x) {
      const bool box = x > 6 && x < 14 && y > 4 && y < 12;
      const bool hole = x > 17 && y < 4;
      depth[y * 24 + x] = hole ? 0 : box ? uint16_t(1210 + (x * 7 + y) % 3 * 6) : uint16_t(2950 + (x + y) % 5 * 26);
    }
  }
  FrameCodec codec;
  for (uint32_t c = 1; c <= kLastCodec; ++c) {
    std::vector<uint8_t> encoded;
    const uint32_t size = uint32_t(depth.size() * 2);
    if (!codec.Encode(Codec(c), depth.data(), size, 24, &encoded)) return 1;
    std::vector<uint8_t> input = {uint8_t(c), uint8_t(size), uint8_t(size >> 8)};
    input.insert(input.end(), encoded.begin(), encoded.end());
    const std::string path = std::string(argv[1]) + "/" + CodecName(Codec(c)) + ".bin";
    FILE* file = std::fopen(path.c_str(), "wb");
    if (file == nullptr || std::fwrite(input.data(), 1, input.size(), file) != input.size() || std::fclose(file) != 0) {
      return 1;
    }
  }
  return 0;
}
