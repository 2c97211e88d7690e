#include "options.h"

#include <algorithm>

namespace velprobe {
namespace {

constexpr int64_t kMaxFrequencyHundredths = 9999999;  // the most the command frame carries
constexpr int32_t kMaxFilter = 7;
constexpr int32_t kMaxAutoOffSeconds = 10800;
constexpr int32_t kMaxTimeoutMs = 3600000;
constexpr int64_t kMaxIntervalMs = 86400000;

struct CommandName {
  std::string_view name;
  Command command;
  bool takesValue;
};
constexpr CommandName kCommands[] = {
    {"info", Command::Info, false},           {"read", Command::Read, false},
    {"watch", Command::Watch, false},         {"set-frequency", Command::SetFrequency, true},
    {"set-filter", Command::SetFilter, true}, {"set-auto-off", Command::SetAutoOff, true},
};

std::string quoted(std::string_view s) { return "'" + std::string(s) + "'"; }

int64_t wholeNumber(std::string_view what, std::string_view text, int64_t min, int64_t max) {
  const auto value = parseScaledDecimal(text, 0, max);
  if (!value || *value < min)
    throw UsageError(std::string(what) + " must be a whole number from " + std::to_string(min) + " to " +
                     std::to_string(max) + ", not " + quoted(text));
  return *value;
}

// Digits with at most one decimal point, and at least one digit.
bool decimalShaped(std::string_view text) {
  return std::count(text.begin(), text.end(), '.') <= 1 &&
         std::any_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

// The frequency in hundredths, taken from its decimal text digit by digit: a
// binary floating-point detour would turn 0.29 into 28.999... hundredths.
int32_t frequencyHundredths(std::string_view text) {
  const std::string got = ", not " + quoted(text);
  if (!text.empty() && text.front() == '-' && decimalShaped(text.substr(1)))
    throw UsageError("set-frequency: the frequency cannot be negative" + got);
  if (!decimalShaped(text)) {
    if (text.find(',') != std::string_view::npos &&
        decimalShaped(std::string(text).replace(text.find(','), 1, ".")))
      throw UsageError("set-frequency: write the decimal point as '.'" + got);
    throw UsageError("set-frequency: expected a decimal number such as 1.23" + got);
  }
  if (const auto point = text.find('.'); point != std::string_view::npos && text.size() - point - 1 > 2)
    throw UsageError("set-frequency: the probe takes at most 2 decimals (hundredths)" + got);
  const auto hundredths = parseScaledDecimal(text, 2, kMaxFrequencyHundredths);
  if (!hundredths) throw UsageError("set-frequency: the frequency must lie from 0 to 99999.99" + got);
  return static_cast<int32_t>(*hundredths);
}

}  // namespace

std::optional<int64_t> parseScaledDecimal(std::string_view text, int decimals, int64_t max) {
  int64_t value = 0;
  int digits = 0, fraction = -1;  // fraction: digits after the point, -1 before it
  for (char c : text) {
    if (c == '.') {
      if (fraction >= 0 || decimals == 0) return std::nullopt;
      fraction = 0;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    if (fraction >= 0 && ++fraction > decimals) return std::nullopt;
    const int digit = c - '0';
    if (value > max / 10 || (value == max / 10 && digit > max % 10)) return std::nullopt;
    value = value * 10 + digit;
    ++digits;
  }
  if (digits == 0) return std::nullopt;
  for (int i = std::max(fraction, 0); i < decimals; ++i) {
    if (value > max / 10) return std::nullopt;
    value *= 10;
  }
  return value;
}

Options parseCommandLine(const std::vector<std::string_view>& args) {
  Options o;
  bool formatGiven = false, intervalGiven = false;
  std::vector<std::string_view> positional;

  for (std::size_t i = 0; i < args.size(); ++i) {
    std::string_view arg = args[i];
    if (arg == "--") {
      positional.insert(positional.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    }
    // "-1.5" is a (negative) value, not an option.
    if (arg.size() < 2 || arg[0] != '-' || (arg[1] >= '0' && arg[1] <= '9')) {
      positional.push_back(arg);
      continue;
    }
    // --name=value or --name value; short options take their value as the next argument.
    std::string_view name = arg;
    std::optional<std::string_view> inlineValue;
    if (arg.rfind("--", 0) == 0) {
      if (const auto eq = arg.find('='); eq != std::string_view::npos) {
        name = arg.substr(0, eq);
        inlineValue = arg.substr(eq + 1);
      }
    }
    auto value = [&]() -> std::string_view {
      if (inlineValue) return *inlineValue;
      if (i + 1 >= args.size()) throw UsageError(std::string(name) + " needs a value");
      return args[++i];
    };
    auto flag = [&] {
      if (inlineValue) throw UsageError(std::string(name) + " takes no value");
    };
    auto setFormat = [&](Format f) {
      flag();
      if (formatGiven && o.format != f) throw UsageError("--json and --csv exclude each other");
      formatGiven = true;
      o.format = f;
    };

    if (name == "-h" || name == "--help") {
      flag();
      o.help = true;
    } else if (name == "-V" || name == "--version") {
      flag();
      o.version = true;
    } else if (name == "-p" || name == "--port") {
      o.port = value();
      if (o.port.empty()) throw UsageError("--port needs a device name such as /dev/ttyUSB0");
    } else if (name == "-m" || name == "--model") {
      const std::string_view model = value();
      // The library compares four characters as a whole, so a shorter text is no prefix.
      if (model.size() != 4 ||
          std::any_of(model.begin(), model.end(), [](char c) { return c < 0x21 || c > 0x7E; }))
        throw UsageError("--model takes the first 4 characters of the model name (such as KV21), not " +
                         quoted(model));
      o.model = model;
    } else if (name == "-t" || name == "--timeout") {
      o.timeoutMs = static_cast<int32_t>(wholeNumber("--timeout (milliseconds)", value(), 1, kMaxTimeoutMs));
    } else if (name == "--json") {
      setFormat(Format::Json);
    } else if (name == "--csv") {
      setFormat(Format::Csv);
    } else if (name == "-i" || name == "--interval") {
      const std::string_view text = value();
      const auto ms = parseScaledDecimal(text, 3, kMaxIntervalMs);
      if (!ms)
        throw UsageError("--interval takes seconds from 0 to 86400 with at most 3 decimals, not " +
                         quoted(text));
      o.intervalMs = *ms;
      intervalGiven = true;
    } else if (name == "-n" || name == "--count") {
      o.count = wholeNumber("--count", value(), 1, INT32_MAX);
    } else {
      throw UsageError("unknown option " + quoted(name));
    }
  }
  if (o.help || o.version) return o;

  if (positional.empty()) throw UsageError("no command given");
  const std::string_view commandName = positional.front();
  const auto* known = std::find_if(std::begin(kCommands), std::end(kCommands),
                                   [&](const CommandName& c) { return c.name == commandName; });
  if (known == std::end(kCommands)) throw UsageError("unknown command " + quoted(commandName));
  o.command = known->command;
  const std::size_t expected = known->takesValue ? 2 : 1;
  if (positional.size() < expected) throw UsageError(std::string(commandName) + " needs a value");
  if (positional.size() > expected)
    throw UsageError("unexpected argument " + quoted(positional[expected]) + " after " +
                     std::string(commandName));

  if (o.command != Command::Watch && (intervalGiven || o.count))
    throw UsageError("--interval and --count belong to the watch command");
  if (known->takesValue) {
    const std::string_view text = positional[1];
    switch (o.command) {
      case Command::SetFrequency: o.setting = frequencyHundredths(text); break;
      case Command::SetFilter:
        o.setting = static_cast<int32_t>(wholeNumber("set-filter: the filter", text, 0, kMaxFilter));
        break;
      case Command::SetAutoOff:
        o.setting = static_cast<int32_t>(
            wholeNumber("set-auto-off: the switch-off time (seconds)", text, 0, kMaxAutoOffSeconds));
        break;
      default: break;
    }
  }
  if (o.port.empty()) throw UsageError("no port given: use --port DEVICE, such as --port /dev/ttyUSB0");
  return o;
}

}  // namespace velprobe
