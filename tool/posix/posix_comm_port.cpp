#include "posix_comm_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "port_ownership.h"

namespace probeaddr {
namespace {

speed_t speedFor(int baud) {
  switch (baud) {
    case 1200: return B1200;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    default: return B0;
  }
}

// What a terminal reports when its device has gone rather than failed.
bool deviceGone(int error) { return error == EIO || error == ENODEV || error == ENXIO; }

}  // namespace

PortLoss lossOf(int fd, const std::string& path) {
  struct stat opened {}, named {};
  const bool known = ::fstat(fd, &opened) == 0;
  // The far end of a pseudo-terminal closing is the line hanging up; its node goes with it.
  const unsigned kind = known ? ::major(opened.st_rdev) : 0;
  if (known && S_ISCHR(opened.st_mode) && kind >= 136 && kind <= 143) return PortLoss::HungUp;
  if (::stat(path.c_str(), &named) != 0 || (known && named.st_rdev != opened.st_rdev)) return PortLoss::Removed;
  return PortLoss::HungUp;
}

PosixCommPort::PosixCommPort(std::function<std::string(std::int16_t)> deviceForNumber)
    : deviceForNumber_(std::move(deviceForNumber)) {}

std::string PosixCommPort::deviceForNumber(std::int16_t number) {
  return deviceForNumber_ ? deviceForNumber_(number) : std::string();
}

void PosixCommPort::openDevice(const std::string& device, const LineSettings& line) {
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const bool missing = errno == ENOENT || errno == ENXIO || errno == ENODEV || errno == ENOTDIR;
    throw CommError(missing ? kErrInvalidPortNumber : kErrDeviceUnavailable, vel::ownership::unavailableReason(device));
  }
  auto refuse = [&](int number, const std::string& why) {
    ::close(fd);
    throw CommError(number, why);
  };
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) refuse(kErrInvalidPortNumber, "not a serial port");
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) refuse(kErrDeviceUnavailable, vel::ownership::unavailableReason(device));
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  tio.c_cflag |= line.dataBits == 7 ? CS7 : line.dataBits == 6 ? CS6 : line.dataBits == 5 ? CS5 : CS8;
  if (line.parity == Parity::Even || line.parity == Parity::Odd)
    tio.c_cflag |= PARENB | (line.parity == Parity::Odd ? PARODD : 0);
  if (line.stopBitsTimesTwo > 2) tio.c_cflag |= CSTOPB;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  const speed_t speed = speedFor(line.baud);
  if (speed == B0 || line.parity == Parity::Mark || line.parity == Parity::Space || ::cfsetispeed(&tio, speed) != 0 ||
      ::cfsetospeed(&tio, speed) != 0 || ::tcsetattr(fd, TCSANOW, &tio) != 0)
    refuse(kErrInvalidPropertyValue, "Invalid property value");
  fd_ = fd;
}

void PosixCommPort::closeDevice() noexcept {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

void PosixCommPort::gone() {
  if (deviceGone(errno)) lost(lossOf(fd_, device()));
  lost(PortLoss::Failed, std::strerror(errno));
}

std::size_t PosixCommPort::bytesWaiting() {
  int count = 0;
  if (::ioctl(fd_, FIONREAD, &count) != 0) gone();
  if (count == 0) {
    // Nothing waiting may also mean the device has gone (a pty whose master
    // closed, an unplugged adapter): tell it now instead of waiting on it.
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) lost(lossOf(fd_, device()));
  }
  return static_cast<std::size_t>(std::max(count, 0));
}

Bytes PosixCommPort::readWaiting() {
  Bytes bytes;
  std::uint8_t buffer[1024];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n > 0) {
      bytes.insert(bytes.end(), buffer, buffer + n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if ((n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) || !bytes.empty()) {
      return bytes;  // what came before a hang-up is handed over; the next look tells
    } else {
      if (n == 0) errno = EIO;  // hang-up
      gone();
    }
  }
}

void PosixCommPort::writeAll(std::string_view text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd pfd{fd_, POLLOUT, 0};
      if (::poll(&pfd, 1, 1000) == 0) lost(PortLoss::Failed, "writing timed out");
      if (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)) lost(lossOf(fd_, device()));
    } else {
      gone();
    }
  }
}

void PosixCommPort::sleepUntilInput(TimePoint deadline) {
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd pfd{fd_, POLLIN, 0};
    const int ready = ::poll(&pfd, 1, static_cast<int>(std::min<std::int64_t>(left.count(), 60'000)));
    if (ready < 0 && errno == EINTR) continue;
    if (ready != 0) return;  // bytes, hang-up or error: the next look tells which
  }
}

void PosixCommPort::drain() noexcept { ::tcdrain(fd_); }

}  // namespace probeaddr
