// ovalith view: the live viewer in the browser (docs/viewer.md).
#pragma once

#include "ToolCommon.h"

namespace ovalith_tool {

// Adds the "view" subcommand to app; when chosen it stores its action in
// *command.
void AddViewCommand(CLI::App& app, Command* command);

}  // namespace ovalith_tool
