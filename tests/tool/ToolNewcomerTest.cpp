// What a newcomer meets first in the ovalith tool: its version and help, an
// info page that fits a terminal, and one way of numbering frames.
#include <regex>

#include "ToolRun.h"

namespace tool_test {
namespace {

// The lines of text, with the length of the longest.
size_t LongestLine(const std::string& text) {
  size_t longest = 0;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) longest = std::max(longest, line.size());
  return longest;
}

TEST(ToolNewcomer, VersionHelpAndInfoTellWhatTheyShould) {
  ToolFolder folder;
  const RunResult version = folder.Run({"--version"});
  ASSERT_TRUE(Succeeded(version));
  EXPECT_EQ(version.out, "ovalith " OVALITH_PROJECT_VERSION "\n");
  const RunResult help = folder.Run({"--help"});
  ASSERT_TRUE(Succeeded(help));
  EXPECT_TRUE(Holds(help.out, "ovalith view"));
  EXPECT_TRUE(Holds(help.out, "http://127.0.0.1:8080/"));

  // The depth tables are summarised: their size and entries at both ends. The shift table has an entry for every
  // shift up to "MaxShift", 16 bits each.
  const RunResult info = folder.Run({"info"});
  ASSERT_TRUE(Succeeded(info));
  EXPECT_LT(LongestLine(info.out), 200u);
  std::smatch maxShift, s2d;
  ASSERT_TRUE(std::regex_search(info.out, maxShift, std::regex("\n  MaxShift = (\\d+)\n")));
  const unsigned long entries = std::stoul(maxShift[1]) + 1;
  ASSERT_TRUE(std::regex_search(info.out, s2d, std::regex("\n  S2D = (\\d+) bytes, (\\d+) 16-bit entries: [^\n]*\n")));
  EXPECT_EQ(std::stoul(s2d[1]), 2 * entries);
  EXPECT_EQ(std::stoul(s2d[2]), entries);
  EXPECT_TRUE(Holds(s2d[0], "--full"));
  // --full shows every byte, as hexadecimal pairs.
  const RunResult full = folder.Run({"info", "--full"});
  ASSERT_TRUE(Succeeded(full));
  ASSERT_TRUE(std::regex_search(full.out, s2d, std::regex("\n  S2D = ([0-9a-f]+)\n")));
  EXPECT_EQ(s2d[1].length(), 4 * entries);
}

// A recording started after the sensor ran a while holds frames whose ids do not start at 1: the tool counts the
// recording's frames from 1 and shows the id beside the number.
TEST(ToolNewcomer, FramesAreCountedFromOneWithTheirIdWhereItDiffers) {
  ToolFolder folder;
  constexpr int kReadBefore = 4;
  {
    ToolFolder::Engine engine(folder);
    KrVDevice sensor;
    ASSERT_EQ(sensor.CreateSensor("*:0", nullptr, KR_DEVICE_SHARING_EXCLUSIVE), KR_STATUS_OK);
    ASSERT_EQ(sensor.AddStream("Depth", "Depth", nullptr), KR_STATUS_OK);
    ASSERT_EQ(sensor.OpenAllStreams(), KR_STATUS_OK);
    for (int i = 0; i < kReadBefore; ++i) ASSERT_EQ(sensor.Read(), KR_STATUS_OK);
    KrVDeviceRecorder recorder(&sensor, folder.Path("late.rec").c_str());
    ASSERT_EQ(recorder.StartRecording(1), KR_STATUS_OK);
    for (int i = 0; i < 3; ++i) {
      ASSERT_EQ(sensor.Read(), KR_STATUS_OK);
      ASSERT_EQ(recorder.WriteData(), KR_STATUS_OK);
    }
    ASSERT_EQ(recorder.StopRecording(), KR_STATUS_OK);
  }
  DepthFrame second;
  ASSERT_TRUE(ReadDepthFrame(folder, "late.rec", 2, &second));
  const std::string label = "frame 2 (id " + std::to_string(second.frameId) + ")";
  ASSERT_GT(second.frameId, 2u);
  const RunResult snapshot = folder.Run({"snapshot", "--file", "late.rec", "--frame", "2", "--depth16", "d.png"});
  ASSERT_TRUE(Succeeded(snapshot));
  EXPECT_TRUE(Holds(snapshot.out, "depth " + label + " (640x480) of late.rec\n"));
  const RunResult cloud = folder.Run({"cloud", "--file", "late.rec", "--frame", "2", "--out", "c.ply"});
  ASSERT_TRUE(Succeeded(cloud));
  EXPECT_TRUE(Holds(cloud.out, "depth " + label + " of late.rec: "));
  // A sensor's first frame has id 1: no id is shown.
  const RunResult live = folder.Run({"snapshot", "--frame", "1", "--depth16", "l.png"});
  ASSERT_TRUE(Succeeded(live));
  EXPECT_TRUE(Holds(live.out, "depth frame 1 (640x480) of *:0\n"));
}

}  // namespace
}  // namespace tool_test
