// The compute stack through the docker program: the daemon check, the local port
// probe, start, stale job records flush and stop.
#include "cli/compute/compute.hpp"
#include "cli/exit.hpp"
#include "core/interrupt.hpp"
#include "core/paths.hpp"
#include "core/tcp.hpp"
#include "term/status.hpp"

namespace tarvo::cli::compute {
namespace {

using core::process::Stream;

std::vector<std::string> compose_command(std::initializer_list<std::string> rest) {
  std::vector<std::string> argv = {"docker", "compose", "-f", COMPOSE_FILE().string()};
  argv.insert(argv.end(), rest);
  return argv;
}

core::process::Options captured() {
  core::process::Options options;
  options.out = Stream::capture;
  options.err = Stream::capture;
  return options;
}

}  // namespace

std::filesystem::path COMPOSE_FILE() {
  return core::paths::data_file("compute/docker-compose.yml");
}

const term::Console& console() {
  static const term::Console instance(stdout);
  return instance;
}

bool _check_docker_daemon() {
  core::process::Options options;
  options.out = Stream::discard;
  options.err = Stream::discard;
  try {
    return core::process::run({"docker", "info"}, options).exit_code == 0;
  } catch (const core::process::LaunchError&) {
    // Without a docker program there is no daemon to talk to either.
    return false;
  }
}

bool _compose_plugin_available() {
  core::process::Options options;
  options.out = Stream::discard;
  options.err = Stream::discard;
  try {
    return core::process::run({"docker", "compose", "version"}, options).exit_code == 0;
  } catch (const core::process::LaunchError&) {
    // Reported like a missing plugin: the fix is the same install.
    return false;
  }
}

void _print_compose_missing() {
  console().print(
      "[red]Docker Compose is not available (`docker compose version` failed). Install the "
      "Docker Compose v2 plugin (package docker-compose-plugin or docker-compose-v2) and try "
      "again.[/red]");
}

void _check_compose_available() {
  if (!_compose_plugin_available()) {
    _print_compose_missing();
    throw Exit{1};
  }
  std::error_code error;
  if (!std::filesystem::is_regular_file(COMPOSE_FILE(), error)) {
    console().print("[red]The compute stack's Compose file is missing: " +
                    term::escape(COMPOSE_FILE().string()) +
                    ". Reinstall tarvo with its share/tarvo folder.[/red]");
    throw Exit{1};
  }
}

bool _is_port_in_use(int port) {
  try {
    core::tcp::connect_to("127.0.0.1", port, std::chrono::seconds(2), false);
    return true;
  } catch (const std::runtime_error&) {
    return false;
  }
}

void _check_port_conflicts() {
  std::string lines;
  for (const auto& [port, label] : REQUIRED_PORTS) {
    if (!_is_port_in_use(port)) continue;
    if (!lines.empty()) lines += "\n";
    lines += "  port " + std::to_string(port) + " (" + label + ")";
  }
  if (lines.empty()) return;
  console().print("[red]Port conflict — the following ports are already in use:\n" + lines +
                  "[/red]");
  throw Exit{1};
}

core::process::Environment _stack_environment(const std::string& cluster_id,
                                              const core::Settings& settings) {
  auto environment = core::process::current_environment();
  environment["TARVO_PLATFORM_URL"] = settings.URL_API;
  environment["TARVO_CLUSTER_ID"] = cluster_id;
  environment["TARVO_ENV"] = settings.TARVO_ENV;
  return environment;
}

void _start_stack(const core::process::Environment& environment) {
  auto options = captured();
  options.environment = environment;
  core::process::Result result;
  {
    auto status = console().status("Starting compute stack...");
    result = core::process::run(compose_command({"up", "-d"}), options);
  }
  if (result.exit_code != 0) {
    console().print("[red]Failed to start compute stack:\n" + term::escape(result.err) + "[/red]");
    throw Exit{1};
  }
}

void _flush_stale_session_cache(int retries, double delay_seconds) {
  // Redis may not have passed its start-up health check yet, hence the retries.
  for (int attempt = 0; attempt < retries; ++attempt) {
    const auto result = core::process::run(
        compose_command({"exec", "-T", "redis", "redis-cli", "FLUSHALL"}), captured());
    if (result.exit_code == 0) return;
    if (attempt < retries - 1)
      core::interrupt::sleep_for(std::chrono::duration<double>(delay_seconds));
  }
  console().print(
      "[yellow]Warning: could not clear stale session cache in Redis — a previous session's job "
      "records may still be present.[/yellow]");
}

core::process::Result _stop_stack(bool interruptible) {
  auto options = captured();
  options.interruptible = interruptible;
  return core::process::run(compose_command({"down"}), options);
}

}  // namespace tarvo::cli::compute
