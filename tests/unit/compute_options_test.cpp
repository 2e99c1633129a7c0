// The compute group's command line: what each body receives.
#include <gtest/gtest.h>

#include "command_line.hpp"

namespace tarvo::cli::compute {
namespace {

using test::parse_command_line;

TEST(ComputeOptions, ConnectNameIsAbsentUnlessGivenEvenWhenEmpty) {
  EXPECT_EQ(parse_command_line<ConnectOptions>({"compute", "connect"}).name, std::nullopt);
  EXPECT_EQ(parse_command_line<ConnectOptions>({"compute", "connect", "--name", "lab-1"}).name,
            "lab-1");
  EXPECT_EQ(parse_command_line<ConnectOptions>({"compute", "connect", "--name", ""}).name, "");
}

TEST(ComputeOptions, ProjectAndDisconnectTakeNoOptions) {
  EXPECT_NO_THROW(parse_command_line<ProjectOptions>({"compute", "project"}));
  EXPECT_NO_THROW(parse_command_line<DisconnectOptions>({"compute", "disconnect"}));
  EXPECT_THROW(parse_command_line<ProjectOptions>({"compute", "project", "--name", "x"}),
               CLI::ParseError);
  EXPECT_THROW(parse_command_line<DisconnectOptions>({"compute", "disconnect", "extra"}),
               CLI::ParseError);
}

TEST(ComputeOptions, UnknownCommandsAndOptionsAreUsageErrors) {
  EXPECT_THROW(parse_command_line<ConnectOptions>({"compute", "conect"}), CLI::ParseError);
  EXPECT_THROW(parse_command_line<ConnectOptions>({"compute", "connect", "--nam", "x"}),
               CLI::ParseError);
  EXPECT_THROW(parse_command_line<ConnectOptions>({"compute", "connect", "--name"}),
               CLI::ParseError);
}

}  // namespace
}  // namespace tarvo::cli::compute
