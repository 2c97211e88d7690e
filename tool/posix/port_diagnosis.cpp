#include "port_diagnosis.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>

namespace probeaddr {
namespace {

// Where serial programs (Qt's serial port, the driver library, uucp tools)
// put the lock files they claim a port with.
constexpr const char* kLockDirectories[] = {"/var/lock", "/run/lock", "/etc/locks", "/var/spool/locks",
                                            "/var/spool/uucp", "/tmp", "/var/tmp"};

// "LCK.." and the device's path without "/dev/", '/' turned into '_'.
std::string lockFileName(std::string device) {
  if (device.rfind("/dev/", 0) == 0) device.erase(0, 5);
  for (char& c : device)
    if (c == '/') c = '_';
  return "LCK.." + device;
}

// The program a process runs, by the name it was started with.
std::string programOf(pid_t pid) {
  std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
  std::string argv0;
  std::getline(cmdline, argv0, '\0');
  if (const auto slash = argv0.rfind('/'); slash != std::string::npos) argv0.erase(0, slash + 1);
  return argv0.empty() ? "another program" : argv0;
}

// The process holding a lock (flock or fcntl) on this file, from the
// kernel's table: "1: FLOCK  ADVISORY  WRITE 4242 00:05:123 0 EOF", the
// device as hexadecimal major:minor, then the inode. A lock file nobody
// holds is stale and names nobody.
std::optional<pid_t> lockHolder(const struct stat& file) {
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string id, kind, mode, access, where;
    long pid = 0;
    fields >> id >> kind;
    if (kind == "->") continue;  // a process waiting for the lock, not holding it
    fields >> mode >> access >> pid >> where;
    unsigned major = 0, minor = 0;
    unsigned long long inode = 0;
    if (!fields || std::sscanf(where.c_str(), "%x:%x:%llu", &major, &minor, &inode) != 3) continue;
    if (pid > 0 && pid != ::getpid() && inode == file.st_ino && makedev(major, minor) == file.st_dev)
      return static_cast<pid_t>(pid);
  }
  return std::nullopt;
}

std::optional<pid_t> holderOf(const std::string& path, const struct stat& device) {
  if (auto pid = lockHolder(device)) return pid;
  std::string names[] = {lockFileName(path), lockFileName(path)};
  if (char resolved[PATH_MAX]; ::realpath(path.c_str(), resolved)) names[1] = lockFileName(resolved);
  for (const char* directory : kLockDirectories) {
    for (const std::string& name : names) {
      struct stat lockFile {};
      if (::stat((std::string(directory) + "/" + name).c_str(), &lockFile) != 0) continue;
      if (auto pid = lockHolder(lockFile)) return pid;
    }
  }
  return std::nullopt;
}

std::string noPermission(const struct stat& device) {
  const group* grp = ::getgrgid(device.st_gid);
  if (grp && (device.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP)) {
    const passwd* user = ::getpwuid(::getuid());
    const std::string group = grp->gr_name;
    return "no permission. Your user must be in the '" + group + "' group: sudo usermod -aG " + group + " " +
           (user ? user->pw_name : "$USER") + ", then log in again";
  }
  const passwd* owner = ::getpwuid(device.st_uid);
  return "no permission; only " + (owner ? std::string(owner->pw_name) : std::to_string(device.st_uid)) +
         " may open it";
}

}  // namespace

std::string describeUnavailablePort(const std::string& path) {
  struct stat device {};
  if (::stat(path.c_str(), &device) != 0) return "no such device";
  if (!S_ISCHR(device.st_mode)) return "not a serial port";
  if (::access(path.c_str(), R_OK | W_OK) != 0) return noPermission(device);
  if (auto pid = holderOf(path, device))
    return "busy, in use by " + programOf(*pid) + " (PID " + std::to_string(*pid) + ")";
  // Held without a lock anyone can see (exclusive mode), or no terminal at all.
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == EBUSY) return "busy, in use by another program";
  if (fd < 0) {
    std::string reason = std::strerror(errno);
    if (!reason.empty()) reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
    return reason;
  }
  const bool terminal = ::isatty(fd);
  ::close(fd);
  return terminal ? "busy, in use by another program" : "not a serial port";
}

}  // namespace probeaddr
