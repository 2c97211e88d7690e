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
    int32_t baud;
    Parity parity;
    int dataBits, stopTimesTwo;
  };
  const Case valid[] = {
      {"9600,n,8,1", 9600, Parity::None, 8, 2},       {"9600,N,8,1", 9600, Parity::None, 8, 2},
      {"19200,e,7,2", 19200, Parity::Even, 7, 4},     {"110,o,5,1.5", 110, Parity::Odd, 5, 3},
      {" 9600 , m , 8 , 1 ", 9600, Parity::Mark, 8, 2},
  };
  for (const Case& c : valid) {
    const auto parsed = parseSettings(c.text);
    ASSERT_TRUE(parsed) << c.text;
    EXPECT_EQ(std::tie(parsed->baud, parsed->parity, parsed->dataBits, parsed->stopBitsTimesTwo),
              std::tie(c.baud, c.parity, c.dataBits, c.stopTimesTwo))
        << c.text;
  }
  for (const char* text : {"9600,n,8", "9600,n,8,1,0", "9601,n,8,1", "9600,x,8,1", "9600,n,9,1", "9600,n,4,1",
                           "9600,n,8,3", "", "9600,,8,1", "abc", "-9600,n,8,1"})
    EXPECT_FALSE(parseSettings(text)) << text;
}

TEST(PortNumbers, AdaptersFirstThenBuiltInPortsInNaturalOrder) {
  std::vector<SerialDevice> found;
  for (const char* name : {"ttyS10", "ttyS2", "ttyACM0", "ttyS0", "ttyUSB1", "ttyUSB0", "ttyXR0", "ttyAMA0"})
    found.push_back({name, std::string("/dev/") + name, name == std::string("ttyXR0")});
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
  // The error of opening `port` after `choose` named the device.
  int openingError(const std::function<void()>& choose) {
    return errorOf([&] { choose(), port.setPortOpen(true); });
  }
  Simulator sim;
  QtCommPort port;
};

TEST_F(CommPortOnSimulator, OpeningFailuresCarryTheirNumbers) {
  EXPECT_EQ(errorOf([&] { port.setSettings("9600,q,8,1"); }), kErrInvalidPropertyValue);
  EXPECT_EQ(errorOf([&] { port.setSettings("96OO,n,8,1"); }), kErrInvalidPropertyValue);
  for (int16_t number : {0, -1, 32000})
    EXPECT_EQ(openingError([&] { port.setCommPort(number); }), kErrInvalidPortNumber) << number;
  EXPECT_EQ(openingError([&] { port.setDevicePath("/dev/no-such-port"); }), kErrInvalidPortNumber);
  EXPECT_EQ(openingError([&] { port.setDevicePath("/dev/null"); }), kErrDeviceUnavailable);
  EXPECT_FALSE(port.portOpen());
  // Reads and writes need an open port.
  EXPECT_EQ(errorOf([&] { port.inBufferCount(); }), kErrPortNotOpen);
  EXPECT_EQ(errorOf([&] { port.output("#00?v*"); }), kErrPortNotOpen);

  open();
  EXPECT_TRUE(port.portOpen());
  EXPECT_EQ(errorOf([&] { port.setCommPort(2); }), kErrPortAlreadyOpen);
  EXPECT_EQ(errorOf([&] { port.setPortOpen(true); }), kErrPortAlreadyOpen);
  EXPECT_EQ(errorOf([&] { port.setSettings("9600,n,8,1"); }), 0);
  // A second object cannot have the device until the first lets it go.
  QtCommPort other;
  other.setDevicePath(sim.ptsPath());
  EXPECT_EQ(errorOf([&] { other.setPortOpen(true); }), kErrDeviceUnavailable);
  port.setPortOpen(false);
  EXPECT_EQ(errorOf([&] { other.setPortOpen(true); }), 0);
}

TEST_F(CommPortOnSimulator, FramesGoOutWholeAndRepliesAreCountedWithoutEvents) {
  open();
  port.output("#00?v*");
  // No event loop runs here: the count must still see the reply arrive.
  const kv210::sim::Bytes expected = sim.replyFor("#00?v*");
  const auto deadline = Clock::now() + 2s;
  int count = 0;
  while (Clock::now() < deadline && (count = port.inBufferCount()) < int(expected.size())) port.waitForInput(deadline);
  EXPECT_EQ(count, int(expected.size()));
  EXPECT_EQ(port.input(), Bytes(expected.begin(), expected.end()));
  EXPECT_EQ(port.inBufferCount(), 0);

  // Frames written back to back arrive whole and in order.
  for (const char* frame : {"#00@c*", "#00@I05*", "#05?s*"}) port.output(frame);
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
  EXPECT_LT(Clock::now() - start, 1500ms);  // woken by the bytes, not by the deadline
  EXPECT_GT(port.inBufferCount(), 0);
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
