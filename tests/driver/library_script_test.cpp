// The fuzz target's scripted sessions as plain tests: a few hand-written ones
// and every input the fuzzer ever found a problem with, replayed with all of
// its checks (documented codes, exact frames, out-arguments untouched on
// failure, caller buffers of exactly the documented sizes). And the identity
// exports writing into buffers of exactly their documented sizes on a
// simulated probe, which AddressSanitizer watches in the sanitizer build.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "../../fuzz/library_harness.h"
#include "VEL_KV21X.h"
#include "kv210/simulator.h"

namespace {

using Script = std::vector<uint8_t>;

void append(Script& s, std::string_view bytes) { s.insert(s.end(), bytes.begin(), bytes.end()); }

// What arrives before one read.
void arrives(Script& s, std::string_view bytes) {
  if (bytes.size() < 0x80) {
    s.push_back(static_cast<uint8_t>(bytes.size()));
  } else {
    s.push_back(static_cast<uint8_t>(0x80 | bytes.size() >> 8));
    s.push_back(static_cast<uint8_t>(bytes.size() & 0xFF));
  }
  append(s, bytes);
}

void readFails(Script& s) { s.push_back(0xFF); }

// export, flags (time-out, invalid handle, failing operation), 4 parameter bytes.
void call(Script& s, uint8_t which, uint8_t flags = 0, std::string_view param = std::string_view("\0\0\0\0", 4)) {
  s.push_back(which);
  s.push_back(flags);
  append(s, param.substr(0, 4));
}

constexpr uint8_t kTimeout2500 = 2;
constexpr uint8_t failing(int op, bool second = false) { return static_cast<uint8_t>(op << 3 | (second ? 0x80 : 0)); }

std::string block(char fill, std::size_t size) { return std::string(size, fill); }

TEST(LibraryScripts, HandWrittenSessionsKeepEveryPromise) {
  const std::string version = "vKV210:1.10 07/10;";
  struct Case { const char* name; Script script; } cases[] = {
      {"opening, then the cached texts", [&] {
         Script s;
         call(s, 0, 0, "KV21");
         arrives(s, version);
         arrives(s, block('d', 382));
         call(s, 10); call(s, 11); call(s, 12);
         return s; }()},
      {"a short block keeps the rest of the earlier one", [&] {
         Script s;
         call(s, 0, 0, "KV21");
         arrives(s, version);
         arrives(s, block('a', 382));
         call(s, 0, 0, "KV21");
         arrives(s, version);
         arrives(s, block('b', 300));
         call(s, 12);
         return s; }()},
      {"a 255-byte block times out after the bytes landed", [&] {
         Script s;
         call(s, 0, 0, std::string_view("KV2\0", 4));
         arrives(s, version);
         arrives(s, block('c', 255));
         return s; }()},
      {"reads start again at the buffer's start", [&] {
         Script s;
         call(s, 1, kTimeout2500);
         arrives(s, "vKV2");
         arrives(s, "vKV210:1.10 07/10");
         return s; }()},
      {"bytes beyond the capacity are purged by the next command", [&] {
         Script s;
         call(s, 3);
         arrives(s, "b\x03\x00xyzxyz");
         call(s, 4);
         arrives(s, "t\xff\xff");
         call(s, 2);
         arrives(s, "s0424K10123" + std::string(22, ' '));
         call(s, 2);  // the rest of the serial reply is purged before this one
         arrives(s, "s0424K10124");
         return s; }()},
      {"a failed read, a failed second purge, a failed close", [&] {
         Script s;
         call(s, 6);
         readFails(s);
         call(s, 0, failing(1, true), "KV21");
         arrives(s, version);
         call(s, 13, failing(5));
         return s; }()},
      {"out-of-range settings and invalid handles send nothing", [] {
         Script s;
         call(s, 8, 0, std::string_view("\x08\0\0\0", 4));
         call(s, 9, 4, std::string_view("\x31\x2a\0\0", 4));  // 10801
         call(s, 7, 0, std::string_view("\x80\x96\x98\x00", 4));  // 10000000
         call(s, 2, 4);
         call(s, 13, 4);
         return s; }()},
  };
  for (const auto& c : cases) EXPECT_EQ(kv210::fuzz::RunLibraryScript(c.script.data(), c.script.size()), "") << c.name;
}

TEST(LibraryScripts, IdentityTextsFitBuffersOfExactlyTheDocumentedSize) {
  kv210::sim::Simulator sim;
  HANDLE port = INVALID_HANDLE_VALUE;
  ASSERT_EQ(VEL_CreateProbe("KV21", &port, sim.devicePath().c_str()), VEL_OK);
  struct Case { const char* name; std::size_t size; int32_t (*call)(HANDLE, char*, int32_t*); } cases[] = {
      {"VEL_Firmware", 11, VEL_Firmware},         {"VEL_SerialNumber", 10, VEL_SerialNumber},
      {"VEL_ProbeName", 6, VEL_ProbeName},        {"VEL_Model", 6, VEL_Model},
      {"VEL_CalibrationDate", 8, VEL_CalibrationDate},
  };
  for (const auto& c : cases) {
    auto text = std::make_unique<char[]>(c.size);  // on the heap: a write past it is caught
    int32_t length = -1;
    EXPECT_EQ(c.call(port, text.get(), &length), VEL_OK) << c.name;
    EXPECT_GT(length, 0) << c.name;
    EXPECT_LE(length, static_cast<int32_t>(c.size)) << c.name;
  }
  // Eleven firmware characters: the version reply without its ';'.
  sim.setReply("v", {'v', 'K', 'V', '2', '1', '0', ':', '1', '.', '1', '0', ' ', '0', '7', '/', '1', '0', 'x'});
  auto firmware = std::make_unique<char[]>(11);
  int32_t length = -1;
  EXPECT_EQ(VEL_Firmware(port, firmware.get(), &length), VEL_OK);
  EXPECT_EQ(length, 11);
  EXPECT_EQ(VEL_RemoveProbe(port), VEL_OK);
}

}  // namespace
