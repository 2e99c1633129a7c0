#pragma once
// The rule for a simulator's name, which names its image (tarvo/<name>) and its
// container: lower-case letters and digits, with single separators ('.', '_', '-')
// between them, two to 128 characters. Header-only, so that the command line can
// check a name before any body is loaded.
#include <cctype>
#include <optional>
#include <string>
#include <string_view>

namespace tarvo::docker {

inline constexpr std::size_t kLongestSimName = 128;

// The rule `name` breaks, said for the user; nothing when it is a good name.
inline std::optional<std::string> sim_name_problem(std::string_view name) {
  const auto is_separator = [](char c) { return c == '.' || c == '_' || c == '-'; };
  const auto is_alnum = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
  if (name.empty()) return "a name is needed";
  if (name.size() > kLongestSimName)
    return "it is longer than " + std::to_string(kLongestSimName) + " characters";
  for (const char c : name) {
    if (c >= 'A' && c <= 'Z') {
      std::string lower(name);
      for (char& l : lower)
        l = static_cast<char>(std::tolower(static_cast<unsigned char>(l)));
      return "image names are lower-case (try '" + lower + "')";
    }
  }
  for (const char c : name) {
    if (!is_alnum(c) && !is_separator(c))
      return "use only lower-case letters, digits and the separators '.', '_' and '-'";
  }
  if (is_separator(name.front()) || is_separator(name.back()))
    return "it must begin and end with a letter or a digit";
  for (std::size_t i = 1; i < name.size(); ++i)
    if (is_separator(name[i]) && is_separator(name[i - 1]))
      return "separators ('.', '_', '-') stand one at a time between letters or digits";
  if (name.size() < 2) return "it needs at least two characters (a container name needs them)";
  return std::nullopt;
}

}  // namespace tarvo::docker
