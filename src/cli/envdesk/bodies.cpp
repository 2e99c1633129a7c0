// The simulator group's bodies, by name.
#include "cli/body_table.hpp"
#include "cli/envdesk/containers.hpp"

namespace tarvo::cli {

std::span<const BodyEntry> envdesk_bodies() {
  static constexpr BodyEntry kBodies[] = {
      {"sim.start", envdesk::start}, {"sim.logs", envdesk::logs},
      {"sim.stop", envdesk::stop},   {"sim.status", envdesk::status},
      {"sim.info", envdesk::info},   {"sim.mappings", envdesk::mappings},
  };
  return kBodies;
}

}  // namespace tarvo::cli
