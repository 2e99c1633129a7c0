#pragma once
// The files generated from the command tree, each returned as its text.
#include <string>

#include "command_tree.hpp"

namespace tarvo::tools::cli_docs {

// Completion scripts, each complete in itself: bash (for `complete -F`), zsh (an
// autoloaded `_tarvo` function) and fish.
std::string bash_completion(const Command& root);
std::string zsh_completion(const Command& root);
std::string fish_completion(const Command& root);

// The manual page of `page`: the root (tarvo(1)) or one of its groups (tarvo-sim(1)).
std::string manual_page(const Command& root, const Command& page, const std::string& version);

}  // namespace tarvo::tools::cli_docs
