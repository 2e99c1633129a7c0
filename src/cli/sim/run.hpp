#pragma once
// `tarvo sim run`: serves a simulator directory until it ends, fails or is interrupted
// (Ctrl-C, SIGTERM or SIGHUP: the same graceful stop).
#include <optional>
#include <string>

#include <nlohmann/json.hpp>

namespace tarvo::cli::sim {

struct RunOptions {
  std::optional<std::string> path;         // PATH; absent: "./"
  std::optional<std::string> path_option;  // --path, wins over PATH
  std::string host = "0.0.0.0";            // --host, -h
  std::string port = "1337";               // --port; text, read as a decimal integer
  std::string protocol = "grpc";           // --protocol, -p
  std::string env_init = "{}";             // --env-init, -e; a mapping literal
  long long max_sessions = 64;             // --max-sessions; sessions served at once
};

void run(const RunOptions& options);

// Serving failures and interrupts are logged and end the command normally; the
// server is always stopped. A server that cannot listen at all is an error.
// `max_sessions` bounds the sessions served at once (at least 1).
void _run(const std::string& path = "./", const std::string& host = "0.0.0.0", int port = 1337,
          const std::string& protocol = "grpc",
          const nlohmann::ordered_json& env_init = nlohmann::ordered_json::object(),
          long long max_sessions = 64);

}  // namespace tarvo::cli::sim
