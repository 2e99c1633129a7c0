#include "host/sim_create.hpp"

#include <stdexcept>

// Placeholder until the scaffolding lands.
namespace tarvo::host::sim {
void create(const std::string&, const std::string&, const std::string&, bool) {
  throw std::runtime_error("not available yet");
}
}  // namespace tarvo::host::sim
