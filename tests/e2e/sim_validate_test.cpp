// `tarvo sim validate` and `tarvo sim benchmark` on simulator directories.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "sim_support.hpp"

using testing::EndsWith;
using testing::HasSubstr;
using testing::MatchesRegex;
using testing::Not;

namespace tarvo::test::sim {
namespace {

// A simulator that keeps the protocol's form but breaks its rules: observations
// outside the sensor space and a reward that is not a number.
constexpr const char* kBrokenSim = R"(import json, sys
for line in sys.stdin:
    method = json.loads(line)["method"]
    result = None
    if method == "sensor_space":
        result = {"type": "Box", "low": -1.0, "high": 1.0, "shape": [2], "dtype": "float32"}
    elif method == "action_space":
        result = {"type": "Discrete", "n": 2}
    elif method == "reset":
        result = {"observation": [5.0, 0.0], "info": {}}
    elif method == "step":
        result = {"observation": [5.0, 0.0], "reward": "lots", "terminated": False,
                  "truncated": False, "info": {}}
    print(json.dumps({"result": result}), flush=True)
    if method == "close":
        break
)";

constexpr const char* kManifest =
    R"({"name": "broken", "description": "", "kind": "sim", "version": "1",
        "command": ["python3", "sim.py"]})";

TEST(SimValidate, NeedsAPathOrAnAddress) {
  Session session;
  for (std::vector<std::string> args : {std::vector<std::string>{"sim", "validate"},
                                        {"sim", "validate", "--protocol", "http"},
                                        {"sim", "benchmark"},
                                        {"sim", "benchmark", "--samples", "5"}}) {
    auto result = session.run(args);
    EXPECT_EQ(result.exit_code, 1) << args[1];
    EXPECT_EQ(result.err, "Error: Either `path` or `address` must be provided\n") << args[1];
    EXPECT_EQ(result.out, "");
  }
}

TEST(SimValidate, PassesTheExamplesAndAFreshScaffold) {
  Session session;
  ScratchDir work;
  auto made = run_in(session, work.path(), {"sim", "new", "-n", "fresh", "-d", "x", "-l", "."});
  ASSERT_EQ(made.exit_code, 0) << made.err;

  // shell-sim was written from docs/ alone.
  for (const auto& dir : {example("python-sim"), example("shell-sim"), work.path() / "fresh"}) {
    for (const char* protocol : {"grpc", "http"}) {
      auto result = session.run({"sim", "validate", dir.string(), "--protocol", protocol});
      EXPECT_EQ(result.exit_code, 0) << dir << " " << protocol << "\n" << result.out << result.err;
      EXPECT_THAT(result.err, Not(HasSubstr("Validation failed")));
      // The private server behind a directory check is not news to the user.
      EXPECT_THAT(result.err, Not(HasSubstr("serving over"))) << result.err;
    }
  }
}

// The first fenced block of `language` in a document.
std::string first_block(const std::string& document, const std::string& language) {
  const std::string fence = "```" + language + "\n";
  const auto start = document.find(fence);
  if (start == std::string::npos) return "";
  const auto body = start + fence.size();
  return document.substr(body, document.find("```\n", body) - body);
}

TEST(SimValidate, TheAuthorGuidesExampleAsWritten) {
  Session session;
  ScratchDir work;
  const auto guide = read_file(fs::path(TARVO_SOURCE_DIR) / "docs" / "writing-a-simulator.md");
  write_file(work.path() / "tarvo.json", first_block(guide, "json"));
  write_file(work.path() / "sim.py", first_block(guide, "python"));
  for (const char* protocol : {"grpc", "http"}) {
    auto result = session.run({"sim", "validate", work.path().string(), "-p", protocol});
    EXPECT_EQ(result.exit_code, 0) << protocol << "\n" << result.out << result.err;
  }
}

TEST(SimValidate, PrintsTheIssuesOfABrokenSimThenFails) {
  Session session;
  ScratchDir work;
  write_file(work.path() / "tarvo.json", kManifest);
  write_file(work.path() / "sim.py", kBrokenSim);
  auto result = session.run({"sim", "validate", work.path().string()});
  EXPECT_EQ(result.exit_code, 1);
  EXPECT_THAT(result.err, EndsWith("Error: Validation failed\n"));
  EXPECT_THAT(result.out, HasSubstr("reward"));
  EXPECT_THAT(result.out, HasSubstr("observation"));
}

TEST(SimValidate, ThePathWinsOverTheAddress) {
  Session session;
  ScratchDir work;
  write_file(work.path() / "tarvo.json", kManifest);
  write_file(work.path() / "sim.py", kBrokenSim);
  const auto good = example("python-sim").string();
  const auto broken = work.path().string();
  const std::string nowhere = "127.0.0.1:" + std::to_string(free_port());

  // --path over the positional path, and either over the address.
  auto option = session.run({"sim", "validate", broken, "--path", good, "--address", nowhere});
  EXPECT_EQ(option.exit_code, 0) << option.out << option.err;
  auto positional = session.run({"sim", "validate", broken, "--address", nowhere});
  EXPECT_EQ(positional.exit_code, 1);
  EXPECT_THAT(positional.err, EndsWith("Error: Validation failed\n"));

  // benchmark's -p is --path.
  auto measured = session.run({"sim", "benchmark", broken, "-p", good, "-a", nowhere, "-s", "50"});
  EXPECT_EQ(measured.exit_code, 0) << measured.err;
  EXPECT_THAT(measured.out, MatchesRegex("Samples per second: [0-9.e+]+\n"));
}

TEST(SimValidate, AnUnreachableAddressIsAnErrorNotAPass) {
  Session session;
  const std::string nowhere = "127.0.0.1:" + std::to_string(free_port());
  auto validated = session.run({"sim", "validate", "--address", nowhere});
  EXPECT_EQ(validated.exit_code, 1);
  auto measured = session.run({"sim", "benchmark", "--address", nowhere, "-s", "5"});
  EXPECT_EQ(measured.exit_code, 1);
  EXPECT_THAT(measured.err, testing::StartsWith("Error: "));
  EXPECT_THAT(measured.out, Not(HasSubstr("Samples per second")));
}

}  // namespace
}  // namespace tarvo::test::sim
