// A probe on a port with state of its own: the port, the reply time-out, and
// the version reply and data block of its opening. Unlike the library's
// exports, connections share nothing, so each may be used by a thread of its
// own; cancel() ends a connection's waits from any thread. The commands and
// their result codes are those of the exports (probe_commands.h), plus kCancelled.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

#include "probe_commands.h"

namespace vel {

class Connection {
 public:
  Connection() = default;
  ~Connection() { close(); }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Opens `port` and checks that the probe's model begins with `model` (its
  // first four characters count), as VEL_CreateProbe does. After a failure
  // past the port's own opening the port stays open (isOpen()): the probe may
  // still be asked, for example for the model it has.
  int32_t open(const std::string& port, std::string_view model);
  // VEL_OK, VEL_INVALID_HANDLE when not open, VEL_CLOSE_FAILED.
  int32_t close() noexcept;
  bool isOpen() const noexcept { return port_ != port::kInvalidHandle; }

  // The reply time-out, as VEL_SetTimeout sets it (0.5 s at first).
  void setReplyTimeout(int32_t milliseconds) noexcept;
  // Reads from the next opening on await the rest of a reply in steps
  // (port::OpenOptions): fewer wakeups for one who reads many probes, a
  // reply's end seen a little later.
  void setStepwiseReads(bool stepwise) noexcept { stepwise_ = stepwise; }

  // From the opening: model, release, date, and the data block's texts and field limit.
  const VersionReply& version() const noexcept { return version_; }
  const DataBlock& dataBlock() const noexcept { return block_; }
  std::string name() const { return std::string(ProbeName(block_).view()); }
  std::string calibrationDate() const { return std::string(CalibrationDate(block_).view()); }
  float fieldLimit() const noexcept { return FieldLimit(block_); }

  // Asked of the probe.
  int32_t queryVersion(VersionReply& version) noexcept { return QueryVersion(link(), version); }
  int32_t serialNumber(std::string& text);
  int32_t battery(float& volts) noexcept { return ReadBattery(link(), volts); }
  int32_t temperature(float& celsius) noexcept { return ReadTemperature(link(), celsius); }
  int32_t totalField(float& field) noexcept { return ReadTotalField(link(), block_, field); }
  int32_t axisField(std::array<float, 3>& axis) noexcept { return ReadAxisField(link(), block_, axis); }
  int32_t setFrequency(int32_t hundredths) noexcept { return SetFrequency(link(), hundredths); }
  int32_t setFilter(int32_t filter) noexcept { return SetFilter(link(), filter); }
  int32_t setAutoOffTime(int32_t seconds) noexcept { return SetAutoOffTime(link(), seconds); }

  // From any thread: the wait running now and every later one end at once
  // with kCancelled; the connection is then good for close() only.
  void cancel() noexcept { interrupt_.raise(); }
  bool cancelled() const noexcept { return interrupt_.raised(); }
  // Sleeps until `deadline` unless cancelled meanwhile; false when cancelled.
  bool sleepUntil(std::chrono::steady_clock::time_point deadline) const noexcept {
    return interrupt_.sleepUntil(deadline);
  }
  // The operating system's error number of the port operation that failed
  // last (0: none), to tell the causes of a code apart.
  port::Error osError() const noexcept { return osError_; }

 private:
  Link link() noexcept { return {port_, replyTimeout_, &osError_}; }

  port::Handle port_ = port::kInvalidHandle;
  float replyTimeout_ = 0.5f;
  bool stepwise_ = false;
  port::Error osError_ = 0;
  VersionReply version_;
  DataBlock block_{};
  port::Interrupt interrupt_;
};

}  // namespace vel
