#include "fakes.h"

namespace probeaddr::test {

TEST(Link, SendQueryFramesAndFlushcom) {
  World w;
  w.gui.Form_Load();
  w.port.deliver(at(0), bytes("stale"));
  w.gui.RxText = "old";
  w.gui.flushcom();
  EXPECT_EQ(w.gui.RxText + std::to_string(w.port.inBufferCount()), "0");
  for (int i : {0, 1, 2, 3, 4, -1}) w.gui.SendQuery(static_cast<std::int16_t>(i));
  w.gui.SerialQuery = "#05?s*";
  w.gui.SendQuery(1);
  EXPECT_EQ(w.frames(), (std::vector<std::string>{"tx #00!*", "tx #00?s*", "tx #00?v*",
                                                  "tx #00?P*", "tx #05?s*"}));
}

TEST(Link, DelayPumpsAndSleepsBetweenEvents) {
  World w;
  w.gui.delay(0);
  EXPECT_EQ(w.pump.pumps, 1);
  EXPECT_EQ(w.clock.t, at(0));
  std::vector<double> ran;
  w.when(0.05, [&] { ran.push_back(secs(w.clock.t)); });
  w.gui.delay(100);
  EXPECT_EQ(ran, std::vector<double>{0.05});
  EXPECT_EQ(w.clock.t, at(0.1));
  EXPECT_LE(w.pump.pumps, 4);  // woken for the event and the deadline, never spinning
}

// Arrivals (time, bytes), the wanted count, what the wait returns and when.
TEST(Link, AtLeastAndAtLeastArrCounting) {
  struct Row {
    bool array;
    std::vector<std::pair<double, std::string>> arrive;
    std::int16_t n, want;
    double endsAt;
  } rows[] = {
      {false, {{0.1, std::string(40, 'x')}}, 32, 40, 0.1},
      {false, {}, 32, 0, 0.5},
      {false, {{0.1, std::string(20, 'x')}, {0.3, std::string(12, 'y')}}, 32, 32, 0.3},
      {false, {{0.1, std::string(31, 'x')}, {0.6, "late"}}, 32, 31, 0.5},
      {true, {{0.0, std::string(382, 'x')}}, 382, 381, 0.5},
      {true, {{0.2, std::string(383, 'x')}}, 382, 382, 0.2},
      {true, {}, 382, -1, 0.5},
  };
  for (auto& r : rows) {
    World w;
    for (auto& [t, s] : r.arrive) w.port.deliver(at(t), bytes(s));
    bool pumped = false;
    w.when(0.05, [&] { pumped = true; });
    const auto got = r.array ? w.gui.AtLeastArr(r.n) : w.gui.AtLeast(r.n);
    SCOPED_TRACE(r.n);
    EXPECT_EQ(got, r.want);
    EXPECT_NEAR(secs(w.clock.t), r.endsAt, 1e-6);
    EXPECT_FALSE(pumped);  // these waits deliver no window events
    EXPECT_LE(w.port.waits, 3);
    if (r.array) {
      EXPECT_EQ(w.gui.RxText.size(), w.gui.RxBytes.size());
    }
  }
}

}  // namespace probeaddr::test
