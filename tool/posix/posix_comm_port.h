// The serial-port object over a POSIX terminal device: raw binary at the
// line settings, non-blocking, waits with poll(). For running the logic
// without windows; the windowed program has its own.
#pragma once

#include <functional>
#include <string>

#include "probeaddr/comm_port_base.h"

namespace probeaddr {

class PosixCommPort final : public CommPortBase {
 public:
  // `deviceForNumber` names the device of a port number; empty text (or no
  // function) makes the number invalid (8002).
  explicit PosixCommPort(std::function<std::string(std::int16_t)> deviceForNumber = {});
  ~PosixCommPort() override { setPortOpen(false); }

 private:
  // A missing device or one that is not a terminal is 8002, one that cannot
  // be opened or is held by another descriptor (flock) 68, settings the
  // device rejects 380.
  void openDevice(const std::string& device, const LineSettings& line) override;
  void closeDevice() noexcept override;
  // The device failed: errno tells how.
  [[noreturn]] void gone();
  std::string deviceForNumber(std::int16_t number) override;
  std::size_t bytesWaiting() override;
  Bytes readWaiting() override;
  void writeAll(std::string_view text) override;
  // `deadline` is on the steady clock (SteadyClock).
  void sleepUntilInput(TimePoint deadline) override;
  void drain() noexcept override;

  std::function<std::string(std::int16_t)> deviceForNumber_;
  int fd_ = -1;
};

// How the open terminal `fd`, opened as `path`, went away: the far end of a
// pseudo-terminal or the modem hung up, or the device node has gone.
PortLoss lossOf(int fd, const std::string& path);

}  // namespace probeaddr
