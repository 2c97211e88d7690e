#include "probeaddr_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace probeaddr::testing {
namespace {

std::string unescape(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '\\' || i + 1 == text.size()) {
      out += text[i];
      continue;
    }
    const char c = text[++i];
    if (c == 't') out += '\t';
    else if (c == 'r') out += '\r';
    else if (c == 'n') out += '\n';
    else if (c == 'x' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else out += c;
  }
  return out;
}

}  // namespace

ProbeAddrProcess::ProbeAddrProcess(std::vector<std::string> arguments, std::string answer) {
  char logTemplate[] = "/tmp/probeaddr-test-XXXXXX";
  const int logFd = ::mkstemp(logTemplate);
  if (logFd < 0) throw std::runtime_error("no test log file");
  ::close(logFd);
  logPath_ = logTemplate;

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error("no pipe");
  std::vector<std::string> argv = {PROBEADDR_EXECUTABLE};
  argv.insert(argv.end(), arguments.begin(), arguments.end());

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::dup2(pipeFds[0], STDIN_FILENO);
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    ::setenv("PROBEADDR_TEST_LOG", logPath_.c_str(), 1);
    ::setenv("PROBEADDR_TEST_ANSWER", answer.c_str(), 1);
    std::vector<char*> args;
    for (std::string& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    ::execv(args[0], args.data());
    ::_exit(127);
  }
  ::close(pipeFds[0]);
  stdin_ = pipeFds[1];
}

ProbeAddrProcess::~ProbeAddrProcess() {
  if (!exitCode_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (stdin_ >= 0) ::close(stdin_);
  ::unlink(logPath_.c_str());
}

void ProbeAddrProcess::command(const std::string& line) {
  const std::string text = line + "\n";
  if (::write(stdin_, text.data(), text.size()) != static_cast<ssize_t>(text.size()))
    throw std::runtime_error("the program does not take commands");
}

std::vector<LogLine> ProbeAddrProcess::log() const {
  std::vector<LogLine> lines;
  std::ifstream in(logPath_);
  std::string line;
  while (std::getline(in, line)) {
    if (in.eof()) break;  // a line still being written has no end yet
    LogLine parsed;
    std::istringstream fields(line);
    std::string field;
    bool first = true;
    while (std::getline(fields, field, '\t')) {
      if (first) parsed.ms = std::atoll(field.c_str());
      else parsed.fields.push_back(unescape(field));
      first = false;
    }
    lines.push_back(std::move(parsed));
  }
  return lines;
}

std::optional<LogLine> ProbeAddrProcess::waitFor(const std::vector<std::string>& prefix,
                                                 std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    for (const LogLine& line : log()) {
      bool match = line.fields.size() >= prefix.size();
      for (std::size_t i = 0; match && i < prefix.size(); ++i) match = line.fields[i] == prefix[i];
      if (match) return line;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

std::optional<int> ProbeAddrProcess::waitForExit(std::chrono::milliseconds timeout) {
  if (exitCode_) return exitCode_;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    int status = 0;
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) {
      exitCode_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return exitCode_;
    }
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::optional<LogLine> ProbeAddrProcess::state(const std::string& control) {
  const std::size_t before = log().size();
  command("dump");
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (std::chrono::steady_clock::now() < deadline) {
    const std::vector<LogLine> lines = log();
    for (std::size_t i = before; i < lines.size(); ++i)
      if (lines[i].kind() == "state" && lines[i].field(1) == control) return lines[i];
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return std::nullopt;
}

std::vector<LogLine> linesOf(const std::vector<LogLine>& lines, const std::string& kind) {
  std::vector<LogLine> out;
  for (const LogLine& line : lines)
    if (line.kind() == kind) out.push_back(line);
  return out;
}

}  // namespace probeaddr::testing
