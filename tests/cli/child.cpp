#include "child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

namespace velprobe_test {
namespace {

std::string contents(const std::string& file) {
  std::ostringstream text;
  text << std::ifstream(file).rdbuf();
  return text.str();
}

}  // namespace

Child::Child(std::vector<std::string> argv) {
  static int children = 0;
  const std::string base = "/tmp/velprobe-test-" + std::to_string(::getpid()) + "-" + std::to_string(++children);
  out_ = base + ".out";
  err_ = base + ".err";
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);
  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::dup2(::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600), STDOUT_FILENO);
    ::dup2(::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600), STDERR_FILENO);
    ::dup2(::open("/dev/null", O_RDONLY | O_CLOEXEC), STDIN_FILENO);
    ::setenv("VELPROBE", VELPROBE_PATH, 1);
    ::execvp(cargv[0], cargv.data());
    ::_exit(127);
  }
}

Child::~Child() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  ::unlink(out_.c_str());
  ::unlink(err_.c_str());
}

bool Child::waitForLines(std::size_t count, std::chrono::milliseconds timeout) const {
  for (const auto deadline = std::chrono::steady_clock::now() + timeout;
       std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(10ms)) {
    const std::string out = contents(out_);
    if (static_cast<std::size_t>(std::count(out.begin(), out.end(), '\n')) >= count) return true;
  }
  return false;
}

std::string Child::output() const { return contents(out_); }

void Child::signal(int signal) const { ::kill(pid_, signal); }

Result Child::finish(std::chrono::milliseconds timeout) {
  int status = 0;
  for (const auto deadline = std::chrono::steady_clock::now() + timeout; ::waitpid(pid_, &status, WNOHANG) != pid_;
       std::this_thread::sleep_for(5ms))
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
  pid_ = -1;
  return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), contents(out_), contents(err_)};
}

Result run(std::vector<std::string> args) {
  args.insert(args.begin(), VELPROBE_PATH);
  return Child(args).finish();
}

Result shell(const std::string& script) { return Child({"bash", "-c", "set -o pipefail; " + script}).finish(); }

}  // namespace velprobe_test
