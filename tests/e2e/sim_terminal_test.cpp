// What only a person at a terminal sees, checked in one (tmux): hints for mistyped
// commands, progress bars, and outside text that cannot take the terminal over.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "catalog_support.hpp"
#include "sim_run_available.hpp"
#include "terminal_session.hpp"

namespace tarvo::test {
namespace {

using testing::HasSubstr;
using testing::Not;

TEST(SimTerminal, MistypedCommandsAndOptionsGetADidYouMeanOnATerminalOnly) {
  if (!TerminalSession::available()) GTEST_SKIP() << "tmux is not installed";
  Session session;
  {
    TerminalSession terminal(session);
    terminal.start({"sim", "stauts"});
    EXPECT_EQ(terminal.exit_code(), 2);
    EXPECT_THAT(terminal.screen(), HasSubstr("Did you mean 'status'?"));
  }
  {
    TerminalSession terminal(session);
    terminal.start({"sim", "validate", "--adress", "h:1"});
    EXPECT_EQ(terminal.exit_code(), 2);
    EXPECT_THAT(terminal.screen(), HasSubstr("Did you mean '--address'?"));
  }
  // Scripts get the usage error alone.
  const auto piped = session.run({"sim", "stauts"});
  EXPECT_EQ(piped.exit_code, 2);
  EXPECT_THAT(piped.err, HasSubstr("Error: The following argument was not expected: stauts"));
  EXPECT_THAT(piped.err, Not(HasSubstr("Did you mean")));
}

TEST(SimTerminal, BenchmarkShowsSamplesAndRateWhileItRuns) {
  if (!TerminalSession::available()) GTEST_SKIP() << "tmux is not installed";
  if (!sim_run_available()) GTEST_SKIP() << "this build has no body for tarvo sim run";
  Session session;
  TerminalSession terminal(session);
  const std::string sim = std::string(TARVO_BUILD_DIR) + "/examples/cpp-sim";
  terminal.start({"sim", "benchmark", sim, "-s", "100000000"});
  ASSERT_TRUE(terminal.wait_for([&] {
    const auto screen = terminal.screen();
    return screen.find("Benchmarking [") != std::string::npos &&
           screen.find("/100000000 samples") != std::string::npos &&
           screen.find("/s") != std::string::npos;
  })) << terminal.screen();
  // Ctrl-C ends it the usual way, and the bar is gone.
  terminal.keys("C-c");
  EXPECT_EQ(terminal.exit_code(), 130);
  EXPECT_THAT(terminal.screen(), HasSubstr("Aborted!"));
  EXPECT_THAT(terminal.screen(), Not(HasSubstr("Benchmarking [")));
}

class OutsideTextInATerminal : public CatalogTest {};

TEST_F(OutsideTextInATerminal, ControlCharactersFromThePlatformShowAsEscapes) {
  if (!TerminalSession::available()) GTEST_SKIP() << "tmux is not installed";
  // A name that would retitle the window and clear the screen if written raw.
  const std::string hostile = "\x1b]0;pwned\a\x1b[2J";
  start_platform(Json::array({{{"id", "s-1"},
                               {"name", "x"},
                               {"description", "d" + hostile},
                               {"versions", Json::array()}}}),
                 {}, "Evil" + hostile);
  session_.env().erase("TARVO_ORGANIZATION");  // the menu shows the organisation
  TerminalSession terminal(session_);
  terminal.start({"sim", "list"});
  ASSERT_TRUE(terminal.shows("Evil\\x1b]0;pwned\\x07\\x1b[2J (uuid: org-1)")) << terminal.screen();
  terminal.keys("Enter");
  EXPECT_EQ(terminal.exit_code(), 0) << terminal.screen();
  EXPECT_THAT(terminal.screen(), HasSubstr("d\\x1b]0;pwned\\x07\\x1b[2J"));
  EXPECT_THAT(terminal.title(), Not(HasSubstr("pwned")));
}

}  // namespace
}  // namespace tarvo::test
