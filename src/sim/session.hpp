#pragma once
// One served session: a simulator process of its own and the relay of calls to it.
// Shared by the gRPC and the HTTP front ends.
#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/child.hpp"

namespace tarvo::sim {

// What every session of one server starts from.
struct SessionSetup {
  std::filesystem::path dir;
  std::vector<std::string> command;
  nlohmann::ordered_json env_init;  // defaults under the client's own env_init
  std::chrono::milliseconds reply_timeout{std::chrono::seconds(60)};
  int cancel_fd = -1;  // readable once the server shuts down
  std::string log_name;
  bool announce = true;  // log where the server listens at info level
};

class Session {
 public:
  // Starts the simulator; throws SessionError when it cannot.
  explicit Session(const SessionSetup& setup);

  // Relays one call; `args` is a JSON object text. Returns the simulator's reply line
  // (a JSON object with "result" or "error"), valid until the next call. A call the
  // server refuses gets an error reply of its own. Throws SessionError when the
  // session is over: afterwards every call throws.
  std::string_view call(std::string_view method, std::string_view args);

  bool over() const { return over_; }

 private:
  const SessionSetup& setup_;
  ChildProcess child_;
  std::string request_;
  std::string refusal_;
  bool over_ = false;
};

// Whether `line` is a reply: one JSON object holding "result" or "error".
bool is_reply_line(std::string_view line);

}  // namespace tarvo::sim
