// Text for the window layers' test logs: one line per event, tab-separated,
// so blanks, tabs, line ends and control bytes in a field are escaped.
#pragma once

#include <string>
#include <string_view>

namespace probeaddr {

// "\\" for a backslash, "\t", "\r", "\n", "\xNN" for other control bytes.
std::string escapeForLog(std::string_view text);

}  // namespace probeaddr
