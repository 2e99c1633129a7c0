// The host's contract: version, help, usage errors and the exit codes.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "harness.hpp"

using testing::HasSubstr;
using testing::StartsWith;

namespace tarvo::test {
namespace {

TEST(Host, VersionAndHelp) {
  Session session;
  auto version = session.run({"--version"});
  EXPECT_EQ(version.exit_code, 0);
  EXPECT_THAT(version.out, StartsWith("tarvo "));

  auto help = session.run({"--help"});
  EXPECT_EQ(help.exit_code, 0);
  EXPECT_THAT(help.out, HasSubstr("compute"));
  EXPECT_THAT(help.out, HasSubstr("sim"));

  auto group = session.run({"compute", "--help"});
  EXPECT_EQ(group.exit_code, 0);
  EXPECT_THAT(group.out, HasSubstr("connect"));
  EXPECT_THAT(group.out, HasSubstr("disconnect"));

  // A fixed choice shows its default only; the help text lists the choices.
  auto run = session.run({"sim", "run", "--help"});
  EXPECT_THAT(run.out,
              HasSubstr("-p,--protocol TEXT=grpc     Protocol to run the sim (grpc, http)\n"));
}

// The project's version, and the commit the build was made from when it was made in a
// git checkout (marked when the checkout had changes).
TEST(Host, VersionNamesTheProjectVersionAndTheCommit) {
  const auto version = Session().run({"--version"});
  ASSERT_EQ(version.exit_code, 0);
  core::process::Result head{1, "", ""};
  if (core::process::find_program("git"))
    head = core::process::run(
        {"git", "-C", TARVO_SOURCE_DIR, "rev-parse", "--short=12", "HEAD"},
        {std::nullopt, core::process::Stream::capture, core::process::Stream::discard, ""});
  if (head.exit_code != 0) {
    EXPECT_EQ(version.out, "tarvo " TARVO_PROJECT_VERSION "\n");
    return;
  }
  const std::string commit = head.out.substr(0, head.out.find('\n'));
  EXPECT_THAT(version.out, testing::MatchesRegex("tarvo " TARVO_PROJECT_VERSION " \\(commit " +
                                                 commit + "(-dirty)?\\)\n"));
}

TEST(Host, UsageErrorsExitTwoWithTheUsageLine) {
  Session session;
  for (auto args : std::vector<std::vector<std::string>>{{"no-such-group"},
                                                         {"compute", "no-such-command"},
                                                         {"compute", "connect", "--bogus"},
                                                         {"compute", "project", "extra"},
                                                         {"--bogus"}}) {
    auto result = session.run(args);
    EXPECT_EQ(result.exit_code, 2) << args.back();
    EXPECT_THAT(result.err, StartsWith("Usage: tarvo")) << result.err;
    EXPECT_THAT(result.err, HasSubstr("Error: ")) << result.err;
    EXPECT_EQ(result.out, "");
  }
}

TEST(Host, ShortHelpIsNotAHelpFlag) {
  Session session;
  auto result = session.run({"compute", "-h"});
  EXPECT_EQ(result.exit_code, 2);
}

}  // namespace
}  // namespace tarvo::test
