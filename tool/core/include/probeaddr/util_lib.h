// Byte-buffer helpers for what ProbeAddr receives: byte arrays indexed from 0
// (an empty one has upper bound -1) and texts of one character per byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "probeaddr/types.h"

namespace probeaddr::UtilLib {

// Highest index of `a`, -1 when empty.
std::int32_t UpperBound(const Bytes& a);

// One character per byte, index 0 first; zero bytes stay in the text.
std::string BytesToStr(const Bytes& a);

// The bytes of `a` followed by those of `b`. When both hold bytes, `a` itself
// is grown to the result; when `a` is empty it stays empty (callers store the
// result back into it).
Bytes AppendBytes(Bytes& a, const Bytes& b);

// `length` bytes of `a` from the 1-based position `start` on. An empty `a`
// gives an empty array, and so does a `start` past its end or a `length`
// below 1. Reading outside `a` otherwise throws std::out_of_range.
Bytes MidBytes(const Bytes& a, int start, int length);

// Bytes from the 1-based position `start` to the end of an array whose upper
// bound is `upper`, never less than 1. Throws std::overflow_error past 32 bits.
std::int32_t TailLen(std::int32_t upper, std::int32_t start);

template <class T>
T MaxOf(const T& x, const T& y) {
  return x >= y ? x : y;
}

// The characters of `s` with codes 32 to 126, in order.
std::string FilterPrintable(std::string_view s);

// True when `text`, upper-cased, has the serial-number form: ten characters,
// digits at 1-3, a digit or A-Z at 4, A-Z at 5, a digit at 6, 0 or 1 at 7,
// digits at 8-10.
bool IsValidSerial(std::string_view text);

}  // namespace probeaddr::UtilLib
