#include "child.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>

namespace velprobe_test {

Child::Child(const std::vector<std::string>& args, const RunSetup& setup) {
  started_ = std::chrono::steady_clock::now();
  int out[2], err[2];
  if (::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
  if (setup.stdoutTerminal) {
    termios raw{};
    cfmakeraw(&raw);  // no output processing: the bytes arrive as written
    if (::openpty(&out[0], &out[1], nullptr, &raw, nullptr) != 0) throw std::runtime_error("openpty failed");
    ::fcntl(out[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(out[1], F_SETFD, FD_CLOEXEC);
  } else if (::pipe2(out, O_CLOEXEC) != 0) {
    throw std::runtime_error("pipe failed");
  }
  std::vector<std::string> argv = {VELPROBE_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargv;
  for (auto& a : argv) cargv.push_back(a.data());
  cargv.push_back(nullptr);

  pid_ = ::fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    const int null = ::open("/dev/null", O_RDONLY);
    ::dup2(null, STDIN_FILENO);
    ::setenv("TZ", "UTC", 1);
    if (setup.uid) {
      if (::setgroups(0, nullptr) != 0 || ::setgid(*setup.uid) != 0 || ::setuid(*setup.uid) != 0) ::_exit(126);
    }
    ::execv(cargv[0], cargv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  outFd_ = out[0];
  errFd_ = err[0];
}

Child::~Child() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (outFd_ >= 0) ::close(outFd_);
  if (errFd_ >= 0) ::close(errFd_);
}

void Child::collect(std::chrono::milliseconds wait) {
  pollfd fds[2] = {{outFd_, POLLIN, 0}, {errFd_, POLLIN, 0}};
  if (::poll(fds, 2, static_cast<int>(wait.count())) <= 0) return;
  char buffer[4096];
  for (int i = 0; i < 2; ++i) {
    if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
    const ssize_t n = ::read(fds[i].fd, buffer, sizeof buffer);
    std::string& into = i == 0 ? result_.out : result_.err;
    int& fd = i == 0 ? outFd_ : errFd_;
    if (n > 0) {
      into.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {  // end of output (a pty gives EIO)
      ::close(fd);
      fd = -1;
    }
  }
}

bool Child::waitForLines(std::size_t count, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (static_cast<std::size_t>(std::count(result_.out.begin(), result_.out.end(), '\n')) < count) {
    if (std::chrono::steady_clock::now() >= deadline || (outFd_ < 0 && errFd_ < 0)) return false;
    collect(10ms);
  }
  return true;
}

void Child::signal(int signal) { ::kill(pid_, signal); }

void Child::closeStdout() {
  ::close(outFd_);
  outFd_ = -1;
}

Result Child::finish(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  int status = 0;
  for (;;) {
    collect(10ms);
    const pid_t done = ::waitpid(pid_, &status, WNOHANG);
    if (done == pid_) break;
    if (std::chrono::steady_clock::now() >= deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
      break;
    }
  }
  pid_ = -1;
  result_.elapsed =
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started_);
  for (int i = 0; i < 100 && (outFd_ >= 0 || errFd_ >= 0); ++i) collect(10ms);  // what is left
  result_.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
  return result_;
}

Result run(const std::vector<std::string>& args, const RunSetup& setup) { return Child(args, setup).finish(); }

}  // namespace velprobe_test
