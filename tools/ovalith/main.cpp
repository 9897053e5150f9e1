// ovalith: the command-line tool of the engine. It lists sensors, shows
// their settings, records, plays back, saves pictures and point clouds and
// backs up a sensor's flash, using nothing but the engine's public
// interface. Run without arguments it prints its help.
#include "ToolCommon.h"
#include "view/ViewCommand.h"

#include <cstdio>

namespace {

int RunWithEngine(const std::string& kitDirectory, const ovalith_tool::Command& command) {
  if (!ovalith_tool::Check(KrVDevice::EngineInit(nullptr, kitDirectory.c_str()), "cannot start the engine")) {
    return ovalith_tool::kExitFailed;
  }
  const int result = command();
  KrVDevice::EngineShutdown();
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"ovalith: list depth sensors, show their settings, record, play back, and save depth pictures and "
               "point clouds. Runs on the simulated sensor \"*:0\" unless told otherwise."};
  std::string kitDirectory = ".";
  app.add_option("--kit-dir", kitDirectory, "folder whose Tollan.ini configures the device kit")
      ->capture_default_str();
  app.require_subcommand(0, 1);
  ovalith_tool::Command command;
  ovalith_tool::AddDeviceCommands(app, &command);
  ovalith_tool::AddRecordingCommands(app, &command);
  ovalith_tool::AddPictureCommands(app, &command);
  ovalith_tool::AddFlashCommands(app, &command);
  ovalith_tool::AddDemoCommand(app, &command);
  ovalith_tool::AddViewCommand(app, &command);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error);
  }
  if (!command) {
    std::fputs(app.help().c_str(), stdout);
    return ovalith_tool::kExitOk;
  }
  return RunWithEngine(kitDirectory, command);
}
