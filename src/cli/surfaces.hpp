#pragma once
// The command groups' surfaces (commands, options, help texts, prompts), mounted
// by the host. They live in the executable; each command hands its values to its
// body in the loaded library (cli/body.hpp).
#include <CLI/CLI.hpp>

namespace tarvo::cli {

namespace compute {
void mount(CLI::App& group);
}
namespace sim {
void mount(CLI::App& group);
}

}  // namespace tarvo::cli
