// ProbeAddr as a Win32 program: the windows, the serial-port object and the
// logic wired together, from start-up to the end of the process.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace probeaddr::win32 {

// Runs the program; `arguments` are those it was started with, without its
// own path. Does not return: every way out ends the process.
[[noreturn]] void runProbeAddr(HINSTANCE instance, std::vector<std::string> arguments);

}  // namespace probeaddr::win32
