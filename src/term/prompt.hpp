#pragma once
// Line prompts on the terminal.
#include <cstdio>
#include <optional>
#include <string>

namespace tarvo::term {

// Shows "<text> [<default>]: " (or "<text>: " without a default) and reads one line
// from standard input; an empty answer takes the default. End of input throws
// core::Interrupted's sibling Aborted (the host prints "Aborted!"); Ctrl-C throws
// core::Interrupted.
std::string prompt(const std::string& text, const std::string& default_value = {},
                   std::FILE* in = stdin, std::FILE* out = stdout);

// The user ended the input (end of file at a prompt).
struct Aborted {};

// One line from `in` without its line ending ("\n" or "\r\n"); a last line without
// one counts too. Nothing at end of input; throws core::Interrupted on Ctrl-C.
std::optional<std::string> read_line(std::FILE* in);

}  // namespace tarvo::term
