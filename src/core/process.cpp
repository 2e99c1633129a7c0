#include "core/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>

#include "core/fd.hpp"
#include "core/interrupt.hpp"

extern char** environ;

namespace tarvo::core::process {
namespace {

struct Pipe {
  Fd read, write;
};

Pipe make_pipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC) != 0)
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  return {Fd(fds[0]), Fd(fds[1])};
}

// posix_spawn's file actions, released in every case.
class FileActions {
 public:
  FileActions() { posix_spawn_file_actions_init(&actions_); }
  ~FileActions() { posix_spawn_file_actions_destroy(&actions_); }
  posix_spawn_file_actions_t* get() { return &actions_; }

 private:
  posix_spawn_file_actions_t actions_;
};

// How long a child gets to end after SIGTERM before it is killed outright.
constexpr int kTerminateGraceMs = 2000;

// A descriptor that becomes readable when the child ends (Linux 5.3); invalid
// where the kernel or a seccomp filter refuses it, and then waits poll instead.
Fd open_pidfd(pid_t pid) {
  return Fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));
}

// A started child; the destructor terminates and reaps it if nobody waited.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid), pidfd_(open_pidfd(pid)) {}
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (!wait_for(kTerminateGraceMs)) {
      ::kill(pid_, SIGKILL);
      wait_for(-1);
    }
  }

  // Waits for the exit, throwing Interrupted as soon as the user interrupts (when
  // `interruptible`).
  int wait_interruptibly(bool interruptible) {
    for (;;) {
      if (auto code = try_wait()) return *code;
      if (interruptible) interrupt::check();
      pollfd fds[2];
      nfds_t count = 0;
      if (pidfd_) fds[count++] = {pidfd_.get(), POLLIN, 0};
      if (interruptible && interrupt::wake_fd() >= 0)
        fds[count++] = {interrupt::wake_fd(), POLLIN, 0};
      ::poll(fds, count, pidfd_ ? -1 : 20);
    }
  }

 private:
  // Reaps the child within `ms` milliseconds (-1: however long it takes).
  bool wait_for(int ms) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      if (try_wait()) return true;
      int left = 20;
      if (ms >= 0) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) return false;
        left =
            static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count());
      }
      pollfd fd{pidfd_.get(), POLLIN, 0};
      ::poll(&fd, pidfd_ ? 1 : 0, pidfd_ ? left : std::min(left, 20));
    }
  }
  // The exit code once the child has ended, without blocking.
  std::optional<int> try_wait() {
    int status = 0;
    pid_t reaped;
    while ((reaped = ::waitpid(pid_, &status, WNOHANG)) < 0 && errno == EINTR) {
    }
    if (reaped != pid_) return std::nullopt;
    pid_ = -1;
    return decode(status);
  }
  static int decode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
  }
  pid_t pid_;
  Fd pidfd_;
};

// posix_spawn's attributes: the child starts with no blocked signals and with
// SIGPIPE at its default, whatever this process did with them.
class SpawnAttributes {
 public:
  SpawnAttributes() {
    posix_spawnattr_init(&attributes_);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    posix_spawnattr_setsigmask(&attributes_, &none);
    posix_spawnattr_setsigdefault(&attributes_, &defaults);
    posix_spawnattr_setflags(&attributes_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  }
  ~SpawnAttributes() { posix_spawnattr_destroy(&attributes_); }
  SpawnAttributes(const SpawnAttributes&) = delete;
  SpawnAttributes& operator=(const SpawnAttributes&) = delete;
  const posix_spawnattr_t* get() const { return &attributes_; }

 private:
  posix_spawnattr_t attributes_;
};

// write(2) to a pipe without SIGPIPE: a child that stops reading its input ends
// the feeding (EPIPE), never this process.
ssize_t write_without_sigpipe(int fd, std::string_view data) {
  sigset_t pipe_signal, saved;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &saved);
  const ssize_t n = ::write(fd, data.data(), data.size());
  const int error = errno;
  if (n < 0 && error == EPIPE) {
    const timespec no_wait{};
    while (sigtimedwait(&pipe_signal, nullptr, &no_wait) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  errno = error;
  return n;
}

void setup_stream(FileActions& actions, Stream mode, int target, std::optional<Pipe>& pipe) {
  switch (mode) {
    case Stream::inherit:
      break;
    case Stream::discard:
      posix_spawn_file_actions_addopen(actions.get(), target, "/dev/null", O_WRONLY, 0);
      break;
    case Stream::capture:
      pipe = make_pipe();
      posix_spawn_file_actions_adddup2(actions.get(), pipe->write.get(), target);
      break;
  }
}

std::vector<std::string> flatten(const Environment& environment) {
  std::vector<std::string> entries;
  entries.reserve(environment.size());
  for (const auto& [key, value] : environment)
    entries.push_back(key + "=" + value);
  return entries;
}

}  // namespace

LaunchError::LaunchError(std::string program, std::string reason)
    : std::runtime_error("cannot run " + program + ": " + reason), program_(std::move(program)) {}

Environment current_environment() {
  Environment environment;
  for (char** entry = environ; entry && *entry; ++entry) {
    std::string_view text(*entry);
    const auto equals = text.find('=');
    if (equals == std::string_view::npos) continue;
    environment.emplace(std::string(text.substr(0, equals)), std::string(text.substr(equals + 1)));
  }
  return environment;
}

namespace {

bool is_executable_file(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
         ::access(path.c_str(), X_OK) == 0;
}

// Each candidate `program` would be run as, in PATH order.
template <typename Visit>
std::optional<std::string> search_path(const std::string& program, std::string_view dirs,
                                       Visit visit) {
  for (;;) {
    const auto colon = dirs.find(':');
    std::string dir(dirs.substr(0, colon));
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + program;
    if (visit(candidate)) return candidate;
    if (colon == std::string_view::npos) return std::nullopt;
    dirs.remove_prefix(colon + 1);
  }
}

constexpr const char* kDefaultPath = "/usr/local/bin:/usr/bin:/bin";

std::optional<std::string> find_in(const std::string& program, std::string_view dirs) {
  if (program.find('/') != std::string::npos) {
    if (::access(program.c_str(), X_OK) == 0) return program;
    return std::nullopt;
  }
  return search_path(program, dirs, is_executable_file);
}

// Why `program` cannot be started, for the launch error.
std::string why_not_found(const std::string& program, std::string_view dirs) {
  std::error_code ignored;
  if (program.find('/') != std::string::npos)
    return std::filesystem::exists(program, ignored) ? "permission denied" : "program not found";
  const auto present = search_path(program, dirs, [](const std::string& candidate) {
    std::error_code ignored;
    return std::filesystem::is_regular_file(candidate, ignored);
  });
  return present ? "permission denied (" + *present + " is not executable)" : "program not found";
}

}  // namespace

std::optional<std::string> find_program(const std::string& program) {
  const char* path = std::getenv("PATH");
  return find_in(program, path ? path : kDefaultPath);
}

Result run(const std::vector<std::string>& argv, const Options& options) {
  if (argv.empty()) throw std::invalid_argument("process::run needs a program");
  const std::string& program = argv.front();

  // Resolve against the PATH the child will get, so a chosen environment is honoured.
  const char* own_path = std::getenv("PATH");
  std::string_view dirs = own_path ? own_path : kDefaultPath;
  if (options.environment) {
    if (auto it = options.environment->find("PATH"); it != options.environment->end())
      dirs = it->second;
  }
  const auto resolved = find_in(program, dirs);
  if (!resolved) throw LaunchError(program, why_not_found(program, dirs));

  FileActions actions;
  std::optional<Pipe> out_pipe, err_pipe, in_pipe;
  setup_stream(actions, options.out, STDOUT_FILENO, out_pipe);
  setup_stream(actions, options.err, STDERR_FILENO, err_pipe);
  if (options.input) {
    in_pipe = make_pipe();
    posix_spawn_file_actions_adddup2(actions.get(), in_pipe->read.get(), STDIN_FILENO);
  }

  std::vector<char*> args;
  for (const auto& arg : argv)
    args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env_entries;
  std::vector<char*> env;
  if (options.environment) {
    env_entries = flatten(*options.environment);
    for (auto& entry : env_entries)
      env.push_back(entry.data());
    env.push_back(nullptr);
  }

  SpawnAttributes attributes;
  pid_t pid = 0;
  const int error = posix_spawn(&pid, resolved->c_str(), actions.get(), attributes.get(),
                                args.data(), options.environment ? env.data() : environ);
  if (error != 0) throw LaunchError(program, std::strerror(error));
  Child child(pid);

  // The child's ends belong to the child now.
  if (out_pipe) out_pipe->write.reset();
  if (err_pipe) err_pipe->write.reset();
  if (in_pipe) in_pipe->read.reset();

  Result result;
  std::string_view pending_input = options.input ? std::string_view(*options.input) : "";
  if (in_pipe) fcntl(in_pipe->write.get(), F_SETFL, O_NONBLOCK);
  if (in_pipe && pending_input.empty()) in_pipe->write.reset();

  // Pump the pipes until the child closes them, watching for Ctrl-C.
  for (;;) {
    std::vector<pollfd> fds;
    if (out_pipe && out_pipe->read.get() >= 0) fds.push_back({out_pipe->read.get(), POLLIN, 0});
    if (err_pipe && err_pipe->read.get() >= 0) fds.push_back({err_pipe->read.get(), POLLIN, 0});
    if (in_pipe && in_pipe->write.get() >= 0) fds.push_back({in_pipe->write.get(), POLLOUT, 0});
    if (fds.empty()) break;
    if (options.interruptible) {
      if (interrupt::wake_fd() >= 0) fds.push_back({interrupt::wake_fd(), POLLIN, 0});
      interrupt::check();
    }
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
    }
    for (const auto& fd : fds) {
      if (!fd.revents || fd.fd == interrupt::wake_fd()) continue;
      if (in_pipe && fd.fd == in_pipe->write.get()) {
        const ssize_t n = write_without_sigpipe(fd.fd, pending_input);
        if (n > 0) pending_input.remove_prefix(static_cast<std::size_t>(n));
        if (n < 0 && errno != EAGAIN && errno != EINTR) pending_input = {};
        if (pending_input.empty()) in_pipe->write.reset();
        continue;
      }
      char buffer[65536];
      const ssize_t n = ::read(fd.fd, buffer, sizeof buffer);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      const bool is_out = out_pipe && fd.fd == out_pipe->read.get();
      Pipe& pipe = is_out ? *out_pipe : *err_pipe;
      if (n <= 0) {
        pipe.read.reset();
      } else {
        (is_out ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      }
    }
  }

  result.exit_code = child.wait_interruptibly(options.interruptible);
  return result;
}

}  // namespace tarvo::core::process
