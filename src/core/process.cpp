#include "core/process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
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
  if (pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
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

// A started child; the destructor terminates and reaps it if nobody waited.
class Child {
 public:
  explicit Child(pid_t pid) : pid_(pid) {}
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      wait();
    }
  }
  int wait() {
    int status = 0;
    while (waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
    return decode(status);
  }
  // The exit code once the child has ended, without blocking.
  std::optional<int> try_wait() {
    int status = 0;
    if (waitpid(pid_, &status, WNOHANG) != pid_) return std::nullopt;
    pid_ = -1;
    return decode(status);
  }

 private:
  static int decode(int status) {
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return 1;
  }
  pid_t pid_;
};

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
  for (const auto& [key, value] : environment) entries.push_back(key + "=" + value);
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

std::optional<std::string> find_program(const std::string& program) {
  if (program.find('/') != std::string::npos) {
    if (access(program.c_str(), X_OK) == 0) return program;
    return std::nullopt;
  }
  const char* path = std::getenv("PATH");
  std::string_view dirs = path ? path : "/usr/local/bin:/usr/bin:/bin";
  while (true) {
    const auto colon = dirs.find(':');
    std::string dir(dirs.substr(0, colon));
    if (dir.empty()) dir = ".";
    const std::string candidate = dir + "/" + program;
    struct stat info {};
    if (stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) &&
        access(candidate.c_str(), X_OK) == 0)
      return candidate;
    if (colon == std::string_view::npos) return std::nullopt;
    dirs.remove_prefix(colon + 1);
  }
}

Result run(const std::vector<std::string>& argv, const Options& options) {
  if (argv.empty()) throw std::invalid_argument("process::run needs a program");
  const std::string& program = argv.front();

  // Resolve against the PATH the child would get, so a chosen environment is honoured.
  std::optional<std::string> resolved;
  if (options.environment && program.find('/') == std::string::npos) {
    auto it = options.environment->find("PATH");
    std::string saved = std::getenv("PATH") ? std::getenv("PATH") : "";
    if (it != options.environment->end()) setenv("PATH", it->second.c_str(), 1);
    resolved = find_program(program);
    setenv("PATH", saved.c_str(), 1);
  } else {
    resolved = find_program(program);
  }
  if (!resolved) {
    if (program.find('/') != std::string::npos && std::filesystem::exists(program))
      throw LaunchError(program, "permission denied");
    throw LaunchError(program, "program not found");
  }

  FileActions actions;
  std::optional<Pipe> out_pipe, err_pipe, in_pipe;
  setup_stream(actions, options.out, STDOUT_FILENO, out_pipe);
  setup_stream(actions, options.err, STDERR_FILENO, err_pipe);
  if (options.input) {
    in_pipe = make_pipe();
    posix_spawn_file_actions_adddup2(actions.get(), in_pipe->read.get(), STDIN_FILENO);
  }

  std::vector<char*> args;
  for (const auto& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
  args.push_back(nullptr);
  std::vector<std::string> env_entries;
  std::vector<char*> env;
  if (options.environment) {
    env_entries = flatten(*options.environment);
    for (auto& entry : env_entries) env.push_back(entry.data());
    env.push_back(nullptr);
  }

  pid_t pid = 0;
  const int error = posix_spawn(&pid, resolved->c_str(), actions.get(), nullptr, args.data(),
                                options.environment ? env.data() : environ);
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
    if (interrupt::wake_fd() >= 0) fds.push_back({interrupt::wake_fd(), POLLIN, 0});
    interrupt::check();
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      throw std::runtime_error(std::string("poll: ") + std::strerror(errno));
    }
    for (const auto& fd : fds) {
      if (!fd.revents || fd.fd == interrupt::wake_fd()) continue;
      if (in_pipe && fd.fd == in_pipe->write.get()) {
        const ssize_t n = ::write(fd.fd, pending_input.data(), pending_input.size());
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

  // Wait for the exit, still answering Ctrl-C.
  for (;;) {
    if (auto code = child.try_wait()) {
      result.exit_code = *code;
      break;
    }
    interrupt::check();
    pollfd fd{interrupt::wake_fd(), POLLIN, 0};
    poll(&fd, interrupt::wake_fd() >= 0 ? 1 : 0, 20);
  }
  return result;
}

}  // namespace tarvo::core::process
