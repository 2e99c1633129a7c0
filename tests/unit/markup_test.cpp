// Console markup: styles on a terminal, plain text elsewhere, outside text literal.
#include <gtest/gtest.h>

#include <optional>
#include <regex>

#include "scoped.hpp"
#include "term/console.hpp"
#include "term/table.hpp"
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

// An organisation name that retitles the window and clears the screen when written raw.
constexpr std::string_view kHostile = "\x1b]0;pwned\a\x1b[2J";

TEST(ControlCharacters, ShowAsVisibleEscapes) {
  EXPECT_EQ(visible_controls(kHostile), "\\x1b]0;pwned\\x07\\x1b[2J");
  // Tab and newline stay; DEL, C1 (as a character and as a stray byte) and C0 do not.
  EXPECT_EQ(visible_controls("a\tb\nc\x7f\r"), "a\tb\nc\\x7f\\x0d");
  EXPECT_EQ(visible_controls("\xc2\x9b"
                             "31m"),
            "\\x9b"
            "31m");
  EXPECT_EQ(visible_controls("\x9b"
                             "31m"),
            "\\x9b"
            "31m");
  // Printable text beyond ASCII is left alone.
  EXPECT_EQ(visible_controls("Zoë 日本 \xc2\xa0"), "Zoë 日本 \xc2\xa0");
}

TEST(ControlCharacters, RenderShowsThemOnATerminalAndKeepsThemForAPipe) {
  const std::string markup = "[red]" + escape(std::string(kHostile)) + "[/red]";
  EXPECT_EQ(render(markup, false, false), kHostile);
  EXPECT_EQ(render(markup, false, true), visible_controls(kHostile));
  EXPECT_EQ(render(markup, true, true), "\x1b[31m" + visible_controls(kHostile) + "\x1b[0m");

  test::ScopedEnv no_force("FORCE_COLOR", std::nullopt);
  auto file = test::temp_file();
  Console(file.get()).print(escape(std::string(kHostile)));
  EXPECT_EQ(test::contents(file.get()), std::string(kHostile) + "\n");

  test::Pty terminal;
  const Console console(terminal.out());
  console.print("org " + escape(std::string(kHostile)));
  console.log(escape(std::string(kHostile)));
  Table table;
  table.add_column("Name");
  table.add_row({escape(std::string(kHostile))});
  console.print_table(table);
  console.print_json(nlohmann::ordered_json{{"name", "\x9b"}});
  std::fflush(terminal.out());
  const std::string screen = terminal.screen();
  EXPECT_EQ(screen.find("\x1b]0;"), std::string::npos) << screen;
  EXPECT_EQ(screen.find("\x1b[2J"), std::string::npos) << screen;
  EXPECT_EQ(screen.find("\x9b"), std::string::npos) << screen;
  EXPECT_NE(screen.find("org \\x1b]0;pwned\\x07\\x1b[2J"), std::string::npos) << screen;
}

TEST(ConsoleOutput, LogLinesOfTheCoreLoggerRenderTheirMarkup) {
  std::string text;
  {
    test::ScopedEnv no_force("FORCE_COLOR", std::nullopt);
    test::CapturedStderr captured;
    write_log_line("2026-01-01 10:00:00 INFO n: ",
                   "[red]Error (EngineError): " + escape("[x] \x1b[2J") + "[/red]");
    text = captured.text();
  }
  // Standard error is a file here: no style, no tags, outside text as it was.
  EXPECT_EQ(text, "2026-01-01 10:00:00 INFO n: Error (EngineError): [x] \x1b[2J\n");
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
