#include "interrupt.h"

#include <poll.h>
#include <signal.h>

#include <cerrno>

namespace velprobe {
namespace {

volatile sig_atomic_t stopSignal = 0;

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};

void onStopSignal(int signal) { stopSignal = signal; }

sigset_t stopSet() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : kStopSignals) sigaddset(&set, s);
  return set;
}

}  // namespace

void installStopHandlers() {
  struct sigaction action {};
  action.sa_handler = onStopSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: a blocking call returns EINTR
  for (int s : kStopSignals) sigaction(s, &action, nullptr);
  struct sigaction ignore {};
  ignore.sa_handler = SIG_IGN;
  sigemptyset(&ignore.sa_mask);
  sigaction(SIGPIPE, &ignore, nullptr);
}

bool stopRequested() { return stopSignal != 0; }

bool sleepUntil(std::chrono::steady_clock::time_point deadline) {
  // Block the stop signals while testing the flag, and let ppoll unblock them
  // atomically: a signal between the test and the sleep then ends the sleep.
  const sigset_t set = stopSet();
  sigset_t previous;
  sigprocmask(SIG_BLOCK, &set, &previous);
  while (!stopRequested()) {
    const auto left = deadline - std::chrono::steady_clock::now();
    if (left <= std::chrono::steady_clock::duration::zero()) break;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
    timespec timeout{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
    ppoll(nullptr, 0, &timeout, &previous);
  }
  sigprocmask(SIG_SETMASK, &previous, nullptr);
  return !stopRequested();
}

}  // namespace velprobe
