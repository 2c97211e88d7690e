#include "probe.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "format.h"
#include "port_ownership.h"

namespace velprobe {
namespace {

// The opening failed before or while setting up the port: say why in the
// user's terms. 7 stands both for a port held by someone else and for a
// missing permission; the port-ownership module tells them apart and names
// the holder.
Failure portFailure(const std::string& port, int32_t code, int osError) {
  const std::string call = "\n  " + callFailed("VEL_CreateProbe", code);
  const std::string head = "cannot open port " + port + ": ";
  switch (code) {
    case VEL_PORT_NOT_FOUND:
      return Failure(head + "no such device" + call +
                         "\n  Check the name; serial adapters usually appear as /dev/ttyUSB*,"
                         " /dev/ttyACM* or under /dev/serial/by-id/.",
                     kExitPort);
    case VEL_ACCESS_DENIED: {
      const std::string reason = vel::ownership::unavailableReason(port);
      if (reason.rfind("busy", 0) != 0) return Failure(head + reason + call, kExitPort);
      if (vel::ownership::isConsole(port))
        return Failure(head + reason + call + "\n  The console is no port for a probe; 'velprobe ports' lists the others.",
                       kExitPort);
      return Failure(head + reason + call + "\n  Close that program and try again." +
                         (reason == "busy, in use by another program" && ::geteuid() != 0
                              ? " Only root sees the programs of other users (sudo fuser -v " + port + ")."
                              : ""),
                     kExitPort);
    }
    case VEL_PORT_SETUP:
      return Failure(
          head + "it does not take serial line settings" + call + "\n  Is " + port + " a serial port?",
          kExitPort);
    default:
      return Failure(head + (osError > 0 ? std::strerror(osError) : "the operating system refused it") + call,
                     kExitPort);
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
    case vel::kCancelled: return {"cancelled", "the wait was cancelled"};
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

Probe::Probe(const std::string& port, const std::string& model, std::optional<int32_t> timeoutMs) : port_(port) {
  if (timeoutMs) connection_->setReplyTimeout(*timeoutMs);
  const int32_t rc = connection_->open(port, model);
  if (rc == VEL_OK) return;
  // The port stays open when a step after opening failed: a refused model
  // says what the probe reported.
  if (rc == VEL_WRONG_MODEL) throw refusedModel(model);
  const int osError = connection_->osError();
  connection_->close();
  if (rc == VEL_PORT_NOT_FOUND || rc == VEL_ACCESS_DENIED || rc == VEL_PORT_SETUP || rc == VEL_INVALID_HANDLE)
    throw portFailure(port, rc, osError);
  throw Failure((rc == VEL_TIMEOUT ? "no probe answers on " : "no usable probe on ") + port + "\n  " +
                    callFailed("VEL_CreateProbe", rc) + hint(rc),
                kExitDevice);
}

Answer Probe::ask(const std::string& port, const std::string& model, std::optional<int32_t> timeoutMs) {
  vel::Connection connection;
  if (timeoutMs) connection.setReplyTimeout(*timeoutMs);
  Answer answer;
  answer.code = connection.open(port, model);
  if (answer.code != VEL_OK && answer.code != VEL_WRONG_MODEL) return answer;
  answer.model = connection.version().model();
  answer.firmware = connection.version().firmware();
  if (connection.serialNumber(answer.serialNumber) != VEL_OK) answer.serialNumber.clear();
  return answer;
}

// The probe answered with another model: its version reply says which.
Failure Probe::refusedModel(const std::string& expected) {
  const std::string model(connection_->version().model());
  std::string reported = "is a " + escapeText(model) + " (firmware " +
                         escapeText(connection_->version().firmware()) + ")";
  reported += "; --model " + escapeText(model.substr(0, 4)) + " accepts it";
  connection_->close();
  return Failure("the probe on " + port_ + " is not a model beginning with '" + expected + "': it " +
                     reported + "\n  " + callFailed("VEL_CreateProbe", VEL_WRONG_MODEL),
                 kExitDevice);
}

void Probe::close() {
  if (!connection_->isOpen()) return;
  if (int32_t rc = connection_->close(); rc != VEL_OK)
    throw Failure("closing " + port_ + " failed\n  " + callFailed("VEL_RemoveProbe", rc), kExitDevice);
}

void Probe::check(const char* what, const char* call, int32_t code) const {
  throwIfFailed({what, call, code});
}

// Model and firmware come from the opening's version reply; the serial
// number is asked; name and calibration date are the data block's.
Identity Probe::identity() {
  Identity id;
  id.model = connection_->version().model();
  id.firmware = connection_->version().firmware();
  check("reading the serial number", "VEL_SerialNumber", connection_->serialNumber(id.serialNumber));
  id.name = connection_->name();
  id.calibrationDate = connection_->calibrationDate();
  return id;
}

ReadError Probe::tryRead(Reading& r) {
  r = Reading{};
  r.time = std::chrono::system_clock::now();
  vel::Connection& c = *connection_;
  if (int32_t rc = c.battery(r.battery)) return {"reading the battery voltage", "VEL_ReadBattery", rc};
  if (int32_t rc = c.temperature(r.temperature)) return {"reading the temperature", "VEL_ReadTemperature", rc};
  int32_t rc = c.totalField(r.totalField);
  r.totalOverRange = rc == VEL_ABOVE_LIMIT;
  if (rc != VEL_OK && !r.totalOverRange) return {"reading the total field", "VEL_ReadTotalField", rc};
  rc = c.axisField(r.axis);
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
  check("setting the frequency", "VEL_SetFrequency", connection_->setFrequency(hundredths));
}

void Probe::setFilter(int32_t filter) {
  check("setting the filter", "VEL_SetFilter", connection_->setFilter(filter));
}

void Probe::setAutoOffTime(int32_t seconds) {
  check("setting the switch-off time", "VEL_SetAutoOffTime", connection_->setAutoOffTime(seconds));
}

}  // namespace velprobe
