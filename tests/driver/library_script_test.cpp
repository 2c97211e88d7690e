// The fuzz target's scripted sessions as plain tests, replayed with all of the
// harness's checks: documented codes, exact frames, nothing done after a
// failed port operation, out-arguments untouched on failure, caller buffers of
// exactly the documented sizes (watched by AddressSanitizer in that build).
// Every input the fuzzer finds a problem with joins the table.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../../fuzz/library_harness.h"

namespace {

using Script = std::vector<uint8_t>;
const std::string kVersion = "vKV210:1.10 07/10;";

struct Builder {
  Script s;
  // export, flags (time-out, invalid handle, failing operation), 4 parameter bytes.
  Builder& call(uint8_t which, uint8_t flags = 0, std::string_view param = std::string_view("\0\0\0\0", 4)) {
    s.push_back(which), s.push_back(flags), s.insert(s.end(), param.begin(), param.begin() + 4);
    return *this;
  }
  // What arrives before one read.
  Builder& arrives(std::string_view bytes) {
    if (bytes.size() < 0x80) s.push_back(static_cast<uint8_t>(bytes.size()));
    else s.push_back(static_cast<uint8_t>(0x80 | bytes.size() >> 8)), s.push_back(static_cast<uint8_t>(bytes.size() & 0xFF));
    s.insert(s.end(), bytes.begin(), bytes.end());
    return *this;
  }
  Builder& readFails() { return s.push_back(0xFF), *this; }
  Builder& open() { return call(0, 0, "KV21").arrives(kVersion).arrives(std::string(382, 'd')); }
};

// 1 purge, 2 write, 3 line, 4 time-outs, 5 close, 6..8 open (not found, denied, other).
constexpr uint8_t failing(int op, bool second = false) { return static_cast<uint8_t>(op << 3 | (second ? 0x80 : 0)); }

TEST(LibraryScripts, HandWrittenSessionsKeepEveryPromise) {
  struct Case { const char* name; Script script; } cases[] = {
      {"opening, then the cached texts", Builder().open().call(10).call(11).call(12).s},
      {"each failing step of an opening",
       Builder().call(0, failing(6), "KV21").call(0, failing(7), "KV21").call(0, failing(8), "KV21")
           .call(0, failing(3), "KV21").call(0, failing(4), "KV21").call(0, failing(1), "KV21")
           .call(0, failing(2), "KV21").call(0, 0, "KV21").readFails()
           .call(0, failing(1, true), "KV21").arrives(kVersion).s},
      {"failing steps of exchanges and closing",
       Builder().open().call(3, failing(1)).call(8, failing(2), std::string_view("\1\0\0\0", 4))
           .call(9, 0, std::string_view("\1\0\0\0", 4)).readFails().call(6).readFails().call(13, failing(5)).s},
      {"bytes beyond the capacity are purged by the next command, a serial reply's tail taken in",
       Builder().call(3).arrives("b\x03\x00xyzxyz").call(4).arrives("t\xff\xff")
           .call(2).arrives("s0424K10123" + std::string(22, ' '))
           .call(2).arrives("s0424K10124").s},
  };
  for (const auto& c : cases) EXPECT_EQ(kv210::fuzz::RunLibraryScript(c.script.data(), c.script.size()), "") << c.name;
}

}  // namespace
