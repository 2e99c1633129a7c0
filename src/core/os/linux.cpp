// The operating-system layer on Linux: descriptors made close-on-exec as they are
// created, eventfd, pidfd and /proc.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

#include "core/os/os.hpp"

extern char** environ;

namespace tarvo::core::os {

Pipe make_pipe() {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  return {Fd(fds[0]), Fd(fds[1])};
}

Fd open_socket(int family, int type, int protocol, bool nonblocking) {
  return Fd(::socket(family, type | SOCK_CLOEXEC | (nonblocking ? SOCK_NONBLOCK : 0), protocol));
}

Fd accept_connection(int listener) {
  return Fd(::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC));
}

std::unique_lock<std::shared_mutex> lock_descriptors_for_spawn() {
  return {};  // every descriptor is close-on-exec from its creation
}

Event::Event() : read_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
  if (!read_) throw std::system_error(errno, std::generic_category(), "eventfd");
}

void Event::signal() const {
  const int saved = errno;
  const std::uint64_t one = 1;
  while (::write(read_.get(), &one, sizeof one) < 0 && errno == EINTR) {
  }
  errno = saved;
}

void Event::clear() const {
  std::uint64_t count;
  while (::read(read_.get(), &count, sizeof count) < 0 && errno == EINTR) {
  }
}

Readiness wait_readable(int fd, int wake_fd, int timeout_ms) {
  pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
  const int ready = ::poll(fds, 2, timeout_ms);
  if (ready < 0 && errno == EINTR) return Readiness::woken;
  if (ready < 0) throw std::system_error(errno, std::generic_category(), "poll");
  if (ready == 0) return Readiness::timed_out;
  return fds[0].revents ? Readiness::ready : Readiness::woken;
}

Fd watch_exit(pid_t pid) {
  // Linux 5.3; refused by older kernels and some seccomp filters.
  return Fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

void discard_pending_sigpipe() {
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  const timespec no_wait{};
  while (::sigtimedwait(&pipe_signal, nullptr, &no_wait) < 0 && errno == EINTR) {
  }
}

std::filesystem::path executable_path() {
  std::error_code error;
  auto path = std::filesystem::read_symlink("/proc/self/exe", error);
  return error ? std::filesystem::path() : path;
}

char** environment() {
  return environ;
}

}  // namespace tarvo::core::os
