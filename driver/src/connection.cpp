// Opening and closing a probe, and the process-wide reply time-out.
#include "transaction.h"

namespace vel {
namespace {

// The model matches when the expected text, ending at its first NUL or after
// four characters, equals the reply's model characters taken the same way.
bool ModelMatches(const uint8_t* reply, const char* expected) noexcept {
  for (std::size_t i = 0; i < protocol::kModelCompareLength; ++i) {
    const auto want = static_cast<uint8_t>(expected[i]);
    if (reply[i] != want) return false;
    if (want == 0) return true;
  }
  return true;
}

}  // namespace
}  // namespace vel

using namespace vel;

extern "C" VEL_API int32_t VEL_CALL VEL_CreateProbe(const char* expectedModel, HANDLE* port,
                                                    const char* portName) {
  if (port == nullptr) return VEL_NULL_ARGUMENT;
  *port = INVALID_HANDLE_VALUE;
  if (expectedModel == nullptr || portName == nullptr) return VEL_NULL_ARGUMENT;

  port::OpenError error = port::OpenError::None;
  const port::Handle handle = port::active().open(portName, error);
  *port = reinterpret_cast<HANDLE>(handle);
  if (handle == port::kInvalidHandle) {
    switch (error) {
      case port::OpenError::NotFound: return VEL_PORT_NOT_FOUND;
      case port::OpenError::AccessDenied: return VEL_ACCESS_DENIED;
      default: return VEL_INVALID_HANDLE;
    }
  }
  if (!port::active().setLine9600_8N1(handle)) return VEL_PORT_SETUP;
  if (!port::active().setTimeouts(handle, kCommTimeouts)) return VEL_PORT_SETUP;

  ReplyBuffer reply;
  const Exchange identify{protocol::kVersionQuery, protocol::kVersionReplySize,
                          protocol::kVersionReplyEnough, protocol::kVersionLetter, VEL_WRONG_REPLY};
  if (int32_t rc = ProbeTransaction(handle, identify, reply); rc != VEL_OK) return rc;
  if (!ModelMatches(reply.data() + protocol::kModelOffset, expectedModel)) return VEL_WRONG_MODEL;

  if (int32_t rc = Purge(handle); rc != VEL_OK) return rc;
  const auto* query = reinterpret_cast<const uint8_t*>(protocol::kDataBlockQuery.data());
  if (!port::active().write(handle, query, protocol::kDataBlockQuery.size())) return VEL_WRITE_FAILED;
  // The block's letter is not examined; a short block keeps the rest of the old
  // one, and what of it still comes is taken in, not left for the next command.
  std::size_t received = 0;
  const int32_t rc = ReadReply(handle, ProbeDataBlock.data(), protocol::kDataBlockSize, protocol::kDataBlockEnough,
                               &received);
  if (rc == VEL_OK && received < protocol::kDataBlockSize) DrainLine(handle, protocol::kDataBlockSize - received);
  return rc;
}

extern "C" VEL_API int32_t VEL_CALL VEL_RemoveProbe(HANDLE port) {
  if (isInvalid(port)) return VEL_INVALID_HANDLE;
  return port::active().close(toHandle(port)) ? VEL_OK : VEL_CLOSE_FAILED;
}

extern "C" VEL_API int32_t VEL_CALL VEL_SetTimeout(int32_t milliseconds) {
  // 0.001 in single precision times the count, rounded once to single precision
  // (long double holds the product exactly).
  constexpr float kMillisecond = 0.001f;
  ReplyTimeout = static_cast<float>(static_cast<long double>(milliseconds) * kMillisecond);
  return VEL_OK;
}
