// The serial-port object over QSerialPort: which device a port number names,
// the error numbers port selection sorts by, and a device that hangs up.
#include <gtest/gtest.h>

#include <QCoreApplication>

#include "kv210/simulator.h"
#include "port_list.h"
#include "qt_comm_port.h"

using namespace probeaddr;
using namespace probeaddr::qt;
using namespace std::chrono_literals;

std::string errorOf(const std::function<void()>& action) {
  try {
    action();
  } catch (const CommError& e) {
    return std::to_string(e.number()) + " " + e.what();
  }
  return "";
}

TEST(PortNumbers, AdaptersFirstThenBuiltInPortsInNaturalOrder) {
  std::vector<SerialDevice> found;
  for (const char* name : {"ttyS10", "ttyS2", "ttyACM0", "ttyS0", "ttyUSB1", "ttyUSB0", "ttyXR0", "ttyAMA0"})
    found.push_back({name, std::string("/dev/") + name, name == std::string("ttyXR0")});
  std::string order;
  for (const SerialDevice& d : orderedPorts(found)) order += d.name + " ";
  EXPECT_EQ(order, "ttyACM0 ttyUSB0 ttyUSB1 ttyXR0 ttyAMA0 ttyS0 ttyS2 ttyS10 ");
}

// 8002 and 68 move the scan on; a device gone while open fails at once, saying how.
TEST(QtCommPortErrors, OpeningFailuresAndADeviceThatHangsUp) {
  QtCommPort port;
  for (int16_t number : {0, -1, 32000})
    EXPECT_EQ(errorOf([&] { port.setCommPort(number), port.setPortOpen(true); }), "8002 Invalid port number") << number;
  EXPECT_EQ(errorOf([&] { port.setDevicePath("/dev/no-such-port"), port.setPortOpen(true); }), "8002 no such device");
  EXPECT_EQ(errorOf([&] { port.setDevicePath("/dev/null"), port.setPortOpen(true); }), "68 not a serial port");
  EXPECT_EQ(errorOf([&] { port.input(); }), "8018 Operation valid only when the port is open");
  kv210::sim::Simulator sim;
  port.setDevicePath(sim.devicePath());
  port.setPortOpen(true);
  EXPECT_EQ(errorOf([&] { port.setCommPort(1); }), "8005 Port already open");
  sim.hangUp();
  const auto start = std::chrono::steady_clock::now();
  port.waitForInput(start + 2s);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
  // Said as what happened, and the same at every later access.
  const std::string hungUp = "8020 " + sim.devicePath() + ": the line was hung up.";
  EXPECT_EQ(errorOf([&] { port.inBufferCount(); }), hungUp);
  EXPECT_EQ(errorOf([&] { port.output("#00?v*"); }), hungUp);
}

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  QCoreApplication app(argc, argv);
  return RUN_ALL_TESTS();
}
