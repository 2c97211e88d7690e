// Time for ProbeAddr on Windows: the performance counter, which never steps
// with the wall clock, and the waits' time-outs in milliseconds.
#pragma once

#include <windows.h>

#include <algorithm>
#include <chrono>

#include "probeaddr/clock.h"

namespace probeaddr::win32 {

class PerformanceCounterClock final : public Clock {
 public:
  PerformanceCounterClock() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    ticksPerSecond_ = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
  }
  TimePoint now() override {
    LARGE_INTEGER ticks;
    QueryPerformanceCounter(&ticks);
    // Whole seconds and the rest apart, so that nothing overflows.
    const auto seconds = std::chrono::seconds(ticks.QuadPart / ticksPerSecond_);
    const auto rest = std::chrono::nanoseconds(ticks.QuadPart % ticksPerSecond_ * 1'000'000'000 / ticksPerSecond_);
    return TimePoint(std::chrono::duration_cast<Duration>(seconds + rest));
  }

 private:
  long long ticksPerSecond_;
};

// How often a wait looks at the port when its arrival event cannot be had.
inline constexpr DWORD kPollWithoutEventMs = 5;

// Milliseconds from now until `deadline`, rounded up; 0 once it has passed.
inline DWORD millisecondsUntil(TimePoint deadline, Clock& clock) {
  const long long left = std::chrono::ceil<std::chrono::milliseconds>(deadline - clock.now()).count();
  return left <= 0 ? 0 : static_cast<DWORD>(std::min<long long>(left, 24LL * 3600 * 1000));
}

}  // namespace probeaddr::win32
