#include "probeaddr/posix_comm_port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>
#include <sstream>

#include "probeaddr/port_diagnosis.h"

namespace probeaddr {
namespace {

speed_t speedFor(unsigned baud) {
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

std::string systemError(const std::string& what) { return what + ": " + std::strerror(errno); }

}  // namespace

PosixCommPort::PosixCommPort(std::function<std::string(std::int16_t)> deviceForNumber)
    : deviceForNumber_(std::move(deviceForNumber)) {}

PosixCommPort::~PosixCommPort() {
  if (fd_ >= 0) ::close(fd_);
}

void PosixCommPort::setCommPort(std::int16_t number) {
  if (fd_ >= 0) throw CommError(kErrPortAlreadyOpen, "Port already open");
  path_ = deviceForNumber_ ? deviceForNumber_(number) : std::string();
  if (path_.empty()) throw CommError(kErrInvalidPortNumber, "Invalid port number");
}

void PosixCommPort::setDevicePath(const std::string& path) {
  if (fd_ >= 0) throw CommError(kErrPortAlreadyOpen, "Port already open");
  path_ = path;
}

// "baud,parity,data,stop", e.g. "9600,n,8,1".
void PosixCommPort::setSettings(const std::string& settings) {
  std::istringstream in(settings);
  Line line;
  char comma1 = 0, comma2 = 0, comma3 = 0;
  in >> line.baud >> comma1 >> line.parity >> comma2 >> line.dataBits >> comma3 >> line.stopBits;
  line.parity = static_cast<char>(std::tolower(static_cast<unsigned char>(line.parity)));
  if (!in || !in.eof() || comma1 != ',' || comma2 != ',' || comma3 != ',' ||
      speedFor(line.baud) == B0 || std::string("neo").find(line.parity) == std::string::npos ||
      line.dataBits < 7 || line.dataBits > 8 || line.stopBits < 1 || line.stopBits > 2)
    throw CommError(kErrInvalidPropertyValue, "Invalid property value");
  line_ = line;
}

void PosixCommPort::setPortOpen(bool open) {
  if (!open) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    return;
  }
  if (fd_ >= 0) throw CommError(kErrPortAlreadyOpen, "Port already open");
  if (path_.empty()) throw CommError(kErrInvalidPortNumber, "Invalid port number");
  const int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    const bool missing = errno == ENOENT || errno == ENXIO || errno == ENODEV || errno == ENOTDIR;
    throw CommError(missing ? kErrInvalidPortNumber : kErrDeviceUnavailable, describeUnavailablePort(path_));
  }
  auto fail = [fd](int number, const std::string& text) {
    ::close(fd);
    throw CommError(number, text);
  };
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) fail(kErrInvalidPortNumber, "not a serial port");
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    throw CommError(kErrDeviceUnavailable, describeUnavailablePort(path_));
  }
  ::cfmakeraw(&tio);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
  tio.c_cflag |= line_.dataBits == 7 ? CS7 : CS8;
  if (line_.parity != 'n') tio.c_cflag |= PARENB | (line_.parity == 'o' ? PARODD : 0);
  if (line_.stopBits == 2) tio.c_cflag |= CSTOPB;
  tio.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
  tio.c_cc[VMIN] = 1;
  tio.c_cc[VTIME] = 0;
  ::cfsetispeed(&tio, speedFor(line_.baud));
  ::cfsetospeed(&tio, speedFor(line_.baud));
  if (::tcsetattr(fd, TCSANOW, &tio) != 0) fail(kErrInvalidPropertyValue, systemError("Invalid property value"));
  fd_ = fd;
}

void PosixCommPort::requireOpen() const {
  if (fd_ < 0) throw CommError(kErrPortNotOpen, "Operation valid only when the port is open");
}

void PosixCommPort::deviceFailed(const char* what) {
  throw CommError(kErrDeviceFailed, systemError(what));
}

int PosixCommPort::inBufferCount() {
  requireOpen();
  int count = 0;
  if (::ioctl(fd_, FIONREAD, &count) != 0) deviceFailed("Error reading comm device");
  if (count == 0) {
    // Nothing waiting may also mean the device has gone (a pty whose master
    // closed, an unplugged adapter): tell it now instead of waiting on it.
    pollfd pfd{fd_, POLLIN, 0};
    if (::poll(&pfd, 1, 0) > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) {
      errno = EIO;
      deviceFailed("Device gone");
    }
  }
  return std::min(count, static_cast<int>(std::numeric_limits<std::int16_t>::max()));
}

Bytes PosixCommPort::input() {
  requireOpen();
  Bytes bytes;
  std::uint8_t buffer[1024];
  for (;;) {
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n > 0) {
      bytes.insert(bytes.end(), buffer, buffer + n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      return bytes;
    } else {
      if (n == 0) errno = EIO;  // hang-up
      if (!bytes.empty()) return bytes;
      deviceFailed("Error reading comm device");
    }
  }
}

void PosixCommPort::output(std::string_view text) {
  requireOpen();
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd pfd{fd_, POLLOUT, 0};
      if (::poll(&pfd, 1, 1000) <= 0 || (pfd.revents & (POLLHUP | POLLERR | POLLNVAL)))
        deviceFailed("Error writing comm device");
    } else {
      deviceFailed("Error writing comm device");
    }
  }
}

void PosixCommPort::waitForInput(TimePoint deadline) {
  requireOpen();
  for (;;) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return;
    pollfd pfd{fd_, POLLIN, 0};
    const int timeout = static_cast<int>(std::min<std::int64_t>(left.count(), 60'000));
    const int ready = ::poll(&pfd, 1, timeout);
    if (ready < 0 && errno == EINTR) continue;
    if (ready != 0) return;  // bytes, hang-up or error: the next look tells which
  }
}

}  // namespace probeaddr
