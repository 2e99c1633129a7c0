#pragma once
// The compliance check of a simulator: a directory (served on 127.0.0.1, any free
// port, with the given protocol, and checked through the client so that the whole
// path is exercised) or the "host:port" address of a running simulator.
#include <chrono>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tarvo::sim {

struct Issue {
  std::string check;    // which check failed: "manifest", "start", "init", "spaces", ...
  std::string message;  // what went wrong, one line
};

struct ValidateOptions {
  int episodes = 2;
  int steps = 100;  // at most this many steps per episode
  std::chrono::milliseconds reply_timeout{std::chrono::seconds(10)};
  unsigned seed = 0;
};

// (success, issues). An absent or empty target is an error (std::invalid_argument).
std::pair<bool, std::vector<Issue>> validate(const std::optional<std::string>& target,
                                             const std::string& protocol,
                                             const ValidateOptions& options = {});

}  // namespace tarvo::sim
