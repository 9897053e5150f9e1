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

TEST(KestraneExampleTest, UpdatesTheExampleSensor) {
  Scenario scenario;
  for (const std::string name : {"work/Tollan.ini", "work/Kestrane_TB452.ini", "work/NESIDB.txt",
                                 "work/SensorNesaParams.xml.bin.fla", "work/firmware.bin", "work/dsp.bin",
                                 "work/identity.bin", "work/protect.bin", "DB/SIM0001/calibration.bin"}) {
    scenario.MakeDirectory(name.substr(0, name.rfind('/')));
    scenario.Write(name, ExampleFile(name));
  }
  ASSERT_TRUE(Succeeded(scenario.Run({}, "SIM0001\n", /*nowait=*/true)));
  const std::vector<FlashFile> flash = scenario.Flash();
  const auto firmware = FileAt(flash, 0x100000), calibration = FileAt(flash, 0x10000);
  const auto identity = FileAt(flash, 0x20000), nesa = FileAt(flash, 0x60000);
  ASSERT_TRUE(firmware && calibration && identity && nesa);
  auto bytes = [](const auto& file) { return std::string(file.content.begin(), file.content.end()); };
  EXPECT_EQ(bytes(*firmware), ExampleFile("work/firmware.bin"));
  EXPECT_EQ(bytes(*calibration), ExampleFile("DB/SIM0001/calibration.bin"));
  EXPECT_TRUE(scenario.Exists("DB/SIM0001/calibration.bin"));  // a database file is never deleted
  EXPECT_EQ(bytes(*identity).substr(14, 8), std::string("SIM0001\0", 8));
  EXPECT_EQ(nesa->size, 78u);
  EXPECT_NE(nesa->crc, 0x040E);  // no longer the default parameters
  EXPECT_FALSE(FileAt(flash, 0x30000));
}

}  // namespace
}  // namespace kestrane::testing
