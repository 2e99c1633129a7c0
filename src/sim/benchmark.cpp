#include "sim/benchmark.hpp"

#include <algorithm>
#include <chrono>
#include <random>
#include <stdexcept>
#include <vector>

#include "core/interrupt.hpp"
#include "sim/client.hpp"
#include "sim/target.hpp"

namespace tarvo::sim {

namespace {

// Progress reports per run: enough for a smooth bar, too few to cost a step's time;
// and at least one every few hundred steps, so that a long run's count keeps moving.
constexpr long long kReports = 500;
constexpr long long kMostStepsBetweenReports = 256;

double measure(const std::optional<std::string>& target, long long samples,
               const std::string& protocol, const BenchmarkProgress& progress) {
  Target served(target, protocol, std::chrono::seconds(60));
  auto client = served.connect("benchmark", {});
  client->init();

  // Actions are sampled before the clock starts: the figure is the simulator's.
  std::mt19937_64 random(0);
  std::vector<std::string> actions;
  for (int i = 0; i < 256; ++i) {
    actions.push_back("{\"action\":" + sample(client->action_space(), random).dump() + "}");
  }

  client->reset(0);
  const long long report_every =
      std::min((samples + kReports - 1) / kReports, kMostStepsBetweenReports);
  if (progress) progress(0, samples);
  const auto start = std::chrono::steady_clock::now();
  for (long long i = 0; i < samples; ++i) {
    auto end =
        client->call_for_episode_end("step", actions[static_cast<std::size_t>(i) % actions.size()]);
    if (end.terminated || end.truncated) client->call("reset", R"({"seed":null})");
    if (progress && (i + 1) % report_every == 0) progress(i + 1, samples);
  }
  const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  if (progress && samples % report_every != 0) progress(samples, samples);
  client->close();
  return static_cast<double>(samples) / std::max(elapsed.count(), 1e-9);
}

}  // namespace

double benchmark(const std::optional<std::string>& target, long long samples,
                 const std::string& protocol, const BenchmarkProgress& progress) {
  if (samples < 1) throw std::invalid_argument("the number of samples must be at least 1");
  // Ctrl-C (or SIGTERM) ends the sessions of a simulator served here: the failure
  // that follows is the user's interrupt, not the simulator's.
  try {
    return measure(target, samples, protocol, progress);
  } catch (...) {
    core::interrupt::check();
    throw;
  }
}

}  // namespace tarvo::sim
