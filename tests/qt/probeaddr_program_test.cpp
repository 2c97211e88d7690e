// The real ProbeAddr program against a simulated probe: what the probe
// receives, and what the windows show, through the program's test hook. The
// logic behind it (address parsing, polling, messages) is tested toolkit-free
// in tests/tool; here the Qt windows, keys and port are wired to it.
#include <gtest/gtest.h>

#include "VEL_KV21X.h"
#include "kv210/simulator.h"
#include "probeaddr_process.h"

namespace probeaddr::testing {
namespace {

using namespace std::string_literals;
using kv210::sim::Simulator;
using Frames = std::vector<std::string>;

Simulator::Options probe(const std::string& release = "1.20") {
  Simulator::Options options;
  options.identity.release = release;
  options.identity.firmwareDate = "03/11";
  options.identity.serial = "1234Z10999";
  options.identity.name = "PRB77X";
  return options;
}

// Frames received from `from` on, once `last` is among them (or after 5 s).
Frames framesFrom(const Simulator& sim, std::size_t from, const std::string& last = "") {
  Frames frames;
  poll(5s, [&] {
    frames = sim.frames();
    frames.erase(frames.begin(), frames.begin() + std::ptrdiff_t(std::min(from, frames.size())));
    return last.empty() || std::find(frames.begin(), frames.end(), last) != frames.end();
  });
  return frames;
}

bool noStoreFrame(const Frames& frames) {
  return std::none_of(frames.begin(), frames.end(), [](const std::string& f) { return f.find('@') != f.npos; });
}

void expectIdentified(const ProbeAddrProcess& program) {
  EXPECT_TRUE(program.waitFor({"caption", "LBFW", "1.20"}));
  EXPECT_TRUE(program.waitFor({"caption", "LBFWDate", "03/11"}));
  EXPECT_TRUE(program.waitFor({"caption", "LBSerial", "1234Z10999"}));
  EXPECT_TRUE(program.waitFor({"caption", "LBModel", "PRB77X"}));
}

TEST(ProbeAddrProgram, IdentifiesTheProbeWritesAnAddressByEnterAndSaysGoodbyeOnExit) {
  Simulator sim(probe());
  ProbeAddrProcess program({"PORT=" + sim.devicePath()});
  expectIdentified(program);
  ASSERT_TRUE(program.waitFor({"window", "frmPBar", "hidden"}));

  const std::size_t before = sim.frames().size();
  program.command("type 5");
  program.command("key Return");
  EXPECT_TRUE(program.waitFor({"message", "Warning", "Information", "Ok", "New Address is '05'."}));
  // The two store frames together, then the serial number from the new address.
  const Frames frames = framesFrom(sim, before, "#05?s*"), store2{"#00@c*", "#00@I05*"};
  const auto store = std::search(frames.begin(), frames.end(), store2.begin(), store2.end());
  ASSERT_NE(store, frames.end());
  EXPECT_LT(store, std::find(frames.begin(), frames.end(), "#05?s*"));
  EXPECT_EQ(sim.address(), "05");
  EXPECT_EQ(program.state("TBAddress").field(2), "05");
  EXPECT_EQ(program.linesOf("message").size(), 1u);  // no "ERR" message

  program.command("click CBExit");
  ASSERT_EQ(program.waitForExit(), 0);
  framesFrom(sim, before, "#00?v*");
  EXPECT_EQ(sim.frames().back(), "#00?v*");
  EXPECT_TRUE(program.waitFor({"window", "SetAddGui", "closed"}, 0ms));
  EXPECT_TRUE(program.waitFor({"window", "frmPBar", "closed"}, 0ms));
  EXPECT_EQ(program.log().back().kind(), "exit");
}

TEST(ProbeAddrProgram, WritesByButtonReturnOrKeypadEnterRefusesOutOfRangeClosesByCloseBox) {
  Simulator sim(probe());
  ProbeAddrProcess program({"PORT=" + sim.devicePath()});
  expectIdentified(program);
  for (int i = 0; i < 3; ++i) program.command("activate");  // no second polling cycle
  // Out of range: the message, "00" and the focus back in the box, nothing sent.
  std::size_t before = sim.frames().size();
  program.command("type 100");
  program.command("key Return");
  const auto shown = program.waitFor({"message", "Warning", "Information", "Ok"});
  EXPECT_EQ(shown.value_or(LogLine{}).field(4),
            " Address out of range. KV210 accepts addresses from 00 (Reserved to broadcast) to 99.");
  const LogLine box = program.state("TBAddress");
  EXPECT_EQ(box.field(2), "00");
  EXPECT_EQ(box.field(5), "focus");
  EXPECT_TRUE(noStoreFrame(framesFrom(sim, before)));

  const char* cases[][3] = {{"7", "click CBWrite", "#00@I07*"}, {"42", "key Enter", "#00@I42*"},
                            {"9", "key Return", "#00@I09*"}};
  for (const auto& [typed, action, storeFrame] : cases) {
    SCOPED_TRACE(action);
    before = sim.frames().size();
    program.command(std::string("type ") + typed);
    program.command("key Escape");  // any key but Enter: nothing is written
    program.command(action);
    const Frames frames = framesFrom(sim, before, storeFrame);
    const auto store = std::find(frames.begin(), frames.end(), "#00@c*");
    ASSERT_LT(store + 1, frames.end());
    EXPECT_EQ(*(store + 1), storeFrame);
    EXPECT_EQ(std::count(frames.begin(), frames.end(), "#00@c*"), 1);
  }
  program.command("close");
  ASSERT_EQ(program.waitForExit(), 0);
  std::this_thread::sleep_for(100ms);
  const Frames frames = sim.frames();
  EXPECT_EQ(frames.back(), "#00?v*");
  EXPECT_EQ(std::count(frames.begin(), frames.end(), "#00?P*"), 1);
}

TEST(ProbeAddrProgram, OldFirmwareDisablesWritingForTheRun) {
  Simulator sim(probe("1.09"));
  ProbeAddrProcess program({"PORT=" + sim.devicePath()});
  ASSERT_TRUE(program.waitFor(
      {"message", "Warning!", "Exclamation", "Ok", "This KV210 version not supports address changeing."}));
  ASSERT_TRUE(program.waitFor({"caption", "LBSerial", "1234Z10999"}));
  for (const char* control : {"FRAddress", "TBAddress", "CBWrite"})
    EXPECT_EQ(program.state(control).field(3), "disabled") << control;
  const std::size_t before = sim.frames().size();
  for (const char* command : {"type 5", "key Return", "click CBWrite"}) program.command(command);
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(noStoreFrame(framesFrom(sim, before)));
}

TEST(ProbeAddrProgram, NoProbeAsksAfterTenPollsAndYesEndsTheProgram) {
  Simulator sim(probe());
  sim.setFault("v", {kv210::sim::FaultKind::Silence});
  ProbeAddrProcess program({"PORT=" + sim.devicePath()}, "Yes");
  const auto question = program.waitFor({"message", "Warning", "Exclamation", "YesNo"}, 30s);
  ASSERT_TRUE(question);
  EXPECT_EQ(question->field(5), "Yes");
  const auto progress = program.linesOf("progress");  // 10, then 1 to 10 by poll
  ASSERT_EQ(progress.size(), 11u);
  EXPECT_EQ(progress.back().field(1), "10");
  ASSERT_EQ(program.waitForExit(5s), 0);
  // Half a second after the answer.
  EXPECT_GE(program.waitFor({"exit"}, 0ms).value_or(LogLine{}).ms - question->ms, 450);
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(sim.frames(), Frames(11, "#00?v*"));  // ten polls, then the unload query
}

TEST(ProbeAddrProgram, UnusablePortEndsTheProgramWithItsMessage) {
  for (const char* path : {"/dev/no-such-probe", "/dev/null"}) {
    ProbeAddrProcess program({std::string("PORT=") + path});
    ASSERT_EQ(program.waitForExit(), 1) << path;
    EXPECT_EQ(program.waitFor({"message"}, 0ms).value_or(LogLine{}).fields,
              (Frames{"message", "ProbeAddr", "Critical", "Ok", "COMM PORT"s + path + "  Not Available", "Ok"}));
    EXPECT_FALSE(program.waitFor({"ready"}, 0ms)) << path;  // ended before the window was shown
  }
  // A vanishing port is reported too.
  Simulator sim(probe());
  ProbeAddrProcess program({"PORT=" + sim.devicePath()});
  ASSERT_TRUE(program.waitFor({"caption", "LBFW", "1.20"}));
  sim.hangUp();
  const auto message = program.waitFor({"message", "ProbeAddr", "Critical", "Ok"});
  ASSERT_TRUE(message);
  EXPECT_NE(message->field(4).find("8020"), std::string::npos) << message->field(4);
  EXPECT_EQ(program.waitForExit(5s), 1);
}

// The tool and the driver library keep each other off a port they hold, in
// both directions, whether a link or the device itself was named.
TEST(PortExclusion, PortHeldByTheLibraryIsNotAvailableToTheTool) {
  Simulator sim;
  HANDLE handle = INVALID_HANDLE_VALUE;
  ASSERT_EQ(VEL_CreateProbe("KV210", &handle, sim.ptsPath().c_str()), VEL_OK);
  {
    ProbeAddrProcess program({"PORT=" + sim.ptsPath()});
    ASSERT_EQ(program.waitForExit(), 1);
    EXPECT_EQ(program.waitFor({"message"}, 0ms).value_or(LogLine{}).field(4),
              "COMM PORT" + sim.ptsPath() + "  Not Available");
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
