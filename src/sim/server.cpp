#include "sim/server.hpp"

#include <stdexcept>

#include "sim/serving.hpp"

namespace tarvo::sim {

std::unique_ptr<Server> make_from_sim_path(const std::filesystem::path& path,
                                           const std::string& host, int port,
                                           const nlohmann::ordered_json& mapping,
                                           const std::string& protocol,
                                           const ServerOptions& options) {
  if (protocol != "grpc" && protocol != "http")
    throw std::invalid_argument("unknown protocol '" + protocol + "' (expected grpc or http)");
  if (port < 0 || port > 65535)
    throw std::invalid_argument("port " + std::to_string(port) + " is outside 0 to 65535");
  if (options.max_sessions < 1)
    throw std::invalid_argument("the number of sessions allowed at once must be at least 1");
  if (!mapping.is_null() && !mapping.is_object())
    throw std::invalid_argument("the initial environment mapping must be a JSON object");
  auto manifest = read_manifest(path);
  SessionSetup setup;
  setup.dir = std::filesystem::absolute(path);
  setup.command = manifest.command;
  setup.env_init = mapping.is_object() ? mapping : nlohmann::ordered_json::object();
  setup.reply_timeout = options.reply_timeout;
  setup.log_name = "tarvo.sim." + manifest.name;
  setup.announce = options.announce;
  setup.slots = std::make_shared<SessionSlots>(options.max_sessions);
  if (protocol == "grpc") return make_grpc_server(std::move(setup), host, port);
  return make_http_server(std::move(setup), host, port, options.idle_timeout);
}

}  // namespace tarvo::sim
