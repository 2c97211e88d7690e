// The port layer: the few serial operations the protocol code needs, with the
// semantics of a Windows comm port. One implementation per platform
// (port_posix.cpp, port_win32.cpp); tests and fuzzers may install their own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace vel::port {

// The operating system's handle, pointer-sized; all bits set means "no port".
using Handle = intptr_t;
inline constexpr Handle kInvalidHandle = -1;

enum class OpenError { None, NotFound, AccessDenied, Other };

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

class Backend {
 public:
  virtual ~Backend() = default;
  // Opens the device by name, exclusively; returns kInvalidHandle and sets
  // `error` on failure.
  virtual Handle open(const char* name, OpenError& error) noexcept = 0;
  // Sets 9600 baud, 8 data bits, no parity, 1 stop bit, leaving other settings.
  virtual bool setLine9600_8N1(Handle port) noexcept = 0;
  virtual bool setTimeouts(Handle port, const Timeouts& timeouts) noexcept = 0;
  // Discards pending input and output and aborts transfers in progress.
  virtual bool purge(Handle port) noexcept = 0;
  // One write within the write time-out; false when the call fails.
  virtual bool write(Handle port, const uint8_t* data, std::size_t size) noexcept = 0;
  // One read of up to `capacity` bytes within the read time-outs; a short
  // count (even 0) is success. False when the call fails.
  virtual bool read(Handle port, uint8_t* buffer, std::size_t capacity,
                    std::size_t& received) noexcept = 0;
  virtual bool close(Handle port) noexcept = 0;
};

// The platform's backend.
Backend& systemBackend() noexcept;

// The backend the library uses: the system's unless one was installed.
Backend& active() noexcept;
// Installs `backend` for the whole process (nullptr restores the system's).
void install(Backend* backend) noexcept;

}  // namespace vel::port
