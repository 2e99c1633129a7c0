#pragma once
// `tarvo sim stop`: stops one simulator container, or all of them.
#include <optional>
#include <string>

namespace tarvo::cli::sim {

struct StopOptions {
  std::optional<std::string> sim_id;  // --sim-id; absent: every running simulator
};

void stop(const StopOptions& options);

}  // namespace tarvo::cli::sim
