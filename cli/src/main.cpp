// velprobe: a command-line client for KV210 probes on the VEL_KV21X library.
#include <cstdio>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "command_line.h"
#include "commands.h"
#include "interrupt.h"
#include "serve/serve.h"

namespace {

void printError(const std::string& message) { std::fprintf(stderr, "velprobe: %s\n", message.c_str()); }

}  // namespace

int main(int argc, char** argv) {
  using namespace velprobe;
  // serve takes its own options (a --port per probe, its --help among them),
  // the shared ones before it included.
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "serve") {
      std::vector<char*> args{argv[i]};
      args.insert(args.end(), argv + 1, argv + i);
      args.insert(args.end(), argv + i + 1, argv + argc);
      return serve::run(static_cast<int>(args.size()), args.data());
    }
    if (arg == "-p" || arg == "--port" || arg == "-m" || arg == "--model" || arg == "-t" || arg == "--timeout")
      ++i;  // its value
    else if (arg.empty() || arg[0] != '-')
      break;  // another command
  }
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
