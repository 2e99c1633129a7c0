#pragma once
// A client session with a served simulator, over gRPC or HTTP. One session is one
// simulator process on the server side: its state is never shared with another
// client. Calls are strictly sequential; a client is not for use by two threads.
//
// Failures are exceptions: SessionError when the session is over (the simulator
// died, hung past the server's limit, answered garbage, or the connection broke),
// SimulatorError when the simulator answered a call with an error reply (the
// session goes on).
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

#include "sim/space.hpp"

namespace tarvo::sim {

class SessionError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class SimulatorError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ResetResult {
  nlohmann::ordered_json observation;
  nlohmann::ordered_json info;
};

struct StepResult {
  nlohmann::ordered_json observation;
  nlohmann::ordered_json reward;  // kept as given, so that callers can check it is a finite number
  nlohmann::ordered_json terminated;
  nlohmann::ordered_json truncated;
  nlohmann::ordered_json info;
};

// How one session talks to the server; one implementation per protocol.
class Transport {
 public:
  virtual ~Transport() = default;
  // Sends one call; `args` is a JSON object text. Returns the simulator's reply line,
  // a JSON object with "result" or "error", valid until the next call (its buffer is
  // used again, so a step allocates nothing). Throws SessionError when the session ends.
  virtual std::string_view call(std::string_view method, std::string_view args) = 0;
  // Ends the session without a close call (idempotent).
  virtual void finish() = 0;
};

struct ClientOptions {
  // Longest wait for one reply; a server that stays silent longer ends the session.
  std::chrono::milliseconds call_timeout{std::chrono::minutes(2)};
  std::string run_id;
  std::string sim_id;
};

class Client {
 public:
  Client(std::unique_ptr<Transport> transport, std::string env_id, nlohmann::ordered_json env_init);
  ~Client();  // ends the session (without a close call when none was made)
  Client(const Client&) = delete;
  Client& operator=(const Client&) = delete;

  // Makes the environment ("make" with env_id and env_init, unless a make call
  // already did) and reads both spaces.
  void init();
  // The spaces read by init(); init() runs first if it has not yet.
  const Space& sensor_space();
  const Space& action_space();
  // The same, for callers that hold on to the space.
  Space sensor_space_info() { return sensor_space(); }
  Space action_space_info() { return action_space(); }

  ResetResult reset(std::optional<std::int64_t> seed = std::nullopt);
  StepResult step(const nlohmann::ordered_json& action);
  // Asks the simulator to close; the session ends. Idempotent.
  void close();

  // One call with a JSON object text as arguments; returns the parsed result. Throws
  // SimulatorError on an error reply, SessionError on a reply that is not one.
  nlohmann::ordered_json call(std::string_view method, std::string_view args = "{}");

  // The same call for a caller that only looks at whether the episode ended: the reply
  // is checked whole but not built, so that timing many steps times the simulator
  // rather than this client. Same errors as call().
  struct EpisodeEnd {
    bool terminated = false;
    bool truncated = false;
  };
  EpisodeEnd call_for_episode_end(std::string_view method, std::string_view args);

 private:
  std::string_view send(std::string_view method, std::string_view args);
  nlohmann::ordered_json result_of(std::string_view method, std::string_view line);

  std::unique_ptr<Transport> transport_;
  std::string env_id_;
  nlohmann::ordered_json env_init_;
  std::optional<Space> sensor_space_;
  std::optional<Space> action_space_;
  bool made_ = false;
  bool closed_ = false;
};

// A gRPC session client for the simulator at "host:port".
std::unique_ptr<Client> make(const std::string& run_id, const std::string& sim_id,
                             const std::string& env_id, const nlohmann::ordered_json& env_init,
                             const std::string& address, const ClientOptions& options = {});

// A session client for `protocol` ("grpc" or "http"; anything else is an error).
std::unique_ptr<Client> create_client(
    const std::string& protocol, const std::string& env_id, const std::string& host, int port,
    const nlohmann::ordered_json& env_init = nlohmann::ordered_json::object(),
    const ClientOptions& options = {});

// Splits "host:port" (or "[v6]:port"); throws std::invalid_argument when malformed.
std::pair<std::string, int> split_address(const std::string& address);

}  // namespace tarvo::sim
