#pragma once
// Checks that a simulator keeps the protocol; shared by `validate` and `publish`.
#include <optional>
#include <string>

namespace tarvo::cli::sim {

// Validates the simulator directory `path` or, when the path is absent or empty, the
// running simulator at `address` ("host:port"), talking `protocol`. Prints the issues
// when `is_print`; throws std::invalid_argument("Validation failed") when it does not
// pass, after printing.
void _validate(const std::optional<std::string>& path = std::nullopt,
               const std::optional<std::string>& address = std::nullopt,
               const std::string& protocol = "grpc", bool is_print = true);

}  // namespace tarvo::cli::sim
