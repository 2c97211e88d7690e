// The Windows programs under Wine against a simulated probe (paced) on COM5 of
// the Wine prefix, with the bytes the probe received checked: wine_test.exe
// (VEL_KV21X.dll) by the lines it prints, ProbeAddr.exe, driven with xdotool
// as a person would, by its test log. scripts/test-windows sets WINEPREFIX,
// DISPLAY, KV210_WINE_TEST_EXE64/32, KV210_PROBEADDR_EXE64/32, KV210_SCREENSHOT.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "kv210/simulator.h"

namespace {

using namespace std::chrono_literals;
using namespace std::string_literals;
using kv210::sim::Fault;
using kv210::sim::FaultKind;
using Strings = std::vector<std::string>;

std::string Env(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  return value ? value : "";
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string Text(const std::vector<std::uint8_t>& bytes) { return std::string(bytes.begin(), bytes.end()); }

template <typename Predicate>
bool Poll(std::chrono::milliseconds timeout, Predicate done) {
  for (const auto end = std::chrono::steady_clock::now() + timeout; !done(); std::this_thread::sleep_for(50ms))
    if (std::chrono::steady_clock::now() > end) return false;
  return true;
}

// A program run by `wine` in the background with ProbeAddr's test log; output
// goes to a file, as Wine's helper processes inherit pipes and outlive it.
class Wine {
 public:
  Wine(const std::string& exe, Strings args) : output_(Temporary()), log_(Temporary()) {
    std::string windowsLog = "Z:" + log_;
    std::replace(windowsLog.begin(), windowsLog.end(), '/', '\\');
    args.insert(args.begin(), {"timeout", "-k", "5", "120", "wine", exe});
    if ((pid_ = fork()) == 0) {
      setenv("PROBEADDR_TEST_LOG", windowsLog.c_str(), 1);
      if (!freopen(output_.c_str(), "w", stdout) || dup2(1, 2) < 0) _exit(127);
      std::vector<char*> argv;
      for (auto& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execvp("timeout", argv.data());
      _exit(127);
    }
  }
  ~Wine() {
    if (pid_ > 0) {
      if (pid_t program = ProbeAddrPid()) kill(program, SIGKILL);
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    unlink(output_.c_str());
    unlink(log_.c_str());
  }
  int WaitForExit(std::chrono::seconds timeout = 30s) {
    int status = 0;
    if (!Poll(timeout, [&] { return waitpid(pid_, &status, WNOHANG) == pid_; })) return -1;
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Output() const {
    std::string text = ReadFile(output_);
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());  // the program's text mode
    return text;
  }
  // The log's lines without their time stamps.
  Strings Lines() const {
    Strings lines;
    std::istringstream in(ReadFile(log_));
    for (std::string line; std::getline(in, line);) lines.push_back(line.substr(line.find('\t') + 1));
    return lines;
  }
  bool WaitFor(const std::string& line, std::chrono::milliseconds timeout = 20s) const {
    return Poll(timeout, [&] {
      const Strings lines = Lines();
      return std::find(lines.begin(), lines.end(), line) != lines.end();
    });
  }
  // The process that runs ProbeAddr.exe (Wine starts it apart from `wine`).
  static pid_t ProbeAddrPid() {
    for (const auto& entry : std::filesystem::directory_iterator("/proc"))
      if (ReadFile(entry.path() / "comm") == "ProbeAddr.exe\n") return std::stoi(entry.path().filename());
    return 0;
  }

 private:
  static std::string Temporary() {
    char path[] = "/tmp/kv210-wine-XXXXXX";
    ::close(mkstemp(path));
    return path;
  }
  pid_t pid_ = -1;
  std::string output_, log_;
};

std::string Exe(const char* kind, int bits) { return Env("KV210_"s + kind + std::to_string(bits)); }

class OnWine : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    ASSERT_FALSE(Env("WINEPREFIX").empty()) << "run through scripts/test-windows";
    // Debian's wine64 alone starts 32-bit programs in a wow64 mode that fails
    // without wine32 and says nothing; so look for the program's own answer.
    static std::map<int, std::string> output;
    if (!output.count(GetParam())) {
      Wine run(Exe("WINE_TEST_EXE", GetParam()), {"COM5", "!close"});
      run.WaitForExit();
      output[GetParam()] = run.Output();
    }
    if (output[GetParam()] == "!close 1\n") return;
    // The 64-bit programs are what these tests exist for; only 32-bit may be missing.
    const std::string reason = "Wine cannot run these programs (32-bit needs wine32:i386): " + output[GetParam()];
    if (GetParam() == 64) FAIL() << reason;
    GTEST_SKIP() << reason;
  }
  static std::unique_ptr<kv210::sim::Simulator> Probe() {
    kv210::sim::Simulator::Options options;
    options.pace9600 = true;
    options.linkPath = Env("WINEPREFIX") + "/dosdevices/com5";
    return std::make_unique<kv210::sim::Simulator>(options);
  }
  static std::string Received(const kv210::sim::Simulator& sim) { return Text(sim.received()); }
};

// ---- VEL_KV21X.dll: calls, the lines wine_test prints after them, frames ----

struct DllScenario {
  std::map<std::string, Fault> faults;                     // lasting, by command
  std::vector<std::pair<std::string, std::string>> calls;  // call, result line
  std::string received;
};

Fault Faulty(FaultKind kind, char letter = '?', std::size_t count = 0) { return {kind, letter, count, {}, {}}; }

const std::string kOpen = "#00?v*#00?P*";
const std::pair<std::string, std::string> kOpened{"open:KV21", "0 handle"}, kClosed{"close", "0"};

const DllScenario kDll[] = {
    {{},
     {kOpened, {"name", "0 6 KV210A"}, {"model", "0 6 KV210A"}, {"calibration", "0 8 07/12/26"},
      {"firmware", "0 10 1.10 07/10"}, {"serial", "0 10 0424K10123"}, {"battery", "0 3.6"},
      {"temperature", "0 3.94366"}, {"field", "0 5"}, {"axis", "0 1 2 3"}, kClosed},
     kOpen + "#00?v*#00?s*#00?b*#00?t*#00?T*#00?A*"},
    // Fixed-length frames, NUL-padded; the refused values send nothing.
    {{},
     {kOpened, {"frequency:123", "0"}, {"frequency:-5000", "0"}, {"frequency:10000000", "6"}, {"filter:7", "0"},
      {"filter:8", "6"}, {"filter:-1", "6"}, {"autooff:0", "0"}, {"autooff:10801", "6"}, kClosed},
     kOpen + "#00k 123*\0\0\0\0"s + "#00k -5000*\0\0"s + "#00f7*" + "#00e 0*\0\0\0\0"s},
    // Time-outs and wrong letters write nothing; the next command is answered.
    {{{"b", Faulty(FaultKind::Silence)}, {"A", Faulty(FaultKind::Truncate, '?', 12)},
      {"s", Faulty(FaultKind::WrongLetter, 'S')}, {"T", Faulty(FaultKind::WrongLetter, 'x')},
      {"k", Faulty(FaultKind::WrongLetter, 'K')}, {"f", Faulty(FaultKind::WrongLetter, 'F')}},
     {{"timeout:500", "0"}, kOpened, {"battery", "8 -1"}, {"axis", "8 -1 -1 -1"}, {"serial", "4 -1 ~"},
      {"field", "4 -1"}, {"frequency:123", "4"}, {"filter:3", "13"}, {"temperature", "0 3.94366"}, kClosed},
     kOpen + "#00?b*#00?A*#00?s*#00?T*" + "#00k 123*\0\0\0\0"s + "#00f3*#00?t*"},
    // A missing port and invalid handles send nothing; the wrong model stops
    // after the version query and leaves the port open for the caller. (That
    // a held port is refused Wine cannot show: it ignores share mode 0.)
    {{},
     {{"open:KV21:\\\\.\\COM42", "2 no-handle"}, {"!close", "1"}, {"!battery", "1 -1"}, {"open:KV22", "14 handle"},
      kClosed},
     "#00?v*"},
};

TEST_P(OnWine, DllCallsGiveTheirResultsAndFrames) {
  for (const DllScenario& scenario : kDll) {
    auto sim = Probe();
    for (const auto& [command, fault] : scenario.faults) sim->setFault(command, fault);
    Strings args{"COM5"};
    std::string expected;
    for (const auto& [call, result] : scenario.calls) {
      args.push_back(call);
      expected += call + " " + result + "\n";
    }
    Wine run(Exe("WINE_TEST_EXE", GetParam()), args);
    EXPECT_EQ(run.WaitForExit(), 0);
    EXPECT_EQ(run.Output(), expected);
    EXPECT_EQ(Received(*sim), scenario.received) << expected;
  }
}

// ---- ProbeAddr.exe ----------------------------------------------------------

// As a person would: bring up the window with this caption (once it is there
// and the window manager lets it), then press keys or type.
void Keys(const std::string& caption, const std::string& keys) {
  ASSERT_TRUE(Poll(20s, [&] {
    return std::system(("xdotool search --onlyvisible --name '^" + caption +
                        "$' windowactivate --sync >/dev/null 2>&1").c_str()) == 0;
  })) << caption;
  ASSERT_EQ(std::system(("xdotool " + keys).c_str()), 0) << keys;
}

// Answers the next message box with this title by Enter, again if it did not take.
bool Answer(const Wine& program, const std::string& title) {
  auto answers = [&] {
    const Strings lines = program.Lines();
    return std::count(lines.begin(), lines.end(), "answer\tOk");
  };
  const auto before = answers();
  for (int attempt = 0; attempt < 5; ++attempt) {
    Keys(title, "key Return");
    if (Poll(2s, [&] { return answers() > before; })) return true;
  }
  return false;
}

// Waits for the box, then answers it.
bool Shown(const Wine& program, const std::string& title, const std::string& icon, const std::string& text) {
  return program.WaitFor("message\t" + title + "\t" + icon + "\tOk\t" + text) && Answer(program, title);
}

// Both windows as designed (twips / 15 at 96 dpi): parent, left, top, width,
// height, font ("face pixels weight"), text; then the identity shown.
const char* const kIdentified[] = {
    "control\tSetAddGui\t-\t0\t0\t293\t112\t\tVEL KV210 Series - Set Address",
    "control\tXPFrame3\tSetAddGui\t8\t4\t163\t100\tMS Sans Serif 11 400\tProbe Data",
    "control\tLabel4\tXPFrame3\t9\t77\t46\t14\tArial 11 700\tS/N",
    "control\tLabel3\tXPFrame3\t9\t57\t46\t14\tArial 11 700\tFW Date",
    "control\tLabel2\tXPFrame3\t9\t37\t46\t14\tArial 11 700\tFW Rel.",
    "control\tLabel1\tXPFrame3\t9\t17\t42\t14\tArial 11 700\tModel",
    "control\tLBFWDate\tXPFrame3\t67\t57\t83\t14\tArial 13 400\t",
    "control\tLBModel\tXPFrame3\t67\t17\t83\t14\tArial 13 400\t",
    "control\tLBFW\tXPFrame3\t67\t37\t83\t14\tArial 13 400\t",
    "control\tLBSerial\tXPFrame3\t67\t77\t83\t14\tArial 13 400\t",
    "control\tFRAddress\tSetAddGui\t179\t4\t107\t60\tMS Sans Serif 11 400\tNew Address",
    "control\tTBAddress\tFRAddress\t12\t23\t35\t25\tArial 19 700\t00",
    "control\tCBWrite\tFRAddress\t56\t23\t40\t25\tMS Sans Serif 11 400\t&Write",
    "control\tCBExit\tSetAddGui\t233\t79\t51\t26\tMS Sans Serif 11 400\t&Exit",
    "control\tfrmPBar\t-\t0\t0\t209\t33\t\tProbeAddr - Connection  incoming...",
    "control\tPBar\tfrmPBar\t10\t8\t190\t19\t\t",
    "caption\tLBFW\t1.10", "caption\tLBFWDate\t07/10", "caption\tLBSerial\t0424K10123", "caption\tLBModel\tKV210A",
};

double CpuSeconds(pid_t pid) {
  std::istringstream stat(ReadFile("/proc/" + std::to_string(pid) + "/stat"));
  std::string field;
  for (int i = 0; i < 13; ++i) stat >> field;  // up to utime; the name holds no blank
  long user = 0, system = 0;
  stat >> user >> system;
  return double(user + system) / double(sysconf(_SC_CLK_TCK));
}

TEST_P(OnWine, ProbeAddrIdentifiesTheProbeWritesAddressesByEnterAndAltWAndLeavesByAltE) {
  auto sim = Probe();
  Wine program(Exe("PROBEADDR_EXE", GetParam()), {"COM=5"});
  ASSERT_TRUE(program.WaitFor("window\tfrmPBar\thidden"));
  for (const char* line : kIdentified) EXPECT_TRUE(program.WaitFor(line, 0ms)) << line;
  EXPECT_EQ(Received(*sim).substr(0, 18), "#00?v*#00?s*#00?P*");

  // Right after identification (the data block's tail still at the port),
  // a store the probe refuses: judged on its own reply.
  const std::string main = "VEL KV210 Series - Set Address";
  sim->pushFault("@I", Faulty(FaultKind::StoreError));
  for (const char* keys : {"key Tab", "type 3", "key Return"}) Keys(main, keys);
  EXPECT_TRUE(Shown(program, "Warning", "Exclamation", "Error occurred in storing mode, try again."));

  // The focus cycles CBExit (where it started), TBAddress, CBWrite; Tab into
  // the box selects its text, which typing replaces.
  Keys(main, "key Tab Tab Tab");
  Strings focus;
  EXPECT_TRUE(Poll(5s, [&] {
    focus.clear();
    for (const auto& line : program.Lines())
      if (line.rfind("focus\t", 0) == 0) focus.push_back(line.substr(6));
    return focus.size() >= 4 && focus.front() == "CBExit" &&
           Strings(focus.end() - 3, focus.end()) == Strings{"CBWrite", "CBExit", "TBAddress"};
  })) << ::testing::PrintToString(focus);
  // Enter and Alt+W whenever they come, amid a poll or not: each address is
  // read back (a store read amid a reply confirms nothing).
  for (const auto& [keys, address] : {std::pair{"key Return", "05"}, std::pair{"key alt+w", "07"}}) {
    if (address == std::string("07")) Keys(main, "key Tab Tab Tab");
    Keys(main, "type " + std::string(address + 1));
    Keys(main, keys);
    if (program.WaitFor("message\tWarning\tInformation\tOk\tNew Address is '" + std::string(address) + "'.", 2s))
      ASSERT_TRUE(Answer(program, "Warning"));
    EXPECT_TRUE(Poll(8s, [&] { return Received(*sim).find("#" + std::string(address) + "?s*") != std::string::npos; }))
        << Received(*sim);
  }

  if (GetParam() == 64 && !Env("KV210_SCREENSHOT").empty()) {
    Keys(main, "sleep 0.5");  // up and drawn
    EXPECT_EQ(std::system(("import -window \"$(xdotool search --onlyvisible --name '^" + main + "$')\" '" +
                           Env("KV210_SCREENSHOT") + "'").c_str()), 0);
  }
  if (GetParam() == 64) {  // polling a probe that answers costs next to nothing
    const double before = CpuSeconds(Wine::ProbeAddrPid());
    std::this_thread::sleep_for(30s);
    EXPECT_LT((CpuSeconds(Wine::ProbeAddrPid()) - before) / 30, 0.01);
  }

  Keys(main, GetParam() == 64 ? "key alt+e" : "key alt+F4");  // Exit's access key, or the window's close
  EXPECT_EQ(program.WaitForExit(), 0);
  EXPECT_EQ(program.Lines().back(), "exit\t0");
  // Whole frames only (once the probe has taken the last one in), the data
  // block asked for once, the store frames together, the version query last.
  std::string all;
  EXPECT_TRUE(Poll(2s, [&] {
    all.clear();
    for (const auto& frame : sim->frames()) all += frame;
    return all == Received(*sim);
  })) << Received(*sim);
  EXPECT_EQ(all.find("#00?P*", all.find("#00?P*") + 1), std::string::npos);
  for (const char* store : {"#00@c*#00@I03*", "#00@c*#00@I05*", "#00@c*#00@I07*"})
    EXPECT_NE(all.find(store), std::string::npos) << store << " in " << all;
  EXPECT_EQ(sim->address(), "07");
  EXPECT_EQ(all.substr(all.size() - 6), "#00?v*");
}

// A write while no probe answers; the probe that comes is found and asked at
// the new address.
TEST_P(OnWine, ProbeAddrWritesWithoutAProbeAndAsksTheProbeThatComesAtTheNewAddress) {
  auto sim = Probe();
  for (const char* command : {"v", "s", "P", "@I"}) sim->setFault(command, Faulty(FaultKind::Silence));
  Wine program(Exe("PROBEADDR_EXE", GetParam()), {"COM=5"});
  ASSERT_TRUE(program.WaitFor("progress\t2\t10"));
  for (const char* keys : {"key Tab", "type 5", "key Return"}) Keys("VEL KV210 Series - Set Address", keys);
  ASSERT_TRUE(Poll(5s, [&] {  // taken by the probe, silent
    const Strings frames = sim->frames();
    return std::find(frames.begin(), frames.end(), "#00@I05*") != frames.end();
  }));
  sim->clearFaults();
  EXPECT_TRUE(program.WaitFor("caption\tLBSerial\t0424K10123"));
  EXPECT_NE(Received(*sim).find("#05?s*", Received(*sim).find("#00@I05*")), std::string::npos) << Received(*sim);
}

// The simulator ends while the program runs: the box says what happened.
TEST_P(OnWine, ProbeAddrSaysHowThePortWasLostAndEnds) {
  auto sim = Probe();
  Wine program(Exe("PROBEADDR_EXE", GetParam()), {"COM=5"});
  ASSERT_TRUE(program.WaitFor("caption\tLBSerial\t0424K10123"));
  sim.reset();
  EXPECT_TRUE(Shown(program, "ProbeAddr", "Critical", "Run-time error '8020':\\r\\rCOM5: the line was hung up."))
      << ::testing::PrintToString(program.Lines());
  EXPECT_EQ(program.WaitForExit(), 1);
}

TEST_P(OnWine, ProbeAddrTellsAGivenPortIsNotAvailableAndEnds) {
  for (const auto& [key, text] : {std::pair{"COM=0", "COMM PORT0  Not Available"},
                                  std::pair{"PORT=", "Cannot open PORT=: no device named."}}) {
    Wine program(Exe("PROBEADDR_EXE", GetParam()), {key});
    EXPECT_TRUE(Answer(program, "ProbeAddr"));
    EXPECT_EQ(program.WaitForExit(), 1);
    EXPECT_EQ(program.Lines(), (Strings{"message\tProbeAddr\tCritical\tOk\t" + std::string(text), "answer\tOk",
                                        "exit\t1"}));
  }
}

INSTANTIATE_TEST_SUITE_P(Wine, OnWine, ::testing::Values(64, 32),
                         [](const ::testing::TestParamInfo<int>& bits) { return "win" + std::to_string(bits.param); });

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // A lingering wineserver that writes into no program's output.
  [[maybe_unused]] const int status = std::system("wineserver -p10 </dev/null >/dev/null 2>&1");
  return RUN_ALL_TESTS();
}
