#pragma once
// Pieces of JSON's grammar shared by the step path's readers (the server's reply
// check and the client's reply parser), written for short lines read once.
#include <array>

namespace tarvo::core::sim::json_scan {

// ASCII that stands for itself inside a string: everything but control characters,
// the quote and the backslash. Bytes from 0x80 up start UTF-8 sequences.
inline constexpr auto kPlainInString = [] {
  std::array<bool, 256> table{};
  for (int c = 0x20; c < 0x80; ++c)
    table[c] = c != '"' && c != '\\';
  return table;
}();

inline bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

enum class Number {
  valid,
  invalid,
  // Grammatical, but perhaps beyond a double (a long exponent, or more than 300
  // decimal places before the point): a full parser's call.
  maybe_too_large,
};

// Reads one number from `p` (not past `end`) by JSON's grammar and moves `p` past it
// (unless it is invalid).
// `integer` tells whether it has neither fraction nor exponent.
inline Number scan_number(const char*& p, const char* end, bool& integer) {
  integer = true;
  if (p != end && *p == '-') ++p;
  if (p == end || !is_digit(*p)) return Number::invalid;
  const char* digits = p;
  if (*p == '0') {
    ++p;
  } else {
    while (p != end && is_digit(*p))
      ++p;
  }
  long magnitude = *digits == '0' ? 0 : p - digits;
  if (p != end && *p == '.') {
    integer = false;
    ++p;
    if (p == end || !is_digit(*p)) return Number::invalid;
    while (p != end && is_digit(*p))
      ++p;
  }
  if (p != end && (*p == 'e' || *p == 'E')) {
    integer = false;
    ++p;
    bool negative = false;
    if (p != end && (*p == '+' || *p == '-')) negative = *p++ == '-';
    if (p == end || !is_digit(*p)) return Number::invalid;
    long exponent = 0;
    int count = 0;
    for (; p != end && is_digit(*p); ++p)
      if (++count <= 6) exponent = exponent * 10 + (*p - '0');
    if (count > 6) return Number::maybe_too_large;
    if (!negative) magnitude += exponent;
  }
  return magnitude > 300 ? Number::maybe_too_large : Number::valid;
}

}  // namespace tarvo::core::sim::json_scan
