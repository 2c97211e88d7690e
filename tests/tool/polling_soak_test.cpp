// 24 hours of ProbeAddr's polling on the fake clock: the probe answers, goes
// away for two minutes every hour (lost, ten unanswered polls, the give-up
// question answered No, found again), and a new address is written every six
// hours. Memory stays flat and the kept receive buffer bounded.
#include "../support/process_stats.h"
#include "fakes.h"

namespace probeaddr::test {
namespace {

using kv210::test::residentKiB;

TEST(PollingSoak, TwentyFourHoursKeepMemoryFlat) {
  constexpr int kHours = 24;
  World w;
  std::vector<long> rss;
  std::size_t versionPolls = 0, largestRxBytes = 0;
  std::vector<std::string> messages;
  for (int h = 1; h <= kHours; ++h) {
    const double end = h * 3600.0;
    w.when(end - 1800, [&] { w.probe.present = false; });
    w.when(end - 1680, [&] { w.probe.present = true; });
    if (h % 6 == 0) w.when(end - 600, [&, h] { w.controls.text = std::to_string(h / 6); w.gui.CBWrite_Click(); });
    w.when(end, [&] {
      // The doubles' own record of events would grow; the logic's state must not.
      versionPolls += w.log.times("tx #00?v*").size();
      for (auto& m : w.msgs()) messages.push_back(m);
      w.log.events.clear();
      w.pump.pumps = 0;
      largestRxBytes = std::max(largestRxBytes, w.gui.RxBytes.size());
      rss.push_back(residentKiB());
    });
  }
  w.run(kHours * 3600.0 + 1);

  ASSERT_EQ(rss.size(), static_cast<std::size_t>(kHours)) << "the run ended early";
  EXPECT_FALSE(w.exitCode);
  EXPECT_TRUE(w.gui.Connected);
  EXPECT_EQ(w.probe.address, "04");
  // A version poll every 3 s while connected (version, serial number, rest), every 1.3 s while not.
  EXPECT_GT(versionPolls, kHours * 1100u);
  EXPECT_LE(largestRxBytes, SetAddGui::kRxBytesLimit);
  std::size_t questions = 0;
  for (auto& m : messages) questions += m.starts_with("msg Warning|exclamation|KV210 not connected");
  EXPECT_EQ(messages.size() - questions, 4u) << "one confirmation a write";
  EXPECT_GE(questions, static_cast<std::size_t>(kHours));
  // Measured from the end of hour 6, when every kind of event (loss, question,
  // write) has happened once and the allocator has what it needs.
  const long settled = rss[5];
  std::printf("24 h of polling: %zu version polls, %zu give-up questions; RSS at 6 h %ld KiB, at 24 h %ld KiB\n",
              versionPolls, questions, settled, rss.back());
#ifndef KV210_ASAN
  // A leak of 3 bytes a poll would show as 64 KiB.
  EXPECT_LE(rss.back() - settled, 64) << "resident memory grew";
#endif
}

}  // namespace
}  // namespace probeaddr::test
