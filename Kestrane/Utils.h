// Kestrane's shared pieces: the tool's process-wide state, and the
// small operations every part of the tool uses (file list, deletion of one
// flash file, reset and reconnect, number parsing, failure report, exit,
// temporary files).
//
// The tool runs in one thread. Its state (g_tool) is one object for the whole
// process: it owns the one device and is destroyed at process exit. The
// operations that can fail end the program themselves through ReportFailure
// and never hand a failure back.
#pragma once

#include <Ovalith/Ovalith.h>
#include <Tollan/TollanFlash.h>  // the records the "Device" flash properties exchange

#include <csignal>
#include <cstddef>
#include <cstdint>

// How long the tool waits for a sensor after a reset, and in safe mode for
// the user. Test builds of the tool shorten it; the program always waits the
// full time.
#ifndef KESTRANE_RESET_WAIT_MS
#define KESTRANE_RESET_WAIT_MS 10000
#endif

namespace kestrane {

// ---- constants ----
constexpr uint32_t kSensorWaitMs = KESTRANE_RESET_WAIT_MS;
constexpr KrStatus kFailure = 0x10001;    // every failure of the tool; also its exit code
constexpr KrStatus kBadNumber = 0x10015;  // an INI number that ParseNumber rejects
constexpr KrStatus kTooLong = 0x10007;    // a text that does not fit its buffer
constexpr size_t kIniPathSize = 260;
constexpr size_t kNameSize = 256;  // INI text values and file names
constexpr size_t kTempDirectorySize = 260;
constexpr size_t kTextPropertySize = 200;  // text properties of the device
constexpr size_t kSerialLength = 32;
constexpr size_t kFileListCapacity = 100;
constexpr size_t kMaxTempFiles = 8;  // the tool holds at most three at once
constexpr uint16_t kReadOnly = kFlashAttributeReadOnly;
constexpr uint64_t kFastClear = kFlashDeleteUpgradeZone;
constexpr char kDeviceModule[] = "Device";
constexpr char kConnectionString[] = "*:0";

// ---- process-wide state ----
struct ToolState {
  KrVDevice device{0};
  char iniPath[kIniPathSize] = {};
  uint32_t uploadSensorSpecific = 0;
  uint32_t uploadToFactoryOffset = 0;
  uint32_t log = 0;
  uint32_t protect = 1;
  VersionRecord firmwareVersion = {};
  char serialNumber[kSerialLength + 1] = {};  // entered in GetSerialVerifyDB
  FileListEntry fileList[kFileListCapacity] = {};
  FileListHeader fileListHeader = {fileList, 0};  // count: valid entries after FetchFileList
  uint32_t nesiUpdated = 0;
  // Temporary files the tool made and has not deleted yet, removed on every
  // way out (WaitKeyAndExit, or a signal that ends the process). A slot is
  // in use while its mark is 1; the mark is set only after the path is
  // complete, so a signal handler never reads a half-written path.
  char tempFiles[kMaxTempFiles][kNameSize] = {};
  volatile sig_atomic_t tempFileInUse[kMaxTempFiles] = {};
};
extern ToolState g_tool;

// ---- operations ----

// Removes the tool's temporary files, prints "Press any key to exit...",
// waits for a key, ends the process.
[[noreturn]] void WaitKeyAndExit(int code);
// Logs "<message>: <status text>" and the FAILURE banner under the caller's
// module and line, then WaitKeyAndExit(65537).
[[noreturn]] void ReportFailure(const char* module, int line, const char* message, KrStatus status);
// Decimal, or hexadecimal after a leading "0x"; 32-bit, wrapping. False
// (value untouched) for any other character.
bool ParseNumber(const char* text, uint32_t* value);
// Reads the flash's file list into g_tool; the status of the read.
KrStatus FetchFileList();
// Deletes one flash file (id and attributes of the entry are read), first
// clearing a read-only attribute. 0, or the program ends.
KrStatus DeleteSensorFile(const FileListEntry& entry);
// Resets the sensor, waits for it and opens it again. 0, or the program ends.
KrStatus ResetAndReconnect();

// Creates a new temporary file in directory (path: kNameSize bytes) and
// keeps it for removal on the way out. Every slot taken: the file is
// removed again and kTooLong returned.
KrStatus CreateTempFile(const char* directory, char* path);
// Deletes a temporary file made by CreateTempFile and forgets it (kept
// for the way out when the deletion fails).
KrStatus DeleteTempFile(const char* path);
// Removes every temporary file not deleted yet. Async-signal-safe.
void RemoveTempFiles();

// Version comparison, major first.
bool VersionAtLeast(const VersionRecord& version, uint8_t major, uint8_t minor, uint16_t build);
// The creation property set: "ResetSensorOnStartup" 0, and "LeanInit" 1 when
// both upload flags are on.
KrStatus BuildCreationSet(KrVPropertySet& set);
bool LeanInit();
// Writes a general "Device" property over a record, or reads one into it.
KrStatus SetDeviceRecord(const char* property, void* record, uint32_t size);
KrStatus GetDeviceRecord(const char* property, void* record, uint32_t size);
// Copies text into a field of width bytes: zero-filled, cut at width, no
// terminator when the text fills the field.
void CopyIntoField(char* field, size_t width, const char* text);
// Formats into buffer; false when the text does not fit.
bool FormatInto(char* buffer, size_t capacity, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;

}  // namespace kestrane

// Every source file defines kModuleName, the name its log lines carry.
#define KESTRANE_LOG(...) krLogWrite(nullptr, KR_LOG_SEVERITY_INFO, kModuleName, __LINE__, __VA_ARGS__)
#define KESTRANE_FAIL(message, status) ::kestrane::ReportFailure(kModuleName, __LINE__, (message), (status))
// Ends the program through ReportFailure when expr is not 0.
#define KESTRANE_CHECK(expr, message)            \
  do {                                           \
    const KrStatus kestraneStatus_ = (expr);     \
    if (kestraneStatus_ != KR_STATUS_OK) {       \
      KESTRANE_FAIL((message), kestraneStatus_); \
    }                                            \
  } while (0)
