// Nothing a simulator command started outlives it: `tarvo sim run` stops on SIGTERM
// and SIGHUP as it does on Ctrl-C, and an interrupted `validate` or `benchmark` of a
// directory stops the simulator it served and ends as interrupted, not as a failed
// check. Simulators here start a helper process, which must go with them.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>

#include "sim/client.hpp"
#include "sim_support.hpp"

using testing::HasSubstr;
using testing::Not;

namespace tarvo::test::sim {
namespace {

constexpr const char* kInterruptLine = "KeyboardInterrupt, Gracefully stopping the server";

// The example simulator, started with a helper that would sleep for five minutes.
fs::path simulator_with_helper(const ScratchDir& work) {
  const auto dir = work.path() / "cartpole";
  fs::copy(example("python-sim"), dir, fs::copy_options::recursive);
  write_file(dir / "tarvo.json", R"({"name": "helped", "description": "", "kind": "sim",
    "version": "1", "command": ["sh", "-c", "sleep 300 & exec python3 sim.py"]})");
  return dir;
}

// A simulator whose make never answers; it marks that the call has arrived.
fs::path simulator_stuck_in_make(const ScratchDir& work) {
  const auto dir = work.path() / "stuck";
  fs::create_directories(dir);
  write_file(dir / "tarvo.json", R"({"name": "stuck", "description": "", "kind": "sim",
    "version": "1", "command": ["sh", "stuck.sh"]})");
  write_file(dir / "stuck.sh", R"(sleep 300 &
while read -r line; do
  case "$line" in
    *'"make"'*) : > making; sleep 300 ;;
    *) echo '{"result": null}' ;;
  esac
done
)");
  return dir;
}

bool wait_for(const std::function<bool()>& condition) {
  for (int i = 0; i < 1200; ++i) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

size_t count(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

class SimRunSignals : public testing::TestWithParam<int> {};

TEST_P(SimRunSignals, StopTheServerAndEverySimulatorAsCtrlCDoes) {
  Session session;
  ScratchDir work;
  const auto dir = simulator_with_helper(work);
  const int port = free_port();
  for (const char* protocol : {"grpc", "http"}) {
    SCOPED_TRACE(protocol);
    Background server(session, work.path(),
                      {"sim", "run", dir.string(), "--host", "127.0.0.1", "--port",
                       std::to_string(port), "--protocol", protocol});
    ASSERT_TRUE(server.wait_for_port(port)) << server.err();
    auto first = tarvo::sim::create_client(protocol, "a", "127.0.0.1", port);
    auto second = tarvo::sim::create_client(protocol, "b", "127.0.0.1", port);
    first->init();
    second->init();
    EXPECT_EQ(processes_in(dir).size(), 4u);  // two simulators, two helpers

    server.signal(GetParam());
    EXPECT_EQ(server.wait(), 0) << server.err();
    EXPECT_EQ(count(server.err(), kInterruptLine), 1u) << server.err();
    EXPECT_THAT(server.err(), Not(HasSubstr("Unknown error")));
    EXPECT_TRUE(processes_in(dir).empty());
    EXPECT_FALSE(accepts_connections(port));
  }
}

INSTANTIATE_TEST_SUITE_P(Signals, SimRunSignals, testing::Values(SIGTERM, SIGHUP),
                         [](const testing::TestParamInfo<int>& info) {
                           return info.param == SIGTERM ? "SIGTERM" : "SIGHUP";
                         });

struct Interrupted {
  std::vector<std::string> command;
  int signal;
};

class SimCheckInterrupted : public testing::TestWithParam<Interrupted> {};

TEST_P(SimCheckInterrupted, EndsAsInterruptedWithNoSimulatorLeft) {
  Session session;
  ScratchDir work;
  const auto dir = simulator_stuck_in_make(work);
  auto args = GetParam().command;
  args.push_back(dir.string());
  Background checking(session, work.path(), args);
  ASSERT_TRUE(wait_for([&] { return fs::exists(dir / "making"); })) << checking.err();

  checking.signal(GetParam().signal);
  EXPECT_EQ(checking.wait(), 130) << checking.out() << checking.err();
  EXPECT_THAT(checking.err(), HasSubstr("Aborted!"));
  EXPECT_THAT(checking.out() + checking.err(), Not(HasSubstr("Validation failed")));
  EXPECT_THAT(checking.out() + checking.err(), Not(HasSubstr("shutting down")));
  EXPECT_TRUE(processes_in(dir).empty());
}

INSTANTIATE_TEST_SUITE_P(Commands, SimCheckInterrupted,
                         testing::Values(Interrupted{{"sim", "validate"}, SIGINT},
                                         Interrupted{{"sim", "validate", "--protocol", "http"},
                                                     SIGTERM},
                                         Interrupted{{"sim", "benchmark"}, SIGTERM}),
                         [](const testing::TestParamInfo<Interrupted>& info) {
                           std::string name;
                           for (const auto& part : info.param.command)
                             if (part != "sim" && !part.starts_with("-")) name += part;
                           return name + (info.param.signal == SIGINT ? "_SIGINT" : "_SIGTERM");
                         });

}  // namespace
}  // namespace tarvo::test::sim
