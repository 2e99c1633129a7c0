#pragma once
// What every ping-pong program of the suite reports: throughput over the timed run
// and the latency of single round trips, printed as one JSON line so that the suite
// script can put it in its table.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace tarvo::bench {

using Clock = std::chrono::steady_clock;

// The reply a step of the reference simulator sends: every ping-pong of the suite
// carries the same bytes, so the figures compare transports, not payloads.
inline constexpr const char* kStepArgs = R"({"action":1})";
inline constexpr const char* kStepReply =
    R"({"result":{"observation":[0.0123456789,-0.170512408,0.0316792615,0.289456129],)"
    R"("reward":1.0,"terminated":false,"truncated":false,"info":{}}})";

struct Figures {
  long long steps = 0;
  double seconds = 0;
  std::vector<double> latencies_us;  // one per timed round trip, all clients together
};

inline double percentile(std::vector<double>& sorted, double fraction) {
  if (sorted.empty()) return 0;
  auto index = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size() - 1) + 0.5);
  return sorted[std::min(index, sorted.size() - 1)];
}

inline void print_figures(const std::string& what, int clients, Figures figures) {
  std::sort(figures.latencies_us.begin(), figures.latencies_us.end());
  std::printf(
      "{\"what\":\"%s\",\"clients\":%d,\"steps\":%lld,\"seconds\":%.6f,\"steps_per_s\":%.1f,"
      "\"p50_us\":%.1f,\"p99_us\":%.1f}\n",
      what.c_str(), clients, figures.steps, figures.seconds,
      static_cast<double>(figures.steps) / std::max(figures.seconds, 1e-9),
      percentile(figures.latencies_us, 0.50), percentile(figures.latencies_us, 0.99));
}

inline long long positive_arg(const char* text, const char* name) {
  char* end = nullptr;
  long long value = std::strtoll(text, &end, 10);
  if (*end != '\0' || value < 1) {
    std::fprintf(stderr, "%s must be a positive integer, not '%s'\n", name, text);
    std::exit(2);
  }
  return value;
}

}  // namespace tarvo::bench
