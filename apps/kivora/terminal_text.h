#pragma once
// Text from files (profile descriptions, option values) on its way to a
// terminal: control characters could move the cursor, set the window title
// or clear the screen, and invalid UTF-8 garbles what follows it.
#include <string>

namespace kivora::app {

// text with every control character (C0, DEL and C1) written as an escape
// (\n, \t, \r, \xHH for the other C0 ones and DEL, \u0080..\u009f for C1)
// and every byte that is not part of valid UTF-8 replaced by U+FFFD.
std::string TerminalText(const std::string& text);

}  // namespace kivora::app
