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
                "2002 tx #00?s*", "3003 tx #00?P*", "3103 progress hide",  // data block: 5 s rest
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

TEST(Cycle, ProbeAnsweringTheTenthPollIsNotQuestioned) {
  World w;
  w.probe.present = false;
  w.when(12.8, [&] { w.probe.present = true; });  // the tenth poll goes out at 12.901
  w.run(16);
  EXPECT_TRUE(w.msgs().empty());
  EXPECT_TRUE(w.gui.Connected);
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

TEST(Cycle, RestsInStepTwoAfterARejectedSerialUntilAWrite) {
  World w;
  w.probe.serial = "0424K1A123";
  w.when(20, [&] { w.controls.text = "7"; w.gui.TBAddress_KeyDown(13, 0); });
  w.run(30);
  EXPECT_EQ(timeline(w, {"tx", "msg"}),
            (std::vector<std::string>{"1201 tx #00?v*", "2002 tx #00?s*", "20000 tx #00@c*",
                                      "20000 tx #00@I07*", "20100 msg Warning|information|New Address is '07'.",
                                      "21100 tx #07?s*"}));
  EXPECT_EQ(w.gui.PollStep, 2);
  EXPECT_EQ(w.gui.SerialFailures, 2);
  EXPECT_EQ(w.log.times("progress show").size(), 1u);
}

// Step 0 adds 1 to the step that an address write, nested in its wait, left:
// the cycle then rests in step 2 instead of asking the new address.
TEST(Cycle, AWriteNestedInStepZeroLeavesTheCycleResting) {
  World w;
  w.when(1.1, [&] { w.controls.text = "5"; w.gui.CBWrite_Click(); });
  w.run(8);
  EXPECT_EQ(timeline(w, {"tx"}), (std::vector<std::string>{"1100 tx #00@c*", "1100 tx #00@I05*", "2200 tx #00?v*"}));
  EXPECT_EQ(w.gui.PollStep, 2);
}

// A version reply rejected while connected leaves VersionOk 0: step 1 then
// sends nothing and the cycle rests.
TEST(Cycle, NoSerialQueryWithoutAnAcceptedVersion) {
  World w;
  w.when(4, [&] { w.probe.replies["#00?v*"] = bytes("vKV210:1.10 07/10;x"); });
  w.run(15);
  EXPECT_EQ(timeline(w, {"tx"}), (std::vector<std::string>{"1201 tx #00?v*", "2002 tx #00?s*", "3003 tx #00?P*",
                                                            "8204 tx #00?v*"}));
  EXPECT_EQ(w.gui.PollStep, 2);
}

// A probe lost during the data-block step: the progress window stays.
TEST(Cycle, TheDataBlockStepHidesProgressOnlyWhenConnected) {
  World w;
  w.probe.replies["#00?P*"] = {};
  w.run(4.2);
  EXPECT_EQ(timeline(w, {"tx", "progress"}),
            (std::vector<std::string>{"1001 progress show", "1001 progress max 10", "1001 progress 1", "1201 tx #00?v*",
                                      "2002 tx #00?s*", "3003 tx #00?P*", "4103 progress show",
                                      "4103 progress max 10", "4103 progress 1"}));
}

TEST(Cycle, ProbeStopsAnsweringDuringTheSerialStep) {
  World w;
  w.probe.replies["#00?s*"] = {};
  w.run(20);
  EXPECT_EQ(timeline(w, {"tx"}),
            (std::vector<std::string>{"1201 tx #00?v*", "2002 tx #00?s*", "3102 tx #00?s*"}));
  EXPECT_EQ(w.gui.PollStep, 2);
  EXPECT_EQ(w.log.times("progress show").size(), 1u);
}

}  // namespace probeaddr::test
