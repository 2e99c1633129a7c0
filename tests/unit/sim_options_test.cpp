// The simulator group's command line: what each body receives, defaults included.
#include <gtest/gtest.h>

#include "command_line.hpp"

namespace tarvo::cli::sim {
namespace {

using test::parse_command_line;

TEST(SimOptions, ValidateTakesAPathOrAnAddressAndMinusPIsTheProtocol) {
  const auto none = parse_command_line<ValidateOptions>({"sim", "validate"});
  EXPECT_EQ(none.path, std::nullopt);
  EXPECT_EQ(none.path_option, std::nullopt);
  EXPECT_EQ(none.address, std::nullopt);
  EXPECT_EQ(none.protocol, "grpc");

  const auto all = parse_command_line<ValidateOptions>(
      {"sim", "validate", "dir", "--path", "other", "-a", "h:1", "-p", "http"});
  EXPECT_EQ(all.path, "dir");
  EXPECT_EQ(all.path_option, "other");
  EXPECT_EQ(all.address, "h:1");
  EXPECT_EQ(all.protocol, "http");
}

TEST(SimOptions, BenchmarkMinusPIsThePathAndSamplesMustBeAnInteger) {
  const auto none = parse_command_line<BenchmarkOptions>({"sim", "benchmark"});
  EXPECT_EQ(none.samples, 1000);
  EXPECT_EQ(none.path_option, std::nullopt);

  const auto given =
      parse_command_line<BenchmarkOptions>({"sim", "benchmark", "-p", "dir", "-s", "25"});
  EXPECT_EQ(given.path_option, "dir");
  EXPECT_EQ(given.samples, 25);

  EXPECT_THROW(parse_command_line<BenchmarkOptions>({"sim", "benchmark", "-s", "many"}),
               CLI::ParseError);
  EXPECT_THROW(parse_command_line<BenchmarkOptions>({"sim", "benchmark", "-s", "2.5"}),
               CLI::ParseError);
}

TEST(SimOptions, NewWithEveryAnswerGivenAsksNothing) {
  const auto options = parse_command_line<NewOptions>(
      {"sim", "new", "-n", "cart", "-d", "A cart", "-l", "/tmp/x", "--docker"});
  EXPECT_EQ(options.name, "cart");
  EXPECT_EQ(options.description, "A cart");
  EXPECT_EQ(options.location, "/tmp/x");
  EXPECT_TRUE(options.is_docker);
  EXPECT_FALSE(
      parse_command_line<NewOptions>({"sim", "new", "-n", "ab", "-d", "b", "-l", "c"}).is_docker);
  // --docker is a flag alone: it has no negative form and takes no value.
  EXPECT_THROW(parse_command_line<NewOptions>(
                   {"sim", "new", "-n", "ab", "-d", "b", "-l", "c", "--no-docker"}),
               CLI::ParseError);
}

TEST(SimOptions, RunDefaultsAndItsShortFlags) {
  const auto none = parse_command_line<RunOptions>({"sim", "run"});
  EXPECT_EQ(none.path, std::nullopt);
  EXPECT_EQ(none.host, "0.0.0.0");
  EXPECT_EQ(none.port, "1337");
  EXPECT_EQ(none.protocol, "grpc");
  EXPECT_EQ(none.env_init, "{}");

  const auto given = parse_command_line<RunOptions>(
      {"sim", "run", "dir", "-h", "127.0.0.1", "--port", "5000", "-p", "http", "-e", "{'g': 9.8}"});
  EXPECT_EQ(given.path, "dir");
  EXPECT_EQ(given.host, "127.0.0.1");
  EXPECT_EQ(given.port, "5000");
  EXPECT_EQ(given.protocol, "http");
  EXPECT_EQ(given.env_init, "{'g': 9.8}");
  // The port is text here; the body reads it (and names a bad one).
  EXPECT_EQ(parse_command_line<RunOptions>({"sim", "run", "--port", "80x"}).port, "80x");
}

TEST(SimOptions, PublishMinusPIsThePath) {
  EXPECT_EQ(parse_command_line<PublishOptions>({"sim", "publish"}).path, std::nullopt);
  const auto given = parse_command_line<PublishOptions>({"sim", "publish", "a", "-p", "b"});
  EXPECT_EQ(given.path, "a");
  EXPECT_EQ(given.path_option, "b");
}

TEST(SimOptions, SwitchPairsKeepTheirDefaultsAndTheLastWordWins) {
  EXPECT_FALSE(parse_command_line<ListOptions>({"sim", "list"}).local);
  EXPECT_TRUE(parse_command_line<ListOptions>({"sim", "list", "--local"}).local);
  EXPECT_FALSE(parse_command_line<ListOptions>({"sim", "list", "--local", "--no-local"}).local);

  const auto start = parse_command_line<StartOptions>({"sim", "start", "my-sim"});
  EXPECT_EQ(start.sim_container, "my-sim");
  EXPECT_TRUE(start.enable_historian);
  EXPECT_FALSE(start.stream);
  EXPECT_FALSE(start.show_name);
  const auto flipped = parse_command_line<StartOptions>(
      {"sim", "start", "my-sim", "--no-enable-historian", "--stream", "--show-name"});
  EXPECT_FALSE(flipped.enable_historian);
  EXPECT_TRUE(flipped.stream);
  EXPECT_TRUE(flipped.show_name);

  EXPECT_FALSE(parse_command_line<LogsOptions>({"sim", "logs", "x"}).stream);
  EXPECT_TRUE(parse_command_line<StatusOptions>({"sim", "status", "--moniker"}).moniker);
}

TEST(SimOptions, RequiredPositionalsAreUsageErrorsWhenMissing) {
  EXPECT_THROW(parse_command_line<StartOptions>({"sim", "start"}), CLI::ParseError);
  EXPECT_THROW(parse_command_line<LogsOptions>({"sim", "logs"}), CLI::ParseError);
  EXPECT_EQ(parse_command_line<LogsOptions>({"sim", "logs", "abc"}).sim_id, "abc");
}

TEST(SimOptions, OptionalTextsAreAbsentUnlessGiven) {
  EXPECT_EQ(parse_command_line<StopOptions>({"sim", "stop"}).sim_id, std::nullopt);
  EXPECT_EQ(parse_command_line<StopOptions>({"sim", "stop", "--sim-id", "a"}).sim_id, "a");
  EXPECT_EQ(parse_command_line<StatusOptions>({"sim", "status"}).sim_name, std::nullopt);

  const auto mappings = parse_command_line<MappingsOptions>({"sim", "mappings", "--image", "i"});
  EXPECT_EQ(mappings.image, "i");
  EXPECT_EQ(mappings.address, std::nullopt);
}

TEST(SimOptions, InfoPassesEmptyTextsNotAbsentValues) {
  const auto none = parse_command_line<InfoOptions>({"sim", "info"});
  EXPECT_EQ(none.address, "");
  EXPECT_EQ(none.name, "");
  EXPECT_EQ(none.env_id, "");
  const auto given = parse_command_line<InfoOptions>(
      {"sim", "info", "--address", "h:1", "--name", "n", "--env-id", "Cart-v1"});
  EXPECT_EQ(given.address, "h:1");
  EXPECT_EQ(given.name, "n");
  EXPECT_EQ(given.env_id, "Cart-v1");
}

TEST(SimOptions, JsonIsAnOptionOfListAndStatusOnly) {
  EXPECT_FALSE(parse_command_line<ListOptions>({"sim", "list"}).json);
  EXPECT_TRUE(parse_command_line<ListOptions>({"sim", "list", "--local", "--json"}).json);
  EXPECT_TRUE(parse_command_line<StatusOptions>({"sim", "status", "--json"}).json);
  EXPECT_FALSE(parse_command_line<StatusOptions>({"sim", "status"}).json);
  EXPECT_THROW(parse_command_line<InfoOptions>({"sim", "info", "--json"}), CLI::ParseError);
}

TEST(SimOptions, NewRefusesANameThatCannotNameAnImage) {
  for (const char* bad : {"x y", "MySim", "~/sims", "-a", "x"}) {
    try {
      parse_command_line<NewOptions>({"sim", "new", "-n", bad, "-d", "d", "-l", "l"});
      ADD_FAILURE() << bad << " was taken";
    } catch (const CLI::ValidationError& error) {
      EXPECT_NE(std::string(error.what()).find("cannot name a simulator: "), std::string::npos)
          << error.what();
    }
  }
}

TEST(SimOptions, EveryArgumentAndOptionHasAHelpText) {
  CLI::App app{"tarvo", "tarvo"};
  app.set_help_flag("--help", "Show this message and exit.");
  cli::sim::mount(*app.add_subcommand("sim"), test::recording_commands);
  const auto all = [](const CLI::App*) { return true; };
  for (const CLI::App* command : app.get_subcommand("sim")->get_subcommands(all)) {
    for (const CLI::Option* option : command->get_options()) {
      if (option->get_name() == "--help") continue;
      EXPECT_FALSE(option->get_description().empty())
          << command->get_name() << " " << option->get_name();
    }
  }
}

TEST(SimOptions, StatusAllIsNotACommand) {
  EXPECT_THROW(parse_command_line<StatusOptions>({"sim", "status_all"}), CLI::ParseError);
  EXPECT_THROW(parse_command_line<StatusOptions>({"sim", "status-all"}), CLI::ParseError);
}

}  // namespace
}  // namespace tarvo::cli::sim
