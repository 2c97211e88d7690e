// The program's run on a window layer of doubles: every way out ends the
// process, the last frame on the line and the port released first; what
// escapes the logic is shown in a box and ends it with 1.
#include "fakes.h"
#include "probeaddr/program.h"

namespace probeaddr::test {
namespace {

// Reports on standard error, which the death test reads.
struct LinePort final : CommPortBase {
  std::optional<PortLoss> loss;  // the device is gone at the first look
  std::string deviceForNumber(std::int16_t n) override { return n == 1 ? "COM1" : ""; }
  void openDevice(const std::string&, const LineSettings&) override {}
  void closeDevice() noexcept override { std::fputs("closed\n", stderr); }
  std::size_t bytesWaiting() override { return loss ? lost(*loss), 0 : 0; }
  Bytes readWaiting() override { return {}; }
  void writeAll(std::string_view text) override { std::fprintf(stderr, "tx %s\n", std::string(text).c_str()); }
  void sleepUntilInput(TimePoint) override {}
  void drain() noexcept override { std::fputs("drained\n", stderr); }
};

struct Boxes final : MessageBoxes {
  MessageAnswer show(const std::string& text, const std::string& title, MessageIcon, MessageButtons) override {
    std::fprintf(stderr, "box %s|%s\n", title.c_str(), text.c_str());
    return MessageAnswer::No;
  }
};

TEST(ProgramDeathTest, EveryWayOutEndsTheProcess) {
  struct Row {
    const char* name;
    std::optional<PortLoss> loss;
    std::function<void(WindowEvents&)> eventLoop;
    int exitCode;
    const char* standardError;  // its end
  } rows[] = {
      {"the windows closed", {}, [](WindowEvents&) {}, 0, "tx #00\\?v\\*\ndrained\nclosed\n$"},
      {"an exception", {}, [](WindowEvents&) { throw std::out_of_range("MidBytes"); }, 1,
       "box ProbeAddr\\|Unexpected error:\r\rMidBytes\ndrained\nclosed\n$"},
      {"the device hung up", PortLoss::HungUp, [](WindowEvents& e) { e.activate(); }, 1,
       "tx #00\\?v\\*\nbox ProbeAddr\\|Run-time error '8020':\r\rCOM1: the line was hung up.\nclosed\n$"},
      {"the device removed", PortLoss::Removed, [](WindowEvents& e) { e.writeClick(); }, 1,
       "tx #00@I00\\*\nbox ProbeAddr\\|Run-time error '8020':\r\rCOM1: the device was removed.\nclosed\n$"},
  };
  for (auto& r : rows) {
    SCOPED_TRACE(r.name);
    auto run = [&] {
      FakeClock clock;
      Log log{clock};
      LinePort port;
      port.loss = r.loss;
      RecordingControls controls{log};
      Boxes boxes;
      ScriptedPump pump{clock, port, [&](TimePoint t) { clock.t = std::max(clock.t, t); }};
      WindowEvents events;
      runProgram({port, controls, boxes, pump, clock, events, [] {}, [&] { r.eventLoop(events); }}, {"COM=1"});
    };
    EXPECT_EXIT(run(), ::testing::ExitedWithCode(r.exitCode), r.standardError);
  }
}

}  // namespace
}  // namespace probeaddr::test
