// Kestrane's shared operations: exit and failure report, number parsing,
// the flash file list, deletion of one flash file, reset and reconnect, and
// the temporary files that must not outlive the run.
#include "Utils.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

namespace kestrane {
namespace {

const char kModuleName[] = "Utils";

const char* const kFailureBanner[] = {
    "",
    "***************************************",
    "*                FAILURE!             *",
    "***************************************",
    "",
};

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

}  // namespace

ToolState g_tool;

void WaitKeyAndExit(int code) {
  // Before the wait: the user may close the console instead of pressing a key.
  RemoveTempFiles();
  std::printf("\nPress any key to exit...\n");
  std::fflush(stdout);
  // Each call waits up to a short while for a key, so the loop blocks.
  int hit = 0;
  while (hit == 0) {
    if (krOSWasKeyboardHit(&hit) != KR_STATUS_OK) break;
  }
  std::exit(code);
}

void ReportFailure(const char* module, int line, const char* message, KrStatus status) {
  krLogWrite(nullptr, KR_LOG_SEVERITY_INFO, module, line, "%s: %s", message, krGetStatusString(status));
  for (const char* text : kFailureBanner) krLogWrite(nullptr, KR_LOG_SEVERITY_INFO, module, line, "%s", text);
  WaitKeyAndExit(static_cast<int>(kFailure));
}

bool ParseNumber(const char* text, uint32_t* value) {
  uint32_t base = 10;
  if (std::strlen(text) > 1 && text[0] == '0' && text[1] == 'x') {
    base = 16;
    text += 2;
  }
  uint32_t result = 0;  // unsigned: wraps like the sensor's 32-bit registers
  for (; *text != '\0'; ++text) {
    const int digit = DigitValue(*text);
    if (digit < 0 || static_cast<uint32_t>(digit) >= base) return false;
    result = result * base + static_cast<uint32_t>(digit);
  }
  *value = result;
  return true;
}

KrStatus FetchFileList() {
  g_tool.fileListHeader.entries = g_tool.fileList;
  g_tool.fileListHeader.count = static_cast<uint16_t>(kFileListCapacity);
  const KrStatus status = GetDeviceRecord("FileList", &g_tool.fileListHeader, sizeof(g_tool.fileListHeader));
  if (status != KR_STATUS_OK) return status;
  // A count past the array would make every later walk read beyond it.
  if (g_tool.fileListHeader.count > kFileListCapacity) {
    g_tool.fileListHeader.count = 0;
    return kTooLong;
  }
  return KR_STATUS_OK;
}

KrStatus DeleteSensorFile(const FileListEntry& entry) {
  KESTRANE_LOG(">>>>>> Deleting file id: %d", entry.id);
  if ((entry.attributes & kReadOnly) != 0) {
    KESTRANE_LOG(">>>>>> Clearing file attribute! (It was read only...)");
    FileAttributesRecord attributes = {entry.id, 0};
    KESTRANE_CHECK(SetDeviceRecord("FileAttributes", &attributes, sizeof(attributes)), "Couldn't change attributes");
  }
  KESTRANE_CHECK(g_tool.device.SetProperty(kDeviceModule, "DeleteFile", uint64_t{entry.id}), "Failed to delete");
  KESTRANE_LOG(">>>>>> Done!");
  return KR_STATUS_OK;
}

KrStatus ResetAndReconnect() {
  KESTRANE_LOG(">>>>>> Reseting the sensor...");
  KESTRANE_CHECK(g_tool.device.SetProperty(kDeviceModule, "Reset", uint64_t{0}), "Failed to reset");
  g_tool.device.Close();
  KESTRANE_LOG(">>>>>> Reconnecting...");
  krOSSleep(kSensorWaitMs);
  KrVPropertySet set;
  BuildCreationSet(set);
  KESTRANE_CHECK(g_tool.device.CreateSensor(kConnectionString, &set, 0), "Open sensor Failed");
  return KR_STATUS_OK;
}

KrStatus CreateTempFile(const char* directory, char* path) {
  const KrStatus created = krOSCreateTempFile(directory, "", path, kNameSize);
  if (created != KR_STATUS_OK) return created;
  for (size_t i = 0; i < kMaxTempFiles; ++i) {
    if (g_tool.tempFileInUse[i] != 0) continue;
    std::memcpy(g_tool.tempFiles[i], path, kNameSize);
    std::atomic_signal_fence(std::memory_order_seq_cst);  // the path is whole before the mark
    g_tool.tempFileInUse[i] = 1;
    return KR_STATUS_OK;
  }
  krOSDeleteFile(path);
  return kTooLong;
}

KrStatus DeleteTempFile(const char* path) {
  const KrStatus deleted = krOSDeleteFile(path);
  if (deleted != KR_STATUS_OK) return deleted;  // kept: the way out tries again
  for (size_t i = 0; i < kMaxTempFiles; ++i) {
    if (g_tool.tempFileInUse[i] != 0 && std::strcmp(g_tool.tempFiles[i], path) == 0) g_tool.tempFileInUse[i] = 0;
  }
  return deleted;
}

void RemoveTempFiles() {
  for (size_t i = 0; i < kMaxTempFiles; ++i) {
    if (g_tool.tempFileInUse[i] == 0) continue;
    ::unlink(g_tool.tempFiles[i]);  // unlink, not remove: a signal handler calls this
    g_tool.tempFileInUse[i] = 0;
  }
}

bool VersionAtLeast(const VersionRecord& version, uint8_t major, uint8_t minor, uint16_t build) {
  if (version.major != major) return version.major > major;
  if (version.minor != minor) return version.minor > minor;
  return version.build >= build;
}

bool LeanInit() { return g_tool.uploadSensorSpecific == 1 && g_tool.uploadToFactoryOffset == 1; }

KrStatus BuildCreationSet(KrVPropertySet& set) {
  KrStatus status = set.AddModule(kDeviceModule);
  if (status == KR_STATUS_OK) status = set.AddProperty(kDeviceModule, "ResetSensorOnStartup", uint64_t{0});
  if (status == KR_STATUS_OK && LeanInit()) status = set.AddProperty(kDeviceModule, "LeanInit", uint64_t{1});
  return status;
}

KrStatus SetDeviceRecord(const char* property, void* record, uint32_t size) {
  const KrGeneralBuffer buffer = {record, size};
  return g_tool.device.SetProperty(kDeviceModule, property, buffer);
}

KrStatus GetDeviceRecord(const char* property, void* record, uint32_t size) {
  const KrGeneralBuffer buffer = {record, size};
  return g_tool.device.GetProperty(kDeviceModule, property, buffer);
}

void CopyIntoField(char* field, size_t width, const char* text) {
  std::memset(field, 0, width);
  std::memcpy(field, text, strnlen(text, width));
}

bool FormatInto(char* buffer, size_t capacity, const char* format, ...) {
  va_list arguments;
  va_start(arguments, format);
  const int length = std::vsnprintf(buffer, capacity, format, arguments);
  va_end(arguments);
  return length >= 0 && static_cast<size_t>(length) < capacity;
}

}  // namespace kestrane
