#include "cli/sim/benchmark.hpp"

#include "cli/sim/target.hpp"
#include "core/python_repr.hpp"
#include "sim/benchmark.hpp"
#include "term/console.hpp"
#include "term/progress_bar.hpp"

namespace tarvo::cli::sim {

void benchmark(const BenchmarkOptions& options) {
  _benchmark(effective_path(options.path, options.path_option), options.address, options.samples);
}

void _benchmark(const std::optional<std::string>& path, const std::optional<std::string>& address,
                long long samples) {
  const auto target = choose_target(path, address);
  double per_second = 0;
  {
    // On a terminal, samples done and the rate so far; gone before the result prints.
    term::ProgressBar bar(stderr, "Benchmarking", term::ProgressUnit::samples);
    per_second =
        tarvo::sim::benchmark(target, samples, "grpc", [&bar](long long done, long long total) {
          bar.update(static_cast<std::uint64_t>(done), static_cast<std::uint64_t>(total));
        });
  }
  term::Console().print("Samples per second: " + core::python_repr(per_second));
}

}  // namespace tarvo::cli::sim
