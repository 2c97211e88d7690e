// Opening a probe: the port, the version reply with its model, and the data block.
#include "probe_commands.h"

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

int32_t OpenPort(const char* name, port::Handle& handle, const port::OpenOptions& options,
                 port::Error* osError) noexcept {
  port::Error error = 0;
  handle = port::active().open(name, error, options);
  if (osError) *osError = error;
  if (handle == port::kInvalidHandle) {
    switch (port::classifyOpenError(error)) {
      case port::OpenError::NotFound: return VEL_PORT_NOT_FOUND;
      case port::OpenError::AccessDenied: return VEL_ACCESS_DENIED;
      default: return VEL_INVALID_HANDLE;
    }
  }
  error = port::active().setLine9600_8N1(handle);
  if (!error) error = port::active().setTimeouts(handle, kCommTimeouts);
  if (osError && error) *osError = error;
  return error ? VEL_PORT_SETUP : VEL_OK;
}

}  // namespace

int32_t OpenProbe(const char* name, const char* expectedModel, float replyTimeout, port::Handle& handle,
                  VersionReply& version, DataBlock& block, const port::OpenOptions& options,
                  port::Error* osError) noexcept {
  if (options.interrupt && options.interrupt->raised()) {
    handle = port::kInvalidHandle;
    return kCancelled;
  }
  if (int32_t rc = OpenPort(name, handle, options, osError); rc != VEL_OK) return rc;
  const Link link{handle, replyTimeout, osError};
  if (int32_t rc = QueryVersion(link, version); rc != VEL_OK) return rc;
  if (!ModelMatches(version.bytes.data() + protocol::kModelOffset, expectedModel)) return VEL_WRONG_MODEL;

  if (int32_t rc = Purge(link); rc != VEL_OK) return rc;
  if (int32_t rc = WriteFrame(link, protocol::kDataBlockQuery); rc != VEL_OK) return rc;
  // The block's letter is not examined; a short block keeps the rest of the old
  // one, and what of it still comes is taken in, not left for the next command.
  std::size_t received = 0;
  const int32_t rc = ReadReply(link, block.data(), protocol::kDataBlockSize, protocol::kDataBlockEnough, &received);
  if (rc == VEL_OK && received < protocol::kDataBlockSize) DrainLine(link, protocol::kDataBlockSize - received);
  return rc;
}

}  // namespace vel
