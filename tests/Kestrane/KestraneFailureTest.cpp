// Whole runs of Kestrane that go wrong: damaged inputs, a lost console, a re-run after a failed update, a damaged
// flash state.
#include <Tollan/TollanStatus.h>

#include "KestraneRun.h"

namespace kestrane::testing {
namespace {

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
    std::string database;
    std::vector<std::string> arguments;
    std::string file;  // a local file the update names, replaced by content ("(none)": removed)
    std::string content;
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
    const RunResult failed = scenario.Run({});
    EXPECT_TRUE(FailedWith(failed, "Failed to upload", kInjectedStatus));
    const std::optional<FlashFile> left = FileAt(scenario.Flash(), 0x30000);
    ASSERT_TRUE(left);
    EXPECT_EQ(left->type, 25);
    EXPECT_FALSE(FileAt(scenario.Flash(), 0x100000));
    // The same update again, the fault gone.
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
