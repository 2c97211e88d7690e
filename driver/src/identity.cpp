// Identity: the version reply and the serial number from the probe, the name,
// calibration date and field limit from its data block.
#include <cstring>

#include "probe_commands.h"

namespace vel {
namespace {

Text TextAt(const uint8_t* from, std::size_t count) noexcept {
  Text text;
  std::memcpy(text.bytes.data(), from, count);
  text.size = count;
  return text;
}

std::string_view Chars(const ReplyBuffer& bytes, std::size_t offset, std::size_t count) noexcept {
  return {reinterpret_cast<const char*>(bytes.data()) + offset, count};
}

}  // namespace

std::string_view VersionReply::model() const {
  return Chars(bytes, protocol::kModelOffset, protocol::kModelLength);
}

// Ten characters when exactly ten lie between the first ':' and the first ';'
// of the reply read as a NUL-terminated string, else eleven.
std::string_view VersionReply::firmware() const {
  const char* s = reinterpret_cast<const char*>(bytes.data());  // NUL-terminated: the buffer has one spare zero
  const char* colon = std::strchr(s, ':');
  const char* semicolon = std::strchr(s, ';');
  const bool ten =
      colon && semicolon && semicolon - colon - 1 == static_cast<std::ptrdiff_t>(protocol::kFirmwareLength);
  return Chars(bytes, protocol::kFirmwareOffset, ten ? protocol::kFirmwareLength : protocol::kFirmwareLongLength);
}

std::string_view VersionReply::release() const {
  const std::string_view text = firmware();
  return text.substr(0, text.find(' '));
}

std::string_view VersionReply::date() const {
  const std::string_view text = firmware();
  const auto space = text.find(' ');
  return space == std::string_view::npos ? std::string_view() : text.substr(space + 1, protocol::kFirmwareDateLength);
}

int32_t QueryVersion(const Link& link, VersionReply& version) noexcept {
  if (link.port == port::kInvalidHandle) return VEL_INVALID_HANDLE;
  const Exchange exchange{protocol::kVersionQuery, protocol::kVersionReplySize, protocol::kVersionReplyEnough,
                          protocol::kVersionLetter, VEL_WRONG_REPLY};
  return ProbeTransaction(link, exchange, version.bytes);
}

int32_t QuerySerialNumber(const Link& link, Text& serialNumber) noexcept {
  if (link.port == port::kInvalidHandle) return VEL_INVALID_HANDLE;
  ReplyBuffer reply;
  // Only the serial number is read, but the call returns once the rest of the
  // usual reply is in too (or the line is quiet), so it cannot answer the next command.
  const Exchange exchange{protocol::kSerialQuery, protocol::kSerialReplySize, protocol::kSerialReplySize,
                          protocol::kSerialLetter, VEL_WRONG_REPLY,
                          protocol::kSerialReplyUsualSize - protocol::kSerialReplySize};
  if (int32_t rc = ProbeTransaction(link, exchange, reply); rc != VEL_OK) return rc;
  serialNumber = TextAt(reply.data() + protocol::kSerialNumberOffset, protocol::kSerialNumberLength);
  return VEL_OK;
}

Text ProbeName(const DataBlock& block) noexcept {
  return TextAt(block.data() + protocol::kProbeNameOffset, protocol::kProbeNameLength);
}

Text CalibrationDate(const DataBlock& block) noexcept {
  return TextAt(block.data() + protocol::kCalibrationDateOffset, protocol::kCalibrationDateLength);
}

float FieldLimit(const DataBlock& block) noexcept { return FloatLE(block.data() + protocol::kFieldLimitOffset); }

}  // namespace vel
