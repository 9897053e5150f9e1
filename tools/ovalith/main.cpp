// ovalith: the command-line tool of the engine. It lists sensors, shows
// their settings, records, plays back, saves pictures and point clouds and
// backs up a sensor's flash, using nothing but the engine's public
// interface. Run without arguments it prints its help.
#include "ToolCommon.h"
#include "view/ViewCommand.h"

#include <csignal>
#include <cstdio>

namespace {

const char* SeverityName(int32_t severity) {
  switch (severity) {
    case KR_LOG_SEVERITY_VERBOSE:
      return "verbose";
    case KR_LOG_SEVERITY_INFO:
      return "info";
    case KR_LOG_SEVERITY_WARNING:
      return "warning";
    default:
      return "error";
  }
}

// The log of the engine and the kit goes to standard error: what they warn
// about (a bad configuration key, a recording opened without its index)
// is what a user needs to see.
void OnLogLine(const char* mask, int32_t severity, const char* /*file*/, int /*line*/, const char* message,
               void* /*cookie*/) {
  std::fprintf(stderr, "ovalith: %s %s: %s\n", mask != nullptr && *mask != '\0' ? mask : "log",
               SeverityName(severity), message);
}

int RunWithEngine(const std::string& kitDirectory, bool verbose, const ovalith_tool::Command& command) {
  krLogSetMaskMinSeverity("ALL", verbose ? KR_LOG_SEVERITY_VERBOSE : KR_LOG_SEVERITY_WARNING);
  krLogSetCallback(OnLogLine, nullptr);
  int result = ovalith_tool::kExitFailed;
  if (ovalith_tool::Check(KrVDevice::EngineInit(nullptr, kitDirectory.c_str()), "cannot start the engine")) {
    result = command();
    KrVDevice::EngineShutdown();
  }
  krLogSetCallback(nullptr, nullptr);
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  // A file size limit fails the write (EFBIG), which every command then
  // reports, instead of killing the tool in the middle of a chunk.
  std::signal(SIGXFSZ, SIG_IGN);
  CLI::App app{"ovalith: list depth sensors, show their settings, record, play back, and save depth pictures and "
               "point clouds. Runs on the simulated sensor \"*:0\" unless told otherwise."};
  std::string kitDirectory = ".";
  app.add_option("--kit-dir", kitDirectory, "folder whose Tollan.ini configures the device kit")
      ->capture_default_str();
  bool verbose = false;
  app.add_flag("--verbose", verbose, "show every line of the engine's and the kit's log (default: warnings and errors)");
  app.set_version_flag("--version", "ovalith " OVALITH_VERSION, "print the version of the tool and engine and exit");
  app.footer("To watch a sensor or a recording live, run `ovalith view` (or `ovalith view --file REC`) and open\n"
             "http://127.0.0.1:8080/ in a browser (--port and --bind choose another address).\n"
             "`ovalith COMMAND --help` describes each command.");
  app.require_subcommand(0, 1);
  ovalith_tool::Command command;
  ovalith_tool::AddDeviceCommands(app, &command);
  ovalith_tool::AddRecordingCommands(app, &command);
  ovalith_tool::AddPictureCommands(app, &command);
  ovalith_tool::AddFlashCommands(app, &command);
  ovalith_tool::AddDemoCommand(app, &command);
  ovalith_tool::AddExportCommands(app, &command);
  ovalith_tool::AddImportCommand(app, &command);
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
  return RunWithEngine(kitDirectory, verbose, command);
}
