// The operating-system layer's promises, kept by both implementations (the POSIX one
// runs these too, as posix.OsLayer.*): descriptors closed on exec, accepted sockets
// that block, events, and children waited for, ended and reaped with their group.
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <string>
#include <system_error>
#include <thread>

#include <gtest/gtest.h>

#include "core/os/child.hpp"
#include "core/os/os.hpp"
#include "core/tcp.hpp"

namespace tarvo::core::os {
namespace {

using namespace std::chrono_literals;
using Clock = Child::Clock;

bool closed_on_exec(int fd) {
  return (::fcntl(fd, F_GETFD) & FD_CLOEXEC) != 0;
}

bool nonblocking(int fd) {
  return (::fcntl(fd, F_GETFL) & O_NONBLOCK) != 0;
}

// Whether `pid` is gone: no such process, or a zombie nobody has reaped yet.
bool gone(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text;
  if (!std::getline(stat, text)) return true;
  const auto state = text.find(") ");
  return state != std::string::npos && text[state + 2] == 'Z';
}

bool becomes_gone(pid_t pid) {
  for (auto deadline = Clock::now() + 5s; Clock::now() < deadline;) {
    if (gone(pid)) return true;
    std::this_thread::sleep_for(10ms);
  }
  return false;
}

TEST(OsLayer, DescriptorsAreClosedOnExecAndAcceptedSocketsBlock) {
  auto pipe = make_pipe();
  EXPECT_TRUE(closed_on_exec(pipe.read.get()));
  EXPECT_TRUE(closed_on_exec(pipe.write.get()));

  Fd listener = tcp::listen_on("127.0.0.1", 0);
  ASSERT_TRUE(listener);
  set_nonblocking(listener.get());
  errno = 0;
  EXPECT_FALSE(accept_connection(listener.get()));
  EXPECT_TRUE(errno == EAGAIN || errno == EWOULDBLOCK) << errno;
  Fd client = tcp::connect_to("127.0.0.1", tcp::local_port(listener.get()), 5s);
  EXPECT_TRUE(closed_on_exec(client.get()));
  ASSERT_EQ(wait_readable(listener.get(), -1, 5000), Readiness::ready);
  Fd accepted = accept_connection(listener.get());
  ASSERT_TRUE(accepted);
  EXPECT_TRUE(closed_on_exec(accepted.get()));
  // Not the listener's O_NONBLOCK (which the BSDs hand down): reads wait for data.
  EXPECT_FALSE(nonblocking(accepted.get()));

  Fd socket = open_socket(AF_INET6, SOCK_STREAM, 0, true);
  ASSERT_TRUE(socket);
  EXPECT_TRUE(closed_on_exec(socket.get()));
  EXPECT_TRUE(nonblocking(socket.get()));
}

TEST(OsLayer, EventsStayReadableUntilClearedAndWakeWaits) {
  Event event;
  EXPECT_TRUE(closed_on_exec(event.fd()));
  const auto pipe = make_pipe();
  const int quiet = pipe.read.get();
  EXPECT_EQ(wait_readable(quiet, event.fd(), 0), Readiness::timed_out);
  event.signal();
  event.signal();
  for (int i = 0; i < 2; ++i)
    EXPECT_EQ(wait_readable(quiet, event.fd(), 0), Readiness::woken);
  event.clear();  // every signal so far
  EXPECT_EQ(wait_readable(quiet, event.fd(), 0), Readiness::timed_out);
  EXPECT_EQ(wait_readable(event.fd(), -1, 0), Readiness::timed_out);
  event.signal();
  EXPECT_EQ(wait_readable(event.fd(), -1, 0), Readiness::ready);
}

TEST(OsLayer, ChildrenAreWaitedForThenReapedWithTheirStatus) {
  SpawnOptions options;
  options.argv = {"sh", "-c", "exit 3"};
  Child exits(options);
  EXPECT_TRUE(exits.wait_exit(Clock::now() + 10s));
  EXPECT_TRUE(exits.has_exited());
  EXPECT_TRUE(exits.wait_exit(std::nullopt));  // not reaped by waiting
  const auto status = exits.reap();
  EXPECT_EQ(status.how, ExitStatus::How::exited);
  EXPECT_EQ(status.shell_code(), 3);
  EXPECT_EQ(exits.reap().shell_code(), 3);

  options.argv = {"sleep", "30"};
  Child sleeps(options);
  EXPECT_FALSE(sleeps.wait_exit(Clock::now() + 50ms));
  Event wake;
  wake.signal();
  const auto asked = Clock::now();
  EXPECT_FALSE(sleeps.wait_exit(asked + 10s, wake.fd()));
  EXPECT_LT(Clock::now() - asked, 5s);
  EXPECT_EQ(sleeps.end(0ms, 5s).shell_code(), 128 + SIGTERM);

  options.argv = {"/no/such/program"};
  try {
    Child missing(options);
    ADD_FAILURE() << "a missing program started";
  } catch (const std::system_error& error) {
    EXPECT_EQ(error.code().value(), ENOENT);
  }
}

TEST(OsLayer, EndingAChildInItsOwnGroupTakesItsHelpersAlong) {
  // The leader ignores SIGTERM and leaves a helper behind: killed after the grace.
  SpawnOptions options;
  options.argv = {"sh", "-c", "trap '' TERM; sleep 30 & echo $!; while :; do sleep 0.1; done"};
  options.out = SpawnOptions::Stream::pipe;
  options.own_process_group = true;
  Child child(options);
  std::string line;
  char c;
  while (::read(child.out().get(), &c, 1) == 1 && c != '\n')
    line += c;
  const pid_t helper = std::stoi(line);
  EXPECT_EQ(::getpgid(helper), child.pid());
  const auto status = child.end(0ms, 200ms);
  EXPECT_EQ(status.how, ExitStatus::How::signaled);
  EXPECT_EQ(status.value, SIGKILL);
  EXPECT_TRUE(becomes_gone(helper)) << "helper " << helper;
}

}  // namespace
}  // namespace tarvo::core::os
