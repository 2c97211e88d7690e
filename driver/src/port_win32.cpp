// Port layer on Windows: the comm-port calls themselves.
#include "port.h"

#include <windows.h>

#include <algorithm>

namespace vel::port {
namespace {

HANDLE toWin32(Handle port) { return reinterpret_cast<HANDLE>(port); }

Error lastError(BOOL ok) { return ok ? 0 : static_cast<Error>(::GetLastError()); }

// The comm calls block for their own time-outs, and time a read exactly; an
// Interrupt is looked at between them, not within one.
class Win32Backend final : public Backend {
 public:
  // The name goes to CreateFileA as it stands: "COM1".."COM9", or "\\.\COM10" and above.
  Handle open(const char* name, Error& error, const OpenOptions&) noexcept override {
    HANDLE h = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    error = h == INVALID_HANDLE_VALUE ? static_cast<Error>(::GetLastError()) : 0;
    return h == INVALID_HANDLE_VALUE ? kInvalidHandle : reinterpret_cast<Handle>(h);
  }

  Error setLine9600_8N1(Handle port) noexcept override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(toWin32(port), &dcb)) return lastError(FALSE);
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    return lastError(::SetCommState(toWin32(port), &dcb));
  }

  Error setTimeouts(Handle port, const Timeouts& t) noexcept override {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = t.readInterval;
    timeouts.ReadTotalTimeoutMultiplier = t.readMultiplier;
    timeouts.ReadTotalTimeoutConstant = t.readConstant;
    timeouts.WriteTotalTimeoutMultiplier = t.writeMultiplier;
    timeouts.WriteTotalTimeoutConstant = t.writeConstant;
    return lastError(::SetCommTimeouts(toWin32(port), &timeouts));
  }

  Error purge(Handle port) noexcept override {
    return lastError(::PurgeComm(toWin32(port), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR));
  }

  Error write(Handle port, const uint8_t* data, std::size_t size) noexcept override {
    DWORD written = 0;
    return lastError(::WriteFile(toWin32(port), data, static_cast<DWORD>(size), &written, nullptr));
  }

  Error read(Handle port, uint8_t* buffer, std::size_t capacity, std::size_t& received) noexcept override {
    DWORD got = 0;
    const BOOL ok = ::ReadFile(toWin32(port), buffer, static_cast<DWORD>(capacity), &got, nullptr);
    received = got;
    return lastError(ok);
  }

  Error close(Handle port) noexcept override { return lastError(::CloseHandle(toWin32(port))); }
};

}  // namespace

OpenError classifyOpenError(Error error) noexcept {
  switch (error) {
    case ERROR_FILE_NOT_FOUND: return OpenError::NotFound;
    case ERROR_ACCESS_DENIED: return OpenError::AccessDenied;
    default: return OpenError::Other;
  }
}

Interrupt::Interrupt() noexcept = default;
Interrupt::~Interrupt() = default;

void Interrupt::raise() noexcept { raised_ = true; }

bool Interrupt::sleepUntil(std::chrono::steady_clock::time_point deadline) const noexcept {
  using Clock = std::chrono::steady_clock;
  while (!raised() && Clock::now() < deadline)
    ::Sleep(static_cast<DWORD>(std::clamp<long long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count() + 1, 1, 50)));
  return !raised();
}

Backend& systemBackend() noexcept {
  static Win32Backend backend;
  return backend;
}

}  // namespace vel::port
