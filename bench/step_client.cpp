// Steps a served simulator through tarvo's own client, the path `tarvo sim benchmark`
// takes: one session (and so one simulator process) per client. Figures count round
// trips: steps, and the resets between episodes.
// Usage: tarvo_bench_steps grpc|http host port steps clients
#include <cstdio>
#include <exception>
#include <string>

#include "run_clients.hpp"
#include "sim/client.hpp"

using namespace tarvo;

int main(int argc, char** argv) {
  if (argc != 6) {
    std::fprintf(stderr, "usage: %s grpc|http host port steps clients\n", argv[0]);
    return 2;
  }
  const std::string protocol = argv[1];
  const std::string host = argv[2];
  const int port = static_cast<int>(bench::positive_arg(argv[3], "port"));
  const long long steps = bench::positive_arg(argv[4], "steps");
  const int clients = static_cast<int>(bench::positive_arg(argv[5], "clients"));
  try {
    std::vector<std::unique_ptr<tarvo::sim::Client>> sessions;
    auto figures = bench::run_clients(clients, steps, [&](int) {
      auto& client =
          sessions.emplace_back(tarvo::sim::create_client(protocol, "bench", host, port));
      client->reset(0);
      // Each timed round trip is one call, as in the ping-pongs these figures are set
      // against: a step, or the reset an ended episode needs (alternating pushes end
      // one every 36 steps or so). Timing a step together with the reset after it
      // would count two round trips as one.
      return [session = client.get(), n = 0, reset_due = false]() mutable {
        if (reset_due) {
          session->call("reset", R"({"seed":null})");
          reset_due = false;
          return;
        }
        auto end =
            session->call_for_episode_end("step", ++n % 2 ? R"({"action":1})" : R"({"action":0})");
        reset_due = end.terminated || end.truncated;
      };
    });
    for (auto& client : sessions)
      client->close();
    bench::print_figures("tarvo " + protocol, clients, std::move(figures));
  } catch (const std::exception& error) {
    std::fprintf(stderr, "tarvo_bench_steps: %s\n", error.what());
    return 1;
  }
  return 0;
}
