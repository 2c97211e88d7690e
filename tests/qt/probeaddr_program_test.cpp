// The real ProbeAddr program against a simulated probe: what the probe
// receives, and what the windows show, through the program's test hook.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "kv210/simulator.h"
#include "probeaddr_process.h"

namespace probeaddr::testing {
namespace {

using namespace std::chrono_literals;
using kv210::sim::Simulator;

Simulator::Options probe(const std::string& release = "1.20") {
  Simulator::Options options;
  options.identity.model = "KV210";
  options.identity.release = release;
  options.identity.firmwareDate = "03/11";
  options.identity.serial = "1234Z10999";
  options.identity.name = "PRB77X";
  return options;
}

// Frames received from `from` on.
std::vector<std::string> framesFrom(const Simulator& sim, std::size_t from) {
  std::vector<std::string> frames = sim.frames();
  frames.erase(frames.begin(), frames.begin() + static_cast<std::ptrdiff_t>(std::min(from, frames.size())));
  return frames;
}

bool waitForFrame(const Simulator& sim, const std::string& frame, std::size_t from,
                  std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    const auto frames = framesFrom(sim, from);
    if (std::find(frames.begin(), frames.end(), frame) != frames.end()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return false;
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
  ASSERT_TRUE(program.waitFor({"ready"}));
  // The window starts empty, "00" in the box, the focus on Exit.
  auto box = program.state("TBAddress");
  ASSERT_TRUE(box);
  EXPECT_EQ(box->field(2), "00");
  EXPECT_EQ(program.state("CBExit")->field(5), "focus");
  EXPECT_EQ(program.state("LBModel")->field(2), "");

  expectIdentified(program);
  ASSERT_TRUE(program.waitFor({"window", "frmPBar", "hidden"}));
  EXPECT_EQ(sim.frames().at(0), "#00?v*");

  const std::size_t before = sim.frames().size();
  program.command("type 5");
  program.command("key Return");
  const auto confirmation = program.waitFor({"message", "Warning", "Information", "Ok", "New Address is '05'."});
  EXPECT_TRUE(confirmation);
  ASSERT_TRUE(waitForFrame(sim, "#05?s*", before, 10s));
  const auto frames = framesFrom(sim, before);
  const auto store = std::find(frames.begin(), frames.end(), "#00@c*");
  ASSERT_NE(store, frames.end());
  ASSERT_NE(store + 1, frames.end());
  EXPECT_EQ(*(store + 1), "#00@I05*");
  EXPECT_LT(store - frames.begin(), std::find(frames.begin(), frames.end(), "#05?s*") - frames.begin());
  EXPECT_EQ(sim.address(), "05");
  EXPECT_EQ(program.state("TBAddress")->field(2), "05");
  // Only the confirmation; no "ERR" message.
  EXPECT_EQ(linesOf(program.log(), "message").size(), 1u);

  program.command("click CBExit");
  ASSERT_EQ(program.waitForExit(), 0);
  ASSERT_TRUE(waitForFrame(sim, "#00?v*", before, 2s));
  EXPECT_EQ(sim.frames().back(), "#00?v*");
  const auto log = program.log();
  EXPECT_TRUE(program.waitFor({"window", "SetAddGui", "closed"}, 0ms));
  EXPECT_TRUE(program.waitFor({"window", "frmPBar", "closed"}, 0ms));
  EXPECT_EQ(log.back().kind(), "exit");
}

TEST(ProbeAddrProgram, WriteRunsAlikeFromButtonReturnAndKeypadEnterButNotOtherKeys) {
  Simulator sim(probe());
  ProbeAddrProcess program({"PORT=" + sim.devicePath()});
  expectIdentified(program);

  struct Case {
    const char* typed;
    const char* action;
    const char* storeFrame;
  };
  const Case cases[] = {{"7", "click CBWrite", "#00@I07*"},
                        {"42", "key Enter", "#00@I42*"},
                        {"9", "key Return", "#00@I09*"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.action);
    const std::size_t before = sim.frames().size();
    program.command(std::string("type ") + c.typed);
    program.command("key Escape");  // any key but Enter: nothing is written
    program.command(c.action);
    ASSERT_TRUE(waitForFrame(sim, c.storeFrame, before, 5s));
    const auto frames = framesFrom(sim, before);
    const auto store = std::find(frames.begin(), frames.end(), "#00@c*");
    ASSERT_NE(store, frames.end());
    EXPECT_EQ(*(store + 1), c.storeFrame);
    EXPECT_EQ(std::count(frames.begin(), frames.end(), "#00@c*"), 1);
  }
  program.command("close");
  EXPECT_EQ(program.waitForExit(), 0);
}

TEST(ProbeAddrProgram, ClosingTheWindowSendsTheVersionQueryAndEnds) {
  Simulator sim(probe());
  ProbeAddrProcess program({"PORT=" + sim.devicePath()});
  ASSERT_TRUE(program.waitFor({"caption", "LBFW", "1.20"}));
  // Renewed activations do not start a second cycle.
  for (int i = 0; i < 3; ++i) program.command("activate");
  ASSERT_TRUE(program.waitFor({"caption", "LBModel", "PRB77X"}));
  program.command("close");
  ASSERT_EQ(program.waitForExit(), 0);
  std::this_thread::sleep_for(100ms);
  const auto frames = sim.frames();
  EXPECT_EQ(frames.back(), "#00?v*");
  // One cycle: one data-block query however often the window was activated.
  EXPECT_EQ(std::count(frames.begin(), frames.end(), "#00?P*"), 1);
}

TEST(ProbeAddrProgram, AddressOutOfRangeIsRefusedWithoutSendingAnything) {
  Simulator sim(probe());
  ProbeAddrProcess program({"PORT=" + sim.devicePath()});
  expectIdentified(program);
  for (const char* typed : {"100", "1234", "-1", "ab", ""}) {
    SCOPED_TRACE(typed);
    const std::size_t messages = linesOf(program.log(), "message").size();
    const std::size_t before = sim.frames().size();
    program.command(std::string("type ") + typed);
    program.command("key Return");
    auto deadline = std::chrono::steady_clock::now() + 5s;
    while (linesOf(program.log(), "message").size() == messages && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(20ms);
    const auto shown = linesOf(program.log(), "message");
    ASSERT_GT(shown.size(), messages);
    EXPECT_EQ(shown.back().field(1), "Warning");
    EXPECT_EQ(shown.back().field(2), "Information");
    EXPECT_EQ(shown.back().field(4),
              " Address out of range. KV210 accepts addresses from 00 (Reserved to broadcast) to 99.");
    const auto box = program.state("TBAddress");
    EXPECT_EQ(box->field(2), "00");
    EXPECT_EQ(box->field(5), "focus");
    for (const std::string& frame : framesFrom(sim, before)) EXPECT_EQ(frame.find('@'), std::string::npos) << frame;
  }
  program.command("close");
  EXPECT_EQ(program.waitForExit(), 0);
}

TEST(ProbeAddrProgram, OldFirmwareDisablesWritingForTheRun) {
  Simulator sim(probe("1.09"));
  ProbeAddrProcess program({"PORT=" + sim.devicePath()});
  ASSERT_TRUE(program.waitFor(
      {"message", "Warning!", "Exclamation", "Ok", "This KV210 version not supports address changeing."}));
  ASSERT_TRUE(program.waitFor({"caption", "LBSerial", "1234Z10999"}));
  for (const char* control : {"FRAddress", "TBAddress", "CBWrite"})
    EXPECT_EQ(program.state(control)->field(3), "disabled") << control;
  const std::size_t before = sim.frames().size();
  program.command("type 5");
  program.command("key Return");
  program.command("click CBWrite");
  std::this_thread::sleep_for(1500ms);
  for (const std::string& frame : framesFrom(sim, before)) EXPECT_EQ(frame.find('@'), std::string::npos) << frame;
  program.command("click CBExit");
  EXPECT_EQ(program.waitForExit(), 0);
}

TEST(ProbeAddrProgram, NoProbeCountsTenPollsThenYesEndsTheProgram) {
  Simulator sim(probe());
  sim.setFault("v", {kv210::sim::FaultKind::Silence});
  ProbeAddrProcess program({"PORT=" + sim.devicePath()}, "Yes");
  const auto question = program.waitFor({"message", "Warning", "Exclamation", "YesNo"}, 30s);
  ASSERT_TRUE(question);
  EXPECT_EQ(question->field(4),
            "KV210 not connected,do you want to switch WinKV210 OFF?\r"
            "If No WinKV210 will try to connect to KV210 again.");
  EXPECT_EQ(question->field(5), "Yes");
  std::vector<std::string> progress;
  for (const LogLine& line : linesOf(program.log(), "progress")) progress.push_back(line.field(1));
  EXPECT_EQ(progress, (std::vector<std::string>{"10", "1", "2", "3", "4", "5", "6", "7", "8", "9", "10"}));

  ASSERT_EQ(program.waitForExit(5s), 0);
  const auto exit = program.waitFor({"exit"}, 0ms);
  ASSERT_TRUE(exit);
  EXPECT_GE(exit->ms - question->ms, 450);  // half a second after the answer
  std::this_thread::sleep_for(100ms);
  // Ten polls, then the unload sequence's version query.
  EXPECT_EQ(sim.frames(), std::vector<std::string>(11, "#00?v*"));
}

TEST(ProbeAddrProgram, PortThatCannotBeUsedEndsTheProgramWithItsMessage) {
  struct Case {
    std::string argument;
    std::string message;
  };
  const Case cases[] = {
      {"PORT=/dev/no-such-probe", "COMM PORT/dev/no-such-probe  Not Available"},
      {"PORT=/dev/null", "COMM PORT/dev/null  Not Available"},  // not a serial device
      {"COMM=0", "COMM PORT0  Not Available"},
      {"COMM=x", "COMM PORT0  Not Available"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.argument);
    ProbeAddrProcess program({c.argument});
    ASSERT_EQ(program.waitForExit(), 1);
    const auto shown = linesOf(program.log(), "message");
    ASSERT_EQ(shown.size(), 1u);
    EXPECT_EQ(shown[0].fields, (std::vector<std::string>{"message", "ProbeAddr", "Critical", "Ok", c.message, "Ok"}));
    EXPECT_FALSE(program.waitFor({"ready"}, 0ms));  // ended before the window was shown
  }
}

TEST(ProbeAddrProgram, VanishingPortIsReportedAndEndsTheProgram) {
  Simulator sim(probe());
  ProbeAddrProcess program({"PORT=" + sim.devicePath()});
  ASSERT_TRUE(program.waitFor({"caption", "LBFW", "1.20"}));
  sim.hangUp();
  const auto message = program.waitFor({"message", "ProbeAddr", "Critical", "Ok"}, 10s);
  ASSERT_TRUE(message);
  EXPECT_NE(message->field(4).find("8020"), std::string::npos) << message->field(4);
  EXPECT_EQ(program.waitForExit(5s), 1);
}

}  // namespace
}  // namespace probeaddr::testing
