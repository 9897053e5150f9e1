// Orvane files: whole-file load and save, deletion, existence, size and
// temporary files, on the C library and POSIX calls.
#include <Orvane/OrvaneOS.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

namespace {

// Copies text into path only when it fits whole: a cut path names another file.
KrStatus ReturnPath(const std::string& text, char* path, size_t capacity) {
  if (text.size() >= capacity) return KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;
  std::memcpy(path, text.c_str(), text.size() + 1);
  return KR_STATUS_OK;
}

std::string TempDirectory() {
  const char* fromEnvironment = std::getenv("TMPDIR");
  std::string directory = (fromEnvironment != nullptr && *fromEnvironment != '\0') ? fromEnvironment : "/tmp";
  while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
  return directory;
}

}  // namespace

extern "C" {

KrStatus krOSLoadFile(const char* path, void* buffer, uint32_t size) {
  if (path == nullptr || buffer == nullptr) return KR_STATUS_OS_NULL_POINTER;
  FILE* file = std::fopen(path, "rb");
  if (file == nullptr) return KR_STATUS_OS_INVALID_FILE;
  size_t read = std::fread(buffer, 1, size, file);
  std::fclose(file);
  // A shorter file would leave the tail of the buffer stale.
  return read == size ? KR_STATUS_OK : KR_STATUS_OS_INVALID_FILE;
}

KrStatus krOSSaveFile(const char* path, const void* data, uint32_t size) {
  if (path == nullptr || (data == nullptr && size != 0)) return KR_STATUS_OS_NULL_POINTER;
  FILE* file = std::fopen(path, "wb");
  if (file == nullptr) return KR_STATUS_OS_FILE_WRITE_FAILED;
  bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
  // fclose flushes: a full disk shows up here, not in fwrite.
  bool closed = std::fclose(file) == 0;
  return written && closed ? KR_STATUS_OK : KR_STATUS_OS_FILE_WRITE_FAILED;
}

KrStatus krOSDeleteFile(const char* path) {
  if (path == nullptr) return KR_STATUS_OS_NULL_POINTER;
  return unlink(path) == 0 ? KR_STATUS_OK : KR_STATUS_OS_FILE_DELETE_FAILED;
}

KrStatus krOSDoesFileExist(const char* path, int* exists) {
  if (path == nullptr || exists == nullptr) return KR_STATUS_OS_NULL_POINTER;
  // Any entry counts, directories included: callers probe database folders.
  struct stat info;
  if (stat(path, &info) == 0) {
    *exists = 1;
  } else if (errno == ENOENT || errno == ENOTDIR) {
    *exists = 0;
  } else {
    return KR_STATUS_OS_INVALID_FILE;  // cannot tell, e.g. no permission
  }
  return KR_STATUS_OK;
}

KrStatus krOSGetFileSize64(const char* path, uint64_t* size) {
  if (path == nullptr || size == nullptr) return KR_STATUS_OS_NULL_POINTER;
  struct stat info;
  if (stat(path, &info) != 0 || !S_ISREG(info.st_mode)) return KR_STATUS_OS_INVALID_FILE;
  *size = static_cast<uint64_t>(info.st_size);
  return KR_STATUS_OK;
}

KrStatus krOSGetTempDirectory(char* directory, size_t capacity) {
  if (directory == nullptr) return KR_STATUS_OS_NULL_POINTER;
  return ReturnPath(TempDirectory(), directory, capacity);
}

KrStatus krOSCreateTempFile(const char* directory, const char* prefix, char* path, size_t capacity) {
  if (directory == nullptr || path == nullptr) return KR_STATUS_OS_NULL_POINTER;
  if (prefix == nullptr) prefix = "";
  // The prefix is part of one file name, not a way into another folder.
  if (std::strchr(prefix, '/') != nullptr) return KR_STATUS_OS_BAD_ARGUMENT;
  std::string name(directory);
  if (name.empty() || name.back() != '/') name += '/';
  name += prefix;
  name += "XXXXXX";
  if (name.size() >= capacity) return KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;
  // mkstemp picks the name and creates the file in one step (O_EXCL), so no
  // other process can claim it between the two.
  int descriptor = mkstemp(&name[0]);
  if (descriptor < 0) return KR_STATUS_OS_FILE_WRITE_FAILED;
  close(descriptor);
  return ReturnPath(name, path, capacity);
}

}  // extern "C"
