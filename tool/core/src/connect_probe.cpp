// The connection cycle: one step every PollPeriod seconds (version poll,
// serial-number query, rest, data block), for the rest of the program. A
// step that rests sends nothing and turns the cycle back to the version poll,
// so that polling never stops, whatever a write or a lost probe left behind.
#include "probeaddr/set_add_gui.h"

namespace probeaddr {
namespace {

using namespace std::chrono_literals;

// A step is due once strictly more than PollPeriod has passed; waking this
// much after the boundary makes the test pass on the first look.
constexpr auto kTickGrain = 1ms;
constexpr int kPollsBeforeQuestion = 10;

const std::string kGiveUpQuestion =
    "KV210 not connected,do you want to switch WinKV210 OFF?\r"
    "If No WinKV210 will try to connect to KV210 again.";

void increment(std::int16_t& value) { value = static_cast<std::int16_t>(value + 1); }

}  // namespace

void SetAddGui::Form_Activate() {
  // The loop keeps its state in the window, so a renewed activation (the
  // progress window hidden, a click back on the main window) needs no second one.
  if (cycleStarted_) return;
  cycleStarted_ = true;
  reportingPortFailures(&SetAddGui::ConnectProbe);
}

void SetAddGui::ConnectProbe() {
  TimePoint t0 = p_.clock.now();
  for (;;) {
    // PollPeriod is read anew each time: a nested handler may have changed it.
    const auto period = std::chrono::seconds(PollPeriod);
    if (p_.clock.now() - t0 > period) {
      p_.pump.pumpEvents();
      t0 = p_.clock.now();
      switch (PollStep) {
        case 0: pollStep0(); break;
        case 1: pollStep1(); break;
        case 3: pollStep3(); break;
        default: PollStep = 0; break;  // step 2 or any other: the version is polled next
      }
    } else {
      // Sleep until the step is due; every window event wakes the loop so
      // that what its handler changed is seen at once.
      p_.pump.waitForEvents(t0 + period + kTickGrain, false);
      p_.pump.pumpEvents();
    }
  }
}

// Version poll, with the progress window while no probe answers.
void SetAddGui::pollStep0() {
  if (PollAttempts == 0) {
    p_.controls.showProgressWindow();
    p_.controls.setProgressMaximum(kPollsBeforeQuestion);
  }
  if (!Connected) {
    increment(PollAttempts);
    p_.controls.setProgressValue(PollAttempts);
  }
  delay(200);
  p_.pump.pumpEvents();
  VersionOk = 0;
  flushcom();
  SendQuery(2);
  ReadProbeReply();
  if (PollAttempts >= kPollsBeforeQuestion && !Connected) {
    if (message(kGiveUpQuestion, "Warning", MessageIcon::Exclamation, MessageButtons::YesNo) ==
        MessageAnswer::Yes) {
      delay(500);
      ExitProgram();
      endProgram(0);
    }
    p_.controls.hideProgressWindow();
    PollAttempts = 0;
  }
  if (Connected) increment(PollStep);
}

// Serial-number query, to the address last written.
void SetAddGui::pollStep1() {
  if (VersionOk != 0) {
    flushcom();
    SendQuery(1);
    ReadProbeReply();
  }
  increment(PollStep);
}

// Data block, once per run.
void SetAddGui::pollStep3() {
  if (!BlockRequested) {
    flushcom();
    SendQuery(3);
    ReadProbeReply();
    BlockRequested = true;
  }
  if (Connected) p_.controls.hideProgressWindow();
  PollStep = 0;
}

}  // namespace probeaddr
