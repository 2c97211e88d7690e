#include "fakes.h"

namespace probeaddr::test {

std::string summary(const SetAddGui& g) {
  auto n = [](auto v) { return std::to_string(v); };
  return "ok" + n(g.VersionOk) + " conn" + n(g.Connected) + " step" + n(g.PollStep) + " period" +
         n(g.PollPeriod) + " attempts" + n(g.PollAttempts) + " fails" + n(g.SerialFailures);
}

const std::string kSerialPad(22, ' ');
const Bytes kBlock = FakeProbe::block();
const char* kOldFirmware = "msg Warning!|exclamation|This KV210 version not supports address changeing.";

// One reply window with scripted arrivals (the window runs from 0.1 s to 1.1 s).
TEST(ReadProbeReply, ReplyKinds) {
  struct Row {
    const char* name;
    std::function<void(SetAddGui&)> prep;
    std::vector<std::pair<double, std::string>> arrive;
    std::string want;                  // summary() afterwards
    std::vector<std::string> screen;   // captions, disabled controls, messages, frames
  } rows[] = {
      {"version", {}, {{0.05, "vKV210:1.10 07/10;"}}, "ok2 conn1 step0 period1 attempts0 fails0",
       {"caption 1 1.10", "caption 2 07/10"}},
      {"old firmware", {}, {{0.05, "vKV210:1.09 07/10;"}}, "ok2 conn1 step0 period1 attempts0 fails0",
       {"caption 1 1.09", "caption 2 07/10", "disable frame", "disable box", "disable write", kOldFirmware}},
      {"old firmware, connected", [](auto& g) { g.Connected = true; }, {{0.05, "vKV210:1.09 07/10;"}},
       "ok2 conn1 step0 period1 attempts0 fails0", {"caption 1 1.09", "caption 2 07/10"}},
      {"release 1.1", {}, {{0.05, "vKV2100:1.1 07/10;"}}, "ok2 conn1 step0 period1 attempts0 fails0",
       {"caption 1 1.1", "caption 2 07/10"}},
      {"release not a number", {}, {{0.05, "vKV210:V1.2 07/10;"}},
       "ok2 conn1 step0 period1 attempts0 fails0",
       {"caption 1 V1.2", "caption 2 07/10", "disable frame", "disable box", "disable write", kOldFirmware}},
      {"version without ';' in its first chunk", [](auto& g) { g.PollPeriod = 5; },
       {{0.05, "vKV210:1.10"}, {0.3, " 07/10;"}}, "ok0 conn0 step0 period1 attempts0 fails0", {}},
      {"version with trailing byte", {}, {{0.05, "vKV210:1.10 07/10;"}, {0.15, "x"}},
       "ok0 conn0 step0 period1 attempts0 fails0", {}},
      {"version without ':'", {}, {{0.05, "vKV210;1.10 07/10;"}}, "ok0 conn0 step0 period1 attempts0 fails0", {}},
      {"'V' is no version reply", {}, {{0.05, "VKV210:1.10 07/10;"}}, "ok0 conn0 step0 period1 attempts0 fails0", {}},
      {"late reply of a connected probe",
       [](auto& g) { g.Connected = true, g.PollStep = 1, g.PollAttempts = 4, g.PollPeriod = 5; },
       {{0.3, "vKV210:1.10 07/10;"}}, "ok2 conn1 step0 period1 attempts0 fails0",
       {"caption 1 1.10", "caption 2 07/10"}},
      {"silence while connected", [](auto& g) { g.Connected = true, g.PollStep = 3, g.PollPeriod = 5; },
       {}, "ok0 conn0 step0 period1 attempts0 fails0", {}},
      {"serial", [](auto& g) { g.PollStep = 1, g.PollPeriod = 5; }, {{0.05, "s0424K10123" + kSerialPad}},
       "ok0 conn0 step2 period1 attempts0 fails0", {"caption 3 0424K10123"}},
      {"serial in lower case", [](auto& g) { g.PollStep = 1; }, {{0.05, "s0424k10123" + kSerialPad}},
       "ok0 conn0 step2 period1 attempts0 fails0", {"caption 3 0424k10123"}},
      {"serial split within 0.5 s", [](auto& g) { g.PollStep = 1; },
       {{0.05, "s0424K10123" + std::string(10, ' ')}, {0.5, std::string(12, ' ')}},
       "ok0 conn0 step2 period1 attempts0 fails0", {"caption 3 0424K10123"}},
      {"serial of 31 characters", [](auto& g) { g.PollStep = 1, g.PollPeriod = 5; },
       {{0.05, "s0424K10123" + std::string(21, ' ')}}, "ok0 conn0 step1 period5 attempts0 fails0", {}},
      {"serial with control bytes", [](auto& g) { g.PollStep = 1; },
       {{0.05, "s\r\n0424K10123" + kSerialPad}}, "ok0 conn0 step2 period1 attempts0 fails0",
       {"caption 3 0424K10123"}},
      {"serial rejected", [](auto& g) { g.PollStep = 2, g.PollPeriod = 5; },
       {{0.05, "s0424K1A123" + kSerialPad}}, "ok0 conn0 step1 period1 attempts0 fails1", {}},
      {"fourth serial rejected", [](auto& g) { g.PollStep = 2, g.SerialFailures = 3; },
       {{0.05, "s0424K12123" + kSerialPad}}, "ok0 conn0 step0 period1 attempts0 fails0",
       {"msg Warning|exclamation|Serial number not correct. Please restart your probe!", "tx #00!*"}},
      {"data block split", [](auto& g) { g.RxBytes = Bytes(47, 'z'); },
       {{0.05, std::string(kBlock.begin(), kBlock.begin() + 200)},
        {0.3, std::string(kBlock.begin() + 200, kBlock.end())}},
       "ok2 conn0 step0 period5 attempts0 fails0",
       {"caption 0 EGHIJKLMNOPQRSTUVXYZABCDEFGHIJKLMNOPRSTU"}},
      {"data block already read", [](auto& g) { g.BlockRead = true, g.RxBytes = Bytes(47, 'z'); },
       {{0.05, std::string(kBlock.begin(), kBlock.end())}},
       "ok0 conn0 step0 period1 attempts0 fails0", {}},
      {"store refused", [](auto& g) { g.PollPeriod = 5; }, {{0.05, "eERR\r\n"}},
       "ok0 conn0 step0 period5 attempts0 fails0",
       {"msg Warning|exclamation|Error occurred in storing mode, try again."}},
      {"store reply ERROR", [](auto& g) { g.PollPeriod = 5; }, {{0.05, "eERROR"}},
       "ok0 conn0 step0 period1 attempts0 fails0", {}},
      {"'00' is no confirmation without a write", [](auto& g) { g.PollPeriod = 5; }, {{0.05, "00"}},
       "ok0 conn0 step0 period5 attempts0 fails0", {}},
  };
  for (auto& r : rows) {
    SCOPED_TRACE(r.name);
    World w;
    w.gui.Form_Load();
    if (r.prep) r.prep(w.gui);
    for (auto& [t, s] : r.arrive) w.port.deliver(at(t), bytes(s));
    const auto before = w.log.events.size();
    w.gui.ReadProbeReply();
    EXPECT_EQ(summary(w.gui), r.want);
    EXPECT_EQ(w.log.starting("", before), r.screen);
    EXPECT_EQ(w.gui.RxText, "");
    EXPECT_LE(secs(w.clock.t), 1.1 + 0.5 + 0.1 + 1e-6);
    EXPECT_LE(w.pump.pumps, 12);  // woken by arrivals and deadlines, not spinning
  }
}

}  // namespace probeaddr::test
