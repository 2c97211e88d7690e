#include "fakes.h"

namespace probeaddr::test {

// Frames (and progress-window events) with their times, rounded to 1 ms.
std::vector<std::string> timeline(const World& w, std::vector<std::string> prefixes) {
  std::vector<std::string> out;
  for (auto& [t, what] : w.log.events)
    for (auto& p : prefixes)
      if (what.starts_with(p)) out.push_back(std::to_string(static_cast<int>(t * 1000 + 0.5)) + " " + what);
  return out;
}

TEST(Cycle, ProbePresentFromTheStart) {
  World w;
  // Stray bytes before each query: the cycle flushes them first.
  for (double t : {1.15, 1.95, 2.95}) w.port.deliver(at(t), bytes("J"));
  w.when(5, [&] { w.gui.Form_Activate(); });  // a renewed activation starts no second loop
  int pumpsAt4 = 0, pumpsAt7 = 0;
  w.when(4, [&] { pumpsAt4 = w.pump.pumps; });
  w.when(7, [&] { pumpsAt7 = w.pump.pumps; });
  w.run(12);
  EXPECT_EQ(timeline(w, {"tx", "progress"}),
            (std::vector<std::string>{
                "1001 progress show", "1001 progress max 10", "1001 progress 1", "1201 tx #00?v*",
                // The model once the block's 338th byte is in (45 kept from the
                // replies before it); then a 5 s rest.
                "2002 tx #00?s*", "3003 tx #00?P*", "3374 progress hide",
                "8204 tx #00?v*", "9005 tx #00?s*", "10006 progress hide", "11207 tx #00?v*"}));
  EXPECT_EQ(w.controls.captions, (std::map<ValueLabel, std::string>{
                                     {ValueLabel::LBModel, "EGHIJKLMNOPQRSTUVXYZABCDEFGHIJKLMNOPRSTU"},
                                     {ValueLabel::LBFW, "1.10"},
                                     {ValueLabel::LBFWDate, "07/10"},
                                     {ValueLabel::LBSerial, "0424K10123"}}));
  EXPECT_EQ(w.gui.PollAttempts, 1);
  EXPECT_TRUE(w.msgs().empty());
  EXPECT_LE(pumpsAt7 - pumpsAt4, 4);  // resting costs a wake-up per event, not a spin
}

TEST(Cycle, NoProbeAndTheQuestionAfterTenPolls) {
  const std::string question =
      "msg Warning|exclamation|KV210 not connected,do you want to switch WinKV210 OFF?\r"
      "If No WinKV210 will try to connect to KV210 again.";
  for (auto answer : {MessageAnswer::No, MessageAnswer::Yes}) {
    World w;
    w.probe.present = false;
    w.messages.answers = {answer};
    w.run(16);
    auto polls = w.log.times("tx #00?v*");
    ASSERT_GE(polls.size(), 10u);
    for (std::size_t i = 0; i < 10; ++i) EXPECT_NEAR(polls[i], 1.201 + 1.3 * static_cast<double>(i), 0.002);
    auto progress = w.log.starting("progress");
    std::vector<std::string> counted{"progress show", "progress max 10"};
    for (int i = 1; i <= 10; ++i) counted.push_back("progress " + std::to_string(i));
    EXPECT_EQ(std::vector(progress.begin(), progress.begin() + 12), counted);
    EXPECT_EQ(w.msgs(), std::vector<std::string>{question});
    EXPECT_EQ(w.log.times(question)[0], polls[9] + 1.1);
    if (answer == MessageAnswer::No) {
      EXPECT_EQ(std::vector(progress.begin() + 12, progress.begin() + 16),
                (std::vector<std::string>{"progress hide", "progress show", "progress max 10", "progress 1"}));
      EXPECT_FALSE(w.exitCode);
    } else {
      // Half a second later the unload query goes out and the program ends.
      EXPECT_EQ(polls.size(), 11u);
      EXPECT_EQ(std::vector(w.log.events.end() - 4, w.log.events.end()),
                (std::vector<std::pair<double, std::string>>{{polls[9] + 1.6, "tx #00?v*"},
                                                             {polls[9] + 1.6, "close main"},
                                                             {polls[9] + 1.6, "close progress"},
                                                             {polls[9] + 1.6, "end 0"}}));
      EXPECT_EQ(w.exitCode, 0);
    }
  }
}

TEST(Cycle, LostAndFoundReadsTheDataBlockOnce) {
  World w;
  w.when(5, [&] { w.probe.present = false; });
  w.when(15, [&] { w.probe.present = true; });
  w.run(30);
  EXPECT_EQ(w.log.times("tx #00?P*").size(), 1u);
  EXPECT_EQ(w.log.times("progress show").size(), 2u);  // again after the loss
  EXPECT_GE(w.log.times("progress hide").back(), 15.0);
  EXPECT_TRUE(w.gui.Connected);
  EXPECT_EQ(w.controls.captions[ValueLabel::LBModel], "EGHIJKLMNOPQRSTUVXYZABCDEFGHIJKLMNOPRSTU");
}

// The cycle's frames (and messages, progress, the serial number shown) with
// their times, after a probe that misbehaves or a write at an awkward moment.
TEST(Cycle, TimelinesOfAwkwardMoments) {
  struct Row {
    const char* name;
    std::function<void(World&)> setUp;
    double seconds;
    std::vector<std::string> timeline;  // of "tx", "msg", "progress", "caption 3", after the progress window shows
  } rows[] = {
      // A resting step turns the cycle back to the version poll: a rejected
      // serial number is asked again one cycle later, until the fourth rejection.
      {"rejected serial number", [](World& w) { w.probe.serial = "0424K1A123"; }, 13,
       {"1201 tx #00?v*", "2002 tx #00?s*", "4204 tx #00?v*", "5005 tx #00?s*", "7207 tx #00?v*", "8008 tx #00?s*", "10210 tx #00?v*",
        "11011 tx #00?s*", "11111 msg Warning|exclamation|Serial number not correct. Please restart your probe!",
        "11111 tx #00!*", "12012 tx #00?s*"}},
      // A write nested in a poll leaves the cycle one step on; the new address
      // is read back within a cycle all the same, and polling goes on.
      {"write nested in a poll", [](World& w) { w.when(1.1, [&w] { w.controls.text = "5"; w.gui.CBWrite_Click(); }); },
       8, {"1100 tx #00@c*", "1100 tx #00@I05*", "1200 msg Warning|information|New Address is '05'.", "2200 tx #00?v*",
           "3601 tx #00?v*", "4402 tx #05?s*", "4502 caption 3 0424K10123", "5403 tx #00?P*", "5757 progress hide"}},
      // A write while no probe answers: polling goes on, and the probe that
      // comes is asked for its serial number at the new address.
      {"write without a probe", [](World& w) {
         w.probe.present = false;
         w.when(2.5, [&w] { w.controls.text = "5"; w.gui.CBWrite_Click(); });
         w.when(5, [&w] { w.probe.present = true, w.probe.address = "05"; });
       }, 9, {"1201 tx #00?v*", "2301 progress 2", "2500 tx #00@c*", "2500 tx #00@I05*", "3600 tx #00?v*",
               "6702 progress 3", "6902 tx #00?v*", "7703 tx #05?s*", "7803 caption 3 0424K10123", "8704 tx #00?P*",
               "9075 progress hide"}},
      // A version reply rejected while connected leaves VersionOk 0: step 1
      // then sends nothing, and the version is polled again (at the data
      // block's 5 s period).
      {"no serial query without an accepted version",
       [](World& w) { w.when(4, [&w] { w.probe.replies["#00?v*"] = bytes("vKV210:1.10 07/10;x"); }); }, 24,
       {"1201 tx #00?v*", "2002 tx #00?s*", "2102 caption 3 0424K10123", "3003 tx #00?P*", "3374 progress hide",
        "8204 tx #00?v*", "23207 tx #00?v*"}},
      // A probe lost during the data-block step: the progress window stays.
      {"data-block step while lost", [](World& w) { w.probe.replies["#00?P*"] = {}; }, 4.2,
       {"1201 tx #00?v*", "2002 tx #00?s*", "2102 caption 3 0424K10123", "3003 tx #00?P*", "4103 progress show",
        "4103 progress max 10", "4103 progress 1"}},
      // A probe lost in the serial-number step is reported lost as in a poll.
      {"lost during the serial step", [](World& w) {
         w.port.onOutput = [&w, answer = w.port.onOutput](const std::string& frame) {
           if (frame == "#00?s*") w.probe.present = false;
           answer(frame);
         };
       }, 8, {"1201 tx #00?v*", "2002 tx #00?s*", "3102 tx #00?s*", "5203 progress show", "5203 progress max 10",
               "5203 progress 1", "5403 tx #00?v*", "6503 progress 2", "6703 tx #00?v*", "7803 progress 3"}},
  };
  for (auto& r : rows) {
    SCOPED_TRACE(r.name);
    World w;
    r.setUp(w);
    w.run(r.seconds);
    const auto all = timeline(w, {"tx", "msg", "progress", "caption 3"});
    ASSERT_GE(all.size(), 3u);
    EXPECT_EQ(std::vector(all.begin(), all.begin() + 3),
              (std::vector<std::string>{"1001 progress show", "1001 progress max 10", "1001 progress 1"}));
    EXPECT_EQ(std::vector(all.begin() + 3, all.end()), r.timeline);
  }
}

}  // namespace probeaddr::test
