#pragma once
// Step throughput of a simulator: a directory (served on 127.0.0.1) or the address
// of a running simulator (sim/address.hpp). Resets at every episode end.
#include <functional>
#include <optional>
#include <string>

namespace tarvo::sim {

// Told how many of the samples are done: 0 when the clock starts, then a few hundred
// times in all, and `samples` at the end.
using BenchmarkProgress = std::function<void(long long done, long long samples)>;

// Steps per second over `samples` steps (sampled actions). An absent or empty target
// is an error (std::invalid_argument); so is a sample count below 1.
double benchmark(const std::optional<std::string>& target, long long samples,
                 const std::string& protocol = "grpc", const BenchmarkProgress& progress = {});

}  // namespace tarvo::sim
