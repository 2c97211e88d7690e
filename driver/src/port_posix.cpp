// Port layer on POSIX terminals (termios), behaving like a Windows comm port:
// exclusive opening, raw 8N1 at 9600 baud, interval/total read time-outs and a
// total write time-out, purge of both directions, and fast failure once the
// device has gone away.
#include "port.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace vel::port {
namespace {

using Clock = std::chrono::steady_clock;

// What the library holds besides the descriptor while a port is open: the
// lock file that tells other programs (Qt's serial port among them) the port is
// taken, and the time-outs set on it.
struct LockFile {
  int fd = -1;
  std::string path;
};

struct OpenPort {
  // Under the name the caller gave (as Qt names its lock) and, for a link such
  // as /dev/serial/by-id/..., under the device's own name (as UUCP programs do).
  std::array<LockFile, 2> locks;
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

std::string lockFilePath(const std::string& device) {
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

// The process a lock file names, in the formats in use: Qt's ("pid\nprogram\n
// host\n"), UUCP's ASCII (the PID as text padded to ten characters) and the
// old binary one (a 4-byte PID). 0 when it names none.
long lockFileOwner(int fd) {
  char text[64];
  ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  // Four bytes with a NUL among them are binary: a PID (below 2^24) has a
  // zero top byte, and a PID as text has no NUL.
  if (n == 4 && std::memchr(text, '\0', 4) != nullptr) {
    int32_t binary;
    std::memcpy(&binary, text, sizeof binary);
    return binary > 0 ? binary : 0;
  }
  text[n] = '\0';
  const char* p = text;
  while (*p == ' ') ++p;
  char* end = nullptr;
  long pid = std::strtol(p, &end, 10);
  return end != p && (*end == '\n' || *end == '\0') && pid > 0 ? pid : 0;
}

// A lock file nobody holds with flock is still the claim of the process it
// names while that process lives: minicom, screen and other UUCP-style
// programs lock that way. It is stale once that process is gone.
bool lockFileIsStale(int fd) {
  long pid = lockFileOwner(fd);
  return pid == 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH);
}

// Claims the port with a lock file held by flock, as Qt's serial port does.
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
    int existing = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (existing < 0) continue;  // removed meanwhile: try again
    bool stale = ::flock(existing, LOCK_EX | LOCK_NB) == 0 && lockFileIsStale(existing);
    if (stale) ::unlink(path.c_str());
    ::close(existing);
    if (!stale) return Claim::Busy;
  }
  return Claim::Busy;
}

// The pty index when `device` is the slave side of a pseudo-terminal, else -1.
long ptyIndex(dev_t device) {
  constexpr unsigned kFirstSlaveMajor = 136, kSlaveMajors = 8;  // /dev/pts/N
  unsigned majorNumber = major(device);
  if (majorNumber < kFirstSlaveMajor || majorNumber >= kFirstSlaveMajor + kSlaveMajors) return -1;
  return static_cast<long>((majorNumber - kFirstSlaveMajor) * 256 + minor(device));
}

// True when the /dev/ptmx descriptor `fd` of process `pid` is the master of pty `index`.
bool isMasterOf(const std::string& pid, const char* fd, long index) {
  std::string path = "/proc/" + pid + "/fdinfo/" + fd;
  FILE* info = std::fopen(path.c_str(), "re");
  if (!info) return false;
  char line[128];
  bool master = false;
  while (!master && std::fgets(line, sizeof line, info)) {
    long ttyIndex = -1;
    master = std::sscanf(line, "tty-index: %ld", &ttyIndex) == 1 && ttyIndex == index;
  }
  std::fclose(info);
  return master;
}

// Whether another process has the device open, as fuser finds it: one pass
// over /proc/<pid>/fd. The far end of a pseudo-terminal is not a holder: a
// process that also holds its master is the device itself (a simulator keeps
// both ends open). Processes of other users are visible to root only.
bool openElsewhere(int fd) {
  struct stat device{};
  if (::fstat(fd, &device) != 0 || !S_ISCHR(device.st_mode)) return false;
  const long index = ptyIndex(device.st_rdev);
  const dev_t ptmx = makedev(5, 2);
  const std::string self = std::to_string(::getpid());
  DIR* proc = ::opendir("/proc");
  if (!proc) return false;
  bool found = false;
  while (!found) {
    const dirent* process = ::readdir(proc);
    if (!process) break;
    if (process->d_name[0] < '1' || process->d_name[0] > '9' || self == process->d_name) continue;
    const std::string pid = process->d_name;
    const std::string fdDir = "/proc/" + pid + "/fd";
    DIR* fds = ::opendir(fdDir.c_str());
    if (!fds) continue;  // gone, or another user's
    bool holdsDevice = false, holdsMaster = false;
    while (const dirent* entry = ::readdir(fds)) {
      if (entry->d_name[0] == '.') continue;
      struct stat target{};
      if (::stat((fdDir + "/" + entry->d_name).c_str(), &target) != 0 || !S_ISCHR(target.st_mode)) continue;
      if (target.st_rdev == device.st_rdev) holdsDevice = true;
      else if (index >= 0 && target.st_rdev == ptmx && isMasterOf(pid, entry->d_name, index)) holdsMaster = true;
    }
    ::closedir(fds);
    found = holdsDevice && !holdsMaster;
  }
  ::closedir(proc);
  return found;
}

// Exclusive mode set by an earlier opener keeps out everyone but root; root
// asks for it, so that it keeps out too. On a real port the mode ends with its
// holder's last close. On a pseudo-terminal it outlives a holder that died
// without clearing it, so there only a holder found in /proc counts.
bool exclusiveElsewhere(int fd) {
  struct stat device{};
  if (::fstat(fd, &device) == 0 && ptyIndex(device.st_rdev) >= 0) return false;
  int exclusive = 0;
  return ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

void releaseLockFiles(OpenPort& port) {
  for (LockFile& lock : port.locks) {
    if (lock.fd < 0) continue;
    ::unlink(lock.path.c_str());
    ::close(lock.fd);
    lock.fd = -1;
  }
}

// Claims every lock file of the port; Busy when any is held.
Claim claimLockFiles(const char* name, OpenPort& port) {
  char* resolved = ::realpath(name, nullptr);
  const std::string device = resolved ? resolved : name;
  std::free(resolved);
  const std::string names[2] = {lockFilePath(name), device == name ? std::string() : lockFilePath(device)};
  Claim claim = Claim::Unavailable;
  for (std::size_t i = 0; i < port.locks.size() && claim != Claim::Busy; ++i) {
    if (names[i].empty() || (i > 0 && names[i] == names[0])) continue;
    port.locks[i].path = names[i];
    Claim one = claimLockFile(names[i], port.locks[i].fd);
    if (one != Claim::Unavailable) claim = one;
  }
  return claim;
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
        // A port someone holds stays theirs, as a Windows port opened without
        // sharing does: exclusive mode, a live lock file, flock on the device
        // or any other process with the device open means busy.
        Claim claim = exclusiveElsewhere(fd) ? Claim::Busy : claimLockFiles(name, port);
        // flock on the device and TIOCEXCL keep out later openers that do not
        // look at lock files; flock also works against root and within one process.
        if (claim == Claim::Busy || ::flock(fd, LOCK_EX | LOCK_NB) != 0 || openElsewhere(fd)) {
          releaseLockFiles(port);
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
    releaseLockFiles(*open);
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
