// In-process costs of one step, the pieces of the per-step breakdown:
//   ClientCall   what tarvo's client adds per step on the benchmark's path (the reply
//                checked, only the episode flags read; no wire)
//   ReplyCheck   the server's check that a simulator line is a reply
//   ProtoCodec   encoding and decoding one Call and one Reply message
//   SessionStep  the server's relay of one step to the reference simulator over its
//                pipes, the simulator's own work included
#include <benchmark/benchmark.h>

#include "measure.hpp"
#include "proto/simulator.pb.h"
#include "sim/client.hpp"
#include "sim/session.hpp"

using namespace tarvo;

namespace {

// Answers every call at once with the step reply: the client alone is measured.
class CannedTransport final : public tarvo::sim::Transport {
 public:
  std::string_view call(std::string_view, std::string_view) override { return bench::kStepReply; }
  void finish() override {}
};

void ClientCall(benchmark::State& state) {
  tarvo::sim::Client client(std::make_unique<CannedTransport>(), "bench", {});
  for (auto _ : state)
    benchmark::DoNotOptimize(client.call_for_episode_end("step", bench::kStepArgs));
}
BENCHMARK(ClientCall);

void ReplyCheck(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(tarvo::sim::is_reply_line(bench::kStepReply));
}
BENCHMARK(ReplyCheck);

void ProtoCodec(benchmark::State& state) {
  tarvo::sim::Call call;
  call.set_method("step");
  call.set_args(bench::kStepArgs);
  tarvo::sim::Reply reply;
  reply.set_line(bench::kStepReply);
  std::string wire;
  tarvo::sim::Call call_in;
  tarvo::sim::Reply reply_in;
  for (auto _ : state) {
    call.SerializeToString(&wire);
    call_in.ParseFromString(wire);
    reply.SerializeToString(&wire);
    reply_in.ParseFromString(wire);
    benchmark::DoNotOptimize(reply_in.line().data());
  }
}
BENCHMARK(ProtoCodec);

void SessionStep(benchmark::State& state) {
  tarvo::sim::SessionSetup setup;
  setup.dir = std::string(TARVO_BUILD_DIR) + "/examples/cpp-sim";
  setup.command = {"./cartpole"};
  setup.log_name = "bench";
  tarvo::sim::Session session(setup);
  session.call("make", "{}");
  session.call("reset", R"({"seed":0})");
  int n = 0;
  for (auto _ : state) {
    auto line = session.call("step", ++n % 2 ? R"({"action":1})" : R"({"action":0})");
    if (line.find("\"terminated\":true") != std::string_view::npos ||
        line.find("\"truncated\":true") != std::string_view::npos)
      session.call("reset", R"({"seed":null})");
  }
}
BENCHMARK(SessionStep)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
