// What the engine's container inspections say, as the records tarvo shows, and how
// a user's simulator name becomes an image and a container name.
#include <cctype>
#include <cstdlib>

#include "docker/containers.hpp"
#include "docker/sim_name.hpp"

namespace tarvo::docker {
namespace {

Json text_or_null(const Json& value) {
  return value.is_string() ? value : Json();
}

std::string container_name(const Json& inspection) {
  std::string name = text_at(inspection, {"Name"});
  if (name.starts_with('/')) name.erase(0, 1);
  return name;
}

bool host_network(const Json& inspection) {
  return text_at(inspection, {"HostConfig", "NetworkMode"}) == "host";
}

bool valid_tag(std::string_view tag) {
  if (tag.empty() || tag.size() > 128 || tag[0] == '.' || tag[0] == '-') return false;
  for (const char c : tag)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != '.' && c != '-')
      return false;
  return true;
}

}  // namespace

Network network_from_environment() {
  const char* value = std::getenv("TARVO_DOCKER_NETWORK");
  if (!value || !*value || std::string_view(value) == "bridge") return Network::bridge;
  if (std::string_view(value) == "host") return Network::host;
  throw Error("TARVO_DOCKER_NETWORK must be 'bridge' or 'host', not '" + std::string(value) + "'");
}

SimReference parse_sim_reference(std::string_view given) {
  std::string_view rest = given;
  if (rest.starts_with(kImagePrefix)) rest.remove_prefix(std::string_view(kImagePrefix).size());
  const auto colon = rest.find(':');
  const std::string_view name = rest.substr(0, colon);
  const std::string_view tag =
      colon == std::string_view::npos ? std::string_view() : rest.substr(colon + 1);
  if (sim_name_problem(name) || (colon != std::string_view::npos && !valid_tag(tag)))
    throw Error("'" + std::string(given) +
                "' is not a simulator name: use lower-case letters and digits, separated by "
                "'.', '_' or '-', and optionally ':tag'");
  return {std::string(name), kImagePrefix + std::string(rest)};
}

std::optional<std::string> moniker(const Json& inspection) {
  if (!json_at(inspection, {"State", "Running"}).is_boolean() ||
      !json_at(inspection, {"State", "Running"}).get<bool>())
    return std::nullopt;
  if (host_network(inspection)) return "localhost:" + std::to_string(kSimPort);
  const std::string port_key = std::to_string(kSimPort) + "/tcp";
  const Json& bindings = json_at(inspection, {"NetworkSettings", "Ports", port_key.c_str()});
  if (!bindings.is_array()) return std::nullopt;
  for (const auto& binding : bindings) {
    const std::string port = text_at(binding, {"HostPort"});
    if (!port.empty()) return "localhost:" + port;
  }
  return std::nullopt;
}

std::string ports_text(const Json& inspection) {
  if (host_network(inspection)) return "host network";
  const Json& ports = json_at(inspection, {"NetworkSettings", "Ports"});
  if (!ports.is_object()) return "";
  std::string text;
  for (const auto& [container_port, bindings] : ports.items()) {
    std::vector<std::string> published;
    if (bindings.is_array()) {
      for (const auto& binding : bindings) {
        const std::string port = text_at(binding, {"HostPort"});
        if (port.empty()) continue;
        std::string ip = text_at(binding, {"HostIp"});
        if (ip.find(':') != std::string::npos) ip = "[" + ip + "]";
        published.push_back((ip.empty() ? "0.0.0.0" : ip) + ":" + port + "->" + container_port);
      }
    }
    if (published.empty()) published.push_back(container_port);
    for (const auto& entry : published) {
      if (!text.empty()) text += ", ";
      text += entry;
    }
  }
  return text;
}

Json running_sim_record(const Json& inspection) {
  Json record = Json::object();
  record["name"] = container_name(inspection);
  record["id"] = text_at(inspection, {"Id"});
  record["image"] = text_at(inspection, {"Config", "Image"});
  const Json& env = json_at(inspection, {"Config", "Env"});
  record["env"] = env.is_array() ? env : Json::array();
  record["ports"] = ports_text(inspection);
  record["version"] = text_or_null(json_at(inspection, {"Config", "Labels", kVersionLabel}));
  return record;
}

Json container_info_record(const Json& inspection) {
  Json record = Json::object();
  record["name"] = container_name(inspection);
  record["id"] = text_at(inspection, {"Id"});
  record["image"] = text_at(inspection, {"Config", "Image"});
  record["state"] = text_at(inspection, {"State", "Status"});
  record["started_at"] = text_at(inspection, {"State", "StartedAt"});
  const auto address = moniker(inspection);
  record["moniker"] = address ? Json(*address) : Json();
  return record;
}

}  // namespace tarvo::docker
