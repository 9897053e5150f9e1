// What a newcomer meets first in the ovalith tool: its version and help, an
// info page that fits a terminal, and one way of numbering frames.
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

// The rest of the line that starts with start ("" when none does).
std::string LineValue(const std::string& text, const std::string& start) {
  const size_t at = text.find("\n" + start);
  if (at == std::string::npos) return std::string();
  const size_t from = at + 1 + start.size();
  return text.substr(from, text.find('\n', from) - from);
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
  const unsigned long entries = std::stoul(LineValue(info.out, "  MaxShift = ")) + 1;
  const std::string s2d = LineValue(info.out, "  S2D = ");
  EXPECT_EQ(s2d.rfind(std::to_string(2 * entries) + " bytes, " + std::to_string(entries) + " 16-bit entries: ", 0), 0u)
      << s2d;
  EXPECT_TRUE(Holds(s2d, "--full"));
  // --full shows every byte, as hexadecimal pairs.
  const RunResult full = folder.Run({"info", "--full"});
  ASSERT_TRUE(Succeeded(full));
  const std::string hex = LineValue(full.out, "  S2D = ");
  EXPECT_EQ(hex.size(), 4 * entries);
  EXPECT_EQ(hex.find_first_not_of("0123456789abcdef"), std::string::npos);
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
