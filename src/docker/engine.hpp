#pragma once
// A client of the Docker Engine API: the versioned HTTP API on the engine's Unix
// socket or TCP port. It knows requests, replies and the engine's errors; what a
// simulator container is lives in docker.hpp.
#include <functional>
#include <initializer_list>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "core/http.hpp"

namespace tarvo::docker {

using Json = nlohmann::ordered_json;

// Every failure of this module; what() is meant for the user as it stands.
class Error : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The engine answered with an error status; what() is its own message.
class EngineError : public Error {
 public:
  EngineError(long status, const std::string& message) : Error(message), status_(status) {}
  long status() const { return status_; }

 private:
  long status_;
};

// Where an endpoint came from, for messages that tell the user what to change.
enum class EndpointOrigin { given, docker_host, default_socket };

// Where the engine listens, from DOCKER_HOST ("unix:///path" or "tcp://host:port").
struct Endpoint {
  std::string address;                     // as the user would write it, for messages
  std::optional<std::string> unix_socket;  // set for unix://
  std::string base_url;                    // "http://localhost" or "http://host:port"
  EndpointOrigin origin = EndpointOrigin::given;
};

inline constexpr const char* kDefaultDockerHost = "unix:///var/run/docker.sock";

// Parses a DOCKER_HOST value; an unsupported or malformed one is an Error.
Endpoint parse_endpoint(std::string_view docker_host);

// DOCKER_HOST when set and not empty, else the default socket.
Endpoint endpoint_from_environment();

class Engine {
 public:
  explicit Engine(Endpoint endpoint);

  // GET/POST/DELETE `path` (below the API version, e.g. "/containers/json"); the
  // reply body as JSON (null when empty). A reply status >= 400 is an EngineError.
  Json get(const std::string& path);
  Json post(const std::string& path, const Json& body = nullptr);
  Json del(const std::string& path);

  // GET `path`, handing the body to `on_data` as it arrives; returns the status.
  // No time-out: the reply may last as long as the engine keeps it open.
  long stream(const std::string& path, const std::function<bool(std::string_view)>& on_data);

  const Endpoint& endpoint() const { return endpoint_; }

 private:
  core::http::Response send(core::http::Request request);
  Json json_reply(const core::http::Response& response);
  const std::string& api_prefix();

  Endpoint endpoint_;
  core::http::Client client_;
  std::string api_prefix_;  // "/v1.41", found on first use
};

// Why the engine at `endpoint` cannot be reached, for the user: the socket or
// DOCKER_HOST named, what is wrong there (for a socket: missing, refused, not
// permitted; else the transport's own `failure`), and what to check.
std::string unreachable_message(const Endpoint& endpoint, const std::string& failure);

// The engine's message in an error reply: its JSON "message", else the body's first
// line, else the status.
std::string error_message(long status, std::string_view body);

// Reading the engine's replies without trusting their shape: the value at a path of
// object keys, or null (text_at: "") when any step is missing or of another kind.
const Json& json_at(const Json& value, std::initializer_list<const char*> keys);
std::string text_at(const Json& value, std::initializer_list<const char*> keys);

// Escapes a value for a URL query or path segment.
std::string url_encode(std::string_view text);

}  // namespace tarvo::docker
