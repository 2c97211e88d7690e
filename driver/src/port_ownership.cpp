#include "port_ownership.h"

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <string_view>

namespace vel::ownership {

const char* const kLockDirectories[8] = {"/var/lock", "/etc/locks", "/var/spool/locks", "/var/spool/uucp",
                                         "/tmp",      "/var/tmp",   "/var/lock/lockdev", "/run/lock"};

namespace {

constexpr unsigned kFirstPtySlaveMajor = 136, kPtySlaveMajors = 8;  // /dev/pts/N

std::string firstLine(const std::string& path) {
  std::ifstream file(path);
  std::string line;
  std::getline(file, line);
  return line;
}

// The program a process runs, by the name it was started with (the kernel's
// 15-character name for threads without a command line).
std::string programOf(pid_t pid) {
  const std::string dir = "/proc/" + std::to_string(pid);
  std::ifstream cmdline(dir + "/cmdline");
  std::string argv0;
  std::getline(cmdline, argv0, '\0');
  if (const auto slash = argv0.rfind('/'); slash != std::string::npos) argv0.erase(0, slash + 1);
  return argv0.empty() ? firstLine(dir + "/comm") : argv0;
}

// kill(pid, 0) failing with EPERM means the process lives (another user's).
bool alive(pid_t pid) { return ::kill(pid, 0) == 0 || errno == EPERM; }

// The pty number when `device` is the slave side of a pseudo-terminal.
std::optional<unsigned> ptyIndex(dev_t device) {
  const unsigned majorNumber = major(device);
  if (majorNumber < kFirstPtySlaveMajor || majorNumber >= kFirstPtySlaveMajor + kPtySlaveMajors)
    return std::nullopt;
  return (majorNumber - kFirstPtySlaveMajor) * 256 + minor(device);
}

// A terminal: a pseudo-terminal's slave, or a device of the kernel's tty class.
bool isTerminal(dev_t device) {
  if (ptyIndex(device)) return true;
  char link[PATH_MAX] = "";
  const std::string subsystem =
      "/sys/dev/char/" + std::to_string(major(device)) + ":" + std::to_string(minor(device)) + "/subsystem";
  const ssize_t n = ::readlink(subsystem.c_str(), link, sizeof link - 1);
  return n > 0 && std::string_view(link, static_cast<std::size_t>(n)).ends_with("/tty");
}

std::optional<dev_t> deviceNumber(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) return std::nullopt;
  return st.st_rdev;
}

// The kernel's console: the terminals /sys/class/tty/console/active names.
bool isConsole(dev_t device) {
  std::istringstream names(firstLine("/sys/class/tty/console/active"));
  for (std::string name; names >> name;)
    if (deviceNumber("/dev/" + name) == device) return true;
  return false;
}

// The process holding a flock (or POSIX lock) on a file, from the kernel's
// table: "1: FLOCK  ADVISORY  WRITE 4242 00:05:123 0 EOF" (device as
// hexadecimal major:minor, then the inode).
std::optional<pid_t> lockTaker(const struct stat& file) {
  std::ifstream locks("/proc/locks");
  for (std::string line; std::getline(locks, line);) {
    std::istringstream fields(line);
    std::string id, kind, mode, access, where;
    long pid = 0;
    fields >> id >> kind;
    if (kind == "->") continue;  // waiting for the lock, not holding it
    fields >> mode >> access >> pid >> where;
    unsigned majorNumber = 0, minorNumber = 0;
    unsigned long long inode = 0;
    if (!fields || std::sscanf(where.c_str(), "%x:%x:%llu", &majorNumber, &minorNumber, &inode) != 3) continue;
    if (pid > 0 && inode == file.st_ino && makedev(majorNumber, minorNumber) == file.st_dev)
      return static_cast<pid_t>(pid);
  }
  return std::nullopt;
}

Holder processHolder(pid_t pid, std::string lockFile = {}) { return {pid, programOf(pid), std::move(lockFile)}; }

// The PID a lock file names, in the formats in use: Qt's "pid\nprogram\nhost\n";
// UUCP's ASCII, the PID right-aligned in ten characters ("%10d\n") or
// left-aligned with blanks after it ("%-10d\n"), or bare with or without the
// newline; and the old binary one, a 4-byte PID (with a NUL among its bytes,
// as a PID below 2^24 has). Nothing when the content is none of these.
std::optional<pid_t> lockFilePid(const char* text, std::size_t size) {
  if (size == 4 && std::memchr(text, '\0', 4) != nullptr) {
    int32_t binary;
    std::memcpy(&binary, text, sizeof binary);
    if (binary > 0) return binary;
    return std::nullopt;
  }
  std::size_t i = 0;
  while (i < size && text[i] == ' ') ++i;
  long pid = 0;
  const std::size_t digits = i;
  while (i < size && std::isdigit(static_cast<unsigned char>(text[i])) && pid <= INT_MAX)
    pid = pid * 10 + (text[i++] - '0');
  if (i == digits || pid <= 0 || pid > INT_MAX) return std::nullopt;
  while (i < size && (text[i] == ' ' || text[i] == '\t' || text[i] == '\r')) ++i;
  if (i < size && text[i] != '\n') return std::nullopt;
  return static_cast<pid_t>(pid);
}

enum class LockState { Missing, Stale, Held };

// Reads a lock file. Held: someone holds flock on it, its process lives, or
// its content cannot be read (then nobody can tell, and it is left for the
// user to remove). Stale: it is empty, or it names a process that is gone
// (or this one, which holds every lock file of its own with flock).
LockState judgeLockFile(const std::string& path, Holder& holder) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return LockState::Missing;
    holder = {0, "another program", path, true};
    return LockState::Held;
  }
  char text[64];
  const ssize_t size = ::pread(fd, text, sizeof text, 0);
  const bool flocked = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  struct stat st {};
  const bool statted = ::fstat(fd, &st) == 0;
  ::close(fd);
  const auto pid = size > 0 ? lockFilePid(text, static_cast<std::size_t>(size)) : std::nullopt;
  if (flocked) {
    const auto taker = statted ? lockTaker(st) : std::nullopt;
    holder = taker ? processHolder(*taker, path) : pid ? processHolder(*pid, path) : Holder{0, "another program", path};
    return LockState::Held;
  }
  if (size == 0) return LockState::Stale;  // claims nothing: made by a program that died before writing it
  if (!pid) {
    holder = {0, "another program", path, true};
    return LockState::Held;
  }
  if (*pid != ::getpid() && alive(*pid)) {
    holder = processHolder(*pid, path);
    return LockState::Held;
  }
  return LockState::Stale;
}

// The lock file names of a port: under the name given (as Qt names its lock)
// and, for a link such as /dev/serial/by-id/..., under the device's own name
// (as UUCP programs do).
std::vector<std::string> lockNames(const std::string& name) {
  std::vector<std::string> names{lockFileName(name)};
  if (char* resolved = ::realpath(name.c_str(), nullptr)) {
    const std::string device = lockFileName(resolved);
    std::free(resolved);
    if (device != names.front()) names.push_back(device);
  }
  return names;
}

// Every process but this one (`process`, which says whether to look at its
// descriptors), and every character device it has open (`device`: pid, fd
// directory, fd name, device number; false stops the walk).
void walkProcesses(const std::function<bool(pid_t)>& process,
                   const std::function<bool(pid_t, const std::string&, const char*, dev_t)>& device) {
  const pid_t self = ::getpid();
  std::unique_ptr<DIR, int (*)(DIR*)> proc(::opendir("/proc"), ::closedir);
  if (!proc) return;
  while (const dirent* entry = ::readdir(proc.get())) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid == self || !process(static_cast<pid_t>(pid))) continue;
    const std::string fdDir = "/proc/" + std::string(entry->d_name) + "/fd";
    std::unique_ptr<DIR, int (*)(DIR*)> fds(::opendir(fdDir.c_str()), ::closedir);
    if (!fds) continue;  // gone, or another user's
    while (const dirent* fd = ::readdir(fds.get())) {
      if (fd->d_name[0] == '.') continue;
      struct stat target {};
      if (::stat((fdDir + "/" + fd->d_name).c_str(), &target) != 0 || !S_ISCHR(target.st_mode)) continue;
      if (!device(static_cast<pid_t>(pid), fdDir, fd->d_name, target.st_rdev)) return;
    }
  }
}

const dev_t kPtyMaster = makedev(5, 2);  // /dev/ptmx

// The pty number whose master the /dev/ptmx descriptor `fd` in `fdDir` is.
std::optional<unsigned> masterIndex(const std::string& fdDir, const char* fd) {
  std::ifstream info(fdDir.substr(0, fdDir.size() - 2) + "fdinfo/" + fd);
  for (std::string line; std::getline(info, line);)
    if (line.rfind("tty-index:", 0) == 0) return static_cast<unsigned>(std::strtoul(line.c_str() + 10, nullptr, 10));
  return std::nullopt;
}

// The first process other than this one that has `device` open and is not the
// far end of its pseudo-terminal (a process that also holds the master is the
// device itself: a simulator keeps both ends open).
std::optional<Holder> firstOpener(dev_t device) {
  const auto index = ptyIndex(device);
  std::optional<Holder> found;
  pid_t current = 0;
  bool holdsDevice = false, holdsMaster = false;
  auto settle = [&] {
    if (current != 0 && holdsDevice && !holdsMaster) found = processHolder(current);
  };
  walkProcesses([](pid_t) { return true; }, [&](pid_t pid, const std::string& fdDir, const char* fd, dev_t held) {
    if (pid != current) {
      settle();
      if (found) return false;
      current = pid;
      holdsDevice = holdsMaster = false;
    }
    if (held == device) holdsDevice = true;
    else if (index && held == kPtyMaster && masterIndex(fdDir, fd) == index) holdsMaster = true;
    return true;
  });
  settle();
  return found;
}

bool exclusiveMode(int fd) {
  int exclusive = 0;
  return ::ioctl(fd, TIOCGEXCL, &exclusive) == 0 && exclusive != 0;
}

// The lock directories that exist, each once (/var/lock is often a link to /run/lock).
std::vector<std::string> existingLockDirectories() {
  std::vector<std::string> dirs;
  std::vector<std::pair<dev_t, ino_t>> seen;
  for (const char* dir : kLockDirectories) {
    struct stat st {};
    if (::stat(dir, &st) != 0 || !S_ISDIR(st.st_mode)) continue;
    if (std::find(seen.begin(), seen.end(), std::make_pair(st.st_dev, st.st_ino)) != seen.end()) continue;
    seen.emplace_back(st.st_dev, st.st_ino);
    dirs.emplace_back(dir);
  }
  return dirs;
}

std::string userName(uid_t uid) {
  if (const passwd* user = ::getpwuid(uid)) return user->pw_name;
  return std::to_string(uid);
}

}  // namespace

std::string describe(const Holder& holder) {
  if (holder.unreadableLock)
    return "another program: the lock file " + holder.lockFile +
           " cannot be read (remove it if no program uses the port)";
  if (holder.pid == 0) return holder.program.empty() ? "another program" : holder.program;
  return (holder.program.empty() ? "a process" : holder.program) + " (PID " + std::to_string(holder.pid) + ")";
}

std::string lockFileName(const std::string& device) {
  std::string name = device.rfind("/dev/", 0) == 0 ? device.substr(5) : device;
  std::replace(name.begin(), name.end(), '/', '_');
  return "LCK.." + name;
}

Claim::Claim(Claim&& other) noexcept
    : files_(std::move(other.files_)), leftStale_(std::move(other.leftStale_)), exclusive_(other.exclusive_) {
  other.files_.clear();
  other.exclusive_ = false;
}

Claim& Claim::operator=(Claim&& other) noexcept {
  if (this != &other) {
    release(-1);
    files_ = std::move(other.files_);
    leftStale_ = std::move(other.leftStale_);
    exclusive_ = other.exclusive_;
    other.files_.clear();
    other.exclusive_ = false;
  }
  return *this;
}

void Claim::release(int deviceFd) noexcept {
  // On a pseudo-terminal the flag would outlive the descriptor; on a real
  // port it ends with the last close anyway.
  if (exclusive_ && deviceFd >= 0) ::ioctl(deviceFd, TIOCNXCL);
  exclusive_ = false;
  for (const File& file : files_) {
    ::unlink(file.path.c_str());
    ::close(file.fd);
  }
  files_.clear();
}

int claim(const char* name, int fd, Claim& claim, Holder& holder) {
  struct stat device {};
  if (::fstat(fd, &device) != 0) return errno;
  const bool pty = ptyIndex(device.st_rdev).has_value();
  if (isConsole(device.st_rdev)) {
    holder = {0, "the system console", {}};
    return EBUSY;
  }
  // Exclusive mode set by another opener keeps out everyone but root; this
  // asks for it, so that it keeps out root too. On a pseudo-terminal the mode
  // outlives a holder that died, so it is no sign there.
  if (!pty && exclusiveMode(fd)) {
    holder = {0, "another program (in exclusive mode)", {}};
    return EBUSY;
  }
  const std::vector<std::string> names = lockNames(name);
  auto busy = [&](Holder found) {
    claim.release(-1);
    holder = std::move(found);
    return EBUSY;
  };
  // Every lock file of the port in every directory: a live one keeps the
  // port; a stale one goes, or stays where this user may not remove it.
  auto clearStale = [&](const std::string& path) {
    Holder found;
    const LockState state = judgeLockFile(path, found);
    if (state == LockState::Held) return std::optional<Holder>(found);
    if (state == LockState::Stale && ::unlink(path.c_str()) != 0 && errno != ENOENT)
      claim.leftStale_.push_back(path);
    return std::optional<Holder>();
  };
  for (const std::string& dir : existingLockDirectories())
    for (const std::string& lockName : names)
      if (auto found = clearStale(dir + "/" + lockName)) return busy(*found);

  // Our own lock file, held with flock, in the first directory we may write
  // to, as Qt's serial port writes its own.
  const char* const* own = std::find_if(std::begin(kLockDirectories), std::end(kLockDirectories),
                                        [](const char* dir) { return ::access(dir, W_OK | X_OK) == 0; });
  for (const std::string& lockName : names) {
    if (own == std::end(kLockDirectories)) break;  // none: go without
    const std::string path = std::string(*own) + "/" + lockName;
    for (int attempt = 0; attempt < 3; ++attempt) {
      const int lock = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0644);
      if (lock >= 0) {
        if (::flock(lock, LOCK_EX | LOCK_NB) != 0) {
          ::close(lock);
          return busy({0, "another program", path});
        }
        char info[96], host[64] = "";
        ::gethostname(host, sizeof host - 1);
        const int n = std::snprintf(info, sizeof info, "%ld\nVEL_KV21X\n%s\n", static_cast<long>(::getpid()), host);
        if (n > 0 && ::write(lock, info, static_cast<size_t>(n)) < 0) { /* the claim is the flock */ }
        claim.files_.push_back({lock, path});
        break;
      }
      if (errno != EEXIST) break;  // a directory we may not write to after all: go without
      // Made meanwhile by another opener, or stale and left where we may not remove it.
      if (auto found = clearStale(path)) return busy(*found);
      if (std::find(claim.leftStale_.begin(), claim.leftStale_.end(), path) != claim.leftStale_.end()) break;
    }
  }

  // flock on the device and exclusive mode keep out later openers that do
  // not look at lock files; flock also works against root and within one process.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const std::optional<pid_t> taker = lockTaker(device);
    return busy(taker ? processHolder(*taker) : Holder{0, "another program", {}});
  }
  if (auto opener = firstOpener(device.st_rdev)) return busy(*opener);
  if (!pty) claim.exclusive_ = ::ioctl(fd, TIOCEXCL) == 0;
  return 0;
}

bool isConsole(const std::string& device) {
  const auto number = deviceNumber(device);
  return number && isConsole(*number);
}

ProcessTable::ProcessTable() {
  std::map<pid_t, std::set<dev_t>> held;
  walkProcesses(
      [&](pid_t pid) {
        // Field 7 of stat, counted after the program name's closing
        // parenthesis: the session's terminal, readable for every process.
        const std::string stat = firstLine("/proc/" + std::to_string(pid) + "/stat");
        const auto close = stat.rfind(')');
        std::istringstream fields(stat.substr(close == std::string::npos ? stat.size() : close + 1));
        std::string state;
        long parent = 0, group = 0, session = 0, tty = 0;
        if (fields >> state >> parent >> group >> session >> tty && tty != 0)
          sessionTerminals_.insert(makedev(static_cast<unsigned>((tty >> 8) & 0xfff),
                                           static_cast<unsigned>((tty & 0xff) | ((tty >> 12) & 0xfff00))));
        return true;
      },
      [&](pid_t pid, const std::string& fdDir, const char* fd, dev_t device) {
        if (device != kPtyMaster) held[pid].insert(device);
        else if (const auto index = masterIndex(fdDir, fd)) ptyServers_[*index] = processHolder(pid);
        return true;
      });
  for (const auto& [pid, devices] : held) {
    const Holder holder = processHolder(pid);
    for (dev_t device : devices) openers_[device].push_back(holder);
  }
}

std::vector<Holder> ProcessTable::holders(const std::string& path) const {
  std::vector<Holder> found;
  auto add = [&](Holder holder) {
    const bool known = std::any_of(found.begin(), found.end(), [&](const Holder& h) {
      return holder.pid != 0 && h.pid == holder.pid;
    });
    if (!known && (holder.pid == 0 || holder.pid != ::getpid())) found.push_back(std::move(holder));
  };
  const auto device = deviceNumber(path);
  for (const std::string& dir : existingLockDirectories())
    for (const std::string& lockName : lockNames(path)) {
      Holder holder;
      if (judgeLockFile(dir + "/" + lockName, holder) == LockState::Held) add(holder);
    }
  if (!device) return found;
  struct stat node {};
  if (::stat(path.c_str(), &node) == 0)
    if (const auto taker = lockTaker(node)) add(processHolder(*taker));
  const auto index = ptyIndex(*device);
  const auto server = index ? ptyServers_.find(*index) : ptyServers_.end();
  if (const auto it = openers_.find(*device); it != openers_.end())
    for (const Holder& holder : it->second)
      if (server == ptyServers_.end() || holder.pid != server->second.pid) add(holder);
  return found;
}

Access accessOf(const std::string& device) {
  Access access;
  struct stat st {};
  if (::stat(device.c_str(), &st) != 0 || ::access(device.c_str(), R_OK | W_OK) == 0) return access;
  access.allowed = false;
  access.owner = userName(st.st_uid);
  // A group with read and write access helps once joined; root's does not.
  if ((st.st_mode & (S_IRGRP | S_IWGRP)) == (S_IRGRP | S_IWGRP) && st.st_gid != 0) {
    const group* g = ::getgrgid(st.st_gid);
    access.group = g ? g->gr_name : std::to_string(st.st_gid);
  }
  access.othersPseudoTerminal = ptyIndex(st.st_rdev).has_value() && S_ISCHR(st.st_mode) && st.st_uid != ::geteuid();
  return access;
}

std::string permissionText(const Access& access) {
  if (!access.group.empty())
    return "no permission. Your user must be in the '" + access.group + "' group: sudo usermod -aG " +
           access.group + " " + userName(::getuid()) + ", then log in again";
  if (access.othersPseudoTerminal)
    return "no permission: it belongs to a program of another user (" + access.owner + "); only " + access.owner +
           (access.owner == "root" ? "" : " and root") + " may open it";
  return "no permission; only " + access.owner + " may open it";
}

std::string unavailableReason(const std::string& device) {
  struct stat st {};
  if (::stat(device.c_str(), &st) != 0) return "no such device";
  if (!S_ISCHR(st.st_mode) || !isTerminal(st.st_rdev)) return "not a serial port";
  if (isConsole(st.st_rdev)) return "busy, in use by the system console";
  if (const Access access = accessOf(device); !access.allowed) return permissionText(access);
  const std::vector<Holder> holders = ProcessTable().holders(device);
  if (!holders.empty()) return "busy, in use by " + describe(holders.front());
  // Held without a sign anyone can see (exclusive mode), or no terminal at all.
  const int fd = ::open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0 && errno == EBUSY) return "busy, in use by another program";
  if (fd < 0) {
    std::string reason = std::strerror(errno);
    if (!reason.empty()) reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
    return reason;
  }
  const bool terminal = ::isatty(fd);
  const bool exclusive = terminal && exclusiveMode(fd);
  ::close(fd);
  return terminal ? "busy, in use by another program" + std::string(exclusive ? " (in exclusive mode)" : "")
                  : "not a serial port";
}

}  // namespace vel::ownership
