// ovalith flash list|backup|restore: a sensor's flash files through the
// "Device" properties "FileList", "FlashFile", "DeleteFile" and
// "FileAttributes".
//
// A backup folder holds one file per flash file (file-<id>.bin) and a
// manifest, flash.txt, with one line per file:
//   <id> <type> <offset> <size> <crc> <attributes> <file name> <crc-32>
// (decimal numbers; <crc> is the sensor's own field, <crc-32> zlib's CRC-32
// of the downloaded file, which restore checks). Restore puts the flash back to that list: files that
// are already there unchanged (same offset, type, size, checksum and
// attributes) stay, every other file is deleted (read-only ones after
// clearing their attribute), and the missing ones are uploaded with their
// attributes. Everything in the backup is checked before the flash is
// touched: each file's size, type and CRC-32 must match its manifest line
// (a manifest of an older tool, without CRC-32s, has its sizes and types
// checked, with a warning).
#include "ToolCommon.h"

#include <Tollan/TollanFlash.h>

#include <sys/stat.h>
#include <zlib.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <fstream>
#include <sstream>

namespace ovalith_tool {
namespace {

constexpr uint16_t kListCapacity = 100;
const char kManifest[] = "flash.txt";

// One file as a backup keeps it.
struct BackupEntry {
  FileListEntry entry = {};
  std::string fileName;
  bool hasCrc32 = false;
  uint32_t crc32 = 0;  // of the file's bytes
};

bool SameContent(const FileListEntry& a, const FileListEntry& b) {
  return a.offset == b.offset && a.type == b.type && a.size == b.size && a.crc == b.crc &&
         a.attributes == b.attributes;
}

bool OpenForFlash(const std::string& connection, KrVDevice* device) {
  KrVPropertySet values;  // the flash is edited without a reset on opening
  values.AddProperty("Device", "ResetSensorOnStartup", uint64_t{0});
  return Check(device->CreateSensor(connection.c_str(), &values, KR_DEVICE_SHARING_EXCLUSIVE),
               "cannot open sensor " + connection);
}

bool FetchList(KrVDevice& device, std::vector<FileListEntry>* files) {
  files->assign(kListCapacity, FileListEntry{});
  FileListHeader header = {files->data(), kListCapacity};
  if (!Check(device.GetProperty("Device", "FileList", KrGeneralBuffer{&header, sizeof(header)}),
             "cannot read the flash file list")) {
    return false;
  }
  if (header.count > kListCapacity) return Fail("the sensor lists more flash files than " + std::to_string(kListCapacity));
  files->resize(header.count);
  return true;
}

void PrintList(const std::vector<FileListEntry>& files) {
  std::printf("%zu flash file(s)\n  %5s %5s %10s %10s %6s %6s\n", files.size(), "id", "type", "offset", "size", "crc",
              "attr");
  for (const FileListEntry& file : files) {
    std::printf("  %5u %5u 0x%08x %10u 0x%04x 0x%04x%s\n", file.id, file.type, file.offset, file.size, file.crc,
                file.attributes, (file.attributes & kFlashAttributeReadOnly) != 0 ? " read-only" : "");
  }
}

int RunList(const std::string& connection) {
  KrVDevice device;
  std::vector<FileListEntry> files;
  if (!OpenForFlash(connection, &device) || !FetchList(device, &files)) return kExitFailed;
  PrintList(files);
  return kExitOk;
}

// ---- backup ----

bool MakeFolder(const std::string& folder) {
  if (mkdir(folder.c_str(), 0755) == 0) return true;
  const int error = errno;
  struct stat status = {};
  if (error == EEXIST && stat(folder.c_str(), &status) == 0 && S_ISDIR(status.st_mode)) return true;
  if (error == EEXIST) return Fail("cannot back up into " + folder + ": it is not a folder");
  return Fail("cannot create " + folder + ": " + std::strerror(error));
}

bool FileSizeIs(const std::string& path, uint32_t size) {
  struct stat status = {};
  return stat(path.c_str(), &status) == 0 && S_ISREG(status.st_mode) && static_cast<uint64_t>(status.st_size) == size;
}

bool ReadBytes(const std::string& path, size_t size, std::vector<uint8_t>* bytes) {
  std::ifstream in(path, std::ios::binary);
  bytes->assign(size, 0);
  return static_cast<bool>(in.read(reinterpret_cast<char*>(bytes->data()), static_cast<std::streamsize>(size)));
}

uint32_t Crc32Of(const std::vector<uint8_t>& bytes) {
  uLong crc = crc32(0L, Z_NULL, 0);
  for (size_t done = 0; done < bytes.size();) {
    const uInt piece = static_cast<uInt>(std::min<size_t>(bytes.size() - done, 1u << 30));
    crc = crc32(crc, bytes.data() + done, piece);
    done += piece;
  }
  return static_cast<uint32_t>(crc);
}

// Downloads a file and takes the CRC-32 of what arrived.
bool Download(KrVDevice& device, const FileListEntry& file, const std::string& path, uint32_t* crc) {
  FlashFileRecord record = {file.id, path.c_str(), 0};
  std::vector<uint8_t> bytes;
  if (!Check(device.GetProperty("Device", "FlashFile", KrGeneralBuffer{&record, sizeof(record)}),
             "cannot download flash file " + std::to_string(file.id))) {
    return false;
  }
  if (!FileSizeIs(path, file.size) || !ReadBytes(path, file.size, &bytes)) {
    return Fail("the download of flash file " + std::to_string(file.id) + " is not " + std::to_string(file.size) +
                " bytes");
  }
  *crc = Crc32Of(bytes);
  return true;
}

int RunBackup(const std::string& connection, const std::string& folder) {
  KrVDevice device;
  std::vector<FileListEntry> files;
  if (!OpenForFlash(connection, &device) || !FetchList(device, &files) || !MakeFolder(folder)) return kExitFailed;
  std::ostringstream manifest;
  for (const FileListEntry& file : files) {
    const std::string name = "file-" + std::to_string(file.id) + ".bin";
    uint32_t crc = 0;
    if (!Download(device, file, folder + "/" + name, &crc)) return kExitFailed;
    manifest << file.id << ' ' << file.type << ' ' << file.offset << ' ' << file.size << ' ' << file.crc << ' '
             << file.attributes << ' ' << name << ' ' << crc << '\n';
  }
  const std::string text = manifest.str();
  if (!WriteFile(folder + "/" + kManifest, text.data(), text.size())) return kExitFailed;
  std::printf("backed up %zu flash file(s) of %s into %s\n", files.size(), connection.c_str(), folder.c_str());
  return kExitOk;
}

// ---- restore ----

// One manifest line; false for anything but seven or eight fields of the
// right kind.
bool ParseLine(const std::string& line, BackupEntry* entry) {
  std::istringstream fields(line);
  unsigned long id, type, offset, size, crc, attributes, crc32 = 0;
  std::string rest;
  if (!(fields >> id >> type >> offset >> size >> crc >> attributes >> entry->fileName)) return false;
  entry->hasCrc32 = static_cast<bool>(fields >> crc32);
  if (!entry->hasCrc32 && !fields.eof()) return false;
  if (fields >> rest || crc32 > UINT32_MAX) return false;
  entry->crc32 = static_cast<uint32_t>(crc32);
  if (id > UINT16_MAX || type > UINT16_MAX || offset > UINT32_MAX || size > UINT32_MAX || crc > UINT16_MAX ||
      attributes > UINT16_MAX || entry->fileName.find('/') != std::string::npos) {
    return false;
  }
  entry->entry.id = static_cast<uint16_t>(id);
  entry->entry.type = static_cast<uint16_t>(type);
  entry->entry.offset = static_cast<uint32_t>(offset);
  entry->entry.size = static_cast<uint32_t>(size);
  entry->entry.crc = static_cast<uint16_t>(crc);
  entry->entry.attributes = static_cast<uint16_t>(attributes);
  return true;
}

// A backed-up file must be what was downloaded: its size, its type (the
// first two bytes) and, where the manifest has it, its CRC-32.
bool CheckBackupFile(const std::string& path, const BackupEntry& backup) {
  const FileListEntry& entry = backup.entry;
  std::vector<uint8_t> bytes;
  if (!FileSizeIs(path, entry.size) || !ReadBytes(path, entry.size, &bytes)) {
    return Fail(path + " is missing or not " + std::to_string(entry.size) + " bytes");
  }
  const bool typeMatches = bytes.size() < 2 || (bytes[0] | bytes[1] << 8) == entry.type;
  if (!typeMatches || (backup.hasCrc32 && Crc32Of(bytes) != backup.crc32)) {
    return Fail(path + " is damaged (its type or CRC-32 differs from the backup's list); nothing was changed");
  }
  if (!backup.hasCrc32) {
    std::fprintf(stderr, "ovalith: warning: %s has no CRC-32 in the backup's list; only its size and type were checked\n",
                 path.c_str());
  }
  return true;
}

bool ReadBackup(const std::string& folder, std::vector<BackupEntry>* entries) {
  std::ifstream manifest(folder + "/" + kManifest);
  if (!manifest) return Fail("no backup in " + folder + " (" + kManifest + " is missing)");
  std::string line;
  for (int number = 1; std::getline(manifest, line); ++number) {
    if (line.empty()) continue;
    BackupEntry entry;
    if (!ParseLine(line, &entry)) return Fail(folder + "/" + kManifest + " line " + std::to_string(number) + " is damaged");
    if (!CheckBackupFile(folder + "/" + entry.fileName, entry)) return false;
    entries->push_back(entry);
  }
  return true;
}

bool InBackup(const FileListEntry& file, const std::vector<BackupEntry>& backup) {
  for (const BackupEntry& entry : backup) {
    if (SameContent(file, entry.entry)) return true;
  }
  return false;
}

bool InFlash(const FileListEntry& file, const std::vector<FileListEntry>& flash) {
  for (const FileListEntry& entry : flash) {
    if (SameContent(file, entry)) return true;
  }
  return false;
}

bool Delete(KrVDevice& device, const FileListEntry& file) {
  if ((file.attributes & kFlashAttributeReadOnly) != 0) {
    FileAttributesRecord writable = {file.id, static_cast<uint16_t>(file.attributes & ~kFlashAttributeReadOnly)};
    if (!Check(device.SetProperty("Device", "FileAttributes", KrGeneralBuffer{&writable, sizeof(writable)}),
               "cannot clear the read-only mark of flash file " + std::to_string(file.id))) {
      return false;
    }
  }
  return Check(device.SetProperty("Device", "DeleteFile", uint64_t{file.id}),
               "cannot delete flash file " + std::to_string(file.id));
}

bool Upload(KrVDevice& device, const BackupEntry& entry, const std::string& folder) {
  const std::string path = folder + "/" + entry.fileName;
  FlashFileRecord record = {entry.entry.offset, path.c_str(), entry.entry.attributes};
  return Check(device.SetProperty("Device", "FlashFile", KrGeneralBuffer{&record, sizeof(record)}),
               "cannot upload " + path);
}

// The flash must now hold exactly the backed-up files.
bool Matches(const std::vector<FileListEntry>& flash, const std::vector<BackupEntry>& backup) {
  if (flash.size() != backup.size()) return false;
  for (const FileListEntry& file : flash) {
    if (!InBackup(file, backup)) return false;
  }
  return true;
}

int RunRestore(const std::string& connection, const std::string& folder) {
  KrVDevice device;
  std::vector<BackupEntry> backup;
  std::vector<FileListEntry> flash;
  if (!ReadBackup(folder, &backup) || !OpenForFlash(connection, &device) || !FetchList(device, &flash)) {
    return kExitFailed;
  }
  size_t deleted = 0, uploaded = 0;
  for (const FileListEntry& file : flash) {
    if (InBackup(file, backup)) continue;
    if (!Delete(device, file)) return kExitFailed;
    ++deleted;
  }
  for (const BackupEntry& entry : backup) {
    if (InFlash(entry.entry, flash)) continue;
    if (!Upload(device, entry, folder)) return kExitFailed;
    ++uploaded;
  }
  if (!FetchList(device, &flash)) return kExitFailed;
  if (!Matches(flash, backup)) {
    PrintList(flash);
    Fail("the flash of " + connection + " does not match the backup after the restore");
    return kExitFailed;
  }
  std::printf("restored %s from %s: %zu file(s) deleted, %zu uploaded, %zu kept\n", connection.c_str(), folder.c_str(),
              deleted, uploaded, backup.size() - uploaded);
  return kExitOk;
}

}  // namespace

void AddFlashCommands(CLI::App& app, Command* command) {
  struct FlashOptions {
    std::string connection = "*:0";
    std::string folder;
  };
  auto options = std::make_shared<FlashOptions>();
  CLI::App* flash = app.add_subcommand("flash", "list, back up or restore a sensor's flash files");
  flash->add_option("--device", options->connection, "connection string")->capture_default_str();
  flash->require_subcommand(1);
  CLI::App* list = flash->add_subcommand("list", "list the flash files");
  list->callback([command, options] { *command = [options] { return RunList(options->connection); }; });
  CLI::App* backup = flash->add_subcommand("backup", "download every flash file with its place and attributes");
  backup->add_option("DIR", options->folder, "backup folder (made when missing)")->required();
  backup->callback([command, options] {
    *command = [options] { return RunBackup(options->connection, options->folder); };
  });
  CLI::App* restore = flash->add_subcommand("restore", "put the flash back as a backup found it");
  restore->add_option("DIR", options->folder, "backup folder")->required();
  restore->callback([command, options] {
    *command = [options] { return RunRestore(options->connection, options->folder); };
  });
  // --device may also follow the action.
  for (CLI::App* leaf : {list, backup, restore}) leaf->fallthrough();
}

}  // namespace ovalith_tool
