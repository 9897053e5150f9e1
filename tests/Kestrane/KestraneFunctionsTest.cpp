// Whole runs of Kestrane's special functions against the simulated sensor:
// each one's run, skip and failure paths.
#include "KestraneRun.h"

#include <Orvane/OrvaneStatus.h>

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>

namespace kestrane::testing {
namespace {

using tollan::sensor::FlashFile;

// An update that only runs the named init, file and finish functions: no
// protection (with the usual arguments), an empty upgrade area.
std::string Functions(const std::string& init, const std::string& files = "[Files]\nNumFiles = 0\n",
                      const std::string& finish = "") {
  std::string ini = "[UpgArea]\nSkipFastClear = 1\nMin = 0x200000\nMax = 0x200000\n" + files;
  if (!init.empty()) ini += "[Init]\nInitFunction = " + init + "\n";
  if (!finish.empty()) ini += "[Finish]\nFinishFunction = " + finish + "\n";
  return ini;
}

const std::vector<std::string> kNoProtection = {"Kestrane_TB452.ini", "0", "0", "0", "0"};

bool HasPrefix(const std::vector<std::string>& messages, const std::string& prefix) {
  for (const std::string& line : messages) {
    if (line.rfind(prefix, 0) == 0) return true;
  }
  return false;
}

std::string Text(const FlashFile& file, size_t offset, size_t size) {
  return std::string(file.content.begin() + offset, file.content.begin() + offset + size);
}

// ---- RepairFW5327ZoneB ----

// 34 files, one per 4 KiB, ids equal to their positions, with the signature
// of the affected build unless the crc and type at one position are changed.
std::string ZoneBSensor(const std::string& version, size_t count = 34, int changedAt = -1) {
  std::ostringstream lines;
  lines << "FirmwareVersion = " << version << "\nSerialNumber = SN123\n";
  for (size_t i = 0; i < count; ++i) {
    unsigned type = 1, crc = 0x1000 + static_cast<unsigned>(i), attributes = 0;
    if (i == 16) crc = 0x9E78;
    if (i == 17) crc = 0xBF02;
    if (i == 19) crc = 0x3B83;
    if (i == 29) type = 20;
    if (i == 30) type = 23;
    if (i == 33) type = 19;
    if (i == 16 || i == 17 || i == 19 || i == 29 || i == 30 || i == 33) attributes = 0x8000;
    if (static_cast<int>(i) == changedAt) {
      crc ^= 1;
      type += 100;
    }
    lines << "FlashFile" << i + 1 << " = " << i << ", " << type << ", " << i * 0x1000 << ", 0x100, " << crc << ", "
          << attributes << "\n";
  }
  return lines.str();
}

TEST(RepairFW5327ZoneBTest, MovesTheThreeFilesAndReconnects) {
  Scenario scenario;
  scenario.Sensor(ZoneBSensor("5.3.27"));
  scenario.Update(Functions("RepairFW5327ZoneB"));
  const RunResult run = scenario.Run(kNoProtection, "", /*nowait=*/true);
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(InOrder(run.messages, {">>>>>> Running the special init function: RepairFW5327ZoneB!",
                                     ">>>>>> This sensor needs to be repaired!"}));
  EXPECT_TRUE(HasPrefix(run.messages, ">>>>>> Downloading #29 into " + scenario.Path("tmp/")));
  EXPECT_TRUE(InOrder(run.messages,
                      {">>>>>> Deleting file id: 16", ">>>>>> Clearing file attribute! (It was read only...)",
                       ">>>>>> Deleting file id: 17", ">>>>>> Deleting file id: 19", ">>>>>> Deleting file id: 29",
                       ">>>>>> Deleting file id: 30", ">>>>>> Deleting file id: 33", ">>>>>> Reseting the sensor...",
                       ">>>>>> Reconnecting...", ">>>>>> Done! Sensor was repaired!"}));
  const std::vector<FlashFile> flash = scenario.Flash();
  EXPECT_EQ(flash.size(), 31u);
  for (uint16_t gone : {16, 17, 19, 29, 30, 33}) EXPECT_FALSE(FileWithId(flash, gone)) << gone;
  const struct {
    uint16_t id, type;
    uint32_t offset;
  } moves[] = {{29, 20, 0x50000}, {30, 23, 0x68000}, {33, 19, 0x70000}};
  for (const auto& move : moves) {
    const std::optional<FlashFile> moved = FileAt(flash, move.offset);
    ASSERT_TRUE(moved) << move.id;
    // A configured file's bytes are made from its id and type.
    EXPECT_EQ(moved->content, tollan::sensor::SynthesizeFlashContent(move.id, move.type, 0x100)) << move.id;
    EXPECT_EQ(moved->attributes, 0);
  }
  EXPECT_TRUE(scenario.List("tmp").empty());  // the three copies are removed
}

TEST(RepairFW5327ZoneBTest, SkipsOtherVersionsCountsAndChecksums) {
  const struct {
    std::string sensor;
    const char* line;
  } rows[] = {
      {ZoneBSensor("5.3.28"), ">>>>>> Skipping, no need to run (mismatched FW version)."},
      {ZoneBSensor("5.3.27", 33), ">>>>>> Skipping, no need to run (mismatched number of files)."},
      {ZoneBSensor("5.3.27", 35), ">>>>>> Skipping, no need to run (mismatched number of files)."},
      {ZoneBSensor("5.3.27", 34, 17), ">>>>>> Skipping, no need to run (mismatched CRC)."},
      {ZoneBSensor("5.3.27", 34, 33), ">>>>>> Skipping, no need to run (mismatched CRC)."},
  };
  for (const auto& row : rows) {
    Scenario scenario;
    scenario.Sensor(row.sensor);
    scenario.Update(Functions("RepairFW5327ZoneB"));
    const RunResult run = scenario.Run(kNoProtection);
    ASSERT_TRUE(Succeeded(run)) << row.line;
    EXPECT_TRUE(Has(run.messages, row.line));
    EXPECT_TRUE(Lacks(run.messages, ">>>>>> This sensor needs to be repaired!"));
  }
}

TEST(RepairFW5327ZoneBTest, FailuresEndTheRun) {
  Scenario scenario;
  scenario.Sensor(ZoneBSensor("5.3.27") + "FlashFaults = Get:FlashFile#2\nFlashFaultStatus = 0x30850\n");
  scenario.Update(Functions("RepairFW5327ZoneB"));
  EXPECT_TRUE(FailedWith(scenario.Run(kNoProtection), "Failed to download #30", 0x30850));

  Scenario noTemp;
  noTemp.Sensor(ZoneBSensor("5.3.27"));
  noTemp.Update(Functions("RepairFW5327ZoneB"));
  const RunResult run = noTemp.Run(kNoProtection, "", false, noTemp.Path("no-such-folder"));
  EXPECT_TRUE(Has(run.messages, "Failed to use GetTempFileNameA1!"));
  EXPECT_TRUE(FailedWith(run, "RepairFW5327ZoneB Failed", 0x10001));
}

// ---- RepairFW570114ZoneA ----

std::string ZoneASensor(size_t count, unsigned crc12, unsigned size12) {
  std::ostringstream lines;
  lines << "SerialNumber = SN123\n";
  for (size_t i = 0; i < count; ++i) {
    const bool twelve = i == 12;
    lines << "FlashFile" << i + 1 << " = " << i + 1 << ", 1, " << i * 0x20000 << ", " << (twelve ? size12 : 0x100)
          << ", " << (twelve ? crc12 : 0x100 + i) << "\n";
  }
  return lines.str();
}

TEST(RepairFW570114ZoneATest, SwitchesToFactoryOffsetsOverTheCommandLine) {
  Scenario scenario;
  scenario.Sensor(ZoneASensor(13, 0x89A3, 0x15000));
  scenario.Update(
      Functions("RepairFW570114ZoneA",
                "[Files]\nNumFiles = 2\n"
                "[File1]\nName = fw.bin\nOffset = 0x1A0000\nOffsetFactory = 0x1B0000\nSensorSpecific = 0\n"
                "[File2]\nName = dsp.bin\nOffset = 0x1C0000\nOffsetFactory = 0x1D0000\nSensorSpecific = 1\n"));
  // Sensor-specific uploads asked for on the command line; the repair turns them off.
  const RunResult run = scenario.Run({"Kestrane_TB452.ini", "1", "0", "0", "0"});
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(InOrder(
      run.messages,
      {">>>>>> This sensor needs to be repaired!", ">>>>>> File Name: fw.bin, Offset: 0x1b0000, SensorSpecific:0",
       ">>>>>> File Name: dsp.bin, Offset: 0x1d0000, SensorSpecific:1", ">>>>>> Skipping a sensor specific file..."}));
  EXPECT_TRUE(FileAt(scenario.Flash(), 0x1B0000));
}

TEST(RepairFW570114ZoneATest, SkipsWhenEntryTwelveDiffersOrIsMissing) {
  const std::string rows[] = {ZoneASensor(13, 0x89A3, 0x15001), ZoneASensor(13, 0x89A4, 0x15000),
                              ZoneASensor(12, 0x89A3, 0x15000)};
  for (const std::string& sensor : rows) {
    Scenario scenario;
    scenario.Sensor(sensor);
    scenario.Update(Functions("RepairFW570114ZoneA"));
    const RunResult run = scenario.Run(kNoProtection);
    ASSERT_TRUE(Succeeded(run));
    EXPECT_TRUE(Has(run.messages, ">>>>>> Skipping, no need to run (mismatched CRC & size)."));
  }
}

// ---- ReviveSensorFault ----

TEST(ReviveSensorFaultTest, DeletesTheFaultFileOnAffectedVersionsOnly) {
  const struct {
    const char* version;
    bool runs;
  } rows[] = {{"5.8.21", true}, {"5.3.34", true}, {"5.8.22", false}, {"5.3.35", false}, {"5.4.0", false}};
  for (const auto& row : rows) {
    Scenario scenario;
    scenario.Sensor(std::string(kDefaultSensor) + "FirmwareVersion = " + row.version +
                    "\nFlashFile6 = 6, 29, 0x90000, 0x40, 0x4242, 0x8000\n");
    scenario.Update(Functions("ReviveSensorFault"));
    const RunResult run = scenario.Run(kNoProtection, "", /*nowait=*/true);
    ASSERT_TRUE(Succeeded(run)) << row.version;
    EXPECT_TRUE(Has(run.messages, ">>>>>> Sensor fault was found!"));
    if (row.runs) {
      EXPECT_TRUE(InOrder(run.messages,
                          {">>>>>> This sensor needs to be repaired! Deleting sensor fault...",
                           ">>>>>> Deleting file id: 6", ">>>>>> Reseting the sensor...", ">>>>>> Reconnecting..."}))
          << row.version;
      EXPECT_FALSE(FileWithId(scenario.Flash(), 6));
    } else {
      EXPECT_TRUE(Has(run.messages, ">>>>>> Skipping, no need to run (mismatched version)."));
      EXPECT_FALSE(scenario.Exists("work/flash.state"));  // nothing changed on the sensor
    }
  }
}

TEST(ReviveSensorFaultTest, SkipsWithoutAFaultFile) {
  Scenario scenario;
  scenario.Update(Functions("ReviveSensorFault"));
  const RunResult run = scenario.Run(kNoProtection);
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(Has(run.messages, ">>>>>> Skipping, no need to run (no sensor fault file)."));
}

TEST(ReviveSensorFaultTest, AFailingResetInsideReconnectEndsTheRun) {
  Scenario scenario;
  scenario.Sensor(std::string(kDefaultSensor) +
                  "FirmwareVersion = 5.8.21\nFlashFile6 = 6, 29, 0x90000, 0x40\n"
                  "FlashFaults = Set:Reset\nFlashFaultStatus = 0x30850\n");
  scenario.Update(Functions("ReviveSensorFault"));
  const RunResult run = scenario.Run(kNoProtection, "", /*nowait=*/true);
  EXPECT_TRUE(InOrder(run.messages, {">>>>>> Done!", ">>>>>> Reseting the sensor..."}));
  EXPECT_TRUE(Lacks(run.messages, ">>>>>> Reconnecting..."));
  EXPECT_TRUE(FailedWith(run, "Failed to reset", 0x30850));
}

// ---- GetSerialVerifyDB ----

TEST(GetSerialVerifyDBTest, VerifiesTheEnteredSerialAgainstTheDatabaseFolders) {
  Scenario scenario;
  scenario.MakeDirectory("DB/SN777");
  scenario.Update(Functions("GetSerialVerifyDB"));
  const RunResult run = scenario.Run(kNoProtection, "SN777\n");
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(InOrder(run.messages, {">>>>>> Running the special init function: GetSerialNumber!",
                                     "Please enter the sensor serial number: ",
                                     ">>>>>> Done! Serial number SN777 was successfuly verified!"}));

  const RunResult unknown = scenario.Run(kNoProtection, "SN999\n");
  EXPECT_TRUE(Has(unknown.messages, ">>>>>> Error! DB directory ../DB/SN999 does not exists!"));
  EXPECT_TRUE(FailedWith(unknown, "GetSerialVerifyDB Failed", 0x10001));

  // End of input: no serial, which the database folder itself must not pass.
  const RunResult none = scenario.Run(kNoProtection);
  EXPECT_TRUE(Has(none.messages, ">>>>>> Error! No serial number was entered!"));
  EXPECT_TRUE(FailedWith(none, "GetSerialVerifyDB Failed", 0x10001));
}

TEST(GetSerialVerifyDBTest, ReadsAtMost32Characters) {
  Scenario scenario;
  const std::string serial(32, 'S');
  scenario.MakeDirectory("DB/" + serial);
  scenario.Update(Functions("GetSerialVerifyDB"));
  const RunResult run = scenario.Run(kNoProtection, serial + "TAIL\n");
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(Has(run.messages, ">>>>>> Done! Serial number " + serial + " was successfuly verified!"));
}

// ---- NESI ----

// A database line: entry, serial, then fields 3..20 as 3, 4, ... 20 plus base.
std::string DatabaseLine(int entry, const std::string& serial, int base, bool defaults = false) {
  std::ostringstream line;
  line << entry << " " << serial;
  for (int field = 3; field <= 20; ++field) line << " " << ((defaults && field <= 4) ? 0 : base + field);
  return line.str() + "\n";
}

// The sensor without its NESA parameters file.
std::string SensorWithoutNesa() {
  std::string sensor = kDefaultSensor;
  sensor.erase(sensor.find("FlashFile3"), sensor.find("FlashFile4") - sensor.find("FlashFile3"));
  sensor.replace(sensor.find("FlashFile4"), 10, "FlashFile3");
  sensor.replace(sensor.find("FlashFile5"), 10, "FlashFile4");
  return sensor;
}

TEST(NesiTest, WritesTheSensorsParametersOverTheDefaultFile) {
  Scenario scenario;
  scenario.Write("work/NESIDB.txt", DatabaseLine(1, "SN1", 100) + "2 SN123 1 2 3\n" + DatabaseLine(7, "SN123", -50) +
                                        DatabaseLine(8, "SN123", 900));
  scenario.Update(Functions("NESI"));
  const RunResult run = scenario.Run(kNoProtection);
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(InOrder(run.messages, {">>>>>> Running the special init function: NESI!",
                                     ">>>>>> Found the default NESA params file on the sensor...",
                                     ">>>>>> NESI needs to run!", ">>>>>> Searching NESI DB for: SN123...",
                                     ">>>>>> Sensor was found in NESI DB (Entry #7).", ">>>>>> Deleting file id: 3"}));
  EXPECT_TRUE(HasPrefix(run.messages, ">>>>>> Warning! Skipping line 2 of NESIDB.txt"));
  EXPECT_TRUE(Has(run.messages, ">>>>>> Done! NESI finished successfully!"));

  const std::optional<FlashFile> nesa = FileAt(scenario.Flash(), 0x60000);
  ASSERT_TRUE(nesa);
  ASSERT_EQ(nesa->size, 78u);
  EXPECT_EQ(nesa->type, 28);
  for (int k = 0; k < 9; ++k) {
    int32_t low = 0, high = 0;
    std::memcpy(&low, nesa->content.data() + 6 + 8 * k, 4);
    std::memcpy(&high, nesa->content.data() + 10 + 8 * k, 4);
    EXPECT_EQ(low, -50 + 4 + 2 * k) << k;
    EXPECT_EQ(high, -50 + 3 + 2 * k) << k;
  }
  EXPECT_TRUE(scenario.List("tmp").empty());
}

TEST(NesiTest, DecidesFromTheSensorsFileAndTheDatabase) {
  const struct {
    const char* name;
    std::string sensor;
    std::string database;
    const char* line;
    bool blankWritten;
  } rows[] = {
      {"installed", std::string(kDefaultSensor) + "FlashFile3 = 3, 28, 0x60000, 0x4E, 0x1234\n",
       DatabaseLine(1, "SN123", 5), ">>>>>> Skipping, no need to run (already installed).", false},
      {"unknown with default", kDefaultSensor, DatabaseLine(1, "SN1", 5),
       ">>>>>> Skipping, no need to run (default NESA params is already present).", false},
      {"default in both", kDefaultSensor, DatabaseLine(1, "SN123", 5, true),
       ">>>>>> Skipping, no need to run (default NESA params is already present).", false},
      {"unknown without file", SensorWithoutNesa(), DatabaseLine(1, "SN1", 5),
       ">>>>>> Warning! The sensor SN123 doesn't exist in the database. Using a blank file...", true},
  };
  for (const auto& row : rows) {
    Scenario scenario;
    scenario.Sensor(row.sensor);
    scenario.Write("work/NESIDB.txt", row.database);
    scenario.Write("work/SensorNesaParams.xml.bin.fla", FlashBytes(28, std::string(76, '\0')));
    scenario.Update(Functions("NESI", "[Files]\nNumFiles = 0\n", "RunBISTNESAUnlimited"));
    const RunResult run = scenario.Run(kNoProtection);
    ASSERT_TRUE(Succeeded(run)) << row.name;
    EXPECT_TRUE(Has(run.messages, row.line)) << row.name;
    // No parameters from the database: the self test has nothing to check.
    EXPECT_TRUE(Has(run.messages, ">>>>>> Skipping, no need to run (No update was made during NESI).")) << row.name;
    const std::optional<FlashFile> nesa = FileAt(scenario.Flash(), 0x60000);
    if (row.blankWritten) {
      ASSERT_TRUE(nesa);
      EXPECT_EQ(nesa->size, 78u);
    }
  }
}

TEST(NesiTest, DefaultParametersInTheDatabaseAreWrittenWhenTheSensorHasNone) {
  Scenario scenario;
  scenario.Sensor(SensorWithoutNesa());
  scenario.Write("work/NESIDB.txt", DatabaseLine(4, "SN123", 10, true));
  scenario.Update(Functions("NESI"));
  const RunResult run = scenario.Run(kNoProtection);
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(InOrder(run.messages, {">>>>>> Found the default NESA params on the DB...",
                                     ">>>>>> Sensor was found in NESI DB (Entry #4)."}));
  ASSERT_TRUE(FileAt(scenario.Flash(), 0x60000));
}

TEST(NesiTest, AMissingDatabaseIsAFailureNotABlankFile) {
  Scenario scenario;
  scenario.Sensor(SensorWithoutNesa());
  scenario.Update(Functions("NESI"));
  const RunResult run = scenario.Run(kNoProtection);
  EXPECT_TRUE(Has(run.messages, ">>>>>> Error! The NESI DB file NESIDB.txt could not be opened!"));
  EXPECT_TRUE(FailedWith(run, "NESI Failed", 0x10001));
  EXPECT_FALSE(FileAt(scenario.Flash(), 0x60000));
}

TEST(NesiTest, SkipsItselfOnAFullFactoryReset) {
  Scenario scenario;
  scenario.Update(Functions("NESI"));
  const RunResult run = scenario.Run({"Kestrane_TB452.ini", "1", "1", "0", "0"});
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(Has(run.messages, ">>>>>> Skipping, no need to run (full factory reset)."));
}

TEST(NesiTest, SerialFailureEndsTheRun) {
  Scenario scenario;
  scenario.Sensor(std::string(kDefaultSensor) + "FlashFaults = Get:ID\nFlashFaultStatus = 0x30850\n");
  scenario.Write("work/NESIDB.txt", DatabaseLine(1, "SN123", 5));
  scenario.Update(Functions("NESI"));
  EXPECT_TRUE(FailedWith(scenario.Run(kNoProtection), "Couldn't get the SerialNumber property", 0x30850));
}

// ---- RunBISTNESAUnlimited ----

// Runs NESI with new parameters, then the self test on a sensor whose
// "BISTResult" is result.
RunResult RunSelfTest(Scenario& scenario, const std::string& result) {
  scenario.Sensor(std::string(kDefaultSensor) + "BISTResult = " + result + "\n");
  scenario.Write("work/NESIDB.txt", DatabaseLine(1, "SN123", 5));
  scenario.Update(Functions("NESI", "[Files]\nNumFiles = 0\n", "RunBISTNESAUnlimited"));
  return scenario.Run(kNoProtection, "", /*nowait=*/true);
}

TEST(RunBistTest, AFailedOrUnansweredSelfTestFailsTheUpdate) {
  for (const char* result : {"1", "none"}) {  // "none": the sensor leaves the result field alone
    Scenario scenario;
    const RunResult run = RunSelfTest(scenario, result);
    EXPECT_TRUE(InOrder(run.messages, {">>>>>> Running the special finish function: RunBISTNESAUnlimited!",
                                       ">>>>>> Reseting the sensor...", ">>>>>> Reconnecting...",
                                       ">>>>>> Running BIST NESA Unlimited...", ">>>>>> BIST NESA Unlimited Failed!"}))
        << result;
    EXPECT_TRUE(FailedWith(run, "RunBISTNESAUnlimited Failed", 0x10001)) << result;
  }
}

TEST(RunBistTest, APassingSelfTestCompletesTheUpdate) {
  Scenario scenario;
  const RunResult run = RunSelfTest(scenario, "0");
  EXPECT_TRUE(InOrder(run.messages,
                      {">>>>>> Running BIST NESA Unlimited...", ">>>>>> BIST NESA Unlimited Passed!", ">>>>>> Done!"}));
  EXPECT_TRUE(Succeeded(run));
}

TEST(RunBistTest, AFailingBistCallEndsTheRun) {
  Scenario scenario;
  scenario.Sensor(std::string(kDefaultSensor) + "FlashFaults = Set:BIST\nFlashFaultStatus = 0x30850\n");
  scenario.Write("work/NESIDB.txt", DatabaseLine(1, "SN123", 5));
  scenario.Update(Functions("NESI", "[Files]\nNumFiles = 0\n", "RunBISTNESAUnlimited"));
  EXPECT_TRUE(FailedWith(scenario.Run(kNoProtection, "", /*nowait=*/true), "Failed to run BIST", 0x30850));
}

// ---- UpgradeSensorID1 ----

std::string IdentityFile(size_t size) {
  std::string bytes = FlashBytes(9, "IDHEADER1234");  // 14 bytes of header
  bytes.resize(size, 'z');
  return bytes;
}

const char kIdentitySection[] =
    "[Files]\nNumFiles = 1\n"
    "[File1]\nName = identity.bin\nOffset = 0x20000\nSensorSpecific = 1\nFunction = UpgradeSensorID1\n";

TEST(UpgradeSensorID1Test, PersonalisesACopyAndUploadsIt) {
  Scenario scenario;
  scenario.Sensor(std::string(kDefaultSensor) + "SerialNumber = " + std::string(40, '7') + "\n");
  scenario.Write("work/identity.bin", IdentityFile(302));
  scenario.Update(Functions("", kIdentitySection));
  const RunResult run = scenario.Run(kNoProtection);
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(InOrder(run.messages,
                      {">>>>>> Running the special function UpgradeSensorID1!", "Updated DeviceName to: Simulated head",
                       "Updated VendorSpecific to: Vendor block", "Updated SerialNumber to: " + std::string(32, '7')}));
  EXPECT_TRUE(HasPrefix(run.messages, "Temp file name: " + scenario.Path("tmp/")));
  EXPECT_TRUE(InOrder(run.messages, {">>>>>> Done! Update was successfuly handled!", ">>>>>> Deleting file id: 2",
                                     ">>>>>> Deleting the temp file..."}));
  EXPECT_TRUE(HasPrefix(run.messages, ">>>>>> File Name: " + scenario.Path("tmp/")));

  const std::optional<FlashFile> identity = FileAt(scenario.Flash(), 0x20000);
  ASSERT_TRUE(identity);
  ASSERT_EQ(identity->size, 302u);
  EXPECT_EQ(Text(*identity, 0, 14), IdentityFile(302).substr(0, 14));
  EXPECT_EQ(Text(*identity, 14, 32), std::string(32, '7'));  // full field, no terminator
  EXPECT_EQ(Text(*identity, 46, 128), "Simulated head" + std::string(114, '\0'));
  EXPECT_EQ(Text(*identity, 174, 128), "Vendor block" + std::string(116, '\0'));
  EXPECT_EQ(scenario.Read("work/identity.bin"), IdentityFile(302));  // the original is untouched
  EXPECT_TRUE(scenario.List("tmp").empty());
}

TEST(UpgradeSensorID1Test, AFileOfAnotherSizeIsHandledAsItIs) {
  for (size_t size : {301u, 303u}) {
    Scenario scenario;
    scenario.Write("work/identity.bin", IdentityFile(size));
    scenario.Update(Functions("", kIdentitySection));
    const RunResult run = scenario.Run(kNoProtection);
    ASSERT_TRUE(Succeeded(run));
    EXPECT_TRUE(
        InOrder(run.messages, {"The file size " + std::to_string(size) + " doesn't match the expected file size 302!",
                               ">>>>>> File Name: identity.bin, Offset: 0x20000, SensorSpecific:1",
                               ">>>>>> Skipping a sensor specific file..."}));
  }
}

TEST(UpgradeSensorID1Test, SkipsItselfOnAFullFactoryReset) {
  Scenario scenario;
  scenario.Write("work/identity.bin", IdentityFile(302));
  scenario.Update(Functions("",
                            "[Files]\nNumFiles = 1\n[File1]\nName = identity.bin\nOffset = 0x20000\n"
                            "OffsetFactory = 0x20000\nSensorSpecific = 1\nFunction = UpgradeSensorID1\n"));
  const RunResult run = scenario.Run({"Kestrane_TB452.ini", "1", "1", "0", "0"});
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(InOrder(run.messages, {"This function is skipped when writing to the factory offsets...",
                                     ">>>>>> File Name: identity.bin, Offset: 0x20000, SensorSpecific:1"}));
  const std::optional<FlashFile> identity = FileAt(scenario.Flash(), 0x20000);
  ASSERT_TRUE(identity);
  EXPECT_EQ(Text(*identity, 0, identity->size), IdentityFile(302));  // uploaded unchanged
}

TEST(UpgradeSensorID1Test, AMissingFileEndsTheRun) {
  Scenario scenario;
  scenario.Update(Functions("", kIdentitySection));
  EXPECT_TRUE(FailedWith(scenario.Run(kNoProtection), "Failed to to get file size", 0x10002));
}

// ---- UpgradeFromDB ----

const char kDatabaseFileSection[] =
    "[Files]\nNumFiles = 1\n"
    "[File1]\nName = cal.bin\nOffset = 0x90000\nSensorSpecific = 1\nFunction = UpgradeFromDB\n";

TEST(UpgradeFromDBTest, UploadsTheSerialsFileFromTheDatabase) {
  Scenario scenario;
  scenario.MakeDirectory("DB/SN777");
  scenario.Write("DB/SN777/cal.bin", FlashBytes(40, "calibration of SN777"));
  scenario.Update(Functions("GetSerialVerifyDB", kDatabaseFileSection));
  const RunResult run = scenario.Run(kNoProtection, "SN777\n");
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(InOrder(run.messages, {">>>>>> Running the special function UpgradeFromDB!",
                                     ">>>>>> Done! DB ../DB/SN777/cal.bin file was successfuly handled!",
                                     ">>>>>> File Name: ../DB/SN777/cal.bin, Offset: 0x90000, SensorSpecific:0"}));
  const std::optional<FlashFile> calibration = FileAt(scenario.Flash(), 0x90000);
  ASSERT_TRUE(calibration);
  EXPECT_EQ(calibration->type, 40);
  EXPECT_TRUE(scenario.Exists("DB/SN777/cal.bin"));
}

TEST(UpgradeFromDBTest, AMissingDatabaseFileKeepsTheFilesOwnValue) {
  Scenario scenario;
  scenario.MakeDirectory("DB/SN777");
  scenario.Update(Functions("GetSerialVerifyDB", kDatabaseFileSection));
  const RunResult run = scenario.Run(kNoProtection, "SN777\n");
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(InOrder(run.messages, {">>>>>> Error! DB file ../DB/SN777/cal.bin does not exists!",
                                     ">>>>>> File Name: ../DB/SN777/cal.bin, Offset: 0x90000, SensorSpecific:1",
                                     ">>>>>> Skipping a sensor specific file..."}));
}

TEST(UpgradeFromDBTest, WithoutASerialThePathHasAnEmptyFolder) {
  Scenario scenario;
  scenario.Update(Functions("", kDatabaseFileSection));
  const RunResult run = scenario.Run(kNoProtection);
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(Has(run.messages, ">>>>>> Error! DB file ../DB//cal.bin does not exists!"));
}

TEST(UpgradeFromDBTest, APathThatDoesNotFitEndsTheRun) {
  Scenario scenario;
  const std::string serial(32, 'L');
  scenario.MakeDirectory("DB/" + serial);
  scenario.Update(
      Functions("GetSerialVerifyDB", "[Files]\nNumFiles = 1\n[File1]\nName = " + std::string(220, 'n') +
                                         "\nOffset = 0x90000\nSensorSpecific = 0\nFunction = UpgradeFromDB\n"));
  EXPECT_TRUE(FailedWith(scenario.Run(kNoProtection, serial + "\n"), "The DB file path is too long", 0x10007));
}

TEST(UpgradeFromDBTest, AfterUpgradeSensorID1ItWorksOnTheTemporaryCopy) {
  Scenario scenario;
  scenario.MakeDirectory("DB/SN777");
  scenario.Write("work/identity.bin", IdentityFile(302));
  scenario.Update(Functions("GetSerialVerifyDB",
                            "[Files]\nNumFiles = 1\n[File1]\nName = identity.bin\nOffset = 0x20000\n"
                            "SensorSpecific = 1\nFunction = UpgradeFromDB UpgradeSensorID1\n"));
  const RunResult run = scenario.Run(kNoProtection, "SN777\n");
  EXPECT_TRUE(InOrder(run.messages, {">>>>>> Running the special function UpgradeSensorID1!",
                                     ">>>>>> Running the special function UpgradeFromDB!"}));
  EXPECT_TRUE(HasPrefix(run.messages, ">>>>>> Error! DB file ../DB/SN777/" + scenario.Path("tmp/")));
  // The copy's database path does not exist: the upload of it fails.
  bool failedUpload = false;
  for (const std::string& line : run.messages) failedUpload = failedUpload || line.rfind("Failed to upload: ", 0) == 0;
  EXPECT_TRUE(failedUpload) << run.output;
  EXPECT_EQ(run.exitCode, 1);
}

}  // namespace
}  // namespace kestrane::testing
