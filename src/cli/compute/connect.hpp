#pragma once
// `tarvo compute connect`: its options, bound by the surface and read by the body.
#include <optional>
#include <string>

namespace tarvo::cli::compute {

struct ConnectOptions {
  std::optional<std::string> name;  // --name; absent: <os-user>-local
};

// Checks the machine, registers it with the platform as a cluster, starts the
// compute stack and records the node.
void connect(const ConnectOptions& options);

}  // namespace tarvo::cli::compute
