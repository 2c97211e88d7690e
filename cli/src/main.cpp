// velprobe: a command-line client for KV210 probes on the VEL_KV21X library.
#include <cstdio>
#include <exception>
#include <string>

#include "command_line.h"
#include "commands.h"
#include "interrupt.h"

namespace {

void printError(const std::string& message) { std::fprintf(stderr, "velprobe: %s\n", message.c_str()); }

}  // namespace

int main(int argc, char** argv) {
  using namespace velprobe;
  try {
    CommandLine commandLine;
    if (const auto status = commandLine.parse(argc, argv)) return *status;
    Output out(stdout);
    installStopHandlers();
    return commandLine.run(out);
  } catch (const Failure& e) {
    printError(e.what());
    return e.exitStatus();
  } catch (const Output::Closed&) {
    return kExitDevice;
  } catch (const std::exception& e) {
    printError(std::string("unexpected failure: ") + e.what());
    return kExitDevice;
  }
}
