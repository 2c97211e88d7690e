// The serial-port object over QSerialPort: error numbers, line settings, and
// reading and writing a simulated probe without any window events.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include <thread>

#include "kv210/simulator.h"
#include "port_list.h"
#include "qt_comm_port.h"

namespace probeaddr::qt {
namespace {

using namespace std::chrono_literals;
using kv210::sim::Simulator;
using Clock = std::chrono::steady_clock;

int errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const CommError& e) {
    return e.number();
  }
  return 0;
}

TEST(LineSettingsText, ParsesWhatASerialPortTakesAndNothingElse) {
  struct Case {
    const char* text;
    bool valid;
    int32_t baud;
    Parity parity;
    int dataBits;
    int stopTimesTwo;
  };
  const Case cases[] = {
      {"9600,n,8,1", true, 9600, Parity::None, 8, 2},
      {"9600,N,8,1", true, 9600, Parity::None, 8, 2},
      {"19200,e,7,2", true, 19200, Parity::Even, 7, 4},
      {"110,o,5,1.5", true, 110, Parity::Odd, 5, 3},
      {" 9600 , m , 8 , 1 ", true, 9600, Parity::Mark, 8, 2},
      {"9600,n,8", false},      {"9600,n,8,1,0", false}, {"9601,n,8,1", false}, {"9600,x,8,1", false},
      {"9600,n,9,1", false},    {"9600,n,4,1", false},   {"9600,n,8,3", false}, {"", false},
      {"9600,,8,1", false},     {"abc", false},          {"-9600,n,8,1", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    const auto parsed = parseSettings(c.text);
    ASSERT_EQ(parsed.has_value(), c.valid);
    if (!parsed) continue;
    EXPECT_EQ(parsed->baud, c.baud);
    EXPECT_EQ(parsed->parity, c.parity);
    EXPECT_EQ(parsed->dataBits, c.dataBits);
    EXPECT_EQ(parsed->stopBitsTimesTwo, c.stopTimesTwo);
  }
}

TEST(PortNumbers, AdaptersFirstThenBuiltInPortsInNaturalOrder) {
  const std::vector<SerialDevice> found = {
      {"ttyS10", "/dev/ttyS10", false}, {"ttyS2", "/dev/ttyS2", false},  {"ttyACM0", "/dev/ttyACM0", false},
      {"ttyS0", "/dev/ttyS0", false},   {"ttyUSB1", "/dev/ttyUSB1", false}, {"ttyUSB0", "/dev/ttyUSB0", false},
      {"ttyXR0", "/dev/ttyXR0", true},  {"ttyAMA0", "/dev/ttyAMA0", false},
  };
  std::vector<std::string> order;
  for (const SerialDevice& d : orderedPorts(found)) order.push_back(d.name);
  EXPECT_EQ(order, (std::vector<std::string>{"ttyACM0", "ttyUSB0", "ttyUSB1", "ttyXR0", "ttyAMA0", "ttyS0", "ttyS2",
                                             "ttyS10"}));
}

class CommPortOnSimulator : public ::testing::Test {
 protected:
  void open() {
    port.setDevicePath(sim.devicePath());
    port.setSettings("9600,n,8,1");
    port.setPortOpen(true);
    port.setInputMode(InputMode::Binary);
  }
  Simulator sim;
  QtCommPort port;
};

TEST_F(CommPortOnSimulator, OpeningFailuresCarryTheirNumbers) {
  EXPECT_EQ(errorOf([&] { port.setSettings("9600,q,8,1"); }), kErrInvalidPropertyValue);
  EXPECT_EQ(errorOf([&] { port.setSettings("96OO,n,8,1"); }), kErrInvalidPropertyValue);
  for (int16_t number : {0, -1, 32000}) {
    SCOPED_TRACE(number);
    EXPECT_EQ(errorOf([&] {
                port.setCommPort(number);
                port.setPortOpen(true);
              }),
              kErrInvalidPortNumber);
  }
  EXPECT_EQ(errorOf([&] {
              port.setDevicePath("/dev/no-such-port");
              port.setPortOpen(true);
            }),
            kErrInvalidPortNumber);
  EXPECT_EQ(errorOf([&] {
              port.setDevicePath("/dev/null");
              port.setPortOpen(true);
            }),
            kErrDeviceUnavailable);
  EXPECT_FALSE(port.portOpen());
  // Reads and writes need an open port.
  EXPECT_EQ(errorOf([&] { port.inBufferCount(); }), kErrPortNotOpen);
  EXPECT_EQ(errorOf([&] { port.output("#00?v*"); }), kErrPortNotOpen);

  open();
  EXPECT_TRUE(port.portOpen());
  EXPECT_EQ(errorOf([&] { port.setCommPort(2); }), kErrPortAlreadyOpen);
  EXPECT_EQ(errorOf([&] { port.setPortOpen(true); }), kErrPortAlreadyOpen);
  EXPECT_EQ(errorOf([&] { port.setSettings("9600,n,8,1"); }), 0);
}

TEST_F(CommPortOnSimulator, SecondOpenOfTheSameDeviceIsUnavailable) {
  open();
  QtCommPort other;
  other.setDevicePath(sim.ptsPath());
  EXPECT_EQ(errorOf([&] { other.setPortOpen(true); }), kErrDeviceUnavailable);
  port.setPortOpen(false);
  EXPECT_EQ(errorOf([&] { other.setPortOpen(true); }), 0);
}

TEST_F(CommPortOnSimulator, FramesGoOutWholeAndRepliesAreCountedWithoutEvents) {
  open();
  port.output("#00?v*");
  EXPECT_TRUE(sim.waitForFrames(1, 2s));
  EXPECT_EQ(sim.frames(), std::vector<std::string>{"#00?v*"});

  // No event loop runs here: the count must still see the reply arrive.
  const kv210::sim::Bytes expected = sim.replyFor("#00?v*");
  const auto deadline = Clock::now() + 2s;
  int count = 0;
  while (Clock::now() < deadline && (count = port.inBufferCount()) < static_cast<int>(expected.size()))
    port.waitForInput(deadline);
  EXPECT_EQ(count, static_cast<int>(expected.size()));
  EXPECT_EQ(port.input(), Bytes(expected.begin(), expected.end()));
  EXPECT_EQ(port.inBufferCount(), 0);
  EXPECT_TRUE(port.input().empty());

  // Frames written back to back arrive in order.
  port.output("#00@c*");
  port.output("#00@I05*");
  port.output("#05?s*");
  EXPECT_TRUE(sim.waitForFrames(4, 2s));
  EXPECT_EQ(sim.frames(), (std::vector<std::string>{"#00?v*", "#00@c*", "#00@I05*", "#05?s*"}));
}

TEST_F(CommPortOnSimulator, WaitForInputSleepsUntilBytesOrDeadline) {
  open();
  auto start = Clock::now();
  port.waitForInput(start + 300ms);
  EXPECT_GE(Clock::now() - start, 295ms);

  sim.setResponseDelay(100ms);
  port.output("#00?v*");
  start = Clock::now();
  port.waitForInput(start + 3s);
  const auto waited = Clock::now() - start;
  EXPECT_GT(port.inBufferCount(), 0);
  EXPECT_LT(waited, 1500ms);  // woken by the bytes, not by the deadline
}

TEST_F(CommPortOnSimulator, DeviceThatHangsUpFailsEveryAccess) {
  open();
  sim.hangUp();
  std::this_thread::sleep_for(50ms);
  const auto start = Clock::now();
  port.waitForInput(start + 2s);
  EXPECT_LT(Clock::now() - start, 1s);  // a dead device does not hold the wait
  EXPECT_EQ(errorOf([&] { port.inBufferCount(); }), kErrDeviceFailed);
  EXPECT_EQ(errorOf([&] { port.output("#00?v*"); }), kErrDeviceFailed);
  EXPECT_EQ(errorOf([&] { port.input(); }), kErrDeviceFailed);
}

}  // namespace
}  // namespace probeaddr::qt

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QCoreApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
