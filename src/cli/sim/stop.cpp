// `stop`: one simulator container, or every running one with a line for each.
#include "cli/sim/stop.hpp"

#include <stdexcept>

#include "docker/containers.hpp"
#include "term/console.hpp"
#include "term/status.hpp"

namespace tarvo::cli::sim {

void stop(const StopOptions& options) {
  docker::Engine engine(docker::endpoint_from_environment());
  if (options.sim_id) {
    docker::stop(engine, *options.sim_id);
    return;
  }

  const term::Console console;
  console.log("Getting all sims to stop");
  const auto sims = docker::sim_list_running(engine);
  const std::string total = std::to_string(sims.size());
  {
    const auto indicator = console.status("Stopping all sims");
    std::size_t counter = 0;
    for (const auto& record : sims) {
      const auto name = record.find("name");
      if (name == record.end() || name->is_null()) continue;
      if (!name->is_string())
        throw std::invalid_argument("sim name " + name->dump() + " is not text");
      console.log("[" + std::to_string(counter + 1) + "/" + total + "] stopping " +
                  term::escape(name->get<std::string>()));
      docker::stop(engine, name->get<std::string>());
      ++counter;
    }
  }
  console.log("Stopped all sims");
}

}  // namespace tarvo::cli::sim
