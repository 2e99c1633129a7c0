#pragma once
// Parsing the replies a client reads on every step. The general JSON parser spends
// most of its time on number conversion and character-by-character input; replies
// are short, mostly ASCII and full of floats, so a direct pass builds them faster.
#include <string_view>

#include <nlohmann/json.hpp>

namespace tarvo::sim {

// The same value as nlohmann::ordered_json::parse(text, nullptr, false): a
// discarded value when `text` is not one JSON value, or nests deeper than
// core::kMaxJsonDepth. Forms the direct pass does not take on (\u escapes, numbers
// out of range, deep nesting, errors) go to the general parser, so its verdicts stay
// the reference.
nlohmann::ordered_json parse_json(std::string_view text);

// What a caller stepping through episodes needs of a reply line, read in the same
// direct pass without building anything. `decided` is false wherever the pass gives
// up (forms it does not take on, invalid text, anything but an object); parse the
// line in full then.
struct StepReplyFlags {
  bool decided = false;
  bool object = false;      // one JSON object...
  bool has_result = false;  // ... with a "result" member
  bool has_error = false;   // ... or an "error" member
  bool terminated = false;  // the (last) result is an object whose "terminated" is true
  bool truncated = false;   // ... whose "truncated" is true
};
StepReplyFlags step_reply_flags(std::string_view line);

}  // namespace tarvo::sim
