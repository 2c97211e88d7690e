// Runs velprobe or another program as a child; what it prints goes to files.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace velprobe_test {

using namespace std::chrono_literals;

struct Result {
  int status = -1;  // exit status, or 128 + signal number
  std::string out, err;
};

class Child {
 public:
  explicit Child(std::vector<std::string> argv);  // argv[0] is looked up in PATH
  ~Child();  // kills the child if it still runs

  // Waits until standard output holds `count` lines; false on time-out.
  bool waitForLines(std::size_t count, std::chrono::milliseconds timeout) const;
  std::string output() const;  // standard output so far
  void signal(int signal) const;
  // Waits for the exit; kills the child after `timeout` (status then 128 + 9).
  Result finish(std::chrono::milliseconds timeout = 60s);

 private:
  pid_t pid_ = -1;
  std::string out_, err_;  // file names
};

// Runs velprobe with `args` to the end.
Result run(std::vector<std::string> args);
// Runs a bash script to the end; VELPROBE names the binary.
Result shell(const std::string& script);

}  // namespace velprobe_test
