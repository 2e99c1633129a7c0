#pragma once
// The command bodies, from the library that the executable loads on first use.
#include "cli/commands.hpp"

namespace tarvo::host {

// Loads the library once per process and checks that it was built with this
// executable's command table; failures are errors naming the library.
const cli::CommandTable& load_commands();

}  // namespace tarvo::host
