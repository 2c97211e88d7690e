// How port numbers name serial devices on Linux, and the line-settings text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
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

enum class Parity { None, Even, Odd, Mark, Space };

struct LineSettings {
  int32_t baud = 9600;
  Parity parity = Parity::None;
  int dataBits = 8;
  int stopBitsTimesTwo = 2;  // 2: one stop bit, 3: one and a half, 4: two
};

// Parses "baud,parity,data,stop" such as "9600,n,8,1"; nothing for a text that
// does not name settings a serial port can take.
std::optional<LineSettings> parseSettings(std::string_view text);

}  // namespace probeaddr::qt
