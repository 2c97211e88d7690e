// How port numbers name serial devices on Linux.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace probeaddr::qt {

struct SerialDevice {
  std::string name;        // ttyUSB0, ttyS1, ...
  std::string location;    // /dev/ttyUSB0
  bool usbAdapter = false; // known to sit on USB (vendor id reported)
};

// Port n (from 1) is the n-th entry: USB and ACM adapters first, then the
// built-in ports, each group in natural order of the names (ttyS2 before ttyS10).
std::vector<SerialDevice> orderedPorts(std::vector<SerialDevice> devices);

// The serial devices of this system, ordered as above.
std::vector<SerialDevice> systemPorts();

}  // namespace probeaddr::qt
