// 100 000 library transactions against the simulated probe, every export in
// turn and the port reopened every thousand: memory and descriptors stay flat.
#include <gtest/gtest.h>

#include "../support/process_stats.h"
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <vector>

#include "VEL_KV21X.h"
#include "kv210/simulator.h"

namespace {

using kv210::test::openDescriptors;
using kv210::test::residentKiB;

using kv210::sim::Bytes;


TEST(Soak, HundredThousandTransactionsKeepMemoryAndDescriptorsFlat) {
  constexpr int kTransactions = 100000;
  constexpr int kWarmUp = 2000;
  constexpr int kReopenEvery = 1000;

  kv210::sim::Simulator sim;
  // Settings replies as long as their reads, so that they need not wait out
  // the 50 ms interval after a single byte: the soak is about the library's
  // own resources, not the line's timing.
  sim.setReply("f", Bytes{'f', 0});
  sim.setReply("e", Bytes{'e', 0, 0, 0, 0});
  VEL_SetTimeout(500);

  char text[11];
  int32_t length = 0;
  float a = 0, b = 0, c = 0;
  HANDLE port = INVALID_HANDLE_VALUE;
  const std::vector<std::function<int32_t()>> calls = {
      [&] { return VEL_ReadBattery(port, &a); },
      [&] { return VEL_ReadTemperature(port, &a); },
      [&] { return VEL_ReadTotalField(port, &a); },
      [&] { return VEL_ReadAxisField(port, &a, &b, &c); },
      [&] { return VEL_Firmware(port, text, &length); },
      [&] { return VEL_SerialNumber(port, text, &length); },
      [&] { return VEL_SetFrequency(port, 5000); },
      [&] { return VEL_SetFilter(port, 3); },
      [&] { return VEL_SetAutoOffTime(port, 600); },
  };

  int failures = 0;
  int descriptors = 0;
  long rssBefore = 0;
  auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < kTransactions; ++i) {
    if (i % kReopenEvery == 0) {
      if (port != INVALID_HANDLE_VALUE) ASSERT_EQ(VEL_RemoveProbe(port), VEL_OK);
      ASSERT_EQ(VEL_CreateProbe("KV21", &port, sim.devicePath().c_str()), VEL_OK) << "at " << i;
      sim.clearReceived();  // the simulator's record of frames would grow otherwise
      ASSERT_EQ(VEL_ProbeName(port, text, &length), VEL_OK);
    }
    if (i == kWarmUp) {
      descriptors = openDescriptors();
      rssBefore = residentKiB();
    }
    if (calls[static_cast<std::size_t>(i) % calls.size()]() != VEL_OK) ++failures;
  }
  ASSERT_EQ(VEL_RemoveProbe(port), VEL_OK);
  ASSERT_EQ(VEL_CreateProbe("KV21", &port, sim.devicePath().c_str()), VEL_OK);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const long rssAfter = residentKiB();
  const int descriptorsAfter = openDescriptors();
  ASSERT_EQ(VEL_RemoveProbe(port), VEL_OK);

  std::printf("soak: %d transactions in %.1f s (%.0f us each), %d failed; RSS %ld -> %ld KiB; %d -> %d descriptors\n",
              kTransactions, seconds, seconds / kTransactions * 1e6, failures, rssBefore, rssAfter, descriptors,
              descriptorsAfter);
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(descriptorsAfter, descriptors);
#ifndef KV210_ASAN
  // A leak of even 8 bytes a transaction would show as 800 KiB.
  EXPECT_LE(rssAfter - rssBefore, 256) << "resident memory grew";
#else
  // AddressSanitizer keeps freed memory in quarantine, so RSS says little;
  // its leak check at exit covers what this would.
#endif
}

}  // namespace
