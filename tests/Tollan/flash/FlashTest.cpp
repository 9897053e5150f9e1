// The simulated sensor's flash: configuration, files, the state file, test faults, its "Device" properties.
#include <Tollan/src/sensor/flash/FlashProperties.h>
#include <Tollan/src/sensor/flash/FlashStore.h>
#include "Tollan/KitTestSupport.h"
#include <Tollan/TollanStatus.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>
#include <vector>

namespace tollan::sensor {
namespace {

using tollan_test::ScratchDirectory;

FlashConfigLookup LookupIn(const std::map<std::string, std::string>& keys) {
  return [keys](const std::string& key, std::string* value) {
    const auto found = keys.find(key);
    if (found == keys.end()) return false;
    *value = found->second;
    return true;
  };
}

FlashConfig Parse(const std::map<std::string, std::string>& keys, const std::string& base = "") {
  FlashConfig config;
  std::string error;
  EXPECT_EQ(ParseFlashConfig(LookupIn(keys), base, &config, &error), KR_STATUS_OK) << error;
  return config;
}

// Two small files and a zone that starts at 0x1000, loaded.
FlashConfig SmallFlash(const std::string& stateFile = "") {
  FlashConfig config = Parse({{"FlashSize", "0x2000"},
                              {"UpgradeZoneMin", "0x1000"},
                              {"UpgradeZoneMax", "0x1800"},
                              {"FlashFile1", "7, 25, 0x0100, 0x100, 0x1234, 0x8000"},
                              {"FlashFile2", "8, 10, 0x1000, 0x200"}});
  config.stateFile = stateFile;
  return config;
}

// A file as "id type offset size crc attributes", in hexadecimal.
template <typename File>
std::string Describe(const File& file) {
  char text[80];
  std::snprintf(text, sizeof(text), "%x %x %x %x %x %x", unsigned{file.id}, unsigned{file.type},
                unsigned{file.offset}, unsigned{file.size}, unsigned{file.crc}, unsigned{file.attributes});
  return text;
}

std::vector<uint8_t> Bytes(uint16_t type, size_t size) {
  std::vector<uint8_t> bytes(size, 0xAB);
  bytes[0] = static_cast<uint8_t>(type);
  bytes[1] = static_cast<uint8_t>(type >> 8);
  return bytes;
}

TEST(FlashConfigTest, ExpressesAFirmwareScenarioAndRejectsBadValuesAndTablesThatBreakTheFlashRules) {
  const FlashConfig config = Parse({{"FirmwareVersion", "5.3.27"},
                                    {"FirmwareMode", "2"},
                                    {"SerialNumber", " 1234567890 "},
                                    {"BISTResult", "0x5"},
                                    {"FlashStateFile", "state.bin"},
                                    {"FlashFile1", "16 19 0x30000 0x100 0x9E78 0x8000"},
                                    {"FlashFile2", "17,20,0x31000,4096,0xBF02"},
                                    {"FlashFile4", "99 1 0 2"}},
                                   "/base");
  const FlashIdentity& id = config.identity;
  EXPECT_TRUE(id.versionMajor == 5 && id.versionMinor == 3 && id.versionBuild == 27 && id.firmwareMode == 2u);
  EXPECT_EQ(id.serialNumber, "1234567890");
  EXPECT_EQ(config.bistResult, 5u);
  EXPECT_EQ(config.stateFile, "/base/state.bin");
  // The list ends at the first missing number; a file's bytes begin with its type.
  ASSERT_EQ(config.files.size(), 2u);
  EXPECT_EQ(Describe(config.files[0]), "10 13 30000 100 9e78 8000");
  EXPECT_EQ(Describe(config.files[1]), "11 14 31000 1000 bf02 0");
  EXPECT_EQ(std::vector<uint8_t>(config.files[1].content.begin(), config.files[1].content.begin() + 2),
            (std::vector<uint8_t>{20, 0}));
  // Without keys: the built-in sensor, which loads.
  const FlashConfig builtIn = Parse({});
  EXPECT_EQ(builtIn.files.size(), FlashConfig::Default().files.size());
  EXPECT_TRUE(builtIn.stateFile.empty());
  EXPECT_EQ(FlashStore(builtIn).Load(), KR_STATUS_OK);
  // Bad values and tables that break the flash's rules are refused, naming the key at fault (by default the first).
  const struct {
    std::map<std::string, std::string> keys;
    const char* named = nullptr;
  } bad[] = {
      {{{"FirmwareVersion", "5.8"}}},
      {{{"FirmwareVersion", "5.256.1"}}},
      {{{"FirmwareVersion", "5.3.65536"}}},
      {{{"FirmwareMode", "two"}}},
      {{{"FlashSize", "0x100000000"}}},
      {{{"FlashFile1", "1 2 3"}}},          // too few fields
      {{{"FlashFile1", "1 2 3 4 5 6 7"}}},  // too many
      {{{"FlashFile1", "0x8000 1 0 16"}}},  // reserved id
      {{{"FlashFile1", "1 1 0 1"}}},        // no room for the type
      {{{"FlashFile1", "1 1 0 -4"}}},
      {{{"BISTResult", "passed"}}},
      {{{"FlashFaults", "Get:Version#0"}}},
      {{{"UpgradeZoneMin", "0x2000"}, {"UpgradeZoneMax", "0x1000"}}},
      {{{"SerialNumber", std::string(200, 'x')}}},
      {{{"FlashFile1", "1 1 0x1F0000 0x20000"}}, "FlashFile1=1 1 0x1F0000 0x20000"},  // past the default 2 MiB
      {{{"FlashSize", "0x10000"}, {"FlashFile1", "1,1,0x10,0x10001"}}, "offset 0x10 + size 0x10001 ends at 0x10011"},
      {{{"FlashFile1", "1 1 0 0x100"}, {"FlashFile2", "2 1 0xFF 0x10"}}, "FlashFile2"},  // overlap
      {{{"FlashFile1", "1 1 0 0x100"}, {"FlashFile2", "1 1 0x100 0x10"}}, "FlashFile2"},  // same id
      {{{"FlashSize", "0"}}},
      {{{"FlashMaxFiles", "0"}}},
      {{{"FlashMaxFiles", "1"}, {"FlashFile1", "1 1 0 2"}, {"FlashFile2", "2 1 2 2"}}, "FlashMaxFiles"},
      {{{"FlashSize", "0x8000"}}},             // the built-in table no longer fits
      {{{"FlashFile1", "1,1,0,0xFFFFFFFF"}}},  // 4 GiB: refused, never built
  };
  for (const auto& row : bad) {
    const std::string named = row.named ? row.named : row.keys.begin()->first;
    FlashConfig refused;
    std::string error;
    EXPECT_EQ(ParseFlashConfig(LookupIn(row.keys), "", &refused, &error), KR_STATUS_TL_BAD_CONFIGURATION) << named;
    EXPECT_NE(error.find(named), std::string::npos) << error;
  }
}

TEST(FlashStoreTest, UploadDeleteAttributesFaultsAndASilentBist) {
  FlashStore store(SmallFlash());
  ASSERT_EQ(store.Load(), KR_STATUS_OK);
  // File 7 covers [0x100, 0x200).
  const struct {
    uint32_t offset;
    size_t size;
    KrStatus expected;
  } cases[] = {
      {0x00FF, 2, KR_STATUS_TL_FLASH_OVERLAP},      // last byte on the file's first
      {0x01FF, 2, KR_STATUS_TL_FLASH_OVERLAP},      // first byte on the file's last
      {0x0080, 0x200, KR_STATUS_TL_FLASH_OVERLAP},  // covers the whole file
      {0x1FFF, 2, KR_STATUS_TL_FLASH_FULL},         // one byte past the end
      {0xFFFFFFFF, 2, KR_STATUS_TL_FLASH_FULL},     // end wraps in 32 bits
      {0x0000, 1, KR_STATUS_TL_BAD_PROPERTY_VALUE},
      {0x00FE, 2, KR_STATUS_OK},  // right before
      {0x0200, 2, KR_STATUS_OK},  // right after
      {0x1FFE, 2, KR_STATUS_OK},  // up to the last byte
  };
  for (const auto& c : cases) {
    const std::vector<uint8_t> bytes = c.size == 1 ? std::vector<uint8_t>{3} : Bytes(3, c.size);
    EXPECT_EQ(store.Upload(c.offset, bytes, 0, nullptr), c.expected) << std::hex << c.offset;
  }
  const std::vector<uint8_t> bytes = Bytes(0x1234, 40);
  uint16_t id = 0;
  ASSERT_EQ(store.Upload(0x300, bytes, 0x0001, &id), KR_STATUS_OK);
  EXPECT_EQ(id, 12);  // one above the highest id in use
  const std::vector<FileListEntry> list = store.List();
  ASSERT_EQ(list.size(), 6u);
  char crc[8];
  std::snprintf(crc, sizeof(crc), "%x", unsigned{FlashChecksum(bytes.data(), bytes.size())});
  EXPECT_EQ(Describe(list[5]), "c 1234 300 28 " + std::string(crc) + " 1");
  std::vector<uint8_t> back;
  ASSERT_EQ(store.Download(12, &back), KR_STATUS_OK);
  EXPECT_EQ(back, bytes);
  EXPECT_EQ(store.Download(13, &back), KR_STATUS_TL_FLASH_FILE_NOT_FOUND);
  // Read-only files refuse deletion until their attributes change.
  EXPECT_EQ(store.Delete(7), KR_STATUS_TL_FLASH_FILE_READ_ONLY);
  EXPECT_EQ(store.SetAttributes(7, 0x7FFF), KR_STATUS_OK);
  uint16_t attributes = 0;
  ASSERT_EQ(store.GetAttributes(7, &attributes), KR_STATUS_OK);
  EXPECT_EQ(attributes, 0x7FFF);
  EXPECT_EQ(store.Delete(7), KR_STATUS_OK);
  EXPECT_EQ(store.Delete(7), KR_STATUS_TL_FLASH_FILE_NOT_FOUND);
  EXPECT_EQ(store.SetAttributes(7, 0), KR_STATUS_TL_FLASH_FILE_NOT_FOUND);
  EXPECT_EQ(store.Delete(0x10007), KR_STATUS_TL_FLASH_FILE_NOT_FOUND);  // not cut to 16 bits
  // A fast clear wipes exactly the upgrade zone, read-only files too.
  ASSERT_EQ(store.Upload(0x17FE, Bytes(1, 2), kFlashAttributeReadOnly, nullptr), KR_STATUS_OK);  // last zone bytes
  ASSERT_EQ(store.Upload(0x1800, Bytes(1, 2), 0, nullptr), KR_STATUS_OK);                        // at the zone's end
  ASSERT_EQ(store.Delete(kFlashDeleteUpgradeZone), KR_STATUS_OK);
  std::vector<uint32_t> offsets;
  for (const FileListEntry& entry : store.List()) offsets.push_back(+entry.offset);
  EXPECT_EQ(offsets, (std::vector<uint32_t>{0xFE, 0x200, 0x1FFE, 0x300, 0x1800}));
  // Faults hit the named call only, a bare name both directions; a silent BIST leaves the result as it was.
  FlashStore faulty(Parse({{"FlashFaults", "Get:Version#2 Reset"}, {"BISTResult", "none"}}));
  std::string outcome;
  for (const char* operation : {"Get:Version", "Get:Version", "Get:Version", "Set:Version", "Set:Reset", "Get:Reset"}) {
    const KrStatus status = faulty.CheckFault(operation);
    outcome += status == KR_STATUS_TL_DEVICE_DISCONNECTED ? 'x' : status == KR_STATUS_OK ? '.' : '?';
  }
  EXPECT_EQ(outcome, ".x..xx");
  uint32_t result = 0xFFFFFFFF;
  bool answered = true;
  EXPECT_EQ(faulty.RunBist(kBistSelectorNesaUnlimited, &result, &answered), KR_STATUS_OK);
  EXPECT_TRUE(!answered && result == 0xFFFFFFFFu);
}

// Changes and the ids given out survive in the state file (no id is reused); a failed save changes nothing. Damaged
// state files, and tables (in code or a state file) that break the flash's rules, do not load.
TEST(FlashStatePersistenceTest, EachChangeIsVisibleToTheNextStoreAndDamagedStateOrBrokenTablesAreRefused) {
  ScratchDirectory dir;
  const std::string state = dir.Path() + "/flash.state";
  {
    FlashStore first(SmallFlash(state));
    ASSERT_EQ(first.Load(), KR_STATUS_OK);
    ASSERT_EQ(first.Delete(8), KR_STATUS_OK);  // the highest id
    uint16_t id = 0;
    ASSERT_EQ(first.Upload(0x400, Bytes(28, 78), 0, &id), KR_STATUS_OK);
    EXPECT_EQ(id, 9);
    ASSERT_EQ(first.Upload(0x600, Bytes(1, 8), 0, &id), KR_STATUS_OK);
    ASSERT_EQ(first.Delete(id), KR_STATUS_OK);
    ASSERT_EQ(first.SetAttributes(7, 0), KR_STATUS_OK);
  }
  FlashStore second(SmallFlash(state));
  ASSERT_EQ(second.Load(), KR_STATUS_OK);
  const std::vector<FileListEntry> list = second.List();
  ASSERT_EQ(list.size(), 2u);
  EXPECT_EQ(Describe(list[0]), "7 19 100 100 1234 0");
  EXPECT_EQ(Describe(list[1]).substr(0, 11), "9 1c 400 4e");
  uint16_t id = 0;
  ASSERT_EQ(second.Upload(0x600, Bytes(1, 8), 0, &id), KR_STATUS_OK);
  EXPECT_EQ(id, 11);
  std::vector<std::string> names;  // no temporary files left behind
  for (const auto& entry : std::filesystem::directory_iterator(dir.Path())) names.push_back(entry.path().filename());
  EXPECT_EQ(names, std::vector<std::string>{"flash.state"});
  FlashStore unsaved(SmallFlash("/nonexistent-folder/flash.state"));
  ASSERT_EQ(unsaved.Load(), KR_STATUS_OK);
  EXPECT_EQ(unsaved.Upload(0x400, Bytes(1, 8), 0, nullptr), KR_STATUS_TL_FILE_WRITE_FAILED);
  EXPECT_EQ(unsaved.SetAttributes(7, 0), KR_STATUS_TL_FILE_WRITE_FAILED);
  ASSERT_EQ(unsaved.List().size(), 2u);
  EXPECT_EQ(+unsaved.List()[0].attributes, kFlashAttributeReadOnly);
  FlashConfig config = SmallFlash();
  const std::vector<uint8_t> good = FlashStore::Serialize(config.files, 0x1234);
  std::vector<FlashFile> back;
  uint16_t next = 0;
  ASSERT_EQ(FlashStore::Deserialize(good, config.flashSize, &back, &next), KR_STATUS_OK);
  ASSERT_EQ(back.size(), config.files.size());
  EXPECT_EQ(back[1].content, config.files[1].content);
  EXPECT_EQ(next, 0x1234);
  for (size_t at = 0; at < good.size(); ++at) {
    std::vector<uint8_t> flipped = good;
    flipped[at] ^= 0x10;
    EXPECT_EQ(FlashStore::Deserialize(flipped, config.flashSize, &back, &next), KR_STATUS_TL_FLASH_STATE_DAMAGED) << at;
    flipped.assign(good.begin(), good.begin() + at);  // cut short
    EXPECT_EQ(FlashStore::Deserialize(flipped, config.flashSize, &back, &next), KR_STATUS_TL_FLASH_STATE_DAMAGED) << at;
  }
  config.files[1].offset = 0x1FF;  // overlaps file 7
  EXPECT_EQ(FlashStore(config).Load(), KR_STATUS_TL_FILE_CORRUPT);
  config.files[0].offset = 0x1F80;  // runs past the 0x2000 bytes of the small flash
  ASSERT_EQ(WriteFileAtomically(state, FlashStore::Serialize({config.files[0]}, 2)), KR_STATUS_OK);
  EXPECT_EQ(FlashStore(SmallFlash(state)).Load(), KR_STATUS_TL_FLASH_STATE_DAMAGED);
}

TEST(FlashStoreRegistryTest, AnEqualConfigurationSharesTheStore) {
  std::shared_ptr<FlashStore> first, again, other;
  ASSERT_EQ(AttachFlashStore(3, SmallFlash(), &first), KR_STATUS_OK);
  ASSERT_EQ(first->Upload(0x400, Bytes(1, 8), 0, nullptr), KR_STATUS_OK);
  ASSERT_EQ(AttachFlashStore(3, SmallFlash(), &again), KR_STATUS_OK);
  EXPECT_EQ(again, first);  // a reopened sensor keeps its flash
  FlashConfig changed = SmallFlash();
  changed.bistResult = 1;
  ASSERT_EQ(AttachFlashStore(3, changed, &other), KR_STATUS_OK);
  EXPECT_NE(other, first);
  EXPECT_EQ(other->List().size(), 2u);
  ReleaseFlashStores();
}

// A bare device that declares nothing but the flash properties.
struct FlashOnlyDevice : DeviceBase {
  FlashOnlyDevice(const DeviceParams& params, FlashProperties* flash) : DeviceBase(params), flash_(flash) {}
  KrStatus Setup() override {
    flash_->Declare(*this);
    return KR_STATUS_OK;
  }
  FlashProperties* flash_;
};

class FlashPropertiesTest : public ::testing::Test {
 protected:
  void TearDown() override {
    if (device_) device_->Destroy();
    device_.reset();
    ReleaseFlashStores();
  }
  // Opens sensor 0 with the given lines of its "SensorV2.0" section.
  KrStatus Open(const std::string& sectionLines) {
    KitConfig kit;
    kit.path = scratch_.Write("Tollan.ini", "[SensorV2.0]\n" + sectionLines);
    kit.directory = scratch_.Path();
    EXPECT_EQ(ReadIniFile(kit.path, &kit.file), KR_STATUS_OK);
    const KrStatus opened = flash_.Open(kit, 0);
    if (opened != KR_STATUS_OK) return opened;
    DeviceParams params;
    params.kind = "SensorV2";
    device_ = std::make_unique<FlashOnlyDevice>(params, &flash_);
    return device_->Initialize(nullptr, nullptr, {});
  }
  KrStatus Get(const char* p, void* r, uint32_t n) { return device_->GetGeneral("Device", p, KrGeneralBuffer{r, n}); }
  KrStatus Set(const char* property, const void* record, uint32_t size) {
    return device_->SetValue("Device", property, Value::General(record, size));
  }
  std::vector<FileListEntry> List(KrStatus expected = KR_STATUS_OK) {
    std::vector<FileListEntry> entries(20);
    FileListHeader header = {entries.data(), 20};
    EXPECT_EQ(Get("FileList", &header, sizeof(header)), expected);
    entries.resize(header.count);
    return entries;
  }
  tollan_test::ScratchDirectory scratch_;
  FlashProperties flash_;
  std::unique_ptr<FlashOnlyDevice> device_;
};

const char kTwoFiles[] =
    "FirmwareVersion = 5.8.16\n"
    "SerialNumber = SN-42\n"
    "FlashStateFile = flash.state\n"
    "FlashFile1 = 3, 25, 0x1000, 0x100, 0xBEEF, 0x8000\n"
    "FlashFile2 = 4, 10, 0x2000, 0x100\n";

// Identity comes from the sensor's section; actions are not copied with the settings; a bad section fails the open.
TEST_F(FlashPropertiesTest, IdentityChunksBistAndReset) {
  EXPECT_EQ(Open("FlashFile1 = 1 2\n"), KR_STATUS_TL_BAD_CONFIGURATION);
  ASSERT_EQ(Open(std::string(kTwoFiles) + "FlashFaults = Get:ID#2\nBISTResult = 7\n"), KR_STATUS_OK);
  VersionRecord version = {};
  ASSERT_EQ(Get("Version", &version, sizeof(version)), KR_STATUS_OK);
  EXPECT_TRUE(version.major == 5 && version.minor == 8 && version.build == 16);
  Value serial;
  ASSERT_EQ(device_->GetValue("Device", "ID", KR_PROPERTY_TYPE_STRING, &serial), KR_STATUS_OK);
  EXPECT_EQ(serial.stringValue, "SN-42");
  // A configured fault hits the second read of the ID.
  EXPECT_EQ(device_->GetValue("Device", "ID", KR_PROPERTY_TYPE_STRING, &serial), KR_STATUS_TL_DEVICE_DISCONNECTED);
  EXPECT_EQ(device_->SetValue("Device", "ID", Value::String("other")), KR_STATUS_TL_PROPERTY_READ_ONLY);
  tollan_test::PropertySet set;
  ASSERT_EQ(device_->GetAllProperties(set.Get(), 1, "Device"), KR_STATUS_OK);
  for (const char* action : {"Reset", "DeleteFile", "FlashFile", "FileAttributes", "BIST", "FileList"}) {
    KrPropertyType type;
    EXPECT_EQ(KrPropertySetGetPropertyType(set.Get(), "Device", action, &type), KR_STATUS_OS_NOT_FOUND) << action;
  }
  uint64_t mode = 99;
  EXPECT_EQ(KrPropertySetGetIntProperty(set.Get(), "Device", "FirmwareMode", &mode), KR_STATUS_OK);
  EXPECT_EQ(mode, 0u);
  // FlashChunk reads raw bytes with erased gaps, BIST records its result, and after a reset the sensor is gone.
  uint8_t bytes[4] = {};
  FlashChunkRecord chunk = {0x0FFE, 4, bytes};
  ASSERT_EQ(Get("FlashChunk", &chunk, sizeof(chunk)), KR_STATUS_OK);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 4), (std::vector<uint8_t>{0xFF, 0xFF, 25, 0}));  // type 25 follows
  chunk = {0x1FFFFE, 4, bytes};
  EXPECT_EQ(Get("FlashChunk", &chunk, sizeof(chunk)), KR_STATUS_TL_BAD_PROPERTY_VALUE);
  BistRecord bist = {kBistSelectorNesaUnlimited, 0xFFFFFFFF};
  ASSERT_EQ(Set("BIST", &bist, sizeof(bist)), KR_STATUS_OK);
  BistRecord stored = {};
  ASSERT_EQ(Get("BIST", &stored, sizeof(stored)), KR_STATUS_OK);
  EXPECT_TRUE(stored.selector == kBistSelectorNesaUnlimited && stored.result == 7u);
  bist.selector = 1;
  EXPECT_EQ(Set("BIST", &bist, sizeof(bist)), KR_STATUS_TL_BAD_PROPERTY_VALUE);
  ASSERT_EQ(device_->SetValue("Device", "Reset", Value::Int(0)), KR_STATUS_OK);
  EXPECT_TRUE(flash_.Gone());
  EXPECT_EQ(Get("Version", &version, sizeof(version)), KR_STATUS_TL_DEVICE_DISCONNECTED);
  List(KR_STATUS_TL_DEVICE_DISCONNECTED);
  EXPECT_EQ(device_->SetValue("Device", "DeleteFile", Value::Int(4)), KR_STATUS_TL_DEVICE_DISCONNECTED);
  EXPECT_EQ(device_->SetValue("Device", "Reset", Value::Int(0)), KR_STATUS_TL_DEVICE_DISCONNECTED);
}

TEST_F(FlashPropertiesTest, FileListFillsTheCallersArrayUpToItsCapacityAndFlashFileCopiesLocalFiles) {
  ASSERT_EQ(Open(kTwoFiles), KR_STATUS_OK);
  std::vector<FileListEntry> entries = List();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(Describe(entries[0]), "3 19 1000 100 beef 8000");
  EXPECT_EQ(+entries[1].offset, 0x2000u);  // packed fields compared as values, never bound to references
  // Room for one: the second entry must not be written past the array.
  FileListEntry room[2] = {};
  room[1].id = 0x7777;
  FileListHeader header = {room, 1};
  EXPECT_EQ(Get("FileList", &header, sizeof(header)), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  EXPECT_TRUE(header.count == 1 && room[0].id == 3 && room[1].id == 0x7777);
  // The old 6-byte header is refused rather than misread.
  EXPECT_EQ(Get("FileList", &header, 6), KR_STATUS_TL_BAD_PROPERTY_SIZE);
  // FlashFile uploads and downloads local files.
  const std::string content("\x1c\x00NESA-params", 13);
  const std::string upload = scratch_.Write("upload.bin", content);
  FlashFileRecord record = {0x3000, upload.c_str(), 0};
  ASSERT_EQ(Set("FlashFile", &record, sizeof(record)), KR_STATUS_OK);
  record.offsetOrId = 0x3004;  // overlaps the file just written
  EXPECT_EQ(Set("FlashFile", &record, sizeof(record)), KR_STATUS_TL_FLASH_OVERLAP);
  entries = List();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_TRUE(entries[2].type == 28 && entries[2].size == 13u);
  const std::string download = scratch_.Path() + "/download.bin";
  FlashFileRecord request = {entries[2].id, download.c_str(), 0};
  ASSERT_EQ(Get("FlashFile", &request, sizeof(request)), KR_STATUS_OK);
  std::ifstream in(download, std::ios::binary);
  EXPECT_EQ(std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>()), content);
  const std::string missing = scratch_.Path() + "/missing.bin";
  record = {0x5000, missing.c_str(), 0};
  EXPECT_EQ(Set("FlashFile", &record, sizeof(record)), KR_STATUS_OS_INVALID_FILE);
  record = {0x5000, nullptr, 0};
  EXPECT_EQ(Set("FlashFile", &record, sizeof(record)), KR_STATUS_OS_NULL_POINTER);
  request = {999, download.c_str(), 0};
  EXPECT_EQ(Get("FlashFile", &request, sizeof(request)), KR_STATUS_TL_FLASH_FILE_NOT_FOUND);
}

}  // namespace
}  // namespace tollan::sensor
