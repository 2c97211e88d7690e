// The main window's serial-port object (MSComm1) over the Win32 comm calls.
//
// Port n is \\.\COMn; a name given with setDevicePath() ("PORT=COM12",
// "PORT=\\.\COM12") names the device directly, and whichever of the two was
// written last decides. The port is opened exclusively (share mode 0),
// overlapped, at the line settings given as "9600,n,8,1", with DTR asserted,
// RTS not and no handshaking; reads never block (COMMTIMEOUTS), and
// ClearCommError gives the count of bytes waiting.
//
// Failures are thrown as CommError with these numbers:
//   8002  invalid port number: below 1, no such device, or not a serial port
//   68    device unavailable: it exists but cannot be opened (held by another
//         program or by the driver library: Windows says access denied)
//   380   invalid property value: line settings the port cannot take
//   8005  port number, name or open requested while the port is open
//   8018  a read or write on a closed port
//   8020  the device failed or went away while open
// Opening failures describe themselves in words the user can act on: "no
// such device", "not a serial port", "busy, in use by another program".
#pragma once

#include <windows.h>

#include <string>

#include "probeaddr/clock.h"
#include "probeaddr/comm_port.h"

namespace probeaddr::win32 {

class Win32CommPort final : public CommPort {
 public:
  // Deadlines are on `clock`.
  explicit Win32CommPort(Clock& clock);
  ~Win32CommPort() override;
  Win32CommPort(const Win32CommPort&) = delete;
  Win32CommPort& operator=(const Win32CommPort&) = delete;

  void setCommPort(std::int16_t number) override;
  void setDevicePath(const std::string& path) override;
  void setSettings(const std::string& settings) override;
  bool portOpen() override { return handle_ != INVALID_HANDLE_VALUE; }
  void setPortOpen(bool open) override;
  void setInputMode(InputMode mode) override { mode_ = mode; }
  int inBufferCount() override;
  Bytes input() override;
  void output(std::string_view text) override;
  void waitForInput(TimePoint deadline) override;

  // True when received bytes are waiting; never throws.
  bool hasInput();
  // An event that is signalled once bytes arrive, for waiting on it together
  // with window messages; null when the port cannot be watched.
  HANDLE arrivalEvent();
  // Waits until written bytes are on the line, then closes the port; for the
  // end of the program.
  void finish();

 private:
  void requireUsable();
  // Takes GetLastError() first, so `what` must not be built on the way.
  [[noreturn]] void deviceFailed(const char* what);
  DWORD waitingBytes();
  // Waits for the overlapped read or write in io_ to end; false when it failed.
  bool complete(BOOL started, DWORD& transferred);
  void closeDevice();

  Clock& clock_;
  std::string device_;  // what CreateFileA opens
  DCB line_{};          // from the last accepted settings
  InputMode mode_ = InputMode::Text;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  HANDLE ioEvent_ = nullptr;       // reads and writes, one at a time, in io_
  OVERLAPPED io_{};
  HANDLE arrivalEvent_ = nullptr;  // WaitCommEvent(EV_RXCHAR)
  OVERLAPPED arrivalWait_{};
  DWORD arrivalMask_ = 0;
  bool arrivalPending_ = false;
  bool failed_ = false;
  std::string failure_;
};

}  // namespace probeaddr::win32
