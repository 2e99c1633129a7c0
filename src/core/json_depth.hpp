#pragma once
// A nesting limit for JSON that comes from outside (clients, simulators, the platform,
// files). Parsing, copying and dumping a value recurse once per level, so a text of a
// million brackets would overflow the stack: such text is refused before anything
// recursive touches it. The limit is the literal reader's.
#include <cstddef>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/literal.hpp"

namespace tarvo::core {

inline constexpr int kMaxJsonDepth = kMaxLiteralDepth;

// The offset of the first '[' or '{' that opens a level deeper than `limit`, or
// npos when there is none. One pass without recursion; strings are skipped, and
// nothing else about the text is checked.
std::size_t json_too_deep_at(std::string_view text, int limit = kMaxJsonDepth);

// "nesting deeper than 100 levels at column 101", as the literal reader says it.
std::string json_too_deep_message(std::size_t offset, int limit = kMaxJsonDepth);

// nlohmann::ordered_json::parse(text, nullptr, false), except that text nested
// deeper than kMaxJsonDepth, or holding a NUL byte, is discarded like malformed text.
nlohmann::ordered_json parse_bounded_json(std::string_view text);

}  // namespace tarvo::core
