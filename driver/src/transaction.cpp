#include "transaction.h"

#include <algorithm>
#include <bit>
#include <chrono>
#include <cstdint>

namespace vel {

float ReplyTimeout = 0.5f;
std::array<uint8_t, protocol::kDataBlockSize> ProbeDataBlock{};

namespace {

// Whole seconds on the monotonic clock: elapsed time keeps its whole-second
// resolution, while wall-clock steps can neither stretch nor cut a wait.
int64_t WholeSeconds() noexcept {
  using namespace std::chrono;
  return duration_cast<seconds>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace

float FloatLE(const uint8_t* bytes) noexcept {
  uint32_t bits = uint32_t{bytes[0]} | uint32_t{bytes[1]} << 8 | uint32_t{bytes[2]} << 16 |
                  uint32_t{bytes[3]} << 24;
  return std::bit_cast<float>(bits);
}

float FieldLimit() noexcept { return FloatLE(ProbeDataBlock.data() + protocol::kFieldLimitOffset); }

int32_t Purge(port::Handle port) noexcept {
  return port::active().purge(port) ? VEL_OK : VEL_PURGE_FAILED;
}

void DrainLine(port::Handle port, std::size_t limit) noexcept {
  // Unlike a comm read, which waits for its first byte as long as for all of
  // them, each read here gives up after one interval of silence.
  constexpr port::Timeouts kQuiet{kCommTimeouts.readInterval, 0, kCommTimeouts.readInterval,
                                  kCommTimeouts.writeMultiplier, kCommTimeouts.writeConstant};
  port::Backend& backend = port::active();
  if (!backend.setTimeouts(port, kQuiet)) return;
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  uint8_t scratch[64];
  while (limit > 0 && std::chrono::steady_clock::now() < end) {
    std::size_t received = 0;
    if (!backend.read(port, scratch, std::min(limit, sizeof scratch), received) || received == 0) break;
    limit -= received;
  }
  backend.setTimeouts(port, kCommTimeouts);
}

int32_t ReadReply(port::Handle port, uint8_t* buffer, std::size_t capacity, std::size_t enough,
                  std::size_t* complete) noexcept {
  const int64_t start = WholeSeconds();
  bool anyArrived = false;
  for (;;) {
    std::size_t received = 0;
    if (!port::active().read(port, buffer, capacity, received)) return VEL_READ_FAILED;
    if (received >= enough) {
      if (complete) *complete = received;
      return VEL_OK;
    }
    anyArrived = anyArrived || received > 0;
    const double elapsed = static_cast<double>(WholeSeconds() - start);
    if (!(elapsed < ReplyTimeout)) {
      if (anyArrived) DrainLine(port, SIZE_MAX);
      return VEL_TIMEOUT;
    }
  }
}

int32_t ProbeTransaction(port::Handle port, const Exchange& exchange, ReplyBuffer& reply) noexcept {
  reply.fill(0);
  if (int32_t rc = Purge(port); rc != VEL_OK) return rc;
  const auto* frame = reinterpret_cast<const uint8_t*>(exchange.frame.data());
  if (!port::active().write(port, frame, exchange.frame.size())) return VEL_WRITE_FAILED;
  if (int32_t rc = ReadReply(port, reply.data(), exchange.capacity, exchange.enough); rc != VEL_OK) return rc;
  if (reply[0] != static_cast<uint8_t>(exchange.letter)) {
    DrainLine(port, SIZE_MAX);  // the rest of the wrong reply
    return exchange.wrongLetter;
  }
  if (exchange.tail > 0) DrainLine(port, exchange.tail);
  return VEL_OK;
}

}  // namespace vel
