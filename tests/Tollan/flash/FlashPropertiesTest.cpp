// The flash and identity properties of the simulated sensor's "Device"
// module, on a bare device that declares nothing else.
#include <Tollan/src/sensor/flash/FlashProperties.h>
#include <Tollan/Tollan.h>
#include "Tollan/KitTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace tollan::sensor {
namespace {

// Fields of the packed records are compared as values (unary +, or in one
// condition): gtest would otherwise bind a reference to a misaligned member.

class FlashOnlyDevice : public DeviceBase {
 public:
  FlashOnlyDevice(const DeviceParams& params, FlashProperties* flash) : DeviceBase(params), flash_(flash) {}

 protected:
  KrStatus Setup() override {
    flash_->Declare(*this);
    return KR_STATUS_OK;
  }

 private:
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

  KrStatus Get(const char* property, void* record, uint32_t size) {
    return device_->GetGeneral("Device", property, KrGeneralBuffer{record, size});
  }
  KrStatus Set(const char* property, const void* record, uint32_t size) {
    return device_->SetValue("Device", property, Value::General(record, size));
  }
  KrStatus SetInt(const char* property, uint64_t value) {
    return device_->SetValue("Device", property, Value::Int(value));
  }
  std::vector<FileListEntry> List(KrStatus expected = KR_STATUS_OK) {
    std::vector<FileListEntry> entries(20);
    FileListHeader header = {entries.data(), 20};
    EXPECT_EQ(Get("FileList", &header, sizeof(header)), expected);
    entries.resize(header.count);
    return entries;
  }
  std::string Path(const char* name) const { return scratch_.Path() + "/" + name; }

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

TEST_F(FlashPropertiesTest, IdentityComesFromTheSensorSection) {
  ASSERT_EQ(Open(kTwoFiles), KR_STATUS_OK);
  VersionRecord version = {};
  ASSERT_EQ(Get("Version", &version, sizeof(version)), KR_STATUS_OK);
  EXPECT_TRUE(version.major == 5 && version.minor == 8 && version.build == 16);
  Value serial;
  ASSERT_EQ(device_->GetValue("Device", "ID", KR_PROPERTY_TYPE_STRING, &serial), KR_STATUS_OK);
  EXPECT_EQ(serial.stringValue, "SN-42");
  EXPECT_EQ(device_->SetValue("Device", "ID", Value::String("other")), KR_STATUS_TL_PROPERTY_READ_ONLY);
}

TEST_F(FlashPropertiesTest, FileListFillsTheCallersArrayUpToItsCapacity) {
  ASSERT_EQ(Open(kTwoFiles), KR_STATUS_OK);
  const std::vector<FileListEntry> entries = List();
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_TRUE(entries[0].id == 3 && entries[0].type == 25 && entries[0].crc == 0xBEEF &&
              entries[0].attributes == kFlashAttributeReadOnly);
  EXPECT_EQ(+entries[1].offset, 0x2000u);

  // Room for one: the second entry must not be written past the array.
  FileListEntry room[2] = {};
  room[1].id = 0x7777;
  FileListHeader header = {room, 1};
  EXPECT_EQ(Get("FileList", &header, sizeof(header)), KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW);
  EXPECT_TRUE(header.count == 1 && room[0].id == 3 && room[1].id == 0x7777);
  // The old 6-byte header is refused rather than misread.
  EXPECT_EQ(Get("FileList", &header, 6), KR_STATUS_TL_BAD_PROPERTY_SIZE);
}

TEST_F(FlashPropertiesTest, FlashFileUploadsAndDownloadsLocalFiles) {
  ASSERT_EQ(Open(kTwoFiles), KR_STATUS_OK);
  const std::string upload = Path("upload.bin");
  std::ofstream(upload, std::ios::binary) << std::string("\x1c\x00NESA-params", 13);
  FlashFileRecord record = {0x3000, upload.c_str(), 0};
  ASSERT_EQ(Set("FlashFile", &record, sizeof(record)), KR_STATUS_OK);
  // Overlapping the file just written.
  record.offsetOrId = 0x3004;
  EXPECT_EQ(Set("FlashFile", &record, sizeof(record)), KR_STATUS_TL_FLASH_OVERLAP);
  const std::vector<FileListEntry> entries = List();
  ASSERT_EQ(entries.size(), 3u);
  EXPECT_TRUE(entries[2].type == 28 && entries[2].size == 13u);

  const std::string download = Path("download.bin");
  FlashFileRecord request = {entries[2].id, download.c_str(), 0};
  ASSERT_EQ(Get("FlashFile", &request, sizeof(request)), KR_STATUS_OK);
  std::ifstream in(download, std::ios::binary);
  const std::string back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(back, std::string("\x1c\x00NESA-params", 13));

  const std::string missing = Path("missing.bin");
  record = {0x5000, missing.c_str(), 0};
  EXPECT_EQ(Set("FlashFile", &record, sizeof(record)), KR_STATUS_OS_INVALID_FILE);
  record = {0x5000, nullptr, 0};
  EXPECT_EQ(Set("FlashFile", &record, sizeof(record)), KR_STATUS_OS_NULL_POINTER);
  request = {999, download.c_str(), 0};
  EXPECT_EQ(Get("FlashFile", &request, sizeof(request)), KR_STATUS_TL_FLASH_FILE_NOT_FOUND);
}

TEST_F(FlashPropertiesTest, FlashChunkReadsRawBytesWithErasedGaps) {
  ASSERT_EQ(Open(kTwoFiles), KR_STATUS_OK);
  uint8_t bytes[4] = {};
  FlashChunkRecord chunk = {0x0FFE, 4, bytes};
  ASSERT_EQ(Get("FlashChunk", &chunk, sizeof(chunk)), KR_STATUS_OK);
  EXPECT_EQ(std::vector<uint8_t>(bytes, bytes + 4), (std::vector<uint8_t>{0xFF, 0xFF, 25, 0}));  // type 25 follows
  chunk = {0x1FFFFE, 4, bytes};
  EXPECT_EQ(Get("FlashChunk", &chunk, sizeof(chunk)), KR_STATUS_TL_BAD_PROPERTY_VALUE);
}

TEST_F(FlashPropertiesTest, BistRecordsItsResultAndRefusesOtherSelectors) {
  ASSERT_EQ(Open(std::string(kTwoFiles) + "BISTResult = 7\n"), KR_STATUS_OK);
  BistRecord bist = {kBistSelectorNesaUnlimited, 0xFFFFFFFF};
  ASSERT_EQ(Set("BIST", &bist, sizeof(bist)), KR_STATUS_OK);
  BistRecord stored = {};
  ASSERT_EQ(Get("BIST", &stored, sizeof(stored)), KR_STATUS_OK);
  EXPECT_TRUE(stored.selector == kBistSelectorNesaUnlimited && stored.result == 7u);
  bist.selector = 1;
  EXPECT_EQ(Set("BIST", &bist, sizeof(bist)), KR_STATUS_TL_BAD_PROPERTY_VALUE);
}

TEST_F(FlashPropertiesTest, AfterAResetTheSensorIsGone) {
  ASSERT_EQ(Open(kTwoFiles), KR_STATUS_OK);
  ASSERT_EQ(SetInt("Reset", 0), KR_STATUS_OK);
  EXPECT_TRUE(flash_.Gone());
  VersionRecord version = {};
  EXPECT_EQ(Get("Version", &version, sizeof(version)), KR_STATUS_TL_DEVICE_DISCONNECTED);
  List(KR_STATUS_TL_DEVICE_DISCONNECTED);
  EXPECT_EQ(SetInt("DeleteFile", 4), KR_STATUS_TL_DEVICE_DISCONNECTED);
  EXPECT_EQ(SetInt("Reset", 0), KR_STATUS_TL_DEVICE_DISCONNECTED);
}

TEST_F(FlashPropertiesTest, ActionPropertiesAreNotCopiedWithTheSettings) {
  ASSERT_EQ(Open(kTwoFiles), KR_STATUS_OK);
  KrPropertySetHandle set = nullptr;
  ASSERT_EQ(KrPropertySetCreate(&set), KR_STATUS_OK);
  ASSERT_EQ(device_->GetAllProperties(set, 1, "Device"), KR_STATUS_OK);
  for (const char* action : {"Reset", "DeleteFile", "FlashFile", "FileAttributes", "BIST", "FileList"}) {
    KrPropertyType type;
    EXPECT_EQ(KrPropertySetGetPropertyType(set, "Device", action, &type), 0x1000Au) << action;
  }
  uint64_t mode = 99;
  EXPECT_EQ(KrPropertySetGetIntProperty(set, "Device", "FirmwareMode", &mode), KR_STATUS_OK);
  EXPECT_EQ(mode, 0u);
  KrPropertySetDestroy(&set);
}

TEST_F(FlashPropertiesTest, ABadSectionFailsTheOpen) {
  EXPECT_EQ(Open("FlashFile1 = 1 2\n"), KR_STATUS_TL_BAD_CONFIGURATION);
}

}  // namespace
}  // namespace tollan::sensor
