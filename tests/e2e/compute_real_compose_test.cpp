// The installed Compose file read by a real Compose (Debian's docker-compose, v1)
// with the very environment tarvo gave each Compose subcommand of a connect and a
// disconnect. v1's `config` needs no engine; it rejects the top-level "name",
// which only v2 knows, so that line is left out of its copy.
#include <gmock/gmock.h>

#include "compute_support.hpp"

using testing::HasSubstr;

namespace tarvo::test {
namespace {

using RealComposeTest = ComputeTest;

// The file without what only Compose v1 rejects.
std::string for_compose_v1(const std::string& text) {
  std::string kept;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);)
    if (line.rfind("name:", 0) != 0) kept += line + "\n";
  return kept;
}

TEST_F(RealComposeTest, ReadsTheInstalledFileWithTheEnvironmentOfEachSubcommand) {
  const auto real = core::process::find_program("docker-compose");
  if (!real) GTEST_SKIP() << "docker-compose is not installed (scripts/setup installs it)";
  start_platform();
  session_.env()["TARVO_ORGANIZATION"] = "Demo Robotics";
  ASSERT_EQ(session_.run({"compute", "connect"}).exit_code, 0);
  ASSERT_EQ(session_.run({"compute", "disconnect"}).exit_code, 0);

  const auto installed =
      std::filesystem::path(TARVO_BUILD_DIR) / "share/tarvo/compute/docker-compose.yml";
  const auto copy = session_.home() / "docker-compose.yml";
  write_file(copy, for_compose_v1(read_file(installed)));
  auto config = [&](const Json& environment) {
    core::process::Options options;
    options.environment = core::process::Environment();
    for (const auto& [name, value] : environment.items())
      (*options.environment)[name] = value.get<std::string>();
    options.out = core::process::Stream::capture;
    options.err = core::process::Stream::capture;
    return core::process::run({*real, "-f", copy.string(), "config"}, options);
  };

  std::vector<std::string> subcommands;
  for (const auto& call : calls("docker")) {
    const std::vector<std::string> argv = call["argv"];
    if (argv.size() < 5 || argv[1] != "compose") continue;
    ASSERT_EQ(argv[3], installed.string());
    subcommands.push_back(argv[4]);
    const auto result = config(call["env"]);
    EXPECT_EQ(result.exit_code, 0) << argv[4] << ": " << result.err;
    EXPECT_THAT(result.err, testing::Not(HasSubstr("variable is not set"))) << argv[4];
    // `up` hands the cluster's identity to the compute service.
    if (argv[4] == "up") {
      EXPECT_THAT(result.out, HasSubstr("TARVO_CLUSTER_ID: " +
                                        call["env"]["TARVO_CLUSTER_ID"].get<std::string>()));
    }
  }
  EXPECT_THAT(subcommands, testing::ElementsAre("up", "exec", "down"));

  // The same check on the file as it once was, the variables required everywhere,
  // fails for `down`: the check can tell.
  std::string required = read_file(copy);
  const std::string passed = "      TARVO_ENV:\n";
  ASSERT_NE(required.find(passed), std::string::npos);
  required.replace(required.find(passed), passed.size(), "      TARVO_ENV: ${TARVO_ENV:?set}\n");
  write_file(copy, required);
  const auto down = config(calls("docker").back()["env"]);
  EXPECT_NE(down.exit_code, 0);
  EXPECT_THAT(down.err, HasSubstr("Missing mandatory value"));
}

}  // namespace
}  // namespace tarvo::test
