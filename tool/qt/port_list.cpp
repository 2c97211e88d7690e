#include "port_list.h"

#include <QSerialPortInfo>

#include <algorithm>
#include <array>
#include <cctype>
#include <charconv>
#include <tuple>

namespace probeaddr::qt {
namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
  return text.substr(0, prefix.size()) == prefix;
}

// Name split into the text before a trailing number and that number, so that
// ttyS2 sorts before ttyS10.
std::tuple<std::string_view, uint64_t, std::string_view> naturalKey(std::string_view name) {
  std::size_t digits = name.size();
  while (digits > 0 && std::isdigit(static_cast<unsigned char>(name[digits - 1]))) --digits;
  uint64_t number = 0;
  std::string_view tail = name.substr(digits);
  if (!tail.empty() && tail.size() < 19) std::from_chars(tail.data(), tail.data() + tail.size(), number);
  return {name.substr(0, digits), number, tail};
}

bool isAdapter(const SerialDevice& device) {
  return device.usbAdapter || startsWith(device.name, "ttyUSB") || startsWith(device.name, "ttyACM");
}

std::optional<int> wholeNumber(std::string_view text) {
  int value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || text.empty()) return std::nullopt;
  return value;
}

std::string_view trim(std::string_view text) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  return text;
}

}  // namespace

std::vector<SerialDevice> orderedPorts(std::vector<SerialDevice> devices) {
  std::stable_sort(devices.begin(), devices.end(), [](const SerialDevice& a, const SerialDevice& b) {
    const bool adapterA = isAdapter(a), adapterB = isAdapter(b);
    if (adapterA != adapterB) return adapterA;
    return naturalKey(a.name) < naturalKey(b.name);
  });
  return devices;
}

std::vector<SerialDevice> systemPorts() {
  std::vector<SerialDevice> devices;
  for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts()) {
    devices.push_back({info.portName().toStdString(), info.systemLocation().toStdString(),
                       info.hasVendorIdentifier()});
  }
  return orderedPorts(std::move(devices));
}

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
  constexpr std::array<int32_t, 16> kRates = {110,   300,   600,   1200,  2400,   4800,   9600,   14400,
                                             19200, 28800, 38400, 56000, 57600, 115200, 128000, 256000};
  auto baud = wholeNumber(fields[0]);
  if (!baud || std::find(kRates.begin(), kRates.end(), *baud) == kRates.end()) return std::nullopt;
  settings.baud = *baud;

  if (fields[1].size() != 1) return std::nullopt;
  switch (std::tolower(static_cast<unsigned char>(fields[1][0]))) {
    case 'n': settings.parity = Parity::None; break;
    case 'e': settings.parity = Parity::Even; break;
    case 'o': settings.parity = Parity::Odd; break;
    case 'm': settings.parity = Parity::Mark; break;
    case 's': settings.parity = Parity::Space; break;
    default: return std::nullopt;
  }

  auto data = wholeNumber(fields[2]);
  if (!data || *data < 5 || *data > 8) return std::nullopt;
  settings.dataBits = *data;

  if (fields[3] == "1") settings.stopBitsTimesTwo = 2;
  else if (fields[3] == "1.5") settings.stopBitsTimesTwo = 3;
  else if (fields[3] == "2") settings.stopBitsTimesTwo = 4;
  else return std::nullopt;
  return settings;
}

}  // namespace probeaddr::qt
