// `tarvo compute connect` ended by SIGINT, SIGTERM or SIGHUP at each step: every
// run leaves either a connected node (its state, its registered cluster and its
// running stack) or nothing at all.
#include <signal.h>

#include <chrono>
#include <random>
#include <thread>

#include <gmock/gmock.h>

#include "compute_support.hpp"
#include "sim_support.hpp"

using testing::HasSubstr;

namespace tarvo::test {
namespace {

struct Signal {
  int number;
  const char* name;
};
constexpr Signal kSignals[] = {{SIGINT, "INT"}, {SIGTERM, "TERM"}, {SIGHUP, "HUP"}};

class InterruptTest : public ComputeTest {
 protected:
  void SetUp() override {
    ComputeTest::SetUp();
    if (IsSkipped()) return;
    session_.env()["TARVO_ORGANIZATION"] = "Demo Robotics";
    session_.env()["TARVO_API_KEY"] = "k3y";
  }
  void start(double registration_delay) {
    start_platform(nullptr,
                   {"--token", "k3y", "--registration-delay", std::to_string(registration_delay)});
  }

  // Nothing left: no cluster, no stack, no state.
  void expect_nothing_left() {
    EXPECT_TRUE(clusters().empty()) << clusters().dump();
    EXPECT_TRUE(stacks().empty()) << stacks().dump();
    EXPECT_FALSE(std::filesystem::exists(state_file()));
  }
  // Either a whole node or nothing. A node is taken down again with disconnect.
  void expect_node_or_nothing() {
    if (!std::filesystem::exists(state_file())) return expect_nothing_left();
    const auto cluster_id = state()["cluster_id"];
    ASSERT_EQ(clusters().size(), 1u);
    EXPECT_EQ(clusters()[0]["id"], cluster_id);
    EXPECT_EQ(stack_environment()["TARVO_CLUSTER_ID"], cluster_id);
    const auto result = session_.run({"compute", "disconnect"});
    ASSERT_EQ(result.exit_code, 0) << result.out << result.err;
    expect_nothing_left();
  }
  // `tarvo compute connect` in the background.
  std::unique_ptr<sim::Background> connect() {
    return std::make_unique<sim::Background>(session_, session_.home(),
                                             std::vector<std::string>{"compute", "connect"});
  }
  void expect_interrupted(sim::Background& tarvo) {
    EXPECT_EQ(tarvo.wait(), 130) << tarvo.out() << tarvo.err();
    EXPECT_THAT(tarvo.err(), HasSubstr("Aborted!"));
  }
};

TEST_F(InterruptTest, WhileTheRegistrationIsInFlightTheClusterIsRemoved) {
  start(0.3);
  for (const auto& signal : kSignals) {
    SCOPED_TRACE(signal.name);
    auto tarvo = connect();
    // The platform has created the cluster and holds its reply.
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (clusters().empty() && std::chrono::steady_clock::now() < give_up)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_FALSE(clusters().empty()) << tarvo->out() << tarvo->err();
    tarvo->signal(signal.number);
    expect_interrupted(*tarvo);
    EXPECT_THAT(tarvo->out(), HasSubstr("Error during setup — deregistering cluster"));
    expect_nothing_left();
    for (const auto& argv : docker_argvs())  // never got as far as the stack
      EXPECT_NE(argv, compose({"up", "-d"}));
  }
}

TEST_F(InterruptTest, WhileComposeUpRunsItsContainersAreRemoved) {
  start(0);
  for (const auto& signal : kSignals) {
    SCOPED_TRACE(signal.name);
    // Compose has created the containers and is waiting for them when the signal comes.
    script_fake("docker", Json{{{"when", {"up"}},
                                {"results", {{{"signal_parent", signal.name}, {"sleep", 10}}}}}});
    auto tarvo = connect();
    expect_interrupted(*tarvo);
    EXPECT_EQ(docker_argvs().back(), compose({"down"}));
    expect_nothing_left();
  }
}

TEST_F(InterruptTest, DuringTheFlushTheStackIsStoppedAndTheClusterRemoved) {
  start(0);
  for (const auto& signal : kSignals) {
    SCOPED_TRACE(signal.name);
    script_fake(
        "docker",
        Json{{{"when", {"FLUSHALL"}},
              {"results", {{{"exit", 1}, {"signal_parent", signal.name}, {"sleep", 10}}}}}});
    auto tarvo = connect();
    expect_interrupted(*tarvo);
    expect_nothing_left();
  }
}

// Signals at random moments of a whole connect. TARVO_INTERRUPT_TRIALS sets the
// runs per signal (1 by default; 30 for a thorough trial by hand).
TEST_F(InterruptTest, AtRandomMomentsEveryRunLeavesANodeOrNothing) {
  const char* trials_setting = std::getenv("TARVO_INTERRUPT_TRIALS");
  const int trials = trials_setting ? std::atoi(trials_setting) : 1;
  start(0.3);
  // A connect of about two seconds: a slow registration, a slow start, Redis
  // answering the second flush.
  const Json rules = Json::parse(R"([
      {"when": ["up"], "results": [{"sleep": 0.3}]},
      {"when": ["FLUSHALL"], "results": [{"exit": 1, "sleep": 0.1}, {"exit": 0}]}])");
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> moment_ms(0, 2200);
  int connected = 0;
  for (const auto& signal : kSignals) {
    for (int trial = 0; trial < trials; ++trial) {
      const int at = moment_ms(random);
      SCOPED_TRACE(std::string(signal.name) + " after " + std::to_string(at) + " ms");
      for (const auto& entry : std::filesystem::directory_iterator(fakes_))
        if (entry.path().extension() == ".uses") std::filesystem::remove(entry.path());
      script_fake("docker", rules);
      auto tarvo = connect();
      std::this_thread::sleep_for(std::chrono::milliseconds(at));
      tarvo->signal(signal.number);
      const int code = tarvo->wait().value_or(-1);
      // 128 + the signal: it came before tarvo had set up its handling, and did the
      // default, before anything was started.
      EXPECT_TRUE(code == 0 || code == 130 || code == 128 + signal.number)
          << code << tarvo->out() << tarvo->err();
      if (code == 0) {
        EXPECT_TRUE(std::filesystem::exists(state_file()));
      }
      connected += std::filesystem::exists(state_file());
      expect_node_or_nothing();
    }
  }
  std::printf("%d of %d interrupted connects had completed\n", connected, 3 * trials);
}

}  // namespace
}  // namespace tarvo::test
