#include "ports.h"

#include <dirent.h>
#include <grp.h>
#include <libudev.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <set>
#include <sstream>

#include "probe.h"

namespace velprobe {
namespace {

namespace fs = std::filesystem;

std::string firstLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

std::string programOf(pid_t pid) { return firstLine("/proc/" + std::to_string(pid) + "/comm"); }

// One pass over /proc: which processes have which character devices open,
// which process serves each pseudo-terminal (holds its master), and which
// terminals are some session's controlling terminal.
struct ProcessScan {
  std::map<dev_t, std::vector<Holder>> openers;
  std::map<unsigned, Holder> ptyServers;  // by /dev/pts number
  std::set<dev_t> sessionTerminals;

  ProcessScan() {
    const pid_t self = ::getpid();
    std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
    if (!proc) return;
    while (const dirent* entry = ::readdir(proc.get())) {
      char* end = nullptr;
      const long pid = std::strtol(entry->d_name, &end, 10);
      if (*end != '\0' || pid <= 0 || pid == self) continue;
      const std::string dir = "/proc/" + std::string(entry->d_name);
      const Holder holder{static_cast<pid_t>(pid), firstLine(dir + "/comm")};
      readControllingTerminal(dir);
      std::error_code ec;
      for (const auto& fd : fs::directory_iterator(dir + "/fd", ec)) {
        const std::string target = fs::read_symlink(fd.path(), ec).string();
        if (ec) continue;
        if (target == "/dev/ptmx" || target == "/dev/pts/ptmx") {
          std::ifstream info(dir + "/fdinfo/" + fd.path().filename().string());
          for (std::string line; std::getline(info, line);)
            if (line.rfind("tty-index:", 0) == 0)
              ptyServers[static_cast<unsigned>(std::strtoul(line.c_str() + 10, nullptr, 10))] = holder;
          continue;
        }
        struct stat st {};
        if (target.rfind("/dev/", 0) != 0 || ::stat(fd.path().c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
          continue;
        auto& holders = openers[st.st_rdev];
        if (holders.empty() || holders.back().pid != holder.pid) holders.push_back(holder);
      }
    }
  }

  void readControllingTerminal(const std::string& dir) {
    // Field 7 of stat, counted after the program name's closing parenthesis.
    const std::string stat = firstLine(dir + "/stat");
    const auto close = stat.rfind(')');
    if (close == std::string::npos) return;
    std::istringstream fields(stat.substr(close + 1));
    std::string state;
    long parent = 0, group = 0, session = 0, tty = 0;
    if (!(fields >> state >> parent >> group >> session >> tty) || tty == 0) return;
    const auto major = static_cast<unsigned>((tty >> 8) & 0xfff);
    const auto minor = static_cast<unsigned>((tty & 0xff) | ((tty >> 12) & 0xfff00));
    sessionTerminals.insert(makedev(major, minor));
  }
};

dev_t deviceNumber(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISCHR(st.st_mode) ? st.st_rdev : 0;
}

// The owner of the port's lock file ("LCK.." + the device path without
// "/dev/" and with "/" as "_"), when that process lives.
std::vector<Holder> lockFileHolder(const std::string& device) {
  std::string name = device;
  if (name.rfind("/dev/", 0) == 0) name.erase(0, 5);
  std::replace(name.begin(), name.end(), '/', '_');
  for (const char* dir : {"/var/lock", "/run/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp",
                          "/tmp", "/var/tmp", "/var/lock/lockdev"}) {
    std::ifstream file(std::string(dir) + "/LCK.." + name);
    if (!file) continue;
    std::string pid, program;
    std::getline(file, pid);
    std::getline(file, program);
    pid.erase(0, pid.find_first_not_of(' '));  // UUCP writers right-align the pid
    const long id = std::strtol(pid.c_str(), nullptr, 10);
    if (id <= 0 || id > INT_MAX || id == ::getpid() ||
        (::kill(static_cast<pid_t>(id), 0) != 0 && errno != EPERM))
      continue;
    const std::string running = programOf(static_cast<pid_t>(id));
    return {{static_cast<pid_t>(id), running.empty() ? program : running}};
  }
  return {};
}

std::vector<Holder> holdersOf(const std::string& device, const ProcessScan& scan) {
  std::string real = device;
  std::error_code ec;
  if (const auto canonical = fs::canonical(device, ec); !ec) real = canonical.string();
  std::vector<Holder> holders = lockFileHolder(device);
  if (holders.empty() && real != device) holders = lockFileHolder(real);
  const dev_t number = deviceNumber(real);
  // The process that serves a pseudo-terminal keeps its own end open too.
  pid_t server = 0;
  if (real.rfind("/dev/pts/", 0) == 0) {
    const auto it = scan.ptyServers.find(static_cast<unsigned>(std::strtoul(real.c_str() + 9, nullptr, 10)));
    if (it != scan.ptyServers.end()) server = it->second.pid;
  }
  if (const auto it = scan.openers.find(number); number != 0 && it != scan.openers.end())
    for (const Holder& h : it->second)
      if (h.pid != server &&
          std::none_of(holders.begin(), holders.end(), [&](const Holder& k) { return k.pid == h.pid; }))
        holders.push_back(h);
  return holders;
}

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
  const std::string consoles = " " + firstLine("/sys/class/tty/console/active") + " ";
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
    port.console =
        consoles.find(" " + std::string(udev_device_get_sysname(tty.get())) + " ") != std::string::npos;
    ports.push_back(std::move(port));
  }
}

}  // namespace

std::string describe(const Holder& holder) {
  return (holder.program.empty() ? "process" : holder.program) + " (PID " + std::to_string(holder.pid) + ")";
}

std::string groupOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return {};
  if (const group* g = ::getgrgid(st.st_gid)) return g->gr_name;
  return std::to_string(st.st_gid);
}

std::vector<PortInfo> listPorts() {
  std::vector<PortInfo> ports;
  addUdevPorts(ports);
  const ProcessScan scan;
  for (const auto& [number, server] : scan.ptyServers) {
    PortInfo port;
    port.device = "/dev/pts/" + std::to_string(number);
    const dev_t device = deviceNumber(port.device);
    if (device == 0 || scan.sessionTerminals.count(device)) continue;  // a terminal, not a port
    port.driver = "pty";
    port.product = "pseudo-terminal of " + describe(server);
    ports.push_back(std::move(port));
  }
  for (PortInfo& port : ports) {
    port.holders = holdersOf(port.device, scan);
    port.mayOpen = ::access(port.device.c_str(), R_OK | W_OK) == 0;
    port.group = groupOf(port.device);
  }
  std::sort(ports.begin(), ports.end(),
            [](const PortInfo& a, const PortInfo& b) { return a.device < b.device; });
  return ports;
}

std::vector<Holder> portHolders(const std::string& device) { return holdersOf(device, ProcessScan()); }

}  // namespace velprobe
