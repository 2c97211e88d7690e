// Settings: frequency, filter and automatic switch-off time. Each frame
// carries its value in decimal and is written with a fixed length, padded
// with NUL bytes after the '*'.
#include <charconv>
#include <cmath>
#include <optional>

#include "probe_commands.h"

namespace vel {
namespace {

struct Frame {
  std::array<char, protocol::kFrequencyFrameSize> bytes{};  // the longest settings frame
  std::size_t size = 0;
  std::string_view view() const { return {bytes.data(), size}; }
};

// prefix + decimal text of value + '*', padded to `size`; nothing when it does not fit.
std::optional<Frame> SettingFrame(std::string_view prefix, int32_t value, std::size_t size) noexcept {
  Frame frame;
  frame.size = size;
  char* out = frame.bytes.data();
  char* const end = out + size;
  for (char c : prefix) *out++ = c;
  auto [digitsEnd, ec] = std::to_chars(out, end, value);
  if (ec != std::errc{} || digitsEnd == end) return std::nullopt;  // no room left for the '*'
  *digitsEnd = protocol::kFrameEnd;
  return frame;
}

// The exchange of a setting whose reply is judged by its letter alone.
int32_t Confirmed(const Link& link, const Frame& frame, std::size_t capacity, char letter) noexcept {
  if (link.port == port::kInvalidHandle) return VEL_INVALID_HANDLE;
  ReplyBuffer reply;
  const Exchange exchange{frame.view(), capacity, protocol::kSettingReplyEnough, letter, VEL_NOT_CONFIRMED};
  return ProbeTransaction(link, exchange, reply);
}

}  // namespace

int32_t SetFrequency(const Link& link, int32_t setting) noexcept {
  const auto frame = SettingFrame(protocol::kFrequencyPrefix, setting, protocol::kFrequencyFrameSize);
  if (!frame) return VEL_OUT_OF_RANGE;  // more than seven characters: the probe could not take it
  if (link.port == port::kInvalidHandle) return VEL_INVALID_HANDLE;
  ReplyBuffer reply;
  const Exchange exchange{frame->view(), protocol::kFrequencyReplySize, protocol::kFrequencyReplySize,
                          protocol::kFrequencyLetter, VEL_WRONG_REPLY};
  if (int32_t rc = ProbeTransaction(link, exchange, reply); rc != VEL_OK) return rc;
  // The probe echoes the frequency it took; x 100, truncated, must give the setting.
  const double echo = std::trunc(static_cast<double>(FloatLE(reply.data() + 1)) * 100.0);
  return echo == static_cast<double>(setting) ? VEL_OK : VEL_NOT_CONFIRMED;
}

int32_t SetFilter(const Link& link, int32_t setting) noexcept {
  if (setting < 0 || setting > protocol::kFilterMax) return VEL_OUT_OF_RANGE;
  return Confirmed(link, *SettingFrame(protocol::kFilterPrefix, setting, protocol::kFilterFrameSize),
                   protocol::kFilterReplySize, protocol::kFilterLetter);
}

int32_t SetAutoOffTime(const Link& link, int32_t setting) noexcept {
  if (setting < 0 || setting > protocol::kAutoOffMax) return VEL_OUT_OF_RANGE;
  return Confirmed(link, *SettingFrame(protocol::kAutoOffPrefix, setting, protocol::kAutoOffFrameSize),
                   protocol::kAutoOffReplySize, protocol::kAutoOffLetter);
}

}  // namespace vel
