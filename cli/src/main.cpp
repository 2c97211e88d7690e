// velprobe: a command-line client for KV210 probes on the VEL_KV21X library.
#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "commands.h"
#include "help.h"
#include "interrupt.h"
#include "options.h"
#include "serve/serve.h"

#ifndef VELPROBE_VERSION
#define VELPROBE_VERSION "unknown"
#endif

namespace {

void printError(const std::string& message) { std::fprintf(stderr, "velprobe: %s\n", message.c_str()); }

}  // namespace

int main(int argc, char** argv) {
  using namespace velprobe;
  if (argc > 1 && std::string_view(argv[1]) == "serve") return serve::run(argc - 1, argv + 1);
  std::vector<std::string_view> args(argv + 1, argv + argc);
  Options options;
  try {
    options = parseCommandLine(args);
  } catch (const UsageError& e) {
    printError(e.what());
    std::fprintf(stderr, "Try 'velprobe --help' for more information.\n");
    return kExitUsage;
  }
  try {
    Output out(stdout);
    if (options.help) {
      out.write(kHelpText);
      return kExitOk;
    }
    if (options.version) {
      out.write("velprobe " VELPROBE_VERSION "\n");
      return kExitOk;
    }
    installStopHandlers();
    return runCommand(options, out);
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
