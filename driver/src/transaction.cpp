#include "transaction.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>

namespace vel {
namespace {

// Whole seconds on the monotonic clock: elapsed time keeps its whole-second
// resolution, while wall-clock steps can neither stretch nor cut a wait.
int64_t WholeSeconds() noexcept {
  using namespace std::chrono;
  return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count();
}

// The result code of a failed port operation, keeping its error number for the caller.
int32_t Failed(const Link& link, port::Error error, int32_t code) noexcept {
  if (link.osError) *link.osError = error;
  return error == port::kInterrupted ? kCancelled : code;
}

}  // namespace

float ReplyTimeoutOf(int32_t milliseconds) noexcept {
  // long double holds the product exactly.
  constexpr float kMillisecond = 0.001f;
  return static_cast<float>(static_cast<long double>(milliseconds) * kMillisecond);
}

float FloatLE(const uint8_t* bytes) noexcept {
  uint32_t bits = uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
                  uint32_t{bytes[3]} << 24;
  return std::bit_cast<float>(bits);
}

int32_t Purge(const Link& link) noexcept {
  const port::Error error = port::active().purge(link.port);
  return error ? Failed(link, error, VEL_PURGE_FAILED) : VEL_OK;
}

int32_t WriteFrame(const Link& link, std::string_view frame) noexcept {
  const port::Error error =
      port::active().write(link.port, reinterpret_cast<const uint8_t*>(frame.data()), frame.size());
  return error ? Failed(link, error, VEL_WRITE_FAILED) : VEL_OK;
}

void DrainLine(const Link& link, std::size_t limit) noexcept {
  // Unlike a comm read, which waits for its first byte as long as for all of
  // them, each read here gives up after one interval of silence.
  constexpr port::Timeouts kQuiet{kCommTimeouts.readInterval, 0, kCommTimeouts.readInterval,
                                  kCommTimeouts.writeMultiplier, kCommTimeouts.writeConstant};
  port::Backend& backend = port::active();
  if (backend.setTimeouts(link.port, kQuiet) != 0) return;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  uint8_t scratch[64];
  while (limit > 0 && std::chrono::steady_clock::now() < end) {
    std::size_t received = 0;
    if (backend.read(link.port, scratch, std::min(limit, sizeof scratch), received) != 0 || received == 0) break;
    limit -= received;
  }
  backend.setTimeouts(link.port, kCommTimeouts);
}

int32_t ReadReply(const Link& link, uint8_t* buffer, std::size_t capacity, std::size_t enough,
                  std::size_t* complete) noexcept {
  const int64_t start = WholeSeconds();
  bool anyArrived = false;
  for (;;) {
    std::size_t received = 0;
    if (port::Error error = port::active().read(link.port, buffer, capacity, received))
      return Failed(link, error, VEL_READ_FAILED);
    if (complete) *complete = received;
    if (received >= enough) return VEL_OK;
    anyArrived = anyArrived || received > 0;
    const double elapsed = static_cast<double>(WholeSeconds() - start);
    if (!(elapsed < link.replyTimeout)) {
      if (anyArrived) DrainLine(link, SIZE_MAX);
      return VEL_TIMEOUT;
    }
  }
}

int32_t ProbeTransaction(const Link& link, const Exchange& exchange, ReplyBuffer& reply) noexcept {
  reply.fill(0);
  if (int32_t rc = Purge(link); rc != VEL_OK) return rc;
  if (int32_t rc = WriteFrame(link, exchange.frame); rc != VEL_OK) return rc;
  if (int32_t rc = ReadReply(link, reply.data(), exchange.capacity, exchange.enough); rc != VEL_OK) return rc;
  if (reply[0] != static_cast<uint8_t>(exchange.letter)) {
    DrainLine(link, SIZE_MAX);  // the rest of the wrong reply
    return exchange.wrongLetter;
  }
  if (exchange.tail > 0) DrainLine(link, exchange.tail);
  return VEL_OK;
}

}  // namespace vel
