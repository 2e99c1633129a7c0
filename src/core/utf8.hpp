#pragma once
// Well-formed UTF-8 (RFC 3629): what the parsers here accept as text.
#include <cstddef>
#include <string_view>

namespace tarvo::core {

// Length of the well-formed UTF-8 sequence starting at `pos` (< text.size()), or 0:
// overlong forms, surrogates and code points past U+10FFFF are not well-formed.
std::size_t utf8_length(std::string_view text, std::size_t pos);

}  // namespace tarvo::core
