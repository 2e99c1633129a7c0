// The compliance check and the benchmark, end to end through a served directory.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "cli/sim/validate.hpp"
#include "sim/benchmark.hpp"
#include "sim/validator.hpp"
#include "sim_test_support.hpp"

namespace {

using tarvo::sim::benchmark;
using tarvo::sim::Issue;
using tarvo::sim::validate;
using tarvo::sim::ValidateOptions;
using tarvo::test::example_dir;
using tarvo::test::ScratchSim;
using tarvo::test::ServedSimulator;

ValidateOptions quick() {
  ValidateOptions options;
  options.reply_timeout = std::chrono::milliseconds(500);
  options.steps = 20;
  return options;
}

std::vector<std::string> checks(const std::vector<Issue>& issues) {
  std::vector<std::string> out;
  for (const auto& issue : issues)
    out.push_back(issue.check);
  return out;
}

class SimValidate : public testing::TestWithParam<std::string> {};

TEST_P(SimValidate, PassesTheReferenceSimulator) {
  auto [ok, issues] = validate(example_dir("cpp-sim"), GetParam(), quick());
  EXPECT_TRUE(ok);
  EXPECT_TRUE(issues.empty()) << issues.front().check << ": " << issues.front().message;
}

TEST_P(SimValidate, ListsEachFaultOnce) {
  struct Fault {
    const char* name;
    const char* check;
    const char* message;
  };
  const Fault faults[] = {
      {"crash", "session", "killed by signal 6"},
      {"garbage", "session", "not a reply: Traceback"},
      {"hang", "hang", "did not reply within 0.5 s"},
      {"outside", "observation", "[100,"},
      {"nonfinite", "session", "is not finite"},
      {"nullreward", "reward", "null is not a finite number"},
      {"flags", "flags", "terminated \"no\""},
  };
  for (const auto& fault : faults) {
    SCOPED_TRACE(fault.name);
    auto [ok, issues] = validate(example_dir("broken/") + fault.name, GetParam(), quick());
    EXPECT_FALSE(ok);
    ASSERT_EQ(checks(issues), std::vector<std::string>{fault.check});
    EXPECT_NE(issues[0].message.find(fault.message), std::string::npos) << issues[0].message;
  }
}

TEST_P(SimValidate, ChecksARunningSimulatorByAddress) {
  ServedSimulator served(example_dir("cpp-sim"), GetParam());
  auto [ok, issues] = validate(served.address(), GetParam(), quick());
  EXPECT_TRUE(ok);
  ServedSimulator broken(example_dir("broken/outside"), GetParam());
  auto [broken_ok, broken_issues] = validate(broken.address(), GetParam(), quick());
  EXPECT_FALSE(broken_ok);
  EXPECT_EQ(checks(broken_issues), std::vector<std::string>{"observation"});
}

INSTANTIATE_TEST_SUITE_P(Protocols, SimValidate, testing::Values("grpc", "http"));

TEST(SimValidateSetup, ReportsManifestAndStartFaults) {
  {
    ScratchSim sim("{\"name\": \"x\", \"kind\": \"sim\"}");
    auto [ok, issues] = validate(sim.path(), "grpc", quick());
    EXPECT_FALSE(ok);
    ASSERT_EQ(checks(issues), std::vector<std::string>{"manifest"});
    EXPECT_NE(issues[0].message.find("\"description\""), std::string::npos) << issues[0].message;
  }
  {
    ScratchSim sim(R"({"name": "x", "description": "", "kind": "sim", "version": "1",
                      "command": ["./not-there"]})");
    auto [ok, issues] = validate(sim.path(), "http", quick());
    EXPECT_FALSE(ok);
    ASSERT_EQ(checks(issues), std::vector<std::string>{"start"});
    EXPECT_NE(issues[0].message.find("not-there"), std::string::npos) << issues[0].message;
  }
  {
    // A program that says nothing and exits at once.
    ScratchSim sim(R"({"name": "x", "description": "", "kind": "sim", "version": "1",
                      "command": ["true"]})");
    auto [ok, issues] = validate(sim.path(), "grpc", quick());
    EXPECT_FALSE(ok);
    EXPECT_EQ(checks(issues), std::vector<std::string>{"start"});
  }
}

TEST(SimValidateSetup, RefusesAMissingTarget) {
  EXPECT_THROW(validate(std::nullopt, "grpc"), std::invalid_argument);
  EXPECT_THROW(validate(std::string(), "grpc"), std::invalid_argument);
  EXPECT_THROW(validate(std::string("/no/such/dir"), "grpc"), std::invalid_argument);
  EXPECT_THROW(validate(example_dir("cpp-sim"), "carrier-pigeon"), std::invalid_argument);
}

TEST(SimValidateSetup, PrintsAVerdictOrTheIssues) {
  testing::internal::CaptureStdout();
  tarvo::cli::sim::print_issues({});
  tarvo::cli::sim::print_issues({{"reward", "step reward [bold]x is not a finite number"}});
  auto out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("passed every check"), std::string::npos) << out;
  EXPECT_NE(out.find("Found 1 issue:"), std::string::npos) << out;
  // Outside text prints literally.
  EXPECT_NE(out.find("- reward: step reward [bold]x is not a finite number"), std::string::npos)
      << out;
}

TEST(SimBenchmark, MeasuresAPositiveRateOverBothProtocols) {
  EXPECT_GT(benchmark(example_dir("cpp-sim"), 600, "grpc"), 0.0);  // crosses an episode end
  EXPECT_GT(benchmark(example_dir("cpp-sim"), 50, "http"), 0.0);
  ServedSimulator served(example_dir("cpp-sim"), "grpc");
  EXPECT_GT(benchmark(served.address(), 50), 0.0);
  EXPECT_THROW(benchmark(std::nullopt, 10), std::invalid_argument);
  EXPECT_THROW(benchmark(example_dir("cpp-sim"), 0), std::invalid_argument);
  EXPECT_THROW(benchmark(example_dir("broken/crash"), 10), tarvo::sim::SessionError);
}

TEST(SimBenchmark, AnAddressNamesItsProtocolAndProgressReachesTheEnd) {
  ServedSimulator served(example_dir("cpp-sim"), "http");
  std::vector<long long> seen;
  const auto progress = [&](long long done, long long total) {
    EXPECT_EQ(total, 1234);
    seen.push_back(done);
  };
  // The address's own protocol wins over the one passed along.
  EXPECT_GT(benchmark("http://" + served.address(), 1234, "grpc", progress), 0.0);
  ASSERT_FALSE(seen.empty());
  EXPECT_EQ(seen.front(), 0);
  EXPECT_EQ(seen.back(), 1234);
  EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
  EXPECT_LE(seen.size(), 600u);  // a few hundred reports, not one per step
  EXPECT_THROW(benchmark("https://" + served.address(), 10), std::invalid_argument);
}

// Ends an episode every third step (terminated) or fifth (truncated), and refuses a
// step after that until a reset: a benchmark that misreads an episode's end fails.
ScratchSim episodic_sim() {
  ScratchSim sim(R"({"name": "episodic", "description": "", "kind": "sim",
    "version": "1", "command": ["sh", "sim.sh"]})");
  std::ofstream(sim.path() + "/sim.sh") << R"SH(n=0; ended=0
step() { echo "{\"result\": {\"observation\": [0], \"reward\": 1, $1, \"info\": {}}}"; }
while read -r line; do
  case "$line" in
    *'"make"'*|*'"close"'*) echo '{"result": null}' ;;
    *'"sensor_space"'*)
      echo '{"result": {"type": "Box", "low": [-1], "high": [1], "shape": [1], "dtype": "float32"}}' ;;
    *'"action_space"'*) echo '{"result": {"type": "Discrete", "n": 2}}' ;;
    *'"reset"'*) ended=0; echo '{"result": {"observation": [0], "info": {}}}' ;;
    *'"step"'*)
      if [ $ended = 1 ]; then echo '{"error": "stepped past the end"}'; continue; fi
      n=$((n + 1))
      if [ $((n % 3)) = 0 ]; then ended=1; step '"terminated": true, "truncated": false'
      elif [ $((n % 5)) = 0 ]; then ended=1; step '"truncated": true, "terminated": false'
      else step '"terminated": false, "truncated": false'; fi ;;
    *) echo '{"error": "unknown method"}' ;;
  esac
done
)SH";
  return sim;
}

TEST(SimBenchmark, ResetsAtEveryEpisodeEndAndReportsErrorReplies) {
  auto sim = episodic_sim();
  for (const char* protocol : {"grpc", "http"})
    EXPECT_GT(benchmark(sim.path(), 40, protocol), 0.0) << protocol;

  ServedSimulator served(sim.path(), "http");
  auto client = served.client();
  client->init();
  client->reset(0);
  EXPECT_FALSE(client->call_for_episode_end("step", R"({"action": 0})").terminated);
  EXPECT_FALSE(client->call_for_episode_end("step", R"({"action": 0})").terminated);
  EXPECT_TRUE(client->call_for_episode_end("step", R"({"action": 0})").terminated);
  try {
    client->call_for_episode_end("step", R"({"action": 0})");
    FAIL() << "a step past the end was taken";
  } catch (const tarvo::sim::SimulatorError& error) {
    EXPECT_NE(std::string(error.what()).find("stepped past the end"), std::string::npos)
        << error.what();
  }
}

}  // namespace
