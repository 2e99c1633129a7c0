#pragma once
// Step throughput of a simulator: a directory (served on 127.0.0.1 over gRPC) or the
// "host:port" address of a running simulator. Resets at every episode end.
#include <optional>
#include <string>

namespace tarvo::sim {

// Steps per second over `samples` steps (sampled actions). An absent or empty target
// is an error (std::invalid_argument); so is a sample count below 1.
double benchmark(const std::optional<std::string>& target, long long samples,
                 const std::string& protocol = "grpc");

}  // namespace tarvo::sim
