// Drives ProbeAddr's reply handling and address write with a byte script:
// bytes arriving at the port in chunks at chosen times, ReadProbeReply calls,
// Write clicks with typed address text (also nested inside a running wait,
// as a user's click would come), and a port that fails. Everything runs on a
// fake clock, so a script of hours takes microseconds. Used by the fuzz target
// and by the tests that replay what it found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv210::fuzz {

// Runs the script and checks what must hold whatever the probe sends: the
// procedures return within their windows, RxText is empty afterwards, the
// kept receive buffer stays bounded, only well-formed frames go out (the
// store pair with a two-digit address, "#00!*"), a shown serial number has
// the serial form, and nothing escapes but the program's own end.
// Returns a description of the first broken promise, or "" when all held.
//
// Script: one byte of starting state (bit 0 Connected, bit 1 BlockRead,
// bits 2-3 SerialFailures, bits 4-5 PollStep, bit 6 Yes to questions), then
// operations until the input ends, each an operation byte (modulo 6) and its
// data:
//   0 d         the next arrival comes d x 4 ms later
//   1 n bytes   n bytes arrive (n as in library_harness.h: 0x00-0x7F, or
//               0x80-0xFE and one more byte)
//   2           ReadProbeReply
//   3 n text    type the text into the address box and click Write
//   4 n text    the same click, nested: it happens at the next arrival's time
//               inside whatever wait is running then
//   5           the port fails from the next arrival's time on
std::string RunToolScript(const uint8_t* data, std::size_t size);

}  // namespace kv210::fuzz
