// The single-choice menu: numbered without a terminal, keys on a terminal.
#include <gtest/gtest.h>

#include <signal.h>

#include "core/interrupt.hpp"
#include "term/menu.hpp"
#include "term_files.hpp"

namespace tarvo::term {
namespace {

const Menu kMenu({"alpha (uuid: 1)", "beta (uuid: 2)", "gamma (uuid: 3)"}, "Select a Sim:");

struct Numbered {
  std::optional<std::size_t> choice;
  std::string shown;
};

Numbered numbered(const std::string& input, const Menu& menu = kMenu) {
  auto in = test::temp_file(input);
  auto out = test::temp_file();
  Numbered result;
  result.choice = menu.show(in.get(), out.get());
  result.shown = test::contents(out.get());
  return result;
}

constexpr std::string_view kAsk = "Enter a number (empty to cancel): ";
constexpr std::string_view kHint = "Please enter a number from 1 to 3, or nothing to cancel.\n";

TEST(NumberedMenu, ListsEntriesAndReadsAChoice) {
  const auto result = numbered("2\n");
  EXPECT_EQ(result.choice, 1u);
  EXPECT_EQ(result.shown,
            "Select a Sim:\n"
            "  1) alpha (uuid: 1)\n"
            "  2) beta (uuid: 2)\n"
            "  3) gamma (uuid: 3)\n" +
                std::string(kAsk) + "\n");  // the answer was not echoed: the line is ended
  EXPECT_EQ(numbered(" 3 \r\n").choice, 2u);
}

TEST(NumberedMenu, EmptyLineOrEndOfInputCancels) {
  const auto empty = numbered("\n2\n");
  EXPECT_EQ(empty.choice, std::nullopt);
  EXPECT_EQ(empty.shown.back(), '\n');
  const auto at_end = numbered("");
  EXPECT_EQ(at_end.choice, std::nullopt);
  EXPECT_EQ(at_end.shown.back(), '\n');  // later output starts on its own line
}

TEST(NumberedMenu, AnythingElseAsksAgain) {
  for (const char* wrong : {"0", "4", "-1", "two", "1.5", "2x", "99999999999999999999999"}) {
    SCOPED_TRACE(wrong);
    const auto result = numbered(std::string(wrong) + "\n1\n");
    EXPECT_EQ(result.choice, 0u);
    const std::string again =
        std::string(kAsk) + "\n" + std::string(kHint) + std::string(kAsk) + "\n";
    EXPECT_NE(result.shown.find(again), std::string::npos) << result.shown;
  }
  // Wrong answers until the input ends: cancelled, not stuck.
  EXPECT_EQ(numbered("x\ny\n").choice, std::nullopt);
}

TEST(NumberedMenu, WithoutEntriesCancelsAtOnce) {
  const auto result = numbered("1\n", Menu({}, "Select a Project:"));
  EXPECT_EQ(result.choice, std::nullopt);
  EXPECT_EQ(result.shown, "");
}

// Runs the menu on a pseudo-terminal with `keys` already typed, and checks that the
// terminal's mode is restored and the menu erased afterwards.
std::optional<std::size_t> on_terminal(std::string_view keys, bool typed_raw = true) {
  test::Pty pty;
  if (typed_raw) pty.raw();
  termios before{};
  tcgetattr(pty.slave(), &before);
  pty.type(keys);
  const auto choice = kMenu.show(pty.in(), pty.out());
  termios after{};
  tcgetattr(pty.slave(), &after);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
  EXPECT_EQ(after.c_iflag, before.c_iflag);
  const std::string screen = pty.screen();
  EXPECT_NE(screen.find("> "), std::string::npos);
  EXPECT_NE(screen.find("Select a Sim:"), std::string::npos);
  EXPECT_EQ(screen.substr(screen.size() - 9), "\x1b[J\x1b[?25h");
  return choice;
}

TEST(TerminalMenu, KeysMoveAndChoose) {
  // Typed while the terminal was still in line mode, as a fast user would.
  EXPECT_EQ(on_terminal("\x1b[B\r", false), 1u);
  EXPECT_EQ(on_terminal("\x1b[B\r"), 1u);
  EXPECT_EQ(on_terminal("jj\r"), 2u);
  EXPECT_EQ(on_terminal("k\r"), 2u);  // up from the top wraps to the bottom
  EXPECT_EQ(on_terminal("\x1bOB\x1b[B\x1b[A\n"), 1u);
  EXPECT_EQ(on_terminal("x\x1b[1;5C\r"), 0u);  // unknown keys are ignored
}

TEST(TerminalMenu, EscOrQCancels) {
  EXPECT_EQ(on_terminal("j\x1b"), std::nullopt);
  EXPECT_EQ(on_terminal("q"), std::nullopt);
}

TEST(TerminalMenu, CtrlCThrowsInterruptedAndRestoresTheTerminal) {
  EXPECT_THROW(on_terminal("j\x03"), core::Interrupted);

  // An interrupt signal while waiting for a key.
  core::interrupt::install();
  test::Pty pty;
  termios before{};
  tcgetattr(pty.slave(), &before);
  EXPECT_TRUE(test::ends_on_sigint([&] { kMenu.show(pty.in(), pty.out()); }));
  termios after{};
  tcgetattr(pty.slave(), &after);
  EXPECT_EQ(after.c_lflag, before.c_lflag);
}

}  // namespace
}  // namespace tarvo::term
