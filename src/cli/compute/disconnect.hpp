#pragma once
// `tarvo compute disconnect`: stops the node's jobs and stack and deregisters it.

namespace tarvo::cli::compute {

struct DisconnectOptions {};

void disconnect(const DisconnectOptions& options);

}  // namespace tarvo::cli::compute
