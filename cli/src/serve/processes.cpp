#include "processes.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <stdexcept>

namespace velprobe::serve {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kRestartDelay = std::chrono::seconds(3);
constexpr std::size_t kMaxLine = 1 << 20;  // a reader's lines are a few hundred bytes

std::string ownExecutable() {
  char path[PATH_MAX];
  const ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) throw std::runtime_error(std::string("cannot find this program's executable: ") + std::strerror(errno));
  return std::string(path, static_cast<std::size_t>(n));
}

std::string exitText(int status) {
  if (WIFEXITED(status)) return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return std::string("signal ") + ::strsignal(WTERMSIG(status));
  return "status " + std::to_string(status);
}

}  // namespace

ReaderProcesses::ReaderProcesses(Monitor& monitor, std::vector<std::vector<std::string>> commands, Log log)
    : monitor_(monitor),
      commands_(std::move(commands)),
      log_(std::move(log)),
      executable_(ownExecutable()),
      readers_(commands_.size()) {
  if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
}

ReaderProcesses::~ReaderProcesses() {
  stop();
  ::close(wake_[0]);
  ::close(wake_[1]);
}

void ReaderProcesses::start() {
  for (std::size_t i = 0; i < readers_.size(); ++i) spawn(i);
  thread_ = std::thread([this] { collect(); });
}

void ReaderProcesses::stop(std::chrono::milliseconds grace) {
  if (!thread_.joinable()) return;
  killAt_ = Clock::now() + grace;
  stopping_ = true;
  [[maybe_unused]] const auto n = ::write(wake_[1], "x", 1);
  thread_.join();
}

void ReaderProcesses::spawn(std::size_t index) {
  Reader& reader = readers_[index];
  std::vector<char*> argv{executable_.data()};
  for (auto& arg : commands_[index]) argv.push_back(arg.data());
  argv.push_back(nullptr);
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    log_(std::string("cannot start a reader: pipe: ") + std::strerror(errno));
    reader.restartAt = Clock::now() + kRestartDelay;
    return;
  }
  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The child: only async-signal-safe calls until exec. It ends with the
    // server, also when the server is killed, and keeps none of its
    // descriptors. In a process group of its own, a Ctrl-C on the terminal
    // reaches the server alone, which then stops its readers in order.
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    if (::getppid() != parent) ::_exit(1);
    ::setpgid(0, 0);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (::dup2(fds[1], STDOUT_FILENO) < 0) ::_exit(127);
    ::close_range(3, ~0U, 0);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(fds[1]);
  if (pid < 0) {
    ::close(fds[0]);
    log_(std::string("cannot start a reader: fork: ") + std::strerror(errno));
    reader.restartAt = Clock::now() + kRestartDelay;
    return;
  }
  reader.pid = pid;
  reader.fd = fds[0];
  reader.pending.clear();
}

void ReaderProcesses::collect() {
  bool termSent = false;
  for (;;) {
    const auto now = Clock::now();
    if (stopping_ && !termSent) {
      for (Reader& r : readers_)
        if (r.pid > 0) ::kill(r.pid, SIGTERM);
      termSent = true;
    }
    if (stopping_ && now >= killAt_)
      for (Reader& r : readers_)
        if (r.pid > 0) ::kill(r.pid, SIGKILL);

    std::vector<pollfd> fds{{wake_[0], POLLIN, 0}};
    std::vector<std::size_t> owners;
    auto wakeAt = stopping_ ? killAt_ : now + std::chrono::hours(1);
    bool running = false;
    for (std::size_t i = 0; i < readers_.size(); ++i) {
      const Reader& r = readers_[i];
      if (r.fd >= 0) {
        fds.push_back({r.fd, POLLIN, 0});
        owners.push_back(i);
        running = true;
      } else if (!stopping_ && r.restartAt < wakeAt) {
        wakeAt = r.restartAt;
      }
    }
    if (stopping_ && !running) return;

    const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(wakeAt - now).count();
    const int ready = ::poll(fds.data(), fds.size(), static_cast<int>(std::clamp<long long>(wait + 1, 0, 60000)));
    if (ready < 0 && errno != EINTR) {
      log_(std::string("poll: ") + std::strerror(errno));
      return;
    }
    if (fds[0].revents) {
      char buffer[64];
      while (::read(wake_[0], buffer, sizeof buffer) > 0) {
      }
    }
    for (std::size_t k = 1; k < fds.size(); ++k)
      if (fds[k].revents) drain(owners[k - 1]);
    for (std::size_t i = 0; i < readers_.size(); ++i)
      if (!stopping_ && readers_[i].fd < 0 && Clock::now() >= readers_[i].restartAt) spawn(i);
  }
}

void ReaderProcesses::drain(std::size_t index) {
  Reader& reader = readers_[index];
  char buffer[65536];
  const ssize_t n = ::read(reader.fd, buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    ended(index);
    return;
  }
  reader.pending.append(buffer, static_cast<std::size_t>(n));
  std::size_t start = 0;
  for (std::size_t end; (end = reader.pending.find('\n', start)) != std::string::npos; start = end + 1) {
    try {
      if (std::string event = monitor_.ingest(index, std::string_view(reader.pending).substr(start, end - start));
          !event.empty())
        log_(event);
    } catch (const std::exception& e) {
      log_(std::string("reader of probe ") + std::to_string(index + 1) + ": " + e.what());
    }
  }
  reader.pending.erase(0, start);
  if (reader.pending.size() > kMaxLine) {
    log_("reader of probe " + std::to_string(index + 1) + ": overlong line dropped");
    reader.pending.clear();
  }
}

void ReaderProcesses::ended(std::size_t index) {
  Reader& reader = readers_[index];
  ::close(reader.fd);
  reader.fd = -1;
  int status = 0;
  while (::waitpid(reader.pid, &status, 0) < 0 && errno == EINTR) {
  }
  reader.pid = -1;
  if (stopping_) return;
  const std::string event =
      monitor_.readerLost(index, nowMillis(), "the reader process ended (" + exitText(status) + ")");
  if (!event.empty()) log_(event);
  reader.restartAt = Clock::now() + kRestartDelay;
}

}  // namespace velprobe::serve
