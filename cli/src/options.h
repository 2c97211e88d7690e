// velprobe's command line.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace velprobe {

enum class Format { Text, Json, Csv };
enum class Command { None, Info, Read, Watch, SetFrequency, SetFilter, SetAutoOff };

struct Options {
  bool help = false;
  bool version = false;
  std::string port;
  std::string model = "KV21";
  std::optional<int32_t> timeoutMs;  // unset: the library's own
  Format format = Format::Text;
  Command command = Command::None;
  int64_t intervalMs = 1000;     // watch
  std::optional<int64_t> count;  // watch; unset: until interrupted
  int32_t setting = 0;           // set-*: frequency in hundredths, filter, seconds
};

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Throws UsageError naming the offending argument.
Options parseCommandLine(const std::vector<std::string_view>& args);

// Decimal text with at most `decimals` digits after the point, scaled by
// 10^decimals exactly ("1.23", 2 -> 123). Digits only, no sign or exponent.
// nullopt when the text is not such a number or exceeds `max` once scaled.
std::optional<int64_t> parseScaledDecimal(std::string_view text, int decimals, int64_t max);

}  // namespace velprobe
