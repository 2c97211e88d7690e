// Settings exports: frequency, filter and automatic switch-off time. Each frame
// carries its value in decimal and is written with a fixed length, padded
// with NUL bytes after the '*'.
#include <charconv>
#include <cmath>
#include <optional>

#include "transaction.h"

using namespace vel;

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

}  // namespace

extern "C" VEL_API int32_t VEL_CALL VEL_SetFrequency(HANDLE port, int32_t setting) {
  const auto frame = SettingFrame(protocol::kFrequencyPrefix, setting, protocol::kFrequencyFrameSize);
  if (!frame) return VEL_OUT_OF_RANGE;  // more than seven characters: the probe could not take it
  if (isInvalid(port)) return VEL_INVALID_HANDLE;
  ReplyBuffer reply;
  const Exchange exchange{frame->view(), protocol::kFrequencyReplySize, protocol::kFrequencyReplySize,
                          protocol::kFrequencyLetter, VEL_WRONG_REPLY};
  if (int32_t rc = ProbeTransaction(toHandle(port), exchange, reply); rc != VEL_OK) return rc;
  // The probe echoes the frequency it took; x 100, truncated, must give the setting.
  const double echo = std::trunc(static_cast<double>(FloatLE(reply.data() + 1)) * 100.0);
  return echo == static_cast<double>(setting) ? VEL_OK : VEL_NOT_CONFIRMED;
}

extern "C" VEL_API int32_t VEL_CALL VEL_SetFilter(HANDLE port, int32_t setting) {
  if (setting < 0 || setting > protocol::kFilterMax) return VEL_OUT_OF_RANGE;
  if (isInvalid(port)) return VEL_INVALID_HANDLE;
  const auto frame = SettingFrame(protocol::kFilterPrefix, setting, protocol::kFilterFrameSize);
  ReplyBuffer reply;
  const Exchange exchange{frame->view(), protocol::kFilterReplySize, protocol::kSettingReplyEnough,
                          protocol::kFilterLetter, VEL_NOT_CONFIRMED};
  return ProbeTransaction(toHandle(port), exchange, reply);
}

extern "C" VEL_API int32_t VEL_CALL VEL_SetAutoOffTime(HANDLE port, int32_t setting) {
  if (setting < 0 || setting > protocol::kAutoOffMax) return VEL_OUT_OF_RANGE;
  if (isInvalid(port)) return VEL_INVALID_HANDLE;
  const auto frame = SettingFrame(protocol::kAutoOffPrefix, setting, protocol::kAutoOffFrameSize);
  ReplyBuffer reply;
  const Exchange exchange{frame->view(), protocol::kAutoOffReplySize, protocol::kSettingReplyEnough,
                          protocol::kAutoOffLetter, VEL_NOT_CONFIRMED};
  return ProbeTransaction(toHandle(port), exchange, reply);
}
