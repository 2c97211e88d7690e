// Runs the Windows test program (wine_test.c, linked with VEL_KV21X.dll) under
// Wine against a simulated probe whose pty is mapped as COM5 in the Wine
// prefix, one scenario per run, and checks what the probe received byte for
// byte. scripts/test-windows builds the DLLs and test programs, prepares the
// prefix and sets:
//   WINEPREFIX               the prefix (its dosdevices/com5 is replaced)
//   KV210_WINE_TEST_EXE64    64-bit wine_test.exe, VEL_KV21X.dll beside it
//   KV210_WINE_TEST_EXE32    32-bit one (optional)
//   WINE                     the wine launcher (default: wine)
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "kv210/simulator.h"
#include "wine_probe.h"

extern char** environ;

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using kv210::sim::Bytes;
using kv210::sim::Fault;
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

// Runs `wine program args...`. Output goes to a file, not a pipe: Wine's helper
// processes inherit the descriptors and outlive the program.
WineRun RunUnderWine(const std::string& program, const std::vector<std::string>& args,
                 std::chrono::seconds limit) {
  char outputPath[] = "/tmp/kv210-wine-XXXXXX";
  const int outputFd = mkstemp(outputPath);
  if (outputFd < 0) return {false, -1, "cannot create an output file in /tmp\n"};
  std::vector<std::string> argv{Env("WINE", "wine"), program};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outputFd, 1);
  posix_spawn_file_actions_adddup2(&actions, outputFd, 2);
  pid_t pid = -1;
  const int spawned = posix_spawnp(&pid, cargv[0], &actions, nullptr, cargv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  close(outputFd);

  WineRun run;
  if (spawned == 0) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
      const pid_t done = waitpid(pid, &status, WNOHANG);
      if (done == pid) {
        run.finished = true;
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        break;
      }
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        break;
      }
      std::this_thread::sleep_for(10ms);
    }
  } else {
    run.output = "cannot start " + argv[0] + "\n";
  }
  std::ifstream in(outputPath, std::ios::binary);
  run.output += std::string(std::istreambuf_iterator<char>(in), {});
  unlink(outputPath);
  return run;
}

// Starts the prefix's wineserver up front, persistent for a while, with its
// output discarded: it would otherwise inherit the first program's output
// file, and it reports to it each time a simulated device hangs up.
class WineServer : public ::testing::Environment {
 public:
  void SetUp() override {
    pid_t pid = -1;
    std::string server = Env("WINESERVER", "wineserver"), persist = "-p10";
    char* argv[] = {server.data(), persist.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    for (int fd = 0; fd <= 2; ++fd)
      posix_spawn_file_actions_addopen(&actions, fd, "/dev/null", fd == 0 ? O_RDONLY : O_WRONLY, 0);
    if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv, environ) == 0) {
      int status = 0;
      waitpid(pid, &status, 0);  // it detaches itself; an already running one just exits
    }
    posix_spawn_file_actions_destroy(&actions);
  }
};

std::string Printable(const Bytes& bytes) {
  std::string out;
  for (uint8_t c : bytes) {
    if (c >= 32 && c < 127 && c != '\\') {
      out.push_back(static_cast<char>(c));
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

std::string Printable(const std::string& text) { return Printable(Bytes(text.begin(), text.end())); }

std::string ExeFor(int bits) {
  return Env(bits == 64 ? "KV210_WINE_TEST_EXE64" : "KV210_WINE_TEST_EXE32");
}

// Why programs of this width cannot run here, or nothing. Debian's wine64
// alone starts 32-bit programs in a wow64 mode that fails without wine32, and
// exits 0 without output; so the probe looks for the program's own answer.
std::optional<std::string> CannotRun(int bits) {
  static std::map<int, std::optional<std::string>> known;
  if (auto it = known.find(bits); it != known.end()) return it->second;
  const std::string exe = ExeFor(bits);
  std::optional<std::string> reason;
  if (exe.empty()) {
    reason = "no " + std::to_string(bits) + "-bit test program given";
  } else {
    const WineRun run = RunUnderWine(exe, {WP_PORT, "arch"}, 60s);
    const std::string answer = "wine_test: " + std::to_string(bits) + "-bit";
    if (run.output.find(answer) == std::string::npos)
      reason = "Wine here cannot run " + std::to_string(bits) +
               "-bit Windows programs (for 32-bit, Debian needs wine32:i386); it printed: " +
               (run.output.empty() ? "nothing"s : run.output);
  }
  return known[bits] = reason;
}

Simulator::Options ProbeOptions() {
  Simulator::Options options;
  auto& id = options.identity;
  id.model = WP_MODEL;
  id.release = WP_RELEASE;
  id.firmwareDate = WP_FIRMWARE_DATE;
  id.serial = WP_SERIAL;
  id.calibrationDate = WP_CALIBRATION_DATE;
  id.name = WP_NAME;
  id.fieldLimit = WP_FIELD_LIMIT;
  auto& r = options.readings;
  r.batteryRaw = WP_BATTERY_RAW;
  r.temperatureRaw = WP_TEMPERATURE_RAW;
  r.totalFieldSquared = WP_TOTAL_FIELD_SQUARED;
  r.axis[0] = WP_AXIS_1;
  r.axis[1] = WP_AXIS_2;
  r.axis[2] = WP_AXIS_3;
  options.linkPath = Env("WINEPREFIX") + "/dosdevices/com5";
  return options;
}

Fault WrongLetter(char letter) {
  Fault fault;
  fault.kind = FaultKind::WrongLetter;
  fault.letter = letter;
  return fault;
}

Fault Truncated(std::size_t count) {
  Fault fault;
  fault.kind = FaultKind::Truncate;
  fault.count = count;
  return fault;
}

Fault Silent() {
  Fault fault;
  fault.kind = FaultKind::Silence;
  return fault;
}

const std::string kOpen = "#00?v*#00?P*";

struct Scenario {
  const char* name;                        // wine_test's scenario
  std::function<void(Simulator&)> script;  // faults before the run
  std::string received;                    // every byte the probe must have received
  std::function<void(const Simulator&)> after = [](const Simulator&) {};
};

void PrintTo(const Scenario& scenario, std::ostream* os) { *os << scenario.name; }

const Scenario kScenarios[] = {
    {"identity", [](Simulator&) {}, kOpen + "#00?v*" + "#00?s*"},
    {"readings", [](Simulator&) {}, kOpen + "#00?b*#00?t*#00?T*#00?A*"},
    {"settings", [](Simulator&) {},
     // Fixed-length frames, NUL-padded; the refused values send nothing.
     kOpen + "#00k 123*\0\0\0\0"s + "#00k -5000*\0\0"s + "#00f3*" + "#00f7*" + "#00e 0*\0\0\0\0"s +
         "#00e 10800*",
     [](const Simulator& sim) {
       EXPECT_EQ(sim.frequencyHundredths(), -5000);
       EXPECT_EQ(sim.filter(), 7);
       EXPECT_EQ(sim.autoOffSeconds(), 10800);
     }},
    {"timeout",
     [](Simulator& sim) {
       sim.setFault("b", Silent());
       sim.setFault("s", Truncated(5));
       sim.setFault("A", Truncated(12));
     },
     kOpen + "#00?b*#00?s*#00?A*#00?t*"},
    {"wrong-letter",
     [](Simulator& sim) {
       sim.setFault("s", WrongLetter('S'));
       sim.setFault("T", WrongLetter('x'));
       sim.setFault("k", WrongLetter('K'));
       sim.setFault("f", WrongLetter('F'));
     },
     kOpen + "#00?s*#00?T*" + "#00k 123*\0\0\0\0"s + "#00f3*" + "#00?b*"},
    // A missing port and invalid handles send nothing; the wrong model stops
    // after the version query.
    {"open-errors", [](Simulator&) {}, "#00?v*" + kOpen},
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
  scenario.script(sim);
  const WineRun run = RunUnderWine(ExeFor(bits), {WP_PORT, scenario.name}, 30s);

  ASSERT_TRUE(run.finished) << "wine_test " << scenario.name << " hung; output:\n" << run.output;
  const std::string summary = "wine_test "s + scenario.name + ": ";
  EXPECT_EQ(run.exitCode, 0) << run.output;
  EXPECT_NE(run.output.find(summary), std::string::npos) << "no summary line; output:\n" << run.output;
  EXPECT_EQ(Printable(sim.received()), Printable(scenario.received));
  scenario.after(sim);

  // Checks the program could not make here (Wine's limits) are reported, not hidden.
  std::istringstream lines(run.output);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("skip ", 0) == 0) std::cout << "[ NOTE     ] " << bits << "-bit: " << line << '\n';
}

std::string ScenarioName(const ::testing::TestParamInfo<WineScenario::ParamType>& info) {
  std::string name = "win" + std::to_string(std::get<0>(info.param)) + "_" + std::get<1>(info.param).name;
  for (char& c : name)
    if (c == '-') c = '_';
  return name;
}

INSTANTIATE_TEST_SUITE_P(Wine, WineScenario,
                         ::testing::Combine(::testing::Values(64, 32), ::testing::ValuesIn(kScenarios)),
                         ScenarioName);

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  ::testing::AddGlobalTestEnvironment(new WineServer);
  return RUN_ALL_TESTS();
}
