#include "core/process.hpp"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "core/fd.hpp"
#include "core/interrupt.hpp"
#include "core/os/child.hpp"
#include "core/os/os.hpp"

namespace tarvo::core::process {
namespace {

// write(2) to a pipe without SIGPIPE: a child that stops reading its input ends
// the feeding (EPIPE), never this process.
ssize_t write_without_sigpipe(int fd, std::string_view data) {
  sigset_t pipe_signal, saved;
  sigemptyset(&pipe_signal);
  sigaddset(&pipe_signal, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_signal, &saved);
  const ssize_t n = ::write(fd, data.data(), data.size());
  const int error = errno;
  if (n < 0 && error == EPIPE) os::discard_pending_sigpipe();
  pthread_sigmask(SIG_SETMASK, &saved, nullptr);
  errno = error;
  return n;
}

os::SpawnOptions::Stream spawn_stream(Stream mode) {
  switch (mode) {
    case Stream::inherit:
      return os::SpawnOptions::Stream::inherit;
    case Stream::discard:
      return os::SpawnOptions::Stream::null;
    case Stream::capture:
      break;
  }
  return os::SpawnOptions::Stream::pipe;
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
  for (char** entry = os::environment(); entry && *entry; ++entry) {
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

  os::SpawnOptions spawn;
  spawn.argv = argv;
  spawn.argv.front() = *resolved;
  if (options.environment) spawn.environment = flatten(*options.environment);
  spawn.in = options.input ? os::SpawnOptions::Stream::pipe : os::SpawnOptions::Stream::inherit;
  spawn.out = spawn_stream(options.out);
  spawn.err = spawn_stream(options.err);
  std::optional<os::Child> started;
  try {
    started.emplace(spawn);
  } catch (const std::system_error& error) {
    throw LaunchError(program, std::strerror(error.code().value()));
  }
  os::Child& child = *started;

  Result result;
  std::string_view pending_input = options.input ? std::string_view(*options.input) : "";
  Fd& in = child.in();
  if (in) os::set_nonblocking(in.get());
  if (in && pending_input.empty()) in.reset();

  // Pump the pipes until the child closes them, watching for Ctrl-C.
  for (;;) {
    std::vector<pollfd> fds;
    if (child.out()) fds.push_back({child.out().get(), POLLIN, 0});
    if (child.err()) fds.push_back({child.err().get(), POLLIN, 0});
    if (in) fds.push_back({in.get(), POLLOUT, 0});
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
      if (in && fd.fd == in.get()) {
        const ssize_t n = write_without_sigpipe(fd.fd, pending_input);
        if (n > 0) pending_input.remove_prefix(static_cast<std::size_t>(n));
        if (n < 0 && errno != EAGAIN && errno != EINTR) pending_input = {};
        if (pending_input.empty()) in.reset();
        continue;
      }
      char buffer[65536];
      const ssize_t n = ::read(fd.fd, buffer, sizeof buffer);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      const bool is_out = fd.fd == child.out().get();
      if (n <= 0) {
        (is_out ? child.out() : child.err()).reset();
      } else {
        (is_out ? result.out : result.err).append(buffer, static_cast<std::size_t>(n));
      }
    }
  }

  // Until the child exits; Ctrl-C ends it (the destructor) and throws, when
  // `interruptible`.
  for (;;) {
    if (child.has_exited()) break;
    if (options.interruptible) interrupt::check();
    child.wait_exit(std::nullopt, options.interruptible ? interrupt::wake_fd() : -1);
  }
  result.exit_code = child.reap().shell_code();
  return result;
}

}  // namespace tarvo::core::process
