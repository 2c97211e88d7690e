#include "port_list.h"

#include <QSerialPortInfo>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <string_view>
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

}  // namespace probeaddr::qt
