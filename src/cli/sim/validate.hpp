#pragma once
// `tarvo sim validate`: checks that a simulator keeps the protocol.
#include <optional>
#include <string>
#include <vector>

#include "sim/validator.hpp"

namespace tarvo::cli::sim {

struct ValidateOptions {
  std::optional<std::string> path;         // PATH
  std::optional<std::string> path_option;  // --path, wins over PATH
  std::optional<std::string> address;      // --address, -a
  std::string protocol = "grpc";           // --protocol, -p
};

void validate(const ValidateOptions& options);

// Validates the simulator directory `path` or, when the path is absent or empty, the
// running simulator at `address` (host:port, grpc://host:port or http://host:port),
// talking `protocol` unless the address names its own. Prints the issues
// when `is_print`; throws std::invalid_argument("Validation failed") when it does not
// pass, after printing. Shared with `publish`.
void _validate(const std::optional<std::string>& path = std::nullopt,
               const std::optional<std::string>& address = std::nullopt,
               const std::string& protocol = "grpc", bool is_print = true);

// Prints the issues on standard output, or a one-line verdict when there are none.
void print_issues(const std::vector<tarvo::sim::Issue>& issues);

}  // namespace tarvo::cli::sim
