// The client end of a simulated probe's line, as a driver would open it.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>

#include "kv210/simulator.h"

namespace kv210::sim::testing {

inline Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

class PtyClient {
 public:
  explicit PtyClient(const std::string& path) {
    fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd_ < 0) return;
    termios tio{};
    tcgetattr(fd_, &tio);
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    tio.c_cflag |= CLOCAL | CREAD;
    tcsetattr(fd_, TCSANOW, &tio);
  }
  ~PtyClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  PtyClient(const PtyClient&) = delete;
  PtyClient& operator=(const PtyClient&) = delete;

  bool isOpen() const { return fd_ >= 0; }
  int fd() const { return fd_; }

  bool send(const std::string& text) {
    return ::write(fd_, text.data(), text.size()) == static_cast<ssize_t>(text.size());
  }

  // Reads until `count` bytes have come or `timeout` has passed.
  Bytes read(std::size_t count, std::chrono::milliseconds timeout = std::chrono::milliseconds(1000)) {
    Bytes got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (got.size() < count) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) break;
      if (p.revents & (POLLHUP | POLLERR)) {
        hungUp_ = true;
        break;
      }
      uint8_t buffer[512];
      ssize_t n = ::read(fd_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n <= 0) {
        hungUp_ = n == 0 || errno == EIO;
        break;
      }
      got.insert(got.end(), buffer, buffer + n);
    }
    return got;
  }

  // Whatever arrives until the line has been quiet for `quiet`.
  Bytes readQuiet(std::chrono::milliseconds quiet = std::chrono::milliseconds(80)) {
    Bytes got;
    for (;;) {
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(quiet.count())) <= 0) return got;
      uint8_t buffer[512];
      ssize_t n = ::read(fd_, buffer, sizeof buffer);
      if (n <= 0) {
        hungUp_ = true;
        return got;
      }
      got.insert(got.end(), buffer, buffer + n);
    }
  }

  bool sawHangUp() const { return hungUp_; }

 private:
  int fd_ = -1;
  bool hungUp_ = false;
};

}  // namespace kv210::sim::testing
