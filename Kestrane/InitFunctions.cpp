// Kestrane's init functions: firmware repairs, the serial number check and
// the installation of per-sensor NESA parameters from "NESIDB.txt".
#include "InitFunctions.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace kestrane {
namespace {

const char kModuleName[] = "InitFunctions";
const char kNesiDatabase[] = "NESIDB.txt";
const char kBlankNesaFile[] = "./SensorNesaParams.xml.bin.fla";
constexpr uint32_t kNesaOffset = 0x60000;
constexpr uint16_t kTypeNesaParams = 28;
constexpr uint16_t kTypeSensorFault = 29;
constexpr size_t kDatabaseFields = 20;
constexpr size_t kDatabaseSerialLength = 199;

// ---- RepairFW5327ZoneB's tables ----

// What an affected sensor's list shows at a position.
struct ListCheckRow {
  uint32_t position;
  bool checkCrc;  // else the type
  uint16_t expected;
};

const ListCheckRow kZoneBSignature[] = {
    {16, true, 0x9E78}, {17, true, 0xBF02}, {19, true, 0x3B83}, {29, false, 20}, {30, false, 23}, {33, false, 19},
};

// A file copied out of the flash and written back at a new offset.
struct MovedFileRow {
  uint16_t id;
  uint32_t newOffset;
  const char* downloadFailure;
  const char* uploadFailure;
  const char* deleteFailure;
};

const MovedFileRow kZoneBMoves[] = {
    {29, 0x50000, "Failed to download #29", "Failed to upload #29", "Failed to temp #1"},
    {30, 0x68000, "Failed to download #30", "Failed to upload #30", "Failed to temp #2"},
    {33, 0x70000, "Failed to download #33", "Failed to upload #33", "Failed to temp #3"},
};
// Upload order, as indexes into kZoneBMoves: #33 first, then #29, then #30.
const size_t kZoneBUploadOrder[] = {2, 0, 1};
const uint16_t kZoneBStaleIds[] = {16, 17, 19};
const char* const kTempNameFailures[] = {"Failed to use GetTempFileNameA1!", "Failed to use GetTempFileNameA2!",
                                         "Failed to use GetTempFileNameA3!"};

// An entry that names a file by id with the read-only bit set, so that
// DeleteSensorFile clears the attribute first.
FileListEntry ReadOnlyEntry(uint16_t id) {
  FileListEntry entry = {};
  entry.id = id;
  entry.attributes = kReadOnly;
  return entry;
}

KrStatus UploadFile(uint32_t offset, const char* path) {
  FlashFileRecord record = {offset, path, 0};
  return SetDeviceRecord("FlashFile", &record, sizeof(record));
}

// ---- the NESI database ----

struct DatabaseLine {
  int32_t entry = 0;
  char serial[kDatabaseSerialLength + 1] = {};
  int32_t fields[kDatabaseFields + 1] = {};  // fields[3] .. fields[20]
};

bool ParseInt32(const std::string& token, int32_t* value) {
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(token.c_str(), &end, 10);
  if (errno != 0 || end == token.c_str() || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX) return false;
  *value = static_cast<int32_t>(parsed);
  return true;
}

// One line: entry number, serial, eighteen 32-bit integers, nothing more.
// False for anything else; *serial is then the line's second field (empty
// when it has none), so that a damaged line can still be told apart.
bool ParseDatabaseLine(const std::string& text, DatabaseLine* line, std::string* serial) {
  std::istringstream stream(text);
  std::vector<std::string> tokens;
  for (std::string token; stream >> token;) tokens.push_back(token);
  *serial = tokens.size() > 1 ? tokens[1] : std::string();
  if (tokens.size() != kDatabaseFields) return false;
  if (!ParseInt32(tokens[0], &line->entry) || tokens[1].size() > kDatabaseSerialLength) return false;
  std::memcpy(line->serial, tokens[1].c_str(), tokens[1].size() + 1);
  for (size_t field = 3; field <= kDatabaseFields; ++field) {
    if (!ParseInt32(tokens[field - 1], &line->fields[field])) return false;
  }
  return true;
}

bool IsBlank(const std::string& text) { return text.find_first_not_of(" \t\r\n") == std::string::npos; }

enum class DatabaseResult { kFound, kNotFound, kCannotOpen, kDamaged };

// Reads the database up to the first line of serial. A damaged line of
// another sensor is skipped with a warning and reading goes on; a damaged
// line of this sensor is kDamaged: its parameters cannot be told, and
// going on would write a later line's or blank ones.
DatabaseResult FindInDatabase(const char* serial, DatabaseLine* found) {
  std::ifstream database(kNesiDatabase);
  if (!database.is_open()) return DatabaseResult::kCannotOpen;
  std::string text;
  unsigned lineNumber = 0;
  while (std::getline(database, text)) {
    ++lineNumber;
    if (IsBlank(text)) continue;
    DatabaseLine line;
    std::string lineSerial;
    if (!ParseDatabaseLine(text, &line, &lineSerial)) {
      if (!lineSerial.empty() && lineSerial == serial) {
        KESTRANE_LOG(">>>>>> Error! Line %u of %s, the line of the sensor %s, does not hold 20 valid fields: %.*s",
                     lineNumber, kNesiDatabase, serial, static_cast<int>(kTextPropertySize), text.c_str());
        return DatabaseResult::kDamaged;
      }
      KESTRANE_LOG(">>>>>> Warning! Skipping line %u of %s: the line of the sensor %.*s does not hold 20 valid fields.",
                   lineNumber, kNesiDatabase, static_cast<int>(kTextPropertySize),
                   lineSerial.empty() ? "(none)" : lineSerial.c_str());
      continue;
    }
    if (std::strcmp(line.serial, serial) == 0) {
      *found = line;
      return DatabaseResult::kFound;
    }
  }
  return DatabaseResult::kNotFound;
}

void FillNesaRecord(const DatabaseLine& line, NesaParamsRecord* record) {
  std::memset(record, 0, sizeof(*record));
  record->type = kTypeNesaParams;
  for (size_t k = 0; k < 9; ++k) {
    record->slots[k][0] = static_cast<uint32_t>(line.fields[4 + 2 * k]);
    record->slots[k][1] = static_cast<uint32_t>(line.fields[3 + 2 * k]);
  }
}

}  // namespace

KrStatus RepairFW5327ZoneB() {
  KESTRANE_LOG(">>>>>> Running the special init function: RepairFW5327ZoneB!");
  VersionRecord version = {};
  KESTRANE_CHECK(GetDeviceRecord("Version", &version, sizeof(version)), "Failed to version information");
  if (version.major != 5 || version.minor != 3 || version.build != 27) {
    KESTRANE_LOG(">>>>>> Skipping, no need to run (mismatched FW version).");
    return KR_STATUS_OK;
  }
  KESTRANE_CHECK(FetchFileList(), "Failed to get file list");
  if (g_tool.fileListHeader.count != 34) {
    KESTRANE_LOG(">>>>>> Skipping, no need to run (mismatched number of files).");
    return KR_STATUS_OK;
  }
  for (const ListCheckRow& row : kZoneBSignature) {
    const FileListEntry& entry = g_tool.fileList[row.position];
    if ((row.checkCrc ? entry.crc : entry.type) != row.expected) {
      KESTRANE_LOG(">>>>>> Skipping, no need to run (mismatched CRC).");
      return KR_STATUS_OK;
    }
  }

  KESTRANE_LOG(">>>>>> This sensor needs to be repaired!");
  char directory[kTempDirectorySize];
  if (krOSGetTempDirectory(directory, sizeof(directory)) != KR_STATUS_OK) {
    KESTRANE_LOG("Failed to use GetTempPathA!");
    return kFailure;
  }
  char temp[3][kNameSize] = {};
  for (size_t i = 0; i < 3; ++i) {
    if (CreateTempFile(directory, temp[i]) != KR_STATUS_OK) {
      KESTRANE_LOG("%s", kTempNameFailures[i]);
      return kFailure;
    }
  }
  for (size_t i = 0; i < 3; ++i) {
    const MovedFileRow& move = kZoneBMoves[i];
    KESTRANE_LOG(">>>>>> Downloading #%d into %s!", move.id, temp[i]);
    FlashFileRecord record = {move.id, temp[i], 0};
    KESTRANE_CHECK(GetDeviceRecord("FlashFile", &record, sizeof(record)), move.downloadFailure);
  }
  for (const uint16_t id : kZoneBStaleIds) DeleteSensorFile(ReadOnlyEntry(id));
  for (const size_t i : kZoneBUploadOrder) {
    KESTRANE_CHECK(UploadFile(kZoneBMoves[i].newOffset, temp[i]), kZoneBMoves[i].uploadFailure);
  }
  for (const MovedFileRow& move : kZoneBMoves) DeleteSensorFile(ReadOnlyEntry(move.id));
  for (size_t i = 0; i < 3; ++i) KESTRANE_CHECK(DeleteTempFile(temp[i]), kZoneBMoves[i].deleteFailure);
  ResetAndReconnect();
  KESTRANE_LOG(">>>>>> Done! Sensor was repaired!");
  return KR_STATUS_OK;
}

KrStatus RepairFW570114ZoneA() {
  KESTRANE_LOG(">>>>>> Running the special init function: RepairFW570114ZoneA!");
  KESTRANE_CHECK(FetchFileList(), "Failed to get file list");
  // A list too short to hold entry 12 cannot be the affected one.
  const FileListEntry* entry = g_tool.fileListHeader.count > 12 ? &g_tool.fileList[12] : nullptr;
  if (entry != nullptr && entry->crc == 0x89A3 && entry->size == 0x15000) {
    KESTRANE_LOG(">>>>>> This sensor needs to be repaired!");
    g_tool.uploadSensorSpecific = 0;
    g_tool.uploadToFactoryOffset = 1;
  } else {
    KESTRANE_LOG(">>>>>> Skipping, no need to run (mismatched CRC & size).");
  }
  return KR_STATUS_OK;
}

KrStatus ReviveSensorFault() {
  KESTRANE_LOG(">>>>>> Running the special init function: ReviveSensorFault!");
  KESTRANE_CHECK(FetchFileList(), "Failed to get file list");
  const FileListEntry* fault = nullptr;
  for (uint32_t i = 0; i < g_tool.fileListHeader.count && fault == nullptr; ++i) {
    if (g_tool.fileList[i].type == kTypeSensorFault) fault = &g_tool.fileList[i];
  }
  if (fault == nullptr) {
    KESTRANE_LOG(">>>>>> Skipping, no need to run (no sensor fault file).");
    return KR_STATUS_OK;
  }
  KESTRANE_LOG(">>>>>> Sensor fault was found!");
  const VersionRecord& version = g_tool.firmwareVersion;
  const bool affected = version.major == 5 &&
                        ((version.minor == 8 && version.build <= 21) || (version.minor == 3 && version.build <= 34));
  if (!affected) {
    KESTRANE_LOG(">>>>>> Skipping, no need to run (mismatched version).");
    return KR_STATUS_OK;
  }
  KESTRANE_LOG(">>>>>> This sensor needs to be repaired! Deleting sensor fault...");
  DeleteSensorFile(*fault);
  ResetAndReconnect();
  return KR_STATUS_OK;
}

KrStatus GetSerialVerifyDB() {
  KESTRANE_LOG(">>>>>> Running the special init function: GetSerialNumber!");
  KESTRANE_LOG("Please enter the sensor serial number: ");
  // At most 32 characters; the end of input leaves the serial empty.
  if (std::scanf("%32s", g_tool.serialNumber) != 1) g_tool.serialNumber[0] = '\0';
  char path[kNameSize];
  if (g_tool.serialNumber[0] == '\0') {
    // "../DB/" itself exists, and would pass an empty serial as verified.
    KESTRANE_LOG(">>>>>> Error! No serial number was entered!");
    return kFailure;
  }
  FormatInto(path, sizeof(path), "../DB/%s", g_tool.serialNumber);  // 6 + 32 characters always fit
  int exists = 0;
  krOSDoesFileExist(path, &exists);  // a failure leaves the answer at no
  if (exists == 1) {
    KESTRANE_LOG(">>>>>> Done! Serial number %s was successfuly verified!", g_tool.serialNumber);
    return KR_STATUS_OK;
  }
  KESTRANE_LOG(">>>>>> Error! DB directory %s does not exists!", path);
  return kFailure;
}

KrStatus NESI() {
  KESTRANE_LOG(">>>>>> Running the special init function: NESI!");
  if (LeanInit()) {
    KESTRANE_LOG(">>>>>> Skipping, no need to run (full factory reset).");
    return KR_STATUS_OK;
  }
  KESTRANE_CHECK(FetchFileList(), "Failed to get file list");
  const FileListEntry* defaultFile = nullptr;
  for (uint32_t i = 0; i < g_tool.fileListHeader.count; ++i) {
    const FileListEntry& entry = g_tool.fileList[i];
    if (entry.type != kTypeNesaParams) continue;
    if (entry.crc == 0x040E || entry.crc == 0xDA16) {
      KESTRANE_LOG(">>>>>> Found the default NESA params file on the sensor...");
      defaultFile = &entry;
    } else {
      KESTRANE_LOG(">>>>>> Skipping, no need to run (already installed).");
      return KR_STATUS_OK;
    }
  }

  KESTRANE_LOG(">>>>>> NESI needs to run!");
  char serial[kTextPropertySize] = {};
  KESTRANE_CHECK(g_tool.device.GetProperty(kDeviceModule, "ID", serial), "Couldn't get the SerialNumber property");
  serial[kTextPropertySize - 1] = '\0';
  KESTRANE_LOG(">>>>>> Searching NESI DB for: %s...", serial);

  DatabaseLine line;
  const DatabaseResult result = FindInDatabase(serial, &line);
  if (result == DatabaseResult::kDamaged) return kFailure;
  if (result == DatabaseResult::kCannotOpen) {
    // Writing blank parameters for want of a database would hide the mistake.
    KESTRANE_LOG(">>>>>> Error! The NESI DB file %s could not be opened!", kNesiDatabase);
    return kFailure;
  }
  if (result == DatabaseResult::kNotFound) {
    if (defaultFile != nullptr) {
      KESTRANE_LOG(">>>>>> Skipping, no need to run (default NESA params is already present).");
      return KR_STATUS_OK;
    }
    KESTRANE_LOG(">>>>>> Warning! The sensor %s doesn't exist in the database. Using a blank file...", serial);
    KESTRANE_CHECK(UploadFile(kNesaOffset, kBlankNesaFile), "Failed to upload NESA data");
    KESTRANE_LOG(">>>>>> Done! NESI finished successfully!");
    return KR_STATUS_OK;
  }

  const bool databaseHoldsDefault = line.fields[3] == 0 && line.fields[4] == 0;
  if (databaseHoldsDefault) KESTRANE_LOG(">>>>>> Found the default NESA params on the DB...");
  KESTRANE_LOG(">>>>>> Sensor was found in NESI DB (Entry #%d).", line.entry);
  if (defaultFile != nullptr) {
    if (databaseHoldsDefault) {
      KESTRANE_LOG(">>>>>> Skipping, no need to run (default NESA params is already present).");
      return KR_STATUS_OK;
    }
    DeleteSensorFile(*defaultFile);
  }

  NesaParamsRecord record;
  FillNesaRecord(line, &record);
  char directory[kTempDirectorySize];
  char temp[kNameSize] = {};
  if (krOSGetTempDirectory(directory, sizeof(directory)) != KR_STATUS_OK) {
    KESTRANE_LOG("Failed to use GetTempPathA!");
    return kFailure;
  }
  if (CreateTempFile(directory, temp) != KR_STATUS_OK) {
    KESTRANE_LOG("Failed to use GetTempFileNameA!");
    return kFailure;
  }
  KESTRANE_LOG("Temp file name: %s", temp);
  KESTRANE_CHECK(krOSSaveFile(temp, &record, sizeof(record)), "Failed to save into the temp file");
  KESTRANE_CHECK(UploadFile(kNesaOffset, temp), "Failed to upload NESA data");
  KESTRANE_CHECK(DeleteTempFile(temp), "Failed to delete the temo file");
  g_tool.nesiUpdated = 1;
  KESTRANE_LOG(">>>>>> Done! NESI finished successfully!");
  return KR_STATUS_OK;
}

}  // namespace kestrane
