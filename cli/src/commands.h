// The commands: each opens the probe, does its work, prints its result and
// closes the port again, on every path.
#pragma once

#include <cstdio>
#include <string_view>

#include "command_line.h"
#include "format.h"
#include "probe.h"

namespace velprobe {

// Standard output with its failures made visible: a reader that closed the
// pipe (Closed) is told apart from other write errors (Failure).
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

// Every sub-command, registered in this one place.
void addCommands(CommandLine& commandLine);

// One function per sub-command.
void addPortsCommand(CommandLine& commandLine);
void addInfoCommand(CommandLine& commandLine);
void addReadCommand(CommandLine& commandLine);
void addWatchCommand(CommandLine& commandLine);
void addSettingCommands(CommandLine& commandLine);
void addServeCommand(CommandLine& commandLine);

// Opens the probe the shared options name, with their time-out; throws
// Failure when no port is given or it cannot be used.
Probe openProbe(const GlobalOptions& options);

Record identityRecord(const Identity& id);
Record readingRecord(const Reading& reading, bool clockOnly);

}  // namespace velprobe
