// Before any data block has come the cached block is all zero: the cached
// texts are zero bytes and the field limit is 0. Needs a process of its own.
#include <gtest/gtest.h>

#include <string>

#include "VEL_KV21X.h"
#include "kv210/simulator.h"

TEST(BeforeAnyDataBlock, CachedTextsAreZeroAndTheFieldLimitIsZero) {
  const HANDLE anyHandle = reinterpret_cast<HANDLE>(intptr_t{12345});
  struct Case { const char* name; int32_t (*call)(HANDLE, char*, int32_t*); int32_t length; } cases[] = {
      {"ProbeName", VEL_ProbeName, 6}, {"Model", VEL_Model, 6}, {"CalibrationDate", VEL_CalibrationDate, 8}};
  for (const auto& c : cases) {
    char text[16];
    std::fill(std::begin(text), std::end(text), '\xEE');
    int32_t length = -1;
    ASSERT_EQ(c.call(anyHandle, text, &length), VEL_OK) << c.name;
    EXPECT_EQ(std::string(text, length), std::string(c.length, '\0')) << c.name;
    EXPECT_EQ(text[length], '\xEE') << c.name << ": wrote past the text";
  }

  // An opening whose data block stays short keeps its handle and a zero block.
  kv210::sim::Simulator sim;
  sim.setReply("P", kv210::sim::Bytes(10, 0));
  VEL_SetTimeout(0);
  HANDLE port = INVALID_HANDLE_VALUE;
  ASSERT_EQ(VEL_CreateProbe("KV21", &port, sim.devicePath().c_str()), VEL_TIMEOUT);
  float v = -1;
  sim.setReply("T", {'T', 0, 0, 0, 0});
  EXPECT_EQ(VEL_ReadTotalField(port, &v), VEL_OK);
  EXPECT_EQ(v, 0.0f);
  sim.setReply("T", {'T', 0, 0, 0x80, 0x3F});  // 1.0
  EXPECT_EQ(VEL_ReadTotalField(port, &v), VEL_ABOVE_LIMIT);
  VEL_RemoveProbe(port);
}
