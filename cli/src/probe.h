// The probe as velprobe sees it: a connection of the library's C++ core
// (linked in, with its own reply time-out and data block) whose result codes
// become errors worded for the user.
#pragma once

#include <VEL_KV21X.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "connection.h"

namespace velprobe {

// Exit statuses; --help documents them.
enum ExitStatus : int {
  kExitOk = 0,
  kExitDevice = 1,  // the probe did not answer as expected
  kExitUsage = 2,   // bad command line
  kExitPort = 3,    // the port could not be opened or set up
  kExitInterrupted = 130,
};

struct ResultCode {
  const char* name;     // "VEL_TIMEOUT"
  const char* meaning;  // in words
};
ResultCode describe(int32_t code);

// A failure that ends the run: the message (possibly several lines) and the
// exit status it maps to.
class Failure : public std::runtime_error {
 public:
  Failure(std::string message, int exitStatus)
      : std::runtime_error(std::move(message)), exitStatus_(exitStatus) {}
  int exitStatus() const { return exitStatus_; }

 private:
  int exitStatus_;
};

// "VEL_ReadBattery returned 8 (VEL_TIMEOUT: no complete reply ...)": the
// library's name for the command, which the core's shares.
std::string callFailed(const char* call, int32_t code);

struct Identity {
  std::string model;  // from the version reply
  std::string firmware, serialNumber;
  std::string name, calibrationDate;  // from the probe's data block
};

struct Reading {
  std::chrono::system_clock::time_point time;
  float battery = 0, temperature = 0, totalField = 0;
  std::array<float, 3> axis{};
  // Above the probe's field limit: the library withholds the value(s).
  bool totalOverRange = false, axisOverRange = false;
};

// The call of a reading that failed; code VEL_OK when none did.
struct ReadError {
  const char* what = nullptr;  // "reading the battery voltage"
  const char* call = nullptr;  // "VEL_ReadBattery"
  int32_t code = VEL_OK;
};

// The failures after which the port is gone (adapter unplugged, probe off).
bool portLost(int32_t code);
// The error, or else a value over range as one.
ReadError strictly(const ReadError& error, const Reading& reading);
// Throws Failure naming the call, its code and what to do.
void throwIfFailed(const ReadError& error);

// What a port says when asked for a probe's identity.
struct Answer {
  int32_t code = VEL_OK;                      // the opening's result
  std::string model, firmware, serialNumber;  // when a probe answered (0, or 14: another model)
};

class Probe {
 public:
  // Opens `port`, reads the identity of whatever probe answers and closes it again.
  static Answer ask(const std::string& port, const std::string& model, std::optional<int32_t> timeoutMs);

  // Opens the port and checks the model (up to four characters), with the
  // reply time-out given (unset: 500 ms). Throws Failure explaining why the
  // port or the probe is not usable.
  Probe(const std::string& port, const std::string& model, std::optional<int32_t> timeoutMs);

  const std::string& port() const { return port_; }
  // Closes the port; throws Failure when it could not be closed.
  void close();

  Identity identity();
  // Every value; throws Failure at the first failure, over range included.
  Reading read();
  // Every value up to the first failure; over range marks the value instead.
  ReadError tryRead(Reading& reading);
  void setFrequency(int32_t hundredths);
  void setFilter(int32_t filter);
  void setAutoOffTime(int32_t seconds);

 private:
  Failure refusedModel(const std::string& expected);
  void check(const char* what, const char* call, int32_t code) const;

  std::string port_;
  std::unique_ptr<vel::Connection> connection_ = std::make_unique<vel::Connection>();
};

}  // namespace velprobe
