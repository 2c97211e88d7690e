// Runs the velprobe binary as a child process and collects what it prints.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace velprobe_test {

using namespace std::chrono_literals;

struct Result {
  int status = -1;  // exit status, or 128 + signal number
  std::string out, err;
  std::chrono::milliseconds elapsed{0};
};

struct RunSetup {
  std::optional<uid_t> uid;  // run as this user (needs root)
  bool stdoutTerminal = false;  // stdout on a pseudo-terminal instead of a pipe
};

class Child {
 public:
  explicit Child(const std::vector<std::string>& args, const RunSetup& setup = {});
  ~Child();  // kills the child if it still runs
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  // Collects output until stdout holds `count` newlines; false on time-out.
  bool waitForLines(std::size_t count, std::chrono::milliseconds timeout);
  void signal(int signal);
  // Stops reading stdout, as a reader that has seen enough.
  void closeStdout();
  // Waits for the exit; kills the child after `timeout` (status then 128 + 9).
  Result finish(std::chrono::milliseconds timeout = 30s);

 private:
  void collect(std::chrono::milliseconds wait);

  pid_t pid_ = -1;
  int outFd_ = -1, errFd_ = -1;
  Result result_;
  std::chrono::steady_clock::time_point started_;
};

// Runs velprobe with `args` to the end.
Result run(const std::vector<std::string>& args, const RunSetup& setup = {});

}  // namespace velprobe_test
