// PNG writing and reading through libpng (see Png.h).
#include "Png.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ovalith_tool {
namespace {

void Append(png_structp png, png_bytep data, png_size_t size) {
  static_cast<std::string*>(png_get_io_ptr(png))->append(reinterpret_cast<const char*>(data), size);
}

void NoFlush(png_structp) {}

// libpng reports errors by longjmp; nothing with a destructor is made in
// this function after the jump point, so the jump leaks nothing.
bool Encode(std::string* bytes, const PngPicture& picture, PngEffort effort) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png != nullptr ? png_create_info_struct(png) : nullptr;
  if (info == nullptr || setjmp(png_jmpbuf(png)) != 0) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, bytes, Append, NoFlush);
  if (effort == PngEffort::kFast) {
    // Depth and colour change smoothly along a row: "Sub" alone keeps most
    // of what the adaptive choice gains, at a fraction of its cost.
    png_set_filter(png, PNG_FILTER_TYPE_BASE, PNG_FILTER_SUB);
    png_set_compression_level(png, 1);
  }
  png_set_IHDR(png, info, picture.width, picture.height, picture.bitDepth,
               picture.channels == 3 ? PNG_COLOR_TYPE_RGB : PNG_COLOR_TYPE_GRAY, PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  if (picture.bitDepth == 16) png_set_swap(png);  // PNG stores 16-bit values big-endian
  const auto* row = static_cast<const png_byte*>(picture.pixels);
  for (uint32_t y = 0; y < picture.height; ++y) png_write_row(png, row + y * picture.RowBytes());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

std::string WriteWhole(const std::string& path, const std::string& bytes) {
  const std::string part = path + ".part";
  FILE* file = std::fopen(part.c_str(), "wb");
  if (file == nullptr) return "cannot create " + path + ": " + std::strerror(errno);
  bool ok = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size() && std::fflush(file) == 0;
  int reason = errno;
  if (std::fclose(file) != 0 && ok) {
    ok = false;
    reason = errno;
  }
  if (ok && std::rename(part.c_str(), path.c_str()) != 0) {
    ok = false;
    reason = errno;
  }
  if (ok) return std::string();
  std::remove(part.c_str());
  return "cannot write " + path + ": " + std::strerror(reason);
}

bool WritePng(const std::string& path, const PngPicture& picture, PngEffort effort, std::string* error) {
  std::string bytes;
  if (!Encode(&bytes, picture, effort)) {
    *error = "cannot encode " + path + " as PNG";
    return false;
  }
  *error = WriteWhole(path, bytes);
  return error->empty();
}

bool ReadPng(const std::string& path, bool want16BitGrey, PngImage* image, std::string* error) {
  png_image png = {};
  png.version = PNG_IMAGE_VERSION;
  if (png_image_begin_read_from_file(&png, path.c_str()) == 0) {
    *error = path + ": not a readable PNG picture (" + png.message + ")";
    return false;
  }
  const bool grey = (png.format & PNG_FORMAT_FLAG_COLOR) == 0;
  const bool sixteen = (png.format & PNG_FORMAT_FLAG_LINEAR) != 0;
  if (want16BitGrey && (!grey || !sixteen)) {
    png_image_free(&png);
    *error = path + ": " + (sixteen ? "a 16" : "an 8") + "-bit " + (grey ? "grey" : "colour") +
             " picture; depth and infra-red pictures must be 16-bit grey";
    return false;
  }
  png.format = want16BitGrey ? PNG_FORMAT_LINEAR_Y : PNG_FORMAT_RGB;
  image->width = png.width;
  image->height = png.height;
  image->channels = want16BitGrey ? 1 : 3;
  image->bitDepth = sixteen ? 16 : 8;
  image->bytes.assign(PNG_IMAGE_SIZE(png), 0);
  if (png_image_finish_read(&png, nullptr, image->bytes.data(), 0, nullptr) == 0) {
    *error = path + ": a damaged PNG picture (" + png.message + ")";
    png_image_free(&png);
    return false;
  }
  return true;
}

}  // namespace ovalith_tool
