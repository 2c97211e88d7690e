// Who holds a serial port on Linux, and a claim on one that the others see:
// lock files (LCK..<name> in every usual lock directory, in the formats in
// use), flock on the device, exclusive mode, the kernel's console, and the
// processes that have the device open, where a pseudo-terminal's far end (the
// process serving it) is no holder; and why this user may not open a device.
// The library claims its ports with it, velprobe lists ports with it and
// ProbeAddr words its messages with it. POSIX only, no dependencies.
#pragma once

#include <sys/types.h>

#include <map>
#include <set>
#include <string>
#include <vector>

namespace vel::ownership {

// Someone who holds a port.
struct Holder {
  pid_t pid = 0;         // 0: no process known
  std::string program;   // the process's program, or what holds the port ("the system console")
  std::string lockFile;  // the lock file that claims the port for it, if one does
  bool unreadableLock = false;  // that lock file cannot be read: nobody can tell whether it is stale
};
// "minicom (PID 4242)", "the system console", "another program: the lock file
// /run/lock/LCK..ttyUSB0 cannot be read (remove it if no program uses the port)"
std::string describe(const Holder& holder);

// The lock file's name for a device path: "LCK.." and the path without
// "/dev/", with '/' as '_' (LCK..ttyUSB0, LCK..pts_3), as Qt's serial port and
// UUCP-style programs name it.
std::string lockFileName(const std::string& device);
// Where serial programs keep lock files; a claim is written in the first one
// this user may write to.
extern const char* const kLockDirectories[8];

// What this process holds while it has a port open: its lock files, held
// with flock; the device's flock (it goes with the descriptor); and, on a
// real port, exclusive mode.
class Claim {
 public:
  Claim() = default;
  ~Claim() { release(-1); }
  Claim(Claim&& other) noexcept;
  Claim& operator=(Claim&& other) noexcept;
  Claim(const Claim&) = delete;
  Claim& operator=(const Claim&) = delete;

  // Removes the lock files and ends exclusive mode on `deviceFd` (-1: closed already).
  void release(int deviceFd) noexcept;
  // Lock files that were stale but could not be removed (another user's in
  // a sticky directory): the claim went on without a lock file of its own there.
  const std::vector<std::string>& leftStale() const { return leftStale_; }

 private:
  friend int claim(const char*, int, Claim&, Holder&);
  struct File {
    int fd;
    std::string path;
  };
  std::vector<File> files_;
  std::vector<std::string> leftStale_;
  bool exclusive_ = false;
};

// Claims the terminal `fd`, opened as `name`, for this process, unless
// someone holds it: returns 0, or EBUSY with `holder` saying who. Stale lock
// files (no flock, their process gone) are taken over; one whose process
// lives, or that cannot be read, is never touched.
int claim(const char* name, int fd, Claim& claim, Holder& holder);

// The kernel's console (the terminals /sys/class/tty/console/active names):
// claim() takes it for held, as nobody should send probe frames there.
bool isConsole(const std::string& device);

// One look at every process: which devices each has open, which
// pseudo-terminals each serves, and which terminals are a session's.
// Processes of other users show to root only.
class ProcessTable {
 public:
  ProcessTable();
  // Everyone who holds `device`, as far as this user can see: lock files,
  // flock, and the processes with it open (not the far end of a
  // pseudo-terminal, nor this process).
  std::vector<Holder> holders(const std::string& device) const;
  // The process serving each pseudo-terminal, by its number (/dev/pts/N).
  const std::map<unsigned, Holder>& ptyServers() const { return ptyServers_; }
  // A terminal that is some session's controlling terminal (a shell's, not a port).
  bool isSessionTerminal(dev_t device) const { return sessionTerminals_.count(device) != 0; }

 private:
  std::map<dev_t, std::vector<Holder>> openers_;
  std::map<unsigned, Holder> ptyServers_;
  std::set<dev_t> sessionTerminals_;
};

// Whether this user may read and write a device, and who could.
struct Access {
  bool allowed = true;
  std::string group;  // a group that may, which the user could join ("dialout"); empty if none
  std::string owner;  // the user who owns the device
  bool othersPseudoTerminal = false;  // a pseudo-terminal that a program of another user serves
};
Access accessOf(const std::string& device);
// Why the user may not: "no permission. Your user must be in the 'dialout'
// group: sudo usermod -aG dialout alice, then log in again", "no permission:
// it belongs to a program of another user (bob); only bob and root may open
// it", "no permission; only root may open it".
std::string permissionText(const Access& access);

// Why `device` cannot be opened now, for "Cannot open DEVICE: ...": "no such
// device", "not a serial port", permissionText(), "busy, in use by minicom
// (PID 4242)", "busy, in use by the system console", "busy, in use by
// another program". Call it right after opening failed.
std::string unavailableReason(const std::string& device);

}  // namespace vel::ownership
