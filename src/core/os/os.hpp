#pragma once
// What tarvo asks of the operating system beyond plain POSIX calls, in one place. Two
// implementations: linux.cpp (pipe2, accept4, eventfd, pidfd, /proc) and posix.cpp
// (what macOS provides too: pipe and fcntl, a self-pipe, polling waitpid). CMake's
// TARVO_OS picks one; the interface and its behaviour are the same.
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/types.h>

#include <filesystem>
#include <mutex>
#include <shared_mutex>

#include "core/fd.hpp"

namespace tarvo::core::os {

// -- descriptors --------------------------------------------------------------------

struct Pipe {
  Fd read, write;
};

// A pipe whose ends are closed on exec. Throws std::system_error.
Pipe make_pipe();

inline void set_nonblocking(int fd, bool nonblocking = true) {
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, nonblocking ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}

// A socket closed on exec that never raises SIGPIPE (see kNoSigpipe); empty with
// errno set when none can be had.
Fd open_socket(int family, int type, int protocol, bool nonblocking = false);

// The next connection waiting on a non-blocking `listener`, closed on exec and
// blocking; empty with errno set (EAGAIN: none waiting).
Fd accept_connection(int listener);

// send(2) flags that turn a vanished peer into EPIPE rather than SIGPIPE.
#ifdef MSG_NOSIGNAL
inline constexpr int kNoSigpipe = MSG_NOSIGNAL;
#else
inline constexpr int kNoSigpipe = 0;  // the socket carries SO_NOSIGPIPE instead
#endif

// Held exclusively while a child is spawned. Where a descriptor cannot be made
// close-on-exec as it is created, creating one holds it shared, so that no child
// inherits a descriptor in between. Free where creation is atomic.
std::unique_lock<std::shared_mutex> lock_descriptors_for_spawn();

// -- waiting ------------------------------------------------------------------------

// A wake-up call that poll() can wait for: readable once signalled, until cleared.
// signal() is safe in signal handlers and from any thread.
class Event {
 public:
  Event();  // throws std::system_error
  int fd() const { return read_.get(); }
  void signal() const;
  // Consumes every signal so far.
  void clear() const;

 private:
  Fd read_;
  Fd write_;  // empty where one descriptor plays both parts
};

enum class Readiness { ready, woken, timed_out };

// Waits until `fd` is readable (or at its end), `wake_fd` (or -1) is, or
// `timeout_ms` (-1: no limit) passes; a signal that interrupts the wait counts as a
// wake-up. Works on terminals as on pipes and sockets. Throws std::system_error.
Readiness wait_readable(int fd, int wake_fd, int timeout_ms);

// A descriptor that turns readable once child `pid` has exited; empty where the
// system has none (waits then poll waitpid instead).
Fd watch_exit(pid_t pid);

// -- signals and the process ----------------------------------------------------------

// After a write failed with EPIPE in a thread that blocks SIGPIPE: takes the signal
// that write left pending, so that it is never delivered later.
void discard_pending_sigpipe();

// The running executable's own file, symbolic links resolved; empty when unknown.
std::filesystem::path executable_path();

// This process's environment ("NAME=value" entries up to a null), as exec would pass it.
char** environment();

}  // namespace tarvo::core::os
