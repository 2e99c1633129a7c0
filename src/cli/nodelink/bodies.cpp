// The `compute` group's bodies, by name.
#include "cli/body_table.hpp"

namespace tarvo::cli {

std::span<const BodyEntry> nodelink_bodies() { return {}; }

}  // namespace tarvo::cli
