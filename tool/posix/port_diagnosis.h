// Why a serial device named by its path cannot be opened, told the way a
// user can act on it. POSIX only.
#pragma once

#include <string>

namespace probeaddr {

// Looks at the device as it is now (call it right after opening failed) and
// returns one of:
//   "no such device"
//   "not a serial port"
//   "no permission. Your user must be in the 'dialout' group: sudo usermod
//    -aG dialout USER, then log in again"   (the group the device lets in)
//   "no permission; only OWNER may open it"
//   "busy, in use by PROGRAM (PID n)"   (a lock on the device or its lock file)
//   "busy, in use by another program"
std::string describeUnavailablePort(const std::string& path);

}  // namespace probeaddr
