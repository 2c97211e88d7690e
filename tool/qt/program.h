// ProbeAddr as a Qt program: the windows and the serial-port object handed to
// the program's run.
#pragma once

#include <string>
#include <vector>

namespace probeaddr::qt {

// Runs the program on the QApplication that exists; `arguments` are those it
// was started with, without its own path. Does not return: every way out
// ends the process.
[[noreturn]] void runProbeAddr(std::vector<std::string> arguments);

}  // namespace probeaddr::qt
