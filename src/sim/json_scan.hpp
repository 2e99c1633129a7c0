#pragma once
// Pieces of JSON's grammar shared by the step path's readers (the server's reply
// check and the client's reply parser), written for short lines read once.
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>

namespace tarvo::sim::json_scan {

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

// Past the decimal digits from `p` (not past `end`). Numbers in replies run to ten
// digits and more: eight at a time where the text allows.
inline const char* skip_digits(const char* p, const char* end) {
  if constexpr (std::endian::native == std::endian::little) {
    constexpr std::uint64_t kHigh = 0x8080808080808080u;
    constexpr std::uint64_t kOnes = 0x0101010101010101u;
    while (end - p >= 8) {
      std::uint64_t bytes;
      std::memcpy(&bytes, p, sizeof bytes);
      // A byte's high bit ends up set unless it is '0'..'9': below '0' the subtraction
      // borrows, above '9' the addition carries into it, and bytes from 0x80 have it.
      // Digits before the first other byte neither borrow nor carry, so that byte's
      // mark is exact.
      const std::uint64_t other = ((bytes - '0' * kOnes) | (bytes + 0x46 * kOnes) | bytes) & kHigh;
      if (other) return p + std::countr_zero(other) / 8;
      p += 8;
    }
  }
  while (p != end && is_digit(*p))
    ++p;
  return p;
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
  if (*p == '0')
    ++p;
  else
    p = skip_digits(p, end);
  long magnitude = *digits == '0' ? 0 : p - digits;
  if (p != end && *p == '.') {
    integer = false;
    ++p;
    if (p == end || !is_digit(*p)) return Number::invalid;
    p = skip_digits(p, end);
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

}  // namespace tarvo::sim::json_scan
