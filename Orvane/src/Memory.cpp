// Orvane memory: thin wrappers over the C allocator.
//
// The aligned pair uses posix_memalign, whose blocks go back through free();
// the separate krOSFreeAligned keeps callers honest should that ever change.
#include <Orvane/OrvaneOS.h>

#include <cstdlib>
#include <cstring>

namespace {

bool IsPowerOfTwo(size_t value) { return value != 0 && (value & (value - 1)) == 0; }

// count * size, or false when the product does not fit a size_t.
bool MultiplySizes(size_t count, size_t size, size_t* total) { return !__builtin_mul_overflow(count, size, total); }

}  // namespace

extern "C" {

void* krOSMalloc(size_t size) { return std::malloc(size); }

void* krOSCalloc(size_t count, size_t size) {
  // calloc checks the product itself; checking here too keeps the promise
  // independent of the C library.
  size_t total = 0;
  if (!MultiplySizes(count, size, &total)) return nullptr;
  return std::calloc(count, size);
}

void krOSFree(void* memory) { std::free(memory); }

void* krOSMallocAligned(size_t size, size_t alignment) {
  if (!IsPowerOfTwo(alignment)) return nullptr;
  // posix_memalign wants a multiple of sizeof(void*); any smaller power of two
  // is satisfied by that stronger alignment.
  if (alignment < sizeof(void*)) alignment = sizeof(void*);
  void* memory = nullptr;
  if (posix_memalign(&memory, alignment, size) != 0) return nullptr;
  return memory;
}

void* krOSCallocAligned(size_t count, size_t size, size_t alignment) {
  size_t total = 0;
  if (!MultiplySizes(count, size, &total)) return nullptr;
  void* memory = krOSMallocAligned(total, alignment);
  if (memory != nullptr) std::memset(memory, 0, total);
  return memory;
}

void krOSFreeAligned(void* memory) { std::free(memory); }

void krOSMemCopy(void* destination, const void* source, size_t size) {
  // memmove: callers sometimes shift data inside one buffer, and a null
  // pointer with a zero size is undefined for the mem* functions.
  if (size == 0 || destination == nullptr || source == nullptr) return;
  std::memmove(destination, source, size);
}

void krOSMemSet(void* destination, int value, size_t size) {
  if (size == 0 || destination == nullptr) return;
  std::memset(destination, value, size);
}

}  // extern "C"
