// PNG pictures for the ovalith tool, through libpng: writing 8-bit RGB and
// 8- or 16-bit grey pictures (with a choice of speed over size), and
// reading such pictures back.
//
// A picture is written under a temporary name beside its final one and
// renamed when complete, so a failure (a full disk) never leaves a partial
// picture under the final name. Every function reports failure through its
// error text and its result; none prints. The functions keep no state and
// may run on any number of threads at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace ovalith_tool {

// Pixels to encode: rows of width pixels, 1 (grey) or 3 (RGB) channels of
// 8 or 16 bits; 16-bit values in host order. The caller owns the pixels.
struct PngPicture {
  uint32_t width = 0;
  uint32_t height = 0;
  int channels = 3;
  int bitDepth = 8;
  const void* pixels = nullptr;
  size_t RowBytes() const { return size_t{width} * channels * (bitDepth / 8); }
};

// How hard libpng works: its defaults (adaptive filters, zlib level 6), or
// fast (zlib level 1 with one fixed filter, several times quicker on depth,
// files somewhat larger, read by every PNG reader alike).
enum class PngEffort { kDefault, kFast };

// Writes bytes to path under a temporary name, renamed into place when
// complete; "" or the reason it failed (with the system's error text).
std::string WriteWhole(const std::string& path, const std::string& bytes);

// Writes the picture to path (as WriteWhole does); false with *error
// saying why.
bool WritePng(const std::string& path, const PngPicture& picture, PngEffort effort, std::string* error);

// A picture read back: 16-bit samples in host order.
struct PngImage {
  uint32_t width = 0;
  uint32_t height = 0;
  int channels = 0;  // 1 grey, 3 RGB
  int bitDepth = 0;  // of the file: 8 or 16
  std::vector<uint8_t> bytes;
};
// Reads a PNG file. want16BitGrey: the file must be one-channel 16-bit (a
// depth or IR picture; any other is refused, naming what it is); otherwise
// the picture is read as 8-bit RGB whatever the file holds.
bool ReadPng(const std::string& path, bool want16BitGrey, PngImage* image, std::string* error);

}  // namespace ovalith_tool
