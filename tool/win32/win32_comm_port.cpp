#include "win32_comm_port.h"

#include <algorithm>
#include <optional>
#include <string_view>

#include "win32_clock.h"

namespace probeaddr::win32 {
namespace {

constexpr DWORD kReceiveBuffer = 1024;
constexpr DWORD kTransmitBuffer = 512;
// A full transmit buffer leaves in 0.55 s at 9600 baud; a write that takes
// far longer than its bytes need means the device is stuck.
constexpr DWORD kWriteMsPerByte = 5;
constexpr DWORD kWriteMsExtra = 2000;

// "The system cannot find the file specified" for ERROR_FILE_NOT_FOUND (the
// messages that show it add their own full stop).
std::string systemMessage(DWORD error) {
  char text[256] = "";
  const DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                 sizeof text, nullptr);
  std::string message(text, n);
  while (!message.empty() && std::string_view("\r\n .").find(message.back()) != std::string_view::npos)
    message.pop_back();
  return message.empty() ? "error " + std::to_string(error) : message;
}

bool isMissing(DWORD error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_INVALID_NAME ||
         error == ERROR_BAD_NETPATH;
}

// Why a device could not be opened, in words the user can act on.
std::string openFailure(DWORD error) {
  if (isMissing(error)) return "no such device";
  // Windows refuses a port that another program holds with "access denied".
  if (error == ERROR_ACCESS_DENIED || error == ERROR_SHARING_VIOLATION || error == ERROR_BUSY)
    return "busy, in use by another program";
  return systemMessage(error);
}

// What the comm calls fail with once an open port has gone: an unplugged
// adapter's driver refuses the handle; a line that hung up (under Wine, a
// pseudo-terminal whose far end closed) is not ready.
std::optional<PortLoss> lossOf(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_DEVICE_REMOVED:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_GEN_FAILURE:
    case ERROR_INVALID_HANDLE:
      return PortLoss::Removed;
    case ERROR_NOT_READY:
    case ERROR_IO_DEVICE:
    case ERROR_HANDLE_EOF:
    case ERROR_BROKEN_PIPE:
      return PortLoss::HungUp;
    default:
      return std::nullopt;
  }
}

}  // namespace

std::string Win32CommPort::deviceForNumber(std::int16_t number) {
  return number >= 1 ? "COM" + std::to_string(number) : std::string();
}

void Win32CommPort::openDevice(const std::string& device, const LineSettings& line) {
  // "COM12" and "\\.\COM12" both name the device; only the second form
  // reaches ports above 9. Share mode 0: nobody else may open the port while it is ours.
  const std::string name = device.rfind("\\\\", 0) == 0 ? device : "\\\\.\\" + device;
  HANDLE h = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED,
                         nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    throw CommError(isMissing(error) ? kErrInvalidPortNumber : kErrDeviceUnavailable, openFailure(error));
  }
  auto refuse = [h](int number, const std::string& why) {
    CloseHandle(h);
    throw CommError(number, why);
  };

  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) refuse(kErrInvalidPortNumber, "not a serial port");
  SetupComm(h, kReceiveBuffer, kTransmitBuffer);
  dcb.BaudRate = static_cast<DWORD>(line.baud);
  dcb.ByteSize = static_cast<BYTE>(line.dataBits);
  switch (line.parity) {
    case Parity::None: dcb.Parity = NOPARITY; break;
    case Parity::Even: dcb.Parity = EVENPARITY; break;
    case Parity::Odd: dcb.Parity = ODDPARITY; break;
    case Parity::Mark: dcb.Parity = MARKPARITY; break;
    case Parity::Space: dcb.Parity = SPACEPARITY; break;
  }
  dcb.StopBits = line.stopBitsTimesTwo == 4 ? TWOSTOPBITS : line.stopBitsTimesTwo == 3 ? ONE5STOPBITS : ONESTOPBIT;
  dcb.fBinary = TRUE;
  dcb.fParity = line.parity != Parity::None;
  dcb.fErrorChar = dcb.fParity;  // a byte with a parity error reads as "?"
  dcb.ErrorChar = '?';
  dcb.fNull = FALSE;             // NUL bytes are kept
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = dcb.fInX = FALSE;  // no handshaking
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = FALSE;
  // A read returns at once with what is waiting; a write has a bounded time.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.WriteTotalTimeoutMultiplier = kWriteMsPerByte;
  timeouts.WriteTotalTimeoutConstant = kWriteMsExtra;
  if (!SetCommState(h, &dcb) || !SetCommTimeouts(h, &timeouts))
    refuse(kErrInvalidPropertyValue, "Invalid property value: " + systemMessage(GetLastError()));
  // Without the arrival event the waits poll the byte count instead.
  SetCommMask(h, EV_RXCHAR);

  handle_ = h;
  if (!ioEvent_) ioEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!arrivalEvent_) arrivalEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void Win32CommPort::closeDevice() noexcept {
  if (handle_ == INVALID_HANDLE_VALUE) return;
  if (arrivalPending_) {
    DWORD ignored = 0;
    CancelIo(handle_);
    GetOverlappedResult(handle_, &arrivalWait_, &ignored, TRUE);
    arrivalPending_ = false;
  }
  CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

void Win32CommPort::gone() {
  const DWORD error = GetLastError();
  if (const auto how = lossOf(error)) lost(*how);
  lost(PortLoss::Failed, systemMessage(error));
}

std::size_t Win32CommPort::bytesWaiting() {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(handle_, &errors, &status)) gone();
  return status.cbInQue;
}

// `started`: what ReadFile or WriteFile returned for io_.
bool Win32CommPort::complete(BOOL started, DWORD& transferred) {
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  return GetOverlappedResult(handle_, &io_, &transferred, TRUE) != FALSE;
}

Bytes Win32CommPort::readWaiting() {
  // Only what is waiting is asked for, so the read ends at once whatever the
  // driver makes of the time-outs (Wine lets an overlapped read with "return
  // at once" time-outs wait for data).
  Bytes bytes(bytesWaiting());
  if (bytes.empty()) return bytes;
  io_ = OVERLAPPED{};
  io_.hEvent = ioEvent_;
  DWORD got = 0;
  if (!complete(ReadFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &io_), got)) gone();
  bytes.resize(got);
  return bytes;
}

void Win32CommPort::writeAll(std::string_view text) {
  io_ = OVERLAPPED{};
  io_.hEvent = ioEvent_;
  DWORD written = 0;
  if (!complete(WriteFile(handle_, text.data(), static_cast<DWORD>(text.size()), nullptr, &io_), written)) gone();
  if (written != text.size()) lost(PortLoss::Failed, "writing timed out");
}

HANDLE Win32CommPort::arrivalEvent() {
  if (!usable() || !arrivalEvent_) return nullptr;
  if (arrivalPending_) {
    if (WaitForSingleObject(arrivalEvent_, 0) != WAIT_OBJECT_0) return arrivalEvent_;  // still watching
    DWORD ignored = 0;
    GetOverlappedResult(handle_, &arrivalWait_, &ignored, FALSE);
    arrivalPending_ = false;
  }
  // Bytes that came since the last look complete the wait at once.
  ResetEvent(arrivalEvent_);
  arrivalWait_ = OVERLAPPED{};
  arrivalWait_.hEvent = arrivalEvent_;
  if (WaitCommEvent(handle_, &arrivalMask_, &arrivalWait_)) {
    SetEvent(arrivalEvent_);
    return arrivalEvent_;
  }
  if (GetLastError() != ERROR_IO_PENDING) return nullptr;
  arrivalPending_ = true;
  return arrivalEvent_;
}

void Win32CommPort::sleepUntilInput(TimePoint deadline) {
  if (hasInput()) return;
  const DWORD ms = millisecondsUntil(deadline, clock_);
  if (ms == 0) return;
  if (HANDLE arrival = arrivalEvent())
    WaitForSingleObject(arrival, ms);
  else
    Sleep(std::min(ms, kPollWithoutEventMs));
}

void Win32CommPort::drain() noexcept { FlushFileBuffers(handle_); }

}  // namespace probeaddr::win32
