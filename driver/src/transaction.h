// One command, one reply: the exchange every command that talks to the probe
// performs, on a port with a reply time-out given by its caller.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "VEL_KV21X.h"
#include "port.h"
#include "protocol.h"

namespace vel {

// A wait that Connection::cancel() ended: no result of the probe's. Only a
// connection can be cancelled; the library's exports never give it.
inline constexpr int32_t kCancelled = -1;

// What an exchange runs on: the port and the reply time-out in seconds
// (counted in whole seconds elapsed). `osError`, when given, receives the
// operating system's error number of a port operation that failed.
struct Link {
  port::Handle port;
  float replyTimeout;
  port::Error* osError = nullptr;
};

// The reply time-out for a count of milliseconds: 0.001 in single precision
// times the count, rounded once to single precision. No range check.
float ReplyTimeoutOf(int32_t milliseconds) noexcept;

// The largest read capacity of a single-reply command, and a NUL after it.
inline constexpr std::size_t kMaxReplyCapacity = protocol::kVersionReplySize;
using ReplyBuffer = std::array<uint8_t, kMaxReplyCapacity + 1>;

// The comm time-outs of every open port: 50 ms between bytes, a read of n
// bytes 50 ms x n + 50 ms at most, a write of n bytes 10 ms x n + 50 ms.
inline constexpr port::Timeouts kCommTimeouts{50, 50, 50, 10, 50};

struct Exchange {
  std::string_view frame;  // written whole, NUL padding included
  std::size_t capacity;    // bytes asked for in each read
  std::size_t enough;      // a read with at least this many bytes completes the reply
  char letter;             // expected first byte
  int32_t wrongLetter;     // result when the first byte differs
  std::size_t tail = 0;    // bytes the probe sends after the ones read, taken in before returning
};

// Purges, writes the frame and reads the reply into `reply` (zeroed first);
// returns the result code of the step that failed, or VEL_OK.
int32_t ProbeTransaction(const Link& link, const Exchange& exchange, ReplyBuffer& reply) noexcept;

// Writes a frame; VEL_WRITE_FAILED (or kCancelled) when the call fails.
int32_t WriteFrame(const Link& link, std::string_view frame) noexcept;

// The timed read loop: reads up to `capacity` bytes into `buffer`, from its
// start each time, until one read delivers `enough` or the whole-second
// time-out has elapsed. A time-out after some bytes came drains the line.
// `received`, when given, gets the count of the read that completed the reply.
int32_t ReadReply(const Link& link, uint8_t* buffer, std::size_t capacity, std::size_t enough,
                  std::size_t* received = nullptr) noexcept;

// Reads and drops up to `limit` bytes, returning once the line has been quiet
// for the read interval or after one second. On a real line a reply's tail is
// still arriving when the call is over; the next command's purge would miss
// it and take it for its own reply.
void DrainLine(const Link& link, std::size_t limit) noexcept;

// Purge with the result code the exports report for it.
int32_t Purge(const Link& link) noexcept;

// Single-precision value stored least significant byte first.
float FloatLE(const uint8_t* bytes) noexcept;

}  // namespace vel
