// The main window's serial-port object (MSComm1) over QSerialPort, keeping
// the rules of CommPortBase. Port n on Linux is the n-th port of
// systemPorts() (port_list.h); a path names the device directly.
//
// Opening claims the port the way other serial programs look for it (a lock
// file, held with flock) and locks the device itself, as the driver library
// does; then DTR is asserted, RTS not, and there is no handshaking. A device
// that is missing is 8002; one that is held, closed to the user or no
// serial port 68, said why as the driver library's port-ownership module
// tells it (vel::ownership::unavailableReason).
//
// Nothing here runs window events: writing hands the whole frame to the
// device before it returns, and waiting sleeps on the device alone.
#pragma once

#include <QSerialPort>

#include <string>

#include "probeaddr/comm_port_base.h"

namespace probeaddr::qt {

class QtCommPort final : public CommPortBase {
 public:
  QtCommPort();
  ~QtCommPort() override { setPortOpen(false); }

 private:
  std::string deviceForNumber(std::int16_t number) override;
  void openDevice(const std::string& device, const LineSettings& line) override;
  void closeDevice() noexcept override;
  // QSerialPort's report of a device gone.
  void onError(QSerialPort::SerialPortError error);
  // Moves what the device holds into the port's buffer, without events.
  void pullPending();
  std::size_t bytesWaiting() override;
  Bytes readWaiting() override;
  void writeAll(std::string_view text) override;
  void sleepUntilInput(TimePoint deadline) override;
  void drain() noexcept override;

  QSerialPort port_;
  int lockedFd_ = -1;
};

}  // namespace probeaddr::qt
