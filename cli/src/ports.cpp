#include "ports.h"

#include <libudev.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>

#include "probe.h"

namespace velprobe {
namespace {

namespace fs = std::filesystem;

std::string attribute(udev_device* device, const char* name) {
  const char* value = device ? udev_device_get_sysattr_value(device, name) : nullptr;
  std::string text = value ? value : "";
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

// Links under /dev/serial/by-id, by the device they name.
std::map<std::string, std::string> byIdLinks() {
  std::map<std::string, std::string> links;
  std::error_code ec;
  for (const auto& link : fs::directory_iterator("/dev/serial/by-id", ec)) {
    const auto target = fs::canonical(link.path(), ec);
    if (!ec) links[target.string()] = link.path().string();
  }
  return links;
}

void addUdevPorts(std::vector<PortInfo>& ports) {
  std::unique_ptr<udev, udev* (*)(udev*)> context(udev_new(), udev_unref);
  if (!context) return;
  std::unique_ptr<udev_enumerate, udev_enumerate* (*)(udev_enumerate*)> scan(
      udev_enumerate_new(context.get()), udev_enumerate_unref);
  udev_enumerate_add_match_subsystem(scan.get(), "tty");
  udev_enumerate_scan_devices(scan.get());
  const auto links = byIdLinks();
  for (auto* entry = udev_enumerate_get_list_entry(scan.get()); entry;
       entry = udev_list_entry_get_next(entry)) {
    std::unique_ptr<udev_device, udev_device* (*)(udev_device*)> tty(
        udev_device_new_from_syspath(context.get(), udev_list_entry_get_name(entry)), udev_device_unref);
    const char* node = tty ? udev_device_get_devnode(tty.get()) : nullptr;
    // Virtual terminals have no device behind them; a 16550 slot without a chip has type 0.
    udev_device* parent = tty ? udev_device_get_parent(tty.get()) : nullptr;
    if (!node || !parent || attribute(tty.get(), "type") == "0") continue;
    PortInfo port;
    port.device = node;
    if (const auto link = links.find(node); link != links.end()) port.byId = link->second;
    // The serial core's own port devices stand between the tty and the driver.
    for (udev_device* d = parent; d && port.driver.empty(); d = udev_device_get_parent(d)) {
      const char* subsystem = udev_device_get_subsystem(d);
      const char* driver = udev_device_get_driver(d);
      if (driver && !(subsystem && std::string(subsystem) == "serial-base")) port.driver = driver;
    }
    if (udev_device* usb = udev_device_get_parent_with_subsystem_devtype(tty.get(), "usb", "usb_device")) {
      port.usbId = attribute(usb, "idVendor") + ":" + attribute(usb, "idProduct");
      port.manufacturer = attribute(usb, "manufacturer");
      port.product = attribute(usb, "product");
      port.serial = attribute(usb, "serial");
    }
    port.console = vel::ownership::isConsole(port.device);
    ports.push_back(std::move(port));
  }
}

}  // namespace

std::vector<PortInfo> listPorts() {
  std::vector<PortInfo> ports;
  addUdevPorts(ports);
  const vel::ownership::ProcessTable processes;
  for (const auto& [number, server] : processes.ptyServers()) {
    PortInfo port;
    port.device = "/dev/pts/" + std::to_string(number);
    struct stat st {};
    if (::stat(port.device.c_str(), &st) != 0 || processes.isSessionTerminal(st.st_rdev)) continue;  // a terminal, not a port
    port.driver = "pty";
    port.product = "pseudo-terminal of " + describe(server);
    ports.push_back(std::move(port));
  }
  for (PortInfo& port : ports) {
    port.holders = processes.holders(port.device);
    port.access = vel::ownership::accessOf(port.device);
  }
  std::sort(ports.begin(), ports.end(),
            [](const PortInfo& a, const PortInfo& b) { return a.device < b.device; });
  return ports;
}

}  // namespace velprobe
