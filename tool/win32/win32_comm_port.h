// The main window's serial-port object (MSComm1) over the Win32 comm calls,
// keeping the rules of CommPortBase.
//
// Port n is COMn; a name given as a path ("PORT=COM12", "PORT=\\.\COM12")
// names the device directly. The port is opened exclusively (share mode 0),
// overlapped, at the line settings, with DTR asserted, RTS not and no
// handshaking; reads never block (COMMTIMEOUTS), and ClearCommError gives
// the count of bytes waiting. A device that does not exist or is no serial
// port is 8002, one that another program holds 68 (Windows says access
// denied), said in words the user can act on: "no such device", "not a
// serial port", "busy, in use by another program".
#pragma once

#include <windows.h>

#include <string>

#include "probeaddr/clock.h"
#include "probeaddr/comm_port_base.h"

namespace probeaddr::win32 {

class Win32CommPort final : public CommPortBase {
 public:
  // Deadlines are on `clock`.
  explicit Win32CommPort(Clock& clock) : clock_(clock) {}
  ~Win32CommPort() override { setPortOpen(false); }

  // An event that is signalled once bytes arrive, for waiting on it together
  // with window messages; null when the port cannot be watched.
  HANDLE arrivalEvent();

 private:
  void openDevice(const std::string& device, const LineSettings& line) override;
  void closeDevice() noexcept override;
  std::string deviceForNumber(std::int16_t number) override;
  // The device failed: GetLastError() tells how.
  [[noreturn]] void gone();
  std::size_t bytesWaiting() override;
  // Waits for the overlapped read or write in io_ to end; false when it failed.
  bool complete(BOOL started, DWORD& transferred);
  Bytes readWaiting() override;
  void writeAll(std::string_view text) override;
  void sleepUntilInput(TimePoint deadline) override;
  void drain() noexcept override;

  Clock& clock_;
  HANDLE handle_ = INVALID_HANDLE_VALUE;
  HANDLE ioEvent_ = nullptr;       // reads and writes, one at a time, in io_
  OVERLAPPED io_{};
  HANDLE arrivalEvent_ = nullptr;  // WaitCommEvent(EV_RXCHAR)
  OVERLAPPED arrivalWait_{};
  DWORD arrivalMask_ = 0;
  bool arrivalPending_ = false;
};

}  // namespace probeaddr::win32
