// start, logs and stop: thin over the Docker module, which names, starts, follows
// and removes the simulator containers.
#include "cli/sim/containers.hpp"

#include <stdexcept>
#include <string>

#include "docker/containers.hpp"
#include "term/console.hpp"
#include "term/status.hpp"

namespace tarvo::cli::sim {

namespace docker_util = tarvo::docker;

void start(const Args& args) {
  const std::string sim_container = args.at("sim_container");
  docker_util::Engine engine(docker_util::endpoint_from_environment());
  const std::string started =
      docker_util::sim_start(engine, sim_container, args.at("enable_historian").get<bool>(),
                             !args.at("show_name").get<bool>());
  if (args.at("stream").get<bool>()) {
    docker_util::sim_logs(engine, sim_container, true);
    return;
  }
  term::Console().print(term::escape(started));
}

void logs(const Args& args) {
  docker_util::Engine engine(docker_util::endpoint_from_environment());
  docker_util::sim_logs(engine, args.at("sim_id"), args.at("stream").get<bool>());
}

void stop(const Args& args) {
  docker_util::Engine engine(docker_util::endpoint_from_environment());
  const auto& sim_id = args.at("sim_id");
  if (!sim_id.is_null()) {
    docker_util::stop(engine, sim_id.get<std::string>());
    return;
  }

  const term::Console console;
  console.log("Getting all sims to stop");
  const auto sims = docker_util::sim_list_running(engine);
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
      docker_util::stop(engine, name->get<std::string>());
      ++counter;
    }
  }
  console.log("Stopped all sims");
}

}  // namespace tarvo::cli::sim
