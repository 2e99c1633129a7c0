#pragma once
// Shared by the generated scripts: quoting (help texts and names become literal
// text), joining words, and their opening comment.
#include <string>
#include <vector>

namespace tarvo::tools::cli_docs {

// 'text' for bash and zsh, with each ' written as '\''.
std::string single_quoted(const std::string& text);

// 'text' for fish, where \ and ' are escaped inside single quotes.
std::string fish_quoted(const std::string& text);

// The words joined by single spaces.
std::string joined(const std::vector<std::string>& words, const std::string& separator = " ");

// The comment that opens each generated completion script for `shell`.
std::string script_header(const std::string& shell);

// The path of a command below tarvo, "sim run" ("" for tarvo itself).
std::string subpath(const std::vector<std::string>& path);

}  // namespace tarvo::tools::cli_docs
