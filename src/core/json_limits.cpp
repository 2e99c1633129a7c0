#include "core/json_limits.hpp"

namespace tarvo::core {

std::size_t json_too_deep_at(std::string_view text, int limit) {
  int depth = 0;
  const char* const begin = text.data();
  const char* const end = begin + text.size();
  for (const char* p = begin; p != end; ++p) {
    switch (*p) {
      case '[':
      case '{':
        if (++depth > limit) return static_cast<std::size_t>(p - begin);
        break;
      case ']':
      case '}':
        if (depth > 0) --depth;
        break;
      case '"':
        // To the closing quote; a backslash takes the next byte with it.
        for (++p; p != end && *p != '"'; ++p)
          if (*p == '\\' && p + 1 != end) ++p;
        if (p == end) return std::string_view::npos;
        break;
      default:
        break;
    }
  }
  return std::string_view::npos;
}

std::string json_too_deep_message(std::size_t offset, int limit) {
  return "nesting deeper than " + std::to_string(limit) + " levels at column " +
         std::to_string(offset + 1);
}

void check_json_depth(std::string_view text, int max_depth) {
  if (json_too_deep_at(text, max_depth) != std::string_view::npos)
    throw JsonError("nesting deeper than " + std::to_string(max_depth) + " levels");
}

nlohmann::ordered_json parse_bounded_json(std::string_view text) {
  // JSON has no place for a NUL byte, which the parser would take for the end of the
  // text.
  if (json_too_deep_at(text) != std::string_view::npos || text.find('\0') != std::string_view::npos)
    return nlohmann::ordered_json(nlohmann::ordered_json::value_t::discarded);
  return nlohmann::ordered_json::parse(text.begin(), text.end(), nullptr, false);
}

}  // namespace tarvo::core
