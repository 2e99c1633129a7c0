// Line prompts: defaults, answers, end of input and Ctrl-C.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>

#include "core/interrupt.hpp"
#include "term/prompt.hpp"
#include "term_files.hpp"

namespace tarvo::term {
namespace {

std::string ask(const std::string& input, const std::string& text, const std::string& fallback,
                std::string* shown = nullptr) {
  auto in = test::temp_file(input);
  auto out = test::temp_file();
  std::string answer = prompt(text, fallback, in.get(), out.get());
  if (shown) *shown = test::contents(out.get());
  return answer;
}

TEST(Prompt, EmptyAnswerTakesTheDefault) {
  std::string shown;
  EXPECT_EQ(ask("\n", "Name", "my-sim", &shown), "my-sim");
  EXPECT_EQ(shown, "Name [my-sim]: ");
  EXPECT_EQ(ask("\r\n", "Name", "my-sim"), "my-sim");
}

TEST(Prompt, AnswerIsTakenWithoutItsLineEnding) {
  std::string shown;
  EXPECT_EQ(ask("  spaced out \r\nnext\n", "Location", "", &shown), "  spaced out ");
  EXPECT_EQ(shown, "Location: ");
  EXPECT_EQ(ask("last line without newline", "Name", "x"), "last line without newline");
}

TEST(Prompt, EndOfInputAborts) {
  EXPECT_THROW(ask("", "Name", "my-sim"), Aborted);
}

TEST(Prompt, CtrlCWhileWaitingThrowsInterrupted) {
  core::interrupt::install();
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  core::Fd read_end(fds[0]), write_end(fds[1]);  // nothing is ever written: the read blocks
  test::File in(fdopen(dup(read_end.get()), "r"));
  auto out = test::temp_file();

  EXPECT_TRUE(test::ends_on_sigint([&] { prompt("Name", "my-sim", in.get(), out.get()); }));
}

}  // namespace
}  // namespace tarvo::term
