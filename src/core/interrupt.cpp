#include "core/interrupt.hpp"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "core/os/os.hpp"

namespace tarvo::core::interrupt {
namespace {

volatile sig_atomic_t g_requested = 0;
int g_pipe[2] = {-1, -1};

void on_signal(int) {
  int saved = errno;
  g_requested = 1;
  if (g_pipe[1] >= 0) {
    char byte = 1;
    [[maybe_unused]] auto n = write(g_pipe[1], &byte, 1);
  }
  errno = saved;
}

}  // namespace

void install() {
  if (g_pipe[0] < 0) {
    try {
      // Never closed: a handler may write to it until the very end.
      auto pipe = os::make_pipe();
      os::set_nonblocking(pipe.read.get());
      os::set_nonblocking(pipe.write.get());
      g_pipe[0] = pipe.read.release();
      g_pipe[1] = pipe.write.release();
    } catch (const std::system_error&) {
      // Without it, waits notice an interrupt by the flag and EINTR alone.
    }
  }
  struct sigaction action {};
  action.sa_handler = on_signal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = 0;  // no SA_RESTART: blocking reads return EINTR
  for (const int signal_number : {SIGINT, SIGTERM, SIGHUP}) {
    // A signal ignored when tarvo started stays ignored: `nohup tarvo sim run &` must
    // outlive the terminal, and a script's background job is not stopped by Ctrl-C.
    struct sigaction current {};
    if (sigaction(signal_number, nullptr, &current) == 0 && current.sa_handler == SIG_IGN) continue;
    sigaction(signal_number, &action, nullptr);
  }
}

bool requested() {
  return g_requested != 0;
}

void clear() {
  g_requested = 0;
  if (g_pipe[0] >= 0) {
    char buffer[64];
    while (read(g_pipe[0], buffer, sizeof buffer) > 0) {
    }
  }
}

void check() {
  if (requested()) throw Interrupted{};
}

int wake_fd() {
  return g_pipe[0];
}

void sleep_for(std::chrono::duration<double> seconds) {
  using clock = std::chrono::steady_clock;
  const auto deadline = clock::now() + std::chrono::duration_cast<clock::duration>(seconds);
  for (;;) {
    check();
    const auto left = deadline - clock::now();
    if (left <= clock::duration::zero()) return;
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
    pollfd fd{wake_fd(), POLLIN, 0};
    poll(&fd, wake_fd() >= 0 ? 1 : 0, static_cast<int>(ms));
  }
}

}  // namespace tarvo::core::interrupt
