// What serve shows, apart from HTTP: the Prometheus exposition as a unit, the
// monitor's metrics of hostile probe texts and withheld values, and the paging
// of /api/readings.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cmath>
#include <limits>
#include <string>

#include "exposition.h"
#include "monitor.h"

namespace {

using velprobe::serve::Exposition;
using velprobe::serve::Millis;
using velprobe::serve::Monitor;
using velprobe::serve::Sample;

TEST(Exposition, FamiliesOnceLabelsEscapedNaNWithheld) {
  Exposition e;
  e.family("a_total", Exposition::Type::Counter, "Counts\\ things\nover lines.");
  e.family("b", Exposition::Type::Gauge, "A gauge.");
  e.add("a_total", {{"port", "/dev/x"}}, uint64_t{7});
  e.add("b", {{"v", "back\\slash \"quoted\"\nnext"}}, 2.5f);
  e.add("b", {}, std::numeric_limits<float>::quiet_NaN());  // withheld
  e.add("b", {}, std::numeric_limits<double>::infinity());
  e.add("a_total", {{"port", "/dev/y"}}, uint64_t{18446744073709551615ULL});
  e.add("b", {{"t", ""}}, 1796601600.125);
  EXPECT_EQ(e.text(),
            "# HELP a_total Counts\\\\ things\\nover lines.\n# TYPE a_total counter\n"
            "a_total{port=\"/dev/x\"} 7\na_total{port=\"/dev/y\"} 18446744073709551615\n"
            "# HELP b A gauge.\n# TYPE b gauge\n"
            "b{v=\"back\\\\slash \\\"quoted\\\"\\nnext\"} 2.5\nb +Inf\nb{t=\"\"} 1796601600.125\n");
  for (auto bad : {"", "1a", "a-b", "a b"})
    EXPECT_THROW(e.family(bad, Exposition::Type::Gauge, ""), std::logic_error) << bad;
  EXPECT_THROW(e.family("b", Exposition::Type::Gauge, "again"), std::logic_error);
  EXPECT_THROW(e.add("undeclared", {}, 1.0), std::logic_error);
  EXPECT_THROW(e.add("b", {{"a:b", "x"}}, 1.0), std::logic_error);
}

constexpr Millis kStart = 1796601600000;  // 2026-12-07T00:00:00Z
constexpr float kNone = std::numeric_limits<float>::quiet_NaN();

TEST(MonitorMetrics, HostileIdentityEscapedAndWithheldValuesLeftOut) {
  Monitor monitor({"/dev/tty\"0", "/dev/ttyUSB1", "/dev/ttyUSB2"}, 10);
  monitor.opened(0, {"", "<script>\"\\\n\x01\xff", "Lab 7", "", ""});
  monitor.record(0, {kStart, 0, {3.6f, kNone, kNone, 1, 2, 3}, 0, 0, 1u << 2});  // total field above the limit
  monitor.record(1, {kStart, 0, {3.5f, kNone, 5.5f, 1, 2, 3}});
  monitor.record(1, {kStart + 1000, 0, {kNone, kNone, kNone, kNone, kNone, kNone}, 8,
                     Monitor::callNumber("VEL_ReadBattery")});
  const std::string m = monitor.metrics();
  const std::string p0 = R"(port="/dev/tty\"0",serial="<script>\"\\\\\\x0a\\x01\\xff")";
  for (const std::string& line :
       {"kv210_up{" + p0 + "} 1\n", "kv210_probe_info{" + p0 + R"(,firmware="",name="Lab 7",model="",calibration_date=""} 1)",
        "kv210_battery_volts{" + p0 + "} 3.6\n", "kv210_axis_field{" + p0 + ",axis=\"3\"} 3\n",
        "kv210_over_range_readings_total{" + p0 + "} 1\n", std::string("kv210_up{port=\"/dev/ttyUSB1\",serial=\"\"} 0\n"),
        std::string("kv210_reading_failures_total{port=\"/dev/ttyUSB1\",serial=\"\",code=\"8\"} 1\n")})
    EXPECT_NE(m.find(line), std::string::npos) << line << m;
  // Over range and not read: no line; probe 1 is down and probe 2 never read: none of their values.
  for (const char* absent : {"kv210_total_field{", "kv210_temperature_celsius{", "kv210_battery_volts{port=\"/dev/ttyUSB1\""})
    EXPECT_EQ(m.find(absent), std::string::npos) << absent;
}

TEST(MonitorReadings, PagesOfAtMostTheLimitWithACursor) {
  // seq 1..130, a (odd seq) and b (even seq) in turn; each ring keeps its last
  // 50: a 31..129, b 32..130.
  Monitor monitor({"/dev/a", "/dev/b"}, 50);
  for (int i = 0; i < 130; ++i) monitor.record(i % 2, {kStart + i * 1000, 0, {3.6f}});
  auto page = [&](uint64_t after, Millis since, std::size_t limit) {
    const auto json = nlohmann::json::parse(monitor.readingsJson(after, since, limit));
    std::vector<uint64_t> seqs;
    for (const auto& r : json["readings"]) seqs.push_back(r["seq"].get<uint64_t>());
    return std::make_tuple(json["next"].get<uint64_t>(), json["more"].get<bool>(), seqs);
  };
  const struct {
    uint64_t after;
    Millis since;
    std::size_t limit;
    std::tuple<uint64_t, bool, std::vector<uint64_t>> page;  // next, more, the seqs given
  } cases[] = {
      {0, 0, 3, {33, true, {31, 32, 33}}},
      {125, 0, 10, {130, false, {126, 127, 128, 129, 130}}},
      {0, kStart + 127'000, 10, {130, false, {128, 129, 130}}},
      {127, kStart + 10'000, 2, {129, true, {128, 129}}},
      {130, 0, 10, {130, false, {}}},
      {1'000'000, 0, 10, {130, false, {}}},
  };
  for (const auto& c : cases) EXPECT_EQ(page(c.after, c.since, c.limit), c.page) << c.after;
  // Following the cursor gives every kept reading once, in order.
  std::vector<uint64_t> all;
  for (uint64_t after = 0;;) {
    const auto [next, more, seqs] = page(after, 0, 7);
    all.insert(all.end(), seqs.begin(), seqs.end());
    after = next;
    if (!more) break;
  }
  ASSERT_EQ(all.size(), 100u);
  EXPECT_TRUE(std::is_sorted(all.begin(), all.end()));
  EXPECT_EQ(nlohmann::json::parse(monitor.readingsJson(0, 0))["readings"].size(), 100u);
}

}  // namespace
