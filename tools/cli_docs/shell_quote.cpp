#include "shell_quote.hpp"

namespace tarvo::tools::cli_docs {

std::string single_quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text)
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return quoted + "'";
}

std::string fish_quoted(const std::string& text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\\' || c == '\'') quoted += '\\';
    quoted += c;
  }
  return quoted + "'";
}

std::string joined(const std::vector<std::string>& words, const std::string& separator) {
  std::string text;
  for (const auto& word : words)
    text += (text.empty() ? "" : separator) + word;
  return text;
}

std::string script_header(const std::string& shell) {
  return "# " + shell +
         " completion for tarvo, generated from its command definitions by\n"
         "# tarvo-cli-docs: every command, option and fixed option value.\n\n";
}

std::string subpath(const std::vector<std::string>& path) {
  return joined(std::vector<std::string>(path.begin() + 1, path.end()));
}

}  // namespace tarvo::tools::cli_docs
