#pragma once
// Serves a simulator directory until it ends, fails or the user presses Ctrl-C.
#include <string>

#include <nlohmann/json.hpp>

namespace tarvo::cli::sim {

// Serving failures and Ctrl-C are logged and end the command normally; the server is
// always stopped. A server that cannot listen at all is an error.
void _run(const std::string& path = "./", const std::string& host = "0.0.0.0", int port = 1337,
          const std::string& protocol = "grpc",
          const nlohmann::ordered_json& env_init = nlohmann::ordered_json::object());

}  // namespace tarvo::cli::sim
