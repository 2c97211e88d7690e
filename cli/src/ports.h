// Finding the probe: the serial ports of the machine (libudev), the
// pseudo-terminals that simulated probes serve, who holds each port, and the
// one port where a probe answers (--port auto).
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace velprobe {

struct Holder {
  pid_t pid = 0;
  std::string program;
};
std::string describe(const Holder& holder);  // "minicom (PID 42)"

struct PortInfo {
  std::string device;  // /dev/ttyUSB0
  std::string byId;    // its /dev/serial/by-id link, if any
  std::string driver;  // ftdi_sio, cdc_acm, serial8250; pty for a pseudo-terminal
  std::string usbId;   // vendor:product, such as 0403:6001
  std::string manufacturer, product, serial;
  bool console = false;  // the kernel's console: never probed
  bool mayOpen = true;   // this user may read and write it
  std::string group;     // the group that owns the device
  std::vector<Holder> holders;
};

// Every serial port, sorted by device: the ports libudev knows that have a
// device behind them, and the pseudo-terminals that a process serves which
// are no session's terminal (simulated probes, socat). Nothing is opened.
std::vector<PortInfo> listPorts();

// Who holds `device` besides this process: the lock file's owner (when that
// process lives) and the processes that have it open. A pseudo-terminal's
// far end does not count. Only root sees the processes of other users.
std::vector<Holder> portHolders(const std::string& device);

// The group that owns a device file ("dialout"); empty when it cannot be read.
std::string groupOf(const std::string& path);

// The one port where a probe of `model` answers, or Failure (exit 3) that
// lists what each port gave.
std::string findProbePort(const std::string& model);

}  // namespace velprobe
