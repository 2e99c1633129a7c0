#pragma once
// Checking JSON text on the step path without building it: every argument object
// and every reply line crosses the server, and building a tree of each only to
// throw it away costs more than the rest of the relay.
#include <string_view>

namespace tarvo::sim {

struct JsonShape {
  bool valid = false;          // one JSON value, whitespace around it allowed
  bool object = false;         // ... and that value is an object
  bool has_reply_key = false;  // ... holding "result" or "error" at its top level
  bool too_deep = false;       // not valid: nested deeper than core::kMaxJsonDepth
};

// The same verdicts as a full JSON parser (strict RFC 8259: no comments, no NaN,
// UTF-8 only, numbers that fit a double), except that nesting deeper than
// core::kMaxJsonDepth is refused: what crosses the server must be safe to parse
// recursively further on. Rare forms (escaped keys at the top level, exponents,
// very long numbers) are handed to the full parser.
JsonShape json_shape(std::string_view text);

}  // namespace tarvo::sim
