#include "kv210/simulator.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "pty_client.h"

namespace kv210::sim {
namespace {

using namespace std::chrono_literals;
using testing::bytes;
using testing::PtyClient;
using Clock = std::chrono::steady_clock;

std::string spaces(std::size_t n) { return std::string(n, ' '); }

Fault fault(FaultKind kind, char letter = '?', std::size_t count = 0,
            std::chrono::milliseconds delay = 0ms, Bytes extra = {}) {
  return Fault{kind, letter, count, delay, std::move(extra)};
}

long millisSince(Clock::time_point start) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count());
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

struct ReplyCase {
  std::string frame;
  Bytes reply;
};

TEST_F(SimulatorTest, AnswersEveryCommandByteForByte) {
  const ReplyCase cases[] = {
      {"#00?v*", bytes("vKV210:1.10 07/10;")},
      {"#00?s*", bytes("s0424K10123" + spaces(22))},
      {"#00?b*", {'b', 0x03, 0x00}},
      {"#00?t*", {'t', 0x02, 0x80}},
      {"#00?T*", {'T', 0x00, 0x00, 0xC8, 0x41}},  // 25.0
      {"#00?A*", {'A', 0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x40, 0x40}},
      {std::string("#00k 5000*\0\0\0", 13), {'k', 0x00, 0x00, 0x48, 0x42}},  // 50.0
      {std::string("#00k 1*\0\0\0\0\0\0", 13), {'k', 0x0A, 0xD7, 0x23, 0x3C}},  // 0.01
      {"#00f3*", bytes("f")},
      {std::string("#00e 60*\0\0\0", 11), bytes("e")},
      {"#00!*", {}},
      {"#00@I05*", bytes("eERR\r\n")},  // no "@c" before it
      {"#00?x*", {}},
      {"#00zz*", {}},
      {"#00k5000*", {}},
      {"#07?v*", {}},
      {"#005?s*", {}},
      {"#00@c*", {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.frame);
    EXPECT_EQ(sim.replyFor(c.frame), c.reply);
    EXPECT_EQ(exchange(c.frame), c.reply);
  }
}

TEST_F(SimulatorTest, RepliesFollowScriptedIdentityAndReadings) {
  Identity identity;
  identity.model = "KV211";
  identity.release = "1.09";
  identity.firmwareDate = "01/99";
  identity.serial = "1234A50678";
  identity.serialTail = "XY";
  sim.setIdentity(identity);
  Readings readings;
  readings.batteryRaw = 0xFE01;
  readings.temperatureRaw = -2;
  readings.frequencyEcho = -1.5f;
  sim.setReadings(readings);

  EXPECT_EQ(exchange("#00?v*"), bytes("vKV211:1.09 01/99;"));
  EXPECT_EQ(exchange("#00?s*"), bytes("s1234A50678XY"));
  EXPECT_EQ(exchange("#00?b*"), (Bytes{'b', 0xFE, 0x01}));
  EXPECT_EQ(exchange("#00?t*"), (Bytes{'t', 0xFF, 0xFE}));
  EXPECT_EQ(exchange("#00k 777*"), (Bytes{'k', 0x00, 0x00, 0xC0, 0xBF}));
}

TEST(DataBlock, HoldsLimitDateAndNameAndNothingElse) {
  Bytes block = dataBlock(Identity{});
  ASSERT_EQ(block.size(), 382u);
  Bytes expected(382, 0);
  expected[0] = 'd';
  const uint8_t limit[] = {0x00, 0x00, 0x48, 0x43};  // 200.0
  std::copy(std::begin(limit), std::end(limit), expected.begin() + 16);
  const std::string date = "07/12/26", name = "KV210A";
  std::copy(date.begin(), date.end(), expected.begin() + 204);
  std::copy(name.begin(), name.end(), expected.begin() + 213);
  EXPECT_EQ(block, expected);

  Identity longNames;
  longNames.calibrationDate = "2026-12-07";
  longNames.name = "KV210-LONG";
  Bytes clipped = dataBlock(longNames);
  EXPECT_EQ(std::string(clipped.begin() + 204, clipped.begin() + 213), std::string("2026-12-\0", 9));
  EXPECT_EQ(std::string(clipped.begin() + 213, clipped.begin() + 220), std::string("KV210-\0", 7));
}

TEST_F(SimulatorTest, TakesSettingsAndRecordsWhatCame) {
  EXPECT_EQ(sim.filter(), -1);
  EXPECT_EQ(sim.autoOffSeconds(), -1);
  const std::string sent = std::string("#00f6*") + std::string("#00e 10800*") +
                           std::string("#00k -250*\0\0\0", 13) + "#00!*" + "#00!*";
  ASSERT_TRUE(client.send(sent));
  ASSERT_TRUE(sim.waitForFrames(5, 2s));
  EXPECT_EQ(client.readQuiet(), (Bytes{'f', 'e', 'k', 0x00, 0x00, 0x20, 0xC0}));  // -2.5
  EXPECT_EQ(sim.filter(), 6);
  EXPECT_EQ(sim.autoOffSeconds(), 10800);
  EXPECT_EQ(sim.frequencyHundredths(), -250);
  EXPECT_EQ(sim.resets(), 2u);
  EXPECT_EQ(sim.frames(), (std::vector<std::string>{"#00f6*", "#00e 10800*", "#00k -250*", "#00!*", "#00!*"}));
  EXPECT_EQ(sim.received(), bytes(sent));

  sim.clearReceived();
  EXPECT_TRUE(sim.frames().empty());
  EXPECT_TRUE(sim.received().empty());
  EXPECT_FALSE(sim.waitForFrames(1, 50ms));
}

TEST_F(SimulatorTest, CutsFramesOutOfNoise) {
  struct Case {
    std::string sent;
    std::vector<std::string> frames;
    Bytes reply;
  };
  const Case cases[] = {
      {std::string("xx\0\0#00?b*", 10), {"#00?b*"}, {'b', 0x03, 0x00}},
      {"#00?b#00?b*", {"#00?b*"}, {'b', 0x03, 0x00}},  // a new '#' starts over
      {"#00" + std::string(30, '?') + "*#00f1*", {"#00f1*"}, bytes("f")},  // overlong, dropped
      {std::string("#00?\0v*", 7), {"#00?v*"}, bytes("vKV210:1.10 07/10;")},
      {"#00f1*#00?b*", {"#00f1*", "#00?b*"}, {'f', 'b', 0x03, 0x00}},
      {"#07?v*", {"#07?v*"}, {}},  // recorded, not answered
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.sent);
    sim.clearReceived();
    EXPECT_EQ(exchange(c.sent), c.reply);
    EXPECT_EQ(sim.frames(), c.frames);
  }

  // A frame written in two pieces is one frame.
  sim.clearReceived();
  ASSERT_TRUE(client.send("#00?"));
  EXPECT_TRUE(client.read(1, 100ms).empty());
  EXPECT_EQ(exchange("b*"), (Bytes{'b', 0x03, 0x00}));
}

TEST_F(SimulatorTest, StoresAddressAndAnswersThere) {
  EXPECT_EQ(exchange("#00@c*#00@I05*"), bytes("05"));
  EXPECT_EQ(sim.address(), "05");
  EXPECT_EQ(exchange("#05?s*"), bytes("s0424K10123" + spaces(22)));
  EXPECT_EQ(exchange("#00?b*"), (Bytes{'b', 0x03, 0x00}));  // broadcast still answered
  EXPECT_TRUE(exchange("#07?b*").empty());

  // Stored through the new address too; the old one no longer answers.
  EXPECT_EQ(exchange("#05@c*#05@I42*"), bytes("42"));
  EXPECT_EQ(sim.address(), "42");
  EXPECT_TRUE(exchange("#05?b*").empty());
  EXPECT_EQ(exchange("#42?b*"), (Bytes{'b', 0x03, 0x00}));
}

TEST_F(SimulatorTest, RefusesBadAddressStores) {
  const std::string refused[] = {
      "#00@I05*",                // no "@c" before it
      "#00@c*#00?v*#00@I05*",    // something else came between
      "#00@c*#00@I5*",           // one digit
      "#00@c*#00@I005*",         // three characters
      "#00@c*#00@I100*",
      "#00@c*#00@Iab*",
      "#00@c*#00@I*",
  };
  for (const auto& frames : refused) {
    SCOPED_TRACE(frames);
    Bytes reply = exchange(frames);
    ASSERT_GE(reply.size(), 6u);
    EXPECT_EQ(Bytes(reply.end() - 6, reply.end()), bytes("eERR\r\n"));
    EXPECT_EQ(sim.address(), "00");
  }
  // "@c" to another probe does not open a store here.
  EXPECT_EQ(exchange("#07@c*#00@I05*"), bytes("eERR\r\n"));
}

struct FaultCase {
  const char* name;
  Command command;
  std::string frame;
  Fault fault;
  Bytes reply;
};

TEST_F(SimulatorTest, AppliesEachFaultOnceWhenPushed) {
  const Bytes version = bytes("vKV210:1.10 07/10;");
  const FaultCase cases[] = {
      {"silence", "v", "#00?v*", fault(FaultKind::Silence), {}},
      {"wrong letter", "v", "#00?v*", fault(FaultKind::WrongLetter, 'x'), bytes("xKV210:1.10 07/10;")},
      {"truncate", "v", "#00?v*", fault(FaultKind::Truncate, '?', 5), bytes("vKV21")},
      {"truncate beyond", "b", "#00?b*", fault(FaultKind::Truncate, '?', 9), {'b', 0x03, 0x00}},
      {"extra", "v", "#00?v*", fault(FaultKind::Extra, '?', 0, 0ms, bytes("ZZ")), bytes("vKV210:1.10 07/10;ZZ")},
      {"garbage", "b", "#00?b*", fault(FaultKind::Garbage, '?', 0, 0ms, {0x01, 0x02}), {0x01, 0x02}},
      {"store error", "@I", "#00@c*#00@I05*", fault(FaultKind::StoreError), bytes("eERR\r\n")},
      {"store error letter", "@I", "#00@c*#00@I05*", fault(FaultKind::StoreError, 'x'), bytes("xERR\r\n")},
      {"malformed serial", "s", "#00?s*", fault(FaultKind::MalformedSerial, '?', 0, 0ms, bytes("12A")),
       bytes("s12A" + spaces(22))},
      {"garbage on reset", "!", "#00!*", fault(FaultKind::Garbage, '?', 0, 0ms, bytes("?")), bytes("?")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes normal = sim.replyFor(c.frame.substr(c.frame.rfind('#')));
    sim.pushFault(c.command, c.fault);
    EXPECT_EQ(exchange(c.frame), c.reply);
    EXPECT_EQ(sim.address(), "00");
    if (c.command != "@I") {
      EXPECT_EQ(exchange(c.frame), normal) << "the fault should be used up";
    }
  }
}

TEST_F(SimulatorTest, LastingFaultsStayAndQueuedOnesComeFirst) {
  sim.setFault("b", fault(FaultKind::WrongLetter, 'B'));
  sim.pushFault("b", fault(FaultKind::Truncate, '?', 1));
  sim.pushFault("b", fault(FaultKind::None));
  EXPECT_EQ(exchange("#00?b*"), bytes("b"));
  EXPECT_EQ(exchange("#00?b*"), (Bytes{'b', 0x03, 0x00}));
  EXPECT_EQ(exchange("#00?b*"), (Bytes{'B', 0x03, 0x00}));
  EXPECT_EQ(exchange("#00?b*"), (Bytes{'B', 0x03, 0x00}));
  EXPECT_EQ(exchange("#07?b*"), Bytes{});  // other probes' frames use no fault
  sim.setFault("b", {});
  EXPECT_EQ(exchange("#00?b*"), (Bytes{'b', 0x03, 0x00}));
  sim.setFault("b", fault(FaultKind::Silence));
  sim.pushFault("b", fault(FaultKind::Silence));
  sim.clearFaults();
  EXPECT_EQ(exchange("#00?b*"), (Bytes{'b', 0x03, 0x00}));
}

TEST_F(SimulatorTest, ScriptedRepliesReplaceTheProbes) {
  sim.setReply("v", bytes("hello"));
  sim.setReply("f", {});
  EXPECT_EQ(sim.replyFor("#00?v*"), bytes("hello"));
  EXPECT_EQ(exchange("#00?v*"), bytes("hello"));
  EXPECT_TRUE(exchange("#00f2*").empty());
  EXPECT_EQ(sim.filter(), 2);  // taken all the same
  sim.clearReplies();
  EXPECT_EQ(exchange("#00?v*"), bytes("vKV210:1.10 07/10;"));
}

TEST_F(SimulatorTest, DelaysRepliesWithoutMissingInput) {
  // Late: nothing for a while, then the whole reply.
  sim.pushFault("b", fault(FaultKind::Late, '?', 0, 300ms));
  auto start = Clock::now();
  ASSERT_TRUE(client.send("#00?b*"));
  EXPECT_TRUE(client.read(1, 150ms).empty());
  EXPECT_EQ(client.read(3, 2s), (Bytes{'b', 0x03, 0x00}));
  EXPECT_GE(millisSince(start), 250);

  // Split: the head, a pause, the rest. Frames sent in the pause are taken.
  sim.pushFault("v", fault(FaultKind::Split, '?', 4, 300ms));
  ASSERT_TRUE(client.send("#00?v*"));
  EXPECT_EQ(client.read(4, 1s), bytes("vKV2"));
  ASSERT_TRUE(client.send("#00f4*"));
  EXPECT_TRUE(client.read(1, 100ms).empty());
  EXPECT_EQ(sim.filter(), 4);
  EXPECT_EQ(client.read(15, 2s), bytes("10:1.10 07/10;f"));

  // Response delay before every reply.
  sim.setResponseDelay(200ms);
  start = Clock::now();
  ASSERT_TRUE(client.send("#00?b*"));
  EXPECT_EQ(client.read(3, 2s), (Bytes{'b', 0x03, 0x00}));
  EXPECT_GE(millisSince(start), 150);
}

TEST_F(SimulatorTest, PacedLineTakesItsTime) {
  auto start = Clock::now();
  ASSERT_TRUE(client.send("#00?P*"));
  EXPECT_EQ(client.read(382, 5s).size(), 382u);
  EXPECT_LT(millisSince(start), 300);

  sim.setPacing(true);
  start = Clock::now();
  ASSERT_TRUE(client.send("#00?P*"));
  Bytes block = client.read(382, 5s);
  const long paced = millisSince(start);
  EXPECT_EQ(block, dataBlock(Identity{}));
  // 388 bytes on the line at 1.04 ms each: about 404 ms.
  EXPECT_GE(paced, 350);
  EXPECT_LT(paced, 3000);
}

TEST_F(SimulatorTest, HangUpReachesTheClient) {
  sim.hangUp();
  pollfd p{client.fd(), POLLIN, 0};
  ASSERT_EQ(poll(&p, 1, 1000), 1);
  EXPECT_NE(p.revents & POLLHUP, 0);
  uint8_t byte;
  ssize_t n = ::read(client.fd(), &byte, 1);
  EXPECT_TRUE(n == 0 || (n < 0 && errno == EIO)) << n;
  EXPECT_FALSE(std::filesystem::exists(sim.ptsPath()));
  sim.hangUp();  // a second time is harmless
}

TEST_F(SimulatorTest, HangUpFaultClosesInsteadOfReplying) {
  sim.pushFault("v", fault(FaultKind::HangUp));
  ASSERT_TRUE(client.send("#00?v*"));
  EXPECT_TRUE(client.read(1, 2s).empty());
  EXPECT_TRUE(client.sawHangUp());
}

TEST(SimulatorLink, MadeReplacedAndRemoved) {
  namespace fs = std::filesystem;
  const fs::path dir = fs::temp_directory_path() / ("kv210-sim-link-" + std::to_string(getpid()));
  fs::create_directories(dir);
  const fs::path link = dir / "probe";
  fs::create_symlink("/nonexistent", link);
  {
    Simulator::Options options;
    options.linkPath = link.string();
    Simulator sim(options);
    EXPECT_EQ(sim.devicePath(), link.string());
    EXPECT_EQ(fs::read_symlink(link), fs::path(sim.ptsPath()));
    PtyClient client(sim.devicePath());
    ASSERT_TRUE(client.isOpen());
    ASSERT_TRUE(client.send("#00?b*"));
    EXPECT_EQ(client.read(3), (Bytes{'b', 0x03, 0x00}));
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(link)));

  // A file in the way is not overwritten.
  { std::ofstream(link.string()) << "keep"; }
  Simulator::Options options;
  options.linkPath = link.string();
  EXPECT_THROW(Simulator{options}, std::runtime_error);
  EXPECT_TRUE(fs::is_regular_file(link));
  fs::remove_all(dir);
}

}  // namespace
}  // namespace kv210::sim
