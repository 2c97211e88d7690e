// 100 000 library transactions against the simulated probe, every export in
// turn and the port reopened every thousand: memory and descriptors stay flat.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

#include "../support/process_stats.h"
#include "VEL_KV21X.h"
#include "kv210/simulator.h"

TEST(Soak, HundredThousandTransactionsKeepMemoryAndDescriptorsFlat) {
  kv210::sim::Simulator sim;
  // Settings replies as long as their reads, so that they need not wait out the
  // 50 ms interval: the soak is about the library's resources, not the line.
  sim.setReply("f", {'f', 0});
  sim.setReply("e", {'e', 0, 0, 0, 0});
  VEL_SetTimeout(500);
  char text[11];
  int32_t length = 0;
  float a = 0, b = 0, c = 0;
  HANDLE port = INVALID_HANDLE_VALUE;
  const std::vector<std::function<int32_t()>> calls = {
      [&] { return VEL_ReadBattery(port, &a); },         [&] { return VEL_ReadTemperature(port, &a); },
      [&] { return VEL_ReadTotalField(port, &a); },      [&] { return VEL_ReadAxisField(port, &a, &b, &c); },
      [&] { return VEL_Firmware(port, text, &length); }, [&] { return VEL_SerialNumber(port, text, &length); },
      [&] { return VEL_SetFrequency(port, 5000); },      [&] { return VEL_SetFilter(port, 3); },
      [&] { return VEL_SetAutoOffTime(port, 600); },     [&] { return VEL_ProbeName(port, text, &length); },
  };
  int failures = 0, descriptors = 0;
  long rssBefore = 0;
  const auto t0 = std::chrono::steady_clock::now();
  for (int i = 0; i < 100000; ++i) {
    if (i % 1000 == 0) {
      if (port != INVALID_HANDLE_VALUE) ASSERT_EQ(VEL_RemoveProbe(port), VEL_OK);
      ASSERT_EQ(VEL_CreateProbe("KV21", &port, sim.devicePath().c_str()), VEL_OK) << "at " << i;
      sim.clearReceived();  // the simulator's record would grow otherwise
    }
    if (i == 2000) {  // warmed up
      descriptors = kv210::test::openDescriptors();
      rssBefore = kv210::test::residentKiB();
    }
    failures += calls[static_cast<std::size_t>(i) % calls.size()]() != VEL_OK;
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const long rssAfter = kv210::test::residentKiB();
  EXPECT_EQ(kv210::test::openDescriptors(), descriptors);
  ASSERT_EQ(VEL_RemoveProbe(port), VEL_OK);
  std::printf("soak: 100000 transactions in %.1f s, %d failed; RSS %ld -> %ld KiB\n", seconds, failures, rssBefore,
              rssAfter);
  EXPECT_EQ(failures, 0);
#ifndef KV210_ASAN  // AddressSanitizer's quarantine keeps freed memory; its leak check covers this
  EXPECT_LE(rssAfter - rssBefore, 256) << "resident memory grew";  // 8 bytes a transaction would be 800 KiB
#endif
}
