// JSON text for the viewer's state and replies. Property values, device
// names and file names come from the device or a recording and may hold any
// bytes; JSON must be UTF-8, so every text goes through JsonText.
// Pure functions: any thread may call them.
#pragma once

#include <string>

namespace ovalith_view {

// text as a quoted JSON string: quotes, backslashes and control characters
// escaped, and every byte that is not part of a valid UTF-8 sequence
// (including overlong forms, surrogates and code points past U+10FFFF)
// replaced by U+FFFD.
std::string JsonText(const std::string& text);

}  // namespace ovalith_view
