#pragma once
// `tarvo sim status`: one simulator container's record, or the table of running ones.
#include <optional>
#include <string>

namespace tarvo::cli::sim {

struct StatusOptions {
  std::optional<std::string> sim_name;  // --sim-name; absent: every running simulator
  bool moniker = false;                 // --moniker / --no-moniker
  bool json = false;                    // --json: one JSON document for scripts
};

void status(const StatusOptions& options);
void status_all();

}  // namespace tarvo::cli::sim
