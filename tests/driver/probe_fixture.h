// A library handle on a simulated probe, closed at the end of each test.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>

#include "VEL_KV21X.h"
#include "kv210/simulator.h"

namespace kv210::test {

using sim::Bytes;
using sim::Fault;
using sim::FaultKind;
using Ms = std::chrono::milliseconds;

inline Bytes bytesOf(std::string_view text) { return Bytes(text.begin(), text.end()); }

inline Bytes floatLE(float v) {
  uint32_t bits;
  std::memcpy(&bits, &v, 4);
  return {uint8_t(bits), uint8_t(bits >> 8), uint8_t(bits >> 16), uint8_t(bits >> 24)};
}

inline Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes all;
  for (const Bytes& p : parts) all.insert(all.end(), p.begin(), p.end());
  return all;
}

// Seconds taken by a call.
template <typename F>
double timed(F&& call) {
  auto t0 = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

class ProbeTest : public ::testing::Test {
 protected:
  sim::Simulator sim;
  HANDLE port = INVALID_HANDLE_VALUE;

  void SetUp() override { VEL_SetTimeout(500); }
  void TearDown() override {
    if (port != INVALID_HANDLE_VALUE) VEL_RemoveProbe(port);
  }

  // Opens the simulated probe and forgets the frames of the opening.
  void openProbe() {
    ASSERT_EQ(VEL_CreateProbe("KV21", &port, sim.devicePath().c_str()), VEL_OK);
    sim.clearReceived();
  }
  void reopen() {
    ASSERT_EQ(VEL_RemoveProbe(port), VEL_OK);
    port = INVALID_HANDLE_VALUE;
    openProbe();
  }
  // The bytes one call sends, with its code checked.
  template <typename F>
  Bytes sent(F&& call, int32_t expected, const std::string& what) {
    sim.clearReceived();
    EXPECT_EQ(call(), expected) << what;
    return sim.received();
  }
};

}  // namespace kv210::test
