// velprobe end to end: the real binary against a simulated probe.
#include <VEL_KV21X.h>
#include <gmock/gmock.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <kv210/simulator.h>
#include <signal.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>

#include "child.h"
#include "../support/other_user.h"


namespace velprobe_test {
namespace {

using kv210::sim::Fault;
using kv210::sim::FaultKind;
using kv210::sim::Simulator;
using ::testing::AnyOf;
using ::testing::ContainsRegex;
using ::testing::HasSubstr;
using ::testing::MatchesRegex;
using ::testing::Not;

std::size_t lines(const std::string& s) { return static_cast<std::size_t>(std::count(s.begin(), s.end(), '\n')); }

// A lock file left behind means the port was not closed through the library.
bool lockFileExists(const Simulator& s) {
  return ::access(("/var/lock/LCK..pts_" + s.ptsPath().substr(9)).c_str(), F_OK) == 0;
}

Simulator::Options options(bool paced = false) {
  Simulator::Options o;
  o.identity.serial = std::string("04\"4,K\\1\x01\xff", 10);
  o.identity.name = std::string("Lab 7\0", 6);
  o.identity.calibrationDate = " 7/12/26";
  o.readings.totalFieldSquared = 30.25f;
  o.readings.axis[0] = 0.125f;
  o.readings.axis[1] = 2.5f;
  o.readings.axis[2] = 100.0f;
  o.pace9600 = paced;
  return o;
}

class VelprobeTest : public ::testing::Test {
 protected:
  Simulator sim{options()};
  std::string port = sim.devicePath();

  Result velprobe(std::vector<std::string> args) {
    args.insert(args.begin(), {"--port", port});
    return run(args);
  }
};

// ---- Output of each command in each format --------------------------------

TEST_F(VelprobeTest, InfoLabelsAndEscapesTheProbeTextsInEveryFormat) {
  struct Case {
    std::string format, expected;
  } cases[] = {
      {"",  // the model of the version reply, the name of the data block without its NUL
       "Model             KV210\nFirmware          1.10 07/10\nSerial number     04\"4,K\\\\1\\x01\\xff\n"
       "Probe name        Lab 7\nCalibration date   7/12/26\n"},
      {"--json", R"({"model":"KV210","firmware":"1.10 07/10","serial_number":"04\"4,K\\1\u0001\u00ff",)"
                 R"("name":"Lab 7\u0000","calibration_date":" 7/12/26"})"
                 "\n"},
      {"--csv", "model,firmware,serial_number,name,calibration_date\n"
                R"(KV210,1.10 07/10,"04""4,K\\1\x01\xff",Lab 7\x00," 7/12/26")"
                "\n"},
  };
  for (const Case& c : cases) {
    const Result r = velprobe({"info", c.format.empty() ? "--model=KV210" : c.format});  // as info shows it
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.expected);
  }
}

TEST_F(VelprobeTest, ReadGivesUnitsForPeopleAndExactFloatsForMachines) {
  EXPECT_THAT(velprobe({"read"}).out,
              MatchesRegex("Time         20[0-9]{2}-[0-9]{2}-[0-9]{2} [0-9:]{8}\\.[0-9]{3}\n"
                           "Battery        3.60  V\nTemperature    3.94  °C\nTotal field    5.500\n"
                           "Axis 1         0.125\nAxis 2         2.500\nAxis 3       100.000\n"));
  EXPECT_THAT(velprobe({"read", "--csv"}).out,
              MatchesRegex("time,battery_V,temperature_C,total_field,axis1,axis2,axis3\n"
                           R"([-0-9T:.]+Z,3\.6,3\.9436622,5\.5,0\.125,2\.5,100)"
                           "\n"));
}

TEST_F(VelprobeTest, WatchPrintsOneLinePerReadingAtTheInterval) {
  for (const std::string format : {"--json", ""}) {
    sim.clearReceived();
    const auto started = std::chrono::steady_clock::now();
    const Result r = velprobe({"watch", "--count", "3", "--interval", "0.2", format.empty() ? "-i0.2" : format});
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(lines(r.out), format.empty() ? 4u : 3u) << r.out;
    EXPECT_THAT(r.out, ContainsRegex(
                           format.empty() ? "\n[0-9:]{8}\\.[0-9]{3} +3\\.60 +3\\.94 +5\\.500 "
                                            "+0\\.125 +2\\.500 +100\\.000\n$"
                                          : R"re(\{"time":"20[0-9-]{8}T[0-9:]{8}\.[0-9]{3}Z","battery_V":3\.6,)re"
                                            R"re("temperature_C":3\.9436622,"total_field":5\.5,)re"
                                            R"re("axis1":0\.125,"axis2":2\.5,"axis3":100\})re"));
    EXPECT_EQ(r.out.find_first_of("\r\033"), std::string::npos) << "no live rate into a pipe";
    EXPECT_THAT(r.err, MatchesRegex("velprobe: watch: 3 readings in .*, no errors\n"));
    std::vector<std::string> expected = {"#00?v*", "#00?P*"};  // opening, then three rounds
    for (int i = 0; i < 12; ++i) expected.push_back(std::string("#00?") + "btTA"[i % 4] + "*");
    EXPECT_EQ(sim.frames(), expected);
    EXPECT_GE(std::chrono::steady_clock::now() - started, 400ms);  // two intervals between three readings
  }
}

TEST_F(VelprobeTest, WatchShowsALiveRateOnlyOnATerminal) {
  const Result r = shell("script -qfec '\"$VELPROBE\" --port " + port + " watch -n 3 -i 0.05' /dev/null");
  ASSERT_EQ(r.status, 0) << r.out;
  EXPECT_THAT(r.out, ContainsRegex("  2 readings, [0-9.]+/s  \\(Ctrl-C stops\\)\r\033\\[K"));
  EXPECT_THAT(r.out, ContainsRegex("\r\033\\[Kvelprobe: watch: 3 readings"));  // erased before the summary
}

// The frame each setting sends, and what it prints.
TEST_F(VelprobeTest, SettingsGoOutExactlyAsTypedAndReportTheirValue) {
  struct Case {
    std::vector<std::string> args;
    std::string frame, out;
  } cases[] = {
      {{"set-filter", "7"}, "#00f7*", "Filter set to 7.\n"},
      {{"set-filter", "3", "--json"}, "#00f3*", "{\"filter\":3}\n"},
      {{"set-auto-off", "0"}, std::string("#00e 0*\0\0\0\0", 11), "Automatic switch-off time set to 0 s.\n"},
      {{"set-auto-off", "010800", "--csv"}, "#00e 10800*", "auto_off_s\n10800\n"},  // not octal
      // Decimal text to hundredths without binary rounding: 0.29 * 100 in
      // floating point is 28.999..., 4.35 * 100 is 434.999...
      {{"set-frequency", "0.29"}, std::string("#00k 29*\0\0\0\0\0", 13),
       "Frequency set to 0.29 (29 hundredths), confirmed by the probe.\n"},
      {{"set-frequency", "4.35", "--json"}, std::string("#00k 435*\0\0\0\0", 13),
       "{\"frequency\":4.35,\"frequency_hundredths\":435}\n"},
      {{"set-frequency", ".5", "--csv"}, std::string("#00k 50*\0\0\0\0\0", 13),
       "frequency,frequency_hundredths\n0.50,50\n"},
      {{"set-frequency", "99999.99", "--json"}, "#00k 9999999*",
       "{\"frequency\":99999.99,\"frequency_hundredths\":9999999}\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    sim.clearReceived();
    const Result r = velprobe(c.args);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, c.out);
    const auto received = sim.received();
    ASSERT_EQ(sim.frames().size(), 3u);  // the opening's two, then the setting
    EXPECT_EQ(std::string(received.end() - static_cast<long>(c.frame.size()), received.end()), c.frame);
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
      {{"info", "--json", "--csv"}, "exclude each other"},
      {{"info", "--model", "KV2"}, "first 4 characters"},
      {{"info", "--timeout", "0"}, "from 1 to 3600000, not '0'"},
      {{"set-filter", "-1"}, "from 0 to 7, not '-1'"},
      {{"set-filter", "0x7"}, "from 0 to 7, not '0x7'"},
      {{"set-frequency", "1.234"}, "at most 2 decimals"},
      {{"set-frequency", "99999999999999999999999"}, "from 0 to 99999.99"},
      {{"set-frequency", "-1.5"}, "cannot be negative"},
      {{"set-frequency", "1,5"}, "decimal point as '.'"},
  };
  for (const Case& c : cases) {
    const Result r = velprobe(c.args);
    EXPECT_EQ(r.status, 2) << ::testing::PrintToString(c.args);
    EXPECT_THAT(r.err, HasSubstr(c.message));
    EXPECT_THAT(r.err, HasSubstr("velprobe --help"));
  }
  const Result noPort = run({"info"});
  EXPECT_EQ(noPort.status, 2);
  EXPECT_THAT(noPort.err, HasSubstr("--port auto"));
  EXPECT_TRUE(sim.received().empty());
}

// Why a port cannot be opened, in the user's terms: missing; held, with the
// holder named; the system console; closed to the user, where joining the
// device's group helps and where it cannot (another user's pseudo-terminal).
TEST_F(VelprobeTest, PortsThatCannotBeOpenedSayWhy) {
  Simulator closed;
  const group* dialout = ::getgrnam("dialout");
  ASSERT_NE(dialout, nullptr);
  ASSERT_EQ(::chown(closed.ptsPath().c_str(), 0, dialout->gr_gid) | ::chmod(closed.ptsPath().c_str(), 0660), 0);
  std::string console;
  std::ifstream("/sys/class/tty/console/active") >> console;
  const std::string pid = std::to_string(::getpid());
  struct Row {
    std::string port;
    bool asNobody;
    std::string message;
  } rows[] = {
      {"/dev/velprobe-test-no-such-port", false, "no such device\n  VEL_CreateProbe returned 2 (VEL_PORT_NOT_FOUND"},
      {port, false, "busy, in use by velprobe_tests (PID " + pid + ")\n  VEL_CreateProbe returned 7"},
      {"/dev/" + console, false, "busy, in use by the system console\n  VEL_CreateProbe returned 7"},
      {closed.ptsPath(), true, "no permission. Your user must be in the 'dialout' group: "
                               "sudo usermod -aG dialout nobody, then log in again\n  VEL_CreateProbe returned 7"},
      {sim.ptsPath(), true, "no permission: it belongs to a program of another user (root); "
                            "only root may open it\n  VEL_CreateProbe returned 7"},
  };
  HANDLE held = INVALID_HANDLE_VALUE;
  ASSERT_EQ(VEL_CreateProbe("KV21", &held, port.c_str()), VEL_OK);
  const std::string velprobe = kv210::test::copyForOtherUsers(VELPROBE_PATH);  // the library's core is linked in
  for (const Row& row : rows) {
    SCOPED_TRACE(row.port);
    if (row.port == "/dev/" && console.empty()) continue;  // no console
    if (row.asNobody && ::geteuid() != 0) continue;  // needs root to run velprobe as another user
    if (row.asNobody) VEL_RemoveProbe(std::exchange(held, INVALID_HANDLE_VALUE));
    const Result r = row.asNobody ? shell("setpriv --reuid=65534 --regid=65534 --clear-groups " + velprobe + " -p " +
                                          row.port + " info")
                                  : run({"--port", row.port, "info"});
    EXPECT_EQ(r.status, 3);
    EXPECT_THAT(r.err, HasSubstr("cannot open port " + row.port + ": " + row.message));
    EXPECT_THAT(r.err, AnyOf(Not(HasSubstr("dialout")), HasSubstr("'dialout' group"))) << "dialout only where it helps";
  }
  if (held != INVALID_HANDLE_VALUE) VEL_RemoveProbe(held);
}

TEST_F(VelprobeTest, ProbeFailuresNameTheCallAndCloseThePort) {
  struct Case {
    std::function<void(Simulator&)> script;
    std::vector<std::string> args;
    std::string message, out;
  } cases[] = {
      // A refused model says what the probe reported, and what was compared.
      {[](Simulator&) {}, {"--model", "KV999", "info"},
       "not a model beginning with 'KV99': it is a KV210 (firmware 1.10 07/10); --model KV21 accepts it\n"
       "  VEL_CreateProbe returned 14 (VEL_WRONG_MODEL"},
      {[](Simulator& s) { s.setFault("v", Fault{FaultKind::Silence}); }, {"info"},
       "VEL_CreateProbe returned 8 (VEL_TIMEOUT"},
      {[](Simulator& s) { s.setFault("T", Fault{FaultKind::WrongLetter, 'X'}); }, {"read"},
       "VEL_ReadTotalField returned 4 (VEL_WRONG_REPLY"},
      {[](Simulator& s) { s.setReadings({0x0300, 640, 25.0f, {1.0f, 500.0f, 3.0f}}); },  // above the limit of 200
       {"watch", "--stop-on-error", "--csv"}, "VEL_ReadAxisField returned 15 (VEL_ABOVE_LIMIT",
       "time,battery_V,temperature_C,total_field,axis1,axis2,axis3,over_range,error,gap_s,note\n"},
      {[](Simulator& s) { s.setReply("f", {'x'}); }, {"set-filter", "1"},
       "VEL_SetFilter returned 13 (VEL_NOT_CONFIRMED"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    sim.clearFaults();
    sim.clearReplies();
    sim.setReadings(options().readings);
    c.script(sim);
    const Result r = velprobe(c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_THAT(r.err, HasSubstr(c.message));
    EXPECT_EQ(r.out, c.out) << "no partial result";
    EXPECT_FALSE(lockFileExists(sim)) << "port left open";
  }
}

// ---- watch over a day -------------------------------------------------------

// An over-range value, a time-out and a hang-up each become a row of their
// own; a new simulator on the same link is found and the log resumes.
TEST(VelprobeWatch, KeepsLoggingThroughFailuresAndALostPort) {
  const std::string link = ::testing::TempDir() + "velprobe-watch-" + std::to_string(::getpid());
  auto paced = options(true);
  paced.linkPath = link;
  auto first = std::make_unique<Simulator>(paced);
  first->pushFault("b", Fault{});  // reading 1 as it is, reading 2 without a battery reply
  first->pushFault("b", Fault{FaultKind::Silence});
  first->pushFault("T", Fault{});  // reading 3: a total field of 500, above the limit of 200
  first->pushFault("T", Fault{FaultKind::Garbage, '?', 0, {}, {'T', 0x00, 0x24, 0x74, 0x48}});
  Child child({VELPROBE_PATH, "--port", link, "watch", "--interval", "0.2", "--csv"});
  ASSERT_TRUE(child.waitForLines(4, 20s));
  first->hangUp();
  first.reset();
  Simulator second(paced);
  ASSERT_TRUE(child.waitForLines(7, 20s));
  child.signal(SIGINT);
  const Result r = child.finish();
  EXPECT_EQ(r.status, 0) << r.err;
  const std::regex rows(
      "time,battery_V,temperature_C,total_field,axis1,axis2,axis3,over_range,error,gap_s,note\n"
      "[-0-9T:.]+Z,3.6,3.9436622,5.5,0.125,2.5,100,,,,\n"
      "[-0-9T:.]+Z,,,,,,,,8,,VEL_ReadBattery returned 8 \\(VEL_TIMEOUT\\)\n"
      "[-0-9T:.]+Z,3.6,3.9436622,,0.125,2.5,100,total_field,,,\n"
      "([-0-9T:.]+Z,3.6,[^\n]*,,,,\n)*"
      "[-0-9T:.]+Z,,,,,,,,,[0-9.]+,\"gap: no readings for [0-9.]+ s, the port was lost "
      "\\(VEL_[A-Za-z]+ returned 1[018] \\(VEL_[A-Z_]+\\)\\)\"\n"
      "([-0-9T:.]+Z,3.6,3.9436622,5.5,0.125,2.5,100,,,,\n)+");
  EXPECT_TRUE(std::regex_match(r.out, rows)) << r.out;
  EXPECT_THAT(r.err, ContainsRegex("velprobe: lost " + link + ": .*; trying to reopen it every 2 s\n"
                                   "velprobe: " + link + " answers again after [0-9.]+ s\n"
                                   "velprobe: watch: [0-9]+ readings in [0-9.]+ s \\([0-9.]+/s\\), 1 over range, "
                                   "1 error: 1 VEL_TIMEOUT \\(8\\), 1 gap of [0-9.]+ s in all\n$"));
}

TEST(VelprobeWatch, InfoThenReadTenTimesAtLineSpeed) {
  Simulator paced(options(true));
  for (int i = 0; i < 10; ++i)
    for (const char* command : {"info", "read"}) {
      const Result r = run({"--port", paced.devicePath(), command});
      EXPECT_EQ(r.status, 0) << "round " << i << " " << command << ": " << r.err;
    }
}

TEST_F(VelprobeTest, SignalsEndWatchAndCloseThePort) {
  for (int signal : {SIGINT, SIGTERM}) {
    // A long interval: the signal has to wake the sleep.
    Child child({VELPROBE_PATH, "--port", port, "watch", "--interval", "60", "--json"});
    ASSERT_TRUE(child.waitForLines(1, 10s));
    child.signal(signal);
    const Result r = child.finish(3s);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(lines(r.out), 1u);
    EXPECT_FALSE(lockFileExists(sim));
  }
}

TEST_F(VelprobeTest, WatchEndsQuietlyWhenItsReaderGoesAway) {
  const Result r = shell("\"$VELPROBE\" --port " + port + " watch --interval 0.05 | head -n 2 >/dev/null");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_THAT(r.err, MatchesRegex("velprobe: watch: [0-9]+ readings .*, no errors\n"));
  EXPECT_FALSE(lockFileExists(sim));
}

// ---- Finding the probe -------------------------------------------------------

// ports and --port auto in a process namespace of their own: only the
// simulators started there are seen (not those of tests running beside).
TEST(VelprobePorts, ListAndFindTheSimulatedProbes) {
  if (std::system("unshare -fp --mount-proc true") != 0) GTEST_SKIP() << "needs root for a process namespace";
  const std::string sim = std::string("\"") + KV210_SIM_PATH + "\" --fast --daemon >/dev/null";
  const std::string pty = "/dev/pts/[0-9]+ +pty +- +- +pseudo-terminal of kv210-sim \\(PID [0-9]+\\) +- +yes +";
  struct Case {
    std::string setup, command;
    int status;
    std::vector<std::string> expected;  // regexes in standard output, then error, in any order
  } cases[] = {
      // Nothing is sent without --probe; held by a shell without any lock file.
      {sim + " --verbose 2>trace; " + sim + " --link a; exec 3<>a", "ports; echo sent: $(grep -c frame trace)", 0,
       {pty + "free +-\n", pty + "held by bash \\(PID [0-9]+\\) +-\n", "sent: 0\n"}},
      {sim + "; " + sim + " --model ZQ210 --link a; exec 3<>a", "ports --probe --json", 0,
       {R"("state":"held","held_by":\[\{"pid":[0-9]+,"program":"bash"\}\],"probe":null,)",
        R"("probe":\{"model":"KV210","firmware":"1.10 07/10","serial_number":"0424K10123",)"}},
      {sim + "; " + sim + " --model ZQ210 --serial 1234567890", "--port auto --model ZQ21 info", 0,
       {"^Model             ZQ210\n", "Serial number     1234567890\n", "velprobe: the probe answers on /dev/pts/"}},
      {sim + " --model ZQ210", "--port auto info", 3,
       {"velprobe: --port auto: no KV21 probe answers on any port\n",
        "\n  /dev/pts/[0-9]+: ZQ210 1.10 07/10 0424K10123 \\(not a KV21 model\\)\n"}},
      {sim + "; " + sim, "--port auto read", 3, {"velprobe: --port auto: 2 probes answer; choose one with --port"}},
      // serve finds it as every command does and serves it; SIGTERM frees the port.
      {sim + " --model ZQ210 --serial 1234567890; \"" + VELPROBE_PATH + "\" --model ZQ21 serve --port auto "
             "--listen 127.0.0.1:0 >url & until curl -sf \"$(head -1 url)metrics\" | grep '^kv210_up.* 1$'; "
             "do sleep 0.2; done; kill $!; wait $!",
       "ports", 0,
       {"^kv210_up\\{port=\"/dev/pts/[0-9]+\",serial=\"1234567890\"\\} 1\n", pty + "free +-\n",
        "velprobe: the probe answers on /dev/pts/"}},
      {sim + " --model ZQ210", "serve --port auto", 3, {"velprobe: --port auto: no KV21 probe answers on any port\n"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.command);
    const std::string script = "cd \"$(mktemp -d)\" && trap 'rm -r \"$PWD\"' EXIT && " + c.setup + " && \"" +
                               VELPROBE_PATH + "\" " + c.command;
    const Result r = Child({"unshare", "-fp", "--mount-proc", "bash", "-c", script}).finish();
    EXPECT_EQ(r.status, c.status) << r.err;
    for (const std::string& expected : c.expected) EXPECT_THAT(r.out + r.err, ContainsRegex(expected));
  }
}

}  // namespace
}  // namespace velprobe_test
