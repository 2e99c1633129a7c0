// `start`: thin over the Docker module, which names and starts the simulator container.
#include "cli/sim/start.hpp"

#include <cstdio>

#include "cli/sim/containers.hpp"
#include "docker/containers.hpp"
#include "term/console.hpp"

namespace tarvo::cli::sim {

void start(const StartOptions& options) {
  docker::Engine engine(docker::endpoint_from_environment());
  const std::string started =
      docker::sim_start(engine, options.sim_container, options.enable_historian,
                        options.show_name ? docker::Notice() : docker::Notice(_say));
  if (options.stream) {
    _show_logs(engine, options.sim_container, true);
    return;
  }
  term::Console().print(term::escape(started));
}

void _say(const std::string& line) {
  // The line quotes the engine (the image's version label, the address).
  std::fputs(term::for_stream(line, stdout).c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace tarvo::cli::sim
