// What only the simulator's own tests check: frames cut out of noise, the
// address store, each fault's exact effect, scripting, pacing, hang-ups and
// links. Its default replies are checked through the library and the tools.
#include "kv210/simulator.h"

#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>

#include "pty_client.h"

namespace kv210::sim {
namespace {

using namespace std::chrono_literals;
using testing::bytes;
using testing::PtyClient;
using Clock = std::chrono::steady_clock;

const Bytes kBattery{'b', 0x03, 0x00};
const Bytes kVersion = bytes("vKV210:1.10 07/10;");
const std::string kTail(22, ' ');  // of the serial-number reply

Fault fault(FaultKind kind, char letter = '?', std::size_t count = 0, std::chrono::milliseconds delay = 0ms,
            Bytes extra = {}) {
  return {kind, letter, count, delay, std::move(extra)};
}

long millisSince(Clock::time_point start) {
  return long(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
}

// True when the line has hung up (poll reports it and a read gives 0 or EIO).
bool hungUp(int fd) {
  pollfd p{fd, POLLIN, 0};
  uint8_t byte;
  return poll(&p, 1, 2000) == 1 && (p.revents & POLLHUP) && ::read(fd, &byte, 1) <= 0;
}

class SimulatorTest : public ::testing::Test {
 protected:
  Simulator sim;
  PtyClient client{sim.devicePath()};

  void SetUp() override { ASSERT_TRUE(client.isOpen()) << sim.devicePath(); }

  // Sends a frame and takes everything the probe answers.
  Bytes exchange(const std::string& frame) {
    EXPECT_TRUE(client.send(frame));
    return client.readQuiet();
  }
};

// A probe that took a frequency echoes a value whose hundredfold, truncated,
// is the setting; the single-precision value nearest to n/100 is often below
// it (0.01f is 0.0099999998, 0.29f is 0.28999999).
TEST(FrequencyEcho, TruncatesToEverySettingFromTheNearestSide) {
  EXPECT_EQ(Simulator().replyFor(std::string("#00k 1*\0\0\0\0\0\0", 13)), (Bytes{'k', 0x0B, 0xD7, 0x23, 0x3C}));
  EXPECT_EQ(frequencyEcho(29), 0.29000002f);
  EXPECT_EQ(frequencyEcho(0), 0.0f);
  std::vector<int32_t> settings{9999999, -999999, -1};
  for (int32_t n = 0; n <= 100000; ++n) settings.push_back(n);
  for (int32_t n : settings) {
    const float echo = frequencyEcho(n);
    const float closer = std::nextafter(echo, n >= 0 ? -1.0f : 1.0f);
    ASSERT_EQ(std::trunc(double{echo} * 100.0), n) << n;
    if (n != 0) ASSERT_NE(std::trunc(double{closer} * 100.0), n) << n;
  }
}

TEST_F(SimulatorTest, CutsFramesOutOfNoise) {
  struct Case {
    std::string sent;
    std::vector<std::string> frames;
    Bytes reply;
  };
  const Case cases[] = {
      {std::string("xx\0\0#00?b*", 10), {"#00?b*"}, kBattery},
      {"#00?b#00?b*", {"#00?b*"}, kBattery},  // a new '#' starts over
      {"#00" + std::string(30, '?') + "*#00f1*", {"#00f1*"}, bytes("f")},  // overlong, dropped
      {std::string("#00?\0v*", 7), {"#00?v*"}, kVersion},
      {"#00f1*#00?b*", {"#00f1*", "#00?b*"}, {'f', 'b', 0x03, 0x00}},
      {"#07?v*", {"#07?v*"}, {}},  // recorded, not answered
      {"#00?x*#00zz*#00k5000*#005?s*#00@c*", {}, {}},  // unknown: not answered
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent);
    sim.clearReceived();
    EXPECT_EQ(exchange(c.sent), c.reply);
    if (!c.frames.empty()) {
      EXPECT_EQ(sim.frames(), c.frames);
    }
  }
  // A frame written in two pieces is one frame.
  ASSERT_TRUE(client.send("#00?"));
  EXPECT_TRUE(client.read(1, 100ms).empty());
  EXPECT_EQ(exchange("b*"), kBattery);
}

// Stored through broadcast and through the new address; broadcast stays answered.
TEST_F(SimulatorTest, StoresAddressAndAnswersThere) {
  EXPECT_EQ(exchange("#00@c*#00@I05*#05?b*#00?b*#07?b*"), bytes(std::string("05b\3\0b\3\0", 8)));
  EXPECT_EQ(exchange("#05@c*#05@I42*#05?b*#42?b*"), bytes(std::string("42b\3\0", 5)));
  EXPECT_EQ(sim.address(), "42");
}

TEST_F(SimulatorTest, RefusesBadAddressStores) {
  const std::string refused[] = {
      "#00@I05*",              // no "@c" before it
      "#00@c*#00?v*#00@I05*",  // something else came between
      "#07@c*#00@I05*",        // "@c" to another probe
      "#00@c*#00@I5*",   "#00@c*#00@I005*", "#00@c*#00@I100*", "#00@c*#00@Iab*", "#00@c*#00@I*",
  };
  for (const auto& frames : refused) {
    SCOPED_TRACE(frames);
    Bytes reply = exchange(frames);
    ASSERT_GE(reply.size(), 6u);
    EXPECT_EQ(Bytes(reply.end() - 6, reply.end()), bytes("eERR\r\n"));
    EXPECT_EQ(sim.address(), "00");
  }
}

TEST_F(SimulatorTest, AppliesEachFaultOnceWhenPushed) {
  struct Case {
    Command command;
    std::string frame;
    Fault injected;
    Bytes reply;
  };
  const Case cases[] = {
      {"v", "#00?v*", fault(FaultKind::Truncate, '?', 5), bytes("vKV21")},
      {"b", "#00?b*", fault(FaultKind::Truncate, '?', 9), kBattery},
      {"v", "#00?v*", fault(FaultKind::Extra, '?', 0, 0ms, bytes("ZZ")), bytes("vKV210:1.10 07/10;ZZ")},
      {"@I", "#00@c*#00@I05*", fault(FaultKind::StoreError, 'x'), bytes("xERR\r\n")},
      {"s", "#00?s*", fault(FaultKind::MalformedSerial, '?', 0, 0ms, bytes("12A")), bytes("s12A" + kTail)},
      {"!", "#00!*", fault(FaultKind::Garbage, '?', 0, 0ms, bytes("?")), bytes("?")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frame + " " + std::to_string(int(c.injected.kind)));
    const Bytes normal = sim.replyFor(c.frame.substr(c.frame.rfind('#')));
    sim.pushFault(c.command, c.injected);
    EXPECT_EQ(exchange(c.frame), c.reply);
    EXPECT_EQ(sim.address(), "00");
    if (c.command != "@I") {
      EXPECT_EQ(exchange(c.frame), normal) << "the fault should be used up";
    }
  }
}

// Late and split replies are timed in the library's fault table; here: frames
// sent in a split reply's pause are taken, and a response delay.
TEST_F(SimulatorTest, DelaysRepliesWithoutMissingInput) {
  sim.pushFault("v", fault(FaultKind::Split, '?', 4, 300ms));
  ASSERT_TRUE(client.send("#00?v*"));
  EXPECT_EQ(client.read(4, 1s), bytes("vKV2"));
  ASSERT_TRUE(client.send("#00f4*"));
  EXPECT_TRUE(client.read(1, 100ms).empty());
  EXPECT_EQ(sim.filter(), 4);
  EXPECT_EQ(client.read(15, 2s), bytes("10:1.10 07/10;f"));

  sim.setResponseDelay(200ms);
  ASSERT_TRUE(client.send("#00?b*"));
  EXPECT_TRUE(client.read(1, 150ms).empty());
  EXPECT_EQ(client.read(3, 2s), kBattery);
}

TEST_F(SimulatorTest, PacedLineTakesItsTime) {
  for (bool paced : {false, true}) {
    sim.setPacing(paced);
    const auto start = Clock::now();
    ASSERT_TRUE(client.send("#00?P*"));
    EXPECT_EQ(client.read(382, 5s), dataBlock(Identity{}));
    // Paced: 388 bytes on the line at 1.04 ms each, about 404 ms.
    EXPECT_GE(millisSince(start), paced ? 350 : 0);
    EXPECT_LT(millisSince(start), paced ? 3000 : 300);
  }
}

TEST_F(SimulatorTest, HangUpReachesTheClient) {
  sim.pushFault("v", fault(FaultKind::HangUp));  // instead of a reply
  ASSERT_TRUE(client.send("#00?v*"));
  EXPECT_TRUE(hungUp(client.fd()));
  EXPECT_FALSE(std::filesystem::exists(sim.ptsPath()));
  sim.hangUp();  // a second time is harmless
}

// A link is made and removed by the simulator that serves it; a second one
// refuses it until the first has hung up (the probe unplugged).
TEST(SimulatorLink, ServedByOneSimulatorAtATime) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("kv210-sim-link-" + std::to_string(getpid()));
  fs::create_directories(dir);
  Simulator::Options options;
  options.linkPath = (dir / "probe").string();
  fs::create_symlink("/nonexistent", options.linkPath);  // a dangling link is replaced
  {
    Simulator sim(options);
    EXPECT_EQ(fs::read_symlink(options.linkPath), fs::path(sim.ptsPath()));
    EXPECT_THROW(Simulator{options}, std::runtime_error);
    EXPECT_EQ(fs::read_symlink(options.linkPath), fs::path(sim.ptsPath()));
    sim.hangUp();
    Simulator replugged(options);
    EXPECT_EQ(fs::read_symlink(options.linkPath), fs::path(replugged.ptsPath()));
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(options.linkPath)));
  std::ofstream(options.linkPath) << "keep";  // a file in the way is not overwritten
  EXPECT_THROW(Simulator{options}, std::runtime_error);
  EXPECT_TRUE(fs::is_regular_file(options.linkPath));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kv210::sim
