#include "probeaddr/comm_port_base.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <limits>

namespace probeaddr {
namespace {

std::string_view trim(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

std::optional<int> wholeNumber(std::string_view text) {
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

const char* describe(PortLoss how) {
  return std::array{"the device was removed", "the line was hung up", "the device failed"}[static_cast<int>(how)];
}

}  // namespace

std::optional<LineSettings> parseSettings(std::string_view text) {
  std::array<std::string_view, 4> fields;
  std::size_t count = 0;
  while (count < fields.size()) {
    const std::size_t comma = text.find(',');
    fields[count++] = trim(text.substr(0, comma));
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
    if (count == fields.size()) return std::nullopt;  // a fifth field
  }
  if (count != fields.size()) return std::nullopt;

  LineSettings settings;
  constexpr std::array<int, 16> kRates = {110,   300,   600,   1200,  2400,   4800,   9600,   14400,
                                          19200, 28800, 38400, 56000, 57600, 115200, 128000, 256000};
  const auto baud = wholeNumber(fields[0]);
  if (!baud || std::find(kRates.begin(), kRates.end(), *baud) == kRates.end()) return std::nullopt;
  settings.baud = *baud;

  if (fields[1].size() != 1 || std::string_view("neoms").find(static_cast<char>(std::tolower(
                                   static_cast<unsigned char>(fields[1][0])))) == std::string_view::npos)
    return std::nullopt;
  settings.parity = static_cast<Parity>(std::tolower(static_cast<unsigned char>(fields[1][0])));

  const auto data = wholeNumber(fields[2]);
  if (!data || *data < 5 || *data > 8) return std::nullopt;
  settings.dataBits = *data;

  if (fields[3] == "1") settings.stopBitsTimesTwo = 2;
  else if (fields[3] == "1.5") settings.stopBitsTimesTwo = 3;
  else if (fields[3] == "2") settings.stopBitsTimesTwo = 4;
  else return std::nullopt;
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
