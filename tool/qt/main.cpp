// ProbeAddr: shows the identity of the KV210 probe on a serial port and writes
// a new bus address into it.
//   ProbeAddr [COM=n | COMM=n | PORT=/dev/...]
#include <QApplication>
#include <QStringList>

#include <CLI/CLI.hpp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "fonts.h"
#include "program.h"

namespace {

constexpr const char* kKeysHelp =
    "Keys (without one, the first port that opens is used, trying numbers 0 to 10):\n"
    "  COM=n       serial port number n, one digit (COM=12 is port 1)\n"
    "  COMM=n      the same; wins when both are given\n"
    "  PORT=path   exactly this device, to the end of the argument, e.g.\n"
    "              PORT=/dev/ttyUSB0 or PORT=/dev/serial/by-id/...\n"
    "Port n is the n-th serial port: USB and ACM adapters first, then the built-in\n"
    "ports, each by name and number. A port that fails ends the program with a\n"
    "message; for PORT= it says why (no such device, busy and by whom, no permission).\n"
    "Qt's own options (-platform, -display, -style, ...) are taken as well.\n";

// --help and --version are answered before Qt starts, so that they work
// without a display; everything else is left to the window program.
std::optional<int> answerInformationRequests(int argc, char** argv) {
  CLI::App cli{"Shows the identity of the KV210 probe on a serial port and writes a new bus address\n"
               "(00 to 99) into it.",
               "ProbeAddr"};
  cli.set_version_flag("--version", "ProbeAddr " PROBEADDR_VERSION);
  std::vector<std::string> keys;
  cli.add_option("KEY", keys, "COM=n, COMM=n or PORT=path (below)")->type_name("");
  cli.allow_extras();  // Qt's options
  cli.footer(kKeysHelp);
  try {
    cli.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return cli.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return cli.exit(e);
  } catch (const CLI::ParseError&) {
    // Nothing to answer: the keys are looked for in the arguments as they stand.
  }
  return std::nullopt;
}

bool set(const char* variable) {
  const char* value = std::getenv(variable);
  return value && *value;
}

// Qt ends a windowed program that finds no display with an abort; say what to
// do instead.
bool displayMissing(int argc, char** argv) {
  if (set("QT_QPA_PLATFORM") || set("DISPLAY") || set("WAYLAND_DISPLAY")) return false;
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "-platform") == 0 || std::strcmp(argv[i], "--platform") == 0) return false;
  return true;
}

}  // namespace

int main(int argc, char* argv[]) {
  if (const auto exitCode = answerInformationRequests(argc, argv)) return *exitCode;
  if (displayMissing(argc, argv)) {
    std::fputs("ProbeAddr: no display (DISPLAY is not set). It is a windowed program: start it on a\n"
               "desktop, or on a virtual X server: xvfb-run -a ProbeAddr PORT=/dev/ttyUSB0\n",
               stderr);
    return 1;
  }
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("ProbeAddr"));
  QApplication::setApplicationVersion(QStringLiteral(PROBEADDR_VERSION));
  QApplication::setQuitOnLastWindowClosed(false);
  probeaddr::qt::installFontSubstitutes();

  // The arguments, without the program's path and those Qt took for itself.
  QStringList arguments = QApplication::arguments();
  if (!arguments.isEmpty()) arguments.removeFirst();
  std::vector<std::string> commandLine;
  for (const QString& argument : arguments) commandLine.push_back(argument.toLocal8Bit().toStdString());

  probeaddr::qt::runProbeAddr(std::move(commandLine));
}
