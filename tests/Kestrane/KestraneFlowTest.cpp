// Whole runs of Kestrane's main flow against the simulated sensor: command
// line, protection file, upgrade area, uploads, number keys and exit status.
#include "KestraneRun.h"

#include <Orvane/OrvaneStatus.h>

#include <gtest/gtest.h>

namespace kestrane::testing {
namespace {

using tollan::sensor::FlashFile;

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
  // The fast clear emptied the zone: nothing was left to delete one by one.
  EXPECT_TRUE(Lacks(run.messages, ">>>>>> Deleting file id: 4"));

  const std::vector<FlashFile> flash = scenario.Flash();
  ASSERT_EQ(flash.size(), 5u);
  const std::optional<FlashFile> firmware = FileAt(flash, 0x100000);
  ASSERT_TRUE(firmware);
  EXPECT_EQ(std::string(firmware->content.begin(), firmware->content.end()), FlashBytes(10, "firmware image v2"));
  EXPECT_EQ(firmware->type, 10);
  EXPECT_EQ(firmware->attributes, 0);
  ASSERT_TRUE(FileAt(flash, 0x180000));
  EXPECT_FALSE(FileAt(flash, 0x30000));  // the protection file is gone again
  EXPECT_TRUE(FileWithId(flash, 1));     // outside the area: kept
}

TEST(KestraneFlowTest, TheNextRunSeesWhatTheLastOneLeft) {
  Scenario scenario;
  ASSERT_TRUE(Succeeded(scenario.Run({})));
  const RunResult again = scenario.Run({});
  ASSERT_TRUE(Succeeded(again));
  EXPECT_EQ(scenario.Flash().size(), 5u);
  // The fast clear again wiped last run's uploads; the ids keep counting up.
  EXPECT_TRUE(Has(again.messages, ">>>>>> Deleting file id: 9"));
}

TEST(KestraneFlowTest, AnyArgumentCountButZeroOrFiveIsBadUsage) {
  Scenario scenario;
  for (const std::vector<std::string>& arguments :
       {std::vector<std::string>{"a.ini", "0", "0", "0"}, std::vector<std::string>{"a.ini"},
        std::vector<std::string>{"a.ini", "0", "0", "0", "0", "0"}}) {
    const RunResult run = scenario.Run(arguments);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(InOrder(run.messages,
                        {"Kestrane V1.0.9", "",
                         "Usage: <INI> <UploadSensorSpecific:0/1> <UploadToFactoryOffset:0/1> <Log:0/1> <Protect:0/1>",
                         "", "Press any key to exit..."}))
        << run.output;
  }
  EXPECT_FALSE(scenario.Exists("work/flash.state"));  // the sensor was never opened
}

TEST(KestraneFlowTest, AFlagIsOnExactlyWhenItsFirstCharacterIsOne) {
  Scenario scenario;
  scenario.Write("work/custom.ini",
                 "[UpgArea]\nSkipFastClear = 1\nMin = 0x100000\nMax = 0x200000\n"
                 "[Files]\nNumFiles = 1\n"
                 "[File1]\nName = fw.bin\nOffset = 0x100000\nOffsetFactory = 0x140000\nSensorSpecific = 1\n");
  // "1abc" and "1" turn the upload flags on, "" turns logging off and "0x"
  // turns protection off.
  const RunResult run = scenario.Run({"custom.ini", "1abc", "1", "", "0x"});
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(
      InOrder(run.messages, {"*** Using lean init!", "*** Using fast clear to wipe the upgrade zone will be skipped!",
                             ">>>>>> File Name: fw.bin, Offset: 0x140000, SensorSpecific:1"}));
  EXPECT_TRUE(Lacks(run.messages, "*** Removing the protection file..."));
  EXPECT_FALSE(scenario.Exists("work/Log"));
  EXPECT_TRUE(FileAt(scenario.Flash(), 0x140000));

  // "01" starts with 0: sensor-specific files are skipped.
  const RunResult off = scenario.Run({"custom.ini", "01", "0", "0", "0"});
  ASSERT_TRUE(Succeeded(off));
  EXPECT_TRUE(InOrder(off.messages, {">>>>>> File Name: fw.bin, Offset: 0x100000, SensorSpecific:1",
                                     ">>>>>> Skipping a sensor specific file..."}));
  EXPECT_TRUE(Lacks(off.messages, "*** Using lean init!"));
}

TEST(KestraneFlowTest, TheLogFlagAlsoWritesALogFile) {
  Scenario scenario;
  ASSERT_TRUE(Succeeded(scenario.Run({"Kestrane_TB452.ini", "0", "0", "1", "1"})));
  ASSERT_EQ(scenario.List("work/Log").size(), 1u);
  const std::string log = scenario.Read("work/Log/" + scenario.List("work/Log")[0]);
  EXPECT_NE(log.find("*** Upgrade area is clear!"), std::string::npos);
}

TEST(KestraneFlowTest, UpgradeAreaTakesMinButNotMax) {
  Scenario scenario;
  scenario.Sensor(std::string(kDefaultSensor) + "FirmwareVersion = 5.8.15\n");
  // Below 5.8.16 the fast-clear key is not even read: a bad value does no harm.
  scenario.Update(
      "[Protect]\nName = protect.bin\nOffset = 0x30000\n"
      "[UpgArea]\nSkipFastClear = bad\nMin = 0x100000\nMax = 0x180000\n[Files]\nNumFiles = 0\n");
  const RunResult run = scenario.Run({});
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(Lacks(run.messages, "*** Using fast clear to wipe the upgrade zone..."));
  EXPECT_TRUE(InOrder(
      run.messages,
      {">>>>>> Deleting file id: 4", ">>>>>> Clearing file attribute! (It was read only...)", ">>>>>> Done!",
       "*** Upgrade area is clear!", "*** There are 0 files to upload!", "*** Removing the protection file..."}));
  EXPECT_TRUE(Lacks(run.messages, ">>>>>> Deleting file id: 5"));
  const std::vector<FlashFile> flash = scenario.Flash();
  EXPECT_FALSE(FileAt(flash, 0x100000));
  EXPECT_TRUE(FileAt(flash, 0x180000));
}

TEST(KestraneFlowTest, FastClearRunsFromVersion5816AndCanBeSkipped) {
  const char kClears[] = "*** Using fast clear to wipe the upgrade zone...";
  const char kSkips[] = "*** Using fast clear to wipe the upgrade zone will be skipped!";
  const struct {
    const char* version;
    const char* skip;
    bool cleared;
  } rows[] = {
      {"5.8.15", "0", false},
      {"5.8.16", "0", true},
      {"6.0.0", "0", true},
      {"5.8.16", "0x1", false},
  };
  for (const auto& row : rows) {
    Scenario scenario;
    scenario.Sensor(std::string(kDefaultSensor) + "FirmwareVersion = " + row.version + "\n");
    scenario.Update(std::string("[UpgArea]\nSkipFastClear = ") + row.skip +
                    "\nMin = 0x100000\nMax = 0x100001\n[Files]\nNumFiles = 0\n");
    const RunResult run = scenario.Run({"Kestrane_TB452.ini", "0", "0", "0", "0"});
    ASSERT_TRUE(Succeeded(run)) << row.version;
    const bool read = std::string(row.version) != "5.8.15";
    EXPECT_EQ(bool(Has(run.messages, kClears)), row.cleared) << row.version;
    EXPECT_EQ(bool(Has(run.messages, kSkips)), read && !row.cleared) << row.version;
    // The file at 0x180000 lies outside [Min, Max): only the fast clear removes it.
    EXPECT_EQ(!FileAt(scenario.Flash(), 0x180000), row.cleared) << row.version << " " << row.skip;
  }
}

TEST(KestraneFlowTest, ProtectionFileIsWrittenAndRemovedAgain) {
  Scenario scenario;
  scenario.Update(
      "[Protect]\nName = protect.bin\nOffset = 0x40000\n"
      "[UpgArea]\nSkipFastClear = 1\nMin = 0x100000\nMax = 0x200000\n[Files]\nNumFiles = 0\n");
  const RunResult run = scenario.Run({});
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(InOrder(run.messages, {"*** Protecting the sensor: protect.bin -> 0x40000",
                                     "*** Removing the protection file...", ">>>>>> Deleting file id: 6"}));
  EXPECT_FALSE(FileAt(scenario.Flash(), 0x40000));
}

TEST(KestraneFlowTest, WithoutATypeTwentyFiveFileTheRemovalAsksForId9999) {
  Scenario scenario;
  // The protection file lies inside the area, so the flow deletes it there;
  // its entry still names it, and the removal then finds nothing to delete.
  scenario.Update(
      "[Protect]\nName = protect.bin\nOffset = 0x1C0000\n"
      "[UpgArea]\nSkipFastClear = 1\nMin = 0x100000\nMax = 0x200000\n[Files]\nNumFiles = 0\n");
  const RunResult inside = scenario.Run({});
  EXPECT_TRUE(FailedWith(inside, "Failed to delete", 0x30832));
  EXPECT_TRUE(InOrder(inside.messages, {"*** Removing the protection file...", ">>>>>> Deleting file id: 6"}));

  // Protection written by a file of another type: no type-25 entry, so the
  // placeholder id 9999 (not read only) is what the removal deletes.
  Scenario other;
  other.Write("work/protect.bin", FlashBytes(24, "protect"));
  other.Update(
      "[Protect]\nName = protect.bin\nOffset = 0x40000\n"
      "[UpgArea]\nSkipFastClear = 1\nMin = 0x100000\nMax = 0x200000\n[Files]\nNumFiles = 0\n");
  const RunResult placeholder = other.Run({});
  EXPECT_TRUE(FailedWith(placeholder, "Failed to delete", 0x30832));
  // Attributes 0: straight to the deletion, no attribute change first.
  EXPECT_TRUE(Follows(placeholder.messages, ">>>>>> Deleting file id: 9999",
                      "Failed to delete: " + std::string(krGetStatusString(0x30832))));
}

TEST(KestraneFlowTest, FilesAtTheSameOffsetReplaceTheListedFileOnce) {
  Scenario scenario;
  scenario.Update(
      "[UpgArea]\nSkipFastClear = 1\nMin = 0x200000\nMax = 0x200000\n"
      "[Files]\nNumFiles = 2\n"
      "[File1]\nName = fw.bin\nOffset = 0x180000\nSensorSpecific = 0\n"
      "[File2]\nName = dsp.bin\nOffset = 0x180000\nSensorSpecific = 0\n");
  const RunResult run = scenario.Run({"Kestrane_TB452.ini", "0", "0", "0", "0"});
  // The list is not read again during the uploads: the second file tries to
  // delete the listed file again, which the first upload already replaced.
  EXPECT_TRUE(InOrder(run.messages, {"*** Uploading file #1:", ">>>>>> Deleting file id: 5", ">>>>>> Done!",
                                     "*** Uploading file #2:", ">>>>>> Deleting file id: 5"}));
  EXPECT_TRUE(FailedWith(run, "Failed to delete", 0x30832));
}

TEST(KestraneFlowTest, SkipsFilesByTheirSensorSpecificValue) {
  Scenario scenario;
  scenario.Update(
      "[UpgArea]\nSkipFastClear = 1\nMin = 0x200000\nMax = 0x200000\n"
      "[Files]\nNumFiles = 3\n"
      "[File1]\nName = fw.bin\nOffset = 0x140000\nSensorSpecific = 2\n"
      "[File2]\nName = fw.bin\nOffset = 0x150000\nSensorSpecific = 1\n"
      "[File3]\nName = dsp.bin\nOffset = 0x160000\nSensorSpecific = 7\n");
  const RunResult run = scenario.Run({"Kestrane_TB452.ini", "0", "0", "0", "0"});
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(InOrder(run.messages,
                      {">>>>>> Skipping a factory offset specific file...", ">>>>>> Skipping a sensor specific file...",
                       ">>>>>> File Name: dsp.bin, Offset: 0x160000, SensorSpecific:7"}));
  const std::vector<FlashFile> flash = scenario.Flash();
  EXPECT_FALSE(FileAt(flash, 0x140000));
  EXPECT_FALSE(FileAt(flash, 0x150000));
  EXPECT_TRUE(FileAt(flash, 0x160000));
}

TEST(KestraneFlowTest, ABadNumberInAnyNumericKeyEndsWithError) {
  const struct {
    const char* ini;
    const char* line;
  } rows[] = {
      {"[Protect]\nName = protect.bin\nOffset = 0x3G000\n", "Bad protection file offset: 0x3G000"},
      {"[Protect]\nName = protect.bin\nOffset = 0x30000\n[UpgArea]\nSkipFastClear = no\n",
       "Bad skip fast clear value: no"},
      {"[Protect]\nName = protect.bin\nOffset = 0x30000\n[UpgArea]\nSkipFastClear = 1\nMin = -1\n",
       "Bad min upgrade area offset: -1"},
      {"[Protect]\nName = protect.bin\nOffset = 0x30000\n[UpgArea]\nSkipFastClear = 1\nMin = 0\nMax = 0X10\n",
       "Bad max upgrade area offset: 0X10"},
      {"[Protect]\nName = protect.bin\nOffset = 0x30000\n[UpgArea]\nSkipFastClear = 1\nMin = 0\nMax = 0\n"
       "[Files]\nNumFiles = 1\n[File1]\nName = fw.bin\nOffset = 12h\nSensorSpecific = 0\n",
       "Bad file offset: 12h"},
  };
  for (const auto& row : rows) {
    Scenario scenario;
    scenario.Update(row.ini);
    const RunResult run = scenario.Run({});
    EXPECT_TRUE(Has(run.messages, row.line)) << run.output;
    EXPECT_TRUE(FailedWith(run, "Error", 0x10015)) << row.line;
  }
}

TEST(KestraneFlowTest, MissingKeysEndWithTheirStepsMessage) {
  const struct {
    const char* ini;
    const char* message;
  } rows[] = {
      {"", "Failed to get the name of the protection file"},
      {"[Protect]\nName = protect.bin\n", "Failed to get the offset of the protection file"},
      {"[Protect]\nName = protect.bin\nOffset = 0x30000\n", "Failed to get skip fast clear value"},
      {"[Protect]\nName = protect.bin\nOffset = 0x30000\n[UpgArea]\nSkipFastClear = 1\n",
       "Failed to get min upgrade area offset"},
      {"[Protect]\nName = protect.bin\nOffset = 0x30000\n[UpgArea]\nSkipFastClear = 1\nMin = 0\n",
       "Failed to get max upgrade area offset"},
      {"[Protect]\nName = protect.bin\nOffset = 0x30000\n[UpgArea]\nSkipFastClear = 1\nMin = 0\nMax = 0\n",
       "Failed to get the number of files"},
      {"[Protect]\nName = protect.bin\nOffset = 0x30000\n[UpgArea]\nSkipFastClear = 1\nMin = 0\nMax = 0\n"
       "[Files]\nNumFiles = 1\n",
       "Failed to get the filename"},
  };
  for (const auto& row : rows) {
    Scenario scenario;
    scenario.Update(row.ini);
    const RunResult run = scenario.Run({});
    EXPECT_TRUE(InOrder(run.messages, {"", "*                FAILURE!             *"})) << row.message;
    bool found = false;
    for (const std::string& line : run.messages) found = found || line.rfind(std::string(row.message) + ": ", 0) == 0;
    EXPECT_TRUE(found) << row.message << "\n" << run.output;
    EXPECT_EQ(run.exitCode, 1);
  }
}

TEST(KestraneFlowTest, SensorFailuresEndWithTheirStepsMessage) {
  const struct {
    const char* fault;
    const char* message;
  } rows[] = {
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
    scenario.Sensor(std::string(kDefaultSensor) + "FlashFaults = " + row.fault + "\nFlashFaultStatus = 0x30850\n");
    scenario.Update(
        "[Protect]\nName = protect.bin\nOffset = 0x30000\n"
        "[UpgArea]\nSkipFastClear = 0\nMin = 0x0\nMax = 0x30000\n"
        "[Files]\nNumFiles = 1\n[File1]\nName = fw.bin\nOffset = 0x100000\nSensorSpecific = 0\n");
    const RunResult run = scenario.Run({});
    EXPECT_TRUE(FailedWith(run, row.message, 0x30850)) << row.fault;
  }
}

TEST(KestraneFlowTest, AMissingSensorEndsWithTheOpenFailure) {
  Scenario scenario;
  scenario.Write("work/Tollan.ini", "[Tollan]\nSensors = 0\n");
  const RunResult run = scenario.Run({});
  EXPECT_EQ(run.exitCode, 1);
  bool found = false;
  for (const std::string& line : run.messages) {
    found = found || line.rfind("Failed to open the sensor (Is it connected?): ", 0) == 0;
  }
  EXPECT_TRUE(found) << run.output;
}

TEST(KestraneFlowTest, AnIniPathThatDoesNotFitEndsClearly) {
  Scenario scenario;
  const RunResult run = scenario.Run({std::string(260, 'a'), "0", "0", "0", "0"});
  EXPECT_TRUE(FailedWith(run, "The INI path is too long", 0x10007));
  EXPECT_FALSE(scenario.Exists("work/flash.state"));
}

TEST(KestraneFlowTest, SafeModeWarnsAndGoesOn) {
  Scenario scenario;
  scenario.Sensor(std::string(kDefaultSensor) + "FirmwareMode = 2\n");
  const RunResult run = scenario.Run({}, "", /*nowait=*/true);
  ASSERT_TRUE(Succeeded(run));
  EXPECT_TRUE(InOrder(run.messages, {"* Sensor is in safe mode.                       *",
                                     "* Press CTRL+C in the next 10 seconds to abort. *",
                                     "*** Protecting the sensor: protect.bin -> 0x30000"}));
}

}  // namespace
}  // namespace kestrane::testing
