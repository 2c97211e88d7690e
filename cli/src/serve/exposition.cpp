#include "exposition.h"

#include <charconv>
#include <cmath>
#include <stdexcept>

namespace velprobe::serve {
namespace {

bool validName(std::string_view name, bool colonAllowed) {
  if (name.empty() || (name[0] >= '0' && name[0] <= '9')) return false;
  for (char c : name)
    if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
          (colonAllowed && c == ':')))
      return false;
  return true;
}

// HELP text escapes backslash and line feed only.
std::string escapeHelp(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

template <class T>
void appendNumber(std::string& out, T value) {
  if constexpr (std::is_floating_point_v<T>) {
    if (std::isinf(value)) {
      out += value > 0 ? "+Inf" : "-Inf";
      return;
    }
  }
  char buffer[32];
  out.append(buffer, std::to_chars(buffer, buffer + sizeof buffer, value).ptr);
}

}  // namespace

std::string escapeLabelValue(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    if (c == '\\') out += "\\\\";
    else if (c == '"') out += "\\\"";
    else if (c == '\n') out += "\\n";
    else out += c;
  }
  return out;
}

void Exposition::family(std::string_view name, Type type, std::string_view help) {
  if (!validName(name, true)) throw std::logic_error("not a metric name: " + std::string(name));
  for (const Family& f : families_)
    if (f.name == name) throw std::logic_error("metric family declared twice: " + std::string(name));
  families_.push_back(Family{std::string(name), escapeHelp(help), type, {}});
}

std::string& Exposition::line(std::string_view name, const Labels& labels) {
  for (Family& f : families_) {
    if (f.name != name) continue;
    std::string& out = f.samples;
    out += name;
    if (!labels.empty()) {
      out += '{';
      for (const auto& [label, value] : labels) {
        if (!validName(label, false)) throw std::logic_error("not a label name: " + std::string(label));
        if (&label != &labels.front().first) out += ',';
        out += label;
        out += "=\"";
        out += escapeLabelValue(value);
        out += '"';
      }
      out += '}';
    }
    out += ' ';
    return out;
  }
  throw std::logic_error("sample of an undeclared metric family: " + std::string(name));
}

void Exposition::add(std::string_view name, const Labels& labels, float value) {
  if (std::isnan(value)) return;
  std::string& out = line(name, labels);
  appendNumber(out, value);
  out += '\n';
}

void Exposition::add(std::string_view name, const Labels& labels, double value) {
  if (std::isnan(value)) return;
  std::string& out = line(name, labels);
  appendNumber(out, value);
  out += '\n';
}

void Exposition::add(std::string_view name, const Labels& labels, uint64_t value) {
  std::string& out = line(name, labels);
  appendNumber(out, value);
  out += '\n';
}

std::string Exposition::text() const {
  std::string out;
  for (const Family& f : families_) {
    out += "# HELP " + f.name + " " + f.help + "\n# TYPE " + f.name + " " +
           (f.type == Type::Counter ? "counter" : "gauge") + "\n" + f.samples;
  }
  return out;
}

}  // namespace velprobe::serve
