// The spinner: animated only when asked, always removed, lines printed meanwhile
// appear above it.
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>
#include <thread>

#include "term/console.hpp"
#include "term/status.hpp"
#include "term_files.hpp"

namespace tarvo::term {
namespace {

using namespace std::chrono_literals;

bool ends_with(const std::string& text, std::string_view tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Waits (bounded) until the spinner has written `needle`.
bool wait_for_output(std::FILE* file, std::string_view needle) {
  for (int i = 0; i < 200; ++i) {
    if (test::peek(file).find(needle) != std::string::npos) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

TEST(Status, RemovedAndStoppedWhenTheBlockThrows) {
  auto file = test::temp_file();
  try {
    Status status(file.get(), "Working", true);
    ASSERT_TRUE(wait_for_output(file.get(), "Working"));
    throw std::runtime_error("step failed");
  } catch (const std::runtime_error&) {
  }
  const std::string written = test::contents(file.get());
  EXPECT_EQ(written.rfind("\x1b[?25l", 0), 0u);  // cursor hidden first
  EXPECT_NE(written.find("⠋"), std::string::npos);
  EXPECT_TRUE(ends_with(written, "\r\x1b[2K\x1b[?25h")) << written;
  // The thread is gone: nothing more arrives.
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(test::contents(file.get()), written);
}

TEST(Status, WritesNothingWhenNotAnimated) {
  auto file = test::temp_file();
  try {
    Status status(file.get(), "Working", false);
    status.update("Still working");
    throw std::runtime_error("step failed");
  } catch (const std::runtime_error&) {
  }
  EXPECT_EQ(test::contents(file.get()), "");
}

TEST(Status, ShowsUpdatedText) {
  auto file = test::temp_file();
  Status status(file.get(), "Step 1", true);
  status.update("Step 2");
  EXPECT_TRUE(wait_for_output(file.get(), "Step 2"));
}

TEST(Status, ConsoleLinesPrintedMeanwhileStartOnAClearedLine) {
  test::Pty pty;
  Console console(pty.out());
  ASSERT_TRUE(console.is_terminal());
  {
    auto status = console.status("Stopping all sims");
    std::this_thread::sleep_for(100ms);
    console.print("[1/2] stopping my-sim");
    console.log("second line");
  }
  const std::string screen = pty.screen();
  const auto line = screen.find("[1/2] stopping my-sim");
  ASSERT_NE(line, std::string::npos) << screen;
  EXPECT_EQ(screen.substr(line - 5, 5), "\r\x1b[2K");
  EXPECT_TRUE(ends_with(screen, "\r\x1b[2K\x1b[?25h")) << screen;
}

}  // namespace
}  // namespace tarvo::term
