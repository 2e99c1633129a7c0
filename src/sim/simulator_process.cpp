#include "sim/simulator_process.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <system_error>

#include "core/os/os.hpp"
#include "sim/client.hpp"
#include "sim/log.hpp"

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

std::string describe_status(const core::os::ExitStatus& status) {
  using How = core::os::ExitStatus::How;
  if (status.how == How::exited) return "exited with status " + std::to_string(status.value);
  if (status.how == How::signaled) return "was killed by signal " + std::to_string(status.value);
  return "stopped";
}

// The simulator's process, started in `dir` with its three standard streams on pipes.
core::os::Child start(const std::vector<std::string>& command, const std::filesystem::path& dir) {
  if (command.empty()) throw SessionError("the simulator has no command to start");
  core::os::SpawnOptions options;
  options.argv = command;
  // A program named with a slash lives in the simulator directory; resolve it here so
  // that the lookup does not depend on how the child changes directory.
  std::string& program = options.argv.front();
  if (program.find('/') != std::string::npos && program.front() != '/')
    program = (std::filesystem::absolute(dir) / program).lexically_normal().string();
  options.directory = dir;
  options.in = options.out = options.err = core::os::SpawnOptions::Stream::pipe;
  options.own_process_group = true;
  try {
    return core::os::Child(options);
  } catch (const std::system_error& error) {
    throw SessionError("cannot start the simulator '" + command.front() + "' in " + dir.string() +
                       ": " + std::strerror(error.code().value()));
  }
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

}  // namespace

SimulatorProcess::SimulatorProcess(const std::vector<std::string>& command,
                                   const std::filesystem::path& dir, std::string log_name,
                                   int cancel_fd)
    : child_(start(command, dir)),
      in_(std::move(child_.in())),
      out_(std::move(child_.out())),
      log_name_(std::move(log_name)) {
  core::os::set_nonblocking(in_.get());
  core::os::set_nonblocking(child_.err().get());
  try {
    watch_.emplace(std::move(child_.err()), cancel_fd, log_name_);
  } catch (const SessionError&) {
    finish(std::chrono::milliseconds(0));
    throw;
  }
  log_debug(log_name_, "started simulator process " + std::to_string(child_.pid()));
}

SimulatorProcess::~SimulatorProcess() {
  finish(std::chrono::seconds(2));
}

void SimulatorProcess::check_interrupt(bool writing, std::chrono::milliseconds timeout) {
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

void SimulatorProcess::fail_exited(const std::string& what) {
  // What the program said on its way out usually explains the exit.
  const std::string last_words = watch_->last_words(std::chrono::milliseconds(500));
  std::string message = "the simulator " + what;
  if (child_.wait_exit(Clock::now() + std::chrono::milliseconds(500)))
    message += " (it " + describe_status(child_.reap()) + ")";
  if (!last_words.empty()) message += "; its last words: " + last_words.substr(0, 200);
  throw SessionError(message);
}

void SimulatorProcess::write_all(std::string_view data, std::chrono::milliseconds timeout) {
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
    if (n < 0 && errno == EPIPE) core::os::discard_pending_sigpipe();
    fail_exited("closed its input");
  }
}

std::string_view SimulatorProcess::exchange(std::initializer_list<std::string_view> request,
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

void SimulatorProcess::finish(std::chrono::milliseconds grace) {
  in_.reset();
  if (finished_) return;
  finished_ = true;
  // Then the whole group is terminated, and killed if it insists.
  const auto status = child_.end(grace, std::chrono::milliseconds(1000));
  if (watch_) watch_->stop();  // logs what is left of its standard error
  log_debug(log_name_,
            "simulator process " + std::to_string(child_.pid()) + " " + describe_status(status));
  out_.reset();
}

}  // namespace tarvo::sim
