// velprobe end to end: the real binary against a simulated probe.
#include <VEL_KV21X.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <kv210/simulator.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <ctime>
#include <functional>
#include <regex>

#include "child.h"

namespace velprobe_test {
namespace {

using kv210::sim::Fault;
using kv210::sim::FaultKind;
using kv210::sim::Simulator;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
    out.push_back(text.substr(start, nl - start));
  return out;
}

// The lock file a port holder keeps while the port is open; a leftover one
// means the port was not closed through the library.
bool lockFileExists(const std::string& device) {
  std::string name = device.substr(5);  // "/dev/pts/3" -> "pts_3"
  std::replace(name.begin(), name.end(), '/', '_');
  for (const char* dir : {"/var/lock", "/run/lock", "/tmp"})
    if (::access((std::string(dir) + "/LCK.." + name).c_str(), F_OK) == 0) return true;
  return false;
}

// Seconds since the epoch of "2024-05-01T12:00:00.123Z"; -1 when malformed.
double isoUtc(const std::string& stamp) {
  std::tm tm{};
  int ms = 0;
  if (std::sscanf(stamp.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d.%3dZ", &tm.tm_year, &tm.tm_mon, &tm.tm_mday,
                  &tm.tm_hour, &tm.tm_min, &tm.tm_sec, &ms) != 7)
    return -1;
  tm.tm_year -= 1900;
  tm.tm_mon -= 1;
  return static_cast<double>(::timegm(&tm)) + ms / 1000.0;
}

class VelprobeTest : public ::testing::Test {
 protected:
  static Simulator::Options options() {
    Simulator::Options o;
    o.identity.release = "1.10";
    o.identity.firmwareDate = "07/10";
    o.identity.serial = std::string("04\"4,K\\1\x01\xff", 10);
    o.identity.name = std::string("Lab 7\0", 6);
    o.identity.calibrationDate = " 7/12/26";
    o.identity.fieldLimit = 200.0f;
    o.readings.batteryRaw = 0x0300;  // 3.6 V
    o.readings.temperatureRaw = 640;  // 3.9436622 degrees
    o.readings.totalFieldSquared = 30.25f;
    o.readings.axis[0] = 0.125f;
    o.readings.axis[1] = 2.5f;
    o.readings.axis[2] = 100.0f;
    return o;
  }
  Simulator sim{options()};
  std::string port = sim.devicePath();

  Result velprobe(std::vector<std::string> args, const RunSetup& setup = {}) {
    args.insert(args.begin(), {"--port", port});
    return run(args, setup);
  }
};

// ---- Output of each command in each format --------------------------------

TEST_F(VelprobeTest, InfoEscapesTheProbeTextsInEveryFormat) {
  struct Case {
    std::string format, expected;
  } cases[] = {
      {"",  // the model of the version reply, the name of the data block without its NUL
       "Model             KV210\n"
       "Firmware          1.10 07/10\n"
       "Serial number     04\"4,K\\\\1\\x01\\xff\n"
       "Probe name        Lab 7\n"
       "Calibration date   7/12/26\n"},
      {"--json",
       R"({"model":"KV210","firmware":"1.10 07/10","serial_number":"04\"4,K\\1\u0001\u00ff",)"
       R"("name":"Lab 7\u0000","calibration_date":" 7/12/26"})"
       "\n"},
      {"--csv",
       "model,firmware,serial_number,name,calibration_date\n"
       R"(KV210,1.10 07/10,"04""4,K\\1\x01\xff",Lab 7\x00," 7/12/26")"
       "\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    std::vector<std::string> args = {"info"};
    if (!c.format.empty()) args.push_back(c.format);
    const Result r = velprobe(args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.expected);
    EXPECT_EQ(r.err, "");
  }
}

TEST_F(VelprobeTest, ReadGivesUnitsForPeopleAndExactFloatsForMachines) {
  const double before = static_cast<double>(std::time(nullptr));

  Result text = velprobe({"read"});
  ASSERT_EQ(text.status, 0) << text.err;
  const auto rows = lines(text.out);
  ASSERT_EQ(rows.size(), 7u) << text.out;
  EXPECT_THAT(rows[0], MatchesRegex(R"(Time         20[0-9][0-9]-[0-9][0-9]-[0-9][0-9] [0-9:]{8}\.[0-9]{3})"));
  EXPECT_EQ(std::vector<std::string>(rows.begin() + 1, rows.end()),
            (std::vector<std::string>{"Battery        3.60  V", "Temperature    3.94  °C",
                                      "Total field    5.500", "Axis 1         0.125",
                                      "Axis 2         2.500", "Axis 3       100.000"}));

  Result json = velprobe({"read", "--json"});
  ASSERT_EQ(json.status, 0) << json.err;
  std::smatch m;
  ASSERT_TRUE(std::regex_match(json.out, m,
                               std::regex(R"re(\{"time":"([^"]+)",)re"
                                          R"re("battery_V":3\.6,"temperature_C":3\.9436622,"total_field":5\.5,)re"
                                          R"re("axis1":0\.125,"axis2":2\.5,"axis3":100\.0\}\n)re")))
      << json.out;
  EXPECT_NEAR(isoUtc(m[1]), before, 5.0) << m[1];

  Result csv = velprobe({"read", "--csv"});
  ASSERT_EQ(csv.status, 0) << csv.err;
  const auto csvRows = lines(csv.out);
  ASSERT_EQ(csvRows.size(), 2u) << csv.out;
  EXPECT_EQ(csvRows[0], "time,battery_V,temperature_C,total_field,axis1,axis2,axis3");
  EXPECT_THAT(csvRows[1], MatchesRegex(R"([-0-9T:.]+Z,3\.6,3\.9436622,5\.5,0\.125,2\.5,100)"));
}

TEST_F(VelprobeTest, NegativeTemperatureKeepsItsSign) {
  auto readings = options().readings;
  readings.temperatureRaw = -1;  // -278.18665 degrees
  sim.setReadings(readings);
  EXPECT_THAT(velprobe({"read"}).out, HasSubstr("Temperature  -278.19  °C\n"));
  EXPECT_THAT(velprobe({"read", "--json"}).out, HasSubstr(R"("temperature_C":-278.18665,)"));
}

TEST_F(VelprobeTest, WatchPrintsOneLinePerReadingAtTheInterval) {
  struct Case {
    std::string format;
    std::size_t headerLines;
    std::string firstRow;  // regex of the first reading's line
  } cases[] = {
      {"", 1, R"([0-9:]{8}\.[0-9]{3} +3\.60 +3\.94 +5\.500 +0\.125 +2\.500 +100\.000)"},
      {"--json", 0, R"re(\{"time":"[^"]+","battery_V":3\.6,.*"axis3":100\.0\})re"},
      {"--csv", 1, R"([-0-9T:.]+Z,3\.6,3\.9436622,5\.5,0\.125,2\.5,100,,,,)"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    sim.clearReceived();
    std::vector<std::string> args = {"watch", "--count", "3", "--interval", "0.2"};
    if (!c.format.empty()) args.push_back(c.format);
    const Result r = velprobe(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto rows = lines(r.out);
    ASSERT_EQ(rows.size(), c.headerLines + 3) << r.out;
    for (std::size_t i = c.headerLines; i < rows.size(); ++i) EXPECT_THAT(rows[i], MatchesRegex(c.firstRow));
    EXPECT_EQ(r.out.find_first_of("\r\033"), std::string::npos) << "no live rate into a pipe";
    // Opening, then three rounds of four queries.
    const std::vector<std::string> round = {"#00?b*", "#00?t*", "#00?T*", "#00?A*"};
    std::vector<std::string> expected = {"#00?v*", "#00?P*"};
    for (int i = 0; i < 3; ++i) expected.insert(expected.end(), round.begin(), round.end());
    EXPECT_EQ(sim.frames(), expected);
    EXPECT_GE(r.elapsed, 400ms);  // two intervals between three readings
  }
  EXPECT_THAT(lines(velprobe({"watch", "-n", "1"}).out)[0],
              MatchesRegex(R"(Time +Battery \[V\] +Temperature \[°C\] +Total field +Axis 1 +Axis 2 +Axis 3)"));
}

TEST_F(VelprobeTest, WatchShowsALiveRateOnlyOnATerminal) {
  RunSetup terminal;
  terminal.stdoutTerminal = true;
  const Result r = velprobe({"watch", "-n", "3", "-i", "0.05"}, terminal);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.out, HasSubstr("  2 readings, "));
  EXPECT_THAT(r.out, HasSubstr("/s"));
  // The rate line is erased before each reading and at the end.
  EXPECT_EQ(r.out.substr(r.out.size() - 4), "\r\033[K");
  EXPECT_EQ(lines(r.out).size(), 4u);
}

// The frame each setting sends, and (where given) what it prints.
TEST_F(VelprobeTest, SettingsGoOutExactlyAsTypedAndReportTheirValue) {
  struct Case {
    std::vector<std::string> args;
    std::string frame, out;
  } cases[] = {
      {{"set-filter", "0"}, "#00f0*", ""},
      {{"set-filter", "7"}, "#00f7*", ""},
      {{"set-filter", "3"}, "#00f3*", "Filter set to 3.\n"},
      {{"set-filter", "3", "--json"}, "#00f3*", "{\"filter\":3}\n"},
      {{"set-filter", "3", "--csv"}, "#00f3*", "filter\n3\n"},
      {{"set-auto-off", "0"}, std::string("#00e 0*\0\0\0\0", 11), ""},
      {{"set-auto-off", "10800"}, "#00e 10800*", ""},
      {{"set-auto-off", "600"}, std::string("#00e 600*\0\0", 11), "Automatic switch-off time set to 600 s.\n"},
      {{"set-auto-off", "600", "--json"}, std::string("#00e 600*\0\0", 11), "{\"auto_off_s\":600}\n"},
      {{"set-auto-off", "600", "--csv"}, std::string("#00e 600*\0\0", 11), "auto_off_s\n600\n"},
      // Decimal text to hundredths without binary rounding: 0.29 * 100 in
      // floating point is 28.999..., 4.35 * 100 is 434.999...
      {{"set-frequency", "1.23"}, std::string("#00k 123*\0\0\0\0", 13), ""},
      {{"set-frequency", "0.29"}, std::string("#00k 29*\0\0\0\0\0", 13),
       "Frequency set to 0.29 (29 hundredths), confirmed by the probe.\n"},
      {{"set-frequency", "0.29", "--json"}, std::string("#00k 29*\0\0\0\0\0", 13),
       "{\"frequency\":0.29,\"frequency_hundredths\":29}\n"},
      {{"set-frequency", "0.29", "--csv"}, std::string("#00k 29*\0\0\0\0\0", 13),
       "frequency,frequency_hundredths\n0.29,29\n"},
      {{"set-frequency", "4.35"}, std::string("#00k 435*\0\0\0\0", 13), ""},
      {{"set-frequency", "0012.5"}, std::string("#00k 1250*\0\0\0", 13), ""},
      {{"set-frequency", ".5"}, std::string("#00k 50*\0\0\0\0\0", 13), ""},
      {{"set-frequency", "0"}, std::string("#00k 0*\0\0\0\0\0\0", 13), ""},
      {{"set-frequency", "99999.99"}, "#00k 9999999*", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    sim.clearReceived();
    if (c.args[0] == "set-frequency") {
      // An echo the probe would give: the nearest float, nudged up where
      // truncating it would lose the last hundredth.
      const int hundredths = std::stoi(c.frame.substr(5));
      auto readings = options().readings;
      float echo = static_cast<float>(hundredths / 100.0);
      if (std::trunc(echo * 100.0) < hundredths) echo = std::nextafter(echo, 1e9f);
      readings.frequencyEcho = echo;
      sim.setReadings(readings);
    }
    const Result r = velprobe(c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(sim.frames().size(), 3u);  // the opening's two, then the setting
    const auto received = sim.received();
    ASSERT_GE(received.size(), c.frame.size());
    EXPECT_EQ(std::string(received.end() - static_cast<long>(c.frame.size()), received.end()), c.frame);
    if (!c.out.empty()) EXPECT_EQ(r.out, c.out);
  }
}

// ---- Errors and exit statuses ---------------------------------------------

TEST_F(VelprobeTest, BadArgumentsAreUsageErrorsAndSendNothing) {
  struct Case {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{}, "no command given"},
      {{"status"}, "unknown command 'status'"},
      {{"info", "--verbose"}, "--verbose"},
      {{"info", "now"}, "not expected: now"},
      {{"read", "--count", "2"}, "not expected: 2 --count"},
      {{"info", "--json", "--csv"}, "exclude each other"},
      {{"info", "--model", "KV2"}, "first 4 characters"},
      {{"info", "--timeout", "0"}, "--timeout"},
      {{"info", "--timeout"}, "--timeout"},
      {{"watch", "--count", "0"}, "--count"},
      {{"watch", "--interval", "0.0001"}, "--interval"},
      {{"watch", "--interval", "-1"}, "--interval"},
      {{"set-filter"}, "N is required"},
      {{"set-filter", "8"}, "from 0 to 7, not '8'"},
      {{"set-filter", "-1"}, "from 0 to 7, not '-1'"},
      {{"set-filter", "2.0"}, "from 0 to 7"},
      {{"set-auto-off", "10801"}, "from 0 to 10800, not '10801'"},
      {{"set-frequency", "1.234"}, "at most 2 decimals"},
      {{"set-frequency", "100000"}, "from 0 to 99999.99"},
      {{"set-frequency", "99999999999999999999999"}, "from 0 to 99999.99"},
      {{"set-frequency", "-1.5"}, "cannot be negative"},
      {{"set-frequency", "1,5"}, "decimal point as '.'"},
      {{"set-frequency", "1e2"}, "a decimal number such as 1.23"},
      {{"set-frequency", "."}, "a decimal number such as 1.23"},
      {{"set-frequency", " 1"}, "a decimal number such as 1.23"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const Result r = velprobe(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_THAT(r.err, HasSubstr(c.message));
    EXPECT_THAT(r.err, HasSubstr("velprobe --help"));
    EXPECT_EQ(r.out, "");
  }
  const Result noPort = run({"info"});
  EXPECT_EQ(noPort.status, 2);
  EXPECT_THAT(noPort.err, HasSubstr("no port given"));
  EXPECT_TRUE(sim.received().empty());
}

TEST_F(VelprobeTest, PortsThatCannotBeOpenedSayWhy) {
  Result missing = run({"--port", "/dev/velprobe-test-no-such-port", "info"});
  EXPECT_EQ(missing.status, 3);
  EXPECT_THAT(missing.err, HasSubstr("no such device"));
  EXPECT_THAT(missing.err, HasSubstr("VEL_CreateProbe returned 2 (VEL_PORT_NOT_FOUND"));

  Result notSerial = run({"--port", "/dev/null", "info"});
  EXPECT_EQ(notSerial.status, 3);
  EXPECT_THAT(notSerial.err, HasSubstr("VEL_CreateProbe returned 9 (VEL_PORT_SETUP"));

  HANDLE held = INVALID_HANDLE_VALUE;
  ASSERT_EQ(VEL_CreateProbe("KV21", &held, port.c_str()), VEL_OK);
  Result busy = velprobe({"info"});
  VEL_RemoveProbe(held);
  EXPECT_EQ(busy.status, 3);
  EXPECT_THAT(busy.err, HasSubstr("busy"));
  EXPECT_THAT(busy.err, HasSubstr("velprobe_tests (PID " + std::to_string(::getpid()) + ")"));
  EXPECT_THAT(busy.err, HasSubstr("VEL_CreateProbe returned 7 (VEL_ACCESS_DENIED"));
}

TEST_F(VelprobeTest, PortWithoutPermissionPointsToTheDialoutGroup) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root to run velprobe as another user";
  RunSetup nobody;
  nobody.uid = 65534;
  const Result r = velprobe({"info"}, nobody);
  if (r.status == 126 || r.status == 127) GTEST_SKIP() << "velprobe cannot run as uid 65534 here";
  EXPECT_EQ(r.status, 3);
  EXPECT_THAT(r.err, HasSubstr("permission denied"));
  EXPECT_THAT(r.err, HasSubstr("VEL_CreateProbe returned 7"));
  EXPECT_THAT(r.err, HasSubstr("usermod -aG dialout"));
}

TEST_F(VelprobeTest, ProbeFailuresNameTheCallAndCloseThePort) {
  auto overRange = options().readings;
  overRange.totalFieldSquared = 250000.0f;  // 500, above the limit of 200
  struct Case {
    std::string name;
    std::function<void(Simulator&)> script;
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {"wrong model", [](Simulator&) {}, {"--model", "KV99", "info"},
       "VEL_CreateProbe returned 14 (VEL_WRONG_MODEL"},
      {"silent probe", [](Simulator& s) { s.setFault("v", Fault{FaultKind::Silence}); }, {"info"},
       "VEL_CreateProbe returned 8 (VEL_TIMEOUT"},
      {"silent serial", [](Simulator& s) { s.setFault("s", Fault{FaultKind::Silence}); }, {"info"},
       "VEL_SerialNumber returned 8 (VEL_TIMEOUT"},
      {"silent battery", [](Simulator& s) { s.setFault("b", Fault{FaultKind::Silence}); }, {"read", "--json"},
       "VEL_ReadBattery returned 8 (VEL_TIMEOUT"},
      {"wrong letter", [](Simulator& s) { s.setFault("T", Fault{FaultKind::WrongLetter, 'X'}); }, {"read"},
       "VEL_ReadTotalField returned 4 (VEL_WRONG_REPLY"},
      {"over range", [&](Simulator& s) { s.setReadings(overRange); }, {"read", "--csv"},
       "VEL_ReadTotalField returned 15 (VEL_ABOVE_LIMIT"},
      {"filter refused", [](Simulator& s) { s.setReply("f", {'x'}); }, {"set-filter", "1"},
       "VEL_SetFilter returned 13 (VEL_NOT_CONFIRMED"},
      {"frequency echo off", [](Simulator& s) {
         auto r = options().readings;
         r.frequencyEcho = 1.2299999f;  // truncates to 122 hundredths
         s.setReadings(r);
       },
       {"set-frequency", "1.23"}, "VEL_SetFrequency returned 13 (VEL_NOT_CONFIRMED"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    sim.clearFaults();
    sim.clearReplies();
    sim.setReadings(options().readings);
    c.script(sim);
    const Result r = velprobe(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr(c.message));
    EXPECT_EQ(r.out, "") << "no partial result";
    EXPECT_LT(r.elapsed, 10s);
    EXPECT_FALSE(lockFileExists(sim.ptsPath())) << "port left open";
  }
}

TEST_F(VelprobeTest, WatchStopsAtTheFirstFailedReading) {
  sim.pushFault("A", Fault{FaultKind::None});
  sim.pushFault("A", Fault{FaultKind::Silence});
  const Result r = velprobe({"watch", "--count", "5", "--interval", "0", "--csv", "--stop-on-error"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(lines(r.out).size(), 2u) << "the header and the first reading";
  EXPECT_THAT(r.err, HasSubstr("VEL_ReadAxisField returned 8 (VEL_TIMEOUT"));
}

// ---- Stopping watch ---------------------------------------------------------

TEST_F(VelprobeTest, SignalsEndWatchAndCloseThePort) {
  for (int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    // A long interval: the signal has to wake the sleep.
    Child child({"--port", port, "watch", "--interval", "60", "--json"});
    ASSERT_TRUE(child.waitForLines(1, 10s));
    child.signal(signal);
    const auto signalled = std::chrono::steady_clock::now();
    const Result r = child.finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_LT(std::chrono::steady_clock::now() - signalled, 3s);
    EXPECT_EQ(lines(r.out).size(), 1u);
    EXPECT_EQ(r.out.back(), '\n');
    EXPECT_FALSE(lockFileExists(sim.ptsPath()));
  }
}

TEST_F(VelprobeTest, WatchEndsQuietlyWhenItsReaderGoesAway) {
  Child child({"--port", port, "watch", "--interval", "0.05"});
  ASSERT_TRUE(child.waitForLines(2, 10s));
  child.closeStdout();
  const Result r = child.finish(10s);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, MatchesRegex("velprobe: watch: [0-9]+ readings .*, no errors\n"));
  EXPECT_FALSE(lockFileExists(sim.ptsPath()));
}

TEST(VelprobeHelp, DocumentsEveryCommandAndExitStatus) {
  const Result r = run({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* word : {"info", "read", "watch", "set-frequency", "set-filter", "set-auto-off", "--json",
                           "--csv", "--interval", "--count", "--timeout", "--model", "dialout", "\n  0 ",
                           "\n  1 ", "\n  2 ", "\n  3 ", "\n  130 "})
    EXPECT_THAT(r.out, HasSubstr(word));
}

}  // namespace
}  // namespace velprobe_test
