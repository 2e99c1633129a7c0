#include "sim/child.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim/client.hpp"
#include "sim/log.hpp"

extern char** environ;

namespace tarvo::sim {

namespace {

using Clock = std::chrono::steady_clock;

// A reply longer than this is garbage, not an observation.
constexpr std::size_t kMaxLine = std::size_t{64} << 20;
// A reply buffer that one large reply grew past this is let go before the next call.
constexpr std::size_t kKeepCapacity = std::size_t{1} << 20;

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

std::pair<core::Fd, core::Fd> make_pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    throw SessionError(std::string("cannot create a pipe: ") + std::strerror(errno));
  return {core::Fd(fds[0]), core::Fd(fds[1])};
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
                           const std::filesystem::path& dir, std::string log_name, int cancel_fd)
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
  sigaddset(&defaults, SIGHUP);
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
  fcntl(in_.get(), F_SETFL, fcntl(in_.get(), F_GETFL) | O_NONBLOCK);
  fcntl(err_read.get(), F_SETFL, fcntl(err_read.get(), F_GETFL) | O_NONBLOCK);
  try {
    watch_.emplace(std::move(err_read), cancel_fd, log_name_);
  } catch (const SessionError&) {
    finish(std::chrono::milliseconds(0));
    throw;
  }
  log_debug(log_name_, "started simulator process " + std::to_string(pid_));
}

ChildProcess::~ChildProcess() {
  finish(std::chrono::seconds(2));
}

void ChildProcess::check_interrupt(bool writing, std::chrono::milliseconds timeout) {
  switch (watch_->interrupted()) {
    case ChildWatch::Interrupt::none:
      return;
    case ChildWatch::Interrupt::timed_out:
      throw SessionError(writing ? "the simulator stopped reading its input (no reply within " +
                                       seconds_text(timeout) + ")"
                                 : "the simulator did not reply within " + seconds_text(timeout));
    case ChildWatch::Interrupt::shutting_down:
      throw SessionError("the server is shutting down");
  }
}

void ChildProcess::fail_exited(const std::string& what) {
  // What the program said on its way out usually explains the exit.
  const std::string last_words = watch_->last_words(std::chrono::milliseconds(500));
  int status = reap(std::chrono::milliseconds(500));
  std::string message = "the simulator " + what;
  if (status >= 0) message += " (it " + describe_status(status) + ")";
  if (!last_words.empty()) message += "; its last words: " + last_words.substr(0, 200);
  throw SessionError(message);
}

void ChildProcess::write_all(std::string_view data, std::chrono::milliseconds timeout) {
  block_sigpipe_in_this_thread();
  while (!data.empty()) {
    ssize_t n = ::write(in_.get(), data.data(), data.size());
    if (n > 0) {
      data.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) {
      check_interrupt(true, timeout);
      continue;
    }
    if (n < 0 && errno == EAGAIN) {
      // Until it reads again, or the watch ends the call.
      pollfd fd{in_.get(), POLLOUT, 0};
      if (poll(&fd, 1, -1) < 0 && errno != EINTR)
        throw SessionError(std::string("waiting for the simulator failed: ") +
                           std::strerror(errno));
      check_interrupt(true, timeout);
      continue;
    }
    if (n < 0 && errno == EPIPE) consume_pending_sigpipe();
    fail_exited("closed its input");
  }
}

std::string_view ChildProcess::exchange(std::initializer_list<std::string_view> request,
                                        std::chrono::milliseconds timeout) {
  if (!in_) throw SessionError("the simulator session is over");
  // The previous reply has been used: drop it. Anything after it was never asked
  // for, and would be taken for the answer to this request.
  out_buffer_.erase(0, out_start_);
  out_start_ = 0;
  if (out_buffer_.empty() && out_buffer_.capacity() > kKeepCapacity)
    std::string().swap(out_buffer_);
  char buffer[65536];
  if (int waiting = 0;
      out_buffer_.empty() && ioctl(out_.get(), FIONREAD, &waiting) == 0 && waiting > 0) {
    if (ssize_t n = read(out_.get(), buffer, sizeof buffer); n > 0)
      out_buffer_.append(buffer, static_cast<std::size_t>(n));
  }
  if (!out_buffer_.empty()) {
    auto extra = out_buffer_.substr(0, std::min<std::size_t>(out_buffer_.find('\n'), 80));
    throw SessionError("the simulator wrote a line nobody asked for: " + extra);
  }
  ChildWatch::Call call(*watch_, Clock::now() + timeout);
  for (auto part : request)
    write_all(part, timeout);
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
    ssize_t n = read(out_.get(), buffer, sizeof buffer);
    if (n > 0) {
      out_buffer_.append(buffer, static_cast<std::size_t>(n));
    } else if (n == 0) {
      fail_exited("ended without replying");
    } else if (errno == EINTR) {
      check_interrupt(false, timeout);
    } else {
      throw SessionError(std::string("reading from the simulator failed: ") + std::strerror(errno));
    }
  }
}

int ChildProcess::reap(std::chrono::milliseconds grace) {
  if (pid_ < 0) return -1;
  if (reaped_) return status_;
  if (pidfd_) {
    // Interrupted waits go on for what is left of the grace, not for all of it again.
    const auto deadline = Clock::now() + grace;
    pollfd fd{pidfd_.get(), POLLIN, 0};
    for (;;) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (poll(&fd, 1, static_cast<int>(std::max<long long>(left.count(), 0))) >= 0 ||
          errno != EINTR)
        break;
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
  if (watch_) watch_->stop();  // logs what is left of its standard error
  log_debug(log_name_,
            "simulator process " + std::to_string(pid_) + " " + describe_status(status_));
  out_.reset();
  pid_ = -1;
}

}  // namespace tarvo::sim
