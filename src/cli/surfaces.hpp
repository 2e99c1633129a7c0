#pragma once
// The command groups' surfaces (commands, options, help texts, prompts), mounted by
// the host. They live in the executable; each command binds its flags into its
// options struct and hands it to its body through the command table.
#include <memory>
#include <string>

#include <CLI/CLI.hpp>

#include "cli/commands.hpp"

namespace tarvo::cli {

// The whole command line, `tarvo` with both groups mounted; `version` is the text that
// --version prints.
std::unique_ptr<CLI::App> make_app(CommandSource commands, const std::string& version);

namespace compute {
void mount(CLI::App& group, CommandSource commands);
}
namespace sim {
void mount(CLI::App& group, CommandSource commands);
}

}  // namespace tarvo::cli
