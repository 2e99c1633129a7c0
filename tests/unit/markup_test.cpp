// Console markup: styles on a terminal, plain text elsewhere, outside text literal.
#include <gtest/gtest.h>

#include "term/console.hpp"

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

}  // namespace
}  // namespace tarvo::term
