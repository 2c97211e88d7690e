// Finding the probe: the serial ports of the machine (libudev), the
// pseudo-terminals that simulated probes serve, who holds each port (the
// library's port-ownership module), and the one port where a probe answers
// (--port auto).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "port_ownership.h"

namespace velprobe {

using vel::ownership::Holder;

struct PortInfo {
  std::string device;  // /dev/ttyUSB0
  std::string byId;    // its /dev/serial/by-id link, if any
  std::string driver;  // ftdi_sio, cdc_acm, serial8250; pty for a pseudo-terminal
  std::string usbId;   // vendor:product, such as 0403:6001
  std::string manufacturer, product, serial;
  bool console = false;  // the kernel's console: never probed
  vel::ownership::Access access;  // whether this user may read and write it
  std::vector<Holder> holders;
};

// Every serial port, sorted by device: the ports libudev knows that have a
// device behind them, and the pseudo-terminals that a process serves which
// are no session's terminal (simulated probes, socat). Nothing is opened.
std::vector<PortInfo> listPorts();

// The one port where a probe of `model` answers, or Failure (exit 3) that
// lists what each port gave.
std::string findProbePort(const std::string& model, std::optional<int32_t> timeoutMs);

}  // namespace velprobe
