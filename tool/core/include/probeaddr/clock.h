// The clock of ProbeAddr's logic.
#pragma once

#include "probeaddr/types.h"

namespace probeaddr {

class Clock {
 public:
  virtual ~Clock() = default;
  // Monotonic time. The deadlines handed to CommPort::waitForInput and
  // EventPump::waitForEvents are on this clock.
  virtual TimePoint now() = 0;
};

// The system's monotonic clock, for every real program.
class SteadyClock final : public Clock {
 public:
  TimePoint now() override { return std::chrono::steady_clock::now(); }
};

}  // namespace probeaddr
