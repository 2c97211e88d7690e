// velprobe's command line: the options every command shares, and the place
// where each sub-command registers itself (one function per command, see
// addCommands in commands.cpp).
#pragma once

#include <CLI/CLI.hpp>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "format.h"

namespace velprobe {

struct GlobalOptions {
  std::string port;  // a device, "auto", or empty when not given
  std::string model = "KV21";
  std::optional<int32_t> timeoutMs;  // unset: the library's own
  Format format = Format::Text;
};

class Output;

// The end of --help: output, exit statuses, port access, examples.
extern const char* const kHelpFooter;

class CommandLine {
 public:
  // Runs a parsed command; returns the exit status or throws Failure.
  using Run = std::function<int(const GlobalOptions&, Output&)>;

  CommandLine();
  // Adds a sub-command; its options go on the returned app.
  CLI::App& add(const std::string& name, const std::string& description, Run run);
  // The exit status when the run ends here (help, version, usage error).
  std::optional<int> parse(int argc, const char* const* argv);
  int run(Output& out) const;

 private:
  CLI::App app_;
  GlobalOptions global_;
  std::vector<std::pair<CLI::App*, Run>> commands_;
};

// Decimal text with at most `decimals` digits after the point, scaled by
// 10^decimals exactly ("1.23", 2 -> 123). Digits only, no sign or exponent.
// nullopt when the text is not such a number or exceeds `max` once scaled.
std::optional<int64_t> parseScaledDecimal(std::string_view text, int decimals, int64_t max);

// A value check that also rewrites the value as its scaled integer, so that
// CLI11 converts plain digits (its own conversion would read "010" as octal).
CLI::Validator scaledDecimal(const std::string& what, int decimals, int64_t min, int64_t max);
// --model: the library compares the first four characters of a model, so a
// longer name (KV210, as `velprobe info` shows it) is cut to them; a shorter
// text can match no probe and is refused.
CLI::Validator modelPrefix();
// The frequency as typed ("1.23") to hundredths ("123"), taken digit by digit:
// a binary floating-point detour would turn 0.29 into 28.999... hundredths.
CLI::Validator frequencyHundredths();

}  // namespace velprobe
