// ProbeAddr as a Win32 program: the windows and the serial-port object handed
// to the program's run.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

namespace probeaddr::win32 {

// Runs the program; `arguments` are those it was started with, without its
// own path. Does not return: every way out ends the process.
[[noreturn]] void runProbeAddr(HINSTANCE instance, std::vector<std::string> arguments);

}  // namespace probeaddr::win32
