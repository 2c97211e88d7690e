// Opening, the line, the reply time-out, ports held by others, and the line
// between calls, against a simulated probe on a pty.
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <thread>

#include "../support/process_stats.h"
#include "probe_fixture.h"
#include "exports.h"

namespace kv210::test {
namespace {

std::string lockFileFor(const std::string& device) {
  std::string name = device.substr(5);  // without "/dev/"
  for (char& c : name)
    if (c == '/') c = '_';
  return "/var/lock/LCK.." + name;
}

TEST_F(ProbeTest, OpeningAsksVersionThenDataBlockAndComparesFourModelCharacters) {
  ASSERT_EQ(VEL_CreateProbe("KV21", &port, sim.devicePath().c_str()), VEL_OK);
  ASSERT_TRUE(sim.waitForFrames(2, Ms(1000)));
  EXPECT_EQ(sim.received(), bytesOf("#00?v*#00?P*"));
  VEL_RemoveProbe(port);
  port = INVALID_HANDLE_VALUE;

  struct Case { const char* expected; int32_t rc; } cases[] = {
      {"KV210-long", VEL_OK}, {"KV2\0Z", VEL_WRONG_MODEL}, {"KV20", VEL_WRONG_MODEL},
      {"kv21", VEL_WRONG_MODEL}, {"", VEL_WRONG_MODEL}};
  for (const auto& c : cases) {
    HANDLE h = INVALID_HANDLE_VALUE;
    EXPECT_EQ(VEL_CreateProbe(c.expected, &h, sim.devicePath().c_str()), c.rc) << c.expected;
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << c.expected;  // left open for the caller to close
    EXPECT_EQ(VEL_RemoveProbe(h), VEL_OK);
  }
  sim::Identity id;
  id.model = std::string("KV2\0Z", 5);  // the comparison ends at a NUL in the expected text
  sim.setIdentity(id);
  EXPECT_EQ(VEL_CreateProbe("KV2", &port, sim.devicePath().c_str()), VEL_OK);
}

TEST_F(ProbeTest, ReplyLengthsThatCompleteAnOpening) {
  // Time-out 0 where one read decides: a short block then fails at once, not
  // after a silent 19-second read.
  struct Case { const char* what; int32_t timeoutMs; const char* command; Fault fault; std::size_t block; int32_t rc; }
  cases[] = {
      {"version of 17 bytes, block of 382", 0, "v", {FaultKind::Truncate, '?', 17}, 382, VEL_OK},
      {"version of 16 bytes", 0, "v", {FaultKind::Truncate, '?', 16}, 382, VEL_TIMEOUT},
      {"version of 10 + 8 bytes, never joined", 500, "v", {FaultKind::Split, '?', 10, Ms(120)}, 382, VEL_TIMEOUT},
      {"block of 255 bytes", 0, "P", {}, 255, VEL_TIMEOUT},
      {"block of 300 bytes", 0, "P", {}, 300, VEL_OK},
  };
  for (const auto& c : cases) {
    VEL_SetTimeout(c.timeoutMs);
    sim.setReply("P", Bytes(c.block, static_cast<uint8_t>(c.block & 0x7F)));
    sim.pushFault(c.command, c.fault);
    HANDLE h = INVALID_HANDLE_VALUE;
    EXPECT_EQ(VEL_CreateProbe("KV21", &h, sim.devicePath().c_str()), c.rc) << c.what;
    EXPECT_EQ(VEL_RemoveProbe(h), VEL_OK);
    std::this_thread::sleep_for(Ms(150));  // a split reply's rest
  }
  // The 300-byte block left bytes 300..381 of the 382-byte one.
  EXPECT_EQ(vel::ProbeDataBlock[299], 300 & 0x7F);
  EXPECT_EQ(vel::ProbeDataBlock[300], 382 & 0x7F);
  EXPECT_EQ(vel::ProbeDataBlock[381], 382 & 0x7F);
}

TEST(Opening, NamesThatAreNotProbesAndNullArguments) {
  const auto dir = std::filesystem::temp_directory_path() / ("kv210-test-" + std::to_string(getpid()));
  std::filesystem::create_directories(dir);
  std::ofstream(dir / "regular") << "not a tty";
  ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0600), 0);
  struct Case { std::string name; int32_t rc; bool handleKept; } cases[] = {
      {"/dev/kv210-no-such-port", VEL_PORT_NOT_FOUND, false},
      {dir / "missing/deeper", VEL_PORT_NOT_FOUND, false},
      {dir, VEL_INVALID_HANDLE, false},
      {"/dev/" + std::string(5000, 'x'), VEL_INVALID_HANDLE, false},
      {dir / "regular", VEL_PORT_SETUP, true},
      {dir / "fifo", VEL_PORT_SETUP, true},
  };
  for (const auto& c : cases) {
    HANDLE h = nullptr;
    EXPECT_LT(timed([&] { EXPECT_EQ(VEL_CreateProbe("KV21", &h, c.name.c_str()), c.rc) << c.name; }), 2.0);
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.handleKept) << c.name;
    if (h != INVALID_HANDLE_VALUE) EXPECT_EQ(VEL_RemoveProbe(h), VEL_OK);
  }
  std::filesystem::remove_all(dir);

  sim::Simulator sim;
  HANDLE h = nullptr;
  EXPECT_EQ(VEL_CreateProbe(nullptr, &h, sim.devicePath().c_str()), VEL_NULL_ARGUMENT);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(VEL_CreateProbe("KV21", &h, nullptr), VEL_NULL_ARGUMENT);
  EXPECT_EQ(VEL_CreateProbe("KV21", nullptr, sim.devicePath().c_str()), VEL_NULL_ARGUMENT);
  EXPECT_TRUE(sim.received().empty());
}

// Whatever the device was set to, the library leaves it raw 9600 8N1, with
// the flow control and modem settings it found.
TEST_F(ProbeTest, LineSettingsReadBackFromTheDevice) {
  int fd = ::open(sim.ptsPath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(fd, 0);
  termios tio{};
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  tio.c_iflag |= ICRNL | IXON | INLCR | ISTRIP;
  tio.c_oflag |= OPOST | ONLCR;
  tio.c_lflag |= ICANON | ECHO | ISIG | IEXTEN;
  tio.c_cflag |= CSTOPB | HUPCL | CRTSCTS;
  cfsetispeed(&tio, B4800);
  cfsetospeed(&tio, B4800);
  ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
  openProbe();
  ASSERT_EQ(tcgetattr(fd, &tio), 0);
  ::close(fd);
  EXPECT_EQ(cfgetispeed(&tio), B9600);
  EXPECT_EQ(cfgetospeed(&tio), B9600);
  EXPECT_EQ(tio.c_cflag & (CSIZE | PARENB | CSTOPB), tcflag_t{CS8});
  EXPECT_EQ(tio.c_cflag & (HUPCL | CRTSCTS), tcflag_t{HUPCL | CRTSCTS}) << "left as found";
  EXPECT_EQ(tio.c_iflag & (ICRNL | IXON | INLCR | ISTRIP), 0u);
  EXPECT_EQ(tio.c_oflag & OPOST, 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u);
}

// Elapsed time counts whole seconds of a monotonic clock, so where in its
// second a silent query starts decides how long it waits: reads of 200 ms go
// on until the second changes (time-out 0.5 s) or the third change (2.5 s).
TEST_F(ProbeTest, ReplyTimeoutCountsWholeSeconds) {
  openProbe();
  sim.setFault("b", Fault{FaultKind::Silence});
  struct Case { int32_t ms; double startInSecond, atLeast, atMost; } cases[] = {
      {500, 0.02, 0.9, 1.5}, {500, 0.90, 0.15, 0.45}, {2500, 0.02, 2.9, 3.5}, {0, 0.02, 0.15, 0.45}};
  for (const auto& c : cases) {
    VEL_SetTimeout(c.ms);
    using namespace std::chrono;
    const auto into = duration<double>(steady_clock::now().time_since_epoch()).count();
    std::this_thread::sleep_for(duration<double>(std::fmod(c.startInSecond - std::fmod(into, 1.0) + 1.0, 1.0)));
    float v = 0;
    const double seconds = timed([&] { EXPECT_EQ(VEL_ReadBattery(port, &v), VEL_TIMEOUT); });
    EXPECT_GE(seconds, c.atLeast) << c.ms << " ms from " << c.startInSecond;
    EXPECT_LE(seconds, c.atMost) << c.ms << " ms from " << c.startInSecond;
  }
}

// In a child process: becomes `uid` (0: stays as the test runs), as a
// program that user started, without the simulator's master (its far end)
// that came with the fork; keeps descriptor `keep` as 3.
void BecomeUser(uid_t uid, int keep) {
  if ((keep >= 0 && ::dup2(keep, 3) != 3) || ::close_range(keep >= 0 ? 4 : 3, ~0U, 0) != 0) ::_exit(100);
  if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setresgid(uid, uid, uid) != 0 || ::setresuid(uid, uid, uid) != 0))
    ::_exit(100);
  ::prctl(PR_SET_DUMPABLE, 1);  // its /proc entries its user's
}

// VEL_CreateProbe's code on `device` as `uid`; the port is closed again.
int32_t OpenAs(uid_t uid, const std::string& device) {
  const pid_t child = ::fork();
  if (child == 0) {
    BecomeUser(uid, -1);
    HANDLE h = INVALID_HANDLE_VALUE;
    const int32_t rc = VEL_CreateProbe("KV21", &h, device.c_str());
    if (h != INVALID_HANDLE_VALUE) VEL_RemoveProbe(h);
    ::_exit(rc);
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A process of `uid` that holds `device` open (with the library when
// `library`) until it is killed; its PID.
pid_t HolderAs(uid_t uid, const std::string& device, bool library) {
  int ready[2];
  if (::pipe(ready) != 0) return -1;
  const pid_t child = ::fork();
  if (child == 0) {
    BecomeUser(uid, ready[1]);
    HANDLE h = INVALID_HANDLE_VALUE;
    const bool held = library ? VEL_CreateProbe("KV21", &h, device.c_str()) == VEL_OK
                              : ::open(device.c_str(), O_RDWR | O_NOCTTY) >= 0;
    if (::write(3, &held, 1) != 1 || !held) ::_exit(1);
    ::pause();
  }
  bool held = false;
  ::close(ready[1]);
  if (::read(ready[0], &held, 1) != 1 || !held) ::kill(child, SIGKILL), ::waitpid(child, nullptr, 0);
  ::close(ready[0]);
  return held ? child : -1;
}

void Kill(pid_t pid) {
  ::kill(pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

// Someone else holds the port, or left something behind: each case as root
// and as a user who is not root (whose lock files go to the sticky /run/lock
// beside root's, and who tells another user's process alive by EPERM). A
// live lock stays and keeps the port in every format and lock directory; a
// dead one is taken over, or passed by where it may not be removed. A holder
// with the device open keeps it; one killed on a pseudo-terminal leaves
// nothing that does. Exclusive mode left there is no holder (but the kernel
// still keeps out users who are not root).
TEST(Holders, LockFilesAndHoldersAsRootAndAsAnotherUser) {
  sim::Simulator sim;
  ASSERT_EQ(::chmod(sim.ptsPath().c_str(), 0666), 0);
  const std::string device = sim.devicePath(), lock = lockFileFor(device);
  const std::string other = "/tmp/" + std::filesystem::path(lock).filename().string();
  pid_t dead = fork();
  if (dead == 0) _exit(0);
  waitpid(dead, nullptr, 0);
  const pid_t live = getpid();  // another user's for the user who is not root
  auto text = [](const char* format, pid_t pid) { char b[32]; std::snprintf(b, sizeof b, format, pid); return std::string(b); };
  auto binary = [](pid_t pid) { int32_t p = pid; return std::string(reinterpret_cast<char*>(&p), 4); };
  auto write = [](const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary) << content;
    ::chmod(path.c_str(), 0644);
  };
  auto exclusive = [&](unsigned long request) {
    const int fd = ::open(sim.ptsPath().c_str(), O_RDWR | O_NOCTTY);
    ::ioctl(fd, request);
    ::close(fd);  // on a pty the mode outlives the descriptor
  };
  int flocked = -1;
  pid_t holder = -1;
  constexpr int32_t kSame = -2;
  struct Case {
    const char* what;
    std::function<void(uid_t)> setUp;
    int32_t rc, rcNotRoot;
    bool lockStays;  // a held lock is never removed; a stale one written by root: where it may not be
  } cases[] = {
      {"UUCP, live, right-aligned", [&](uid_t) { write(lock, text("%10d\n", live)); }, 7, kSame, true},
      {"UUCP, live, left-aligned", [&](uid_t) { write(lock, text("%-10d\n", live)); }, 7, kSame, true},
      {"UUCP, live, bare", [&](uid_t) { write(lock, text("%d", live)); }, 7, kSame, true},
      {"Qt, live", [&](uid_t) { write(lock, text("%d\nminicom\nhost\n", live)); }, 7, kSame, true},
      {"binary, live", [&](uid_t) { write(lock, binary(live)); }, 7, kSame, true},
      {"live, in another lock directory", [&](uid_t) { write(other, text("%10d\n", live)); }, 7, kSame, true},
      {"cannot be read", [&](uid_t) { write(lock, "locked by me\n"); }, 7, kSame, true},
      {"held with flock", [&](uid_t) {
         write(lock, "");
         flocked = ::open(lock.c_str(), O_RDONLY);
         ::flock(flocked, LOCK_EX);
       }, 7, kSame, true},
      {"UUCP, dead", [&](uid_t) { write(lock, text("%10d\n", dead)); }, 0, kSame, true},
      {"left-aligned, dead", [&](uid_t) { write(lock, text("%-10d\n", dead)); }, 0, kSame, true},
      {"Qt, dead", [&](uid_t) { write(lock, text("%d\nminicom\nhost\n", dead)); }, 0, kSame, true},
      {"empty", [&](uid_t) { write(lock, ""); }, 0, kSame, true},
      {"a process of the same user with it open", [&](uid_t uid) { holder = HolderAs(uid, device, false); },
       7, kSame, false},
      {"the library in another process", [&](uid_t uid) { holder = HolderAs(uid, device, true); }, 7, kSame, true},
      {"the library, killed while it held it", [&](uid_t uid) { Kill(HolderAs(uid, device, true)); }, 0, kSame, false},
      {"exclusive mode left set", [&](uid_t) { exclusive(TIOCEXCL); }, 0, VEL_ACCESS_DENIED, false},
  };
  for (uid_t uid : ::geteuid() == 0 ? std::vector<uid_t>{0, 65534} : std::vector<uid_t>{0}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.what) + (uid ? " (not root)" : ""));
      c.setUp(uid);
      const int32_t rc = uid != 0 && c.rcNotRoot != kSame ? c.rcNotRoot : c.rc;
      EXPECT_EQ(OpenAs(uid, device), rc);
      const bool rootsStale = rc == VEL_OK && c.lockStays;
      EXPECT_EQ(std::filesystem::exists(lock) || std::filesystem::exists(other), rootsStale ? uid != 0 : c.lockStays);
      if (holder > 0) Kill(std::exchange(holder, -1));
      if (flocked >= 0) ::close(std::exchange(flocked, -1));
      exclusive(TIOCNXCL);
      std::filesystem::remove(lock);
      std::filesystem::remove(other);
    }
  }
}

// On a paced line the serial reply goes on for 22 bytes after the 11 the
// library reads, and a wrong reply may go on too: whatever comes next at once
// gets its own reply.
TEST(LineBetweenCalls, EveryCallGetsItsOwnReplyOnAPacedLine) {
  sim::Simulator::Options options;
  options.pace9600 = true;
  sim::Simulator sim(options);
  HANDLE port = INVALID_HANDLE_VALUE;
  ASSERT_EQ(VEL_CreateProbe("KV21", &port, sim.devicePath().c_str()), VEL_OK);
  char text[16];
  int32_t length = 0;
  float a = 0, b = 0, c = 0;
  auto text10 = [&] { return std::string(text, 10); };
  struct Step { const char* name; std::function<bool()> ok; } steps[] = {
      {"Firmware", [&] { return VEL_Firmware(port, text, &length) == 0 && text10() == "1.10 07/10"; }},
      {"Battery", [&] { return VEL_ReadBattery(port, &a) == 0 && a == 3.6f; }},
      {"Temperature", [&] { return VEL_ReadTemperature(port, &a) == 0 && std::fabs(a - 3.9437f) < 1e-3f; }},
      {"TotalField", [&] { return VEL_ReadTotalField(port, &a) == 0 && a == 5.0f; }},
      {"AxisField", [&] { return VEL_ReadAxisField(port, &a, &b, &c) == 0 && a == 1 && b == 2 && c == 3; }},
      {"Frequency", [&] { return VEL_SetFrequency(port, 5000) == 0; }},
      {"Filter", [&] { return VEL_SetFilter(port, 3) == 0; }},
      {"AutoOff", [&] { return VEL_SetAutoOffTime(port, 600) == 0; }},
  };
  for (int round = 0; round < 5; ++round) {
    for (const auto& step : steps) {
      EXPECT_TRUE(VEL_SerialNumber(port, text, &length) == 0 && text10() == "0424K10123") << round;
      EXPECT_TRUE(step.ok()) << step.name << " right after the serial number, round " << round;
    }
  }
  // A wrong reply 30 bytes long: 4, and the next call gets its own reply.
  sim.pushFault("b", Fault{FaultKind::Garbage, '?', 0, Ms(0), Bytes(30, 'X')});
  EXPECT_EQ(VEL_ReadBattery(port, &a), VEL_WRONG_REPLY);
  EXPECT_TRUE(steps[2].ok());
  // The next program opens at once after one that read the serial number last,
  // and a data block that pauses after 300 bytes is taken in whole.
  EXPECT_EQ(VEL_SerialNumber(port, text, &length), VEL_OK);
  EXPECT_EQ(VEL_RemoveProbe(port), VEL_OK);
  sim.pushFault("P", Fault{FaultKind::Split, '?', 300, Ms(80)});
  EXPECT_EQ(VEL_CreateProbe("KV21", &port, sim.devicePath().c_str()), VEL_OK);
  EXPECT_TRUE(steps[1].ok());
  EXPECT_EQ(VEL_RemoveProbe(port), VEL_OK);
}

TEST_F(ProbeTest, ClosingTouchesOnlyPortsTheLibraryOpenedAndLeavesNothingBehind) {
  EXPECT_EQ(VEL_RemoveProbe(INVALID_HANDLE_VALUE), VEL_INVALID_HANDLE);
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  EXPECT_EQ(VEL_RemoveProbe(reinterpret_cast<HANDLE>(intptr_t{pipeFds[0]})), VEL_CLOSE_FAILED);
  EXPECT_NE(::fcntl(pipeFds[0], F_GETFD), -1);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);

  const int before = openDescriptors();
  for (int i = 0; i < 10; ++i) {
    HANDLE h = nullptr, busy = nullptr;
    ASSERT_EQ(VEL_CreateProbe("KV21", &h, sim.devicePath().c_str()), VEL_OK);
    EXPECT_EQ(VEL_CreateProbe("KV21", &busy, sim.devicePath().c_str()), VEL_ACCESS_DENIED);
    EXPECT_EQ(VEL_RemoveProbe(h), VEL_OK);
    EXPECT_EQ(VEL_RemoveProbe(h), VEL_CLOSE_FAILED);
    EXPECT_EQ(VEL_CreateProbe("XX99", &h, sim.devicePath().c_str()), VEL_WRONG_MODEL);
    EXPECT_EQ(VEL_RemoveProbe(h), VEL_OK);
  }
  EXPECT_EQ(openDescriptors(), before);
  EXPECT_FALSE(std::filesystem::exists(lockFileFor(sim.devicePath())));
}

}  // namespace
}  // namespace kv210::test
