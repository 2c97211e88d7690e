// Port layer on POSIX terminals (termios), behaving like a Windows comm port:
// exclusive opening (the claim of port_ownership.h), raw 8N1 at 9600 baud,
// interval/total read time-outs and a total write time-out, purge of both
// directions, and fast failure once the device has gone away.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <utility>

#include "port.h"
#include "port_ownership.h"

namespace vel::port {
namespace {

using Clock = std::chrono::steady_clock;

// 9600 baud, 10 bits a byte: the shortest time in which a byte can follow another.
constexpr auto kByteTime = std::chrono::nanoseconds(1'041'667);
// What a stepwise read allows the far end for turning a frame into its reply.
constexpr auto kTurnaround = std::chrono::microseconds(300);

struct OpenPort {
  ownership::Claim claim;
  Timeouts timeouts{50, 50, 50, 10, 50};
  const Interrupt* interrupt = nullptr;
  bool stepwise = false;
  // The last write, for a stepwise read of its reply: when, and how many bytes.
  Clock::time_point writtenAt{};
  std::size_t written = 0;
};

// Ports opened here, by descriptor. Only these descriptors are ever touched, so
// a stale or made-up handle fails instead of acting on someone else's file.
// Several threads may each use ports of their own: the table is locked, a
// port's entry belongs to the thread that uses the port.
std::mutex tableMutex;
std::map<int, OpenPort>& openPorts() {
  static std::map<int, OpenPort> ports;
  return ports;
}

OpenPort* find(Handle port) {
  if (port < 0 || port > INT32_MAX) return nullptr;
  std::lock_guard lock(tableMutex);
  auto it = openPorts().find(static_cast<int>(port));
  return it == openPorts().end() ? nullptr : &it->second;
}

enum class Wait { Ready, TimedOut, Interrupted, Failed };

// Waits until `fd` (-1: nothing) is ready for `events`, `deadline` has come or
// `interrupt` is raised. Failed leaves errno set.
Wait waitFor(int fd, short events, const Interrupt* interrupt, Clock::time_point deadline) {
  for (;;) {
    if (interrupt && interrupt->raised()) return Wait::Interrupted;
    const auto left = std::max(deadline - Clock::now(), Clock::duration::zero());
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    const timespec timeout{static_cast<time_t>(ns / 1'000'000'000), static_cast<long>(ns % 1'000'000'000)};
    const int wake = interrupt ? interrupt->descriptor() : -1;
    pollfd fds[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
    const int ready = ::ppoll(fds, wake >= 0 ? 2 : 1, &timeout, nullptr);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return Wait::Failed;
    if (wake >= 0 && fds[1].revents) return Wait::Interrupted;
    if (ready == 0) return Wait::TimedOut;
    return Wait::Ready;
  }
}

class PosixBackend final : public Backend {
 public:
  Handle open(const char* name, Error& error, const OpenOptions& options) noexcept override {
    error = 0;
    const int fd = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
      error = errno;
      return kInvalidHandle;
    }
    try {
      OpenPort port;
      port.interrupt = options.interrupt;
      port.stepwise = options.stepwise;
      // A port someone holds stays theirs, as a Windows port opened without
      // sharing does. Anything that is no terminal (a regular file, a FIFO)
      // stays open like a Windows handle to a non-comm device: setting the
      // line then fails.
      ownership::Holder holder;
      if (::isatty(fd)) error = ownership::claim(name, fd, port.claim, holder);
      if (error == 0) {
        std::lock_guard lock(tableMutex);
        openPorts()[fd] = std::move(port);
        return fd;
      }
    } catch (...) {
      error = ENOMEM;
    }
    ::close(fd);
    return kInvalidHandle;
  }

  Error setLine9600_8N1(Handle port) noexcept override {
    if (!find(port)) return EBADF;
    const int fd = static_cast<int>(port);
    termios tio{};
    if (::tcgetattr(fd, &tio) != 0) return errno;
    // Raw binary: replies carry bytes such as 0x03, 0x0D, 0x11 and 0x13.
    tio.c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                          IXON | IXOFF | IXANY | INPCK);
    tio.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    tio.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    tio.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | CSTOPB);
    tio.c_cflag |= CS8 | CREAD | CLOCAL;
    tio.c_cc[VMIN] = 1;  // with O_NONBLOCK an empty read gives EAGAIN, a hang-up gives 0
    tio.c_cc[VTIME] = 0;
    if (::cfsetispeed(&tio, B9600) != 0 || ::cfsetospeed(&tio, B9600) != 0) return errno;
    return ::tcsetattr(fd, TCSANOW, &tio) == 0 ? 0 : errno;
  }

  Error setTimeouts(Handle port, const Timeouts& timeouts) noexcept override {
    OpenPort* open = find(port);
    if (!open) return EBADF;
    if (!::isatty(static_cast<int>(port))) return ENOTTY;
    open->timeouts = timeouts;
    return 0;
  }

  Error purge(Handle port) noexcept override {
    if (!find(port)) return EBADF;
    return ::tcflush(static_cast<int>(port), TCIOFLUSH) == 0 ? 0 : errno;
  }

  Error write(Handle port, const uint8_t* data, std::size_t size) noexcept override {
    OpenPort* open = find(port);
    if (!open) return EBADF;
    const int fd = static_cast<int>(port);
    open->writtenAt = Clock::now();
    open->written = size;
    const auto deadline = Clock::now() + std::chrono::milliseconds(
        uint64_t{open->timeouts.writeMultiplier} * size + open->timeouts.writeConstant);
    std::size_t done = 0;
    while (done < size) {
      const ssize_t n = ::write(fd, data + done, size - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN) return errno;
      switch (waitFor(fd, POLLOUT, open->interrupt, deadline)) {
        case Wait::TimedOut: return 0;  // a write time-out is not a failed call
        case Wait::Interrupted: return kInterrupted;
        case Wait::Failed: return errno;
        case Wait::Ready: break;  // writable, or hung up: the write says which
      }
    }
    return 0;
  }

  Error read(Handle port, uint8_t* buffer, std::size_t capacity, std::size_t& received) noexcept override {
    received = 0;
    OpenPort* open = find(port);
    if (!open) return EBADF;
    const int fd = static_cast<int>(port);
    const Timeouts t = open->timeouts;
    const auto start = Clock::now();
    const auto total = start + std::chrono::milliseconds(uint64_t{t.readMultiplier} * capacity + t.readConstant);
    const auto interval = std::chrono::milliseconds(t.readInterval);
    Clock::time_point lastByte{};
    bool paused = false;  // after a pause the rest is usually there: read at once
    if (const std::size_t frame = std::exchange(open->written, 0); open->stepwise && frame > 0) {
      // The first read after a frame: its reply cannot be over before the
      // frame and the reply have crossed the line.
      const Clock::time_point over = open->writtenAt + kByteTime * static_cast<long>(frame + capacity) + kTurnaround;
      const Clock::time_point step = start + interval / 2;
      if (waitFor(-1, 0, open->interrupt, std::min({over, total, step})) == Wait::Interrupted)
        return kInterrupted;
      paused = true;
    }
    while (received < capacity) {
      const auto deadline = received > 0 ? std::min(total, lastByte + interval) : total;
      if (!std::exchange(paused, false)) {
        switch (waitFor(fd, POLLIN, open->interrupt, deadline)) {
          case Wait::TimedOut: return 0;  // a short count is no error
          case Wait::Interrupted: return kInterrupted;
          case Wait::Failed: return errno;
          case Wait::Ready: break;  // readable, or hung up: the read says which
        }
      }
      const ssize_t n = ::read(fd, buffer + received, capacity - received);
      if (n == 0) return EIO;  // end of file: the device hung up
      if (n < 0) {
        if (errno == EINTR || errno == EAGAIN) continue;
        return errno;
      }
      received += static_cast<std::size_t>(n);
      lastByte = Clock::now();
      if (received == capacity || !open->stepwise) continue;
      // The rest cannot come faster than the line carries it: wait for it in
      // one step rather than waking up for every byte.
      const auto rest = std::min<Clock::duration>(kByteTime * (capacity - received), interval / 2);
      if (waitFor(-1, 0, open->interrupt, std::min(lastByte + rest, total)) == Wait::Interrupted)
        return kInterrupted;
      paused = true;
    }
    return 0;
  }

  Error close(Handle port) noexcept override {
    OpenPort closing;
    {
      std::lock_guard lock(tableMutex);
      auto it = port < 0 || port > INT32_MAX ? openPorts().end() : openPorts().find(static_cast<int>(port));
      if (it == openPorts().end()) return EBADF;
      closing = std::move(it->second);
      openPorts().erase(it);
    }
    const int fd = static_cast<int>(port);
    closing.claim.release(fd);
    return ::close(fd) == 0 || errno == EINTR ? 0 : errno;
  }
};

}  // namespace

OpenError classifyOpenError(Error error) noexcept {
  switch (error) {
    case ENOENT: case ENOTDIR: case ENXIO: case ENODEV: return OpenError::NotFound;
    case EBUSY: case EACCES: case EPERM: return OpenError::AccessDenied;
    default: return OpenError::Other;
  }
}

Interrupt::Interrupt() noexcept : descriptor_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Interrupt::~Interrupt() {
  if (descriptor_ >= 0) ::close(descriptor_);
}

void Interrupt::raise() noexcept {
  raised_ = true;
  const uint64_t one = 1;
  if (descriptor_ >= 0 && ::write(descriptor_, &one, sizeof one) < 0) { /* already counted enough */ }
}

bool Interrupt::sleepUntil(std::chrono::steady_clock::time_point deadline) const noexcept {
  while (!raised() && Clock::now() < deadline) {
    // Without a descriptor the flag is looked at every 50 ms.
    const auto step = descriptor_ >= 0 ? deadline : std::min(deadline, Clock::now() + std::chrono::milliseconds(50));
    if (waitFor(-1, 0, descriptor_ >= 0 ? this : nullptr, step) == Wait::Failed) break;
  }
  return !raised();
}

Backend& systemBackend() noexcept {
  static PosixBackend backend;
  return backend;
}

}  // namespace vel::port
