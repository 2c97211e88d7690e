#include "connection.h"

namespace vel {

int32_t Connection::open(const std::string& port, std::string_view model) {
  close();
  osError_ = 0;
  char expected[protocol::kModelCompareLength] = {};  // shorter: ends at a NUL, as the exports compare it
  model.copy(expected, sizeof expected);
  return OpenProbe(port.c_str(), expected, replyTimeout_, port_, version_, block_, {&interrupt_, stepwise_},
                   &osError_);
}

int32_t Connection::close() noexcept {
  if (!isOpen()) return VEL_INVALID_HANDLE;
  const port::Error error = port::active().close(port_);
  port_ = port::kInvalidHandle;
  if (error) osError_ = error;
  return error ? VEL_CLOSE_FAILED : VEL_OK;
}

void Connection::setReplyTimeout(int32_t milliseconds) noexcept { replyTimeout_ = ReplyTimeoutOf(milliseconds); }

int32_t Connection::serialNumber(std::string& text) {
  Text serial;
  const int32_t rc = QuerySerialNumber(link(), serial);
  if (rc == VEL_OK) text.assign(serial.view());
  return rc;
}

}  // namespace vel
