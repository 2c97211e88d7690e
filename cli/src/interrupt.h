// Ctrl-C (SIGINT), SIGTERM and SIGHUP ask the program to stop: the handler
// only records the request; the work loops look at it between library calls,
// so the port is always closed through the library.
#pragma once

#include <chrono>

namespace velprobe {

// Installs the handlers (without SA_RESTART, so a sleep wakes up) and ignores
// SIGPIPE, so a closed output is an error to handle rather than death.
void installStopHandlers();
bool stopRequested();
// Sleeps until `deadline` or a stop request, whichever comes first, without
// missing a request that arrives just before the sleep. False when stopped.
bool sleepUntil(std::chrono::steady_clock::time_point deadline);

}  // namespace velprobe
