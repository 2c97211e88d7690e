// ProbeAddr's logic on a real pty against the simulated probe at the line's
// speed: identification, an address written by Enter while the data block's
// tail still waits at the port, and Exit, in real time.
#include <kv210/simulator.h>

#include <ctime>
#include <thread>

#include "fakes.h"
#include "posix_comm_port.h"

namespace probeaddr::test {

TEST(EndToEnd, IdentifiesWritesAnAddressAndLeaves) {
  kv210::sim::Simulator sim({.pace9600 = true});
  SteadyClock clock;
  Log log{clock};
  PosixCommPort port;
  RecordingControls controls{log};
  ScriptedMessages messages{log};
  ScriptedPump pump{clock, port, [](TimePoint t) { std::this_thread::sleep_until(t); }};
  SetAddGui gui(Platform{port, controls, messages, pump, clock, {}}, "PORT=" + sim.devicePath());

  const TimePoint start = clock.now();
  pump.limit = start + 20s;  // a hang fails instead of blocking the suite
  pump.schedule(start + 4s, [&] { controls.text = "5"; gui.TBAddress_KeyDown(13, 0); });
  pump.schedule(start + 6500ms, [&] { gui.CBExit_Click(); });
  EXPECT_THROW((gui.Form_Load(), gui.Form_Activate()), ProgramEnded);

  EXPECT_TRUE(sim.waitForFrames(7, 2s));
  // Poll, serial number, data block; the store; the serial number read back
  // from the new address; the query sent on the way out.
  EXPECT_EQ(sim.frames(), (std::vector<std::string>{"#00?v*", "#00?s*", "#00?P*", "#00@c*", "#00@I05*",
                                                    "#05?s*", "#00?v*"}));
  EXPECT_EQ(sim.address(), "05");
  const kv210::sim::Identity id;
  const Bytes block = kv210::sim::dataBlock(id);
  EXPECT_EQ(controls.captions, (std::map<ValueLabel, std::string>{
                                   {ValueLabel::LBModel, UtilLib::FilterPrintable(std::string(
                                                             block.begin() + 212, block.begin() + 255))},
                                   {ValueLabel::LBFW, id.release},
                                   {ValueLabel::LBFWDate, id.firmwareDate},
                                   {ValueLabel::LBSerial, id.serial}}));
  EXPECT_NE(controls.captions[ValueLabel::LBModel].find(id.name), std::string::npos);
  EXPECT_EQ(log.starting("msg"), std::vector<std::string>{"msg Warning|information|New Address is '05'."});
  EXPECT_EQ(log.starting("close"), (std::vector<std::string>{"close main", "close progress"}));
  EXPECT_LT(clock.now() - start, 8s);
  EXPECT_LT(std::clock(), CLOCKS_PER_SEC / 2);  // waiting sleeps: next to no CPU
}

}  // namespace probeaddr::test
