#include "sim/client.hpp"

#include <stdexcept>

#include "core/json_limits.hpp"
#include "sim/json_parse.hpp"
#include "sim/transport.hpp"

namespace tarvo::sim {

using nlohmann::ordered_json;

namespace {

std::string excerpt(std::string_view text) {
  return std::string(text.substr(0, 80)) + (text.size() > 80 ? "..." : "");
}

const ordered_json& member(const ordered_json& result, const char* name, std::string_view method) {
  if (!result.is_object() || !result.contains(name))
    throw SimulatorError("the simulator's " + std::string(method) + " reply has no \"" + name +
                         "\"");
  return result.at(name);
}

bool flag(const ordered_json& result, const char* name) {
  auto it = result.find(name);
  return it != result.end() && it->is_boolean() && it->get<bool>();
}

}  // namespace

Client::Client(std::unique_ptr<Transport> transport, std::string env_id, ordered_json env_init)
    : transport_(std::move(transport)), env_id_(std::move(env_id)), env_init_(std::move(env_init)) {
  if (!env_init_.is_object()) env_init_ = ordered_json::object();
}

Client::~Client() {
  try {
    transport_->finish();
  } catch (...) {
    // The session is going away either way.
  }
}

std::string_view Client::send(std::string_view method, std::string_view args) {
  if (closed_) throw SessionError("the session is closed");
  try {
    return transport_->call(method, args);
  } catch (const SessionError&) {
    closed_ = true;
    throw;
  }
}

ordered_json Client::result_of(std::string_view method, std::string_view line) {
  auto reply = parse_json(line);
  if (reply.is_discarded() && core::json_too_deep_at(line) != std::string_view::npos)
    throw SessionError("the server sent a reply nested deeper than " +
                       std::to_string(core::kMaxJsonDepth) + " levels");
  if (reply.is_discarded() || !reply.is_object())
    throw SessionError("the server sent a reply that is not JSON: " + excerpt(line));
  if (auto error = reply.find("error"); error != reply.end()) {
    throw SimulatorError("the simulator failed '" + std::string(method) +
                         "': " + (error->is_string() ? error->get<std::string>() : error->dump()));
  }
  auto result = reply.find("result");
  if (result == reply.end())
    throw SessionError("the server sent a reply without a result: " + excerpt(line));
  if (method == "make") made_ = true;
  return std::move(*result);
}

ordered_json Client::call(std::string_view method, std::string_view args) {
  return result_of(method, send(method, args));
}

Client::EpisodeEnd Client::call_for_episode_end(std::string_view method, std::string_view args) {
  std::string_view line = send(method, args);
  auto flags = step_reply_flags(line);
  if (flags.decided && flags.has_result && !flags.has_error) {
    if (method == "make") made_ = true;
    return {flags.terminated, flags.truncated};
  }
  // Error replies and the forms the quick read leaves alone: the general way.
  auto result = result_of(method, line);
  return {flag(result, "terminated"), flag(result, "truncated")};
}

void Client::init() {
  if (!made_) {
    ordered_json args{{"env_id", env_id_}, {"env_init", env_init_}};
    call("make", args.dump(-1, ' ', false, ordered_json::error_handler_t::replace));
  }
  sensor_space_ = parse_space(call("sensor_space"));
  action_space_ = parse_space(call("action_space"));
}

const Space& Client::sensor_space() {
  if (!sensor_space_) init();
  return *sensor_space_;
}

const Space& Client::action_space() {
  if (!action_space_) init();
  return *action_space_;
}

ResetResult Client::reset(std::optional<std::int64_t> seed) {
  if (!sensor_space_) init();  // a session begins with make
  std::string args = seed ? "{\"seed\":" + std::to_string(*seed) + "}" : "{\"seed\":null}";
  auto result = call("reset", args);
  ResetResult out;
  out.observation = member(result, "observation", "reset");
  if (auto info = result.find("info"); info != result.end()) out.info = std::move(*info);
  return out;
}

StepResult Client::step(const ordered_json& action) {
  if (!sensor_space_) init();
  std::string args = "{\"action\":";
  args += action.dump(-1, ' ', false, ordered_json::error_handler_t::replace);
  args += '}';
  auto result = call("step", args);
  StepResult out;
  out.observation = member(result, "observation", "step");
  out.reward = member(result, "reward", "step");
  out.terminated = member(result, "terminated", "step");
  out.truncated = member(result, "truncated", "step");
  if (auto info = result.find("info"); info != result.end()) out.info = std::move(*info);
  return out;
}

void Client::close() {
  if (closed_) return;
  try {
    call("close");
  } catch (const SimulatorError&) {
    // The simulator objected to closing; the session ends all the same.
  }
  closed_ = true;
  transport_->finish();
}

std::pair<std::string, int> split_address(const std::string& address) {
  std::string host;
  std::string port_text;
  if (!address.empty() && address.front() == '[') {
    auto close = address.find(']');
    if (close == std::string::npos || close + 1 >= address.size() || address[close + 1] != ':')
      throw std::invalid_argument("malformed address '" + address + "' (expected [host]:port)");
    host = address.substr(1, close - 1);
    port_text = address.substr(close + 2);
  } else {
    auto colon = address.rfind(':');
    if (colon == std::string::npos || colon == 0)
      throw std::invalid_argument("malformed address '" + address + "' (expected host:port)");
    host = address.substr(0, colon);
    port_text = address.substr(colon + 1);
    if (host.find(':') != std::string::npos)
      throw std::invalid_argument("malformed address '" + address +
                                  "' (write IPv6 hosts as [host]:port)");
  }
  int port = 0;
  bool digits = !port_text.empty() && port_text.size() <= 5 &&
                port_text.find_first_not_of("0123456789") == std::string::npos;
  if (digits) port = std::stoi(port_text);
  if (!digits || port < 1 || port > 65535)
    throw std::invalid_argument("malformed address '" + address + "' (port must be 1 to 65535)");
  return {host, port};
}

std::unique_ptr<Client> make(const std::string& run_id, const std::string& sim_id,
                             const std::string& env_id, const ordered_json& env_init,
                             const std::string& address, const ClientOptions& options) {
  split_address(address);  // a clear error before any connection attempt
  ClientOptions with_ids = options;
  with_ids.run_id = run_id;
  with_ids.sim_id = sim_id;
  return std::make_unique<Client>(make_grpc_transport(address, with_ids), env_id, env_init);
}

std::unique_ptr<Client> create_client(const std::string& protocol, const std::string& env_id,
                                      const std::string& host, int port,
                                      const ordered_json& env_init, const ClientOptions& options) {
  if (port < 1 || port > 65535)
    throw std::invalid_argument("port " + std::to_string(port) + " is outside 1 to 65535");
  if (protocol == "grpc") {
    auto address = host.find(':') != std::string::npos ? "[" + host + "]:" + std::to_string(port)
                                                       : host + ":" + std::to_string(port);
    return std::make_unique<Client>(make_grpc_transport(address, options), env_id, env_init);
  }
  if (protocol == "http")
    return std::make_unique<Client>(make_http_transport(host, port, options), env_id, env_init);
  throw std::invalid_argument("unknown protocol '" + protocol + "' (expected grpc or http)");
}

}  // namespace tarvo::sim
