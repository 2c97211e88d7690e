// Basic types shared by ProbeAddr's logic and the layers that implement its
// interfaces.
#pragma once

#include <chrono>
#include <cstdint>
#include <vector>

namespace probeaddr {

// Bytes as read from the serial port, index 0 first. Texts (std::string) hold
// one character per byte: bytes 0..255 map to Latin-1 characters and back.
using Bytes = std::vector<std::uint8_t>;

// Every wait and every elapsed-time test runs on one monotonic clock, so
// nothing stalls or fires early when the wall clock steps or midnight passes.
using TimePoint = std::chrono::steady_clock::time_point;
using Duration = std::chrono::steady_clock::duration;

}  // namespace probeaddr
