// Measurement exports: battery, temperature, total field and axis field.
#include <cmath>

#include "transaction.h"

using namespace vel;

namespace {

// Conversion constants, each in the precision the probe's calibration uses.
constexpr float kRawScale = 0.0009765625f;  // 1/1024
constexpr double kReference = 1.6;
constexpr float kBatteryDivider = 3.0f;
constexpr double kTemperatureOffset = 0.986;
constexpr float kTemperatureScale = 281.690155029296875f;

int32_t Query(HANDLE port, std::string_view frame, std::size_t size, char letter, ReplyBuffer& reply) noexcept {
  return ProbeTransaction(toHandle(port), Exchange{frame, size, size, letter, VEL_WRONG_REPLY}, reply);
}

bool NegativeOrNaN(double v) noexcept { return std::isnan(v) || v < 0; }

}  // namespace

extern "C" VEL_API int32_t VEL_CALL VEL_ReadBattery(HANDLE port, float* value) {
  if (isInvalid(port)) return VEL_INVALID_HANDLE;
  if (value == nullptr) return VEL_NULL_ARGUMENT;
  ReplyBuffer reply;
  if (int32_t rc = Query(port, protocol::kBatteryQuery, protocol::kBatteryReplySize, protocol::kBatteryLetter, reply))
    return rc;
  const unsigned raw = reply[1] * 256u + reply[2];
  *value = static_cast<float>(static_cast<double>(raw) * kRawScale * kReference * kBatteryDivider);
  return VEL_OK;
}

extern "C" VEL_API int32_t VEL_CALL VEL_ReadTemperature(HANDLE port, float* value) {
  if (isInvalid(port)) return VEL_INVALID_HANDLE;
  if (value == nullptr) return VEL_NULL_ARGUMENT;
  ReplyBuffer reply;
  if (int32_t rc = Query(port, protocol::kTemperatureQuery, protocol::kTemperatureReplySize,
                         protocol::kTemperatureLetter, reply))
    return rc;
  const auto raw = static_cast<int16_t>(static_cast<uint16_t>(reply[1] << 8 | reply[2]));
  *value = static_cast<float>((static_cast<double>(raw) * kRawScale * kReference - kTemperatureOffset) *
                              kTemperatureScale);
  return VEL_OK;
}

extern "C" VEL_API int32_t VEL_CALL VEL_ReadTotalField(HANDLE port, float* value) {
  if (isInvalid(port)) return VEL_INVALID_HANDLE;
  if (value == nullptr) return VEL_NULL_ARGUMENT;
  ReplyBuffer reply;
  if (int32_t rc = Query(port, protocol::kTotalFieldQuery, protocol::kTotalFieldReplySize,
                         protocol::kTotalFieldLetter, reply))
    return rc;
  // The probe sends the square of the total field.
  const double root = std::sqrt(static_cast<double>(FloatLE(reply.data() + 1)));
  if (NegativeOrNaN(root)) return VEL_INVALID_VALUE;
  const auto field = static_cast<float>(root);
  if (field > FieldLimit()) return VEL_ABOVE_LIMIT;
  *value = field;
  return VEL_OK;
}

extern "C" VEL_API int32_t VEL_CALL VEL_ReadAxisField(HANDLE port, float* first, float* second, float* third) {
  if (isInvalid(port)) return VEL_INVALID_HANDLE;
  if (first == nullptr || second == nullptr || third == nullptr) return VEL_NULL_ARGUMENT;
  ReplyBuffer reply;
  if (int32_t rc = Query(port, protocol::kAxisFieldQuery, protocol::kAxisFieldReplySize,
                         protocol::kAxisFieldLetter, reply))
    return rc;
  const float axis[3] = {FloatLE(reply.data() + 1), FloatLE(reply.data() + 5), FloatLE(reply.data() + 9)};
  // Every value is checked for validity before any is checked against the limit.
  for (float v : axis)
    if (NegativeOrNaN(v)) return VEL_INVALID_VALUE;
  const float limit = FieldLimit();
  for (float v : axis)
    if (v > limit) return VEL_ABOVE_LIMIT;
  *first = axis[0];
  *second = axis[1];
  *third = axis[2];
  return VEL_OK;
}
