// ProbeAddr and the driver library keep each other off a port they hold, in
// both directions, whether a link or the device itself was named.
#include <gtest/gtest.h>

#include <unistd.h>

#include <thread>

#include "VEL_KV21X.h"
#include "kv210/simulator.h"
#include "probeaddr_process.h"

namespace probeaddr::testing {
namespace {

using namespace std::chrono_literals;
using kv210::sim::Simulator;

TEST(PortExclusion, PortHeldByTheLibraryIsNotAvailableToTheTool) {
  Simulator sim;
  HANDLE handle = INVALID_HANDLE_VALUE;
  ASSERT_EQ(VEL_CreateProbe("KV210", &handle, sim.ptsPath().c_str()), VEL_OK);
  {
    ProbeAddrProcess program({"PORT=" + sim.ptsPath()});
    ASSERT_EQ(program.waitForExit(), 1);
    const auto message = program.waitFor({"message"}, 0ms);
    ASSERT_TRUE(message);
    EXPECT_EQ(message->field(4), "COMM PORT" + sim.ptsPath() + "  Not Available");
  }
  // Released, the port is the tool's.
  ASSERT_EQ(VEL_RemoveProbe(handle), VEL_OK);
  ProbeAddrProcess program({"PORT=" + sim.ptsPath()});
  EXPECT_TRUE(program.waitFor({"caption", "LBFW", "1.10"}));
  program.command("close");
  EXPECT_EQ(program.waitForExit(), 0);
}

TEST(PortExclusion, PortHeldByTheToolIsDeniedToTheLibrary) {
  Simulator::Options options;
  options.linkPath = "/tmp/probeaddr-test-link-" + std::to_string(::getpid());
  Simulator sim(options);
  ASSERT_NE(sim.devicePath(), sim.ptsPath());
  {
    // The tool names the link, the library the device behind it.
    ProbeAddrProcess program({"PORT=" + sim.devicePath()});
    ASSERT_TRUE(program.waitFor({"ready"}));
    HANDLE handle = INVALID_HANDLE_VALUE;
    EXPECT_EQ(VEL_CreateProbe("KV210", &handle, sim.ptsPath().c_str()), VEL_ACCESS_DENIED);
    EXPECT_EQ(VEL_CreateProbe("KV210", &handle, sim.devicePath().c_str()), VEL_ACCESS_DENIED);
    program.command("close");
    ASSERT_EQ(program.waitForExit(), 0);
  }
  // The tool released it as it ended.
  HANDLE handle = INVALID_HANDLE_VALUE;
  EXPECT_EQ(VEL_CreateProbe("KV210", &handle, sim.ptsPath().c_str()), VEL_OK);
  VEL_RemoveProbe(handle);
}

}  // namespace
}  // namespace probeaddr::testing
