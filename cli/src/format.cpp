#include "format.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <ctime>

namespace velprobe {
namespace {

constexpr char kHex[] = "0123456789abcdef";

std::string hexByte(unsigned char c) { return {kHex[c >> 4], kHex[c & 15]}; }

std::string floatText(float value, std::chars_format format, int precision) {
  char buffer[64];
  const auto result = precision < 0 ? std::to_chars(buffer, buffer + sizeof buffer, value)
                                    : std::to_chars(buffer, buffer + sizeof buffer, value, format, precision);
  return std::string(buffer, result.ptr);
}

std::string padLeft(const std::string& s, std::size_t width) {
  const std::size_t w = displayWidth(s);
  return w >= width ? s : std::string(width - w, ' ') + s;
}

std::string padRight(const std::string& s, std::size_t width) {
  const std::size_t w = displayWidth(s);
  return w >= width ? s : s + std::string(width - w, ' ');
}

std::string heading(const Field& f) { return f.unit.empty() ? f.label : f.label + " [" + f.unit + "]"; }

std::string csvLine(const Record& record, bool header) {
  std::string line;
  for (const Field& f : record) {
    if (!line.empty()) line += ',';
    line += header ? csvCell(f.key) : f.csv;
  }
  return line + "\n";
}

std::string jsonRecordLine(const Record& record) {
  JsonValue object = JsonValue::object();
  for (const Field& f : record) object[f.key] = f.json;
  return jsonLine(object);
}

}  // namespace

std::size_t displayWidth(std::string_view s) {
  return static_cast<std::size_t>(std::count_if(
      s.begin(), s.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string escapeText(std::string_view bytes) {
  std::string out;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\\')
      out += "\\\\";
    else if (c >= 0x20 && c < 0x7F)
      out += ch;
    else
      out += "\\x" + hexByte(c);
  }
  return out;
}

JsonValue jsonText(std::string_view bytes) {
  // JSON strings are Unicode: each byte becomes the code point of its value.
  std::string utf8;
  for (char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x80) {
      utf8 += ch;
    } else {
      utf8 += static_cast<char>(0xC0 | (c >> 6));
      utf8 += static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return utf8;
}

JsonValue jsonNumber(double value) {
  if (std::fabs(value) < 1e15 && value == std::trunc(value)) return static_cast<int64_t>(value);
  return value;
}

JsonValue jsonFloat(float value) {
  if (!std::isfinite(value)) return nullptr;
  // The double nearest to the float's shortest text prints as that text again.
  return jsonNumber(std::strtod(floatText(value, std::chars_format::general, -1).c_str(), nullptr));
}

std::string jsonCompact(const JsonValue& value) { return value.dump(-1, ' ', true); }
std::string jsonLine(const JsonValue& value) { return jsonCompact(value) + "\n"; }
std::string jsonString(std::string_view bytes) { return jsonCompact(jsonText(bytes)); }

std::string csvCell(std::string_view cell) {
  const bool quote = cell.find_first_of(",\"\r\n") != std::string_view::npos ||
                     (!cell.empty() && (cell.front() == ' ' || cell.back() == ' '));
  if (!quote) return std::string(cell);
  std::string out = "\"";
  for (char c : cell) {
    if (c == '"') out += '"';
    out += c;
  }
  return out + "\"";
}

Field textField(std::string key, std::string label, std::string_view bytes) {
  // People do not see the NULs that pad a fixed-width text; machines get every byte.
  std::string_view shown = bytes.substr(0, bytes.find_last_not_of('\0') + 1);
  if (bytes.find_first_not_of('\0') == std::string_view::npos) shown = {};
  return {std::move(key),  std::move(label),           "",   escapeText(shown),
          jsonText(bytes), csvCell(escapeText(bytes)), false};
}

Field floatField(std::string key, std::string label, std::string unit, float value, int textDecimals) {
  const std::string exact = floatText(value, std::chars_format::general, -1);
  return {std::move(key),
          std::move(label),
          std::move(unit),
          floatText(value, std::chars_format::fixed, textDecimals),
          jsonFloat(value),
          exact,
          true};
}

Field integerField(std::string key, std::string label, std::string unit, int64_t value) {
  const std::string s = std::to_string(value);
  return {std::move(key), std::move(label), std::move(unit), s, value, s, true};
}

Field scaledField(std::string key, std::string label, std::string unit, int64_t scaled, int decimals) {
  std::string digits = std::to_string(scaled < 0 ? -scaled : scaled);
  if (digits.size() <= static_cast<std::size_t>(decimals))
    digits.insert(0, static_cast<std::size_t>(decimals) + 1 - digits.size(), '0');
  if (decimals > 0) digits.insert(digits.size() - static_cast<std::size_t>(decimals), ".");
  if (scaled < 0) digits.insert(0, "-");
  // Exact decimal text; as a JSON number, the double nearest to it prints as it.
  return {std::move(key),
          std::move(label),
          std::move(unit),
          digits,
          jsonNumber(std::strtod(digits.c_str(), nullptr)),
          digits,
          true};
}

Field timeField(std::string key, std::string label, std::chrono::system_clock::time_point time,
                bool clockOnly) {
  using namespace std::chrono;
  const auto ms = duration_cast<milliseconds>(time.time_since_epoch()).count();
  const std::time_t seconds = static_cast<std::time_t>(ms / 1000 - (ms % 1000 < 0 ? 1 : 0));
  const std::string millis = std::to_string(1000 + ((ms % 1000) + 1000) % 1000).substr(1);
  std::tm utc{}, local{};
  ::gmtime_r(&seconds, &utc);
  ::localtime_r(&seconds, &local);
  char iso[32], people[32];
  std::strftime(iso, sizeof iso, "%Y-%m-%dT%H:%M:%S", &utc);
  std::strftime(people, sizeof people, clockOnly ? "%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &local);
  const std::string stamp = std::string(iso) + "." + millis + "Z";
  return {std::move(key), std::move(label), "", std::string(people) + "." + millis, stamp, stamp, false};
}

std::string renderRecord(Format format, const Record& record) {
  switch (format) {
    case Format::Json: return jsonRecordLine(record);
    case Format::Csv: return csvLine(record, true) + csvLine(record, false);
    case Format::Text: break;
  }
  // Numbers line up at their decimal points.
  auto split = [](const std::string& number) {
    const std::size_t point = std::min(number.find('.'), number.size());
    return std::pair{number.substr(0, point), number.substr(point)};
  };
  std::size_t labelWidth = 0, wholeWidth = 0, fractionWidth = 0;
  for (const Field& f : record) {
    labelWidth = std::max(labelWidth, displayWidth(f.label));
    if (!f.numeric) continue;
    const auto [whole, fraction] = split(f.text);
    wholeWidth = std::max(wholeWidth, whole.size());
    fractionWidth = std::max(fractionWidth, fraction.size());
  }
  std::string out;
  for (const Field& f : record) {
    std::string line = padRight(f.label, labelWidth + 2);
    if (f.numeric) {
      const auto [whole, fraction] = split(f.text);
      line += padLeft(whole, wholeWidth) + padRight(fraction, fractionWidth);
    } else {
      line += f.text;
    }
    if (!f.unit.empty()) line += " " + f.unit;
    if (f.numeric)  // only the padding; texts keep their spaces
      while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  return out;
}

std::string renderList(Format format, const std::vector<Record>& records) {
  std::string out;
  if (format == Format::Json) {
    for (const Record& record : records) out += jsonRecordLine(record);
    return out;
  }
  if (format == Format::Csv) {
    for (std::size_t i = 0; i < records.size(); ++i)
      out += (i ? "" : csvLine(records[i], true)) + csvLine(records[i], false);
    return out;
  }
  std::vector<std::vector<std::string>> rows(records.size() + 1);
  for (std::size_t i = 0; i < records.size(); ++i)
    for (const Field& f : records[i]) {
      if (f.label.empty()) continue;
      if (i == 0) rows[0].push_back(f.label);
      rows[i + 1].push_back(f.text.empty() ? "-" : f.text);
    }
  std::vector<std::size_t> widths;
  for (const auto& row : rows)
    for (std::size_t c = 0; c < row.size(); ++c) {
      widths.resize(std::max(widths.size(), c + 1));
      widths[c] = std::max(widths[c], displayWidth(row[c]));
    }
  for (const auto& row : rows) {
    std::string line;
    for (std::size_t c = 0; c < row.size(); ++c) line += (c ? "  " : "") + padRight(row[c], widths[c]);
    while (!line.empty() && line.back() == ' ') line.pop_back();
    out += line + "\n";
  }
  return out;
}

Field overRangeField(std::string key, std::string label, std::string unit) {
  return {std::move(key), std::move(label), std::move(unit), "over range", nullptr, "", true};
}

Field noteField(std::string key, std::string text, JsonValue json, std::string csv) {
  return {std::move(key), "", "", std::move(text), std::move(json), csvCell(csv), false};
}

Table::Table(Format format, Record columns, std::vector<std::string> extras)
    : format_(format), columns_(std::move(columns)), extras_(std::move(extras)) {
  // Wide enough for the heading, a time of day and "over range".
  for (const Field& f : columns_) widths_.push_back(std::max(displayWidth(heading(f)), std::size_t{12}));
}

std::string Table::header() const {
  std::string line;
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    const Field& f = columns_[i];
    if (format_ == Format::Csv) {
      line += (i ? "," : "") + csvCell(f.key);
    } else if (format_ == Format::Text) {
      line +=
          (i ? "  " : "") + (f.numeric ? padLeft(heading(f), widths_[i]) : padRight(heading(f), widths_[i]));
    }
  }
  if (format_ == Format::Csv)
    for (const std::string& key : extras_) line += "," + csvCell(key);
  while (!line.empty() && line.back() == ' ') line.pop_back();
  return format_ == Format::Json ? "" : line + "\n";
}

std::string Table::row(const Record& record) const {
  if (format_ == Format::Json) return jsonRecordLine(record);
  auto find = [&](const std::string& key) -> const Field* {
    const auto it = std::find_if(record.begin(), record.end(), [&](const Field& f) { return f.key == key; });
    return it == record.end() ? nullptr : &*it;
  };
  std::string line;
  for (std::size_t i = 0; i < columns_.size(); ++i) {
    const Field* f = find(columns_[i].key);
    if (format_ == Format::Csv) {
      line += (i ? "," : "") + (f ? f->csv : "");
    } else if (f) {
      line += (i ? "  " : "") + (f->numeric ? padLeft(f->text, widths_[i]) : padRight(f->text, widths_[i]));
    }
  }
  for (const std::string& key : extras_) {
    const Field* f = find(key);
    if (format_ == Format::Csv)
      line += "," + (f ? f->csv : "");
    else if (f && !f->text.empty())
      line += "  " + f->text;
  }
  while (format_ == Format::Text && !line.empty() && line.back() == ' ') line.pop_back();
  return line + "\n";
}

}  // namespace velprobe
