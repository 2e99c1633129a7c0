#include "sim/target.hpp"

#include <filesystem>
#include <stdexcept>

#include "sim/address.hpp"

namespace tarvo::sim {

namespace {

void check_protocol(const std::string& protocol) {
  if (protocol != "grpc" && protocol != "http")
    throw std::invalid_argument("unknown protocol '" + protocol + "' (expected grpc or http)");
}

}  // namespace

bool is_directory_target(const std::string& target) {
  std::error_code error;
  return std::filesystem::is_directory(target, error);
}

Target::Target(const std::optional<std::string>& target, const std::string& protocol,
               std::chrono::milliseconds reply_timeout)
    : protocol_(protocol) {
  if (!target || target->empty())
    throw std::invalid_argument("no simulator given: pass a simulator directory or an address");
  if (!is_directory_target(*target)) {
    // Not a directory: an address (whose scheme wins over `protocol`), or a path that
    // does not exist.
    SimAddress address;
    try {
      address = parse_address(*target, protocol);
    } catch (const std::invalid_argument& error) {
      if (target->find("://") != std::string::npos) throw;
      throw std::invalid_argument("'" + *target +
                                  "' is neither a simulator directory nor an address " +
                                  "(host:port, grpc://host:port or http://host:port)");
    }
    check_protocol(address.protocol);
    protocol_ = address.protocol;
    host_ = address.host;
    port_ = address.port;
    return;
  }
  check_protocol(protocol);
  ServerOptions options;
  options.reply_timeout = reply_timeout;
  options.announce = false;
  host_ = "127.0.0.1";
  server_ =
      make_from_sim_path(*target, host_, 0, nlohmann::ordered_json::object(), protocol, options);
  server_->listen();
  port_ = server_->port();
  serving_ = std::thread([this] {
    try {
      server_->start();
    } catch (...) {
      // Ctrl-C or a failure: the clients see the server go and report it.
    }
  });
}

Target::~Target() {
  if (server_) server_->stop();
  if (serving_.joinable()) serving_.join();
}

std::unique_ptr<Client> Target::connect(const std::string& env_id,
                                        const ClientOptions& options) const {
  return create_client(protocol_, env_id, host_, port_, nlohmann::ordered_json::object(), options);
}

}  // namespace tarvo::sim
