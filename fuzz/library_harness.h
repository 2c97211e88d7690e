// Drives the library's exports with a byte script: which export, how its port
// behaves, and what arrives on the line before each read. Used by the fuzz
// target and by the regression tests that replay what it once found.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kv210::fuzz {

// Runs the calls the script describes through a scripted port layer and checks
// the library's promises on each: documented result codes, byte-exact frames,
// nothing sent on refused arguments, out-arguments untouched on failure, and
// replies decoded from the bytes that actually arrived. Returns a description
// of the first broken promise, or "" when all held.
//
// Script, repeated until the input ends (at most kMaxCalls calls):
//   byte   export: 0 CreateProbe, 1 Firmware, 2 SerialNumber, 3 ReadBattery,
//          4 ReadTemperature, 5 ReadTotalField, 6 ReadAxisField, 7 SetFrequency,
//          8 SetFilter, 9 SetAutoOffTime, 10 ProbeName, 11 Model,
//          12 CalibrationDate, 13 RemoveProbe (modulo 14)
//   byte   bits 0-1 reply time-out (0 ms, 500 ms, 2500 ms, -1000 ms);
//          bit 2 pass INVALID_HANDLE_VALUE; bits 3-6 the port operation that
//          fails (1 purge, 2 write, 3 line settings, 4 time-outs, 5 close,
//          6 open: not found, 7 open: denied, 8 open: other); bit 7 the
//          second such operation fails instead of the first
//   4 bytes the setting (little-endian int32) or the expected model
//   then, for every read the call makes, one record: 0xFF fails the read;
//   0x80-0xFE with one more byte, or 0x00-0x7F alone, gives a count of bytes
//   that arrive before the read (15 or 7 bits), followed by those bytes. The
//   read takes what is waiting, up to its capacity; a purge drops the rest.
//   A read after the input has ended fails.
std::string RunLibraryScript(const uint8_t* data, std::size_t size);

inline constexpr int kMaxCalls = 16;

}  // namespace kv210::fuzz
