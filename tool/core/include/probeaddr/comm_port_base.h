// The serial-port object's rules, whatever device stands behind it: when a
// property may be written, the numbered errors, and a device that went away
// staying gone. A platform's port derives from CommPortBase and does only the
// device I/O below.
//
// Errors thrown by the public members:
//   8002  invalid port number: one the platform names no device for, or a
//         device that does not exist (the platform's openDevice)
//   68    device unavailable: it exists but cannot be opened (openDevice)
//   380   invalid property value: line settings no serial port takes
//   8005  port number, path or open requested while the port is open
//   8018  a read or write on a closed port
//   8020  the device went away or failed while open; from then on every
//         access fails so, with the same description: "<device>: the device
//         was removed.", "<device>: the line was hung up." or "<device>: the
//         device failed (<the system's words>)."
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "probeaddr/comm_port.h"

namespace probeaddr {

enum class Parity : char { None = 'n', Even = 'e', Odd = 'o', Mark = 'm', Space = 's' };

struct LineSettings {
  std::int32_t baud = 9600;
  Parity parity = Parity::None;
  int dataBits = 8;
  int stopBitsTimesTwo = 2;  // 2: one stop bit, 3: one and a half, 4: two
};

// "baud,parity,data,stop" such as "9600,n,8,1"; nothing for a text that does
// not name settings a serial port can take.
std::optional<LineSettings> parseSettings(std::string_view text);

// How an open device went away.
enum class PortLoss { Removed, HungUp, Failed };

class CommPortBase : public CommPort {
 public:
  CommPortBase() = default;
  CommPortBase(const CommPortBase&) = delete;
  CommPortBase& operator=(const CommPortBase&) = delete;

  void setCommPort(std::int16_t number) final;
  void setDevicePath(const std::string& path) final;
  // Taken when the port is next opened.
  void setSettings(const std::string& settings) final;
  bool portOpen() final { return open_; }
  void setPortOpen(bool open) final;
  // Input gives the raw bytes in either mode (a text holds one character a byte).
  void setInputMode(InputMode) final {}
  int inBufferCount() final;
  Bytes input() final;
  void output(std::string_view text) final;
  void waitForInput(TimePoint deadline) final;

  // True when received bytes are waiting, or when the device has just gone
  // (the next access tells); never throws. For event pumps.
  bool hasInput() noexcept;
  // Puts what was written on the line, then releases the port; for the end
  // of the program.
  void finish() noexcept;

 protected:
  // The device that port `number` stands for; empty when none.
  virtual std::string deviceForNumber(std::int16_t number) = 0;
  // Opens and claims `device` (as the user named it, or as deviceForNumber
  // gave it) at these settings; throws CommError 8002, 68 or 380.
  virtual void openDevice(const std::string& device, const LineSettings& line) = 0;
  virtual void closeDevice() noexcept = 0;
  // Device I/O on the open device; each calls lost() when the device has gone.
  virtual std::size_t bytesWaiting() = 0;
  virtual Bytes readWaiting() = 0;
  virtual void writeAll(std::string_view text) = 0;  // returns once all is handed to the line
  virtual void sleepUntilInput(TimePoint deadline) = 0;
  virtual void drain() noexcept = 0;

  // The device has gone: notes how and throws the 8020 error.
  [[noreturn]] void lost(PortLoss how, const std::string& detail = {});
  // The same, noticed outside a call (a toolkit's error report): the next
  // access throws.
  void noteLost(PortLoss how, const std::string& detail = {}) noexcept;
  bool usable() const { return open_ && !failure_; }
  // The device as opened, for messages.
  const std::string& device() const { return device_; }

 private:
  void requireUsable() const;

  std::int16_t number_ = 1;  // the component's stored port number
  std::optional<std::string> path_;
  LineSettings line_;
  bool open_ = false;
  std::string device_;
  std::optional<std::string> failure_;
};

}  // namespace probeaddr
