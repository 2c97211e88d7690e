// Failures a pseudo-terminal cannot produce, through a scripted port layer.
#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <thread>
#include <string>

#include "VEL_KV21X.h"
#include "port.h"
#include "transaction.h"

namespace {

using vel::port::Handle;

// A port whose reads hand out scripted chunks, one per read call. Failing
// port operations are replayed through the fuzz harness (library_script_test).
class ScriptedPort final : public vel::port::Backend {
 public:
  std::deque<std::string> reads;  // one entry per read call; missing entries read nothing
  std::string written;
  int purges = 0;

  Handle open(const char*, vel::port::OpenError& error) noexcept override {
    error = vel::port::OpenError::None;
    return 42;
  }
  bool setLine9600_8N1(Handle) noexcept override { return true; }
  bool setTimeouts(Handle, const vel::port::Timeouts& t) noexcept override {
    EXPECT_EQ(t.readInterval, 50u);
    if (t.readMultiplier != 0) EXPECT_EQ(t.readMultiplier, 50u);  // 0: draining a reply's rest
    EXPECT_EQ(t.readConstant, 50u);
    EXPECT_EQ(t.writeMultiplier, 10u);
    EXPECT_EQ(t.writeConstant, 50u);
    return true;
  }
  bool purge(Handle) noexcept override { return ++purges, true; }
  bool write(Handle, const uint8_t* data, std::size_t size) noexcept override {
    written.append(reinterpret_cast<const char*>(data), size);
    return true;
  }
  bool read(Handle, uint8_t* buffer, std::size_t capacity, std::size_t& received) noexcept override {
    received = 0;
    if (reads.empty()) {  // a silent line: the read lasts a little, as a real one would
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      return true;
    }
    std::string chunk = reads.front();
    reads.pop_front();
    received = std::min(capacity, chunk.size());
    std::copy_n(chunk.begin(), received, buffer);
    return true;
  }
  bool close(Handle) noexcept override { return true; }
};

class BackendTest : public ::testing::Test {
 protected:
  ScriptedPort scripted;
  HANDLE port = reinterpret_cast<HANDLE>(intptr_t{42});
  void SetUp() override {
    vel::port::install(&scripted);
    VEL_SetTimeout(0);
    vel::ProbeDataBlock.fill(0);
  }
  void TearDown() override {
    vel::port::install(nullptr);
    VEL_SetTimeout(500);
  }
};

TEST_F(BackendTest, DataQueryFailuresAfterTheVersionReply) {
  scripted.reads = {"vKV210:1.10 07/10;"};
  HANDLE h = nullptr;
  // The version reply came; the data block does not: a time-out.
  EXPECT_EQ(VEL_CreateProbe("KV21", &h, "any"), VEL_TIMEOUT);
  EXPECT_EQ(scripted.written, "#00?v*#00?P*");
  EXPECT_EQ(scripted.purges, 2);
}

TEST_F(BackendTest, EachReadStartsAgainAtTheBufferStart) {
  VEL_SetTimeout(2500);
  scripted.reads = {"b\x01", "b\x03"};  // two short reads are never joined
  float v = 0;
  EXPECT_EQ(VEL_ReadBattery(port, &v), VEL_TIMEOUT);
  scripted.reads = {"vKV2", "vKV210:1.10 07/10"};  // a short read, then 17 bytes from the start
  char text[16];
  int32_t length = 0;
  ASSERT_EQ(VEL_Firmware(port, text, &length), VEL_OK);
  EXPECT_EQ(std::string(text, length), std::string("1.10 07/10\0", 11));
}

TEST_F(BackendTest, FieldLimitIsZeroBeforeAnyDataBlock) {
  float v = -1;
  scripted.reads = {std::string("T\0\0\0\0", 5)};
  EXPECT_EQ(VEL_ReadTotalField(port, &v), VEL_OK);
  EXPECT_EQ(v, 0.0f);
  scripted.reads = {std::string("T\0\0\x80\x3f", 5)};  // 1.0
  EXPECT_EQ(VEL_ReadTotalField(port, &v), VEL_ABOVE_LIMIT);
}

}  // namespace
