#include "win32_comm_port.h"

#include <algorithm>
#include <climits>
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

[[noreturn]] void fail(int number, const std::string& what, DWORD error) {
  throw CommError(number, what + ": " + systemMessage(error));
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

}  // namespace

Win32CommPort::Win32CommPort(Clock& clock) : clock_(clock) {
  device_ = "\\\\.\\COM1";  // the component's stored port number
  line_.DCBlength = sizeof line_;
  BuildCommDCBA("9600,n,8,1", &line_);
}

Win32CommPort::~Win32CommPort() { closeDevice(); }

void Win32CommPort::setCommPort(std::int16_t number) {
  if (portOpen()) throw CommError(kErrPortAlreadyOpen, "Port already open");
  device_ = number >= 1 ? "\\\\.\\COM" + std::to_string(number) : std::string();
}

void Win32CommPort::setDevicePath(const std::string& path) {
  if (portOpen()) throw CommError(kErrPortAlreadyOpen, "Port already open");
  // "COM12" and "\\.\COM12" both name the device; only the second form
  // reaches ports above 9.
  device_ = path.empty() || path.rfind("\\\\", 0) == 0 ? path : "\\\\.\\" + path;
}

// "baud,parity,data,stop" as the mode command takes it, e.g. "9600,n,8,1".
void Win32CommPort::setSettings(const std::string& settings) {
  DCB parsed{};
  parsed.DCBlength = sizeof parsed;
  if (!BuildCommDCBA(settings.c_str(), &parsed)) throw CommError(kErrInvalidPropertyValue, "Invalid property value");
  if (portOpen()) {
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle_, &dcb)) deviceFailed("Error reading comm device");
    dcb.BaudRate = parsed.BaudRate;
    dcb.ByteSize = parsed.ByteSize;
    dcb.Parity = parsed.Parity;
    dcb.StopBits = parsed.StopBits;
    if (!SetCommState(handle_, &dcb)) fail(kErrInvalidPropertyValue, "Invalid property value", GetLastError());
  }
  line_ = parsed;
}

void Win32CommPort::setPortOpen(bool open) {
  if (!open) {
    closeDevice();
    return;
  }
  if (portOpen()) throw CommError(kErrPortAlreadyOpen, "Port already open");
  if (device_.empty()) throw CommError(kErrInvalidPortNumber, "no such device");

  // Share mode 0: nobody else may open the port while it is ours.
  HANDLE h = CreateFileA(device_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                         FILE_FLAG_OVERLAPPED, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    const DWORD error = GetLastError();
    throw CommError(isMissing(error) ? kErrInvalidPortNumber : kErrDeviceUnavailable, openFailure(error));
  }
  auto refuse = [h](int number, const std::string& what) {
    const DWORD error = GetLastError();
    CloseHandle(h);
    fail(number, what, error);
  };

  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  if (!GetCommState(h, &dcb)) {
    CloseHandle(h);
    throw CommError(kErrInvalidPortNumber, "not a serial port");
  }
  SetupComm(h, kReceiveBuffer, kTransmitBuffer);
  dcb.BaudRate = line_.BaudRate;
  dcb.ByteSize = line_.ByteSize;
  dcb.Parity = line_.Parity;
  dcb.StopBits = line_.StopBits;
  dcb.fBinary = TRUE;
  dcb.fParity = line_.Parity != NOPARITY;
  dcb.fErrorChar = dcb.fParity;  // a byte with a parity error reads as "?"
  dcb.ErrorChar = '?';
  dcb.fNull = FALSE;             // NUL bytes are kept
  dcb.fOutxCtsFlow = dcb.fOutxDsrFlow = dcb.fDsrSensitivity = FALSE;
  dcb.fOutX = dcb.fInX = FALSE;  // no handshaking
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fRtsControl = RTS_CONTROL_DISABLE;
  dcb.fAbortOnError = FALSE;
  if (!SetCommState(h, &dcb)) refuse(kErrInvalidPropertyValue, "Invalid property value");

  // A read returns at once with what is waiting; a write has a bounded time.
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = MAXDWORD;
  timeouts.WriteTotalTimeoutMultiplier = kWriteMsPerByte;
  timeouts.WriteTotalTimeoutConstant = kWriteMsExtra;
  if (!SetCommTimeouts(h, &timeouts)) refuse(kErrInvalidPropertyValue, "Invalid property value");
  // Without the arrival event the waits poll the byte count instead.
  SetCommMask(h, EV_RXCHAR);

  handle_ = h;
  failed_ = false;
  failure_.clear();
  if (!ioEvent_) ioEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (!arrivalEvent_) arrivalEvent_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
}

void Win32CommPort::closeDevice() {
  if (!portOpen()) return;
  if (arrivalPending_) {
    DWORD ignored = 0;
    CancelIo(handle_);
    GetOverlappedResult(handle_, &arrivalWait_, &ignored, TRUE);
    arrivalPending_ = false;
  }
  CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

void Win32CommPort::requireUsable() {
  if (failed_) throw CommError(kErrDeviceFailed, failure_);
  if (!portOpen()) throw CommError(kErrPortNotOpen, "Operation valid only when the port is open");
}

void Win32CommPort::deviceFailed(const char* what) {
  const DWORD error = GetLastError();
  failed_ = true;
  const bool local = device_.rfind("\\\\.\\", 0) == 0;  // "\\.\COM5" is COM5 to the user
  failure_ = std::string(what) + " (" + device_.substr(local ? 4 : 0) + "): " + systemMessage(error);
  throw CommError(kErrDeviceFailed, failure_);
}

DWORD Win32CommPort::waitingBytes() {
  DWORD errors = 0;
  COMSTAT status{};
  if (!ClearCommError(handle_, &errors, &status)) deviceFailed("Error reading comm device");
  return status.cbInQue;
}

bool Win32CommPort::hasInput() {
  if (failed_ || !portOpen()) return false;
  DWORD errors = 0;
  COMSTAT status{};
  return ClearCommError(handle_, &errors, &status) && status.cbInQue > 0;
}

int Win32CommPort::inBufferCount() {
  requireUsable();
  return static_cast<int>(std::min<DWORD>(waitingBytes(), SHRT_MAX));
}

// `started`: what ReadFile or WriteFile returned for io_.
bool Win32CommPort::complete(BOOL started, DWORD& transferred) {
  if (!started && GetLastError() != ERROR_IO_PENDING) return false;
  return GetOverlappedResult(handle_, &io_, &transferred, TRUE) != FALSE;
}

Bytes Win32CommPort::input() {
  requireUsable();
  // Only what is waiting is asked for, so the read ends at once whatever the
  // driver makes of the time-outs (Wine lets an overlapped read with "return
  // at once" time-outs wait for data).
  Bytes bytes(waitingBytes());
  if (bytes.empty()) return bytes;
  io_ = OVERLAPPED{};
  io_.hEvent = ioEvent_;
  DWORD got = 0;
  if (!complete(ReadFile(handle_, bytes.data(), static_cast<DWORD>(bytes.size()), nullptr, &io_), got))
    deviceFailed("Error reading comm device");
  bytes.resize(got);
  return bytes;
}

void Win32CommPort::output(std::string_view text) {
  requireUsable();
  if (text.empty()) return;
  io_ = OVERLAPPED{};
  io_.hEvent = ioEvent_;
  DWORD written = 0;
  if (!complete(WriteFile(handle_, text.data(), static_cast<DWORD>(text.size()), nullptr, &io_), written))
    deviceFailed("Write failed");
  if (written != text.size()) deviceFailed("Write timed out");
}

HANDLE Win32CommPort::arrivalEvent() {
  if (failed_ || !portOpen() || !arrivalEvent_) return nullptr;
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

void Win32CommPort::waitForInput(TimePoint deadline) {
  if (hasInput()) return;
  const DWORD ms = millisecondsUntil(deadline, clock_);
  if (ms == 0 || failed_ || !portOpen()) return;
  if (HANDLE arrival = arrivalEvent())
    WaitForSingleObject(arrival, ms);
  else
    Sleep(std::min(ms, kPollWithoutEventMs));
}

void Win32CommPort::finish() {
  if (!portOpen()) return;
  if (!failed_) FlushFileBuffers(handle_);
  closeDevice();
}

}  // namespace probeaddr::win32
