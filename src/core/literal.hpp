#pragma once
// A safe reader of literal values as written in Python or JSON: strings (either
// quote, with escapes), integers and floats, True/False/None and true/false/null,
// lists, tuples and mappings, nested. Nothing is ever evaluated: names other than
// the six constants, calls, operators and sets are errors.
//
// Tuples become JSON arrays. Mapping keys become text the way a JSON writer turns
// them into text (1 -> "1", True -> "true", None -> "null"); a list or mapping as a
// key is an error. Integers beyond 64 bits and floats beyond a double are errors.
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace tarvo::core {

// Malformed or unsupported literal text. what() is one line naming the column.
class LiteralError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// Containers nested deeper than this are refused.
inline constexpr int kMaxLiteralDepth = 100;

nlohmann::ordered_json parse_literal(std::string_view text);

// Like parse_literal, but the value must be a mapping.
nlohmann::ordered_json parse_mapping_literal(std::string_view text);

}  // namespace tarvo::core
