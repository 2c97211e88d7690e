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
#include <set>
#include <sstream>
#include <thread>
#include <tuple>

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

// ---- The installer ----------------------------------------------------------
// KV210-Setup-<version>.exe (KV210_SETUP) in a fresh prefix of its own
// (KV210_INSTALLER_PREFIX): installed silently, what it installed run against
// the simulated probe, installed again, uninstalled. The cases build on each
// other and run in this order.

const std::string kUninstallKey = R"(HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\KV210)";
const std::string kShortcut = R"(C:\ProgramData\Microsoft\Windows\Start Menu\Programs\ProbeAddr.lnk)";
const Strings kInstalled = {"README.txt",          "Uninstall.exe",          "examples",
                            "examples/probe_info.c", "include",               "include/VEL_KV21X.h",
                            "x64",                 "x64/ProbeAddr.exe",      "x64/VEL_KV21X.dll",
                            "x64/VEL_KV21X.lib",   "x64/libVEL_KV21X.dll.a", "x86",
                            "x86/VEL_KV21X.dll",   "x86/VEL_KV21X.lib",      "x86/libVEL_KV21X.dll.a"};

// The fifteen functions with the bytes of their arguments (32-bit __stdcall's @N).
const std::pair<std::string, int> kFunctions[] = {
    {"VEL_CreateProbe", 12},    {"VEL_RemoveProbe", 4},     {"VEL_SetTimeout", 4},
    {"VEL_Firmware", 12},       {"VEL_SerialNumber", 12},   {"VEL_ProbeName", 12},
    {"VEL_Model", 12},          {"VEL_CalibrationDate", 12}, {"VEL_ReadBattery", 8},
    {"VEL_ReadTemperature", 8}, {"VEL_ReadTotalField", 8},  {"VEL_ReadAxisField", 16},
    {"VEL_SetFrequency", 8},    {"VEL_SetFilter", 8},       {"VEL_SetAutoOffTime", 8}};

std::string Command(const std::string& command) {
  std::string output;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    for (char buffer[4096]; std::size_t n = fread(buffer, 1, sizeof buffer, pipe);) output.append(buffer, n);
    pclose(pipe);
  }
  return output;
}

class Installer : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    savedPrefix_ = Env("WINEPREFIX");
    setenv("WINEPREFIX", Env("KV210_INSTALLER_PREFIX").c_str(), 1);
    before_ = DriveC();
  }
  static void TearDownTestSuite() { setenv("WINEPREFIX", savedPrefix_.c_str(), 1); }
  void SetUp() override {
    ASSERT_FALSE(Env("KV210_SETUP").empty() || Env("KV210_INSTALLER_PREFIX").empty())
        << "run through scripts/test-windows";
  }

  // A path on the prefix's C: drive as Linux sees it.
  static std::string Unix(std::string windowsPath) {
    std::replace(windowsPath.begin(), windowsPath.end(), '\\', '/');
    return Env("WINEPREFIX") + "/drive_c" + windowsPath.substr(2);
  }
  // Every path on the C: drive, but in the users' Temp folders: an uninstaller
  // runs from a copy there that Windows deletes at the next restart.
  static std::set<std::string> DriveC() {
    std::set<std::string> paths;
    const std::filesystem::path root = Env("WINEPREFIX") + "/drive_c";
    std::error_code error;  // a file that goes while we look shows as a difference
    for (std::filesystem::recursive_directory_iterator it(root, error), end; !error && it != end; it.increment(error)) {
      const std::string path = it->path().lexically_relative(root).string();
      if (path.rfind("users/", 0) == 0 && it->path().filename() == "Temp") it.disable_recursion_pending();
      paths.insert(path);
    }
    return paths;
  }
  static Strings Under(const std::string& folder) {  // "Program Files/KV210"
    Strings paths;
    for (const auto& path : DriveC())
      if (path.rfind(folder + "/", 0) == 0) paths.push_back(path.substr(folder.size() + 1));
    return paths;
  }
  // The uninstall key's values in the 64-bit view (empty when there is no key).
  static std::map<std::string, std::string> UninstallKey(const std::string& view = "/reg:64") {
    Wine reg("reg", {"query", kUninstallKey, view});
    reg.WaitForExit();
    std::map<std::string, std::string> values;
    std::istringstream lines(reg.Output());
    for (std::string line; std::getline(lines, line);) {
      const std::size_t type = line.find("    REG_"), value = line.find("    ", type + 4);
      if (type != std::string::npos && value != std::string::npos)
        values[line.substr(4, type - 4)] = line.substr(value + 4);
    }
    return values;
  }
  static int Setup(const Strings& args) {
    Wine setup(Env("KV210_SETUP"), args);
    return setup.WaitForExit(120s);
  }
  static std::unique_ptr<kv210::sim::Simulator> ProbeOnCom5() {
    kv210::sim::Simulator::Options options;
    options.pace9600 = true;
    options.linkPath = Env("WINEPREFIX") + "/dosdevices/com5";
    return std::make_unique<kv210::sim::Simulator>(options);
  }

  inline static std::string savedPrefix_;
  inline static std::set<std::string> before_;
};

TEST_F(Installer, SilentInstallLaysOutTheTreeTheShortcutAndTheUninstallKey) {
  ASSERT_EQ(Setup({"/S"}), 0);
  EXPECT_EQ(Under("Program Files/KV210"), kInstalled);
  EXPECT_NE(ReadFile(Unix(kShortcut)).find(R"(C:\Program Files\KV210\x64\ProbeAddr.exe)"), std::string::npos);

  // KV210-Setup-<version>.exe
  const std::string setup = std::filesystem::path(Env("KV210_SETUP")).stem().string();
  auto key = UninstallKey();
  std::uintmax_t bytes = 0;
  for (const auto& path : kInstalled)
    if (const auto file = Unix(R"(C:\Program Files\KV210\)" + path); std::filesystem::is_regular_file(file))
      bytes += std::filesystem::file_size(file);
  EXPECT_NEAR(static_cast<double>(std::stoul(key["EstimatedSize"], nullptr, 16)),
              static_cast<double>(bytes) / 1024, 12.0);  // KiB, rounded file by file
  key.erase("EstimatedSize");
  EXPECT_EQ(key, (std::map<std::string, std::string>{
                     {"DisplayName", "KV210 probe software"},
                     {"DisplayVersion", setup.substr(setup.rfind('-') + 1)},
                     {"Publisher", "VEL"},
                     {"DisplayIcon", R"(C:\Program Files\KV210\x64\ProbeAddr.exe)"},
                     {"InstallLocation", R"(C:\Program Files\KV210)"},
                     {"UninstallString", R"("C:\Program Files\KV210\Uninstall.exe")"},
                     {"QuietUninstallString", R"("C:\Program Files\KV210\Uninstall.exe" /S)"},
                     {"NoModify", "0x1"},
                     {"NoRepair", "0x1"}}));
}

TEST_F(Installer, StartMenuShortcutStartsProbeAddrWhichIdentifiesTheProbe) {
  auto sim = ProbeOnCom5();
  Wine start("start", {"/unix", Unix(kShortcut), "COM=5"});  // as Explorer opens a shortcut
  for (const char* line : {"caption\tLBFW\t1.10", "caption\tLBFWDate\t07/10", "caption\tLBSerial\t0424K10123",
                           "caption\tLBModel\tKV210A"})
    EXPECT_TRUE(start.WaitFor(line)) << line << "\n" << Text(sim->received());
}

TEST_F(Installer, ExampleBuiltWithMinGWAgainstTheInstalledTreeReadsTheProbe) {
  const std::string tree = Unix(R"(C:\Program Files\KV210)");
  const std::string exe = Env("KV210_INSTALLER_PREFIX") + "/../probe_info.exe";  // beside no DLL
  for (const auto& [folder, compiler] : {std::pair{"x64", "x86_64"}, std::pair{"x86", "i686"}}) {
    SCOPED_TRACE(folder);
    ASSERT_EQ(std::system((compiler + "-w64-mingw32-gcc-win32 -std=c11 -Wall -Wextra -Werror -I'"s + tree +
                           "/include' '" + tree + "/examples/probe_info.c' -L'" + tree + "/" + folder +
                           "' -lVEL_KV21X -o '" + exe + "'").c_str()),
              0);
    auto sim = ProbeOnCom5();
    setenv("WINEPATH", (R"(C:\Program Files\KV210\)"s + folder).c_str(), 1);  // where Windows finds the DLL
    Wine run(exe, {"COM5"});
    unsetenv("WINEPATH");
    EXPECT_EQ(run.WaitForExit(), 0);
    EXPECT_EQ(run.Output(),
              "VEL_CreateProbe      rc=0\n"
              "VEL_Firmware         rc=0  \"1.10 07/10\"\n"
              "VEL_SerialNumber     rc=0  \"0424K10123\"\n"
              "VEL_ProbeName        rc=0  \"KV210A\"\n"
              "VEL_Model            rc=0  \"KV210A\"\n"
              "VEL_CalibrationDate  rc=0  \"07/12/26\"\n"
              "VEL_ReadBattery      rc=0  3.6000 V\n"
              "VEL_ReadTemperature  rc=0  3.9437\n"
              "VEL_ReadTotalField   rc=0  5.0000\n"
              "VEL_ReadAxisField    rc=0  1.0000 2.0000 3.0000\n"
              "VEL_RemoveProbe      rc=0\n");
    EXPECT_EQ(Text(sim->received()), kOpen + "#00?v*#00?s*#00?b*#00?t*#00?T*#00?A*");
  }
  std::filesystem::remove(exe);
}

// What MSVC's linker looks for: on x86 the __stdcall names and their __imp__
// pointers, importing the plain name ("undecorate"); on x64 the plain names.
TEST_F(Installer, MsvcImportLibrariesNameTheFunctionsAsMsvcLooksForThem) {
  std::set<std::string> x64, x86;
  for (const auto& [name, bytes] : kFunctions) {
    x64.insert({name, "__imp_" + name});
    const std::string decorated = "_" + name + "@" + std::to_string(bytes);
    x86.insert({decorated, "__imp_" + decorated});
  }
  for (const auto& [folder, expected, importName] :
       {std::tuple{"x64", x64, "name"}, std::tuple{"x86", x86, "undecorate"}}) {
    SCOPED_TRACE(folder);
    const std::string lib = Unix(R"(C:\Program Files\KV210\)"s + folder + R"(\VEL_KV21X.lib)");
    std::set<std::string> code;
    std::istringstream symbols(Command("llvm-nm --defined-only '" + lib + "'"));
    for (std::string line; std::getline(symbols, line);) {  // "00000000 T name", member names, blank lines
      std::istringstream fields(line);
      std::string address, type, name;
      if (fields >> address >> type >> name && type == "T") code.insert(name);
    }
    EXPECT_EQ(code, expected);
    const std::string imports = Command("llvm-readobj --coff-imports '" + lib + "'");
    std::size_t named = 0;
    for (std::size_t at = 0; (at = imports.find("Name type: "s + importName + "\n", at)) != std::string::npos; ++at)
      ++named;
    EXPECT_EQ(named, 15u) << imports;
  }
}

TEST_F(Installer, InstallingAgainReplacesInPlaceAndSilentUninstallLeavesNothingOfOurs) {
  // A folder of the user's, with a file of theirs.
  std::filesystem::create_directory(Unix(R"(C:\Probes)"));
  std::ofstream(Unix(R"(C:\Probes\notes.txt)")) << "mine\n";
  ASSERT_EQ(Setup({"/S", R"(/D=C:\Probes)"}), 0);  // replaces the one in Program Files
  ASSERT_EQ(Setup({"/S"}), 0);                      // goes where the installed one is
  EXPECT_FALSE(std::filesystem::exists(Unix(R"(C:\Program Files\KV210)")));
  Strings paths = kInstalled;
  paths.insert(std::lower_bound(paths.begin(), paths.end(), "notes.txt"), "notes.txt");
  EXPECT_EQ(Under("Probes"), paths);
  EXPECT_NE(ReadFile(Unix(kShortcut)).find(R"(C:\Probes\x64\ProbeAddr.exe)"), std::string::npos);
  const auto key = UninstallKey();
  ASSERT_EQ(key.at("QuietUninstallString"), R"("C:\Probes\Uninstall.exe" /S)");

  // As Apps & features does; the uninstaller goes on from its copy in Temp.
  Wine uninstall(R"(C:\Probes\Uninstall.exe)", {"/S"});
  EXPECT_EQ(uninstall.WaitForExit(), 0);
  std::set<std::string> expected = before_;
  expected.insert({"Probes", "Probes/notes.txt"});
  std::set<std::string> now;
  if (!Poll(30s, [&] { return (now = DriveC()) == expected; })) {
    Strings difference;
    std::set_symmetric_difference(now.begin(), now.end(), expected.begin(), expected.end(),
                                  std::back_inserter(difference));
    ADD_FAILURE() << "left or removed: " << ::testing::PrintToString(difference);
  }
  EXPECT_TRUE(UninstallKey("/reg:64").empty());
  EXPECT_TRUE(UninstallKey("/reg:32").empty());
}

}  // namespace

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  // A lingering wineserver that writes into no program's output.
  [[maybe_unused]] const int status = std::system("wineserver -p10 </dev/null >/dev/null 2>&1");
  return RUN_ALL_TESTS();
}
