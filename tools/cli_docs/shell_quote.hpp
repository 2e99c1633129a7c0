#pragma once
// Quoting for the generated scripts: help texts and names become literal text.
#include <string>
#include <vector>

namespace tarvo::tools::cli_docs {

// 'text' for bash and zsh, with each ' written as '\''.
std::string single_quoted(const std::string& text);

// 'text' for fish, where \ and ' are escaped inside single quotes.
std::string fish_quoted(const std::string& text);

// The words joined by single spaces.
std::string joined(const std::vector<std::string>& words, const std::string& separator = " ");

// The path of a command below tarvo, "sim run" ("" for tarvo itself).
std::string subpath(const std::vector<std::string>& path);

}  // namespace tarvo::tools::cli_docs
