// Identity exports: firmware text and serial number from the probe, name,
// model and calibration date from the cached data block.
#include <cstring>

#include "transaction.h"

using namespace vel;

namespace {

void CopyText(const uint8_t* from, std::size_t count, char* text, int32_t* length) noexcept {
  std::memcpy(text, from, count);
  *length = static_cast<int32_t>(count);
}

int32_t CachedText(HANDLE port, char* text, int32_t* length, std::size_t offset, std::size_t count) noexcept {
  if (isInvalid(port)) return VEL_INVALID_HANDLE;
  if (text == nullptr || length == nullptr) return VEL_NULL_ARGUMENT;
  CopyText(ProbeDataBlock.data() + offset, count, text, length);
  return VEL_OK;
}

// Ten characters when exactly ten lie between the first ':' and the first ';'
// of the reply read as a NUL-terminated string, else eleven.
std::size_t FirmwareLength(const ReplyBuffer& reply) noexcept {
  const char* s = reinterpret_cast<const char*>(reply.data());  // NUL-terminated: the buffer has one spare zero
  const char* colon = std::strchr(s, ':');
  const char* semicolon = std::strchr(s, ';');
  if (colon && semicolon && semicolon - colon - 1 == static_cast<std::ptrdiff_t>(protocol::kFirmwareLength))
    return protocol::kFirmwareLength;
  return protocol::kFirmwareLongLength;
}

}  // namespace

extern "C" VEL_API int32_t VEL_CALL VEL_Firmware(HANDLE port, char* text, int32_t* length) {
  if (isInvalid(port)) return VEL_INVALID_HANDLE;
  if (text == nullptr || length == nullptr) return VEL_NULL_ARGUMENT;
  ReplyBuffer reply;
  const Exchange exchange{protocol::kVersionQuery, protocol::kVersionReplySize,
                          protocol::kVersionReplyEnough, protocol::kVersionLetter, VEL_WRONG_REPLY};
  if (int32_t rc = ProbeTransaction(toHandle(port), exchange, reply); rc != VEL_OK) return rc;
  CopyText(reply.data() + protocol::kFirmwareOffset, FirmwareLength(reply), text, length);
  return VEL_OK;
}

extern "C" VEL_API int32_t VEL_CALL VEL_SerialNumber(HANDLE port, char* text, int32_t* length) {
  if (isInvalid(port)) return VEL_INVALID_HANDLE;
  if (text == nullptr || length == nullptr) return VEL_NULL_ARGUMENT;
  ReplyBuffer reply;
  // Only the serial number is read, but the call returns once the rest of the
  // usual reply is in too (or the line is quiet), so it cannot answer the next command.
  const Exchange exchange{protocol::kSerialQuery, protocol::kSerialReplySize, protocol::kSerialReplySize,
                          protocol::kSerialLetter, VEL_WRONG_REPLY,
                          protocol::kSerialReplyUsualSize - protocol::kSerialReplySize};
  if (int32_t rc = ProbeTransaction(toHandle(port), exchange, reply); rc != VEL_OK) return rc;
  CopyText(reply.data() + protocol::kSerialNumberOffset, protocol::kSerialNumberLength, text, length);
  return VEL_OK;
}

extern "C" VEL_API int32_t VEL_CALL VEL_ProbeName(HANDLE port, char* text, int32_t* length) {
  return CachedText(port, text, length, protocol::kProbeNameOffset, protocol::kProbeNameLength);
}

extern "C" VEL_API int32_t VEL_CALL VEL_Model(HANDLE port, char* text, int32_t* length) {
  return CachedText(port, text, length, protocol::kProbeNameOffset, protocol::kProbeNameLength);
}

extern "C" VEL_API int32_t VEL_CALL VEL_CalibrationDate(HANDLE port, char* text, int32_t* length) {
  return CachedText(port, text, length, protocol::kCalibrationDateOffset, protocol::kCalibrationDateLength);
}
