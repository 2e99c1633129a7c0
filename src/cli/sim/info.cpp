// info: a running simulator's address checks, spaces and sensor lines.
#include <stdexcept>
#include <string>

#include "cli/sim/info.hpp"

#include "cli/sim/containers.hpp"
#include "cli/sim/logger_name.hpp"
#include "core/logger.hpp"
#include "docker/containers.hpp"
#include "sim/address.hpp"
#include "sim/client.hpp"
#include "sim/network.hpp"
#include "sim/space.hpp"
#include "term/console.hpp"

namespace tarvo::cli::sim {
namespace {

const char* python_bool(bool value) {
  return value ? "True" : "False";
}

}  // namespace

void info(const InfoOptions& options) {
  namespace docker_util = tarvo::docker;
  const auto logger = core::get_logger(kLoggerName);
  std::string address = options.address;
  const std::string& name = options.name;
  const std::string& env_id = options.env_id;
  if (address.empty() && name.empty())
    throw std::invalid_argument("Either address or sim must be provided");

  std::optional<docker_util::Engine> engine;
  std::optional<ContainerGuard> container;
  if (!name.empty()) {
    engine.emplace(docker_util::endpoint_from_environment());
    const std::string started = docker_util::sim_start(*engine, name, false);
    container.emplace(*engine, started);
    const auto record = docker_util::get_info_container(*engine, started);
    address = serving_address(*engine, started, record);
  }

  const auto where = tarvo::sim::parse_address(address);
  logger.debug("Getting sim info for '" + address + "' and '" + env_id + "'");
  const bool port_opened = core::is_port_opened(where.host_port());
  const bool channel_available = core::is_channel_available(where);

  tarvo::sim::ClientOptions client_options;
  client_options.run_id = "cli";
  client_options.sim_id = "cli";
  const auto client = tarvo::sim::create_client(where.protocol, env_id, where.host, where.port,
                                                nlohmann::ordered_json::object(), client_options);
  client->init();
  const auto& sensor_space = client->sensor_space();
  const auto& action_space = client->action_space();
  const auto sensors = tarvo::sim::convert_space_to_json(sensor_space);

  std::string report = "\n";
  report += "    [bold]Simulator Info[/bold]\n";
  report += "    - [bold]Address: [/bold] " + term::escape(address) + "\n";
  report += "    - [bold]Env ID: [/bold] " + term::escape(env_id) + "\n";
  report += "    - [bold]Is Port Opened? [/bold] " + std::string(python_bool(port_opened)) + "\n";
  report += "    - [bold]Is Channel Available? [/bold] " +
            std::string(python_bool(channel_available)) + "\n";
  report += "\n";
  report += "    [bold]Space Info[/bold]\n";
  report += "    - [bold]Sensor Space: [/bold] " +
            term::escape(tarvo::sim::to_string(sensor_space)) + "\n";
  report += "    - [bold]Action Space: [/bold] " +
            term::escape(tarvo::sim::to_string(action_space)) + "\n";
  report += "\n";
  report += "    [bold]Sensors[/bold]\n";
  report += "    ";
  for (const auto& sensor : sensors) {
    const auto& sensor_name = sensor.at("name");
    report += "\tSensor(\"" +
              term::escape(sensor_name.is_string() ? sensor_name.get<std::string>()
                                                   : sensor_name.dump()) +
              "\", \"\")\n";
  }
  term::Console().print(report);

  client->close();
  if (container) container->stop();
}

}  // namespace tarvo::cli::sim
