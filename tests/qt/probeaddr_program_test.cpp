// The real ProbeAddr program against a simulated probe at the line's speed,
// with its test hook on (tool/qt/test_hook.h): it logs what its windows show
// and takes user actions on its standard input. The logic is tested in
// tests/tool; here the command line, the Qt windows, keys and port meet it.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <optional>
#include <sstream>
#include <thread>

#include "VEL_KV21X.h"
#include "kv210/simulator.h"
#include "../support/other_user.h"


namespace {

using namespace std::chrono_literals;
using kv210::sim::Simulator;
using Texts = std::vector<std::string>;

// Calls `done` every 20 ms until it gives true or `timeout` has passed.
template <typename F>
bool poll(std::chrono::milliseconds timeout, F&& done) {
  for (const auto deadline = std::chrono::steady_clock::now() + timeout;; std::this_thread::sleep_for(20ms)) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
}

class ProbeAddrProcess {
 public:
  // On the offscreen platform, as the user `uid` (0: as the test runs);
  // `answer` ("Yes" or "No") answers Yes/No questions.
  explicit ProbeAddrProcess(const std::string& argument, const char* answer = "No", uid_t uid = 0) {
    const int logFd = ::mkstemp(logPath_.data());
    ::fchmod(logFd, 0666), ::close(logFd);
    int pipeFds[2];
    EXPECT_EQ(::pipe2(pipeFds, O_CLOEXEC), 0);
    const std::string program = uid == 0 ? PROBEADDR_EXECUTABLE : kv210::test::copyForOtherUsers(PROBEADDR_EXECUTABLE);
    if ((pid_ = ::fork()) == 0) {
      ::dup2(pipeFds[0], STDIN_FILENO);
      ::setenv("QT_QPA_PLATFORM", "offscreen", 1), ::setenv("PROBEADDR_TEST_LOG", logPath_.c_str(), 1);
      ::setenv("PROBEADDR_TEST_ANSWER", answer, 1);
      if (uid != 0 && (::setgroups(0, nullptr) != 0 || ::setgid(uid) != 0 || ::setuid(uid) != 0)) ::_exit(126);
      ::execl(program.c_str(), program.c_str(), argument.c_str(), nullptr);
      ::_exit(127);
    }
    ::close(pipeFds[0]);
    stdin_ = pipeFds[1];
  }
  ~ProbeAddrProcess() {
    if (!exitCode_) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
    ::close(stdin_), ::unlink(logPath_.c_str());
  }

  void command(const std::string& line) { EXPECT_GT(::write(stdin_, (line + "\n").data(), line.size() + 1), 0); }

  // The lines logged so far (time in ms, then the fields as escaped) whose
  // fields begin with `prefix`.
  std::vector<Texts> log(const Texts& prefix = {}) const {
    std::vector<Texts> lines;
    std::ifstream in(logPath_);
    for (std::string line; std::getline(in, line) && !in.eof();) {
      Texts fields;
      std::istringstream text(line);
      for (std::string field; std::getline(text, field, '\t');) fields.push_back(field);
      if (fields.size() > prefix.size() && std::equal(prefix.begin(), prefix.end(), fields.begin() + 1))
        lines.push_back(fields);
    }
    return lines;
  }

  // The first line beginning with `prefix`, waiting for it up to `timeout`;
  // an empty line on time-out.
  Texts waitFor(const Texts& prefix, std::chrono::milliseconds timeout = 10s) const {
    std::vector<Texts> lines;
    poll(timeout, [&] { return !(lines = log(prefix)).empty(); });
    return lines.empty() ? Texts{} : lines[0];
  }

  std::optional<int> waitForExit(std::chrono::milliseconds timeout = 10s) {
    poll(timeout, [&] {
      int status = 0;
      if (!exitCode_ && ::waitpid(pid_, &status, WNOHANG) == pid_)
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return exitCode_.has_value();
    });
    return exitCode_;
  }

 private:
  std::string logPath_ = "/tmp/probeaddr-test-XXXXXX";
  pid_t pid_ = -1;
  int stdin_ = -1;
  std::optional<int> exitCode_;
};

Simulator::Options probe(const std::string& release = "1.20") {
  return {.identity = {.release = release, .firmwareDate = "03/11", .serial = "1234Z10999", .name = "PRB77X"},
          .pace9600 = true};
}

// Frames received from `from` on, once `last` is among them (or after 5 s).
Texts framesFrom(const Simulator& sim, std::size_t from, const std::string& last = "") {
  Texts frames;
  poll(5s, [&] {
    frames = sim.frames();
    frames.erase(frames.begin(), frames.begin() + std::ptrdiff_t(std::min(from, frames.size())));
    return last.empty() || std::find(frames.begin(), frames.end(), last) != frames.end();
  });
  return frames;
}

bool noStoreFrame(const Texts& frames) {
  return std::none_of(frames.begin(), frames.end(), [](const std::string& f) { return f.find('@') != f.npos; });
}

// Standard output and exit status of a shell command.
std::pair<std::string, int> run(const std::string& command) {
  FILE* out = ::popen(command.c_str(), "r");
  std::string text(4096, '\0');
  text.resize(std::fread(text.data(), 1, text.size(), out));
  return {text, WEXITSTATUS(::pclose(out))};
}

TEST(ProbeAddrProgram, AnswersHelpAndVersionWithoutADisplay) {
  const std::string bare = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " PROBEADDR_EXECUTABLE;
  const auto [help, status] = run(bare + " COM=3 --help");
  EXPECT_EQ(status, 0);
  for (const char* text : {"Usage: ProbeAddr", "COM=n", "COMM=n", "PORT=path"})
    EXPECT_NE(help.find(text), std::string::npos) << text;
  EXPECT_EQ(run(bare + " --version"), (std::pair<std::string, int>("ProbeAddr " PROBEADDR_VERSION "\n", 0)));
  // Without either, the missing display is named instead of Qt aborting.
  const auto [said, failed] = run(bare + " PORT=/dev/null 2>&1");
  EXPECT_EQ(failed, 1);
  EXPECT_NE(said.find("ProbeAddr: no display"), std::string::npos) << said;
}

// Identification, then an address written each way the README tells, each
// judged on its own reply (the first right after the model shows, one as a
// poll goes out, one the probe refuses) and followed by the serial-number
// query to the new address.
TEST(ProbeAddrProgram, IdentifiesWritesAsTheReadmeSaysAndSaysGoodbyeOnClose) {
  Simulator::Options options = probe();
  options.linkPath = "/tmp/probeaddr-test-link-" + std::to_string(::getpid());
  Simulator sim(options);
  ProbeAddrProcess program("PORT=" + sim.devicePath());
  for (const Texts& caption : {Texts{"LBFW", "1.20"}, {"LBFWDate", "03/11"}, {"LBSerial", "1234Z10999"},
                               {"LBModel", "PRB77X"}})
    EXPECT_FALSE(program.waitFor({"caption", caption[0], caption[1]}).empty()) << caption[0];
  ASSERT_FALSE(program.waitFor({"window", "frmPBar", "hidden"}).empty());
  for (int i = 0; i < 3; ++i) program.command("activate");  // no second polling cycle

  struct Write {
    Texts commands;
    std::string address, icon, message;
    bool atPoll = false;
  } writes[] = {
      {{"key Tab", "key 4", "key Return"}, "04", "Information", "New Address is '04'."},  // Tab from Exit selects
      // Amid the poll's reply, which nothing keeps apart from the store's: no confirmation need come.
      {{"type 7", "key Escape", "click CBWrite"}, "07", "Information", "", true},
      {{"type 42", "key alt+w"}, "42", "Information", "New Address is '42'."},
      {{"type 9", "key Enter"}, "09", "Exclamation", "Error occurred in storing mode, try again."}};
  for (const Write& write : writes) {
    // Clear of the replies before (the data block's last 44 bytes come after the model shows), or amid a poll.
    std::this_thread::sleep_for(300ms);
    std::size_t before = sim.frames().size();
    if (write.atPoll) framesFrom(sim, before, "#00?v*"), before = sim.frames().size();
    if (write.icon == "Exclamation") sim.pushFault("@I", {kv210::sim::FaultKind::StoreError});
    for (const std::string& command : write.commands) program.command(command);
    if (!write.message.empty())
      EXPECT_FALSE(program.waitFor({"message", "Warning", write.icon, "Ok", write.message}).empty()) << write.message;
    const Texts frames = framesFrom(sim, before, "#" + write.address + "?s*");
    const auto store = std::find(frames.begin(), frames.end(), "#00@c*");
    ASSERT_LT(store + 1, frames.end()) << write.address;
    EXPECT_EQ(*(store + 1), "#00@I" + write.address + "*");
    EXPECT_LT(store + 1, std::find(frames.begin(), frames.end(), "#" + write.address + "?s*"));
    EXPECT_EQ(std::count(frames.begin(), frames.end(), "#00@c*"), 1);
    if (write.icon == "Information") EXPECT_EQ(sim.address(), write.address);
  }
  EXPECT_EQ(sim.address(), "42");
  // Out of range: the message, "00" and the focus back in the box, nothing sent.
  const std::size_t before = sim.frames().size();
  program.command("type 100");
  program.command("key Return");
  EXPECT_FALSE(program.waitFor({"message", "Warning", "Information", "Ok",
                                " Address out of range. KV210 accepts addresses from 00 (Reserved to broadcast) "
                                "to 99."}).empty());
  program.command("dump");
  const Texts box = program.waitFor({"state", "TBAddress"});  // text, enabled, visible, focus
  EXPECT_EQ(box.size() < 7 ? "" : box[3] + " " + box[6], "00 focus");
  EXPECT_TRUE(noStoreFrame(framesFrom(sim, before)));

  // The driver library is kept off the port, by the link's name and the device's, until the tool ends.
  HANDLE handle = INVALID_HANDLE_VALUE;
  for (const std::string& name : {sim.devicePath(), sim.ptsPath()})
    EXPECT_EQ(VEL_CreateProbe("KV210", &handle, name.c_str()), VEL_ACCESS_DENIED) << name;
  program.command("close");
  ASSERT_EQ(program.waitForExit(), 0);
  EXPECT_TRUE(poll(1s, [&] { return sim.frames().back() == "#00?v*"; }));
  const Texts frames = sim.frames();
  EXPECT_EQ(std::count(frames.begin(), frames.end(), "#00?P*"), 1);  // the data block is read once per run
  std::this_thread::sleep_for(100ms);  // the reply to the unload query is still on the line
  EXPECT_EQ(VEL_CreateProbe("KV210", &handle, sim.ptsPath().c_str()), VEL_OK);
  VEL_RemoveProbe(handle);
}

TEST(ProbeAddrProgram, OldFirmwareDisablesWritingForTheRunAndExitSaysGoodbye) {
  Simulator sim(probe("1.09"));
  ProbeAddrProcess program("PORT=" + sim.devicePath());
  ASSERT_FALSE(program.waitFor({"message", "Warning!", "Exclamation", "Ok",
                                "This KV210 version not supports address changeing."}).empty());
  ASSERT_FALSE(program.waitFor({"caption", "LBSerial", "1234Z10999"}).empty());
  const std::size_t before = sim.frames().size();
  for (const char* command : {"type 5", "key Return", "click CBWrite"}) program.command(command);
  std::this_thread::sleep_for(1500ms);
  EXPECT_TRUE(noStoreFrame(framesFrom(sim, before)));

  program.command("key alt+e");  // Exit's access key
  ASSERT_EQ(program.waitForExit(), 0);
  EXPECT_TRUE(poll(1s, [&] { return sim.frames().back() == "#00?v*"; }));
  EXPECT_FALSE(program.waitFor({"window", "frmPBar", "closed"}, 0ms).empty());
  EXPECT_EQ(program.log().back()[1], "exit");
}

TEST(ProbeAddrProgram, NoProbeAsksAfterTenPollsAndYesEndsTheProgram) {
  Simulator sim(probe());
  sim.setFault("v", {kv210::sim::FaultKind::Silence});
  ProbeAddrProcess program("PORT=" + sim.devicePath(), "Yes");
  const Texts question = program.waitFor({"message", "Warning", "Exclamation", "YesNo"}, 30s);
  ASSERT_EQ(question.size(), 6u);
  EXPECT_FALSE(program.waitFor({"answer", "Yes"}).empty());
  const auto progress = program.log({"progress"});  // 10, then 1 to 10 by poll
  ASSERT_EQ(progress.size(), 11u);
  EXPECT_EQ(progress.back()[2], "10");
  ASSERT_EQ(program.waitForExit(5s), 0);
  // Half a second after the answer; ten polls, then the unload query.
  EXPECT_GE(std::stoll(program.waitFor({"exit"}, 0ms).at(0)) - std::stoll(question[0]), 450);
  EXPECT_TRUE(poll(1s, [&] { return sim.frames() == Texts(11, "#00?v*"); }));
}

// A PORT= device that cannot be opened ends the program before its window
// shows, with the path and why: none named, missing, no serial port, held
// (here by this test through the driver library), or closed to the user.
TEST(ProbeAddrProgram, UnusablePortIsReportedWithItsReason) {
  Simulator held, closed;
  HANDLE handle = INVALID_HANDLE_VALUE;
  ASSERT_EQ(VEL_CreateProbe("KV210", &handle, held.ptsPath().c_str()), VEL_OK);
  const group* dialout = ::getgrnam("dialout");
  const passwd* nobody = ::getpwnam("nobody");
  ASSERT_TRUE(dialout && nobody);
  ASSERT_EQ(::chown(closed.ptsPath().c_str(), 0, dialout->gr_gid) | ::chmod(closed.ptsPath().c_str(), 0660), 0);
  const std::tuple<std::string, uid_t, std::string> rows[] = {
      {"", 0, "no device named"},  // and no other port tried in its place
      {"/dev/no-such-probe", 0, "no such device"},
      {"/dev/null", 0, "not a serial port"},
      {held.ptsPath(), 0, "busy, in use by qt_probeaddr_program_test (PID " + std::to_string(::getpid()) + ")"},
      {closed.ptsPath(), nobody->pw_uid,
       "no permission. Your user must be in the 'dialout' group: sudo usermod -aG dialout nobody, then log in again"}};
  for (const auto& [path, user, reason] : rows) {
    ProbeAddrProcess program("PORT=" + path, "No", user);
    ASSERT_EQ(program.waitForExit(), 1) << path;
    const Texts message = program.waitFor({"message"}, 0ms);
    EXPECT_EQ(Texts(message.begin() + !message.empty(), message.end()),
              (Texts{"message", "ProbeAddr", "Critical", "Ok",
                     "Cannot open " + (path.empty() ? "PORT=" : path) + ": " + reason + "."}));
    EXPECT_TRUE(program.log({"ready"}).empty()) << path;
  }
  VEL_RemoveProbe(handle);
}

// A write while no probe answers, then the probe comes: found, and asked for
// its serial number at the new address.
TEST(ProbeAddrProgram, AnAddressWrittenWithoutAProbeIsAskedOfTheProbeThatComes) {
  Simulator sim(probe());
  for (const char* command : {"v", "s", "P", "@I"}) sim.setFault(command, {kv210::sim::FaultKind::Silence});
  ProbeAddrProcess program("PORT=" + sim.devicePath());
  ASSERT_FALSE(program.waitFor({"progress", "2"}).empty());
  for (const char* command : {"type 5", "key Return"}) program.command(command);
  framesFrom(sim, 0, "#00@I05*");
  sim.clearFaults();
  EXPECT_FALSE(program.waitFor({"caption", "LBSerial", "1234Z10999"}).empty());
  const Texts frames = framesFrom(sim, 0, "#05?s*");
  EXPECT_LT(std::find(frames.begin(), frames.end(), "#00@I05*"), std::find(frames.begin(), frames.end(), "#05?s*"));
}

// The simulator ends while the program runs: the box says what happened.
TEST(ProbeAddrProgram, APortLostWhileRunningIsSaidAsSuchAndEndsTheProgram) {
  auto sim = std::make_unique<Simulator>(probe());
  const std::string device = sim->devicePath();
  ProbeAddrProcess program("PORT=" + device);
  ASSERT_FALSE(program.waitFor({"caption", "LBSerial"}).empty());
  sim.reset();
  EXPECT_FALSE(program.waitFor({"message", "ProbeAddr", "Critical", "Ok",
                                "Run-time error '8020':\\r\\r" + device + ": the line was hung up."}).empty());
  EXPECT_EQ(program.waitForExit(), 1);
}

}  // namespace
