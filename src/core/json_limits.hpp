#pragma once
// JSON that comes from outside (replies, files, clients): parsed only after its
// nesting is checked, so that no later copy, dump or walk recurses without bound.
// The limit is the literal reader's.
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

// Throws JsonError when containers in `text` nest deeper than `max_depth`. Strings
// are skipped, so brackets inside them do not count.
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

}  // namespace tarvo::core
