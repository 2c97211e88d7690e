#include "transaction.h"

#include <bit>
#include <chrono>

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

int32_t ReadReply(port::Handle port, uint8_t* buffer, std::size_t capacity, std::size_t enough) noexcept {
  const int64_t start = WholeSeconds();
  for (;;) {
    std::size_t received = 0;
    if (!port::active().read(port, buffer, capacity, received)) return VEL_READ_FAILED;
    if (received >= enough) return VEL_OK;
    const double elapsed = static_cast<double>(WholeSeconds() - start);
    if (!(elapsed < ReplyTimeout)) return VEL_TIMEOUT;
  }
}

int32_t ProbeTransaction(port::Handle port, const Exchange& exchange, ReplyBuffer& reply) noexcept {
  reply.fill(0);
  if (int32_t rc = Purge(port); rc != VEL_OK) return rc;
  const auto* frame = reinterpret_cast<const uint8_t*>(exchange.frame.data());
  if (!port::active().write(port, frame, exchange.frame.size())) return VEL_WRITE_FAILED;
  if (int32_t rc = ReadReply(port, reply.data(), exchange.capacity, exchange.enough); rc != VEL_OK) return rc;
  if (reply[0] != static_cast<uint8_t>(exchange.letter)) return exchange.wrongLetter;
  return VEL_OK;
}

}  // namespace vel
