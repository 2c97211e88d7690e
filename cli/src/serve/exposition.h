// The Prometheus text exposition format (version 0.0.4), apart from what is
// measured and from the transport: families of samples, each family's HELP
// and TYPE written once however its samples were added, label values escaped,
// and a value that is not a number withheld rather than written.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velprobe::serve {

class Exposition {
 public:
  enum class Type { Gauge, Counter };
  using Labels = std::vector<std::pair<std::string_view, std::string_view>>;

  // Declares a family. Its samples follow its HELP and TYPE lines, in the
  // order they were added; families appear in the order declared. Throws
  // std::logic_error for a malformed name or a second declaration.
  void family(std::string_view name, Type type, std::string_view help);
  // One sample of a declared family (std::logic_error otherwise, or for a
  // malformed label name). A NaN is withheld: no line at all.
  void add(std::string_view name, const Labels& labels, float value);
  void add(std::string_view name, const Labels& labels, double value);
  void add(std::string_view name, const Labels& labels, uint64_t value);

  std::string text() const;

 private:
  struct Family {
    std::string name, help;
    Type type;
    std::string samples;
  };
  std::string& line(std::string_view name, const Labels& labels);

  std::vector<Family> families_;
};

// A label value between its quotes: backslash, double quote and line feed escaped.
std::string escapeLabelValue(std::string_view value);

}  // namespace velprobe::serve
