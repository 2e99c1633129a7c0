#pragma once
// Parsing the replies a client reads on every step. The general JSON parser spends
// most of its time on number conversion and character-by-character input; replies
// are short, mostly ASCII and full of floats, so a direct pass builds them faster.
#include <string_view>

#include <nlohmann/json.hpp>

namespace tarvo::core::sim {

// The same value as nlohmann::ordered_json::parse(text, nullptr, false): a
// discarded value when `text` is not one JSON value. Forms the direct pass does not
// take on (\u escapes, numbers out of range, very deep nesting, errors) go to the
// general parser, so its verdicts and messages stay the reference.
nlohmann::ordered_json parse_json(std::string_view text);

}  // namespace tarvo::core::sim
