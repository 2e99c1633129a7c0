#include "core/sim/child.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/epoll.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/sim/client.hpp"
#include "core/sim/log.hpp"

extern char** environ;

namespace tarvo::core::sim {

namespace {

using Clock = std::chrono::steady_clock;

// A reply longer than this is garbage, not an observation.
constexpr std::size_t kMaxLine = std::size_t{64} << 20;

int remaining_ms(Clock::time_point deadline) {
  auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left < 0 ? 0 : static_cast<int>(std::min<long long>(left, 1 << 30));
}

std::string seconds_text(std::chrono::milliseconds duration) {
  char text[32];
  std::snprintf(text, sizeof text, "%g s", static_cast<double>(duration.count()) / 1000.0);
  return text;
}

std::string describe_status(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "was killed by signal " + std::to_string(WTERMSIG(status));
  return "stopped";
}

// A spawn attribute set that the destructor always releases.
struct SpawnSetup {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attributes;
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
};

std::pair<Fd, Fd> make_pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    throw SessionError(std::string("cannot create a pipe: ") + std::strerror(errno));
  return {Fd(fds[0]), Fd(fds[1])};
}

// Writing to a pipe whose reader is gone raises SIGPIPE in the writing thread.
// Relay threads keep it blocked once they have written, so that the write fails
// with EPIPE instead: masking it around every write would cost three system calls
// per step. Children start with an empty mask (see the spawn attributes).
void block_sigpipe_in_this_thread() {
  thread_local bool blocked = false;
  if (blocked) return;
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
  blocked = true;
}

// After an EPIPE: the blocked SIGPIPE stays pending on the thread; take it away.
void consume_pending_sigpipe() {
  sigset_t pending;
  sigpending(&pending);
  if (!sigismember(&pending, SIGPIPE)) return;
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  timespec zero{0, 0};
  sigtimedwait(&pipe_signal, nullptr, &zero);
}

}  // namespace

ChildProcess::ChildProcess(const std::vector<std::string>& command,
                           const std::filesystem::path& dir, std::string log_name)
    : log_name_(std::move(log_name)) {
  if (command.empty()) throw SessionError("the simulator has no command to start");
  auto [in_read, in_write] = make_pipe();
  auto [out_read, out_write] = make_pipe();
  auto [err_read, err_write] = make_pipe();

  // A program named with a slash lives in the simulator directory; resolve it here so
  // that the lookup does not depend on how the child changes directory.
  std::string program = command.front();
  if (program.find('/') != std::string::npos && program.front() != '/')
    program = (std::filesystem::absolute(dir) / program).lexically_normal().string();

  SpawnSetup setup;
  posix_spawn_file_actions_adddup2(&setup.actions, in_read.get(), 0);
  posix_spawn_file_actions_adddup2(&setup.actions, out_write.get(), 1);
  posix_spawn_file_actions_adddup2(&setup.actions, err_write.get(), 2);
  const auto dir_text = dir.string();
  posix_spawn_file_actions_addchdir_np(&setup.actions, dir_text.c_str());
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigdefault(&setup.attributes, &defaults);
  posix_spawnattr_setsigmask(&setup.attributes, &none);
  posix_spawnattr_setpgroup(&setup.attributes, 0);
  posix_spawnattr_setflags(&setup.attributes,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  std::vector<char*> argv;
  argv.push_back(program.data());
  std::vector<std::string> rest(command.begin() + 1, command.end());
  for (auto& arg : rest)
    argv.push_back(arg.data());
  argv.push_back(nullptr);

  int error =
      posix_spawnp(&pid_, program.c_str(), &setup.actions, &setup.attributes, argv.data(), environ);
  if (error != 0) {
    pid_ = -1;
    throw SessionError("cannot start the simulator '" + command.front() + "' in " + dir_text +
                       ": " + std::strerror(error));
  }
  pidfd_.reset(static_cast<int>(syscall(SYS_pidfd_open, pid_, 0)));
  in_ = std::move(in_write);
  out_ = std::move(out_read);
  err_ = std::move(err_read);
  fcntl(in_.get(), F_SETFL, fcntl(in_.get(), F_GETFL) | O_NONBLOCK);
  fcntl(out_.get(), F_SETFL, fcntl(out_.get(), F_GETFL) | O_NONBLOCK);
  fcntl(err_.get(), F_SETFL, fcntl(err_.get(), F_GETFL) | O_NONBLOCK);
  log_debug(log_name_, "started simulator process " + std::to_string(pid_));
}

ChildProcess::~ChildProcess() {
  finish(std::chrono::seconds(2));
}

bool ChildProcess::wait(short out_events, Clock::time_point deadline, int cancel_fd) {
  if (!out_events) return wait_for_output(deadline, cancel_fd);
  for (;;) {
    pollfd fds[3] = {{err_.get(), POLLIN, 0}, {cancel_fd, POLLIN, 0}, {in_.get(), out_events, 0}};
    if (!err_) fds[0].fd = -1;
    int ready = poll(fds, 3, remaining_ms(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw SessionError(std::string("waiting for the simulator failed: ") + std::strerror(errno));
    }
    if (ready == 0) return false;
    if (fds[0].revents) drain_stderr();
    if (fds[1].revents) throw SessionError("the server is shutting down");
    if (fds[2].revents) return true;
  }
}

// The wait for a reply happens once per call: an epoll set registered once costs
// less than a poll that registers every descriptor anew each time.
bool ChildProcess::wait_for_output(Clock::time_point deadline, int cancel_fd) {
  auto watch = [this](int fd) {
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.fd = fd;
    if (epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &event) != 0)
      throw SessionError(std::string("waiting for the simulator failed: ") + std::strerror(errno));
  };
  if (!epoll_) {
    epoll_.reset(epoll_create1(EPOLL_CLOEXEC));
    if (!epoll_)
      throw SessionError(std::string("waiting for the simulator failed: ") + std::strerror(errno));
    watch(out_.get());
    if (err_) watch(err_.get());  // closing it at end of file takes it out of the set
  }
  if (cancel_fd != watched_cancel_fd_) {
    if (watched_cancel_fd_ >= 0)
      epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, watched_cancel_fd_, nullptr);
    watched_cancel_fd_ = -1;
    if (cancel_fd >= 0) watch(cancel_fd);
    watched_cancel_fd_ = cancel_fd;
  }
  for (;;) {
    epoll_event events[3];
    int ready = epoll_wait(epoll_.get(), events, 3, remaining_ms(deadline));
    if (ready < 0) {
      if (errno == EINTR) continue;
      throw SessionError(std::string("waiting for the simulator failed: ") + std::strerror(errno));
    }
    if (ready == 0) return false;
    bool output = false;
    for (int i = 0; i < ready; ++i) {
      int fd = events[i].data.fd;
      if (fd == out_.get())
        output = true;
      else if (err_ && fd == err_.get())
        drain_stderr();
      else if (fd == cancel_fd)
        throw SessionError("the server is shutting down");
    }
    if (output) return true;
  }
}

void ChildProcess::drain_stderr() {
  char buffer[4096];
  for (;;) {
    ssize_t n = read(err_.get(), buffer, sizeof buffer);
    if (n > 0) {
      err_buffer_.append(buffer, static_cast<std::size_t>(n));
      std::size_t start = 0;
      for (std::size_t end; (end = err_buffer_.find('\n', start)) != std::string::npos;
           start = end + 1) {
        last_err_line_.assign(err_buffer_, start, end - start);
        log_info(log_name_, last_err_line_);
      }
      err_buffer_.erase(0, start);
      // A program that never ends its line still gets logged, in pieces.
      if (err_buffer_.size() > 8192) {
        log_info(log_name_, err_buffer_);
        err_buffer_.clear();
      }
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) {
      if (!err_buffer_.empty()) {
        last_err_line_ = err_buffer_;
        log_info(log_name_, err_buffer_);
        err_buffer_.clear();
      }
      err_.reset();
    }
    return;
  }
}

void ChildProcess::fail_exited(const std::string& what) {
  // Collect what the program said on its way out: it usually explains the exit.
  if (err_) {
    auto deadline = Clock::now() + std::chrono::milliseconds(500);
    while (err_) {
      pollfd fd{err_.get(), POLLIN, 0};
      if (poll(&fd, 1, remaining_ms(deadline)) <= 0) break;
      drain_stderr();
    }
  }
  int status = reap(std::chrono::milliseconds(500));
  std::string message = "the simulator " + what;
  if (status >= 0) message += " (it " + describe_status(status) + ")";
  if (!last_err_line_.empty()) message += "; its last words: " + last_err_line_.substr(0, 200);
  throw SessionError(message);
}

void ChildProcess::write_all(std::string_view data, Clock::time_point deadline, int cancel_fd) {
  block_sigpipe_in_this_thread();
  while (!data.empty()) {
    ssize_t n = ::write(in_.get(), data.data(), data.size());
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN) {
      if (!wait(POLLOUT, deadline, cancel_fd))
        throw SessionError("the simulator stopped reading its input (no reply within the limit)");
      continue;
    }
    if (n < 0 && errno == EPIPE) consume_pending_sigpipe();
    fail_exited("closed its input");
  }
}

std::string_view ChildProcess::exchange(std::string_view request, std::chrono::milliseconds timeout,
                                        int cancel_fd) {
  if (!in_) throw SessionError("the simulator session is over");
  const auto deadline = Clock::now() + timeout;
  // The previous reply has been used: drop it. Anything after it was never asked
  // for, and would be taken for the answer to this request.
  out_buffer_.erase(0, out_start_);
  out_start_ = 0;
  char buffer[65536];
  if (ssize_t n = read(out_.get(), buffer, sizeof buffer); n > 0)
    out_buffer_.append(buffer, static_cast<std::size_t>(n));
  if (!out_buffer_.empty()) {
    auto extra = out_buffer_.substr(0, std::min<std::size_t>(out_buffer_.find('\n'), 80));
    throw SessionError("the simulator wrote a line nobody asked for: " + extra);
  }
  write_all(request, deadline, cancel_fd);
  std::size_t scanned = 0;
  for (;;) {
    auto end = out_buffer_.find('\n', scanned);
    if (end != std::string::npos) {
      out_start_ = end + 1;
      std::string_view line(out_buffer_.data(), end);
      if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
      return line;
    }
    scanned = out_buffer_.size();
    if (out_buffer_.size() > kMaxLine)
      throw SessionError("the simulator wrote a line longer than 64 MiB");
    // The simulator has had no time to answer yet: wait first, then read, rather
    // than pay for a read that finds nothing.
    if (!wait(0, deadline, cancel_fd))
      throw SessionError("the simulator did not reply within " + seconds_text(timeout));
    for (;;) {
      ssize_t n = read(out_.get(), buffer, sizeof buffer);
      if (n > 0) {
        out_buffer_.append(buffer, static_cast<std::size_t>(n));
        break;
      }
      if (n == 0) fail_exited("ended without replying");
      if (errno == EINTR) continue;
      if (errno == EAGAIN) break;
      throw SessionError(std::string("reading from the simulator failed: ") + std::strerror(errno));
    }
  }
}

int ChildProcess::reap(std::chrono::milliseconds grace) {
  if (pid_ < 0) return -1;
  if (reaped_) return status_;
  if (pidfd_) {
    pollfd fd{pidfd_.get(), POLLIN, 0};
    while (poll(&fd, 1, static_cast<int>(grace.count())) < 0 && errno == EINTR) {
    }
  }
  siginfo_t info{};
  if (waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) != 0 ||
      info.si_pid != pid_)
    return -1;
  // The exited leader still holds the group id: helpers it left behind go now.
  kill(-pid_, SIGKILL);
  int status = 0;
  while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  reaped_ = true;
  status_ = status;
  return status;
}

void ChildProcess::finish(std::chrono::milliseconds grace) {
  in_.reset();
  if (pid_ < 0) return;
  if (!reaped_ && reap(grace) < 0) {
    // Still running: terminate the whole group, then insist.
    kill(-pid_, SIGTERM);
    if (reap(std::chrono::milliseconds(1000)) < 0) {
      kill(-pid_, SIGKILL);
      int status = 0;
      while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
      reaped_ = true;
      status_ = status;
    }
  }
  if (err_) drain_stderr();
  log_debug(log_name_,
            "simulator process " + std::to_string(pid_) + " " + describe_status(status_));
  epoll_.reset();
  out_.reset();
  err_.reset();
  pid_ = -1;
}

}  // namespace tarvo::core::sim
