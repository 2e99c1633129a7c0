#include "term/pretty.hpp"

#include "core/python_repr.hpp"
#include "term/text.hpp"

namespace tarvo::term {
namespace {

using Json = nlohmann::ordered_json;

std::string key_repr(const std::string& key) {
  return core::python_repr(key) + ": ";
}

void pretty_lines(const Json& value, const std::string& indent, const std::string& prefix,
                  std::string_view suffix, int width, std::vector<std::string>& out) {
  std::string line = indent + prefix + core::python_repr(value) + std::string(suffix);
  const bool container = (value.is_object() || value.is_array()) && !value.empty();
  if (!container || display_width(line) <= width) {
    out.push_back(std::move(line));
    return;
  }
  const std::string inner = indent + "    ";
  out.push_back(indent + prefix + (value.is_object() ? "{" : "["));
  std::size_t left = value.size();
  for (auto it = value.begin(); it != value.end(); ++it) {
    const std::string_view comma = --left > 0 ? "," : "";
    pretty_lines(*it, inner, value.is_object() ? key_repr(it.key()) : std::string(), comma, width,
                 out);
  }
  out.push_back(indent + (value.is_object() ? "}" : "]") + std::string(suffix));
}

}  // namespace

std::string python_pretty(const Json& value, int width) {
  std::vector<std::string> lines;
  pretty_lines(value, "", "", "", width, lines);
  std::string out;
  for (const auto& line : lines) {
    if (!out.empty()) out += '\n';
    out += line;
  }
  return out;
}

}  // namespace tarvo::term
