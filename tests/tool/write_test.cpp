#include "fakes.h"

namespace probeaddr::test {

const char* kOutOfRange =
    "msg Warning|information| Address out of range. KV210 accepts addresses from 00 (Reserved to broadcast) to 99.";

// Typed text -> box, frames, messages; the probe echoes a stored address.
TEST(AddressWrite, TypedAddresses) {
  struct Row {
    const char* typed;
    const char* address;  // "" when out of range
  } rows[] = {
      {"5", "05"},   {"99", "99"}, {"00", "00"}, {"0", "00"},  {"0005", "05"}, {"005", "05"},
      {" 5", "05"},  {"5 ", "05"}, {"4.6", "05"}, {"4.5", "04"}, {"+7", "07"},  {"70000", "00"},
      {"100", ""},   {"1234", ""}, {"-1", ""},    {"", ""},      {"ab", ""},    {"+", ""},
      {"1e1", ""},   {"5-", ""},   {"1 2", ""},   {".", "00"},  {"a.", ""},     {"--1", ""},
  };
  for (auto& r : rows) {
    SCOPED_TRACE(r.typed);
    World w;
    w.gui.Form_Load();
    w.gui.PollStep = 2;
    w.controls.text = r.typed;
    w.gui.CBWrite_Click();
    const std::string a = r.address;
    if (a.empty()) {
      EXPECT_EQ(w.log.events.back().second, "select 0 2");
      EXPECT_EQ(w.msgs(), std::vector<std::string>{kOutOfRange});
      EXPECT_EQ(w.controls.text, "00");
      EXPECT_TRUE(w.frames().empty());
      EXPECT_EQ(w.gui.SerialQuery + w.gui.ProbeAddress + std::to_string(w.gui.PollStep), "#00?s*002");
    } else {
      EXPECT_EQ(w.controls.text, a);
      EXPECT_EQ(w.frames(), (std::vector<std::string>{"tx #00@c*", "tx #00@I" + a + "*"}));
      EXPECT_EQ(w.msgs(), std::vector<std::string>{"msg Warning|information|New Address is '" + a + "'."});
      EXPECT_EQ(w.gui.SerialQuery + w.gui.ProbeAddress + std::to_string(w.gui.PollStep), "#" + a + "?s*" + a + "1");
    }
  }
}

// What the probe answers to the store frames, and what the user is shown.
TEST(AddressWrite, StoreReplies) {
  struct Row {
    std::vector<std::pair<double, std::string>> reply;
    std::vector<std::string> screen;
    int period;
  } rows[] = {
      {{{0.05, "05"}}, {"msg Warning|information|New Address is '05'."}, 5},
      {{{0.05, "eERR\r\n"}}, {"msg Warning|exclamation|Error occurred in storing mode, try again."}, 5},
      {{{0.05, "07"}}, {}, 5},
      {{{0.05, "0"}, {0.3, "5"}}, {}, 5},       // split echo: not the address in one chunk
      {{{0.05, "x05"}}, {}, 5},                 // stale byte before the echo
      {{{0.05, "eOK!"}}, {}, 1},
      {{{0.05, "vKV210:1.10 07/10;"}}, {"caption 1 1.10", "caption 2 07/10"}, 1},
      {{}, {}, 5},
  };
  for (auto& r : rows) {
    World w;
    w.gui.Form_Load();
    w.gui.PollPeriod = 5;
    w.probe.present = false;
    for (auto& [t, s] : r.reply) w.port.deliver(at(t), bytes(s));
    w.controls.text = "5";
    w.gui.TBAddress_KeyDown(13, 0);
    auto screen = w.log.starting("caption");
    for (auto& m : w.msgs()) screen.push_back(m);
    SCOPED_TRACE(r.reply.empty() ? "silence" : r.reply[0].second);
    EXPECT_EQ(screen, r.screen);
    EXPECT_EQ(w.gui.PollPeriod, r.period);
    EXPECT_EQ(w.gui.SerialQuery, "#05?s*");
  }
}

// Written right after identification, while the data block's tail waits at
// the port: the store's own reply is judged, stored or refused.
TEST(AddressWrite, RightAfterIdentificationTheStoreReplyIsJudgedAlone) {
  for (const char* reply : {"05", "eERR\r\n"}) {
    World w;
    w.probe.replies["#00@I05*"] = bytes(reply);
    w.when(3.45, [&] { w.controls.text = "5"; w.gui.TBAddress_KeyDown(13, 0); });
    w.run(4.6);
    EXPECT_EQ(w.msgs(), std::vector<std::string>{reply == std::string("05")
                                                     ? "msg Warning|information|New Address is '05'."
                                                     : "msg Warning|exclamation|Error occurred in storing mode, try again."});
  }
}

TEST(AddressWrite, OnlyEnterWritesAndOldFirmwareBlocksIt) {
  World w;
  w.gui.Form_Load();
  w.controls.text = "5";
  w.gui.TBAddress_KeyDown(65, 0);
  EXPECT_TRUE(w.frames().empty());
  w.port.deliver(at(0), bytes("vKV210:1.00 07/10;"));
  w.gui.ReadProbeReply();
  w.gui.TBAddress_KeyDown(13, 0);
  w.gui.CBWrite_Click();
  EXPECT_TRUE(w.frames().empty());
}

TEST(AddressWrite, AnEditDuringTheReplyDoesNotReachTheFrames) {
  World w;
  w.gui.Form_Load();
  w.controls.text = "5";
  w.when(0.5, [&] { w.controls.text = "123"; });
  w.gui.CBWrite_Click();
  EXPECT_EQ(w.gui.SerialQuery, "#05?s*");
}

// Exit, closing the window (also twice), and a port failure while running.
TEST(Shutdown, EveryWayOut) {
  struct Row {
    const char* name;
    std::function<void(World&)> act;
    std::vector<std::string> tail;
    int exitCode;
  } rows[] = {
      {"exit", [](World& w) { w.gui.CBExit_Click(); }, {"tx #00?v*", "close main", "close progress", "end 0"}, 0},
      {"close", [](World& w) { w.gui.Form_Unload(); }, {"tx #00?v*", "close main", "close progress", "end 0"}, 0},
      {"final query fails", [](World& w) { w.port.failure = 8020; w.gui.Form_Unload(); },
       {"close main", "close progress", "end 1"}, 1},
      {"port fails while polling", [](World& w) { w.port.failure = 8020; w.gui.Form_Activate(); },
       {"msg ProbeAddr|critical|Run-time error '8020':\r\rdevice gone", "end 1"}, 1},
      {"port fails in a write", [](World& w) { w.port.failure = 68; w.gui.CBWrite_Click(); },
       {"text 00", "msg ProbeAddr|critical|Run-time error '68':\r\rdevice gone", "end 1"}, 1},
  };
  for (auto& r : rows) {
    SCOPED_TRACE(r.name);
    World w;
    w.gui.Form_Load();
    w.run(5, [&] { r.act(w); });
    EXPECT_EQ(w.exitCode, r.exitCode);
    EXPECT_EQ(w.log.starting("", w.log.events.size() - r.tail.size()), r.tail);
    EXPECT_EQ(w.log.times("tx #00?v*").size(), r.exitCode == 0 ? 1u : 0u);
  }
}

}  // namespace probeaddr::test
