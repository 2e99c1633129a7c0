// mappings: a simulator's spaces as a JSON description of their variables.
#include <map>
#include <stdexcept>
#include <string>

#include "cli/sim/mappings.hpp"

#include "cli/exit.hpp"
#include "cli/sim/containers.hpp"
#include "cli/sim/logger_name.hpp"
#include "core/logger.hpp"
#include "docker/containers.hpp"
#include "sim/address.hpp"
#include "sim/client.hpp"
#include "sim/serializer_json.hpp"
#include "sim/space.hpp"
#include "term/console.hpp"

namespace tarvo::cli::sim {
namespace {

// A container started here publishes the simulator port on the same host port.
constexpr const char* kContainerAddress = "localhost:1337";
const std::map<std::string, int> kContainerPorts = {{"1337/tcp", 1337}};

nlohmann::ordered_json space_mapping(const tarvo::sim::Space& space) {
  nlohmann::ordered_json mapping = nlohmann::ordered_json::object();
  mapping["space"] = tarvo::sim::to_string(space);
  mapping["mappings"] = tarvo::sim::convert_space_to_json(space);
  return mapping;
}

}  // namespace

std::optional<nlohmann::ordered_json> _mappings(const std::optional<std::string>& image,
                                                const std::optional<std::string>& address) {
  namespace docker_util = tarvo::docker;
  if (!image && !address) throw std::invalid_argument("Either image or address must be provided");

  std::optional<docker_util::Engine> engine;
  std::optional<ContainerGuard> container;
  std::string target = address.value_or("");
  if (image) {
    std::string id;
    try {
      engine.emplace(docker_util::endpoint_from_environment());
      id = docker_util::start_container(*engine, *image, kContainerPorts);
    } catch (const std::exception& error) {
      core::get_logger(kLoggerName).debug(error.what());
      term::Console().print("[red]Error: Could not start the container '" + term::escape(*image) +
                            "'");
      return std::nullopt;
    }
    container.emplace(*engine, id);
    target = kContainerAddress;
    wait_until_serving(*engine, id, target);
  }

  const auto where = tarvo::sim::parse_address(target);
  const auto client =
      tarvo::sim::create_client(where.protocol, "my-env-id", where.host, where.port);
  const auto action_space = client->action_space_info();
  const auto sensor_space = client->sensor_space_info();
  nlohmann::ordered_json result = nlohmann::ordered_json::object();
  result["action_space"] = space_mapping(action_space);
  result["sensor_space"] = space_mapping(sensor_space);
  if (container) container->stop();
  return result;
}

void mappings(const MappingsOptions& options) {
  const auto result = _mappings(options.image, options.address);
  term::Console().print_json_text(
      tarvo::sim::serialize(result ? *result : nlohmann::ordered_json()));
  // A container that could not start has been reported above; the empty result is
  // printed as ever, but the command has failed.
  if (!result) throw Exit{1};
}

}  // namespace tarvo::cli::sim
