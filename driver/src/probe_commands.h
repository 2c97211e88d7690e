// The probe's commands: opening, identity, measurements and settings, each
// over a Link (a port and its reply time-out) and, where it needs one, the
// data block of the probe opened last. Every command returns a result code of
// VEL_KV21X.h (or kCancelled). The state belongs to the caller: the library's
// exports keep one time-out and one data block for the whole process, a
// Connection its own.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "transaction.h"

namespace vel {

using DataBlock = std::array<uint8_t, protocol::kDataBlockSize>;

// Text as the probe sent it, fixed-width and without terminator.
struct Text {
  std::array<char, protocol::kFirmwareLongLength> bytes{};
  std::size_t size = 0;
  std::string_view view() const { return {bytes.data(), size}; }
};

// The version reply as read: "v", model, ":", release, " ", date, ";".
struct VersionReply {
  ReplyBuffer bytes{};  // with the zero after the bytes read
  std::string_view model() const;     // offsets 1 to 5
  // Offsets 7 to 16, or 7 to 17 when not exactly ten characters lie between
  // the reply's first ':' and its first ';' (VEL_Firmware's text).
  std::string_view firmware() const;
  std::string_view release() const;   // the firmware text up to its first space
  std::string_view date() const;      // the five characters after that space
};

// Opening: the port (opened exclusively, line 9600 8N1, comm time-outs), the
// version reply and the model's first four characters (`expectedModel`: four
// bytes are read, fewer when a NUL comes first), and the data block read
// into `block`. `handle` receives the port, also when a later step fails
// (the caller closes it), and kInvalidHandle when the port did not open.
// `options`: how the port waits; `osError` as in Link.
int32_t OpenProbe(const char* name, const char* expectedModel, float replyTimeout, port::Handle& handle,
                  VersionReply& version, DataBlock& block, const port::OpenOptions& options = {},
                  port::Error* osError = nullptr) noexcept;

// Identity.
int32_t QueryVersion(const Link& link, VersionReply& version) noexcept;
int32_t QuerySerialNumber(const Link& link, Text& serialNumber) noexcept;
Text ProbeName(const DataBlock& block) noexcept;
Text CalibrationDate(const DataBlock& block) noexcept;
// The largest field value passed on.
float FieldLimit(const DataBlock& block) noexcept;

// Measurements, converted; values above FieldLimit(block) give VEL_ABOVE_LIMIT.
int32_t ReadBattery(const Link& link, float& volts) noexcept;
int32_t ReadTemperature(const Link& link, float& celsius) noexcept;
int32_t ReadTotalField(const Link& link, const DataBlock& block, float& field) noexcept;
int32_t ReadAxisField(const Link& link, const DataBlock& block, std::array<float, 3>& axis) noexcept;

// Settings; a value that is out of range (or does not fit the frame) gives
// VEL_OUT_OF_RANGE before the port is looked at.
int32_t SetFrequency(const Link& link, int32_t hundredths) noexcept;
int32_t SetFilter(const Link& link, int32_t filter) noexcept;
int32_t SetAutoOffTime(const Link& link, int32_t seconds) noexcept;

}  // namespace vel
