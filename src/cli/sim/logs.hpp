#pragma once
// `tarvo sim logs`: a simulator container's logs.
#include <string>

namespace tarvo::cli::sim {

struct LogsOptions {
  std::string sim_id;   // SIM_ID
  bool stream = false;  // --stream / --no-stream
};

void logs(const LogsOptions& options);

}  // namespace tarvo::cli::sim
