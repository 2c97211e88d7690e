#include "probe.h"

#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>

#include "format.h"
#include "ports.h"

namespace velprobe {
namespace {

// VEL_CreateProbe failed before or while setting up the port: say why in the
// user's terms. The library gives 7 both for a port held by someone else and
// for a missing permission; access() tells them apart.
Failure portFailure(const std::string& port, int32_t code) {
  const std::string call = "\n  " + callFailed("VEL_CreateProbe", code);
  const std::string head = "cannot open port " + port + ": ";
  switch (code) {
    case VEL_PORT_NOT_FOUND:
      return Failure(head + "no such device" + call +
                         "\n  Check the name; serial adapters usually appear as /dev/ttyUSB*,"
                         " /dev/ttyACM* or under /dev/serial/by-id/.",
                     kExitPort);
    case VEL_ACCESS_DENIED: {
      if (::access(port.c_str(), R_OK | W_OK) != 0 && (errno == EACCES || errno == EPERM)) {
        const std::string group = groupOf(port);
        const bool system = group.empty() || group == "root";
        const std::string join = system ? "dialout" : group;
        return Failure(head + "permission denied" + call + "\n  Your user may not read and write " + port +
                           (group.empty() ? "" : ", which belongs to group '" + group + "'") + ".\n  " +
                           (system ? "Serial ports usually belong to group 'dialout'; join it"
                                   : "Join that group (serial ports usually belong to 'dialout')") +
                           ": sudo usermod -aG " + join + " \"$USER\", then log out and in again.",
                       kExitPort);
      }
      std::string holders;
      for (const Holder& holder : portHolders(port))
        holders += (holders.empty() ? ": " : ", ") + describe(holder);
      return Failure(head + "the port is busy, another program holds it" + holders + call +
                         "\n  Close that program and try again." +
                         (holders.empty() && ::geteuid() != 0
                              ? " Only root sees the programs of other users (sudo fuser -v " + port + ")."
                              : ""),
                     kExitPort);
    }
    case VEL_PORT_SETUP:
      return Failure(
          head + "it does not take serial line settings" + call + "\n  Is " + port + " a serial port?",
          kExitPort);
    default: {
      struct stat st {};
      std::string why = "the operating system refused it";
      if (::stat(port.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) why = "it is a directory";
      return Failure(head + why + call, kExitPort);
    }
  }
}

// A hint for the failures a user can do something about.
std::string hint(int32_t code) {
  switch (code) {
    case VEL_TIMEOUT:
      return "\n  Is the probe switched on and connected? A slow line may need a longer --timeout.";
    case VEL_WRONG_REPLY:
      return "\n  Something other than the expected reply came back: another device on the line,"
             " or another program talking to the probe?";
    case VEL_READ_FAILED:
    case VEL_WRITE_FAILED:
    case VEL_PURGE_FAILED: return "\n  The port failed; was the adapter unplugged?";
    case VEL_NOT_CONFIRMED: return "\n  The probe answered but did not take the setting.";
    case VEL_ABOVE_LIMIT: return "\n  The field is above the range of the probe.";
    default: return {};
  }
}

}  // namespace

ResultCode describe(int32_t code) {
  switch (code) {
    case VEL_OK: return {"VEL_OK", "success"};
    case VEL_INVALID_HANDLE: return {"VEL_INVALID_HANDLE", "no open port, or the port could not be opened"};
    case VEL_PORT_NOT_FOUND: return {"VEL_PORT_NOT_FOUND", "the port device does not exist"};
    case VEL_NULL_ARGUMENT: return {"VEL_NULL_ARGUMENT", "a pointer argument was NULL"};
    case VEL_WRONG_REPLY: return {"VEL_WRONG_REPLY", "the reply did not start with the command's letter"};
    case VEL_OUT_OF_RANGE: return {"VEL_OUT_OF_RANGE", "the setting value is out of range"};
    case VEL_ACCESS_DENIED: return {"VEL_ACCESS_DENIED", "access to the port was denied"};
    case VEL_TIMEOUT: return {"VEL_TIMEOUT", "no complete reply came within the reply time-out"};
    case VEL_PORT_SETUP: return {"VEL_PORT_SETUP", "setting up the serial line failed"};
    case VEL_WRITE_FAILED: return {"VEL_WRITE_FAILED", "writing the command failed"};
    case VEL_READ_FAILED: return {"VEL_READ_FAILED", "reading from the port failed"};
    case VEL_NOT_CONFIRMED: return {"VEL_NOT_CONFIRMED", "the probe did not confirm the setting"};
    case VEL_WRONG_MODEL: return {"VEL_WRONG_MODEL", "the probe's model differs from the expected one"};
    case VEL_ABOVE_LIMIT: return {"VEL_ABOVE_LIMIT", "a field value lies above the probe's field limit"};
    case VEL_INVALID_VALUE:
      return {"VEL_INVALID_VALUE", "the probe reported a negative or invalid field value"};
    case VEL_CLOSE_FAILED: return {"VEL_CLOSE_FAILED", "closing the port failed"};
    case VEL_PURGE_FAILED: return {"VEL_PURGE_FAILED", "purging the port failed"};
    default: return {"unknown", "a result code this program does not know"};
  }
}

bool portLost(int32_t code) {
  return code == VEL_READ_FAILED || code == VEL_WRITE_FAILED || code == VEL_PURGE_FAILED;
}

std::string callFailed(const char* call, int32_t code) {
  const ResultCode rc = describe(code);
  return std::string(call) + " returned " + std::to_string(code) + " (" + rc.name + ": " + rc.meaning + ")";
}

Probe::Probe(const std::string& port, const std::string& model) : port_(port) {
  char expected[4] = {};  // the library reads exactly four bytes
  model.copy(expected, sizeof expected);
  const int32_t rc = VEL_CreateProbe(expected, &handle_, port.c_str());
  if (rc == VEL_OK) return;
  // The port stays open when a step after opening failed.
  if (rc == VEL_WRONG_MODEL) throw refusedModel(model);
  release();
  if (rc == VEL_PORT_NOT_FOUND || rc == VEL_ACCESS_DENIED || rc == VEL_PORT_SETUP || rc == VEL_INVALID_HANDLE)
    throw portFailure(port, rc);
  throw Failure((rc == VEL_TIMEOUT ? "no probe answers on " : "no usable probe on ") + port + "\n  " +
                    callFailed("VEL_CreateProbe", rc) + hint(rc),
                kExitDevice);
}

Answer Probe::ask(const std::string& port, const std::string& model) {
  Probe probe;
  probe.port_ = port;
  char expected[4] = {};
  model.copy(expected, sizeof expected);
  Answer answer;
  answer.code = VEL_CreateProbe(expected, &probe.handle_, port.c_str());
  if (answer.code != VEL_OK && answer.code != VEL_WRONG_MODEL) return answer;
  try {
    answer.model = probe.model();
    answer.firmware = probe.text("reading the firmware", "VEL_Firmware", VEL_Firmware);
    answer.serialNumber = probe.text("reading the serial number", "VEL_SerialNumber", VEL_SerialNumber);
  } catch (const Failure&) {
    // What came is shown; the rest stays empty.
  }
  return answer;
}

// The probe answered with another model; the port is still open, so what the
// probe reported can be read before closing it.
Failure Probe::refusedModel(const std::string& expected) {
  std::string reported;
  try {
    const std::string model = this->model();
    reported = "is a " + escapeText(model) + " (firmware " +
               escapeText(text("reading the firmware", "VEL_Firmware", VEL_Firmware)) + ")";
    if (model.size() >= 4) reported += "; --model " + escapeText(model.substr(0, 4)) + " accepts it";
  } catch (const Failure&) {
    reported = "did not say which model it is";
  }
  release();
  return Failure("the probe on " + port_ + " is not a model beginning with '" + expected + "': it " +
                     reported + "\n  " + callFailed("VEL_CreateProbe", VEL_WRONG_MODEL),
                 kExitDevice);
}

Probe::~Probe() { release(); }

void Probe::release() noexcept {
  if (handle_ != INVALID_HANDLE_VALUE) VEL_RemoveProbe(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

void Probe::close() {
  const HANDLE handle = handle_;
  handle_ = INVALID_HANDLE_VALUE;
  if (handle == INVALID_HANDLE_VALUE) return;
  if (int32_t rc = VEL_RemoveProbe(handle); rc != VEL_OK)
    throw Failure("closing " + port_ + " failed\n  " + callFailed("VEL_RemoveProbe", rc), kExitDevice);
}

void Probe::check(const char* what, const char* call, int32_t code) const {
  throwIfFailed({what, call, code});
}

std::string Probe::text(const char* what, const char* call,
                        int32_t (*function)(HANDLE, char*, int32_t*)) const {
  char buffer[16];  // the widest text is 11 characters
  int32_t length = 0;
  check(what, call, function(handle_, buffer, &length));
  if (length < 0 || length > static_cast<int32_t>(sizeof buffer))
    throw Failure(std::string(call) + " reported an impossible length " + std::to_string(length),
                  kExitDevice);
  return std::string(buffer, static_cast<std::size_t>(length));
}

std::string Probe::model() {
  // The library's handle is the port's descriptor here. Every library call
  // purges the port before its command; this exchange does the same, and
  // takes in the whole reply so that none of it is left on the line.
  const int fd = static_cast<int>(reinterpret_cast<intptr_t>(handle_));
  constexpr std::string_view kQuery = "#00?v*";
  constexpr std::size_t kReplySize = 18, kModelOffset = 1, kModelSize = 5;
  ::tcflush(fd, TCIOFLUSH);
  std::string reply;
  if (::write(fd, kQuery.data(), kQuery.size()) == static_cast<ssize_t>(kQuery.size())) {
    // The reply within a second, ended early by 50 ms of silence after a byte.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (reply.size() < kReplySize) {
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now())
              .count();
      pollfd p{fd, POLLIN, 0};
      const int wait = reply.empty() ? static_cast<int>(left) : static_cast<int>(std::min<long>(left, 50));
      if (wait <= 0 || ::poll(&p, 1, wait) <= 0 || !(p.revents & POLLIN)) break;
      char buffer[kReplySize];
      const ssize_t n = ::read(fd, buffer, kReplySize - reply.size());
      if (n <= 0) break;
      reply.append(buffer, static_cast<std::size_t>(n));
    }
  }
  if (reply.size() < kModelOffset + kModelSize || reply[0] != 'v')
    throw Failure("reading the model failed\n  the probe gave no version reply to " + std::string(kQuery) +
                      hint(VEL_TIMEOUT),
                  kExitDevice);
  return reply.substr(kModelOffset, kModelSize);
}

Identity Probe::identity() {
  Identity id;
  id.model = model();
  id.firmware = text("reading the firmware", "VEL_Firmware", VEL_Firmware);
  id.serialNumber = text("reading the serial number", "VEL_SerialNumber", VEL_SerialNumber);
  // VEL_Model gives the same bytes of the data block as VEL_ProbeName.
  id.name = text("reading the probe name", "VEL_ProbeName", VEL_ProbeName);
  id.calibrationDate = text("reading the calibration date", "VEL_CalibrationDate", VEL_CalibrationDate);
  return id;
}

ReadError Probe::tryRead(Reading& r) {
  r = Reading{};
  r.time = std::chrono::system_clock::now();
  if (int32_t rc = VEL_ReadBattery(handle_, &r.battery))
    return {"reading the battery voltage", "VEL_ReadBattery", rc};
  if (int32_t rc = VEL_ReadTemperature(handle_, &r.temperature))
    return {"reading the temperature", "VEL_ReadTemperature", rc};
  int32_t rc = VEL_ReadTotalField(handle_, &r.totalField);
  r.totalOverRange = rc == VEL_ABOVE_LIMIT;
  if (rc != VEL_OK && !r.totalOverRange) return {"reading the total field", "VEL_ReadTotalField", rc};
  rc = VEL_ReadAxisField(handle_, &r.axis[0], &r.axis[1], &r.axis[2]);
  r.axisOverRange = rc == VEL_ABOVE_LIMIT;
  if (rc != VEL_OK && !r.axisOverRange) return {"reading the axis field", "VEL_ReadAxisField", rc};
  return {};
}

ReadError strictly(const ReadError& error, const Reading& r) {
  if (error.code != VEL_OK) return error;
  if (r.totalOverRange) return {"reading the total field", "VEL_ReadTotalField", VEL_ABOVE_LIMIT};
  if (r.axisOverRange) return {"reading the axis field", "VEL_ReadAxisField", VEL_ABOVE_LIMIT};
  return {};
}

void throwIfFailed(const ReadError& error) {
  if (error.code != VEL_OK)
    throw Failure(
        std::string(error.what) + " failed\n  " + callFailed(error.call, error.code) + hint(error.code),
        kExitDevice);
}

Reading Probe::read() {
  Reading r;
  throwIfFailed(strictly(tryRead(r), r));
  return r;
}

void Probe::setFrequency(int32_t hundredths) {
  check("setting the frequency", "VEL_SetFrequency", VEL_SetFrequency(handle_, hundredths));
}

void Probe::setFilter(int32_t filter) {
  check("setting the filter", "VEL_SetFilter", VEL_SetFilter(handle_, filter));
}

void Probe::setAutoOffTime(int32_t seconds) {
  check("setting the switch-off time", "VEL_SetAutoOffTime", VEL_SetAutoOffTime(handle_, seconds));
}

}  // namespace velprobe
