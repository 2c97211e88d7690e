// Runs the real ProbeAddr program for a test, with its test hook on: the
// program logs what its windows show to a file and takes user actions as
// commands on its standard input (see tool/qt/test_hook.h).
#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace probeaddr::testing {

using namespace std::chrono_literals;

struct LogLine {
  long long ms = 0;
  std::vector<std::string> fields;  // as logged: \\ \t \r \n and \xNN escaped
  std::string kind() const { return field(0); }
  std::string field(std::size_t i) const { return i < fields.size() ? fields[i] : std::string(); }
};

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
  // Starts ProbeAddr with these arguments on the offscreen platform;
  // `answer` ("Yes" or "No") answers its Yes/No questions.
  explicit ProbeAddrProcess(std::vector<std::string> arguments, const std::string& answer = "No") {
    char logTemplate[] = "/tmp/probeaddr-test-XXXXXX";
    ::close(::mkstemp(logTemplate));
    logPath_ = logTemplate;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
    arguments.insert(arguments.begin(), PROBEADDR_EXECUTABLE);
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(pipeFds[0], STDIN_FILENO);
      ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
      ::setenv("PROBEADDR_TEST_LOG", logPath_.c_str(), 1);
      ::setenv("PROBEADDR_TEST_ANSWER", answer.c_str(), 1);
      std::vector<char*> args;
      for (std::string& a : arguments) args.push_back(a.data());
      args.push_back(nullptr);
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    ::close(pipeFds[0]);
    stdin_ = pipeFds[1];
  }
  ~ProbeAddrProcess() {
    if (!exitCode_) ::kill(pid_, SIGKILL), ::waitpid(pid_, nullptr, 0);
    ::close(stdin_);
    ::unlink(logPath_.c_str());
  }
  ProbeAddrProcess(const ProbeAddrProcess&) = delete;
  ProbeAddrProcess& operator=(const ProbeAddrProcess&) = delete;

  void command(const std::string& line) {
    const std::string text = line + "\n";
    if (::write(stdin_, text.data(), text.size()) != ssize_t(text.size()))
      throw std::runtime_error("the program takes no commands");
  }

  // Every whole line logged so far.
  std::vector<LogLine> log() const {
    std::vector<LogLine> lines;
    std::ifstream in(logPath_);
    for (std::string line; std::getline(in, line) && !in.eof();) {
      LogLine parsed;
      std::istringstream fields(line);
      std::string field;
      std::getline(fields, field, '\t');
      parsed.ms = std::atoll(field.c_str());
      while (std::getline(fields, field, '\t')) parsed.fields.push_back(field);
      lines.push_back(std::move(parsed));
    }
    return lines;
  }

  // The first line from line `from` on whose first fields are `prefix`,
  // waiting for it up to `timeout`.
  std::optional<LogLine> waitFor(const std::vector<std::string>& prefix, std::chrono::milliseconds timeout = 10s,
                                 std::size_t from = 0) const {
    std::optional<LogLine> found;
    poll(timeout, [&] {
      const std::vector<LogLine> lines = log();
      for (std::size_t i = from; i < lines.size(); ++i)
        if (lines[i].fields.size() >= prefix.size() &&
            std::equal(prefix.begin(), prefix.end(), lines[i].fields.begin()))
          return bool(found = lines[i]);
      return false;
    });
    return found;
  }

  // The exit code once the program has ended; nothing on time-out.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = 10s) {
    poll(timeout, [&] {
      int status = 0;
      if (!exitCode_ && ::waitpid(pid_, &status, WNOHANG) == pid_)
        exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return exitCode_.has_value();
    });
    return exitCode_;
  }

  // The state line of a control from a fresh "dump"; an empty line on time-out.
  LogLine state(const std::string& control) {
    const std::size_t before = log().size();
    command("dump");
    return waitFor({"state", control}, 5s, before).value_or(LogLine{});
  }

  // Logged lines of one kind.
  std::vector<LogLine> linesOf(const std::string& kind) const {
    std::vector<LogLine> out;
    for (const LogLine& line : log())
      if (line.kind() == kind) out.push_back(line);
    return out;
  }

 private:
  std::string logPath_;
  pid_t pid_ = -1;
  int stdin_ = -1;
  std::optional<int> exitCode_;
};

}  // namespace probeaddr::testing
