// Runs the real ProbeAddr program for a test, with its test hook on: the
// program logs what its windows show to a file and takes user actions as
// commands on its standard input (see tool/qt/test_hook.h).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace probeaddr::testing {

struct LogLine {
  long long ms = 0;
  std::vector<std::string> fields;  // unescaped
  std::string kind() const { return fields.empty() ? std::string() : fields[0]; }
  std::string field(std::size_t i) const { return i < fields.size() ? fields[i] : std::string(); }
};

class ProbeAddrProcess {
 public:
  // Starts ProbeAddr with these arguments on the offscreen platform.
  // `answer` is the answer to Yes/No questions ("Yes" or "No").
  explicit ProbeAddrProcess(std::vector<std::string> arguments, std::string answer = "No");
  ~ProbeAddrProcess();  // kills the program if it still runs
  ProbeAddrProcess(const ProbeAddrProcess&) = delete;
  ProbeAddrProcess& operator=(const ProbeAddrProcess&) = delete;

  void command(const std::string& line);
  // Every line logged so far.
  std::vector<LogLine> log() const;
  // Waits for a line whose first fields are `prefix`; the line, or nothing
  // on time-out.
  std::optional<LogLine> waitFor(const std::vector<std::string>& prefix,
                                 std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // The exit code once the program has ended; nothing on time-out.
  std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // The state line of a control from a fresh "dump".
  std::optional<LogLine> state(const std::string& control);
  pid_t pid() const { return pid_; }

 private:
  std::string logPath_;
  pid_t pid_ = -1;
  int stdin_ = -1;
  std::optional<int> exitCode_;
};

// Lines of `lines` of the given kind.
std::vector<LogLine> linesOf(const std::vector<LogLine>& lines, const std::string& kind);

}  // namespace probeaddr::testing
