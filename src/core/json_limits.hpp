#pragma once
// A nesting limit for JSON that comes from outside (clients, simulators, the platform,
// replies, files). Parsing, copying and dumping a value recurse once per level, so a
// text of a million brackets would overflow the stack: such text is refused in one
// pass before anything recursive touches it. The limit is the literal reader's.
#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/literal.hpp"

namespace tarvo::core {

inline constexpr int kMaxJsonDepth = kMaxLiteralDepth;

// Not JSON, or nested too deeply. what() is one line without the text's content.
class JsonError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// The offset of the first '[' or '{' that opens a level deeper than `limit`, or
// npos when there is none. One pass without recursion; strings are skipped, and
// nothing else about the text is checked.
std::size_t json_too_deep_at(std::string_view text, int limit = kMaxJsonDepth);

// "nesting deeper than 100 levels at column 101", as the literal reader says it.
std::string json_too_deep_message(std::size_t offset, int limit = kMaxJsonDepth);

// Throws JsonError when containers in `text` nest deeper than `max_depth`.
void check_json_depth(std::string_view text, int max_depth = kMaxJsonDepth);

// Parses JSON from outside: JsonError when it is too deep or not JSON.
template <class JsonType = nlohmann::ordered_json>
JsonType parse_outside_json(std::string_view text, int max_depth = kMaxJsonDepth) {
  check_json_depth(text, max_depth);
  try {
    return JsonType::parse(text);
  } catch (const nlohmann::json::parse_error& e) {
    throw JsonError("not valid JSON (at byte " + std::to_string(e.byte) + ")");
  }
}

// nlohmann::ordered_json::parse(text, nullptr, false), except that text nested
// deeper than kMaxJsonDepth, or holding a NUL byte, is discarded like malformed text.
// For the hot paths, which test for a discarded value rather than catch.
nlohmann::ordered_json parse_bounded_json(std::string_view text);

}  // namespace tarvo::core
