// `start`: thin over the Docker module, which names and starts the simulator container.
#include "cli/sim/start.hpp"

#include "docker/containers.hpp"
#include "term/console.hpp"

namespace tarvo::cli::sim {

void start(const StartOptions& options) {
  docker::Engine engine(docker::endpoint_from_environment());
  const std::string started = docker::sim_start(engine, options.sim_container,
                                                options.enable_historian, !options.show_name);
  if (options.stream) {
    docker::sim_logs(engine, options.sim_container, true);
    return;
  }
  term::Console().print(term::escape(started));
}

}  // namespace tarvo::cli::sim
