// ProbeAddr as a Qt program: the windows, the serial-port object and the
// logic wired together, from start-up to the end of the process.
#pragma once

#include <string>

namespace probeaddr::qt {

// Runs the program on the QApplication that exists; `commandLine` is the
// arguments joined by single spaces. Does not return: every way out ends the
// process.
[[noreturn]] void runProbeAddr(const std::string& commandLine);

}  // namespace probeaddr::qt
