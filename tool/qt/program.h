// ProbeAddr as a Qt program: the windows, the serial-port object and the
// logic wired together, from start-up to the end of the process.
#pragma once

#include <string>
#include <vector>

namespace probeaddr::qt {

// Runs the program on the QApplication that exists; `commandLine` is the
// arguments joined by single spaces. Does not return: every way out ends the
// process.
[[noreturn]] void runProbeAddr(std::vector<std::string> arguments);

}  // namespace probeaddr::qt
