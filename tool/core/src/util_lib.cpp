#include "probeaddr/util_lib.h"

#include <cstddef>
#include <limits>
#include <stdexcept>

namespace probeaddr::UtilLib {

std::int32_t UpperBound(const Bytes& a) {
  return static_cast<std::int32_t>(a.size()) - 1;
}

std::string BytesToStr(const Bytes& a) { return std::string(a.begin(), a.end()); }

Bytes AppendBytes(Bytes& a, const Bytes& b) {
  if (b.empty()) return a;
  if (a.empty()) return b;
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

Bytes MidBytes(const Bytes& a, int start, int length) {
  const std::int64_t count = UpperBound(a) + 1;
  if (count == 0 || count < start || length < 1) return {};
  const std::int64_t first = std::int64_t{start} - 1;
  if (first < 0 || first + length > count)
    throw std::out_of_range("MidBytes: position outside the array");
  // Both lie inside `a` now, so they fit its difference type on any platform.
  const auto from = a.begin() + static_cast<std::ptrdiff_t>(first);
  return Bytes(from, from + length);
}

std::int32_t TailLen(std::int32_t upper, std::int32_t start) {
  const std::int64_t tail = std::int64_t{upper} - start + 2;
  if (tail > std::numeric_limits<std::int32_t>::max())
    throw std::overflow_error("TailLen: beyond 32 bits");
  return static_cast<std::int32_t>(MaxOf<std::int64_t>(tail, 1));
}

std::string FilterPrintable(std::string_view s) {
  std::string out;
  for (char c : s) {
    const auto code = static_cast<unsigned char>(c);
    if (code >= 32 && code < 127) out += c;
  }
  return out;
}

bool IsValidSerial(std::string_view text) {
  if (text.size() != 10) return false;
  auto digit = [](char c) { return c >= '0' && c <= '9'; };
  auto letter = [](char c) { return c >= 'A' && c <= 'Z'; };
  for (std::size_t i = 0; i < 10; ++i) {
    char c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    bool ok;
    switch (i) {
      case 3: ok = digit(c) || letter(c); break;
      case 4: ok = letter(c); break;
      case 6: ok = c == '0' || c == '1'; break;
      default: ok = digit(c); break;
    }
    if (!ok) return false;
  }
  return true;
}

}  // namespace probeaddr::UtilLib
