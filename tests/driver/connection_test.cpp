// Opening, closing and the transaction rules, against a simulated probe on a pty.
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "../support/process_stats.h"
#include "probe_fixture.h"
#include "transaction.h"

namespace kv210::test {
namespace {

using sim::Fault;
using sim::FaultKind;

std::string lockFileFor(const std::string& device) {
  std::string name = device.substr(5);  // without "/dev/"
  for (char& c : name)
    if (c == '/') c = '_';
  return "/var/lock/LCK.." + name;
}

TEST_F(ProbeTest, OpeningSendsVersionThenDataQueryAndCachesTheBlock) {
  sim::Identity id;
  id.name = "PRB-01";
  id.calibrationDate = "31.12.25";
  sim.setIdentity(id);
  ASSERT_EQ(VEL_CreateProbe("KV21", &port, sim.devicePath().c_str()), VEL_OK);
  ASSERT_TRUE(sim.waitForFrames(2, Ms(1000)));
  EXPECT_EQ(sim.received(), bytesOf("#00?v*#00?P*"));

  char text[8];
  int32_t length = 0;
  ASSERT_EQ(VEL_ProbeName(port, text, &length), VEL_OK);
  EXPECT_EQ(std::string(text, length), "PRB-01");
  ASSERT_EQ(VEL_CalibrationDate(port, text, &length), VEL_OK);
  EXPECT_EQ(std::string(text, length), "31.12.25");
}

TEST_F(ProbeTest, ModelComparisonTakesFourCharactersOrUpToANul) {
  struct Case { const char* expected; int32_t rc; } cases[] = {
      {"KV21", VEL_OK}, {"KV210-long", VEL_OK}, {"KV20", VEL_WRONG_MODEL},
      {"KV2", VEL_WRONG_MODEL}, {"kv21", VEL_WRONG_MODEL}, {"", VEL_WRONG_MODEL}};
  for (const auto& c : cases) {
    HANDLE h = INVALID_HANDLE_VALUE;
    EXPECT_EQ(VEL_CreateProbe(c.expected, &h, sim.devicePath().c_str()), c.rc) << c.expected;
    // A wrong model leaves the port open with its handle for the caller to close.
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << c.expected;
    EXPECT_EQ(VEL_RemoveProbe(h), VEL_OK);
  }
}

TEST_F(ProbeTest, ModelWithNulInTheReplyMatchesTheShorterExpectation) {
  sim::Identity id;
  id.model = std::string("KV2\0Z", 5);
  sim.setIdentity(id);
  EXPECT_EQ(VEL_CreateProbe("KV2", &port, sim.devicePath().c_str()), VEL_OK);
}

TEST_F(ProbeTest, VersionReplyRules) {
  struct Case { const char* name; Fault fault; int32_t rc; bool dataQuerySent; } cases[] = {
      {"17 bytes suffice", {FaultKind::Truncate, '?', 17}, VEL_OK, true},
      {"16 bytes time out", {FaultKind::Truncate, '?', 16}, VEL_TIMEOUT, false},
  };
  for (const auto& c : cases) {
    sim.clearReceived();
    sim.pushFault("v", c.fault);
    HANDLE h = INVALID_HANDLE_VALUE;
    EXPECT_EQ(VEL_CreateProbe("KV21", &h, sim.devicePath().c_str()), c.rc) << c.name;
    EXPECT_EQ(sim.frames().size(), c.dataQuerySent ? 2u : 1u) << c.name;
    EXPECT_EQ(VEL_RemoveProbe(h), VEL_OK) << c.name;
  }
}

TEST_F(ProbeTest, DataBlockLengths) {
  // A first opening fills the whole block with a marker.
  sim.setReply("P", Bytes(382, 0xAB));
  openProbe();
  ASSERT_EQ(VEL_RemoveProbe(port), VEL_OK);
  port = INVALID_HANDLE_VALUE;

  // With no second chance a 255-byte block fails after one read, not after a
  // silent 19-second read.
  VEL_SetTimeout(0);
  struct Case { std::size_t length; int32_t rc; } cases[] = {{255, VEL_TIMEOUT}, {300, VEL_OK}, {382, VEL_OK}};
  for (const auto& c : cases) {
    sim.setReply("P", Bytes(c.length, static_cast<uint8_t>(c.length & 0x7F)));
    HANDLE h = INVALID_HANDLE_VALUE;
    EXPECT_EQ(VEL_CreateProbe("KV21", &h, sim.devicePath().c_str()), c.rc) << c.length;
    EXPECT_EQ(VEL_RemoveProbe(h), VEL_OK);
    if (c.length == 300) {
      // Bytes the short block did not carry keep the earlier opening's.
      EXPECT_EQ(vel::ProbeDataBlock[299], 300 & 0x7F);
      EXPECT_EQ(vel::ProbeDataBlock[300], 0xAB);
      EXPECT_EQ(vel::ProbeDataBlock[381], 0xAB);
    }
  }
  EXPECT_EQ(vel::ProbeDataBlock[381], 382 & 0x7F);
}

TEST(Opening, PortsThatAreNotProbes) {
  char dirTemplate[] = "/tmp/kv210-test-XXXXXX";
  ASSERT_NE(mkdtemp(dirTemplate), nullptr);
  const std::string dir = dirTemplate;
  const std::string file = dir + "/regular";
  std::ofstream(file) << "not a tty";
  const std::string fifo = dir + "/fifo";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  const std::string overlong = "/dev/" + std::string(5000, 'x');

  struct Case { std::string name; int32_t rc; bool handleKept; } cases[] = {
      {"/dev/kv210-no-such-port", VEL_PORT_NOT_FOUND, false},
      {dir + "/missing/deeper", VEL_PORT_NOT_FOUND, false},
      {dir, VEL_INVALID_HANDLE, false},
      {overlong, VEL_INVALID_HANDLE, false},
      {file, VEL_PORT_SETUP, true},
      {fifo, VEL_PORT_SETUP, true},
  };
  for (const auto& c : cases) {
    HANDLE h = nullptr;
    auto seconds = timed([&] { EXPECT_EQ(VEL_CreateProbe("KV21", &h, c.name.c_str()), c.rc) << c.name; });
    EXPECT_LT(seconds, 2.0) << c.name;
    EXPECT_EQ(h != INVALID_HANDLE_VALUE, c.handleKept) << c.name;
    if (h != INVALID_HANDLE_VALUE) EXPECT_EQ(VEL_RemoveProbe(h), VEL_OK);
  }
  std::filesystem::remove_all(dir);
}

TEST(Opening, NullArgumentsSendNothing) {
  sim::Simulator sim;
  HANDLE h = nullptr;
  EXPECT_EQ(VEL_CreateProbe(nullptr, &h, sim.devicePath().c_str()), VEL_NULL_ARGUMENT);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);
  EXPECT_EQ(VEL_CreateProbe("KV21", &h, nullptr), VEL_NULL_ARGUMENT);
  EXPECT_EQ(VEL_CreateProbe("KV21", nullptr, sim.devicePath().c_str()), VEL_NULL_ARGUMENT);
  EXPECT_TRUE(sim.received().empty());
}

TEST_F(ProbeTest, PortIsExclusiveWithinTheProcessAndAgainstOtherPrograms) {
  openProbe();
  HANDLE second = nullptr;
  EXPECT_EQ(VEL_CreateProbe("KV21", &second, sim.devicePath().c_str()), VEL_ACCESS_DENIED);
  EXPECT_EQ(second, INVALID_HANDLE_VALUE);

  // The claim is visible to other programs as a held lock file.
  const std::string lock = lockFileFor(sim.devicePath());
  int fd = ::open(lock.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0) << lock;
  EXPECT_NE(::flock(fd, LOCK_EX | LOCK_NB), 0);
  ::close(fd);

  // Another process is refused too.
  std::string command = std::string(PROBE_INFO_EXE) + " " + sim.devicePath() + " 2>/dev/null";
  FILE* child = ::popen(command.c_str(), "r");
  ASSERT_NE(child, nullptr);
  char line[128] = "";
  ASSERT_NE(std::fgets(line, sizeof line, child), nullptr);
  ::pclose(child);
  EXPECT_NE(std::string(line).find("rc=7"), std::string::npos) << line;

  EXPECT_EQ(VEL_RemoveProbe(port), VEL_OK);
  port = INVALID_HANDLE_VALUE;
  EXPECT_FALSE(std::filesystem::exists(lock));
  openProbe();  // free again
}

TEST_F(ProbeTest, LockFilesOfOtherProgramsAreHonouredUnlessStale) {
  const std::string lock = lockFileFor(sim.devicePath());
  int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_EXCL, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(::flock(fd, LOCK_EX | LOCK_NB), 0);
  HANDLE h = nullptr;
  EXPECT_EQ(VEL_CreateProbe("KV21", &h, sim.devicePath().c_str()), VEL_ACCESS_DENIED);
  ::close(fd);  // the lock file stays behind, held by nobody: stale
  EXPECT_EQ(VEL_CreateProbe("KV21", &port, sim.devicePath().c_str()), VEL_OK);
}

TEST_F(ProbeTest, ClosingRules) {
  EXPECT_EQ(VEL_RemoveProbe(INVALID_HANDLE_VALUE), VEL_INVALID_HANDLE);
  // A descriptor the library did not open is left alone.
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  EXPECT_EQ(VEL_RemoveProbe(reinterpret_cast<HANDLE>(intptr_t{pipeFds[0]})), VEL_CLOSE_FAILED);
  EXPECT_NE(::fcntl(pipeFds[0], F_GETFD), -1);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
  openProbe();
  EXPECT_EQ(VEL_RemoveProbe(port), VEL_OK);
  EXPECT_EQ(VEL_RemoveProbe(port), VEL_CLOSE_FAILED);
  port = INVALID_HANDLE_VALUE;
}

TEST_F(ProbeTest, OpenCloseCyclesLeaveNoDescriptorBehind) {
  const int before = openDescriptors();
  for (int i = 0; i < 20; ++i) {
    HANDLE h = nullptr;
    ASSERT_EQ(VEL_CreateProbe("KV21", &h, sim.devicePath().c_str()), VEL_OK);
    HANDLE busy = nullptr;
    EXPECT_EQ(VEL_CreateProbe("KV21", &busy, sim.devicePath().c_str()), VEL_ACCESS_DENIED);
    EXPECT_EQ(VEL_RemoveProbe(h), VEL_OK);
    EXPECT_EQ(VEL_CreateProbe("XX99", &h, sim.devicePath().c_str()), VEL_WRONG_MODEL);
    EXPECT_EQ(VEL_RemoveProbe(h), VEL_OK);
  }
  EXPECT_EQ(openDescriptors(), before);
}

TEST_F(ProbeTest, BinaryReplyBytesPassUnchanged) {
  openProbe();
  const std::string serial("\x03\r\x11\x13\x00\n\x7f\x80\xff#", 10);
  sim.setReply("s", concat({bytesOf("s"), bytesOf(serial)}));  // 11 bytes are enough
  char text[10];
  int32_t length = 0;
  ASSERT_EQ(VEL_SerialNumber(port, text, &length), VEL_OK);
  EXPECT_EQ(std::string(text, length), serial);
}

// Whole-second time-out: a silent 3-byte query costs 200 ms per read, and the
// reads go on while fewer whole seconds than the time-out have elapsed.
TEST_F(ProbeTest, TimeoutArithmetic) {
  openProbe();
  sim.setFault("b", Fault{FaultKind::Silence});
  struct Case { int32_t ms; double atLeast, atMost; } cases[] = {
      {0, 0.15, 0.45}, {500, 0.15, 1.6}, {2500, 1.95, 3.6}};
  for (const auto& c : cases) {
    VEL_SetTimeout(c.ms);
    float v = 0;
    double seconds = timed([&] { EXPECT_EQ(VEL_ReadBattery(port, &v), VEL_TIMEOUT); });
    EXPECT_GE(seconds, c.atLeast) << c.ms;
    EXPECT_LE(seconds, c.atMost) << c.ms;
  }
}

}  // namespace
}  // namespace kv210::test
