// kv210-sim: serves one simulated KV210 probe on a pseudo-terminal until
// SIGINT or SIGTERM. The first line on stdout is the device to open; it is
// printed once the probe answers, so a script may read it and start at once.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "kv210/simulator.h"

namespace {

using kv210::sim::Fault;
using kv210::sim::FaultKind;

constexpr const char* kFaultHelp =
    "Faults (--fault lasts, --fault-once hits the next frame of that command only;\n"
    "both repeatable). COMMAND is v P s b t T A k f e or @I:\n"
    "  COMMAND:silence             no reply\n"
    "  COMMAND:wrong-letter[:C]    first byte replaced by C (X)\n"
    "  COMMAND:truncate:N          only the first N bytes\n"
    "  COMMAND:split:N:MS          N bytes, a pause of MS ms, then the rest\n"
    "  COMMAND:late:MS             the whole reply MS ms late\n"
    "  COMMAND:extra:TEXT          the reply followed by TEXT\n"
    "  COMMAND:garbage:TEXT        TEXT instead of the reply\n"
    "  COMMAND:malformed-serial:TEXT  TEXT in place of the serial number\n"
    "  @I:store-error              the address store answers ERR\n"
    "  COMMAND:hang-up             the device goes away instead of replying\n"
    "\n"
    "Examples:\n"
    "  kv210-sim --link /tmp/kv210 --daemon --pidfile /tmp/kv210.pid\n"
    "  kv210-sim --fast --fault b:silence --fault-once T:wrong-letter:Q\n";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

long wholeNumber(const std::string& text, const std::string& what) {
  try {
    std::size_t used = 0;
    long value = std::stol(text, &used, 10);
    if (used == text.size() && value >= 0) return value;
  } catch (const std::exception&) {
  }
  throw UsageError(what + " needs a whole number, not '" + text + "'");
}

// "COMMAND:KIND[:ARG[:ARG]]" as the help text lists them.
std::pair<std::string, Fault> parseFault(const std::string& text) {
  std::vector<std::string> parts;
  std::stringstream in(text);
  for (std::string part; std::getline(in, part, ':');) parts.push_back(part);
  static const std::vector<std::string> kCommands = {"v", "P", "s", "b", "t", "T", "A", "k", "f", "e", "@I"};
  if (parts.size() < 2 || std::find(kCommands.begin(), kCommands.end(), parts[0]) == kCommands.end())
    throw UsageError("--fault needs COMMAND:KIND, not '" + text + "' (see --help)");
  const std::string& kind = parts[1];
  auto argument = [&](std::size_t i) -> const std::string& {
    if (parts.size() <= i) throw UsageError("--fault " + kind + " needs more values, not '" + text + "'");
    return parts[i];
  };
  auto bytes = [](const std::string& s) { return kv210::sim::Bytes(s.begin(), s.end()); };
  auto ms = [&](std::size_t i) { return std::chrono::milliseconds(wholeNumber(argument(i), "--fault " + kind)); };
  Fault fault;
  if (kind == "silence") {
    fault.kind = FaultKind::Silence;
  } else if (kind == "wrong-letter") {
    fault.kind = FaultKind::WrongLetter;
    fault.letter = parts.size() > 2 && parts[2].size() == 1 ? parts[2][0] : 'X';
  } else if (kind == "truncate") {
    fault.kind = FaultKind::Truncate;
    fault.count = static_cast<std::size_t>(wholeNumber(argument(2), "--fault truncate"));
  } else if (kind == "split") {
    fault.kind = FaultKind::Split;
    fault.count = static_cast<std::size_t>(wholeNumber(argument(2), "--fault split"));
    fault.delay = ms(3);
  } else if (kind == "late") {
    fault.kind = FaultKind::Late;
    fault.delay = ms(2);
  } else if (kind == "extra") {
    fault.kind = FaultKind::Extra;
    fault.bytes = bytes(argument(2));
  } else if (kind == "garbage") {
    fault.kind = FaultKind::Garbage;
    fault.bytes = bytes(argument(2));
  } else if (kind == "malformed-serial") {
    fault.kind = FaultKind::MalformedSerial;
    fault.bytes = bytes(argument(2));
  } else if (kind == "store-error") {
    fault.kind = FaultKind::StoreError;
  } else if (kind == "hang-up") {
    fault.kind = FaultKind::HangUp;
  } else {
    throw UsageError("unknown fault kind '" + kind + "' (see --help)");
  }
  return {parts[0], fault};
}

struct Settings {
  kv210::sim::Simulator::Options options;
  std::vector<std::string> faults;
  std::vector<std::string> faultsOnce;
  std::string pidFile;
  bool daemon = false;
  bool verbose = false;
};

// Detaches into the background. The parent returns only once the child
// reports its device (or its failure) through a pipe, and exits with it.
int daemonize(int& reportFd) {
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  pid_t child = fork();
  if (child < 0) throw std::runtime_error(std::string("fork: ") + std::strerror(errno));
  if (child > 0) {
    close(pipeFds[1]);
    std::string report;
    char buffer[512];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) break;
      report.append(buffer, static_cast<std::size_t>(n));
    }
    bool ok = report.rfind("ok ", 0) == 0;
    (ok ? std::cout : std::cerr) << (ok ? report.substr(3) : report) << std::flush;
    return ok ? 0 : 1;
  }
  close(pipeFds[0]);
  setsid();
  // Nothing inherited stays open: a port the starting shell holds would
  // otherwise be held by the simulator for as long as it runs.
  if (pipeFds[1] != 3) {
    dup2(pipeFds[1], 3);
    close(pipeFds[1]);
  }
  closefrom(4);
  reportFd = 3;
  return -1;
}

void report(int fd, const std::string& text) {
  for (std::size_t done = 0; done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  auto& identity = settings.options.identity;
  auto& readings = settings.options.readings;
  settings.options.pace9600 = true;
  float totalField = 5.0f;
  std::vector<float> axis{1.0f, 2.0f, 3.0f};
  float frequencyEcho = 0.0f;
  bool fast = false;
  bool paceIgnored = false;

  CLI::App app{"Serves a simulated KV210 probe on a pseudo-terminal until SIGINT or SIGTERM.\n"
               "Prints the device to open as the first line on stdout once the probe answers.\n"
               "Replies go out at the real line speed (9600 baud, about 1 ms a byte) unless --fast.",
               "kv210-sim"};
  app.set_version_flag("--version", "kv210-sim " KV210_VERSION);
  app.footer(kFaultHelp);
  app.add_option("--link", settings.options.linkPath,
                 "also make a symbolic link PATH to the device; refused while another simulator serves it")
      ->type_name("PATH");
  app.add_flag("--fast", fast, "answer at memory speed instead of the line's (for tests that want speed)");
  app.add_flag("--pace", paceIgnored, "real line speed; the default, kept for older scripts");
  app.add_flag("--daemon", settings.daemon, "go to the background once the probe answers; stop it with SIGTERM");
  app.add_option("--pidfile", settings.pidFile, "write the simulator's process id to FILE (removed at exit)")
      ->type_name("FILE");
  app.add_option("--model", identity.model, "model in the version reply")->capture_default_str();
  app.add_option("--release", identity.release, "firmware release")->capture_default_str();
  app.add_option("--date", identity.firmwareDate, "firmware date")->capture_default_str();
  app.add_option("--serial", identity.serial, "serial number")->capture_default_str();
  app.add_option("--address", identity.address,
                 "bus address NN the probe also answers to besides the broadcast address 00,\n"
                 "as if stored by an earlier address write; an address write replaces it")
      ->type_name("NN")
      ->capture_default_str()
      ->check([](const std::string& v) {
        return v.size() == 2 && v.find_first_not_of("0123456789") == std::string::npos
                   ? std::string()
                   : std::string("needs two digits, 00 to 99");
      });
  app.add_option("--name", identity.name, "probe name in the data block")->capture_default_str();
  app.add_option("--calibration-date", identity.calibrationDate, "calibration date in the data block")
      ->capture_default_str();
  app.add_option("--field-limit", identity.fieldLimit, "field limit in the data block")->capture_default_str();
  app.add_option("--battery-raw", readings.batteryRaw, "raw battery reading, 0..65535 (768 = 3.6 V)")
      ->capture_default_str();
  app.add_option("--temperature-raw", readings.temperatureRaw, "raw temperature reading, -32768..32767")
      ->capture_default_str();
  app.add_option("--total-field", totalField, "total field; the probe sends its square")->capture_default_str();
  app.add_option("--axis", axis, "the three axis values")->delimiter(',')->expected(3)->type_name("X,Y,Z");
  auto* echo = app.add_option("--frequency-echo", frequencyEcho,
                              "confirm every frequency setting with this value instead of the setting\n"
                              "(a probe that took another frequency: 1.22 for 1.23 is refused)")
                   ->type_name("VALUE");
  app.add_option("--fault", settings.faults, "a lasting fault, COMMAND:KIND[:ARG...] (below)")
      ->type_name("FAULT");
  app.add_option("--fault-once", settings.faultsOnce, "a fault for the next such frame only")->type_name("FAULT");
  app.add_flag("--verbose", settings.verbose, "log frames and replies to stderr");

  std::vector<std::pair<std::string, Fault>> lasting, once;
  try {
    app.parse(argc, argv);
    if (axis.size() != 3) throw UsageError("--axis needs three values X,Y,Z");
    for (const auto& f : settings.faults) lasting.push_back(parseFault(f));
    for (const auto& f : settings.faultsOnce) once.push_back(parseFault(f));
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const std::exception& e) {
    std::cerr << "kv210-sim: " << e.what() << "\nTry 'kv210-sim --help'.\n";
    return 2;
  }
  const bool paced = !fast;
  settings.options.pace9600 = paced;
  readings.totalFieldSquared = totalField * totalField;
  std::copy(axis.begin(), axis.end(), readings.axis);
  if (echo->count() > 0) readings.frequencyEcho = frequencyEcho;
  if (settings.verbose)
    settings.options.trace = [](const std::string& line) { std::cerr << "kv210-sim: " << line << std::endl; };

  int reportFd = -1;
  try {
    if (settings.daemon) {
      int exitCode = daemonize(reportFd);
      if (exitCode >= 0) return exitCode;
    }
  } catch (const std::exception& e) {
    std::cerr << "kv210-sim: " << e.what() << "\n";
    return 1;
  }

  // Blocked before the serving thread starts, so that it inherits the mask
  // and the signals reach sigwait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  int status = 0;
  try {
    kv210::sim::Simulator simulator(std::move(settings.options));
    for (const auto& [command, fault] : lasting) simulator.setFault(command, fault);
    for (const auto& [command, fault] : once) simulator.pushFault(command, fault);
    if (!settings.pidFile.empty()) {
      std::ofstream(settings.pidFile) << getpid() << "\n";
    }
    if (reportFd >= 0) {
      report(reportFd, "ok " + simulator.devicePath() + "\n");
      close(reportFd);
      reportFd = -1;
      int null = open("/dev/null", O_RDWR);
      if (null >= 0) {
        dup2(null, 0);
        dup2(null, 1);
        if (!settings.verbose) dup2(null, 2);
        if (null > 2) close(null);
      }
    } else {
      std::cout << simulator.devicePath() << std::endl;
      std::cerr << "kv210-sim: serving a probe on " << simulator.ptsPath() << " (address "
                << simulator.address() << (paced ? ", 9600 baud" : ", fast")
                << "); stop with Ctrl+C\n";
    }
    int signal = 0;
    sigwait(&stopSignals, &signal);
    if (reportFd < 0 && !settings.daemon) std::cerr << "kv210-sim: stopped by signal " << signal << "\n";
  } catch (const std::exception& e) {
    if (reportFd >= 0) report(reportFd, std::string("kv210-sim: ") + e.what() + "\n");
    else std::cerr << "kv210-sim: " << e.what() << "\n";
    status = 1;
  }
  if (!settings.pidFile.empty() && status == 0) unlink(settings.pidFile.c_str());
  return status;
}
