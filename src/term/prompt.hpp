#pragma once
// Line prompts on the terminal.
#include <cstdio>
#include <string>

namespace tarvo::term {

// Shows "<text> [<default>]: " (or "<text>: " without a default) and reads one line
// from standard input; an empty answer takes the default. End of input throws
// core::Interrupted's sibling Aborted (the host prints "Aborted!").
std::string prompt(const std::string& text, const std::string& default_value = {},
                   std::FILE* in = stdin, std::FILE* out = stdout);

// The user ended the input (end of file at a prompt).
struct Aborted {};

}  // namespace tarvo::term
