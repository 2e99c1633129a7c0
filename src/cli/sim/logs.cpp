// `logs`: thin over the Docker module, which follows the container's output.
#include "cli/sim/logs.hpp"

#include "docker/containers.hpp"

namespace tarvo::cli::sim {

void logs(const LogsOptions& options) {
  docker::Engine engine(docker::endpoint_from_environment());
  docker::sim_logs(engine, options.sim_id, options.stream);
}

}  // namespace tarvo::cli::sim
