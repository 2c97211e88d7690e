// Rendering results as aligned text, JSON or CSV.
//
// A result is a Record: named fields, each carrying its rendering for every
// format. Texts from the probe are raw fixed-width bytes that may hold NULs
// and other non-printable bytes; every format escapes them so that the output
// stays one line per record and can be turned back into the bytes:
//   text and CSV  printable ASCII as is, "\" as "\\", other bytes as "\xNN"
//   JSON          standard escapes; bytes 0x7F..0xFF as \u007f..\u00ff
#pragma once

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>

namespace velprobe {

// Members in the order they were added.
using JsonValue = nlohmann::ordered_json;

enum class Format { Text, Json, Csv };

struct Field {
  std::string key;    // JSON member and CSV column: "battery_V"
  std::string label;  // text label: "Battery"
  std::string unit;   // text unit: "V", or empty
  std::string text;   // value for people
  JsonValue json;     // JSON value
  std::string csv;    // CSV cell, quoted where needed
  bool numeric = false;
};
using Record = std::vector<Field>;

std::string escapeText(std::string_view bytes);
// Bytes as a JSON string, each byte one character (0x80..0xFF as U+0080..U+00FF).
JsonValue jsonText(std::string_view bytes);
// A number as the shortest text that reads back as it: a whole one as an
// integer ("5", not "5.0").
JsonValue jsonNumber(double value);
// A float as the shortest decimal that reads back as the same float.
JsonValue jsonFloat(float value);
// One JSON value as compact text, non-ASCII characters escaped.
std::string jsonCompact(const JsonValue& value);
// One line of JSON: jsonCompact and a newline.
std::string jsonLine(const JsonValue& value);
// Bytes as the text of a JSON string (jsonText, compact).
std::string jsonString(std::string_view bytes);
std::string csvCell(std::string_view cell);

// Text for people without the NULs that pad it at the end.
Field textField(std::string key, std::string label, std::string_view bytes);
// JSON and CSV carry the shortest text that reads back as the same float;
// people get `textDecimals` fixed decimals.
Field floatField(std::string key, std::string label, std::string unit, float value, int textDecimals);
Field integerField(std::string key, std::string label, std::string unit, int64_t value);
// A value kept as an integer count of 10^-decimals (123, 2 -> 1.23): exact in every format.
Field scaledField(std::string key, std::string label, std::string unit, int64_t scaled, int decimals);
// ISO 8601 UTC with milliseconds in JSON and CSV; local time for people, with
// the date unless `clockOnly`.
Field timeField(std::string key, std::string label, std::chrono::system_clock::time_point time,
                bool clockOnly);

// One record as a whole output: "label  value unit" lines, one JSON object,
// or a CSV header and one row. Ends with a newline.
std::string renderRecord(Format format, const Record& record);

// Several records as a whole output: text columns under the labels (fields
// without a label are left out, an empty value shows as "-"), JSON one object
// a line, or CSV with one header row.
std::string renderList(Format format, const std::vector<Record>& records);

// A value withheld because it lies above the probe's limit: "over range" for
// people, null in JSON, an empty CSV cell.
Field overRangeField(std::string key, std::string label, std::string unit);
// A column that only some rows fill (watch's over_range, error, gap_s, note):
// `text` is shown after the row's values, when not empty.
Field noteField(std::string key, std::string text, JsonValue json, std::string csv);

// Records as a table, one line each (watch). The columns are those of
// `columns` and `extras` (CSV only, the others show them as noteField says);
// a row may leave any of them out.
class Table {
 public:
  Table(Format format, Record columns, std::vector<std::string> extras);
  std::string header() const;  // before the first row: text and CSV
  std::string row(const Record& record) const;

 private:
  Format format_;
  Record columns_;
  std::vector<std::string> extras_;
  std::vector<std::size_t> widths_;
};

// Columns a string takes on a terminal (UTF-8: one per character).
std::size_t displayWidth(std::string_view s);

}  // namespace velprobe
