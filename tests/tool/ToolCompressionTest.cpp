// Compressed recordings made by the tool: smaller than raw, every depth
// pixel as the sensor gave it, shown as such by info, and a choice that is
// not a codec refused before anything is recorded.
#include "ToolRun.h"

#include <sys/stat.h>

namespace tool_test {
namespace {

long FileSize(const std::string& path) {
  struct stat status {};
  return ::stat(path.c_str(), &status) == 0 ? static_cast<long>(status.st_size) : -1;
}

TEST(ToolCompression, RecordsLosslesslyIntoFewerBytes) {
  ToolFolder folder;
  const std::vector<std::string> common = {"record", "--streams", "depth,image", "--frames", "8", "--quiet"};
  std::vector<std::string> raw = common, packed = common;
  raw.push_back(folder.Path("raw.rec"));
  packed.insert(packed.end(), {"--compress", "depth=depth,image=lz4", folder.Path("packed.rec")});
  ASSERT_EQ(folder.Run(raw).exitCode, 0);
  const RunResult recorded = folder.Run(packed);
  ASSERT_EQ(recorded.exitCode, 0) << recorded.err;

  EXPECT_LT(FileSize(folder.Path("packed.rec")), FileSize(folder.Path("raw.rec")) * 3 / 4);
  EXPECT_EQ(folder.Run({"play", "--verify", folder.Path("packed.rec")}).exitCode, 0);
  const RunResult info = folder.Run({"info", "--file", folder.Path("packed.rec")});
  ASSERT_EQ(info.exitCode, 0) << info.err;
  EXPECT_NE(info.out.find("codec depth"), std::string::npos) << info.out;
  EXPECT_NE(info.out.find("codec lz4"), std::string::npos) << info.out;

  // The sensor's frames depend only on their number: both files hold the same pixels.
  ToolFolder::Engine engine(folder);
  for (uint32_t number = 1; number <= 8; ++number) {
    DepthFrame fromRaw, fromPacked;
    ASSERT_TRUE(ReadDepthFrame(folder.Path("raw.rec"), number, &fromRaw));
    ASSERT_TRUE(ReadDepthFrame(folder.Path("packed.rec"), number, &fromPacked));
    EXPECT_EQ(fromRaw.pixels, fromPacked.pixels) << "frame " << number;
  }
}

TEST(ToolCompression, RefusesAChoiceThatIsNotACodec) {
  ToolFolder folder;
  for (const char* choice : {"depth=jpeg", "colour=lz4", "depth"}) {
    SCOPED_TRACE(choice);
    const RunResult run =
        folder.Run({"record", "--frames", "2", "--quiet", "--compress", choice, folder.Path("bad.rec")});
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_NE(run.err.find("--compress"), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace tool_test
