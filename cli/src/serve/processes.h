// The reader processes of `velprobe serve`: one per probe, started from this
// program's own executable, their output fed into the Monitor by one thread.
// A reader that ends while serving is started again after a few seconds.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "monitor.h"

namespace velprobe::serve {

class ReaderProcesses {
 public:
  using Log = std::function<void(const std::string&)>;
  // `commands[i]` is the argument list (after the program) that reads probe i.
  ReaderProcesses(Monitor& monitor, std::vector<std::vector<std::string>> commands, Log log);
  ~ReaderProcesses();  // stop()
  ReaderProcesses(const ReaderProcesses&) = delete;
  ReaderProcesses& operator=(const ReaderProcesses&) = delete;

  void start();
  // Asks every reader to stop (SIGTERM: each closes its port), waits up to
  // `grace` for them, then kills what is left.
  void stop(std::chrono::milliseconds grace = std::chrono::seconds(30));

 private:
  struct Reader {
    pid_t pid = -1;
    int fd = -1;  // its stdout
    std::string pending;  // a line not yet complete
    std::chrono::steady_clock::time_point restartAt{};
  };
  void spawn(std::size_t index);
  void collect();
  void drain(std::size_t index);
  void ended(std::size_t index);

  Monitor& monitor_;
  std::vector<std::vector<std::string>> commands_;
  Log log_;
  std::string executable_;
  std::vector<Reader> readers_;
  int wake_[2] = {-1, -1};  // stop() writes to wake the collector
  std::atomic<bool> stopping_{false};
  std::chrono::steady_clock::time_point killAt_{};
  std::thread thread_;
};

}  // namespace velprobe::serve
