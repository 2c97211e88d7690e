// Runs the Windows test program (wine_test.c, linked with VEL_KV21X.dll) under
// Wine against a simulated probe whose pty is mapped as COM5 in the Wine
// prefix, one scenario per run, and checks what the probe received byte for
// byte. scripts/test-windows builds the DLLs and test programs, prepares the
// prefix and sets:
//   WINEPREFIX               the prefix (its dosdevices/com5 is replaced)
//   KV210_WINE_TEST_EXE64    64-bit wine_test.exe, VEL_KV21X.dll beside it
//   KV210_WINE_TEST_EXE32    32-bit one (optional)
//   WINE                     the wine launcher (default: wine)
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

#include "kv210/simulator.h"
#include "wine_probe.h"

namespace {

using namespace std::string_literals;
using kv210::sim::Bytes;
using kv210::sim::FaultKind;
using kv210::sim::Simulator;

std::string Env(const char* name, const char* fallback = "") {
  const char* value = std::getenv(name);
  return value && *value ? value : fallback;
}

struct WineRun {
  bool finished = false;  // false: killed after the time limit
  int exitCode = -1;
  std::string output;     // stdout and stderr together
};

// Runs `wine program args` for at most `seconds`. Output goes to a file, not a
// pipe: Wine's helper processes inherit the descriptors and outlive the program.
WineRun RunUnderWine(const std::string& program, const std::string& args, int seconds) {
  char outputPath[] = "/tmp/kv210-wine-XXXXXX";
  ::close(mkstemp(outputPath));
  const std::string command = "timeout -k 5 " + std::to_string(seconds) + " '" + Env("WINE", "wine") + "' '" +
                              program + "' " + args + " </dev/null >" + outputPath + " 2>&1";
  const int status = std::system(command.c_str());
  WineRun run;
  run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.finished = run.exitCode != 124 && run.exitCode != 137;  // timeout's codes for a run it ended
  std::ifstream in(outputPath, std::ios::binary);
  run.output = std::string(std::istreambuf_iterator<char>(in), {});
  unlink(outputPath);
  return run;
}

// Starts the prefix's wineserver up front, persistent for a while, with its
// output discarded: it would otherwise inherit the first program's output
// file, and it reports to it each time a simulated device hangs up.
class WineServer : public ::testing::Environment {
 public:
  void SetUp() override {
    // It detaches itself; an already running one just exits.
    [[maybe_unused]] const int status =
        std::system(("'" + Env("WINESERVER", "wineserver") + "' -p10 </dev/null >/dev/null 2>&1").c_str());
  }
};

std::string ExeFor(int bits) { return Env(bits == 64 ? "KV210_WINE_TEST_EXE64" : "KV210_WINE_TEST_EXE32"); }

// Why programs of this width cannot run here, or nothing. Debian's wine64
// alone starts 32-bit programs in a wow64 mode that fails without wine32, and
// exits 0 without output; so the probe looks for the program's own answer.
std::optional<std::string> CannotRun(int bits) {
  static std::map<int, std::optional<std::string>> known;
  if (auto it = known.find(bits); it != known.end()) return it->second;
  const std::string width = std::to_string(bits) + "-bit";
  if (ExeFor(bits).empty()) return known[bits] = "no " + width + " test program given";
  const WineRun run = RunUnderWine(ExeFor(bits), WP_PORT " arch", 60);
  if (run.output.find("wine_test: " + width) != std::string::npos) return known[bits] = std::nullopt;
  return known[bits] = "Wine here cannot run " + width +
                       " Windows programs (for 32-bit, Debian needs wine32:i386); it printed: " +
                       (run.output.empty() ? "nothing"s : run.output);
}

Simulator::Options ProbeOptions() {
  Simulator::Options options;
  options.identity.model = WP_MODEL;
  options.identity.release = WP_RELEASE;
  options.identity.firmwareDate = WP_FIRMWARE_DATE;
  options.identity.serial = WP_SERIAL;
  options.identity.calibrationDate = WP_CALIBRATION_DATE;
  options.identity.name = WP_NAME;
  options.identity.fieldLimit = WP_FIELD_LIMIT;
  options.readings = {WP_BATTERY_RAW, WP_TEMPERATURE_RAW, WP_TOTAL_FIELD_SQUARED,
                      {WP_AXIS_1, WP_AXIS_2, WP_AXIS_3}, {}};
  options.linkPath = Env("WINEPREFIX") + "/dosdevices/com5";
  return options;
}

kv210::sim::Fault Faulty(FaultKind kind, char letter = '?', std::size_t count = 0) {
  return {kind, letter, count, {}, {}};
}

const std::string kOpen = "#00?v*#00?P*";

struct Scenario {
  const char* name;                                              // wine_test's scenario
  std::map<std::string, kv210::sim::Fault> faults;               // lasting faults by command
  std::string received;                                          // every byte the probe must have received
  std::function<void(const Simulator&)> after = [](const Simulator&) {};
};

void PrintTo(const Scenario& scenario, std::ostream* os) { *os << scenario.name; }

const Scenario kScenarios[] = {
    {"identity", {}, kOpen + "#00?v*" + "#00?s*"},
    {"readings", {}, kOpen + "#00?b*#00?t*#00?T*#00?A*"},
    {"settings", {},
     // Fixed-length frames, NUL-padded; the refused values send nothing.
     kOpen + "#00k 123*\0\0\0\0"s + "#00k -5000*\0\0"s + "#00f3*" + "#00f7*" + "#00e 0*\0\0\0\0"s + "#00e 10800*",
     [](const Simulator& sim) {
       EXPECT_EQ(sim.frequencyHundredths(), -5000);
       EXPECT_EQ(sim.filter(), 7);
       EXPECT_EQ(sim.autoOffSeconds(), 10800);
     }},
    {"timeout",
     {{"b", Faulty(FaultKind::Silence)}, {"s", Faulty(FaultKind::Truncate, '?', 5)},
      {"A", Faulty(FaultKind::Truncate, '?', 12)}},
     kOpen + "#00?b*#00?s*#00?A*#00?t*"},
    {"wrong-letter",
     {{"s", Faulty(FaultKind::WrongLetter, 'S')}, {"T", Faulty(FaultKind::WrongLetter, 'x')},
      {"k", Faulty(FaultKind::WrongLetter, 'K')}, {"f", Faulty(FaultKind::WrongLetter, 'F')}},
     kOpen + "#00?s*#00?T*" + "#00k 123*\0\0\0\0"s + "#00f3*" + "#00?b*"},
    // A missing port and invalid handles send nothing; the wrong model stops
    // after the version query.
    {"open-errors", {}, "#00?v*" + kOpen},
};

class WineScenario : public ::testing::TestWithParam<std::tuple<int, Scenario>> {};

TEST_P(WineScenario, RunsAgainstTheSimulatedProbe) {
  const auto& [bits, scenario] = GetParam();
  ASSERT_FALSE(Env("WINEPREFIX").empty()) << "run through scripts/test-windows (WINEPREFIX unset)";
  if (auto reason = CannotRun(bits)) {
    // The 64-bit DLL is what these tests exist for; only 32-bit may be missing.
    if (bits == 64) FAIL() << *reason;
    GTEST_SKIP() << *reason;
  }

  Simulator sim(ProbeOptions());
  for (const auto& [command, fault] : scenario.faults) sim.setFault(command, fault);
  const WineRun run = RunUnderWine(ExeFor(bits), WP_PORT " "s + scenario.name, 30);

  ASSERT_TRUE(run.finished) << "wine_test " << scenario.name << " hung; output:\n" << run.output;
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find("wine_test "s + scenario.name + ": "), std::string::npos) << "no summary:\n" << run.output;
  const Bytes received = sim.received();
  EXPECT_EQ(std::string(received.begin(), received.end()), scenario.received);
  scenario.after(sim);

  // Checks the program could not make here (Wine's limits) are reported, not hidden.
  std::istringstream lines(run.output);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("skip ", 0) == 0) std::cout << "[ NOTE     ] " << bits << "-bit: " << line << '\n';
}

std::string ScenarioName(const ::testing::TestParamInfo<WineScenario::ParamType>& info) {
  std::string name = "win" + std::to_string(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
  std::replace(name.begin(), name.end(), '-', '_');
  return name;
}

INSTANTIATE_TEST_SUITE_P(Wine, WineScenario,
                         ::testing::Combine(::testing::Values(64, 32), ::testing::ValuesIn(kScenarios)), ScenarioName);

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new WineServer);
  return RUN_ALL_TESTS();
}
