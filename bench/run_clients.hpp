#pragma once
// Runs `clients` sessions on threads of their own, each doing `steps` timed round
// trips after a short warm-up, and times them together from a common start.
#include <functional>
#include <latch>
#include <memory>
#include <mutex>
#include <thread>

#include "measure.hpp"

namespace tarvo::bench {

// One client's round trip; it throws to abort the run.
using RoundTrip = std::function<void()>;
// Makes one client (connects, sets up its session) and returns its round trip.
using MakeClient = std::function<RoundTrip(int index)>;

inline Figures run_clients(int clients, long long steps, const MakeClient& make_client) {
  constexpr long long kWarmup = 200;
  std::vector<RoundTrip> trips;
  for (int i = 0; i < clients; ++i)
    trips.push_back(make_client(i));
  for (auto& trip : trips)
    for (long long i = 0; i < kWarmup; ++i)
      trip();

  Figures figures;
  std::mutex mutex;
  std::latch ready(clients + 1);
  std::vector<std::jthread> threads;
  Clock::time_point start;
  for (int i = 0; i < clients; ++i) {
    threads.emplace_back([&, i] {
      std::vector<double> latencies;
      latencies.reserve(static_cast<std::size_t>(steps));
      ready.arrive_and_wait();
      for (long long n = 0; n < steps; ++n) {
        auto begin = Clock::now();
        trips[static_cast<std::size_t>(i)]();
        latencies.push_back(
            std::chrono::duration<double, std::micro>(Clock::now() - begin).count());
      }
      std::lock_guard lock(mutex);
      figures.latencies_us.insert(figures.latencies_us.end(), latencies.begin(), latencies.end());
    });
  }
  start = Clock::now();
  ready.arrive_and_wait();
  threads.clear();  // joins
  figures.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  figures.steps = steps * clients;
  return figures;
}

}  // namespace tarvo::bench
