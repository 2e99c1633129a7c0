#include "docker/engine.hpp"

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <system_error>
#include <utility>

#include "core/fd.hpp"
#include "core/os/os.hpp"

namespace tarvo::docker {
namespace {

// The newest API version this client was written against. An older engine is
// spoken to in its own version; a newer one in this one (engines keep old versions).
constexpr int kNewestMajor = 1;
constexpr int kNewestMinor = 45;

// Ordinary calls are quick on a local engine; creating a container on a slow
// storage driver or stopping one (up to its grace period) take longest.
constexpr double kCallTimeoutSeconds = 120;
constexpr double kConnectTimeoutSeconds = 10;

struct ApiVersion {
  int major = 0;
  int minor = 0;
  auto operator<=>(const ApiVersion&) const = default;
};

std::optional<ApiVersion> parse_version(const Json& value) {
  if (!value.is_string()) return std::nullopt;
  ApiVersion version;
  char tail = 0;
  if (std::sscanf(value.get_ref<const std::string&>().c_str(), "%d.%d%c", &version.major,
                  &version.minor, &tail) != 2)
    return std::nullopt;
  return version;
}

std::string first_line(std::string_view text) {
  const auto end = text.find_first_of("\r\n");
  std::string line(text.substr(0, end));
  constexpr std::size_t kLongest = 200;
  if (line.size() > kLongest) line = line.substr(0, kLongest) + "...";
  return line;
}

// What is wrong with the engine's socket at `path`, as the kernel sees it; nothing
// when a connection succeeds after all.
std::optional<std::string> socket_problem(const std::string& path) {
  struct stat info {};
  if (::stat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return "there is no socket at " + path;
    return "cannot look at " + path + ": " + std::generic_category().message(errno);
  }
  if (!S_ISSOCK(info.st_mode)) return path + " is not a socket";
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path) return "the socket path " + path + " is too long";
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const core::Fd socket_fd = core::os::open_socket(AF_UNIX, SOCK_STREAM, 0);
  if (!socket_fd) return std::nullopt;
  if (::connect(socket_fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0)
    return std::nullopt;
  if (errno == ECONNREFUSED) return "nothing is listening on " + path;
  if (errno == EACCES || errno == EPERM) return "permission denied on " + path;
  return std::generic_category().message(errno) + " on " + path;
}

}  // namespace

std::string unreachable_message(const Endpoint& endpoint, const std::string& failure) {
  std::string message = "cannot reach the Docker engine at " + endpoint.address;
  if (endpoint.origin == EndpointOrigin::docker_host) message += " (from DOCKER_HOST)";
  if (endpoint.origin == EndpointOrigin::default_socket)
    message += " (the default; set DOCKER_HOST to use another engine)";
  std::optional<std::string> problem;
  if (endpoint.unix_socket) problem = socket_problem(*endpoint.unix_socket);
  message += ": " + problem.value_or(failure) + ".";
  if (problem && problem->starts_with("permission denied"))
    message += " Is your user allowed to use Docker (a member of the docker group)?";
  else
    message += " Is the docker daemon running?";
  return message;
}

Endpoint parse_endpoint(std::string_view docker_host) {
  const std::string given(docker_host);
  if (docker_host.starts_with("unix://")) {
    const std::string path(docker_host.substr(7));
    if (path.empty() || path[0] != '/')
      throw Error("DOCKER_HOST '" + given + "' must name an absolute socket path (unix:///path)");
    return {given, path, "http://localhost", EndpointOrigin::given};
  }
  if (docker_host.starts_with("tcp://")) {
    std::string authority(docker_host.substr(6));
    while (!authority.empty() && authority.back() == '/')
      authority.pop_back();
    if (authority.empty() || authority.find('/') != std::string::npos)
      throw Error("DOCKER_HOST '" + given + "' must be tcp://host:port");
    // The engine's plain TCP port when none is given.
    const bool bracketed = authority.front() == '[';
    const auto colon = authority.rfind(':');
    const bool has_port = colon != std::string::npos && (!bracketed || authority[colon - 1] == ']');
    if (!has_port) authority += ":2375";
    return {given, std::nullopt, "http://" + authority, EndpointOrigin::given};
  }
  throw Error("DOCKER_HOST '" + given + "' is not supported: use unix:///path or tcp://host:port");
}

Endpoint endpoint_from_environment() {
  const char* value = std::getenv("DOCKER_HOST");
  const bool given = value && *value;
  Endpoint endpoint = parse_endpoint(given ? value : kDefaultDockerHost);
  endpoint.origin = given ? EndpointOrigin::docker_host : EndpointOrigin::default_socket;
  return endpoint;
}

std::string error_message(long status, std::string_view body) {
  try {
    const auto reply = Json::parse(body);
    if (reply.is_object() && reply.contains("message") && reply["message"].is_string()) {
      const auto& message = reply["message"].get_ref<const std::string&>();
      if (!message.empty()) return first_line(message);
    }
  } catch (const Json::exception&) {
    // Not JSON: fall back to the text itself.
  }
  const std::string line = first_line(body);
  if (!line.empty()) return line;
  return "the engine answered with status " + std::to_string(status);
}

const Json& json_at(const Json& value, std::initializer_list<const char*> keys) {
  static const Json kNull;
  const Json* current = &value;
  for (const char* key : keys) {
    if (!current->is_object()) return kNull;
    const auto found = current->find(key);
    if (found == current->end()) return kNull;
    current = &*found;
  }
  return *current;
}

std::string text_at(const Json& value, std::initializer_list<const char*> keys) {
  const Json& found = json_at(value, keys);
  return found.is_string() ? found.get<std::string>() : std::string();
}

std::string url_encode(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string encoded;
  for (const unsigned char c : text) {
    const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '.' || c == '~';
    if (plain) {
      encoded += static_cast<char>(c);
    } else {
      encoded += '%';
      encoded += kHex[c >> 4];
      encoded += kHex[c & 15];
    }
  }
  return encoded;
}

Engine::Engine(Endpoint endpoint)
    : endpoint_(std::move(endpoint)), client_([this] {
        core::http::ClientOptions options;
        options.unix_socket = endpoint_.unix_socket;
        return options;
      }()) {}

core::http::Response Engine::send(core::http::Request request) {
  request.connect_timeout_seconds = kConnectTimeoutSeconds;
  try {
    return client_.send(request);
  } catch (const core::http::TimeoutError& e) {
    throw Error("the Docker engine at " + endpoint_.address + " did not answer in time (" +
                e.what() + ")");
  } catch (const core::http::ClientError& e) {
    throw Error(unreachable_message(endpoint_, e.what()));
  }
}

Json Engine::json_reply(const core::http::Response& response) {
  if (response.status >= 400)
    throw EngineError(response.status, error_message(response.status, response.body));
  if (response.body.empty()) return nullptr;
  try {
    return Json::parse(response.body);
  } catch (const Json::exception&) {
    throw Error("the Docker engine at " + endpoint_.address +
                " sent a reply that is not JSON (status " + std::to_string(response.status) + ")");
  }
}

const std::string& Engine::api_prefix() {
  if (!api_prefix_.empty()) return api_prefix_;
  core::http::Request request;
  request.url = endpoint_.base_url + "/version";
  request.timeout_seconds = kCallTimeoutSeconds;
  const Json reply = json_reply(send(std::move(request)));
  const auto newest = ApiVersion{kNewestMajor, kNewestMinor};
  const auto engine_newest = parse_version(json_at(reply, {"ApiVersion"}));
  if (!engine_newest)
    throw Error("the Docker engine at " + endpoint_.address + " did not say which API it speaks");
  ApiVersion chosen = std::min(*engine_newest, newest);
  const auto engine_oldest = parse_version(json_at(reply, {"MinAPIVersion"}));
  if (engine_oldest && chosen < *engine_oldest) chosen = *engine_oldest;
  api_prefix_ = "/v" + std::to_string(chosen.major) + "." + std::to_string(chosen.minor);
  return api_prefix_;
}

Json Engine::get(const std::string& path) {
  core::http::Request request;
  request.url = endpoint_.base_url + api_prefix() + path;
  request.timeout_seconds = kCallTimeoutSeconds;
  return json_reply(send(std::move(request)));
}

Json Engine::post(const std::string& path, const Json& body) {
  core::http::Request request;
  request.method = "POST";
  request.url = endpoint_.base_url + api_prefix() + path;
  request.timeout_seconds = kCallTimeoutSeconds;
  if (!body.is_null()) {
    request.body = body.dump();
    request.headers = {{"Content-Type", "application/json"}};
  }
  return json_reply(send(std::move(request)));
}

Json Engine::del(const std::string& path) {
  core::http::Request request;
  request.method = "DELETE";
  request.url = endpoint_.base_url + api_prefix() + path;
  request.timeout_seconds = kCallTimeoutSeconds;
  return json_reply(send(std::move(request)));
}

long Engine::stream(const std::string& path, const std::function<bool(std::string_view)>& on_data) {
  core::http::Request request;
  request.url = endpoint_.base_url + api_prefix() + path;
  request.on_data = on_data;
  return send(std::move(request)).status;
}

}  // namespace tarvo::docker
