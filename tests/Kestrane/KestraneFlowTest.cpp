// Whole runs of Kestrane's main flow against the simulated sensor, and runs that go wrong: damaged inputs, a lost
// console, a re-run after a failed update, a damaged flash state.
#include <Tollan/TollanStatus.h>

#include <tuple>

#include "KestraneRun.h"

namespace kestrane::testing {
namespace {

TEST(KestraneFlowTest, PlainUpdateWithoutArgumentsRewritesTheUpgradeArea) {
  Scenario scenario;
  const RunResult run = scenario.Run({});
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(InOrder(run.messages,
                      {"Kestrane V1.0.9", "*** Protecting the sensor: protect.bin -> 0x30000",
                       "*** Using fast clear to wipe the upgrade zone...", "*** Going to clear the upgrade area...",
                       "*** Min upgrade area offset: 0x100000", "*** Max upgrade area offset: 0x200000",
                       "*** Upgrade area is clear!", "*** There are 2 files to upload!",
                       "*** Uploading file #1:", ">>>>>> File Name: fw.bin, Offset: 0x100000, SensorSpecific:0",
                       "*** Uploading file #2:", ">>>>>> File Name: dsp.bin, Offset: 0x180000, SensorSpecific:0",
                       "*** Removing the protection file...", ">>>>>> Deleting file id: 6", ">>>>>> Done!"}));
  const std::vector<FlashFile> flash = scenario.Flash();
  ASSERT_EQ(flash.size(), 5u);
  const std::optional<FlashFile> firmware = FileAt(flash, 0x100000);
  ASSERT_EQ(Content(firmware), FlashBytes(10, "firmware image v2"));
  EXPECT_EQ(firmware->attributes, 0);
  EXPECT_TRUE(FileAt(flash, 0x180000));
  EXPECT_FALSE(FileAt(flash, 0x30000));  // the protection file is gone again
  EXPECT_TRUE(FileAt(flash, 0x0));       // outside the area: kept
}

TEST(KestraneFlowTest, AFlagIsOnExactlyWhenItsFirstCharacterIsOne) {
  Scenario scenario;
  scenario.Write("work/custom.ini", Area("1", "0x100000", "0x200000",
                                         "[Files]\nNumFiles = 1\n[File1]\nName = fw.bin\nOffset = 0x100000\n"
                                         "OffsetFactory = 0x140000\nSensorSpecific = 1\n"));
  const RunResult run = scenario.Run({"custom.ini", "1abc", "1", "", "0x"});
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(
      InOrder(run.messages, {"*** Using lean init!", "*** Using fast clear to wipe the upgrade zone will be skipped!",
                             ">>>>>> File Name: fw.bin, Offset: 0x140000, SensorSpecific:1"}));
  EXPECT_FALSE(Has(run.messages, "*** Removing the protection file..."));
  EXPECT_FALSE(scenario.Exists("work/Log"));
  EXPECT_TRUE(FileAt(scenario.Flash(), 0x140000));
  // "01" starts with 0; Log "1" also writes the log to a file.
  const RunResult off = scenario.Run({"custom.ini", "01", "0", "1", "0"});
  ASSERT_TRUE(Succeeded(off));
  EXPECT_TRUE(InOrder(off.messages, {">>>>>> File Name: fw.bin, Offset: 0x100000, SensorSpecific:1",
                                     ">>>>>> Skipping a sensor specific file..."}));
  EXPECT_FALSE(Has(off.messages, "*** Using lean init!"));
  ASSERT_EQ(scenario.List("work/Log").size(), 1u);
  const std::string log = scenario.Read("work/Log/" + scenario.List("work/Log")[0]);
  EXPECT_NE(log.find(">>>>>> Skipping a sensor specific file..."), std::string::npos);
}

TEST(KestraneFlowTest, FastClearFromVersion5816OrTheAreaMinButNotMaxOneByOne) {
  // version, SkipFastClear (not even read below 5.8.16), read, cleared
  const std::tuple<const char*, const char*, bool, bool> rows[] = {
      {"5.8.15", "bad", false, false}, {"5.7.999", "bad", false, false}, {"4.99.999", "bad", false, false},
      {"5.8.16", "0", true, true},     {"5.9.0", "0", true, true},        {"6.0.0", "0", true, true},
      {"5.8.16", "0x1", true, false}};
  for (const auto& [version, skip, read, cleared] : rows) {
    SCOPED_TRACE(std::string(version) + " " + skip);
    Scenario scenario;
    scenario.Sensor(std::string(kDefaultSensor) + "FirmwareVersion = " + version + "\n");
    scenario.Update(Area(skip, "0x100000", "0x180000", "[Files]\nNumFiles = 0\n"));
    const RunResult run = scenario.Run(kNoProtection);
    ASSERT_TRUE(Succeeded(run));
    EXPECT_EQ(bool(Has(run.messages, "*** Using fast clear to wipe the upgrade zone...")), cleared);
    EXPECT_EQ(bool(Has(run.messages, "*** Using fast clear to wipe the upgrade zone will be skipped!")),
              read && !cleared);
    // One by one: the read-only file at Min goes, the one at Max stays.
    EXPECT_EQ(bool(InOrder(run.messages,
                           {">>>>>> Deleting file id: 4", ">>>>>> Clearing file attribute! (It was read only...)",
                            ">>>>>> Done!", "*** Upgrade area is clear!"})),
              !cleared);
    EXPECT_FALSE(FileAt(scenario.Flash(), 0x100000));
    EXPECT_EQ(!FileAt(scenario.Flash(), 0x180000), cleared);
  }
}

TEST(KestraneFlowTest, DeletingAFileAlreadyGoneFails) {
  const std::string none = "[Files]\nNumFiles = 0\n";
  const std::pair<std::string, std::vector<std::string>> rows[] = {
      // A protection file inside the area is deleted there; the removal then finds nothing to delete.
      {"[Protect]\nName = protect.bin\nOffset = 0x1C0000\n" + Area("1", "0x180000", "0x200000", none),
       {"*** Removing the protection file...", ">>>>>> Deleting file id: 6"}},
      // Protection by a file of another type: the placeholder id 9999 is deleted without an attribute change.
      {"[Protect]\nName = other.bin\nOffset = 0x40000\n" + Area("1", "0x200000", "0x200000", none),
       {"*** Removing the protection file...", ">>>>>> Deleting file id: 9999"}},
      // The list is not read again between uploads: the second deletes what the first already replaced.
      {"[Protect]\nName = protect.bin\nOffset = 0x30000\n" +
           Area("1", "0x200000", "0x200000",
                "[Files]\nNumFiles = 2\n[File1]\nName = fw.bin\nOffset = 0x180000\nSensorSpecific = 0\n"
                "[File2]\nName = dsp.bin\nOffset = 0x180000\nSensorSpecific = 0\n"),
       {"*** Uploading file #1:", ">>>>>> Deleting file id: 5", ">>>>>> Done!", "*** Uploading file #2:",
        ">>>>>> Deleting file id: 5"}},
  };
  for (const auto& [ini, lines] : rows) {
    Scenario scenario;
    scenario.Write("work/other.bin", FlashBytes(24, "protect"));
    scenario.Update(ini);
    const RunResult run = scenario.Run({});
    EXPECT_TRUE(FailedWith(run, "Failed to delete", 0x30832));
    EXPECT_TRUE(InOrder(run.messages, lines));
    EXPECT_FALSE(Has(run.messages, ">>>>>> Clearing file attribute! (It was read only...)"));
  }
}

TEST(KestraneFlowTest, SafeModeWarnsAndGoesOnToSkipFilesByTheirSensorSpecificValue) {
  Scenario scenario;
  scenario.Sensor(std::string(kDefaultSensor) + "FirmwareMode = 2\n");
  scenario.Update(Area("1", "0x200000", "0x200000",
                       "[Files]\nNumFiles = 3\n[File1]\nName = fw.bin\nOffset = 0x140000\nSensorSpecific = 2\n"
                       "[File2]\nName = fw.bin\nOffset = 0x150000\nSensorSpecific = 1\n"
                       "[File3]\nName = dsp.bin\nOffset = 0x160000\nSensorSpecific = 7\n"));
  const RunResult run = scenario.Run(kNoProtection, "", /*nowait=*/true);
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(InOrder(run.messages,
                      {"* Sensor is in safe mode.                       *",
                       "* Press CTRL+C in the next 10 seconds to abort. *",
                       ">>>>>> Skipping a factory offset specific file...", ">>>>>> Skipping a sensor specific file...",
                       ">>>>>> File Name: dsp.bin, Offset: 0x160000, SensorSpecific:7"}));
  const std::vector<FlashFile> flash = scenario.Flash();
  EXPECT_FALSE(FileAt(flash, 0x140000));
  EXPECT_FALSE(FileAt(flash, 0x150000));
  EXPECT_TRUE(FileAt(flash, 0x160000));
}

TEST(KestraneFlowTest, AMissingOrBadIniKeyEndsTheRun) {
  // The keys in the order the tool reads them: key, value, what a missing key logs, what a bad number logs.
  const std::tuple<const char*, const char*, const char*, const char*> keys[] = {
      {"[Protect]\nName", "protect.bin", "Failed to get the name of the protection file", nullptr},
      {"Offset", "0x30000", "Failed to get the offset of the protection file", "Bad protection file offset: 0x3G000"},
      {"[UpgArea]\nSkipFastClear", "1", "Failed to get skip fast clear value", "Bad skip fast clear value: no"},
      {"Min", "0", "Failed to get min upgrade area offset", "Bad min upgrade area offset: -1"},
      {"Max", "0", "Failed to get max upgrade area offset", "Bad max upgrade area offset: 0X10"},
      {"[Files]\nNumFiles", "1", "Failed to get the number of files", nullptr},
      {"[File1]\nName", "fw.bin", "Failed to get the filename", nullptr},
      {"Offset", "0x100000", nullptr, "Bad file offset: 12h"},
  };
  std::string before;
  for (const auto& [key, value, missing, bad] : keys) {
    if (missing != nullptr) {
      Scenario scenario;
      scenario.Update(before);
      const RunResult run = scenario.Run({});
      EXPECT_TRUE(Has(run.messages, std::string(missing) + ": ", true)) << run.output;
      EXPECT_TRUE(InOrder(run.messages, {"", "*                FAILURE!             *"})) << missing;
      EXPECT_EQ(run.exitCode, 1);
    }
    if (bad != nullptr) {
      Scenario scenario;
      const std::string line = bad;
      scenario.Update(before + key + " = " + line.substr(line.rfind(' ') + 1) + "\n");
      const RunResult run = scenario.Run({});
      EXPECT_TRUE(Has(run.messages, line)) << run.output;
      EXPECT_TRUE(FailedWith(run, "Error", 0x10015)) << line;
    }
    before += std::string(key) + " = " + value + "\n";
  }
}

TEST(KestraneFlowTest, SensorFailuresEndWithTheirStepsMessage) {
  const char* const rows[][2] = {
      {"Get:Version", "Failed to get the FW version"},
      {"Get:FirmwareMode", "Failed to get the FW mode"},
      {"Set:FlashFile#1", "Failed to upload the protection file"},
      {"Set:DeleteFile#1", "Failed to clear the upgrade zone"},
      {"Get:FileList#2", "Failed to get file list"},
      {"Set:FlashFile#2", "Failed to upload"},
      {"Set:FileAttributes", "Couldn't change attributes"},
      {"Set:Reset", "Failed to reset"},
  };
  for (const auto& row : rows) {
    Scenario scenario;
    scenario.Sensor(std::string(kDefaultSensor) + kInjected + row[0] + "\n");
    scenario.Update("[Protect]\nName = protect.bin\nOffset = 0x30000\n" +
                    Area("0", "0x0", "0x30000",
                         "[Files]\nNumFiles = 1\n[File1]\nName = fw.bin\nOffset = 0x100000\nSensorSpecific = 0\n"));
    EXPECT_TRUE(FailedWith(scenario.Run({}), row[1], kInjectedStatus)) << row[0];
  }
}

TEST(KestraneFlowTest, BadUsageOrALongPathEndBeforeTheSensorIsOpened) {
  Scenario scenario;
  for (size_t count : {1u, 4u, 6u}) {
    const RunResult run = scenario.Run(std::vector<std::string>(count, "0"));
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(InOrder(run.messages,
                        {"Kestrane V1.0.9", "",
                         "Usage: <INI> <UploadSensorSpecific:0/1> <UploadToFactoryOffset:0/1> <Log:0/1> <Protect:0/1>",
                         "", "Press any key to exit..."}))
        << count;
  }
  EXPECT_TRUE(
      FailedWith(scenario.Run({std::string(260, 'a'), "0", "0", "0", "0"}), "The INI path is too long", 0x10007));
  EXPECT_FALSE(scenario.Exists("work/flash.state"));
}

const std::string kLong(300, 'x');  // longer than any INI text value the tool takes

// The 18 parameters of a database line after entry and serial.
const std::string kParameters = "120 -35 4096 17 -8 250 3300 12 -1 1 77 5 900 -60 31 2 18 640";
const std::string kUpdate = DefaultUpdate();

// text with the first occurrence of from replaced.
std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  return text.replace(text.find(from), from.size(), to);
}

TEST(KestraneDamagedInputTest, EveryDamagedInputEndsInFailureAndExitStatusOne) {
  enum Flash { kUntouched, kProtectedAndCleared, kFirstFileOnly, kUpdated };
  constexpr KrStatus kOverflow = KR_STATUS_OS_OUTPUT_BUFFER_OVERFLOW;
  const std::string nesi = DefaultUpdate("InitFunction = NESI");
  const struct {
    std::string ini;
    const char* message;
    KrStatus status;
    Flash flash;
    const char* logged = nullptr;  // a line before the failure (prefix)
    std::string database = "";
    std::vector<std::string> arguments = {};
    std::string file = "";  // a local file the update names, replaced by content ("(none)": removed)
    std::string content = "";
  } rows[] = {
      // Over-long optional keys: cut or taken as missing, they silently dropped functions.
      {DefaultUpdate("InitFunction = " + std::string(260, 'x') + " NESI"), "Failed to get the init functions",
       kOverflow, kUntouched},
      {DefaultUpdate("", "Function = " + kLong + "UpgradeFromDB"), "Failed to get the file function", kOverflow,
       kFirstFileOnly},
      {DefaultUpdate("", "", "FinishFunction = " + kLong + "RunBISTNESAUnlimited"), "Failed to get the finish function",
       kOverflow, kUpdated},
      {Replaced(kUpdate, "dsp.bin", kLong), "Failed to get the filename", kOverflow, kFirstFileOnly},
      {Replaced(kUpdate, "Min = 0x", "Min = 0y"), "Error", KR_STATUS_OS_BAD_NUMBER, kProtectedAndCleared,
       "Bad min upgrade area offset: 0y100000"},
      {Replaced(kUpdate, "NumFiles = 2", "NumFiles = two"), "Failed to get the number of files",
       KR_STATUS_OS_BAD_NUMBER, kProtectedAndCleared},
      // The sensor's own database line, damaged: it must never turn into blank parameters.
      {nesi, "NESI Failed", KR_STATUS_OS_ERROR, kUntouched,
       ">>>>>> Error! Line 2 of NESIDB.txt, the line of the sensor SN123, does not hold 20 valid fields: 2 SN123 120",
       "1 SN1 " + kParameters + "\n" + "2 SN123 " + Replaced(kParameters, " 640", "") + "\n", kNoProtection},
      {nesi, "NESI Failed", KR_STATUS_OS_ERROR, kUntouched, ">>>>>> Error! Line 1 of NESIDB.txt",
       "3 SN123 " + Replaced(kParameters, "120", "4294967296") + "\n", kNoProtection},
      {nesi, "NESI Failed", KR_STATUS_OS_ERROR, kUntouched, ">>>>>> Error! Line 1 of NESIDB.txt",
       "3 SN123 " + kParameters + " 7\n", kNoProtection},
      {nesi, "NESI Failed", KR_STATUS_OS_ERROR, kUntouched, nullptr, "", kNoProtection},
      // Upload files that cannot be written.
      {kUpdate, "Failed to upload", KR_STATUS_OS_INVALID_FILE, kProtectedAndCleared, nullptr, "", {}, "work/fw.bin",
       "(none)"},
      {kUpdate, "Failed to upload", KR_STATUS_TL_BAD_PROPERTY_VALUE, kProtectedAndCleared, nullptr, "", {},
       "work/fw.bin", "x"},
      {kUpdate, "Failed to upload", KR_STATUS_TL_FLASH_FULL, kProtectedAndCleared, nullptr, "", {}, "work/fw.bin",
       FlashBytes(10, std::string(0x100000, 'f'))},
      {kUpdate, "Failed to upload the protection file", KR_STATUS_OS_INVALID_FILE, kUntouched, nullptr, "", {},
       "work/protect.bin", "(none)"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.ini.substr(0, 60) + " " + row.message);
    Scenario scenario;
    scenario.Sensor(std::string(kDefaultSensor) + kNoNesaFile);
    scenario.Update(row.ini);
    scenario.Write("work/SensorNesaParams.xml.bin.fla", FlashBytes(28, std::string(76, '\0')));
    if (!row.database.empty()) scenario.Write("work/NESIDB.txt", row.database);
    if (row.content == "(none)") std::remove(scenario.Path(row.file).c_str());
    if (!row.content.empty() && row.content != "(none)") scenario.Write(row.file, row.content);
    const RunResult run = scenario.Run(row.arguments);
    EXPECT_TRUE(FailedWith(run, row.message, row.status));
    EXPECT_TRUE(row.logged == nullptr || Has(run.messages, row.logged, true));
    const std::vector<FlashFile> flash = scenario.Flash();
    EXPECT_EQ(scenario.Exists("work/flash.state"), row.flash != kUntouched);
    if (row.flash == kUntouched) continue;
    EXPECT_EQ(bool(FileAt(flash, 0x30000)), row.flash != kUpdated);  // the protection file
    EXPECT_EQ(Content(FileAt(flash, 0x100000)) == scenario.Read("work/fw.bin"), row.flash != kProtectedAndCleared);
    EXPECT_EQ(bool(FileAt(flash, 0x180000)), row.flash == kUpdated);
    EXPECT_FALSE(FileAt(flash, 0x60000));  // never blank parameters
  }
}

TEST(KestraneConsoleTest, ALostConsoleNeverStopsTheUpdate) {
  // Nobody reading at all; a reader that stops after the first lines; one that stops half-way.
  for (const char* reader : {":", "head -c 100 >/dev/null", "head -c 2500 >/dev/null"}) {
    SCOPED_TRACE(reader);
    Scenario scenario;
    const auto [exitCode, log] = scenario.RunIntoPipe({"Kestrane_TB452.ini", "0", "0", "1", "1"}, reader);
    EXPECT_EQ(exitCode, 0);
    EXPECT_NE(log.find("*                SUCCESS!             *"), std::string::npos) << log;
    const std::vector<FlashFile> flash = scenario.Flash();
    EXPECT_EQ(Content(FileAt(flash, 0x100000)), FlashBytes(10, "firmware image v2"));
    EXPECT_EQ(Content(FileAt(flash, 0x180000)), FlashBytes(11, "dsp code v2"));
    EXPECT_FALSE(FileAt(flash, 0x30000));
  }
}

TEST(KestraneRecoveryTest, ARerunReplacesTheProtectionFileAFailedUpdateLeft) {
  for (const char* protect : {"1", "0"}) {
    SCOPED_TRACE(std::string("Protect ") + protect);
    Scenario scenario;
    // The first file's upload fails: the area is clear, the sensor protected.
    scenario.Sensor(std::string(kDefaultSensor) + kInjected + "Set:FlashFile#2\n");
    EXPECT_TRUE(FailedWith(scenario.Run({}), "Failed to upload", kInjectedStatus));
    const std::optional<FlashFile> left = FileAt(scenario.Flash(), 0x30000);
    ASSERT_TRUE(left);
    EXPECT_EQ(left->type, 25);
    EXPECT_FALSE(FileAt(scenario.Flash(), 0x100000));
    scenario.Sensor(kDefaultSensor);
    const RunResult rerun = scenario.Run({"Kestrane_TB452.ini", "0", "0", "0", protect});
    ASSERT_TRUE(Succeeded(rerun));
    EXPECT_TRUE(Has(rerun.messages,
                    "*** Removing the protection file left by an earlier update (id " + std::to_string(left->id) +
                        " at 0x30000)..."));
    const std::vector<FlashFile> flash = scenario.Flash();
    EXPECT_FALSE(FileAt(flash, 0x30000));
    EXPECT_EQ(Content(FileAt(flash, 0x100000)), FlashBytes(10, "firmware image v2"));
    EXPECT_EQ(Content(FileAt(flash, 0x180000)), FlashBytes(11, "dsp code v2"));
  }
}

TEST(KestraneFlashStateTest, ADamagedStateFileIsNamedAsSuchAndKept) {
  Scenario scenario;
  ASSERT_TRUE(Succeeded(scenario.Run({})));
  std::string state = scenario.Read("work/flash.state");
  state[state.size() / 2] ^= 0x01;
  scenario.Write("work/flash.state", state);
  const RunResult run = scenario.Run({});
  EXPECT_TRUE(FailedWith(run, "Failed to open the sensor (Is it connected?)", KR_STATUS_TL_FLASH_STATE_DAMAGED));
  EXPECT_EQ(std::string(krGetStatusString(KR_STATUS_TL_FLASH_STATE_DAMAGED)).find("recording"), std::string::npos);
  EXPECT_EQ(scenario.Read("work/flash.state"), state);
}

}  // namespace
}  // namespace kestrane::testing
