#include "cli/sim/benchmark.hpp"

#include <string_view>
#include <utility>

#include "cli/sim/target.hpp"
#include "core/python_repr.hpp"
#include "sim/benchmark.hpp"
#include "term/console.hpp"

namespace tarvo::cli::sim {
namespace {

// Splits a leading "http://" or "grpc://" off an address.
std::pair<std::string, std::string> protocol_and_address(const std::string& target) {
  for (std::string_view protocol : {"http", "grpc"}) {
    const std::string scheme = std::string(protocol) + "://";
    if (target.rfind(scheme, 0) == 0) return {std::string(protocol), target.substr(scheme.size())};
  }
  return {"grpc", target};
}

}  // namespace

void benchmark(const BenchmarkOptions& options) {
  _benchmark(effective_path(options.path, options.path_option), options.address, options.samples);
}

void _benchmark(const std::optional<std::string>& path, const std::optional<std::string>& address,
                long long samples) {
  auto target = choose_target(path, address);
  std::string protocol = "grpc";
  if (target && target != path) std::tie(protocol, *target) = protocol_and_address(*target);
  const double per_second = tarvo::sim::benchmark(target, samples, protocol);
  term::Console().print("Samples per second: " + core::python_repr(per_second));
}

}  // namespace tarvo::cli::sim
