#pragma once
// Well-formed UTF-8 (RFC 3629): what the parsers here accept as text, and outside text
// made safe to show.
#include <cstddef>
#include <string>
#include <string_view>
#include <utility>

namespace tarvo::core {

// Length of the well-formed UTF-8 sequence starting at `pos` (< text.size()), or 0:
// overlong forms, surrogates and code points past U+10FFFF are not well-formed.
std::size_t utf8_length(std::string_view text, std::size_t pos);

inline constexpr char32_t kReplacementCharacter = 0xFFFD;

// The character at the start of `text` (not empty) and its length in bytes; a byte
// that does not start a well-formed sequence stands alone and reads as U+FFFD.
std::pair<char32_t, std::size_t> decode_utf8(std::string_view text);

// Control characters as visible escapes, so that text from outside can never move a
// terminal's cursor, clear its screen or retitle its window: "\x1b" for ESC, "\x9b"
// for the C1 CSI, and so on (C0 but tab and newline, DEL, C1, and any byte that starts
// no character: some terminals read 0x80-0x9f alone as C1). Everything else is kept.
std::string visible_controls(std::string_view text);

}  // namespace tarvo::core
