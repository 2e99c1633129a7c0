#pragma once
// `tarvo sim benchmark`: measures how many steps per second a simulator delivers.
#include <optional>
#include <string>

namespace tarvo::cli::sim {

struct BenchmarkOptions {
  std::optional<std::string> path;         // PATH
  std::optional<std::string> path_option;  // --path, -p; wins over PATH
  std::optional<std::string> address;      // --address, -a
  long long samples = 1000;                // --samples, -s
};

void benchmark(const BenchmarkOptions& options);

// Benchmarks the simulator directory `path` or, when the path is absent or empty, the
// running simulator at `address` (host:port, grpc://host:port or http://host:port), and
// prints "Samples per second: <figure>". On a terminal a progress bar shows meanwhile.
void _benchmark(const std::optional<std::string>& path = std::nullopt,
                const std::optional<std::string>& address = std::nullopt, long long samples = 1000);

}  // namespace tarvo::cli::sim
