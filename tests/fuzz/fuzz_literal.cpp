// The literal reader (`--env-init`): any text is a value or a LiteralError, and a
// value is valid JSON that reads back as itself.
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "core/literal.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  nlohmann::ordered_json value;
  try {
    value = tarvo::core::parse_literal(text);
  } catch (const tarvo::core::LiteralError&) {
    return 0;
  }
  // Strings were checked as UTF-8 and numbers are finite: dump() must not throw.
  const auto dumped = value.dump();
  if (nlohmann::ordered_json::parse(dumped).dump() != dumped) __builtin_trap();
  return 0;
}
