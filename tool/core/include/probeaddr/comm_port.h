// The serial-port object of ProbeAddr: the properties the logic sets and reads,
// with failures reported as numbered errors, and a wait for received bytes.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "probeaddr/types.h"

namespace probeaddr {

// Error numbers. Port selection sorts failures by them: 8002 and 68 make it
// try the next port number (or report the given port unavailable), 380
// reports an invalid port; any other number ends the program.
inline constexpr int kErrInvalidPortNumber = 8002;  // no such port
inline constexpr int kErrDeviceUnavailable = 68;    // exists, cannot be opened (busy, no permission)
inline constexpr int kErrInvalidPropertyValue = 380;  // a value the port cannot take at all
inline constexpr int kErrPortAlreadyOpen = 8005;    // CommPort or path changed while open
inline constexpr int kErrPortNotOpen = 8018;        // Input/Output/InBufferCount on a closed port
inline constexpr int kErrDeviceFailed = 8020;       // read or write failed, device gone

// A failing property access. what() is a short description for the user;
// when opening a device named by setDevicePath() fails with 8002 or 68, it
// says why in words the user can act on, as the message shows it after the
// path: "no such device", "busy, in use by picocom (PID 4242)", "no
// permission. Your user must be in the 'dialout' group: ...". The rules
// every port keeps are in comm_port_base.h.
class CommError : public std::runtime_error {
 public:
  CommError(int number, const std::string& description)
      : std::runtime_error(description), number_(number) {}
  int number() const noexcept { return number_; }

 private:
  int number_;
};

enum class InputMode : std::int16_t { Text = 0, Binary = 1 };

// Every member may throw CommError; none pumps window events.
class CommPort {
 public:
  virtual ~CommPort() = default;

  // `CommPort`: the port number to open (the implementation decides which
  // device a number stands for). Written before opening.
  virtual void setCommPort(std::int16_t number) = 0;
  // Names the device to open by path instead of by number ("PORT=" on the
  // command line). Written before opening.
  virtual void setDevicePath(const std::string& path) = 0;
  // `Settings`: line settings as "baud,parity,data,stop", e.g. "9600,n,8,1".
  virtual void setSettings(const std::string& settings) = 0;
  // `PortOpen`.
  virtual bool portOpen() = 0;
  virtual void setPortOpen(bool open) = 0;
  // `InputMode`: Binary makes input() return raw bytes.
  virtual void setInputMode(InputMode mode) = 0;
  // `InBufferCount`: received bytes waiting. Must count bytes that reached
  // the system even while no window events are being delivered.
  virtual int inBufferCount() = 0;
  // `Input`: takes every byte waiting (empty when none).
  virtual Bytes input() = 0;
  // `Output`: sends the text, one byte per character, and returns only when
  // all of it has been handed to the line, so frames keep their order and the
  // last one before the program ends is not lost.
  virtual void output(std::string_view text) = 0;
  // Sleeps until bytes are waiting or `deadline` (on the logic's Clock) has
  // passed; returns at once when bytes are already waiting. Delivers no
  // window events.
  virtual void waitForInput(TimePoint deadline) = 0;
};

}  // namespace probeaddr
