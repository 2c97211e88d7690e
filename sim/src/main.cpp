// kv210-sim: serves one simulated KV210 probe on a pseudo-terminal until
// SIGINT or SIGTERM. The first line on stdout is the device to open.
#include <csignal>
#include <exception>
#include <iostream>
#include <sstream>
#include <string>
#include <string_view>

#include "kv210/simulator.h"

namespace {

constexpr const char* kUsage =
    "Usage: kv210-sim [options]\n"
    "Serves a simulated KV210 probe on a pseudo-terminal until SIGINT or SIGTERM.\n"
    "Prints the device to open as the first line on stdout.\n"
    "\n"
    "  --link PATH              also make a symbolic link PATH to the device\n"
    "  --pace                   send and take in bytes at 9600-baud speed\n"
    "  --model TEXT             model in the version reply (KV210)\n"
    "  --release TEXT           firmware release (1.10)\n"
    "  --date TEXT              firmware date (07/10)\n"
    "  --serial TEXT            serial number (0424K10123)\n"
    "  --address NN             bus address besides 00 (00)\n"
    "  --name TEXT              probe name in the data block (KV210A)\n"
    "  --calibration-date TEXT  calibration date in the data block (07/12/26)\n"
    "  --field-limit VALUE      field limit in the data block (200)\n"
    "  --battery-raw N          raw battery reading, 0..65535 (768)\n"
    "  --temperature-raw N      raw temperature reading, -32768..32767 (640)\n"
    "  --total-field VALUE      total field; the probe sends its square (5)\n"
    "  --axis X,Y,Z             the three axis values (1,2,3)\n"
    "  --verbose                log frames and replies to stderr\n"
    "  --help                   show this text\n";

struct UsageError {
  std::string message;
};

float parseFloat(std::string_view option, const std::string& text) {
  try {
    std::size_t used = 0;
    float value = std::stof(text, &used);
    if (used == text.size()) return value;
  } catch (const std::exception&) {
  }
  throw UsageError{std::string(option) + " needs a number, not '" + text + "'"};
}

long parseInteger(std::string_view option, const std::string& text, long low, long high) {
  try {
    std::size_t used = 0;
    long value = std::stol(text, &used, 10);
    if (used == text.size() && value >= low && value <= high) return value;
  } catch (const std::exception&) {
  }
  throw UsageError{std::string(option) + " needs a whole number from " + std::to_string(low) +
                   " to " + std::to_string(high) + ", not '" + text + "'"};
}

struct Settings {
  kv210::sim::Simulator::Options options;
  bool verbose = false;
  bool help = false;
};

Settings parseArguments(int argc, char** argv) {
  Settings settings;
  auto& identity = settings.options.identity;
  auto& readings = settings.options.readings;
  for (int i = 1; i < argc; ++i) {
    std::string_view option = argv[i];
    auto value = [&]() -> std::string {
      if (i + 1 >= argc) throw UsageError{std::string(option) + " needs a value"};
      return argv[++i];
    };
    if (option == "--help" || option == "-h") {
      settings.help = true;
    } else if (option == "--pace") {
      settings.options.pace9600 = true;
    } else if (option == "--verbose") {
      settings.verbose = true;
    } else if (option == "--link") {
      settings.options.linkPath = value();
    } else if (option == "--model") {
      identity.model = value();
    } else if (option == "--release") {
      identity.release = value();
    } else if (option == "--date") {
      identity.firmwareDate = value();
    } else if (option == "--serial") {
      identity.serial = value();
    } else if (option == "--address") {
      identity.address = value();
      if (identity.address.size() != 2 ||
          identity.address.find_first_not_of("0123456789") != std::string::npos)
        throw UsageError{"--address needs two digits, 00 to 99"};
    } else if (option == "--name") {
      identity.name = value();
    } else if (option == "--calibration-date") {
      identity.calibrationDate = value();
    } else if (option == "--field-limit") {
      identity.fieldLimit = parseFloat(option, value());
    } else if (option == "--battery-raw") {
      readings.batteryRaw = static_cast<uint16_t>(parseInteger(option, value(), 0, 65535));
    } else if (option == "--temperature-raw") {
      readings.temperatureRaw = static_cast<int16_t>(parseInteger(option, value(), -32768, 32767));
    } else if (option == "--total-field") {
      float field = parseFloat(option, value());
      readings.totalFieldSquared = field * field;
    } else if (option == "--axis") {
      std::string text = value();
      std::istringstream parts(text);
      std::string part;
      int n = 0;
      while (std::getline(parts, part, ',')) {
        if (n == 3) throw UsageError{"--axis needs three values X,Y,Z, not '" + text + "'"};
        readings.axis[n++] = parseFloat(option, part);
      }
      if (n != 3) throw UsageError{"--axis needs three values X,Y,Z, not '" + text + "'"};
    } else {
      throw UsageError{"unknown option '" + std::string(option) + "'"};
    }
  }
  return settings;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  try {
    settings = parseArguments(argc, argv);
  } catch (const UsageError& error) {
    std::cerr << "kv210-sim: " << error.message << "\n" << "Try 'kv210-sim --help'.\n";
    return 2;
  }
  if (settings.help) {
    std::cout << kUsage;
    return 0;
  }
  if (settings.verbose)
    settings.options.trace = [](const std::string& line) { std::cerr << "kv210-sim: " << line << std::endl; };

  // Blocked before the serving thread starts, so that it inherits the mask
  // and the signals reach sigwait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

  try {
    kv210::sim::Simulator simulator(std::move(settings.options));
    std::cout << simulator.devicePath() << std::endl;
    std::cerr << "kv210-sim: serving a probe on " << simulator.ptsPath()
              << " (address " << simulator.address() << "); stop with Ctrl+C\n";
    int signal = 0;
    sigwait(&stopSignals, &signal);
    std::cerr << "kv210-sim: stopped by signal " << signal << "\n";
  } catch (const std::exception& error) {
    std::cerr << "kv210-sim: " << error.what() << "\n";
    return 1;
  }
  return 0;
}
