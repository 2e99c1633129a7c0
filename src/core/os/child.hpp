#pragma once
// A child process: started with posix_spawn from an explicit argument list (never a
// shell), with a chosen environment, working directory and standard streams; waited
// for without reaping, so that its process group can still be reached; ended with
// SIGTERM, then SIGKILL. The object owns the process: destroying it ends the child.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "core/fd.hpp"

namespace tarvo::core::os {

// How a child ended.
struct ExitStatus {
  enum class How { exited, signaled, unknown };
  How how = How::unknown;
  int value = 0;  // the exit status, or the signal that ended the child

  static ExitStatus from_wait(int raw);
  // The exit status, or 128 + the signal, as shells report it (1 when unknown).
  int shell_code() const;
};

struct SpawnOptions {
  enum class Stream { inherit, pipe, null };

  // argv[0] names the program: a path, or a name looked up on this process's PATH.
  std::vector<std::string> argv;
  // "NAME=value" entries, the child's whole environment; nothing means this process's.
  std::optional<std::vector<std::string>> environment;
  // Where the child starts; nothing means this process's working directory.
  std::optional<std::filesystem::path> directory;
  Stream in = Stream::inherit;
  Stream out = Stream::inherit;
  Stream err = Stream::inherit;
  // The child leads a process group of its own, out of reach of the terminal's
  // Ctrl-C, and takes SIGINT, SIGTERM and SIGHUP at their defaults even where this
  // process ignores them: it is ended through its group, helpers it started included.
  bool own_process_group = false;
};

class Child {
 public:
  using Clock = std::chrono::steady_clock;

  // Starts the child; throws std::system_error (with the errno) when it cannot.
  explicit Child(const SpawnOptions& options);
  ~Child();  // end(0, kTermGrace) unless reaped already
  Child(Child&& other) noexcept;
  Child& operator=(Child&&) = delete;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }

  // This process's ends of the pipes asked for (empty otherwise): write to in(), read
  // from out() and err(). Each may be taken or closed.
  Fd& in() { return in_; }
  Fd& out() { return out_; }
  Fd& err() { return err_; }

  // Whether the child has exited (it need not have been reaped), without waiting.
  bool has_exited() const;

  // Waits until the child exits (true), `deadline` passes or `wake_fd` (or -1) turns
  // readable (false). Does not reap. A signal does not end the wait.
  bool wait_exit(std::optional<Clock::time_point> deadline, int wake_fd = -1) const;

  // Reaps the child, waiting for it to exit. The first time, helpers left in its own
  // process group are killed. Returns its status; the same on later calls.
  ExitStatus reap();
  bool reaped() const { return reaped_; }

  // Sends `signal` to the child, or to its whole group when it has its own.
  void kill(int signal) const;

  // Ends the child: waits `grace` for it to exit by itself, then sends SIGTERM and
  // waits `term_grace`, then SIGKILL; reaps it. Returns its status.
  ExitStatus end(std::chrono::milliseconds grace, std::chrono::milliseconds term_grace);

  static constexpr std::chrono::milliseconds kTermGrace{2000};

 private:
  pid_t pid_ = -1;
  bool own_group_ = false;
  bool reaped_ = false;
  ExitStatus status_;
  Fd in_, out_, err_;
  Fd exit_watch_;  // readable once the child exits, where the system has such a thing
};

}  // namespace tarvo::core::os
