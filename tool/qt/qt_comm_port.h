// The main window's serial-port object (MSComm1) over QSerialPort.
//
// Failures are thrown as CommError with these numbers:
//   8002  invalid port number: 0, a negative number, past the last port, or a
//         device path that does not exist
//   68    device unavailable: the port exists but cannot be opened (held by
//         another program or by the driver library, no permission)
//         (for a device named by path, both say why: describeUnavailablePort())
//   380   invalid property value: line settings that are not a serial setting
//   8005  port number, path or open requested while the port is open
//   8018  a read or write on a closed port
//   8020  the device failed or went away while open
// Port n on Linux is the n-th port of systemPorts() (port_list.h); a path
// given with setDevicePath() names the device directly. Whichever of the two
// was written last decides.
//
// Nothing here runs window events: output() writes the whole frame to the
// device before it returns, and waitForInput() sleeps on the device alone.
#pragma once

#include <QSerialPort>

#include <string>

#include "port_list.h"
#include "probeaddr/comm_port.h"

namespace probeaddr::qt {

class QtCommPort final : public CommPort {
 public:
  QtCommPort();
  ~QtCommPort() override;
  QtCommPort(const QtCommPort&) = delete;
  QtCommPort& operator=(const QtCommPort&) = delete;

  void setCommPort(std::int16_t number) override;
  void setDevicePath(const std::string& path) override;
  void setSettings(const std::string& settings) override;
  bool portOpen() override { return port_.isOpen(); }
  // Opening claims the port the way other serial programs look for it (a
  // lock file, held with flock) and locks the device itself, as the driver
  // library does; then DTR is asserted, RTS not, and there is no handshaking.
  void setPortOpen(bool open) override;
  void setInputMode(InputMode mode) override { mode_ = mode; }
  int inBufferCount() override;
  Bytes input() override;
  void output(std::string_view text) override;
  void waitForInput(TimePoint deadline) override;

  // True when received bytes are waiting (reads what the device holds).
  bool hasInput();
  // Waits until written bytes are on the line, then releases the port; for
  // the end of the program.
  void finish();
  // The device opened (or last tried), after resolving links.
  const std::string& device() const { return device_; }

 private:
  std::string whyUnavailable() const;
  void requireUsable();
  void pullPending();
  void closeDevice();
  void onError(QSerialPort::SerialPortError error);

  QSerialPort port_;
  std::string path_;
  std::string device_;
  LineSettings line_;
  std::int16_t number_ = 1;
  InputMode mode_ = InputMode::Text;
  int lockedFd_ = -1;
  bool failed_ = false;
  std::string failure_;
};

}  // namespace probeaddr::qt
