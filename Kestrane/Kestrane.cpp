// Kestrane: rewrites the flash of one connected sensor from an INI file.
//
// One straight sequence: open the sensor, run the selected init functions,
// write the protection file, clear the upgrade area, upload each listed file
// at its offset, remove the protection file, run the finish function, reset
// the sensor. Any failing step ends the program through ReportFailure; the
// only way out is WaitKeyAndExit.
#include "FileFunctions.h"
#include "FinishFunctions.h"
#include "InitFunctions.h"
#include "Utils.h"

#include <csignal>
#include <cstdio>
#include <cstring>

namespace kestrane {
namespace {

const char kModuleName[] = "Kestrane";
const char kVersionText[] = "1.0.9";
const char kDefaultIni[] = "./Kestrane_TB452.ini";
const char kEngineInitText[] = "Kestrane";  // not read by the engine
const char kKitDirectory[] = "./";
constexpr uint16_t kTypeProtection = 25;
constexpr uint16_t kProtectionPlaceholderId = 9999;

const char* const kSafeModeWarning[] = {
    "",
    "*************************************************",
    "* Warning! Warning! Warning! Warning! Warning!  *",
    "*                                               *",
    "* Sensor is in safe mode.                       *",
    "*                                               *",
    "* Press CTRL+C in the next 10 seconds to abort. *",
    "*                                               *",
    "* Make sure you know what you are doing if you  *",
    "* choose to proceed!                            *",
    "*                                               *",
    "* Warning! Warning! Warning! Warning! Warning!  *",
    "*************************************************",
    "",
};

const char* const kSuccessBanner[] = {
    "",
    "***************************************",
    "*                SUCCESS!             *",
    "***************************************",
    "",
};

// The init functions run before the upload, in this order.
struct InitFunctionRow {
  const char* name;
  KrStatus (*run)();
  const char* failure;
};

const InitFunctionRow kInitFunctions[] = {
    {"RepairFW5327ZoneB", RepairFW5327ZoneB, "RepairFW5327ZoneB Failed"},
    {"RepairFW570114ZoneA", RepairFW570114ZoneA, "RepairFW570114ZoneA Failed"},
    {"ReviveSensorFault", ReviveSensorFault, "ReviveSensorFault Failed"},
    {"GetSerialVerifyDB", GetSerialVerifyDB, "GetSerialVerifyDB Failed"},
};

// Command-line flags after the INI path, in argument order.
uint32_t* const kFlagArguments[] = {&g_tool.uploadSensorSpecific, &g_tool.uploadToFactoryOffset, &g_tool.log,
                                    &g_tool.protect};

bool Contains(const char* text, const char* name) { return std::strstr(text, name) != nullptr; }

KrStatus ReadText(const char* section, const char* key, char* value) {
  return krOSReadStringFromINI(g_tool.iniPath, section, key, value, kNameSize);
}

// An optional text key: false when its section or key is absent. Any other
// problem (a value too long for the buffer, an unreadable file) ends the
// program with message: a cut list of names would silently drop functions.
bool ReadOptionalText(const char* section, const char* key, char* value, const char* message) {
  const KrStatus status = ReadText(section, key, value);
  if (status == KR_STATUS_OS_INI_SECTION_NOT_FOUND || status == KR_STATUS_OS_KEY_NOT_FOUND) {
    value[0] = '\0';
    return false;
  }
  KESTRANE_CHECK(status, message);
  return true;
}

// A number key of the INI file. Missing: ends with missingMessage. Not a
// number: logs "<badLabel>: <text>" and ends with "Error".
uint32_t ReadNumber(const char* section, const char* key, const char* missingMessage, const char* badLabel) {
  char text[kNameSize] = {};
  KESTRANE_CHECK(ReadText(section, key, text), missingMessage);
  uint32_t value = 0;
  if (!ParseNumber(text, &value)) {
    KESTRANE_LOG("%s: %s", badLabel, text);
    KESTRANE_FAIL("Error", kBadNumber);
  }
  return value;
}

// Returns false when the INI path does not fit its buffer.
bool ReadCommandLine(int argc, char** argv) {
  if (argc == 1) {
    std::strcpy(g_tool.iniPath, kDefaultIni);
    return true;
  }
  if (argc != 6) {
    std::printf("Usage: <INI> <UploadSensorSpecific:0/1> <UploadToFactoryOffset:0/1> <Log:0/1> <Protect:0/1>\n");
    WaitKeyAndExit(static_cast<int>(kFailure));
  }
  for (size_t i = 0; i < sizeof(kFlagArguments) / sizeof(kFlagArguments[0]); ++i) {
    *kFlagArguments[i] = argv[2 + i][0] == '1' ? 1 : 0;
  }
  if (std::strlen(argv[1]) >= kIniPathSize) return false;
  std::strcpy(g_tool.iniPath, argv[1]);
  return true;
}

void SetUpLog() {
  krLogInitSystem();
  krLogSetConsoleOutput(1);
  if (g_tool.log == 1) krLogSetFileOutput(1);
  krLogSetMaskMinSeverity("ALL", KR_LOG_SEVERITY_VERBOSE);
}

void OpenSensor(KrVPropertySet& creationSet) {
  KESTRANE_CHECK(KrVDevice::EngineInit(kEngineInitText, kKitDirectory), "Engine init failed");
  if (LeanInit()) KESTRANE_LOG("*** Using lean init!");
  BuildCreationSet(creationSet);
  KESTRANE_CHECK(g_tool.device.CreateSensor(kConnectionString, &creationSet, 0),
                 "Failed to open the sensor (Is it connected?)");
  KESTRANE_CHECK(GetDeviceRecord("Version", &g_tool.firmwareVersion, sizeof(g_tool.firmwareVersion)),
                 "Failed to get the FW version");
}

void RunInitFunctions(const char* selected) {
  for (const InitFunctionRow& row : kInitFunctions) {
    if (!Contains(selected, row.name)) continue;
    KESTRANE_CHECK(row.run(), row.failure);
  }
}

void WarnAboutSafeMode() {
  uint64_t mode = 0;
  KESTRANE_CHECK(g_tool.device.GetProperty(kDeviceModule, "FirmwareMode", mode), "Failed to get the FW mode");
  if (mode != 2) return;
  for (const char* line : kSafeModeWarning) KESTRANE_LOG("%s", line);
  krOSSleep(kSensorWaitMs);
}

// Deletes every protection file (type 25) that an earlier, interrupted
// update left on the flash. This run rewrites the upgrade area such a file
// guards, so the file is stale; kept, it would block the new protection
// file's upload (an overlap), or stay behind after a run that reports
// success.
void RemoveLeftoverProtection() {
  KESTRANE_CHECK(FetchFileList(), "Failed to get file list");
  for (uint32_t i = 0; i < g_tool.fileListHeader.count; ++i) {
    const FileListEntry& entry = g_tool.fileList[i];
    if (entry.type != kTypeProtection) continue;
    KESTRANE_LOG("*** Removing the protection file left by an earlier update (id %d at 0x%x)...", entry.id,
                 entry.offset);
    DeleteSensorFile(entry);
  }
}

void WriteProtectionFile() {
  char name[kNameSize] = {};
  KESTRANE_CHECK(ReadText("Protect", "Name", name), "Failed to get the name of the protection file");
  const uint32_t offset =
      ReadNumber("Protect", "Offset", "Failed to get the offset of the protection file", "Bad protection file offset");
  KESTRANE_LOG("*** Protecting the sensor: %s -> 0x%x", name, offset);
  RemoveLeftoverProtection();
  FlashFileRecord record = {offset, name, 0};
  KESTRANE_CHECK(SetDeviceRecord("FlashFile", &record, sizeof(record)), "Failed to upload the protection file");
}

void FastClear() {
  const uint32_t skip =
      ReadNumber("UpgArea", "SkipFastClear", "Failed to get skip fast clear value", "Bad skip fast clear value");
  if (skip != 0) {
    KESTRANE_LOG("*** Using fast clear to wipe the upgrade zone will be skipped!");
    return;
  }
  KESTRANE_LOG("*** Using fast clear to wipe the upgrade zone...");
  KESTRANE_CHECK(g_tool.device.SetProperty(kDeviceModule, "DeleteFile", kFastClear),
                 "Failed to clear the upgrade zone");
}

// Deletes every file in [Min, Max) and takes the protection file's entry
// (type 25) from the list, then reads the list again for the upload.
void ClearUpgradeArea(FileListEntry* protection) {
  KESTRANE_LOG("*** Going to clear the upgrade area...");
  const uint32_t min =
      ReadNumber("UpgArea", "Min", "Failed to get min upgrade area offset", "Bad min upgrade area offset");
  const uint32_t max =
      ReadNumber("UpgArea", "Max", "Failed to get max upgrade area offset", "Bad max upgrade area offset");
  KESTRANE_LOG("*** Min upgrade area offset: 0x%x", min);
  KESTRANE_LOG("*** Max upgrade area offset: 0x%x", max);
  KESTRANE_CHECK(FetchFileList(), "Failed to get file list");
  for (uint32_t i = 0; i < g_tool.fileListHeader.count; ++i) {
    const FileListEntry& entry = g_tool.fileList[i];
    if (entry.offset >= min && entry.offset < max) DeleteSensorFile(entry);
  }
  for (uint32_t i = 0; i < g_tool.fileListHeader.count; ++i) {
    if (g_tool.fileList[i].type == kTypeProtection) *protection = g_tool.fileList[i];
  }
  KESTRANE_CHECK(FetchFileList(), "Failed to get file list");
  KESTRANE_LOG("*** Upgrade area is clear!");
}

// One "File<n>" section: read, personalise, skip or upload.
void UploadOneFile(uint32_t n) {
  char section[32];
  FormatInto(section, sizeof(section), "File%u", n);
  KESTRANE_LOG("*** Uploading file #%u:", n);
  // The temporary copy that UpgradeSensorID1 made, kept apart from the name
  // buffer: UpgradeFromDB may replace the name afterwards, and the file to
  // remove after the upload is the copy, never the database's file.
  char tempPath[kNameSize] = {};
  char name[kNameSize] = {};
  KESTRANE_CHECK(ReadText(section, "Name", name), "Failed to get the filename");
  const uint32_t offset = ReadNumber(section, g_tool.uploadToFactoryOffset == 1 ? "OffsetFactory" : "Offset",
                                     "Failed to get the offset", "Bad file offset");
  int32_t sensorSpecific = 0;
  KESTRANE_CHECK(krOSReadIntFromINI(g_tool.iniPath, section, "SensorSpecific", &sensorSpecific),
                 "Failed to get sensor specific");

  char function[kNameSize] = {};
  if (ReadOptionalText(section, "Function", function, "Failed to get the file function")) {
    if (Contains(function, "UpgradeSensorID1") && UpgradeSensorID1(name) == KR_STATUS_OK) {
      sensorSpecific = 0;
      std::memcpy(tempPath, name, kNameSize);
    }
    if (Contains(function, "UpgradeFromDB") && UpgradeFromDB(name) == KR_STATUS_OK) sensorSpecific = 0;
  }
  KESTRANE_LOG(">>>>>> File Name: %s, Offset: 0x%x, SensorSpecific:%d", name, offset, sensorSpecific);

  if (g_tool.uploadToFactoryOffset == 0 && sensorSpecific == 2) {
    KESTRANE_LOG(">>>>>> Skipping a factory offset specific file...");
    return;
  }
  if (g_tool.uploadSensorSpecific == 0 && sensorSpecific == 1) {
    KESTRANE_LOG(">>>>>> Skipping a sensor specific file...");
    return;
  }
  for (uint32_t i = 0; i < g_tool.fileListHeader.count; ++i) {
    if (g_tool.fileList[i].offset == offset) DeleteSensorFile(g_tool.fileList[i]);
  }
  FlashFileRecord record = {offset, name, 0};
  KESTRANE_CHECK(SetDeviceRecord("FlashFile", &record, sizeof(record)), "Failed to upload");
  if (tempPath[0] != '\0') {
    KESTRANE_LOG(">>>>>> Deleting the temp file...");
    KESTRANE_CHECK(DeleteTempFile(tempPath), "Failed to delete the temp file");
  }
}

void UploadFiles() {
  int32_t count = 0;
  KESTRANE_CHECK(krOSReadIntFromINI(g_tool.iniPath, "Files", "NumFiles", &count), "Failed to get the number of files");
  const uint32_t numFiles = static_cast<uint32_t>(count);
  KESTRANE_LOG("*** There are %d files to upload!", count);
  for (uint32_t n = 1; n <= numFiles && n != 0; ++n) UploadOneFile(n);
}

void RunFinishFunction() {
  char selected[kNameSize] = {};
  if (!ReadOptionalText("Finish", "FinishFunction", selected, "Failed to get the finish function")) return;
  if (Contains(selected, "RunBISTNESAUnlimited")) {
    KESTRANE_CHECK(RunBISTNESAUnlimited(), "RunBISTNESAUnlimited Failed");
  }
}

// A signal that ends the process (Ctrl+C in the safe-mode pause, a closed
// terminal) still removes the temporary files, then ends it as before.
void EndOnSignal(int signal) {
  RemoveTempFiles();
  std::signal(signal, SIG_DFL);
  std::raise(signal);
}

void SetUpSignals() {
  // A console that went away (a closed pipe) must not end a flash sequence
  // half-way: its writes then just fail.
  std::signal(SIGPIPE, SIG_IGN);
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    // A signal the caller chose to ignore (nohup) stays ignored.
    if (std::signal(signal, EndOnSignal) == SIG_IGN) std::signal(signal, SIG_IGN);
  }
}

[[noreturn]] void Run(int argc, char** argv) {
  SetUpSignals();
  std::printf("Kestrane V%s\n\n", kVersionText);
  std::fflush(stdout);
  const bool iniPathFits = ReadCommandLine(argc, argv);
  SetUpLog();
  if (!iniPathFits) KESTRANE_FAIL("The INI path is too long", kTooLong);

  KrVPropertySet creationSet;  // lives to the end of the flow
  OpenSensor(creationSet);

  char initFunctions[kNameSize] = {};
  // Missing: empty, nothing runs.
  ReadOptionalText("Init", "InitFunction", initFunctions, "Failed to get the init functions");
  RunInitFunctions(initFunctions);
  WarnAboutSafeMode();

  // Without a type-25 file in the list, the record names the placeholder id
  // and has no read-only attribute.
  FileListEntry protection = {};
  protection.id = kProtectionPlaceholderId;
  if (g_tool.protect == 1) WriteProtectionFile();
  if (Contains(initFunctions, "NESI")) KESTRANE_CHECK(NESI(), "NESI Failed");
  if (VersionAtLeast(g_tool.firmwareVersion, 5, 8, 16)) FastClear();
  ClearUpgradeArea(&protection);
  UploadFiles();
  if (g_tool.protect == 1) {
    KESTRANE_LOG("*** Removing the protection file...");
    DeleteSensorFile(protection);
  } else {
    // The update is complete: a protection file of an earlier run guards
    // nothing any more.
    RemoveLeftoverProtection();
  }
  RunFinishFunction();

  KESTRANE_LOG("*** Reseting the sensor...");
  KESTRANE_CHECK(g_tool.device.SetProperty(kDeviceModule, "Reset", uint64_t{0}), "Failed to reset");
  for (const char* line : kSuccessBanner) KESTRANE_LOG("%s", line);
  g_tool.device.Close();
  KrVDevice::EngineShutdown();
  WaitKeyAndExit(0);
}

}  // namespace
}  // namespace kestrane

int main(int argc, char** argv) { kestrane::Run(argc, argv); }
