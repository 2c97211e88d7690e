// Port layer on POSIX terminals (termios), behaving like a Windows comm port:
// exclusive opening, raw 8N1 at 9600 baud, interval/total read time-outs and a
// total write time-out, purge of both directions, and fast failure once the
// device has gone away.
#include "port.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

namespace vel::port {
namespace {

using Clock = std::chrono::steady_clock;

// What the library holds besides the descriptor while a port is open: the
// lock file that tells other programs (Qt's serial port among them) the port is
// taken, and the time-outs set on it.
struct OpenPort {
  int lockFd = -1;
  std::string lockPath;
  Timeouts timeouts{50, 50, 50, 10, 50};
};

// Ports opened here, by descriptor. Only these descriptors are ever touched, so
// a stale or made-up handle fails instead of acting on someone else's file.
std::map<int, OpenPort>& openPorts() {
  static std::map<int, OpenPort> ports;
  return ports;
}

OpenPort* find(Handle port) {
  if (port < 0 || port > INT32_MAX) return nullptr;
  auto it = openPorts().find(static_cast<int>(port));
  return it == openPorts().end() ? nullptr : &it->second;
}

// Lock directories in the order serial-port programs look for them.
constexpr std::array<const char*, 8> kLockDirectories = {
    "/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp",
    "/tmp",      "/var/tmp",   "/var/lock/lockdev", "/run/lock"};

std::string lockFilePath(const char* device) {
  std::string name = device;
  if (name.rfind("/dev/", 0) == 0) name.erase(0, 5);
  for (char& c : name)
    if (c == '/') c = '_';
  for (const char* dir : kLockDirectories) {
    if (::access(dir, W_OK | X_OK) == 0) return std::string(dir) + "/LCK.." + name;
  }
  return {};
}

enum class Claim { Taken, Busy, Unavailable };

// Claims the port with a lock file held by flock, as Qt's serial port does. A
// lock file nobody holds is stale and is replaced.
Claim claimLockFile(const std::string& path, int& lockFd) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
    if (fd >= 0) {
      if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return Claim::Busy;
      }
      char info[96];
      char host[64] = "";
      ::gethostname(host, sizeof host - 1);
      int n = std::snprintf(info, sizeof info, "%ld\nVEL_KV21X\n%s\n", static_cast<long>(::getpid()), host);
      if (n > 0 && ::write(fd, info, static_cast<size_t>(n)) < 0) { /* the claim is the flock */ }
      lockFd = fd;
      return Claim::Taken;
    }
    if (errno != EEXIST) return Claim::Unavailable;  // no lock directory we may write: go without
    int existing = ::open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (existing < 0) continue;  // removed meanwhile: try again
    bool held = ::flock(existing, LOCK_EX | LOCK_NB) != 0;
    if (!held) ::unlink(path.c_str());  // stale: nobody holds it
    ::close(existing);
    if (held) return Claim::Busy;
  }
  return Claim::Busy;
}

void releaseLockFile(OpenPort& port) {
  if (port.lockFd < 0) return;
  ::unlink(port.lockPath.c_str());
  ::close(port.lockFd);
  port.lockFd = -1;
}

int remainingMs(Clock::time_point deadline) {
  auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now()).count();
  if (left <= 0) return 0;
  return static_cast<int>((left + 999) / 1000);  // round up: never wake before the deadline
}

class PosixBackend final : public Backend {
 public:
  Handle open(const char* name, OpenError& error) noexcept override {
    error = OpenError::None;
    int fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      switch (errno) {
        case ENOENT: case ENOTDIR: case ENXIO: case ENODEV:
          error = OpenError::NotFound; break;
        case EBUSY: case EACCES: case EPERM:
          error = OpenError::AccessDenied; break;
        default:
          error = OpenError::Other;
      }
      return kInvalidHandle;
    }
    try {
      OpenPort port;
      if (::isatty(fd)) {
        port.lockPath = lockFilePath(name);
        Claim claim = port.lockPath.empty() ? Claim::Unavailable : claimLockFile(port.lockPath, port.lockFd);
        // flock on the device and TIOCEXCL keep out openers that do not look
        // at lock files; flock also works against root and within one process.
        if (claim == Claim::Busy || ::flock(fd, LOCK_EX | LOCK_NB) != 0) {
          releaseLockFile(port);
          ::close(fd);
          error = OpenError::AccessDenied;
          return kInvalidHandle;
        }
        ::ioctl(fd, TIOCEXCL);
      }
      // Anything else (a regular file, a FIFO) stays open like a Windows
      // handle to a non-comm device: setting the line then fails.
      openPorts()[fd] = std::move(port);
    } catch (...) {
      ::close(fd);
      error = OpenError::Other;
      return kInvalidHandle;
    }
    return fd;
  }

  bool setLine9600_8N1(Handle port) noexcept override {
    if (!find(port)) return false;
    int fd = static_cast<int>(port);
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return false;
    // Raw binary: replies carry bytes such as 0x03, 0x0D, 0x11 and 0x13.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                          IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 1;  // with O_NONBLOCK an empty read gives EAGAIN, a hang-up gives 0
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, B9600) != 0 || ::cfsetospeed(&tio, B9600) != 0) return false;
    return ::tcsetattr(fd, TCSANOW, &tio) == 0;
  }

  bool setTimeouts(Handle port, const Timeouts& timeouts) noexcept override {
    OpenPort* open = find(port);
    if (!open || !::isatty(static_cast<int>(port))) return false;
    open->timeouts = timeouts;
    return true;
  }

  bool purge(Handle port) noexcept override {
    if (!find(port)) return false;
    return ::tcflush(static_cast<int>(port), TCIOFLUSH) == 0;
  }

  bool write(Handle port, const uint8_t* data, std::size_t size) noexcept override {
    OpenPort* open = find(port);
    if (!open) return false;
    int fd = static_cast<int>(port);
    const auto deadline = Clock::now() + std::chrono::milliseconds(
        uint64_t{open->timeouts.writeMultiplier} * size + open->timeouts.writeConstant);
    std::size_t done = 0;
    while (done < size) {
      ssize_t n = ::write(fd, data + done, size - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) return false;
      int wait = remainingMs(deadline);
      if (wait == 0) return true;  // a write time-out is not a failed call
      pollfd p{fd, POLLOUT, 0};
      int r = ::poll(&p, 1, wait);
      if (r < 0 && errno != EINTR) return false;
      if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) return false;
    }
    return true;
  }

  bool read(Handle port, uint8_t* buffer, std::size_t capacity, std::size_t& received) noexcept override {
    received = 0;
    OpenPort* open = find(port);
    if (!open) return false;
    int fd = static_cast<int>(port);
    const Timeouts& t = open->timeouts;
    const auto total = Clock::now() + std::chrono::milliseconds(uint64_t{t.readMultiplier} * capacity + t.readConstant);
    Clock::time_point lastByte{};
    bool hungUp = false;
    while (received < capacity) {
      ssize_t n = ::read(fd, buffer + received, capacity - received);
      if (n > 0) {
        received += static_cast<std::size_t>(n);
        lastByte = Clock::now();
        continue;
      }
      if (n == 0) return false;  // end of file: the device hung up
      if (errno == EINTR) continue;
      if (errno != EAGAIN) return false;
      if (hungUp) return false;  // nothing left to read and the line is gone
      auto deadline = total;
      if (received > 0) deadline = std::min(deadline, lastByte + std::chrono::milliseconds(t.readInterval));
      int wait = remainingMs(deadline);
      if (wait == 0) return true;  // short count: not an error
      pollfd p{fd, POLLIN, 0};
      int r = ::poll(&p, 1, wait);
      if (r < 0 && errno != EINTR) return false;
      if (r > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL))) {
        if (p.revents & POLLNVAL) return false;
        hungUp = true;  // take what is still buffered, then fail
      }
    }
    return true;
  }

  bool close(Handle port) noexcept override {
    OpenPort* open = find(port);
    if (!open) return false;
    int fd = static_cast<int>(port);
    ::ioctl(fd, TIOCNXCL);  // on a pty the flag would outlive the descriptor
    releaseLockFile(*open);
    openPorts().erase(fd);
    return ::close(fd) == 0 || errno == EINTR;
  }
};

}  // namespace

Backend& systemBackend() noexcept {
  static PosixBackend backend;
  return backend;
}

}  // namespace vel::port
