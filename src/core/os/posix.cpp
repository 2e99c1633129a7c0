// The operating-system layer on any POSIX system, macOS included: descriptors made
// close-on-exec right after they are created (under a lock that spawning waits for),
// a self-pipe for events, select() for terminals (macOS's poll() refuses devices),
// and no exit descriptor, so that waits for a child poll waitpid.
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <system_error>

#if defined(__APPLE__)
#include <crt_externs.h>
#include <mach-o/dyld.h>
#else
extern char** environ;
#endif

#include "core/os/os.hpp"

namespace tarvo::core::os {

namespace {

std::shared_mutex& descriptor_lock() {
  static std::shared_mutex lock;
  return lock;
}

void set_close_on_exec(int fd) {
  const int flags = ::fcntl(fd, F_GETFD);
  if (flags >= 0) ::fcntl(fd, F_SETFD, flags | FD_CLOEXEC);
}

void set_no_sigpipe([[maybe_unused]] int fd) {
#ifdef SO_NOSIGPIPE
  const int yes = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &yes, sizeof yes);
#endif
}

}  // namespace

Pipe make_pipe() {
  int fds[2];
  std::shared_lock lock(descriptor_lock());
  if (::pipe(fds) != 0) throw std::system_error(errno, std::generic_category(), "pipe");
  set_close_on_exec(fds[0]);
  set_close_on_exec(fds[1]);
  return {Fd(fds[0]), Fd(fds[1])};
}

Fd open_socket(int family, int type, int protocol, bool nonblocking) {
  std::shared_lock lock(descriptor_lock());
  Fd socket(::socket(family, type, protocol));
  if (!socket) return socket;
  set_close_on_exec(socket.get());
  set_no_sigpipe(socket.get());
  if (nonblocking) set_nonblocking(socket.get());
  return socket;
}

Fd accept_connection(int listener) {
  std::shared_lock lock(descriptor_lock());
  Fd socket(::accept(listener, nullptr, nullptr));
  if (!socket) return socket;
  set_close_on_exec(socket.get());
  set_no_sigpipe(socket.get());
  // The BSDs hand down the listener's O_NONBLOCK; Linux does not.
  set_nonblocking(socket.get(), false);
  return socket;
}

std::unique_lock<std::shared_mutex> lock_descriptors_for_spawn() {
  return std::unique_lock(descriptor_lock());
}

Event::Event() {
  auto [read, write] = make_pipe();
  set_nonblocking(read.get());
  set_nonblocking(write.get());
  read_ = std::move(read);
  write_ = std::move(write);
}

void Event::signal() const {
  // A full pipe is readable already: nothing is lost when this write fails.
  const int saved = errno;
  const char byte = 1;
  while (::write(write_.get(), &byte, 1) < 0 && errno == EINTR) {
  }
  errno = saved;
}

void Event::clear() const {
  char buffer[64];
  for (;;) {
    const ssize_t n = ::read(read_.get(), buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
  }
}

Readiness wait_readable(int fd, int wake_fd, int timeout_ms) {
  int ready = 0;
  bool fd_ready = false;
  if (fd < FD_SETSIZE && wake_fd < FD_SETSIZE) {
    fd_set readable;
    FD_ZERO(&readable);
    FD_SET(fd, &readable);
    if (wake_fd >= 0) FD_SET(wake_fd, &readable);
    timeval limit{timeout_ms / 1000, static_cast<suseconds_t>(timeout_ms % 1000 * 1000)};
    ready = ::select(std::max(fd, wake_fd) + 1, &readable, nullptr, nullptr,
                     timeout_ms < 0 ? nullptr : &limit);
    fd_ready = ready > 0 && FD_ISSET(fd, &readable);
  } else {
    // Beyond select()'s reach; such descriptors are never terminals here.
    pollfd fds[2] = {{fd, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    ready = ::poll(fds, 2, timeout_ms);
    fd_ready = ready > 0 && fds[0].revents;
  }
  if (ready < 0 && errno == EINTR) return Readiness::woken;
  if (ready < 0) throw std::system_error(errno, std::generic_category(), "select");
  if (ready == 0) return Readiness::timed_out;
  return fd_ready ? Readiness::ready : Readiness::woken;
}

Fd watch_exit(pid_t) {
  return Fd();
}

void discard_pending_sigpipe() {
  sigset_t pending;
  if (sigpending(&pending) != 0 || !sigismember(&pending, SIGPIPE)) return;
  sigset_t pipe_signal;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  int taken = 0;
  sigwait(&pipe_signal, &taken);
}

#if defined(__APPLE__)

std::filesystem::path executable_path() {
  std::uint32_t size = 0;
  _NSGetExecutablePath(nullptr, &size);
  std::string path(size, '\0');
  if (_NSGetExecutablePath(path.data(), &size) != 0) return {};
  path.resize(std::strlen(path.c_str()));
  std::error_code error;
  auto real = std::filesystem::canonical(path, error);
  return error ? std::filesystem::path() : real;
}

// A shared library cannot link against environ there; the C library hands it out.
char** environment() {
  return *_NSGetEnviron();
}

#else

namespace {

// Elsewhere argv[0] is what there is, looked up as the shell looked it up, once,
// before main() could change the directory. The C library passes the program's
// arguments to initialisers (glibc does, and the BSDs' libcs). A plain array: it is
// written before any constructor of this file could run, and never again.
char g_executable[PATH_MAX];

bool is_executable_file(const std::string& path) {
  return ::access(path.c_str(), X_OK) == 0;
}

__attribute__((constructor)) void remember_executable(int argc, char** argv, char**) {
  if (argc < 1 || !argv || !argv[0] || !*argv[0]) return;
  std::string program = argv[0];
  if (program.find('/') == std::string::npos) {
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    std::string found;
    for (std::size_t start = 0; found.empty() && start <= dirs.size();) {
      auto colon = dirs.find(':', start);
      if (colon == std::string::npos) colon = dirs.size();
      std::string dir = dirs.substr(start, colon - start);
      const std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
      if (is_executable_file(candidate)) found = candidate;
      start = colon + 1;
    }
    if (found.empty()) return;
    program = found;
  }
  if (!::realpath(program.c_str(), g_executable)) g_executable[0] = '\0';
}

}  // namespace

std::filesystem::path executable_path() {
  return g_executable;
}

char** environment() {
  return environ;
}

#endif

}  // namespace tarvo::core::os
