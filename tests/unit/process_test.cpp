// The process runner against real programs: exit codes, captured and discarded
// output, input, environments, launch failures and Ctrl-C.
#include <signal.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "core/interrupt.hpp"
#include "core/process.hpp"
#include "scoped.hpp"

using testing::HasSubstr;

namespace tarvo::core::process {
namespace {

Options capture_both() {
  Options options;
  options.out = Stream::capture;
  options.err = Stream::capture;
  return options;
}

TEST(Process, ExitCodesAndSignals) {
  EXPECT_EQ(run({"true"}).exit_code, 0);
  EXPECT_EQ(run({"sh", "-c", "exit 3"}).exit_code, 3);
  EXPECT_EQ(run({"/bin/sh", "-c", "kill -TERM $$"}).exit_code, 128 + SIGTERM);
}

TEST(Process, LargeOutputOnBothStreamsDoesNotDeadlock) {
  // Each stream gets far more than a pipe holds, standard error only after standard
  // output is complete: a runner that drains one stream at a time would hang.
  auto result = run({"sh", "-c", "yes out | head -n 300000; yes err | head -n 300000 >&2; exit 4"},
                    capture_both());
  EXPECT_EQ(result.exit_code, 4);
  EXPECT_EQ(result.out.size(), 300000u * 4);
  EXPECT_EQ(result.err.size(), 300000u * 4);
  EXPECT_EQ(result.out.substr(0, 8), "out\nout\n");
  EXPECT_EQ(result.err.substr(result.err.size() - 4), "err\n");
}

TEST(Process, InputIsFedWhileOutputIsRead) {
  std::string input;
  for (int i = 0; i < 200000; ++i)
    input += std::to_string(i) + "\n";
  auto options = capture_both();
  options.input = input;
  auto result = run({"cat"}, options);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_TRUE(result.out == input);

  // A child that never reads its input must not take this process down (SIGPIPE).
  options.input = std::string(4 << 20, 'x');
  EXPECT_EQ(run({"sh", "-c", "exec 0<&-; echo done"}, options).out, "done\n");
  options.input = "";
  EXPECT_EQ(run({"wc", "-c"}, options).out, "0\n");
}

TEST(Process, DiscardedOutputGoesToDevNull) {
  Options options;
  options.out = Stream::discard;
  options.err = Stream::capture;
  auto result =
      run({"sh", "-c", "echo lost; f=$(readlink /proc/$$/fd/1); echo \"$f\" >&2"}, options);
  EXPECT_EQ(result.out, "");
  EXPECT_EQ(result.err, "/dev/null\n");
}

TEST(Process, ChosenEnvironmentIsTheWholeEnvironmentAndItsPathFindsPrograms) {
  test::TempDir dir;
  test::write_text(dir.path() / "only-here", "#!/bin/sh\necho \"$GREETING from $0\"\n");
  std::filesystem::permissions(dir.path() / "only-here", std::filesystem::perms::owner_all);
  const std::string parent_path = std::getenv("PATH");

  auto options = capture_both();
  options.environment = Environment{{"GREETING", "hi there"}, {"PATH", dir.path().string()}};
  auto result = run({"only-here"}, options);
  EXPECT_EQ(result.out, "hi there from " + (dir.path() / "only-here").string() + "\n");
  EXPECT_EQ(std::getenv("PATH"), parent_path);  // this process's own PATH is untouched

  options.environment = Environment{{"ONLY", "this"}};
  EXPECT_EQ(run({"/usr/bin/env"}, options).out, "ONLY=this\n");

  test::ScopedEnv inherited("TARVO_PROCESS_TEST", "inherited");
  EXPECT_THAT(run({"env"}, capture_both()).out, HasSubstr("TARVO_PROCESS_TEST=inherited\n"));
  EXPECT_EQ(current_environment().at("TARVO_PROCESS_TEST"), "inherited");
}

TEST(Process, LaunchFailuresNameTheProgramAndTheReason) {
  EXPECT_THAT(
      [] { run({"tarvo-no-such-program"}); },
      testing::ThrowsMessage<LaunchError>("cannot run tarvo-no-such-program: program not found"));
  try {
    run({"/nonexistent/docker", "ps"});
    FAIL() << "no launch error";
  } catch (const LaunchError& e) {
    EXPECT_EQ(e.program(), "/nonexistent/docker");
  }

  test::TempDir dir;
  const auto script = dir.path() / "not-executable";
  test::write_text(script, "#!/bin/sh\necho ran\n");
  std::filesystem::permissions(
      script, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
  EXPECT_THAT([&] { run({script.string()}); },
              testing::ThrowsMessage<LaunchError>(HasSubstr("permission denied")));
  Options options;
  options.environment = Environment{{"PATH", dir.path().string()}};
  EXPECT_THAT([&] { run({"not-executable"}, options); },
              testing::ThrowsMessage<LaunchError>(HasSubstr("is not executable")));
  EXPECT_THROW(run({}), std::invalid_argument);
  EXPECT_EQ(find_program("tarvo-no-such-program"), std::nullopt);
  EXPECT_THAT(find_program("sh").value_or(""), testing::EndsWith("/sh"));
}

TEST(Process, CtrlCTerminatesAndReapsTheChild) {
  test::TempDir dir;
  const auto pid_file = dir.path() / "pid";
  interrupt::install();
  interrupt::clear();
  for (const char* script : {"echo $$ > \"$0\"; exec sleep 30",
                             // Ignores SIGTERM: killed outright after a grace period.
                             "trap '' TERM; echo $$ > \"$0\"; while :; do sleep 0.1; done"}) {
    std::filesystem::remove(pid_file);
    std::thread user([&] {
      while (test::read_text(pid_file).empty())
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      ::kill(::getpid(), SIGINT);
    });
    auto options = capture_both();
    EXPECT_THROW(run({"sh", "-c", script, pid_file.string()}, options), Interrupted) << script;
    user.join();
    interrupt::clear();
    const pid_t pid = std::stoi(test::read_text(pid_file));
    EXPECT_NE(::kill(pid, 0), 0) << "child " << pid << " still exists";
  }
}

// Clean-up runs must finish once begun: an interrupt, arriving before the run or
// during it, neither stops the child nor the wait for it. The interrupt stays
// pending for the caller.
TEST(Process, AnUninterruptibleRunFinishesDespiteAnInterrupt) {
  interrupt::install();
  interrupt::clear();
  auto options = capture_both();
  options.interruptible = false;
  ::kill(::getpid(), SIGTERM);
  ASSERT_TRUE(interrupt::requested());
  // The child signals this process itself, then goes on with its work.
  const auto result = run({"sh", "-c", "kill -HUP $PPID; sleep 0.2; echo finished", "x"}, options);
  EXPECT_EQ(result.exit_code, 0);
  EXPECT_EQ(result.out, "finished\n");
  EXPECT_TRUE(interrupt::requested());
  interrupt::clear();
}

}  // namespace
}  // namespace tarvo::core::process
