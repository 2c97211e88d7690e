// The state the C interface keeps for the whole process: one reply time-out
// and one data block, shared by every handle (the C++ core keeps both per
// Connection instead).
#pragma once

#include "probe_commands.h"

namespace vel {

// Reply time-out in seconds for every handle; 0.5 at load.
extern float ReplyTimeout;
// The data block of the probe opened last, whichever handle a call gives; all zero at load.
extern DataBlock ProbeDataBlock;

}  // namespace vel
