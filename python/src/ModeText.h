// Stream modes as the command-line tool writes them, for the Python package
// (see ModeText.cpp). Called with the GIL held, from one thread at a time
// per device.
#pragma once

#include "ToolCommon.h"

#include <string>

namespace ovalith_tool {
// The message of the last failed ParseStreamMode on this thread.
std::string LastFailure();
}  // namespace ovalith_tool
