// velprobe serve's memory under a week of readings of two probes, one a
// second, fed on a fast clock: the rings fill in the first day and the
// resident size stays flat for the other six, the views included.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "monitor.h"
#include "process_stats.h"

namespace {

using velprobe::serve::isoTime;
using velprobe::serve::Millis;
using velprobe::serve::Monitor;
using velprobe::serve::Sample;

std::size_t count(const std::string& text, const std::string& what) {
  std::size_t n = 0;
  for (std::size_t at = 0; (at = text.find(what, at)) != std::string::npos; at += what.size()) ++n;
  return n;
}

TEST(ServeSoak, AWeekOfReadingsKeepsADayAndFlatMemory) {
  constexpr Millis kStart = 1796601600000;  // 2026-12-07T00:00:00Z
  constexpr int kDay = 86400;
  constexpr std::size_t kAll = 2 * kDay;  // in one answer, not pages of the HTTP side
  Monitor monitor({"/dev/ttyUSB0", "/dev/ttyUSB1"}, kDay);
  monitor.opened(0, {"1.10 07/10", "0424K10123", "KV210A", "KV210", "07/12/26"});
  long afterFirstDay = 0;
  for (int second = 0; second < 7 * kDay; ++second) {
    for (std::size_t probe = 0; probe < 2; ++probe) {
      Sample sample{kStart + second * 1000LL, 0, {3.6f, 3.9436622f, 5.5f, 1, 2, static_cast<float>(second % 100)}};
      if (second % 1000 == 999) {
        std::fill(std::begin(sample.values), std::end(sample.values), std::nanf(""));
        sample.code = 8;
        sample.call = Monitor::callNumber("VEL_ReadBattery");
      }
      monitor.record(probe, sample);
    }
    if ((second + 1) % kDay == 0) {
      const std::string all = monitor.readingsJson(0, 0, kAll);
      EXPECT_EQ(count(all, "\"seq\":"), 2u * kDay);
      EXPECT_FALSE(monitor.metrics().empty());
      if (second + 1 == kDay) afterFirstDay = kv210::test::residentKiB();
    }
  }
  const std::string all = monitor.readingsJson(0, 0, kAll);
  // The oldest kept is the first of the last day; the newest the last of the week.
  EXPECT_EQ(all.find(isoTime(kStart + 6LL * kDay * 1000 - 1000)), std::string::npos);
  EXPECT_NE(all.find(isoTime(kStart + 6LL * kDay * 1000)), std::string::npos);
  EXPECT_EQ(count(monitor.readingsJson(0, kStart + (7LL * kDay - 10) * 1000, kAll), "\"seq\":"), 20u);
  const std::string metrics = monitor.metrics();
  EXPECT_NE(metrics.find("kv210_readings_total{port=\"/dev/ttyUSB0\",serial=\"0424K10123\"} 604196"),
            std::string::npos)
      << metrics;
  EXPECT_NE(metrics.find("kv210_reading_failures_total{port=\"/dev/ttyUSB1\",serial=\"\",code=\"8\"} 604"),
            std::string::npos);
#ifndef KV210_ASAN
  EXPECT_LT(kv210::test::residentKiB() - afterFirstDay, 2048) << "KiB grown after the first day";
#endif
}

}  // namespace
