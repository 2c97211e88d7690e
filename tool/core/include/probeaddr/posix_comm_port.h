// CommPort over a POSIX terminal device: raw 8N1 binary, non-blocking, waits
// with poll(). For headless use and tests; the windowed program has its own.
#pragma once

#include <functional>
#include <string>

#include "probeaddr/comm_port.h"

namespace probeaddr {

class PosixCommPort final : public CommPort {
 public:
  // `deviceForNumber` names the device of a port number; empty text (or no
  // function) makes the number invalid (8002).
  explicit PosixCommPort(std::function<std::string(std::int16_t)> deviceForNumber = {});
  ~PosixCommPort() override;
  PosixCommPort(const PosixCommPort&) = delete;
  PosixCommPort& operator=(const PosixCommPort&) = delete;

  void setCommPort(std::int16_t number) override;
  void setDevicePath(const std::string& path) override;
  void setSettings(const std::string& settings) override;
  bool portOpen() override { return fd_ >= 0; }
  // Opening: a missing device or one that is not a terminal is 8002, one that
  // cannot be opened or is held by another descriptor (flock) 68, settings
  // the device rejects 380.
  void setPortOpen(bool open) override;
  void setInputMode(InputMode mode) override { mode_ = mode; }
  // Once the device has hung up, these throw CommError 8020.
  int inBufferCount() override;
  Bytes input() override;
  void output(std::string_view text) override;
  // `deadline` is on the steady clock (SteadyClock).
  void waitForInput(TimePoint deadline) override;

 private:
  struct Line {
    unsigned baud = 9600;
    char parity = 'n';
    int dataBits = 8;
    int stopBits = 1;
  };
  void requireOpen() const;
  [[noreturn]] void deviceFailed(const char* what);

  std::function<std::string(std::int16_t)> deviceForNumber_;
  std::string path_;
  Line line_;
  InputMode mode_ = InputMode::Text;
  int fd_ = -1;
};

}  // namespace probeaddr
