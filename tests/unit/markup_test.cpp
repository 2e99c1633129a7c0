// Console markup: styles on a terminal, plain text elsewhere, outside text literal.
#include <gtest/gtest.h>

#include <optional>
#include <regex>

#include "scoped.hpp"
#include "term/console.hpp"
#include "term_files.hpp"

namespace tarvo::term {
namespace {

TEST(Markup, PlainModeDropsKnownTagsOnly) {
  EXPECT_EQ(render("[red]Failed[/red] to [bold]start[/bold]", false), "Failed to start");
  EXPECT_EQ(render("[x] not found [/x]", false), "[x] not found [/x]");
  EXPECT_EQ(render("a [ b ] c [", false), "a [ b ] c [");
  EXPECT_EQ(render("[]", false), "[]");
}

TEST(Markup, StyledModeEmitsAnsiAndRestoresOuterStyles) {
  EXPECT_EQ(render("[red]x[/red]", true), "\x1b[31mx\x1b[0m");
  EXPECT_EQ(render("[bold][red]a[/red]b[/bold]", true), "\x1b[1m\x1b[31ma\x1b[0m\x1b[1mb\x1b[0m");
  // An unclosed style is reset at the end of the line.
  EXPECT_EQ(render("[green]ok", true), "\x1b[32mok\x1b[0m");
}

TEST(Markup, EscapedOutsideTextPrintsLiterally) {
  for (std::string outside :
       {"[x] not found", "[red]oops[/red]", "C:\\dir\\", "\\[red]", "a\\\\b"}) {
    EXPECT_EQ(render(escape(outside), false), outside);
    EXPECT_EQ(render("[yellow]" + escape(outside) + "[/yellow]", false), outside);
  }
  EXPECT_EQ(render("[red]" + escape("[bold]") + "[/red]", true), "\x1b[31m[bold]\x1b[0m");
}

TEST(ConsoleOutput, PlainWhenNotATerminalUnlessForced) {
  test::ScopedEnv no_force("FORCE_COLOR", std::nullopt);
  auto file = test::temp_file();
  Console console(file.get());
  EXPECT_FALSE(console.styled());
  console.print("[green]Connected[/green] to " + escape("[prod]"));
  EXPECT_EQ(test::contents(file.get()), "Connected to [prod]\n");

  test::ScopedEnv force("FORCE_COLOR", "1");
  EXPECT_TRUE(Console(file.get()).styled());
}

TEST(ConsoleOutput, LogLinesCarryATimeStampAndAlignFurtherLines) {
  test::ScopedEnv no_force("FORCE_COLOR", std::nullopt);
  auto file = test::temp_file();
  Console console(file.get());
  console.log("[2/5] stopping my-sim");
  console.log("[red]first\nsecond[/red]");
  const std::regex expected(
      "\\[\\d\\d:\\d\\d:\\d\\d\\] \\[2/5\\] stopping my-sim\n"
      "\\[\\d\\d:\\d\\d:\\d\\d\\] first\n {11}second\n");
  const std::string written = test::contents(file.get());
  EXPECT_TRUE(std::regex_match(written, expected)) << written;
}

TEST(ConsoleOutput, PrettyValuesPrintLiterally) {
  test::ScopedEnv no_force("FORCE_COLOR", std::nullopt);
  auto file = test::temp_file();
  Console console(file.get());
  console.print_pretty({{"name", "[bold]x"}, {"moniker", nullptr}});
  EXPECT_EQ(test::contents(file.get()), "{'name': '[bold]x', 'moniker': None}\n");
}

}  // namespace
}  // namespace tarvo::term
