#include "cli/sim/run.hpp"
#include "cli/sim/logger_name.hpp"

#include <exception>

#include "core/interrupt.hpp"
#include "core/logger.hpp"
#include "sim/server.hpp"

namespace tarvo::cli::sim {

void _run(const std::string& path, const std::string& host, int port, const std::string& protocol,
          const nlohmann::ordered_json& env_init) {
  const auto logger = core::get_logger(kLoggerName);
  const auto server = tarvo::sim::make_from_sim_path(path, host, port, env_init, protocol);
  try {
    // Binding first: an address that cannot be served is the user's error, not a
    // serving failure to log and shrug off.
    server->listen();
    try {
      server->start();
    } catch (const core::Interrupted&) {
      core::interrupt::clear();  // handled here; a second Ctrl-C may still abort the stop
      logger.info("KeyboardInterrupt, Gracefully stopping the server");
    } catch (const std::exception& e) {
      logger.info(std::string("Unknown error: ") + e.what() + ", Gracefully stopping the server");
    }
  } catch (...) {
    server->stop();
    throw;
  }
  server->stop();
}

}  // namespace tarvo::cli::sim
