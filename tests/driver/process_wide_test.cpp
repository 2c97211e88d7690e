// The C interface's process-wide state, through the shared library: one
// reply time-out and one data block for every handle. Each test needs a
// process of its own (ctest runs each so).
#include <gtest/gtest.h>

#include <chrono>
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

// A time-out set once rules calls on every handle, opened before or after;
// the last opening's data block serves every handle, a closed one too.
TEST(ProcessWide, OneTimeoutAndTheLastOpeningsBlockForEveryHandle) {
  kv210::sim::Simulator first, second;
  kv210::sim::Identity id;
  id.name = "OTHER1";
  id.fieldLimit = 1.0f;  // the first probe's total field of 5 is within its own limit, not this one
  second.setIdentity(id);
  HANDLE a = INVALID_HANDLE_VALUE, b = INVALID_HANDLE_VALUE;
  VEL_SetTimeout(0);
  ASSERT_EQ(VEL_CreateProbe("KV21", &a, first.devicePath().c_str()), VEL_OK);
  VEL_SetTimeout(1500);
  ASSERT_EQ(VEL_CreateProbe("KV21", &b, second.devicePath().c_str()), VEL_OK);
  auto silentRead = [](HANDLE h) {
    float v = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(VEL_ReadBattery(h, &v), VEL_TIMEOUT);
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  first.setFault("b", kv210::sim::Fault{kv210::sim::FaultKind::Silence});
  second.setFault("b", kv210::sim::Fault{kv210::sim::FaultKind::Silence});
  for (HANDLE h : {a, b}) EXPECT_GE(silentRead(h), 1.0) << "1.5 s: while 0 or 1 whole seconds have passed";
  VEL_SetTimeout(0);
  for (HANDLE h : {a, b}) EXPECT_LT(silentRead(h), 0.5) << "0: one read";

  char text[8];
  int32_t length = 0;
  float field = 0;
  ASSERT_EQ(VEL_RemoveProbe(b), VEL_OK);
  for (HANDLE h : {a, b, reinterpret_cast<HANDLE>(intptr_t{777})}) {
    ASSERT_EQ(VEL_ProbeName(h, text, &length), VEL_OK);
    EXPECT_EQ(std::string(text, length), "OTHER1");
  }
  EXPECT_EQ(VEL_ReadTotalField(a, &field), VEL_ABOVE_LIMIT);
  VEL_RemoveProbe(a);
}
