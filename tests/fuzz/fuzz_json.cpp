// The step path's JSON readers against the general parser: json_shape's verdicts,
// parse_json's values and step_reply_flags' flags must be the general parser's, up
// to the nesting limit; beyond it every reader refuses. Text holding a NUL byte,
// which the general parser takes for the end of the text, must be refused.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/json_limits.hpp"
#include "sim/json_parse.hpp"
#include "sim/json_shape.hpp"

namespace {

void require(bool condition) {
  if (!condition) __builtin_trap();
}

// Same type everywhere (unsigned, signed and float apart), same order, same values.
bool same(const nlohmann::ordered_json& a, const nlohmann::ordered_json& b) {
  if (a.type() != b.type()) return false;
  if (a.is_object() || a.is_array()) {
    if (a.size() != b.size()) return false;
    for (auto x = a.begin(), y = b.begin(); x != a.end(); ++x, ++y)
      if ((a.is_object() && x.key() != y.key()) || !same(*x, *y)) return false;
    return true;
  }
  return a.dump() == b.dump();  // tells -0.0 from 0.0
}

bool is_true(const nlohmann::ordered_json& object, const char* key) {
  auto it = object.find(key);
  return it != object.end() && it->is_boolean() && it->get<bool>();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using nlohmann::ordered_json;
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const auto shape = tarvo::sim::json_shape(text);
  const auto parsed = tarvo::sim::parse_json(text);
  const auto flags = tarvo::sim::step_reply_flags(text);

  if (text.find('\0') != std::string_view::npos) {
    require(!shape.valid && parsed.is_discarded() && !flags.decided);
    return 0;
  }
  if (tarvo::core::json_too_deep_at(text) != std::string_view::npos) {
    // Refused; as too deep unless the text went wrong before the level too many.
    require(!shape.valid && parsed.is_discarded() && !flags.decided);
    const auto reference = ordered_json::parse(text.begin(), text.end(), nullptr, false);
    if (!reference.is_discarded()) require(shape.too_deep);
    return 0;
  }
  const auto reference = ordered_json::parse(text.begin(), text.end(), nullptr, false);
  const bool valid = !reference.is_discarded();
  require(shape.valid == valid && !shape.too_deep);
  require(parsed.is_discarded() == !valid);
  if (!valid) {
    require(!flags.decided);
    return 0;
  }
  require(same(parsed, reference));
  const bool object = reference.is_object();
  require(shape.object == object);
  require(shape.has_reply_key ==
          (object && (reference.contains("result") || reference.contains("error"))));
  if (flags.decided) {
    require(flags.object == object && object);
    require(flags.has_result == reference.contains("result"));
    require(flags.has_error == reference.contains("error"));
    const bool result_object = flags.has_result && reference["result"].is_object();
    require(flags.terminated == (result_object && is_true(reference["result"], "terminated")));
    require(flags.truncated == (result_object && is_true(reference["result"], "truncated")));
  }
  return 0;
}
