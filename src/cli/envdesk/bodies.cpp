// The simulator group's bodies, by name.
#include "cli/body_table.hpp"

namespace tarvo::cli {

std::span<const BodyEntry> envdesk_bodies() { return {}; }

}  // namespace tarvo::cli
