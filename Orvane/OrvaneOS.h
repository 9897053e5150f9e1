// Orvane portability layer: memory, text, INI reading, files, time and the
// keyboard, behind a small C interface.
//
// Every function is safe to call from any thread. Memory returned by an
// allocator belongs to the caller and goes back through the matching free
// (krOSFree for krOSMalloc/krOSCalloc, krOSFreeAligned for the aligned pair).
// Functions that fail return a KrStatus from OrvaneTypes.h and leave their
// outputs untouched unless stated otherwise.
#pragma once

#include <Orvane/OrvaneTypes.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---- memory ----
void* krOSMalloc(size_t size);                  // null on failure
void* krOSCalloc(size_t count, size_t size);    // zero-filled; null on failure or overflow
void krOSFree(void* memory);                    // null is ignored
void* krOSMallocAligned(size_t size, size_t alignment);   // alignment: power of two
void* krOSCallocAligned(size_t count, size_t size, size_t alignment);
void krOSFreeAligned(void* memory);             // null is ignored
void krOSMemCopy(void* destination, const void* source, size_t size);
void krOSMemSet(void* destination, int value, size_t size);

// ---- text ----
// Copies source into destination (capacity bytes, terminator included).
// A source that does not fit is cut, terminated, and 0x10007 returned.
KrStatus krOSStrCopy(char* destination, const char* source, size_t capacity);
KrStatus krOSStrLen(const char* text, size_t* length);
// CRC-32 (the zlib polynomial) of the text's bytes, terminator excluded.
KrStatus krOSStrCRC32(const char* text, uint32_t* crc);

// ---- INI files ----
// Sections and keys match exactly; blanks around values are trimmed; lines
// starting with ';' or '#' are comments. A missing file, section or key is a
// failing status and leaves the output untouched.
// Also: a ';' after a blank ends a value (a trailing comment); the first of
// repeated keys counts; indented lines are ordinary lines; section names
// longer than 48 characters are refused (0x10006). A value longer than the
// capacity is cut, terminated, and 0x10007 returned.
KrStatus krOSReadStringFromINI(const char* file, const char* section, const char* key, char* value,
                               size_t capacity);
// The value must be a whole decimal integer that fits 32 bits (sign allowed);
// anything else is 0x10015.
KrStatus krOSReadIntFromINI(const char* file, const char* section, const char* key, int32_t* value);

// ---- files ----
// Reads exactly size bytes from the start of the file into buffer.
KrStatus krOSLoadFile(const char* path, void* buffer, uint32_t size);
// Creates or replaces the file with size bytes of data.
KrStatus krOSSaveFile(const char* path, const void* data, uint32_t size);
KrStatus krOSDeleteFile(const char* path);
// Any entry counts, directories included.
KrStatus krOSDoesFileExist(const char* path, int* exists);
KrStatus krOSGetFileSize64(const char* path, uint64_t* size);
// The system temporary directory: TMPDIR when set, else "/tmp"; no trailing '/'.
KrStatus krOSGetTempDirectory(char* directory, size_t capacity);
// Creates a new, empty, uniquely named file in directory (atomically, so no
// other process can take the name) and returns its path.
KrStatus krOSCreateTempFile(const char* directory, const char* prefix, char* path, size_t capacity);

// ---- time and keyboard ----
void krOSSleep(uint32_t milliseconds);
// Monotonic time in microseconds, for measuring intervals.
uint64_t krOSGetTimeMicroseconds(void);
// Waits a short while (at most 100 ms) for a key. On a terminal one key press
// counts, without Enter; when standard input is not a terminal one byte or
// the end of input counts. *hit is 1 when a key was taken, else 0. Calling it
// in a loop therefore blocks rather than spins.
KrStatus krOSWasKeyboardHit(int* hit);

#ifdef __cplusplus
}
#endif
