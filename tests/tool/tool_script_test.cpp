// The tool fuzz target's scripts as plain tests, replayed with all of the
// harness's checks. The reply kinds and typed addresses have their own tables
// (reply_test, write_test); here what only the harness drives: hostile streams,
// a click nested in a reply window, a port lost mid-reply. Every input the
// fuzzer finds a problem with joins the table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../fuzz/tool_harness.h"

namespace {

struct Builder {
  std::vector<uint8_t> s;
  explicit Builder(uint8_t state) { s.push_back(state); }
  Builder& wait(int ms) { return s.push_back(0), s.push_back(static_cast<uint8_t>(ms / 4)), *this; }
  Builder& arrive(std::string_view bytes) { return counted(1, bytes); }
  Builder& read() { return s.push_back(2), *this; }
  Builder& nestedClick(std::string_view text) { return counted(4, text); }
  Builder& portFails() { return s.push_back(5), *this; }

 private:
  Builder& counted(uint8_t op, std::string_view bytes) {
    s.push_back(op);
    if (bytes.size() < 0x80) s.push_back(static_cast<uint8_t>(bytes.size()));
    else s.push_back(static_cast<uint8_t>(0x80 | bytes.size() >> 8)), s.push_back(static_cast<uint8_t>(bytes.size() & 0xFF));
    s.insert(s.end(), bytes.begin(), bytes.end());
    return *this;
  }
};

constexpr uint8_t kConnected = 1, kBlockRead = 2;

TEST(ToolScripts, RepliesAndWritesKeepEveryPromise) {
  const std::string version = "vKV210:1.10 07/10;";
  struct Case { const char* name; std::vector<uint8_t> script; } cases[] = {
      {"endless noise", Builder(kConnected | kBlockRead).arrive(std::string(4000, 'x')).arrive(std::string(4000, '\0')).read().s},
      {"endless noise before the data block", Builder(kConnected).arrive(std::string(4000, 'x')).read().read().s},
      {"a click inside the reply window", Builder(kConnected).wait(200).nestedClick("7").arrive(version).read().s},
      {"port gone mid-reply", Builder(kConnected).arrive(version.substr(0, 5)).wait(40).portFails().arrive("x").read().s},
  };
  for (const auto& c : cases) EXPECT_EQ(kv210::fuzz::RunToolScript(c.script.data(), c.script.size()), "") << c.name;
}

}  // namespace
