// Whole runs of Kestrane's special functions against the simulated sensor (each one's run, skip and failure paths),
// and its number parsing.
#include <cstring>

#include "KestraneRun.h"
#include "Utils.h"

namespace kestrane::testing {
namespace {

const std::vector<std::string> kFactoryReset = {"Kestrane_TB452.ini", "1", "1", "0", "0"};
const char kNoFiles[] = "[Files]\nNumFiles = 0\n";

// An update that only runs the named functions over an empty upgrade area.
std::string Functions(const std::string& init, const std::string& files = kNoFiles, const std::string& finish = "") {
  std::string ini = Area("1", "0x200000", "0x200000", files);
  if (!init.empty()) ini += "[Init]\nInitFunction = " + init + "\n";
  if (!finish.empty()) ini += "[Finish]\nFinishFunction = " + finish + "\n";
  return ini;
}

// Runs the build without reset waits on the default sensor changed by sensorLines.
RunResult RunOn(Scenario& scenario, const std::string& sensorLines, const std::string& ini,
                const std::string& input = "", const std::vector<std::string>& arguments = kNoProtection,
                const std::string& tempDirectory = "") {
  scenario.Sensor(kDefaultSensor + sensorLines);
  scenario.Update(ini);
  return scenario.Run(arguments, input, /*nowait=*/true, tempDirectory);
}

// Thirteen or fewer files; entry 12 with the given crc and size.
std::string ZoneASensor(size_t count, unsigned crc12, unsigned size12) {
  std::ostringstream lines;
  for (size_t i = 0; i < count; ++i) {
    lines << "FlashFile" << i + 1 << " = " << i + 1 << ", 1, " << i * 0x20000 << ", " << (i == 12 ? size12 : 0x100)
          << ", " << (i == 12 ? crc12 : 0x100 + i) << "\n";
  }
  return lines.str();
}

// A database line: entry, serial, then fields 3..20 as base plus the field's number (3 and 4 zero: defaults).
std::string DatabaseLine(int entry, const std::string& serial, int64_t base, bool defaults = false) {
  std::ostringstream line;
  line << entry << " " << serial;
  for (int field = 3; field <= 20; ++field) line << " " << ((defaults && field <= 4) ? 0 : base + field);
  return line.str() + "\n";
}

const char kFaultFile[] = "\nFlashFile6 = 6, 29, 0x90000, 0x40, 0x4242, 0x8000\n";

std::string IdentityFile(size_t size) { return FlashBytes(9, "IDHEADER1234") + std::string(size - 14, 'z'); }

std::string FileSection(const std::string& name, const std::string& function, const std::string& extra = "") {
  return "[Files]\nNumFiles = 1\n[File1]\nName = " + name +
         "\nOffset = " + (name == "identity.bin" ? "0x20000" : "0x90000") + "\n" + extra +
         "SensorSpecific = 1\nFunction = " + function + "\n";
}

TEST(SpecialFunctionsTest, RunOrSkipAsTheSensorNeeds) {
  const std::string skip = ">>>>>> Skipping, no need to run ";
  const std::string specific = ">>>>>> Skipping a sensor specific file...";
  const std::string noUpdate = skip + "(No update was made during NESI).";
  const std::string nesi = "NESI", bist = "RunBISTNESAUnlimited";
  const std::string identity = FileSection("identity.bin", "UpgradeSensorID1", "OffsetFactory = 0x20000\n");
  const std::string identityLine = ">>>>>> File Name: identity.bin, Offset: 0x20000, SensorSpecific:1";
  const std::string fault = kFaultFile;
  const std::string zoneA =
      "[Files]\nNumFiles = 2\n[File1]\nName = fw.bin\nOffset = 0x1A0000\nOffsetFactory = 0x1B0000\nSensorSpecific = 0\n"
      "[File2]\nName = dsp.bin\nOffset = 0x1C0000\nOffsetFactory = 0x1D0000\nSensorSpecific = 1\n";
  const std::vector<std::string> revived = {
      ">>>>>> Sensor fault was found!", ">>>>>> This sensor needs to be repaired! Deleting sensor fault...",
      ">>>>>> Deleting file id: 6", ">>>>>> Reseting the sensor...", ">>>>>> Reconnecting..."};
  const struct {
    std::string sensor, ini;
    std::vector<std::string> lines;  // in this order
    uint32_t offset = 0;             // a file on the flash afterwards; 0: the flash is untouched
    std::string content = "";        // its first bytes ("(none)": no file)
    std::string input = "", database = "";
    size_t identitySize = 302;
    std::vector<std::string> arguments = kNoProtection;
  } rows[] = {
      {ZoneBSensor("5.3.28"), Functions("RepairFW5327ZoneB"), {skip + "(mismatched FW version)."}},
      {ZoneBSensor("5.3.27", 33), Functions("RepairFW5327ZoneB"), {skip + "(mismatched number of files)."}},
      {ZoneBSensor("5.3.27", 35), Functions("RepairFW5327ZoneB"), {skip + "(mismatched number of files)."}},
      {ZoneBSensor("5.3.27", 34, 17), Functions("RepairFW5327ZoneB"), {skip + "(mismatched CRC)."}},
      {ZoneBSensor("5.3.27", 34, 33), Functions("RepairFW5327ZoneB"), {skip + "(mismatched CRC)."}},
      {ZoneASensor(13, 0x89A3, 0x15001), Functions("RepairFW570114ZoneA"), {skip + "(mismatched CRC & size)."}},
      {ZoneASensor(13, 0x89A4, 0x15000), Functions("RepairFW570114ZoneA"), {skip + "(mismatched CRC & size)."}},
      {ZoneASensor(12, 0x89A3, 0x15000), Functions("RepairFW570114ZoneA"), {skip + "(mismatched CRC & size)."}},
      // RepairFW570114ZoneA switches to the factory offsets and turns sensor-specific uploads off.
      {ZoneASensor(13, 0x89A3, 0x15000), Functions("RepairFW570114ZoneA", zoneA),
       {">>>>>> This sensor needs to be repaired!", ">>>>>> File Name: fw.bin, Offset: 0x1b0000, SensorSpecific:0",
        ">>>>>> File Name: dsp.bin, Offset: 0x1d0000, SensorSpecific:1", specific}, 0x1B0000,
       FlashBytes(10, "firmware image v2"), "", "", 302, {"Kestrane_TB452.ini", "1", "0", "0", "0"}},
      {"FirmwareVersion = 5.8.22" + fault, Functions("ReviveSensorFault"), {skip + "(mismatched version)."}},
      {"FirmwareVersion = 5.3.35" + fault, Functions("ReviveSensorFault"), {skip + "(mismatched version)."}},
      {"FirmwareVersion = 5.4.0" + fault, Functions("ReviveSensorFault"), {skip + "(mismatched version)."}},
      {"FirmwareVersion = 5.8.21\n", Functions("ReviveSensorFault"), {skip + "(no sensor fault file)."}},
      {"FirmwareVersion = 5.8.21" + fault, Functions("ReviveSensorFault"), revived, 0x90000, "(none)"},
      {"FirmwareVersion = 5.3.34" + fault, Functions("ReviveSensorFault"), revived, 0x90000, "(none)"},
      // NESI decides from the sensor's parameters file and the database.
      {"", Functions(nesi), {skip + "(full factory reset)."}, 0, "", "", "", 302, kFactoryReset},
      {"FlashFile3 = 3, 28, 0x60000, 0x4E, 0x1234\n", Functions(nesi, kNoFiles, bist),
       {skip + "(already installed).", noUpdate}, 0, "", "", DatabaseLine(1, "SN123", 5)},
      {"", Functions(nesi, kNoFiles, bist), {skip + "(default NESA params is already present).", noUpdate}, 0, "",
       "", DatabaseLine(1, "SN1", 5)},
      {"", Functions(nesi, kNoFiles, bist), {skip + "(default NESA params is already present).", noUpdate}, 0, "",
       "", DatabaseLine(1, "SN123", 5, true)},
      {kNoNesaFile, Functions(nesi, kNoFiles, bist),
       {">>>>>> Warning! The sensor SN123 doesn't exist in the database. Using a blank file...", noUpdate}, 0x60000,
       FlashBytes(28, std::string(76, '\0')), "", DatabaseLine(1, "SN1", 5)},
      {kNoNesaFile, Functions(nesi), {">>>>>> Found the default NESA params on the DB..."}, 0x60000,
       FlashBytes(28, ""), "", DatabaseLine(4, "SN123", 10, true)},
      // Serials of up to 199 characters are read; a longer one makes its line damaged, skipped.
      {kNoNesaFile, Functions(nesi),
       {">>>>>> Warning! Skipping line 2 of NESIDB.txt: the line of the sensor " + std::string(200, 'x') +
            " does not hold 20 valid fields.",
        ">>>>>> Found the default NESA params on the DB..."},
       0x60000, FlashBytes(28, ""), "",
       DatabaseLine(1, std::string(199, 'y'), 7) + DatabaseLine(2, std::string(200, 'x'), 7) +
           DatabaseLine(4, "SN123", 10, true)},
      // UpgradeSensorID1 uploads the file as it is on other sizes and factory resets.
      {"", Functions("", identity), {"The file size 301 doesn't match the expected file size 302!", identityLine,
       specific}, 0, "", "", "", 301},
      {"", Functions("", identity), {"The file size 303 doesn't match the expected file size 302!", identityLine,
       specific}, 0, "", "", "", 303},
      {"", Functions("", identity), {"This function is skipped when writing to the factory offsets...", identityLine},
       0x20000, IdentityFile(302), "", "", 302, kFactoryReset},
      // A missing database file keeps the file's own value; without a serial the path has an empty folder.
      {"", Functions("GetSerialVerifyDB", FileSection("cal.bin", "UpgradeFromDB")),
       {"Please enter the sensor serial number: ", ">>>>>> Running the special function UpgradeFromDB!",
        ">>>>>> Error! DB file ../DB/SN777/cal.bin does not exists!",
        ">>>>>> File Name: ../DB/SN777/cal.bin, Offset: 0x90000, SensorSpecific:1", specific}, 0, "", "SN777\n"},
      {"", Functions("", FileSection("cal.bin", "UpgradeFromDB")),
       {">>>>>> Error! DB file ../DB//cal.bin does not exists!",
        ">>>>>> File Name: ../DB//cal.bin, Offset: 0x90000, SensorSpecific:1", specific}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.lines.front());
    Scenario scenario;
    scenario.MakeDirectory("DB/SN777");
    scenario.Write("work/identity.bin", IdentityFile(row.identitySize));
    scenario.Write("work/SensorNesaParams.xml.bin.fla", FlashBytes(28, std::string(76, '\0')));
    if (!row.database.empty()) scenario.Write("work/NESIDB.txt", row.database);
    const RunResult run = RunOn(scenario, row.sensor, row.ini, row.input, row.arguments);
    ASSERT_TRUE(Succeeded(run));
    EXPECT_TRUE(InOrder(run.messages, row.lines));
    if (row.offset == 0) {
      EXPECT_FALSE(scenario.Exists("work/flash.state"));
    } else {
      EXPECT_EQ(Content(FileAt(scenario.Flash(), row.offset)).substr(0, row.content.size()), row.content);
    }
  }
}

TEST(SpecialFunctionsTest, FailuresEndTheRunWithoutTemporaryFiles) {
  const std::string serial32(32, 'L');
  const std::string verified = ">>>>>> Done! Serial number " + serial32 + " was successfuly verified!";
  const std::string identity =
      "[Files]\nNumFiles = 1\n[File1]\nName = identity.bin\nOffset = 0x20000\nSensorSpecific = 0\nFunction = ";
  const struct {
    std::string sensor, ini, database, folder, input, temp;
    const char* logged;  // before the failure
    const char* absent;
    const char* message;
    KrStatus status;
    std::string tempLine = "";  // a line's start, followed by the path of a temporary file in tmp/
    bool identity = false;      // identity.bin is there; its copy's failed upload leaves the sensor without one
  } rows[] = {
      {kInjected + std::string("Set:FlashFile"), Functions("", identity + "UpgradeSensorID1\n"), "", "", "", "",
       nullptr, nullptr, "Failed to upload", kInjectedStatus, "Temp file name: ", true},
      // UpgradeSensorID1 runs first, whatever the order: UpgradeFromDB then looks for its copy. The longest serial.
      {"", Functions("GetSerialVerifyDB", identity + "UpgradeFromDB UpgradeSensorID1\n"), "", serial32,
       serial32 + "TAIL\n", "", verified.c_str(), nullptr, "Failed to upload", KR_STATUS_OS_INVALID_FILE,
       ">>>>>> Error! DB file ../DB/" + serial32 + "/", true},
      {kNoNesaFile + std::string(kInjected) + "Set:FlashFile", Functions("NESI"), DatabaseLine(1, "SN123", 5), "", "",
       "", nullptr, nullptr, "Failed to upload NESA data", kInjectedStatus, "Temp file name: "},
      {ZoneBSensor("5.3.27") + kInjected + "Get:FlashFile#2", Functions("RepairFW5327ZoneB"), "", "", "", "", nullptr,
       nullptr, "Failed to download #30", 0x30850, ">>>>>> Downloading #29 into "},
      {ZoneBSensor("5.3.27"), Functions("RepairFW5327ZoneB"), "", "", "", "no-such-folder",
       "Failed to use GetTempFileNameA1!", nullptr, "RepairFW5327ZoneB Failed", 0x10001},
      {"FirmwareVersion = 5.8.21\nFlashFile6 = 6, 29, 0x90000, 0x40\n" + std::string(kInjected) + "Set:Reset",
       Functions("ReviveSensorFault"), "", "", "", "", ">>>>>> Reseting the sensor...", ">>>>>> Reconnecting...",
       "Failed to reset", 0x30850},
      {"", Functions("GetSerialVerifyDB"), "", "SN777", "SN999\n", "",
       ">>>>>> Error! DB directory ../DB/SN999 does not exists!", nullptr, "GetSerialVerifyDB Failed", 0x10001},
      // End of input: no serial, which the bare database folder must not pass.
      {"", Functions("GetSerialVerifyDB"), "", "", "", "", ">>>>>> Error! No serial number was entered!", nullptr,
       "GetSerialVerifyDB Failed", 0x10001},
      // A missing database is a failure, not a blank parameters file.
      {kNoNesaFile, Functions("NESI"), "", "", "", "", ">>>>>> Error! The NESI DB file NESIDB.txt could not be opened!",
       ">>>>>> Warning! The sensor SN123 doesn't exist in the database. Using a blank file...", "NESI Failed", 0x10001},
      {std::string(kInjected) + "Get:ID", Functions("NESI"), DatabaseLine(1, "SN123", 5), "", "", "", nullptr, nullptr,
       "Couldn't get the SerialNumber property", 0x30850},
      {std::string(kInjected) + "Set:BIST", Functions("NESI", kNoFiles, "RunBISTNESAUnlimited"),
       DatabaseLine(1, "SN123", 5), "", "", "", nullptr, nullptr, "Failed to run BIST", 0x30850},
      {"BISTResult = 1", Functions("NESI", kNoFiles, "RunBISTNESAUnlimited"), DatabaseLine(1, "SN123", 5), "", "", "",
       ">>>>>> BIST NESA Unlimited Failed!", nullptr, "RunBISTNESAUnlimited Failed", 0x10001},
      // "none": the sensor leaves the result alone, which must not read as passed.
      {"BISTResult = none", Functions("NESI", kNoFiles, "RunBISTNESAUnlimited"), DatabaseLine(1, "SN123", 5), "", "",
       "", ">>>>>> BIST NESA Unlimited Failed!", nullptr, "RunBISTNESAUnlimited Failed", 0x10001},
      {"", Functions("", FileSection("identity.bin", "UpgradeSensorID1")), "", "", "", "", nullptr, nullptr,
       "Failed to to get file size", 0x10002},
      {"", Functions("GetSerialVerifyDB", FileSection(std::string(220, 'n'), "UpgradeFromDB")), "", serial32,
       serial32 + "\n", "", nullptr, nullptr, "The DB file path is too long", 0x10007},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    Scenario scenario;
    if (!row.database.empty()) scenario.Write("work/NESIDB.txt", row.database);
    if (!row.folder.empty()) scenario.MakeDirectory("DB/" + row.folder);
    if (row.identity) scenario.Write("work/identity.bin", IdentityFile(302));
    const RunResult run = RunOn(scenario, row.sensor + "\n", row.ini, row.input, kNoProtection,
                                row.temp.empty() ? "" : scenario.Path(row.temp));
    EXPECT_TRUE(FailedWith(run, row.message, row.status));
    EXPECT_TRUE(row.logged == nullptr || Has(run.messages, row.logged));
    EXPECT_TRUE(row.absent == nullptr || !Has(run.messages, row.absent));
    EXPECT_TRUE(row.tempLine.empty() || Has(run.messages, row.tempLine + scenario.Path("tmp/"), true));
    EXPECT_TRUE(scenario.List("tmp").empty());
    if (row.identity) {
      EXPECT_TRUE(scenario.Exists("work/flash.state"));
      EXPECT_FALSE(FileAt(scenario.Flash(), 0x20000));
    }
  }
}

TEST(RepairFW5327ZoneBTest, MovesTheThreeFilesAndReconnects) {
  Scenario scenario;
  const RunResult run = RunOn(scenario, ZoneBSensor("5.3.27"), Functions("RepairFW5327ZoneB"));
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(Has(run.messages, ">>>>>> Downloading #29 into " + scenario.Path("tmp/"), true));
  EXPECT_TRUE(InOrder(run.messages,
                      {">>>>>> This sensor needs to be repaired!", ">>>>>> Deleting file id: 16",
                       ">>>>>> Clearing file attribute! (It was read only...)", ">>>>>> Deleting file id: 17",
                       ">>>>>> Deleting file id: 19", ">>>>>> Deleting file id: 29", ">>>>>> Deleting file id: 30",
                       ">>>>>> Deleting file id: 33", ">>>>>> Reseting the sensor...", ">>>>>> Reconnecting...",
                       ">>>>>> Done! Sensor was repaired!"}));
  const std::vector<FlashFile> flash = scenario.Flash();
  EXPECT_EQ(flash.size(), 31u);
  for (uint32_t gone : {16, 17, 19, 29, 30, 33}) EXPECT_FALSE(FileAt(flash, gone * 0x1000)) << gone;
  // A configured file's bytes are made from its id and type: the moved files keep them.
  const std::tuple<uint16_t, uint16_t, uint32_t> moves[] = {{29, 20, 0x50000}, {30, 23, 0x68000}, {33, 19, 0x70000}};
  for (const auto& [id, type, offset] : moves) {
    const std::optional<FlashFile> moved = FileAt(flash, offset);
    ASSERT_TRUE(moved) << id;
    EXPECT_EQ(moved->content, tollan::sensor::SynthesizeFlashContent(id, type, 0x100)) << id;
    EXPECT_EQ(moved->attributes, 0);
  }
  EXPECT_TRUE(scenario.List("tmp").empty());  // the three copies are removed
}

TEST(NesiTest, WritesTheSensorsParametersAndTheSelfTestChecksThem) {
  Scenario scenario;
  const int64_t base = int64_t{INT32_MIN} - 3;  // field 3 at the smallest 32-bit value
  scenario.Write("work/NESIDB.txt", DatabaseLine(1, "SN1", 100) + "2 SN1234 1 2 3\n\n" +
                                        DatabaseLine(7, "SN123", base) + DatabaseLine(8, "SN123", 900));
  const RunResult run = RunOn(scenario, "BISTResult = 0\n", Functions("NESI", kNoFiles, "RunBISTNESAUnlimited"));
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(InOrder(
      run.messages,
      {">>>>>> Found the default NESA params file on the sensor...", ">>>>>> NESI needs to run!",
       ">>>>>> Searching NESI DB for: SN123...", ">>>>>> Sensor was found in NESI DB (Entry #7).",
       ">>>>>> Deleting file id: 3", ">>>>>> Done! NESI finished successfully!",
       ">>>>>> Running the special finish function: RunBISTNESAUnlimited!", ">>>>>> Reseting the sensor...",
       ">>>>>> Reconnecting...", ">>>>>> Running BIST NESA Unlimited...", ">>>>>> BIST NESA Unlimited Passed!"}));
  EXPECT_TRUE(Has(run.messages,
                  ">>>>>> Warning! Skipping line 2 of NESIDB.txt: the line of the sensor SN1234 does not hold 20 "
                  "valid fields."));
  const std::optional<FlashFile> nesa = FileAt(scenario.Flash(), 0x60000);
  ASSERT_TRUE(nesa);
  ASSERT_EQ(nesa->size, 78u);
  EXPECT_EQ(nesa->type, 28);
  for (int k = 0; k < 9; ++k) {
    int32_t low = 0, high = 0;
    std::memcpy(&low, nesa->content.data() + 6 + 8 * k, 4);
    std::memcpy(&high, nesa->content.data() + 10 + 8 * k, 4);
    EXPECT_EQ(low, base + 4 + 2 * k) << k;
    EXPECT_EQ(high, base + 3 + 2 * k) << k;
  }
  EXPECT_TRUE(scenario.List("tmp").empty());
}

TEST(UpgradeSensorID1Test, PersonalisesACopyAndUploadsIt) {
  Scenario scenario;
  scenario.Write("work/identity.bin", IdentityFile(302));
  const RunResult run = RunOn(scenario, "SerialNumber = " + std::string(40, '7') + "\n",
                              Functions("", FileSection("identity.bin", "UpgradeSensorID1")));
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(InOrder(run.messages,
                      {">>>>>> Running the special function UpgradeSensorID1!", "Updated DeviceName to: Simulated head",
                       "Updated VendorSpecific to: Vendor block", "Updated SerialNumber to: " + std::string(32, '7'),
                       ">>>>>> Done! Update was successfuly handled!", ">>>>>> Deleting file id: 2",
                       ">>>>>> Deleting the temp file..."}));
  EXPECT_TRUE(Has(run.messages, ">>>>>> File Name: " + scenario.Path("tmp/"), true));
  const std::optional<FlashFile> identity = FileAt(scenario.Flash(), 0x20000);
  ASSERT_TRUE(identity);
  ASSERT_EQ(identity->size, 302u);
  EXPECT_EQ(Content(identity).substr(0, 14), IdentityFile(302).substr(0, 14));
  EXPECT_EQ(Content(identity).substr(14, 32), std::string(32, '7'));  // full field, no terminator
  EXPECT_EQ(Content(identity).substr(46, 128), "Simulated head" + std::string(114, '\0'));
  EXPECT_EQ(Content(identity).substr(174, 128), "Vendor block" + std::string(116, '\0'));
  EXPECT_EQ(scenario.Read("work/identity.bin"), IdentityFile(302));  // the original is untouched
  EXPECT_TRUE(scenario.List("tmp").empty());
}

TEST(ParseNumberTest, AcceptsDecimalAndLowerCaseXHexadecimalWrappingAt32Bits) {
  const std::pair<const char*, uint32_t> accepted[] = {
      {"0", 0},        {"", 0},          {"0x", 0},         {"12", 12},        {"007", 7},
      {"0x1A", 26},    {"0x1a", 26},     {"0xFFFFFFFF", 0xFFFFFFFF},           {"4294967295", 4294967295u},
      {"4294967296", 0}, {"0x100000000", 0}, {"0x100000", 0x100000}};
  for (const auto& [text, expected] : accepted) {
    uint32_t value = 12345;
    EXPECT_TRUE(ParseNumber(text, &value)) << '"' << text << '"';
    EXPECT_EQ(value, expected) << '"' << text << '"';
  }
  // Refused texts leave the value alone; "x" alone is decimal (the prefix needs more text).
  for (const char* text : {"0X10", "-1", "12h", " 1", "1 ", "x", "0xg", "1a", "0x1.5", "+3", "0xx1"}) {
    uint32_t value = 12345;
    EXPECT_FALSE(ParseNumber(text, &value)) << '"' << text << '"';
    EXPECT_EQ(value, 12345u) << '"' << text << '"';
  }
}

}  // namespace
}  // namespace kestrane::testing
