// Orvane text helpers: bounded copy, length and CRC-32 of null-terminated text.
#include <Orvane/OrvaneOS.h>

#include <cstring>

#include <zlib.h>

extern "C" {

KrStatus krOSStrCopy(char* destination, const char* source, size_t capacity) {
  if (destination == nullptr || source == nullptr) return KR_STATUS_OS_NULL_POINTER;
  if (capacity == 0) return KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;
  // strnlen: the source need not be terminated within reach of capacity.
  size_t length = strnlen(source, capacity);
  bool fits = length < capacity;
  if (!fits) length = capacity - 1;
  std::memmove(destination, source, length);
  destination[length] = '\0';
  return fits ? KR_STATUS_OK : KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;
}

KrStatus krOSStrLen(const char* text, size_t* length) {
  if (text == nullptr || length == nullptr) return KR_STATUS_OS_NULL_POINTER;
  *length = std::strlen(text);
  return KR_STATUS_OK;
}

KrStatus krOSStrCRC32(const char* text, uint32_t* crc) {
  if (text == nullptr || crc == nullptr) return KR_STATUS_OS_NULL_POINTER;
  *crc =
      static_cast<uint32_t>(crc32_z(crc32_z(0L, Z_NULL, 0), reinterpret_cast<const Bytef*>(text), std::strlen(text)));
  return KR_STATUS_OK;
}

}  // extern "C"
