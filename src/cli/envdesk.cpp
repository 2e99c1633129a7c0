// The simulator group's command surface.
#include "cli/body.hpp"
#include "cli/surfaces.hpp"

namespace tarvo::cli::envdesk {

void mount(CLI::App& /*group*/) {}

}  // namespace tarvo::cli::envdesk
