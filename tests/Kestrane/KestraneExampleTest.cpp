// The ready example under examples/kestrane updates the simulated sensor.
#include "KestraneRun.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

namespace kestrane::testing {
namespace {

std::string ExampleFile(const std::string& relative) {
  std::ifstream in(std::string(KESTRANE_EXAMPLE_DIR) + "/" + relative, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

std::string Bytes(const tollan::sensor::FlashFile& file) {
  return std::string(file.content.begin(), file.content.end());
}

TEST(KestraneExampleTest, UpdatesTheExampleSensor) {
  Scenario scenario;
  for (const char* name : {"Tollan.ini", "Kestrane_TB452.ini", "NESIDB.txt", "SensorNesaParams.xml.bin.fla",
                           "firmware.bin", "dsp.bin", "identity.bin", "protect.bin"}) {
    scenario.Write(std::string("work/") + name, ExampleFile(std::string("work/") + name));
  }
  scenario.MakeDirectory("DB/SIM0001");
  scenario.Write("DB/SIM0001/calibration.bin", ExampleFile("DB/SIM0001/calibration.bin"));

  const RunResult run = scenario.Run({}, "SIM0001\n");
  ASSERT_TRUE(Succeeded(run));
  const std::vector<tollan::sensor::FlashFile> flash = scenario.Flash();
  const auto firmware = FileAt(flash, 0x100000);
  const auto calibration = FileAt(flash, 0x10000);
  const auto identity = FileAt(flash, 0x20000);
  const auto nesa = FileAt(flash, 0x60000);
  ASSERT_TRUE(firmware && calibration && identity && nesa);
  EXPECT_EQ(Bytes(*firmware), ExampleFile("work/firmware.bin"));
  EXPECT_EQ(Bytes(*calibration), ExampleFile("DB/SIM0001/calibration.bin"));
  EXPECT_EQ(Bytes(*identity).substr(14, 8), std::string("SIM0001\0", 8));
  EXPECT_EQ(nesa->size, 78u);
  EXPECT_NE(nesa->crc, 0x040E);  // no longer the default parameters
  EXPECT_FALSE(FileAt(flash, 0x30000));
}

}  // namespace
}  // namespace kestrane::testing
