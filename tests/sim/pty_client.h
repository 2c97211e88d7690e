// The client end of a simulated probe's line, as a driver would open it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "kv210/simulator.h"

namespace kv210::sim::testing {

using Ms = std::chrono::milliseconds;

inline Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

class PtyClient {
 public:
  explicit PtyClient(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    cfsetspeed(&tio, B9600);
    tio.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd_, TCSANOW, &tio);
  }
  ~PtyClient() { ::close(fd_); }
  PtyClient(const PtyClient&) = delete;
  PtyClient& operator=(const PtyClient&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  bool send(const std::string& text) { return ::write(fd_, text.data(), text.size()) == ssize_t(text.size()); }

  // Reads until `count` bytes have come, `timeout` has passed, the line has
  // been quiet for `quiet`, or it hung up.
  Bytes read(std::size_t count, Ms timeout = Ms(1000), Ms quiet = Ms(1000000)) {
    Bytes got;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.size() < count) {
      const auto left = std::chrono::duration_cast<Ms>(deadline - std::chrono::steady_clock::now());
      pollfd p{fd_, POLLIN, 0};
      if (left.count() <= 0 || ::poll(&p, 1, int(std::min(left, quiet).count())) <= 0) break;
      uint8_t buffer[512];
      const ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n <= 0) break;  // hung up
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }
  // Whatever arrives until the line has been quiet for 80 ms.
  Bytes readQuiet() { return read(SIZE_MAX, Ms(5000), Ms(80)); }

 private:
  int fd_;
};

}  // namespace kv210::sim::testing
