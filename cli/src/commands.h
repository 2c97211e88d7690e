// The commands: each opens the probe, does its work, prints its result and
// closes the port again, on every path.
#pragma once

#include <cstdio>
#include <string_view>

#include "format.h"
#include "options.h"
#include "probe.h"

namespace velprobe {

// Standard output with its failures made visible: a reader that closed the
// pipe (OutputClosed) is told apart from other write errors (Failure).
class Output {
 public:
  struct Closed {};
  explicit Output(std::FILE* file);
  void write(std::string_view text);  // written and flushed
  bool isTerminal() const { return terminal_; }

 private:
  std::FILE* file_;
  bool terminal_;
};

Record identityRecord(const Identity& id);
Record readingRecord(const Reading& reading, bool clockOnly);

// Runs the command of `options` (not help or version); returns the exit status
// or throws Failure.
int runCommand(const Options& options, Output& out);

}  // namespace velprobe
