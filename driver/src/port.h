// The port layer: the few serial operations the protocol code needs, with the
// semantics of a Windows comm port. One implementation per platform
// (port_posix.cpp, port_win32.cpp); tests and fuzzers may install their own.
// Every operation reports the operating system's error number, so that its
// caller can tell a missing device from a busy one or a hang-up.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace vel::port {

// The operating system's handle, pointer-sized; all bits set means "no port".
using Handle = intptr_t;
inline constexpr Handle kInvalidHandle = -1;

// 0 for success, else the operating system's error number (errno; on Windows
// GetLastError()), or kInterrupted.
using Error = int;
// The wait was ended by an Interrupt, not by the device.
inline constexpr Error kInterrupted = -1;

// What a failed opening means to the library's caller.
enum class OpenError { NotFound, AccessDenied, Other };
OpenError classifyOpenError(Error error) noexcept;

// Read and write time-outs in milliseconds, as a Windows comm port applies them:
// a read of n bytes returns at n bytes, or `readInterval` after the last byte
// once one has come, or readMultiplier * n + readConstant after the call.
struct Timeouts {
  uint32_t readInterval;
  uint32_t readMultiplier;
  uint32_t readConstant;
  uint32_t writeMultiplier;
  uint32_t writeConstant;
};

// Ends, from any thread, the waits of the ports opened with it: once raised,
// every read and write on them returns kInterrupted at once, and so does every
// later one. It outlives those ports.
class Interrupt {
 public:
  Interrupt() noexcept;
  ~Interrupt();
  Interrupt(const Interrupt&) = delete;
  Interrupt& operator=(const Interrupt&) = delete;

  void raise() noexcept;
  bool raised() const noexcept { return raised_.load(); }
  // Sleeps until `deadline` or until raised; false when raised.
  bool sleepUntil(std::chrono::steady_clock::time_point deadline) const noexcept;
  // POSIX: a descriptor that turns readable once raised (-1 if none could be made).
  int descriptor() const noexcept { return descriptor_; }

 private:
  std::atomic<bool> raised_{false};
  int descriptor_ = -1;
};

// How a port waits, chosen when it is opened.
struct OpenOptions {
  // Ends the port's waits from another thread; it must outlive the port.
  const Interrupt* interrupt = nullptr;
  // Exact (false): a read looks at every byte as it comes, as a comm port
  // times it. Stepwise: once a reply has begun, a read awaits the rest in one
  // step of its line time (half the read interval at most) and counts a byte
  // from when it sees it; it wakes a few times per reply rather than at every
  // byte, and sees the end of a reply up to a step later.
  bool stepwise = false;
};

class Backend {
 public:
  virtual ~Backend() = default;
  // Opens the device by name, exclusively; returns kInvalidHandle and sets
  // `error` on failure.
  virtual Handle open(const char* name, Error& error, const OpenOptions& options) noexcept = 0;
  // Sets 9600 baud, 8 data bits, no parity, 1 stop bit, leaving other settings.
  virtual Error setLine9600_8N1(Handle port) noexcept = 0;
  virtual Error setTimeouts(Handle port, const Timeouts& timeouts) noexcept = 0;
  // Discards pending input and output and aborts transfers in progress.
  virtual Error purge(Handle port) noexcept = 0;
  // One write within the write time-out; a time-out is not an error.
  virtual Error write(Handle port, const uint8_t* data, std::size_t size) noexcept = 0;
  // One read of up to `capacity` bytes within the read time-outs; a short
  // count (even 0) is success.
  virtual Error read(Handle port, uint8_t* buffer, std::size_t capacity, std::size_t& received) noexcept = 0;
  virtual Error close(Handle port) noexcept = 0;
};

// The platform's backend.
Backend& systemBackend() noexcept;

// The backend the library uses: the system's unless one was installed.
Backend& active() noexcept;
// Installs `backend` for the whole process (nullptr restores the system's).
void install(Backend* backend) noexcept;

}  // namespace vel::port
