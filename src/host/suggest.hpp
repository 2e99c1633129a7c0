#pragma once
// "Did you mean ...?" for a command or option the user mistyped, as git and docker
// offer it: the known names closest to what was typed.
#include <string>
#include <string_view>
#include <vector>

#include <CLI/CLI.hpp>

namespace tarvo::host {

// Edits (insertions, deletions, substitutions, swaps of neighbours) from `a` to `b`.
std::size_t edit_distance(std::string_view a, std::string_view b);

// The candidates `typed` is most likely a slip for: those at the smallest edit
// distance, if it is small for the word's length (one edit up to five characters,
// two up to eight, then three), or that begin with it (three characters or more).
std::vector<std::string> similar_names(std::string_view typed,
                                       const std::vector<std::string>& candidates);

// For a usage error in `command`: one line suggesting what its first unknown word
// (an option if it starts with "-", else a subcommand) could have been; empty when
// nothing is close.
std::string did_you_mean(const CLI::App& command);

}  // namespace tarvo::host
