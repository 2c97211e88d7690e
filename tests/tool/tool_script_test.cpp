// The tool fuzz target's scripts as plain tests: typical and hostile reply
// streams and typed addresses, replayed with all of the harness's checks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../fuzz/tool_harness.h"

namespace {

using Script = std::vector<uint8_t>;

struct Builder {
  Script s;
  explicit Builder(uint8_t state) { s.push_back(state); }
  Builder& wait(int ms) { return op(0), s.push_back(static_cast<uint8_t>(ms / 4)), *this; }
  Builder& arrive(std::string_view bytes) { return op(1), counted(bytes), *this; }
  Builder& read() { return op(2), *this; }
  Builder& click(std::string_view text) { return op(3), counted(text), *this; }
  Builder& nestedClick(std::string_view text) { return op(4), counted(text), *this; }
  Builder& portFails() { return op(5), *this; }

 private:
  void op(uint8_t o) { s.push_back(o); }
  void counted(std::string_view bytes) {
    if (bytes.size() < 0x80) {
      s.push_back(static_cast<uint8_t>(bytes.size()));
    } else {
      s.push_back(static_cast<uint8_t>(0x80 | bytes.size() >> 8));
      s.push_back(static_cast<uint8_t>(bytes.size() & 0xFF));
    }
    s.insert(s.end(), bytes.begin(), bytes.end());
  }
};

constexpr uint8_t kConnected = 1, kBlockRead = 2, kThreeFailures = 3 << 2, kSerialStep = 1 << 4;

TEST(ToolScripts, RepliesAndWritesKeepEveryPromise) {
  const std::string version = "vKV210:1.10 07/10;";
  const std::string serial = "s0424K10123" + std::string(22, ' ');
  std::string block(382, 'B');
  block[0] = 'd';
  struct Case { const char* name; Script script; } cases[] = {
      {"version in one chunk", Builder(0).wait(20).arrive(version).read().s},
      {"version cut before its ';'", Builder(kConnected).arrive(version.substr(0, 9)).wait(40).arrive(version.substr(9)).read().s},
      {"serial rejected the fourth time", Builder(kThreeFailures | kSerialStep).arrive("s0424Z20123" + std::string(22, ' ')).read().s},
      {"data block in pieces", Builder(0).arrive(version).read().arrive(serial).read().arrive(block.substr(0, 200)).wait(100).arrive(block.substr(200)).read().s},
      {"endless noise", Builder(kConnected | kBlockRead).arrive(std::string(4000, 'x')).arrive(std::string(4000, '\0')).read().s},
      {"typed addresses", Builder(0).click("5").click("").click("100").click("-1").click("99.5").click(" 7 ").click("\xff\x80").s},
      {"store refused", Builder(0).arrive("eERR\r\n").click("12").s},
      {"a click inside the reply window", Builder(kConnected).wait(200).nestedClick("7").arrive(version).read().s},
      {"port gone mid-reply", Builder(kConnected).arrive(version.substr(0, 5)).wait(40).portFails().arrive("x").read().s},
  };
  for (const auto& c : cases) EXPECT_EQ(kv210::fuzz::RunToolScript(c.script.data(), c.script.size()), "") << c.name;
}

}  // namespace
