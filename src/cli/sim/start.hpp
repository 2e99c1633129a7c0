#pragma once
// `tarvo sim start`: starts a simulator container.
#include <string>

namespace tarvo::cli::sim {

struct StartOptions {
  std::string sim_container;     // SIM_CONTAINER
  bool enable_historian = true;  // --enable-historian / --no-enable-historian
  bool stream = false;           // --stream / --no-stream
  bool show_name = false;        // --show-name / --no-show-name
};

void start(const StartOptions& options);

}  // namespace tarvo::cli::sim
