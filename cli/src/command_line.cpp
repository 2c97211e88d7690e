#include "command_line.h"

#include <algorithm>

#include "commands.h"
#include "probe.h"

#ifndef VELPROBE_VERSION
#define VELPROBE_VERSION "unknown"
#endif

namespace velprobe {
namespace {

constexpr int32_t kMaxTimeoutMs = 3600000;

std::string inQuotes(std::string_view s) { return "'" + std::string(s) + "'"; }

// Digits with at most one decimal point, and at least one digit.
bool decimalShaped(std::string_view text) {
  return std::count(text.begin(), text.end(), '.') <= 1 &&
         std::any_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; }) &&
         std::all_of(text.begin(), text.end(), [](char c) { return (c >= '0' && c <= '9') || c == '.'; });
}

std::string frequencyError(const std::string& text) {
  constexpr int64_t kMaxHundredths = 9999999;  // the most the command frame carries
  const std::string got = ", not " + inQuotes(text);
  if (!text.empty() && text.front() == '-' && decimalShaped(std::string_view(text).substr(1)))
    return "the frequency cannot be negative" + got;
  if (!decimalShaped(text)) {
    if (const auto comma = text.find(',');
        comma != std::string::npos && decimalShaped(std::string(text).replace(comma, 1, ".")))
      return "write the decimal point as '.'" + got;
    return "expected a decimal number such as 1.23" + got;
  }
  if (const auto point = text.find('.'); point != std::string::npos && text.size() - point - 1 > 2)
    return "the probe takes at most 2 decimals (hundredths)" + got;
  if (!parseScaledDecimal(text, 2, kMaxHundredths)) return "the frequency must lie from 0 to 99999.99" + got;
  return {};
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

CLI::Validator scaledDecimal(const std::string& what, int decimals, int64_t min, int64_t max) {
  return CLI::Validator(
      [=](std::string& text) -> std::string {
        const auto value = parseScaledDecimal(text, decimals, max);
        if (value && *value >= min) {
          text = std::to_string(*value);
          return {};
        }
        return what + inQuotes(text);
      },
      "", "");
}

CLI::Validator frequencyHundredths() {
  return CLI::Validator(
      [](std::string& text) {
        std::string error = frequencyError(text);
        if (error.empty()) text = std::to_string(*parseScaledDecimal(text, 2, INT32_MAX));
        return error;
      },
      "", "");
}

CLI::Validator modelPrefix() {
  return CLI::Validator(
      [](std::string& model) -> std::string {
        const bool ok = model.size() >= 4 &&
                        std::all_of(model.begin(), model.end(), [](char c) { return c > 0x20 && c < 0x7F; });
        if (!ok) return "give the model name or its first 4 characters (such as KV210 or KV21), not " + inQuotes(model);
        model.resize(4);
        return {};
      },
      "", "");
}

CommandLine::CommandLine()
    : app_("velprobe - check, read and set up a KV210 field probe on a serial port", "velprobe") {
  app_.set_version_flag("-V,--version", "velprobe " VELPROBE_VERSION, "show the version");
  app_.set_help_flag("-h,--help", "show this text; after a command, its options");
  app_.require_subcommand(0, 1);
  app_.fallthrough();  // the shared options may also follow the command
  app_.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);  // as in most tools
  app_.get_formatter()->column_width(26);
  app_.footer(kHelpFooter);
  app_.failure_message([](const CLI::App*, const CLI::Error& e) {
    return "velprobe: " + std::string(e.what()) + "\nTry 'velprobe --help' for more information.\n";
  });
  app_.add_option("-p,--port", global_.port, "serial port of the probe (see PORTS below)")
      ->type_name("DEVICE");
  app_.add_option("-m,--model", global_.model, "the probe's model; its first 4 characters are compared (KV21)")
      ->type_name("TEXT")
      ->transform(modelPrefix());
  app_.add_option("-t,--timeout", global_.timeoutMs, "reply time-out, 1 to 3600000 ms (500)")
      ->type_name("MS")
      ->transform(scaledDecimal("needs whole milliseconds from 1 to 3600000, not ", 0, 1, kMaxTimeoutMs));
  auto format = [this](Format wanted) {
    return [this, wanted] {
      if (global_.format != Format::Text && global_.format != wanted)
        throw CLI::ValidationError("--json and --csv exclude each other");
      global_.format = wanted;
    };
  };
  app_.add_flag_callback("--json", format(Format::Json), "JSON output (watch: one object a line)");
  app_.add_flag_callback("--csv", format(Format::Csv), "CSV output: a header row, then the rows");
  addCommands(*this);
}

CLI::App& CommandLine::add(const std::string& name, const std::string& description, Run run) {
  CLI::App* command = app_.add_subcommand(name, description);
  command->footer("");
  commands_.emplace_back(command, std::move(run));
  return *command;
}

std::optional<int> CommandLine::parse(int argc, const char* const* argv) {
  try {
    app_.parse(argc, argv);
    if (app_.get_subcommands().empty())
      throw CLI::RequiredError("no command given", CLI::ExitCodes::RequiredError);
    return std::nullopt;
  } catch (const CLI::CallForHelp& e) {
    return app_.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app_.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app_.exit(e);
  } catch (const CLI::ExtrasError& e) {
    // Before any command, a stray word is a command name that does not exist.
    const auto extra = app_.remaining();
    app_.exit(
        app_.get_subcommands().empty() && !extra.empty() && extra.front().front() != '-'
            ? CLI::ExtrasError("unknown command " + inQuotes(extra.front()), CLI::ExitCodes::ExtrasError)
            : e);
    return kExitUsage;
  } catch (const CLI::ParseError& e) {
    app_.exit(e);
    return kExitUsage;
  }
}

int CommandLine::run(Output& out) const {
  for (const auto& [command, run] : commands_)
    if (command->parsed()) return run(global_, out);
  return kExitUsage;  // parse() requires one command
}

}  // namespace velprobe
