// The viewer's page files, built into the program from page/ (see
// EmbedPage.cmake). The table and its bytes are constant for the life of
// the program; any thread may read them.
#pragma once

#include <cstddef>
#include <cstring>

namespace ovalith_view {

struct PageFile {
  const char* path;         // "/index.html", ...
  const char* contentType;  // the Content-Type header value
  const unsigned char* data;
  size_t size;
};

extern const PageFile kViewPage[];
extern const size_t kViewPageCount;

// The file served at path ("/" is "/index.html"); null for any other path.
inline const PageFile* FindPageFile(const char* path) {
  if (std::strcmp(path, "/") == 0) path = "/index.html";
  for (size_t i = 0; i < kViewPageCount; ++i) {
    if (std::strcmp(kViewPage[i].path, path) == 0) return &kViewPage[i];
  }
  return nullptr;
}

}  // namespace ovalith_view
