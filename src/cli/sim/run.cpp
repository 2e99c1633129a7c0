#include "cli/sim/run.hpp"
#include "cli/sim/logger_name.hpp"

#include <charconv>
#include <exception>
#include <stdexcept>

#include "cli/sim/target.hpp"
#include "core/interrupt.hpp"
#include "core/literal.hpp"
#include "core/logger.hpp"
#include "sim/server.hpp"

namespace tarvo::cli::sim {
namespace {

int to_port(const std::string& text) {
  int port = 0;
  const auto* end = text.data() + text.size();
  auto [ptr, error] = std::from_chars(text.data(), end, port);
  if (text.empty() || error != std::errc() || ptr != end)
    throw std::invalid_argument("invalid port '" + text + "': not a decimal integer");
  return port;
}

}  // namespace

void run(const RunOptions& options) {
  const auto path = effective_path(options.path, options.path_option).value_or("./");
  const int port = to_port(options.port);
  nlohmann::ordered_json env_init;
  try {
    env_init = core::parse_mapping_literal(options.env_init);
  } catch (const core::LiteralError& e) {
    throw std::invalid_argument(std::string("invalid --env-init: ") + e.what());
  }
  _run(path, options.host, port, options.protocol, env_init, options.max_sessions);
}

void _run(const std::string& path, const std::string& host, int port, const std::string& protocol,
          const nlohmann::ordered_json& env_init, long long max_sessions) {
  const auto logger = core::get_logger(kLoggerName);
  if (max_sessions < 1)
    throw std::invalid_argument("invalid --max-sessions " + std::to_string(max_sessions) +
                                ": at least one session must be allowed");
  tarvo::sim::ServerOptions server_options;
  server_options.max_sessions = static_cast<std::size_t>(max_sessions);
  const auto server =
      tarvo::sim::make_from_sim_path(path, host, port, env_init, protocol, server_options);
  try {
    // Binding first: an address that cannot be served is the user's error, not a
    // serving failure to log and shrug off.
    server->listen();
    try {
      server->start();
    } catch (const core::Interrupted&) {
      // Ctrl-C, SIGTERM or SIGHUP alike. Handled here; a second one may still abort
      // the stop.
      core::interrupt::clear();
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
