// Sessions through the real servers, over both protocols, against the example simulators.
#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>

#include "core/interrupt.hpp"
#include "scoped.hpp"
#include "sim/client.hpp"
#include "sim/network.hpp"
#include "sim_test_support.hpp"

namespace {

using nlohmann::ordered_json;
using tarvo::sim::SessionError;
using tarvo::sim::SimulatorError;
using tarvo::sim::to_string;
using tarvo::test::example_dir;
using tarvo::test::ServedSimulator;

class SimSession : public testing::TestWithParam<std::string> {};

TEST_P(SimSession, RunsAnEpisodeAndCloses) {
  ServedSimulator served(example_dir("cpp-sim"), GetParam());
  auto client = served.client();
  client->init();
  EXPECT_EQ(to_string(client->action_space()), "Discrete(2)");
  EXPECT_EQ(to_string(client->sensor_space()),
            "Box([-4.8 -inf -0.41887903 -inf], [4.8 inf 0.41887903 inf], (4,), float32)");
  auto reset = client->reset(7);
  EXPECT_TRUE(contains(client->sensor_space(), reset.observation));
  int steps = 0;
  for (bool done = false; !done; ++steps) {
    auto step = client->step(steps % 3 ? 1 : 0);
    EXPECT_TRUE(contains(client->sensor_space(), step.observation));
    EXPECT_EQ(step.reward, 1.0);
    done = step.terminated.get<bool>() || step.truncated.get<bool>();
  }
  EXPECT_GT(steps, 1);
  // The simulator's own error replies reach the client and the session goes on.
  EXPECT_THROW(client->step(5), SimulatorError);
  EXPECT_THROW(client->call("no_such_method"), SimulatorError);
  EXPECT_NO_THROW(client->reset(std::nullopt));
  client->close();
  EXPECT_THROW(client->step(0), SessionError);
}

TEST_P(SimSession, SameSeedSameEpisodeAndSessionsAreSeparate) {
  ServedSimulator served(example_dir("cpp-sim"), GetParam());
  auto first = served.client();
  auto second = served.client();
  first->init();
  second->init();
  // Interleaved steps: each session's state must only follow its own actions.
  auto a = first->reset(42).observation;
  auto b = second->reset(42).observation;
  EXPECT_EQ(a, b);
  for (int i = 0; i < 5; ++i) {
    a = first->step(1).observation;
    b = second->step(0).observation;
  }
  EXPECT_NE(a, b);
  // Concurrently, from two threads, the same seed and actions give the same run.
  auto run = [&] {
    auto client = served.client();
    client->init();
    client->reset(3);
    ordered_json last;
    for (int i = 0; i < 50; ++i)
      last = client->step(i % 2).observation;
    return last;
  };
  auto left = std::async(std::launch::async, run);
  auto right = std::async(std::launch::async, run);
  EXPECT_EQ(left.get(), right.get());
}

TEST_P(SimSession, EnvInitMergesServerDefaultsUnderTheClientsOwn) {
  // max_steps 2 from the server: the episode is truncated after two steps.
  ServedSimulator served(example_dir("cpp-sim"), GetParam(), std::chrono::seconds(2),
                         ordered_json{{"max_steps", 2}});
  auto client = served.client();
  client->reset(1);
  client->step(1);
  EXPECT_TRUE(client->step(0).truncated.get<bool>());
  // A client's own value wins.
  auto other = served.client(ordered_json{{"max_steps", 4}});
  other->reset(1);
  for (int i = 0; i < 3; ++i)
    EXPECT_FALSE(other->step(i % 2).truncated.get<bool>());
  EXPECT_TRUE(other->step(1).truncated.get<bool>());
}

// Each faulty simulator ends its own session with a clear error; the server goes on.
struct Fault {
  const char* name;
  const char* message;
};

TEST_P(SimSession, FaultySimulatorEndsOnlyItsSession) {
  const Fault faults[] = {
      {"crash", "ended without replying"},
      {"garbage", "not a reply: Traceback"},
      {"hang", "did not reply within 0.5 s"},
  };
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.name);
    ServedSimulator served(example_dir("broken/") + fault.name, GetParam(),
                           std::chrono::milliseconds(500));
    auto client = served.client();
    auto bystander = served.client();
    bystander->reset(1);
    client->reset(1);
    client->step(0);
    client->step(0);
    try {
      client->step(0);
      ADD_FAILURE() << "the fault went unnoticed";
    } catch (const SessionError& error) {
      EXPECT_NE(std::string(error.what()).find(fault.message), std::string::npos) << error.what();
    }
    EXPECT_THROW(client->step(0), SessionError);
    // Neither the other session nor new ones are affected.
    EXPECT_NO_THROW(bystander->step(1));
    auto next = served.client();
    EXPECT_NO_THROW(next->reset(2));
  }
}

TEST_P(SimSession, CrashReportsTheSimulatorsLastWords) {
  ServedSimulator served(example_dir("broken/crash"), GetParam());
  auto client = served.client();
  client->reset(1);
  client->step(0);
  client->step(0);
  try {
    client->step(0);
    FAIL();
  } catch (const SessionError& error) {
    std::string message = error.what();
    EXPECT_NE(message.find("killed by signal 6"), std::string::npos) << message;
    EXPECT_NE(message.find("simulated crash"), std::string::npos) << message;
  }
}

TEST_P(SimSession, StopEndsWaitingSessionsPromptly) {
  auto served = std::make_unique<ServedSimulator>(example_dir("broken/hang"), GetParam(),
                                                  std::chrono::minutes(5));
  auto client = served->client();
  client->reset(1);
  client->step(0);
  client->step(0);
  auto waiting = std::async(std::launch::async, [&] { client->step(0); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  served.reset();  // stop() must not wait five minutes for the hung simulator
  EXPECT_THROW(waiting.get(), SessionError);
}

// A simulator whose "wait" answers 1 once the file "gate" exists in its directory,
// or 0 when it gave up on it; every other call is answered at once. It marks that it
// is waiting with a file of its own.
class GatedSim {
 public:
  GatedSim()
      : sim_(R"({"name": "gated", "description": "", "kind": "sim", "version": "1",
                 "command": ["sh", "gated.sh"]})") {
    std::ofstream(dir() / "gated.sh") << R"(while read -r line; do
  case "$line" in
    *'"wait"'*)
      : > "waiting-$$"; n=0
      while [ ! -e gate ] && [ $n -lt 300 ]; do sleep 0.1; n=$((n + 1)); done
      if [ -e gate ]; then echo '{"result": 1}'; else echo '{"result": 0}'; fi ;;
    *) echo '{"result": null}' ;;
  esac
done
)";
  }
  std::filesystem::path dir() const { return sim_.path(); }
  // Blocks until `count` simulators are waiting (or the simulators gave up).
  void await_waiting(std::size_t count) const {
    for (int i = 0; i < 3000 && waiting() < count; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  void open() const { std::ofstream(dir() / "gate"); }

 private:
  std::size_t waiting() const {
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator(dir()))
      n += entry.path().filename().string().starts_with("waiting-");
    return n;
  }
  tarvo::test::ScratchSim sim_;
};

TEST_P(SimSession, SlowRepliesHoldUpNoOtherSession) {
  GatedSim sim;
  ServedSimulator served(sim.dir(), GetParam(), std::chrono::minutes(1));
  auto first = served.client();
  auto second = served.client();
  auto bystander = served.client();
  // Two sessions wait on their simulators at once: the third must still be served,
  // and only its calls lead to the gate being opened.
  auto first_wait = std::async(std::launch::async, [&] { return first->call("wait"); });
  auto second_wait = std::async(std::launch::async, [&] { return second->call("wait"); });
  sim.await_waiting(2);
  for (int i = 0; i < 20; ++i)
    EXPECT_EQ(bystander->call("step"), nullptr);
  auto late = served.client();
  EXPECT_EQ(late->call("step"), nullptr);
  sim.open();
  EXPECT_EQ(first_wait.get(), 1);
  EXPECT_EQ(second_wait.get(), 1);
  EXPECT_EQ(first->call("step"), nullptr);
}

TEST_P(SimSession, StopEndsSlowCallsPromptly) {
  GatedSim sim;  // never opened
  auto served = std::make_unique<ServedSimulator>(sim.dir(), GetParam(), std::chrono::minutes(5));
  auto first = served->client();
  auto second = served->client();
  auto first_wait = std::async(std::launch::async, [&] { return first->call("wait"); });
  auto second_wait = std::async(std::launch::async, [&] { return second->call("wait"); });
  sim.await_waiting(2);
  served.reset();  // must end both calls, not wait for the simulators
  EXPECT_THROW(first_wait.get(), SessionError);
  EXPECT_THROW(second_wait.get(), SessionError);
}

TEST_P(SimSession, SimulatorThatCannotStartIsAClearSessionError) {
  tarvo::test::ScratchSim sim(R"({"name": "missing", "description": "", "kind": "sim",
    "version": "1", "command": ["./no-such-simulator"]})");
  ServedSimulator served(sim.path(), GetParam());
  for (int attempt = 0; attempt < 2; ++attempt) {
    auto client = served.client();
    try {
      client->call("make");
      ADD_FAILURE() << "a session without a simulator answered";
    } catch (const SessionError& error) {
      EXPECT_NE(std::string(error.what()).find("no-such-simulator"), std::string::npos)
          << error.what();
    }
    EXPECT_THROW(client->call("step"), SessionError);
  }
}

TEST_P(SimSession, UnreachableServerIsAClearError) {
  int port;
  {
    ServedSimulator served(example_dir("cpp-sim"), GetParam());
    port = served.port();
  }
  auto client = tarvo::sim::create_client(GetParam(), "", "127.0.0.1", port);
  try {
    client->init();
    FAIL();
  } catch (const SessionError& error) {
    EXPECT_NE(std::string(error.what()).find("cannot reach"), std::string::npos) << error.what();
  }
}

TEST_P(SimSession, SurvivesAnIdleSpellLongerThanKeepAlive) {
  ServedSimulator served(example_dir("cpp-sim"), GetParam());
  auto client = served.client();
  auto before = client->reset(9).observation;
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  // Same session after the idle connection was dropped: the episode goes on.
  EXPECT_NE(client->step(1).observation, before);
  EXPECT_EQ(client->reset(9).observation, before);
}

TEST_P(SimSession, UnaskedOutputEndsTheSession) {
  // Replies to make, then says more than it was asked: that extra line must not be
  // taken for the next reply.
  tarvo::test::ScratchSim sim(R"({"name": "chatty", "description": "", "kind": "sim",
    "version": "1", "command": ["sh", "-c",
    "read line; echo '{\"result\": null}'; echo 'stepping!'; read line; echo '{\"result\": 1}'; sleep 5"]})");
  ServedSimulator served(sim.path(), GetParam());
  auto client = served.client();
  EXPECT_NO_THROW(client->call("make"));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  try {
    client->call("sensor_space");
    FAIL();
  } catch (const SessionError& error) {
    EXPECT_NE(std::string(error.what()).find("nobody asked for: stepping!"), std::string::npos)
        << error.what();
  }
}

TEST_P(SimSession, SimulatorThatStopsReadingEndsOnlyItsSession) {
  // Answers make, then closes its input and lingers: the next request hits a pipe
  // with no reader. That must end the session with a clear error, twice in a row
  // on the same server thread, and never take the server (this process) down.
  tarvo::test::ScratchSim sim(R"({"name": "deaf", "description": "", "kind": "sim",
    "version": "1", "command": ["sh", "-c",
    "read line; echo '{\"result\": null}'; exec 0<&-; sleep 5"]})");
  ServedSimulator served(sim.path(), GetParam());
  for (int round = 0; round < 2; ++round) {
    auto client = served.client();
    EXPECT_NO_THROW(client->call("make"));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    try {
      client->call("step", R"({"action": 1})");
      FAIL() << "a simulator without input answered";
    } catch (const SessionError& error) {
      EXPECT_NE(std::string(error.what()).find("closed its input"), std::string::npos)
          << error.what();
    }
  }
}

TEST_P(SimSession, StandardErrorFloodDuringACallDoesNotStallIt) {
  // More on standard error within one call than a pipe holds: it must be read while
  // the call waits, or the simulator blocks before it can reply.
  tarvo::test::ScratchSim sim(R"({"name": "noisy", "description": "", "kind": "sim",
    "version": "1", "command": ["sh", "-c",
    "read line; seq 1 30000 >&2; echo '{\"result\": 7}'; read line"]})");
  tarvo::test::CapturedStderr captured;
  {
    ServedSimulator served(sim.path(), GetParam(), std::chrono::seconds(20));
    EXPECT_EQ(served.client()->call("make"), 7);
  }
  // Logged as far as the rate allows; the rest is counted.
  auto log = captured.text();
  EXPECT_NE(log.find(": 1\n"), std::string::npos);
  EXPECT_NE(log.find(" lines of standard error not logged: more than 100 lines a second]"),
            std::string::npos);
}

TEST_P(SimSession, SimulatorThatStopsReadingMidRequestEndsAtTheTimeLimit) {
  // Alive but no longer reading: a request larger than the pipe holds cannot be
  // written whole, and the call ends at its time limit instead of waiting on.
  tarvo::test::ScratchSim sim(R"({"name": "stuck", "description": "", "kind": "sim",
    "version": "1", "command": ["sh", "-c", "read line; echo '{\"result\": null}'; sleep 30"]})");
  ServedSimulator served(sim.path(), GetParam(), std::chrono::milliseconds(500));
  auto client = served.client();
  EXPECT_NO_THROW(client->call("make"));
  const std::string big = R"({"blob": ")" + std::string(300000, 'x') + R"("})";
  try {
    client->call("step", big);
    FAIL() << "a simulator that reads nothing took a large request";
  } catch (const SessionError& error) {
    EXPECT_NE(std::string(error.what()).find("stopped reading its input (no reply within 0.5 s)"),
              std::string::npos)
        << error.what();
  }
}

TEST_P(SimSession, TimeLimitHoldsAfterAQuietSpell) {
  // The watch over a simulator rests when no call comes for a while; the next call
  // must still end at its time limit.
  tarvo::test::ScratchSim sim(R"({"name": "sleepy", "description": "", "kind": "sim",
    "version": "1", "command": ["sh", "-c", "read line; echo '{\"result\": null}'; read line; sleep 30"]})");
  ServedSimulator served(sim.path(), GetParam(), std::chrono::milliseconds(500));
  auto client = served.client();
  EXPECT_NO_THROW(client->call("make"));
  std::this_thread::sleep_for(std::chrono::milliseconds(2300));
  try {
    client->call("reset");
    FAIL() << "a silent simulator answered";
  } catch (const SessionError& error) {
    EXPECT_NE(std::string(error.what()).find("did not reply within 0.5 s"), std::string::npos)
        << error.what();
  }
}

INSTANTIATE_TEST_SUITE_P(Protocols, SimSession, testing::Values("grpc", "http"));

TEST(SimServer, RefusesWhatItCannotServe) {
  EXPECT_THROW(
      tarvo::sim::make_from_sim_path(example_dir("cpp-sim"), "127.0.0.1", 0, {}, "smoke-signals"),
      std::invalid_argument);
  EXPECT_THROW(tarvo::sim::make_from_sim_path(example_dir("nowhere"), "127.0.0.1", 0, {}, "grpc"),
               std::runtime_error);
  // A taken port is an error at listen, not a silent second server.
  ServedSimulator served(example_dir("cpp-sim"), "grpc");
  for (const char* protocol : {"grpc", "http"}) {
    auto second = tarvo::sim::make_from_sim_path(example_dir("cpp-sim"), "127.0.0.1", served.port(),
                                                 {}, protocol);
    EXPECT_THROW(second->listen(), std::runtime_error) << protocol;
  }
}

TEST(SimServer, StartEndsOnStopAndStopIsIdempotent) {
  auto server = tarvo::sim::make_from_sim_path(example_dir("cpp-sim"), "127.0.0.1", 0, {}, "grpc");
  server->listen();
  auto serving = std::async(std::launch::async, [&] { server->start(); });
  server->stop();
  server->stop();
  EXPECT_NO_THROW(serving.get());
}

TEST(SimNetwork, ProbesSeeWhatIsServed) {
  ServedSimulator served(example_dir("cpp-sim"), "grpc");
  EXPECT_TRUE(tarvo::core::is_port_opened(served.address()));
  EXPECT_TRUE(tarvo::core::is_channel_available(served.address()));
  ServedSimulator http(example_dir("cpp-sim"), "http");
  EXPECT_TRUE(tarvo::core::is_port_opened(http.address()));
  EXPECT_FALSE(tarvo::core::is_port_opened("127.0.0.1:1"));
  EXPECT_FALSE(tarvo::core::is_port_opened("no port here"));
  EXPECT_FALSE(tarvo::core::is_channel_available("127.0.0.1:1"));
}

TEST(SimNetwork, SplitsAddresses) {
  using tarvo::sim::split_address;
  EXPECT_EQ(split_address("localhost:1337"), (std::pair<std::string, int>{"localhost", 1337}));
  EXPECT_EQ(split_address("[::1]:80"), (std::pair<std::string, int>{"::1", 80}));
  for (const char* bad :
       {"localhost", ":80", "host:", "host:0", "host:70000", "host:8x", "::1:80", "[::1]80"})
    EXPECT_THROW(split_address(bad), std::invalid_argument) << bad;
}

}  // namespace

namespace {

TEST(SimServerInterrupt, CtrlCEndsStartWithInterrupted) {
  namespace interrupt = tarvo::core::interrupt;
  interrupt::install();
  for (const char* protocol : {"grpc", "http"}) {
    SCOPED_TRACE(protocol);
    interrupt::clear();
    auto server =
        tarvo::sim::make_from_sim_path(example_dir("cpp-sim"), "127.0.0.1", 0, {}, protocol);
    server->listen();
    auto client = tarvo::sim::create_client(protocol, "", "127.0.0.1", server->port());
    client->reset(1);
    auto serving = std::async(std::launch::async, [&] { server->start(); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ::kill(::getpid(), SIGINT);
    EXPECT_THROW(serving.get(), tarvo::core::Interrupted);
    interrupt::clear();
    // The server has shut down and its sessions with it; a later stop is harmless.
    EXPECT_THROW(client->step(0), tarvo::sim::SessionError);
    EXPECT_NO_THROW(server->stop());
  }
}

}  // namespace
