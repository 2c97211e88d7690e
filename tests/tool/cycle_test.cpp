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

// A resting step turns the cycle back to the version poll: a rejected
// serial number is asked again one cycle later, until the fourth rejection.
TEST(Cycle, ARejectedSerialNumberIsAskedAgainAfterTheNextPoll) {
  World w;
  w.probe.serial = "0424K1A123";
  w.run(13);
  EXPECT_EQ(timeline(w, {"tx", "msg"}),
            (std::vector<std::string>{"1201 tx #00?v*", "2002 tx #00?s*", "4204 tx #00?v*", "5005 tx #00?s*",
                                      "7207 tx #00?v*", "8008 tx #00?s*", "10210 tx #00?v*", "11011 tx #00?s*",
                                      "11111 msg Warning|exclamation|Serial number not correct. Please restart your "
                                      "probe!",
                                      "11111 tx #00!*", "12012 tx #00?s*"}));
  EXPECT_EQ(w.log.times("progress show").size(), 1u);
}

// A write nested in a poll leaves the cycle one step on; the new address is
// read back within a cycle all the same, and polling goes on.
TEST(Cycle, AWriteNestedInAPollIsReadBackWithinACycle) {
  World w;
  w.when(1.1, [&] { w.controls.text = "5"; w.gui.CBWrite_Click(); });
  w.run(8);
  EXPECT_EQ(timeline(w, {"tx", "msg"}),
            (std::vector<std::string>{"1100 tx #00@c*", "1100 tx #00@I05*",
                                      "1200 msg Warning|information|New Address is '05'.", "2200 tx #00?v*",
                                      "3601 tx #00?v*", "4402 tx #05?s*", "5403 tx #00?P*"}));
  EXPECT_EQ(w.controls.captions[ValueLabel::LBSerial], "0424K10123");
}

// A write while no probe answers: polling goes on, and the probe that comes
// is asked for its serial number at the new address.
TEST(Cycle, AWriteWithoutAProbeKeepsPollingAndFindsItAtItsNewAddress) {
  World w;
  w.probe.present = false;
  w.when(2.5, [&] { w.controls.text = "5"; w.gui.CBWrite_Click(); });
  w.when(5, [&] { w.probe.present = true, w.probe.address = "05"; });
  w.run(9);
  EXPECT_EQ(timeline(w, {"tx"}),
            (std::vector<std::string>{"1201 tx #00?v*", "2500 tx #00@c*", "2500 tx #00@I05*", "3600 tx #00?v*",
                                      "6902 tx #00?v*", "7703 tx #05?s*", "8704 tx #00?P*"}));
  EXPECT_EQ(w.controls.captions[ValueLabel::LBSerial], "0424K10123");
}

// A version reply rejected while connected leaves VersionOk 0: step 1 then
// sends nothing, and the version is polled again.
TEST(Cycle, NoSerialQueryWithoutAnAcceptedVersion) {
  World w;
  w.when(4, [&] { w.probe.replies["#00?v*"] = bytes("vKV210:1.10 07/10;x"); });
  w.run(24);  // at the data block's 5 s period
  EXPECT_EQ(timeline(w, {"tx"}), (std::vector<std::string>{"1201 tx #00?v*", "2002 tx #00?s*", "3003 tx #00?P*",
                                                            "8204 tx #00?v*", "23207 tx #00?v*"}));
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

// A probe lost in the serial-number step is reported lost as in a poll.
TEST(Cycle, ProbeLostDuringTheSerialStep) {
  World w;
  w.port.onOutput = [&, answer = w.port.onOutput](const std::string& frame) {
    if (frame == "#00?s*") w.probe.present = false;
    answer(frame);
  };
  w.run(8);
  EXPECT_EQ(timeline(w, {"tx", "progress"}),
            (std::vector<std::string>{"1001 progress show", "1001 progress max 10", "1001 progress 1", "1201 tx #00?v*",
                                      "2002 tx #00?s*", "3102 tx #00?s*", "5203 progress show", "5203 progress max 10",
                                      "5203 progress 1", "5403 tx #00?v*", "6503 progress 2", "6703 tx #00?v*",
                                      "7803 progress 3"}));
}

}  // namespace probeaddr::test
