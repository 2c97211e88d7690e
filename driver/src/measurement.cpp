// Measurements: battery, temperature, total field and axis field.
#include <cmath>

#include "probe_commands.h"

namespace vel {
namespace {

// Conversion constants, each in the precision the probe's calibration uses.
constexpr float kRawScale = 0.0009765625f;  // 1/1024
constexpr double kReference = 1.6;
constexpr float kBatteryDivider = 3.0f;
constexpr double kTemperatureOffset = 0.986;
constexpr float kTemperatureScale = 281.690155029296875f;

int32_t Query(const Link& link, std::string_view frame, std::size_t size, char letter, ReplyBuffer& reply) noexcept {
  if (link.port == port::kInvalidHandle) return VEL_INVALID_HANDLE;
  return ProbeTransaction(link, Exchange{frame, size, size, letter, VEL_WRONG_REPLY}, reply);
}

bool NegativeOrNaN(double v) noexcept { return std::isnan(v) || v < 0; }

}  // namespace

int32_t ReadBattery(const Link& link, float& volts) noexcept {
  ReplyBuffer reply;
  if (int32_t rc = Query(link, protocol::kBatteryQuery, protocol::kBatteryReplySize, protocol::kBatteryLetter, reply))
    return rc;
  const unsigned raw = reply[1] * 256u + reply[2];
  volts = static_cast<float>(static_cast<double>(raw) * kRawScale * kReference * kBatteryDivider);
  return VEL_OK;
}

int32_t ReadTemperature(const Link& link, float& celsius) noexcept {
  ReplyBuffer reply;
  if (int32_t rc = Query(link, protocol::kTemperatureQuery, protocol::kTemperatureReplySize,
                         protocol::kTemperatureLetter, reply))
    return rc;
  const auto raw = static_cast<int16_t>(static_cast<uint16_t>(reply[1] << 8 | reply[2]));
  celsius = static_cast<float>((static_cast<double>(raw) * kRawScale * kReference - kTemperatureOffset) *
                               kTemperatureScale);
  return VEL_OK;
}

int32_t ReadTotalField(const Link& link, const DataBlock& block, float& value) noexcept {
  ReplyBuffer reply;
  if (int32_t rc = Query(link, protocol::kTotalFieldQuery, protocol::kTotalFieldReplySize,
                         protocol::kTotalFieldLetter, reply))
    return rc;
  // The probe sends the square of the total field.
  const double root = std::sqrt(static_cast<double>(FloatLE(reply.data() + 1)));
  if (NegativeOrNaN(root)) return VEL_INVALID_VALUE;
  const auto field = static_cast<float>(root);
  if (field > FieldLimit(block)) return VEL_ABOVE_LIMIT;
  value = field;
  return VEL_OK;
}

int32_t ReadAxisField(const Link& link, const DataBlock& block, std::array<float, 3>& values) noexcept {
  ReplyBuffer reply;
  if (int32_t rc = Query(link, protocol::kAxisFieldQuery, protocol::kAxisFieldReplySize,
                         protocol::kAxisFieldLetter, reply))
    return rc;
  const std::array<float, 3> axis = {FloatLE(reply.data() + 1), FloatLE(reply.data() + 5), FloatLE(reply.data() + 9)};
  // Every value is checked for validity before any is checked against the limit.
  for (float v : axis)
    if (NegativeOrNaN(v)) return VEL_INVALID_VALUE;
  const float limit = FieldLimit(block);
  for (float v : axis)
    if (v > limit) return VEL_ABOVE_LIMIT;
  values = axis;
  return VEL_OK;
}

}  // namespace vel
