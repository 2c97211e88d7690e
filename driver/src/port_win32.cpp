// Port layer on Windows: the comm-port calls themselves.
#include "port.h"

#include <windows.h>

namespace vel::port {
namespace {

HANDLE toWin32(Handle port) { return reinterpret_cast<HANDLE>(port); }

class Win32Backend final : public Backend {
 public:
  // The name goes to CreateFileA as it stands: "COM1".."COM9", or "\\.\COM10" and above.
  Handle open(const char* name, OpenError& error) noexcept override {
    HANDLE h = ::CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
      switch (::GetLastError()) {
        case ERROR_FILE_NOT_FOUND: error = OpenError::NotFound; break;
        case ERROR_ACCESS_DENIED: error = OpenError::AccessDenied; break;
        default: error = OpenError::Other;
      }
      return kInvalidHandle;
    }
    error = OpenError::None;
    return reinterpret_cast<Handle>(h);
  }

  bool setLine9600_8N1(Handle port) noexcept override {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!::GetCommState(toWin32(port), &dcb)) return false;
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    return ::SetCommState(toWin32(port), &dcb) != FALSE;
  }

  bool setTimeouts(Handle port, const Timeouts& t) noexcept override {
    COMMTIMEOUTS timeouts{};
    timeouts.ReadIntervalTimeout = t.readInterval;
    timeouts.ReadTotalTimeoutMultiplier = t.readMultiplier;
    timeouts.ReadTotalTimeoutConstant = t.readConstant;
    timeouts.WriteTotalTimeoutMultiplier = t.writeMultiplier;
    timeouts.WriteTotalTimeoutConstant = t.writeConstant;
    return ::SetCommTimeouts(toWin32(port), &timeouts) != FALSE;
  }

  bool purge(Handle port) noexcept override {
    return ::PurgeComm(toWin32(port), PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) != FALSE;
  }

  bool write(Handle port, const uint8_t* data, std::size_t size) noexcept override {
    DWORD written = 0;
    return ::WriteFile(toWin32(port), data, static_cast<DWORD>(size), &written, nullptr) != FALSE;
  }

  bool read(Handle port, uint8_t* buffer, std::size_t capacity, std::size_t& received) noexcept override {
    DWORD got = 0;
    BOOL ok = ::ReadFile(toWin32(port), buffer, static_cast<DWORD>(capacity), &got, nullptr);
    received = got;
    return ok != FALSE;
  }

  bool close(Handle port) noexcept override { return ::CloseHandle(toWin32(port)) != FALSE; }
};

}  // namespace

Backend& systemBackend() noexcept {
  static Win32Backend backend;
  return backend;
}

}  // namespace vel::port
