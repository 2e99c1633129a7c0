// The stand-in docker's Compose: it must refuse what Compose refuses, so that the
// compute group's tests catch a Compose file that a real Compose cannot read.
#include <fstream>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "../e2e/harness.hpp"
#include "compute_test_support.hpp"

using testing::HasSubstr;

namespace tarvo::test {
namespace {

class ComposeStandIn : public testing::Test {
 protected:
  void SetUp() override { install_fake(dir_.path() / "bin", "docker"); }

  core::process::Result compose(std::vector<std::string> args,
                                const core::process::Environment& environment = {}) {
    args.insert(args.begin(), {(dir_.path() / "bin" / "docker").string(), "compose"});
    core::process::Options options;
    options.environment = environment;
    options.out = core::process::Stream::capture;
    options.err = core::process::Stream::capture;
    return core::process::run(args, options);
  }
  std::string file(const std::string& text) {
    const auto path = dir_.path() / "compose.yml";
    std::ofstream(path) << text;
    return path.string();
  }
  std::string image_file(const std::string& image) {
    return file("services:\n  s:\n    image: \"" + image + "\"\n");
  }

  ScratchDir dir_;
};

TEST_F(ComposeStandIn, InterpolatesValuesAsComposeDoes) {
  const auto path = file(R"(# ${IN_A_COMMENT:?comments are not interpolated}
services:
  s:
    image: x
    environment:
      braced: "${A}"
      bare: "$A-suffix"
      default_unset: "${UNSET:-d}"
      default_empty: "${EMPTY:-d}"
      dash_empty: "${EMPTY-d}"
      dash_unset: "${UNSET-d}"
      escaped: "$$A"
      plus: "${A:+yes}"
      plus_empty: "${EMPTY+set}"
      nested: "${UNSET:-${A}/x}"
      unset: "${UNSET}"
      passed_through:
)");
  const auto result = compose({"-f", path, "config"}, {{"A", "a"}, {"EMPTY", ""}});
  ASSERT_EQ(result.exit_code, 0) << result.err;
  const auto environment = nlohmann::json::parse(result.out)["services"]["s"]["environment"];
  EXPECT_EQ(environment, nlohmann::json::parse(R"({"braced": "a", "bare": "a-suffix",
      "default_unset": "d", "default_empty": "d", "dash_empty": "", "dash_unset": "d",
      "escaped": "$A", "plus": "yes", "plus_empty": "set", "nested": "a/x", "unset": "",
      "passed_through": null})"));
  EXPECT_EQ(result.err,
            "WARN[0000] The \"UNSET\" variable is not set. Defaulting to a blank string.\n");
}

TEST_F(ComposeStandIn, FailsWhereComposeFails) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"${UNSET:?set it first}",
       "error while interpolating services.s.image: required variable UNSET is missing a "
       "value: set it first\n"},
      {"${EMPTY:?}",
       "error while interpolating services.s.image: required variable EMPTY is missing a value\n"},
      {"${UNSET?gone}",
       "error while interpolating services.s.image: required variable UNSET is missing a value: "
       "gone\n"},
      {"${BROKEN",
       "invalid interpolation format for services.s.image: \"${BROKEN\"; you may "
       "need to escape any $ with another $\n"},
      {"costs $5",
       "invalid interpolation format for services.s.image: \"costs $5\"; you may "
       "need to escape any $ with another $\n"},
  };
  for (const auto& [image, message] : cases) {
    SCOPED_TRACE(image);
    const auto path = image_file(image);
    // Every subcommand that loads the project, not only `up`.
    const std::vector<std::vector<std::string>> subcommands = {
        {"up", "-d"}, {"down"}, {"exec", "-T", "s", "true"}};
    for (auto args : subcommands) {
      args.insert(args.begin(), {"-f", path});
      const auto result = compose(args, {{"EMPTY", ""}});
      EXPECT_EQ(result.exit_code, 1);
      EXPECT_EQ(result.err, message);
    }
  }
  EXPECT_EQ(
      compose({"-f", image_file("${EMPTY?only unset fails}"), "config"}, {{"EMPTY", ""}}).exit_code,
      0);
  const auto missing = compose({"-f", (dir_.path() / "none.yml").string(), "down"});
  EXPECT_EQ(missing.exit_code, 1);
  EXPECT_EQ(missing.err,
            "open " + (dir_.path() / "none.yml").string() + ": no such file or directory\n");
  EXPECT_EQ(compose({"-f", file("services: [unclosed\n"), "config"}).exit_code, 1);
}

// The installed file with the three variables required, as it once was: `exec` and
// `down` get the user's environment only, and fail; the file as installed does not.
TEST_F(ComposeStandIn, TheInstalledFileNeedsTheStackVariablesOnlyForUp) {
  const auto installed =
      std::filesystem::path(TARVO_BUILD_DIR) / "share/tarvo/compute/docker-compose.yml";
  std::ifstream in(installed);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::string passed = "      TARVO_CLUSTER_ID:\n";
  ASSERT_NE(text.find(passed), std::string::npos);
  std::string required = text;
  required.replace(required.find(passed), passed.size(),
                   "      TARVO_CLUSTER_ID: ${TARVO_CLUSTER_ID:?set by tarvo compute connect}\n");

  const core::process::Environment user = {{"PATH", "/usr/bin:/bin"}};
  auto stack = user;
  stack.insert(
      {{"TARVO_PLATFORM_URL", "http://p"}, {"TARVO_CLUSTER_ID", "c-1"}, {"TARVO_ENV", "test"}});
  const auto old_path = file(required);
  EXPECT_EQ(compose({"-f", old_path, "up", "-d"}, stack).exit_code, 0);
  const auto flush =
      compose({"-f", old_path, "exec", "-T", "redis", "redis-cli", "FLUSHALL"}, user);
  EXPECT_EQ(flush.exit_code, 1);
  EXPECT_THAT(flush.err, HasSubstr("required variable TARVO_CLUSTER_ID is missing a value"));
  EXPECT_EQ(compose({"-f", old_path, "down"}, user).exit_code, 1);

  EXPECT_EQ(compose({"-f", installed.string(), "down"}, user).exit_code, 0);
  EXPECT_EQ(compose({"-f", installed.string(), "up", "-d"}, stack).exit_code, 0);
  const auto running =
      compose({"-f", installed.string(), "exec", "-T", "redis", "redis-cli", "FLUSHALL"}, user);
  EXPECT_EQ(running.exit_code, 0) << running.err;
  EXPECT_EQ(running.err, "");
  EXPECT_EQ(compose({"-f", installed.string(), "down"}, user).exit_code, 0);
}

TEST_F(ComposeStandIn, KeepsTrackOfTheStacksThatAreUp) {
  const auto path = file(
      "name: demo\nservices:\n  redis:\n    image: r\n"
      "    environment: [\"FIXED=1\", \"FROM_UP\"]\n");
  auto stacks = [&] {
    std::ifstream in(dir_.path() / "bin" / "compose-stacks.json");
    return in ? nlohmann::json::parse(in) : nlohmann::json::object();
  };
  const auto not_running = compose({"-f", path, "exec", "-T", "redis", "true"});
  EXPECT_EQ(not_running.exit_code, 1);
  EXPECT_EQ(not_running.err, "service \"redis\" is not running\n");
  EXPECT_EQ(compose({"-f", path, "exec", "-T", "other", "true"}).err, "no such service: other\n");

  ASSERT_EQ(compose({"-f", path, "up", "-d"}, {{"FROM_UP", "u"}}).exit_code, 0);
  EXPECT_EQ(stacks()["demo"]["services"]["redis"]["environment"],
            nlohmann::json::parse(R"({"FIXED": "1", "FROM_UP": "u"})"));
  EXPECT_EQ(compose({"-f", path, "exec", "-T", "redis", "true"}).exit_code, 0);
  ASSERT_EQ(compose({"-f", path, "down"}).exit_code, 0);
  EXPECT_FALSE(stacks().contains("demo"));
}

TEST_F(ComposeStandIn, DockerWithoutThePlugin) {
  std::ofstream(dir_.path() / "bin" / "docker.json") << R"({"compose_plugin": false})";
  const auto version = compose({"version"});
  EXPECT_EQ(version.exit_code, 1);
  EXPECT_EQ(version.err, "docker: 'compose' is not a docker command.\nSee 'docker --help'\n");
  const auto up = compose({"-f", image_file("x"), "up", "-d"});
  EXPECT_EQ(up.exit_code, 125);
  EXPECT_THAT(up.err, testing::StartsWith("unknown shorthand flag: 'f' in -f"));
}

}  // namespace
}  // namespace tarvo::test
