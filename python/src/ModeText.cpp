// The command-line tool's stream-mode grammar ("640x480@30:depth",
// "44100x1@30") for the Python package: the tool's own parser and its list
// of offered modes (tools/ovalith/StreamModes.cpp) are compiled into the
// extension, and the two tool functions they call are given here, with a
// failure kept for the caller instead of printed.
#include "ModeText.h"

namespace ovalith_tool {

namespace {
thread_local std::string lastFailure;
}  // namespace

bool Fail(const std::string& message) {
  lastFailure = message;
  return false;
}

std::string StreamTypeOf(const std::string& optionName) {
  static const char* const kTypes[][2] = {{"depth", "Depth"}, {"image", "Image"}, {"ir", "IR"}, {"audio", "Audio"}};
  for (const auto& row : kTypes) {
    if (optionName == row[0]) return row[1];
  }
  return std::string();
}

std::string LastFailure() {
  // The tool's text names its option ("--depth ..."); Python names the stream.
  return lastFailure.rfind("--", 0) == 0 ? lastFailure.substr(2) : lastFailure;
}

}  // namespace ovalith_tool
