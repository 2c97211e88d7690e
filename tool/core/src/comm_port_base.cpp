#include "probeaddr/comm_port_base.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <iterator>
#include <limits>

namespace probeaddr {
namespace {

const char* describe(PortLoss how) {
  return std::array{"the device was removed", "the line was hung up", "the device failed"}[static_cast<int>(how)];
}

}  // namespace

std::optional<LineSettings> parseSettings(std::string_view text) {
  constexpr int kRates[] = {110,   300,   600,   1200,  2400,   4800,   9600,   14400,
                            19200, 28800, 38400, 56000, 57600, 115200, 128000, 256000};
  LineSettings settings;
  char parity = 0, stop[4] = "", extra = 0;
  const std::string fields(text);
  if (std::sscanf(fields.c_str(), " %d , %c , %d , %3[0-9.] %c", &settings.baud, &parity, &settings.dataBits, stop,
                  &extra) != 4)
    return std::nullopt;
  parity = static_cast<char>(std::tolower(static_cast<unsigned char>(parity)));
  const std::string_view stopBits = stop;
  if (std::find(std::begin(kRates), std::end(kRates), settings.baud) == std::end(kRates) ||
      std::string_view("neoms").find(parity) == std::string_view::npos || settings.dataBits < 5 ||
      settings.dataBits > 8 || (stopBits != "1" && stopBits != "1.5" && stopBits != "2"))
    return std::nullopt;
  settings.parity = static_cast<Parity>(parity);
  settings.stopBitsTimesTwo = stopBits == "1" ? 2 : stopBits == "2" ? 4 : 3;
  return settings;
}

void CommPortBase::setCommPort(std::int16_t number) {
  if (open_) throw CommError(kErrPortAlreadyOpen, "Port already open");
  number_ = number;
  path_.reset();
}

void CommPortBase::setDevicePath(const std::string& path) {
  if (open_) throw CommError(kErrPortAlreadyOpen, "Port already open");
  path_ = path;
}

void CommPortBase::setSettings(const std::string& settings) {
  const auto parsed = parseSettings(settings);
  if (!parsed) throw CommError(kErrInvalidPropertyValue, "Invalid property value");
  line_ = *parsed;
}

void CommPortBase::setPortOpen(bool open) {
  if (!open) {
    if (open_) closeDevice();
    open_ = false;
    return;
  }
  if (open_) throw CommError(kErrPortAlreadyOpen, "Port already open");
  // A named path is used as it stands, even an empty one: a number is never
  // tried in its place.
  const std::string device = path_ ? *path_ : deviceForNumber(number_);
  if (!path_ && device.empty()) throw CommError(kErrInvalidPortNumber, "Invalid port number");
  openDevice(device, line_);
  device_ = device;
  failure_.reset();
  open_ = true;
}

void CommPortBase::requireUsable() const {
  if (failure_) throw CommError(kErrDeviceFailed, *failure_);
  if (!open_) throw CommError(kErrPortNotOpen, "Operation valid only when the port is open");
}

void CommPortBase::noteLost(PortLoss how, const std::string& detail) noexcept {
  if (failure_ || !open_) return;
  failure_ = device_ + ": " + describe(how) + (detail.empty() ? "" : " (" + detail + ")") + ".";
}

void CommPortBase::lost(PortLoss how, const std::string& detail) {
  noteLost(how, detail);
  throw CommError(kErrDeviceFailed, failure_ ? *failure_ : device_);
}

int CommPortBase::inBufferCount() {
  requireUsable();
  const std::size_t count = bytesWaiting();
  requireUsable();
  return static_cast<int>(std::min<std::size_t>(count, std::numeric_limits<std::int16_t>::max()));
}

Bytes CommPortBase::input() {
  requireUsable();
  Bytes bytes = readWaiting();
  requireUsable();
  return bytes;
}

void CommPortBase::output(std::string_view text) {
  requireUsable();
  if (!text.empty()) writeAll(text);
  requireUsable();
}

void CommPortBase::waitForInput(TimePoint deadline) {
  if (usable()) sleepUntilInput(deadline);
}

bool CommPortBase::hasInput() noexcept {
  if (!usable()) return open_;
  try {
    return bytesWaiting() > 0 || !usable();
  } catch (const CommError&) {
    return true;
  }
}

void CommPortBase::finish() noexcept {
  if (usable()) drain();
  if (open_) closeDevice();
  open_ = false;
}

}  // namespace probeaddr
