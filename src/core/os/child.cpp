#include "core/os/child.hpp"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

#include "core/os/os.hpp"

namespace tarvo::core::os {

namespace {

using std::chrono::milliseconds;

// Where the system cannot tell us when a child exits, waits look this often at most.
constexpr milliseconds kLongestLook{20};

// posix_spawn's file actions and attributes, released in every case.
class SpawnSetup {
 public:
  SpawnSetup() {
    posix_spawn_file_actions_init(&actions_);
    posix_spawnattr_init(&attributes_);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions_);
    posix_spawnattr_destroy(&attributes_);
  }
  SpawnSetup(const SpawnSetup&) = delete;
  SpawnSetup& operator=(const SpawnSetup&) = delete;
  posix_spawn_file_actions_t* actions() { return &actions_; }
  posix_spawnattr_t* attributes() { return &attributes_; }

 private:
  posix_spawn_file_actions_t actions_;
  posix_spawnattr_t attributes_;
};

// Connects the child's descriptor `target` as asked; returns this process's end of a
// pipe, if one was asked for.
Fd connect_stream(SpawnSetup& setup, SpawnOptions::Stream mode, int target, Pipe& child_side) {
  switch (mode) {
    case SpawnOptions::Stream::inherit:
      return Fd();
    case SpawnOptions::Stream::null:
      posix_spawn_file_actions_addopen(setup.actions(), target, "/dev/null",
                                       target == STDIN_FILENO ? O_RDONLY : O_WRONLY, 0);
      return Fd();
    case SpawnOptions::Stream::pipe:
      break;
  }
  Pipe pipe = make_pipe();
  const bool child_reads = target == STDIN_FILENO;
  Fd& child_end = child_reads ? pipe.read : pipe.write;
  posix_spawn_file_actions_adddup2(setup.actions(), child_end.get(), target);
  (child_reads ? child_side.read : child_side.write) = std::move(child_end);
  return std::move(child_reads ? pipe.write : pipe.read);
}

// The child starts with no blocked signals, and with SIGPIPE (and, in a group of its
// own, the signals that end it) at their defaults, whatever this process did with them.
void set_signals(SpawnSetup& setup, bool own_process_group) {
  sigset_t none, defaults;
  sigemptyset(&none);
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);
  short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
  if (own_process_group) {
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    sigaddset(&defaults, SIGHUP);
    posix_spawnattr_setpgroup(setup.attributes(), 0);
    flags |= POSIX_SPAWN_SETPGROUP;
  }
  posix_spawnattr_setsigmask(setup.attributes(), &none);
  posix_spawnattr_setsigdefault(setup.attributes(), &defaults);
  posix_spawnattr_setflags(setup.attributes(), flags);
}

std::vector<char*> pointers(std::vector<std::string>& texts) {
  std::vector<char*> result;
  result.reserve(texts.size() + 1);
  for (auto& text : texts)
    result.push_back(text.data());
  result.push_back(nullptr);
  return result;
}

}  // namespace

ExitStatus ExitStatus::from_wait(int raw) {
  if (WIFEXITED(raw)) return {How::exited, WEXITSTATUS(raw)};
  if (WIFSIGNALED(raw)) return {How::signaled, WTERMSIG(raw)};
  return {};
}

int ExitStatus::shell_code() const {
  switch (how) {
    case How::exited:
      return value;
    case How::signaled:
      return 128 + value;
    case How::unknown:
      break;
  }
  return 1;
}

Child::Child(const SpawnOptions& options) : own_group_(options.own_process_group) {
  if (options.argv.empty()) throw std::invalid_argument("a child process needs a program");
  SpawnSetup setup;
  Pipe child_side[3];  // the child's ends, closed here once it has them
  in_ = connect_stream(setup, options.in, STDIN_FILENO, child_side[0]);
  out_ = connect_stream(setup, options.out, STDOUT_FILENO, child_side[1]);
  err_ = connect_stream(setup, options.err, STDERR_FILENO, child_side[2]);
  std::string directory;
  if (options.directory) {
    directory = options.directory->string();
    posix_spawn_file_actions_addchdir_np(setup.actions(), directory.c_str());
  }
  set_signals(setup, options.own_process_group);

  std::vector<std::string> argv = options.argv;
  auto args = pointers(argv);
  std::vector<std::string> entries;
  std::vector<char*> env;
  if (options.environment) {
    entries = *options.environment;
    env = pointers(entries);
  }
  int error = 0;
  {
    auto lock = lock_descriptors_for_spawn();
    error = posix_spawnp(&pid_, args.front(), setup.actions(), setup.attributes(), args.data(),
                         options.environment ? env.data() : environment());
  }
  if (error != 0) {
    pid_ = -1;
    throw std::system_error(error, std::generic_category(), "posix_spawn");
  }
  exit_watch_ = watch_exit(pid_);
}

Child::Child(Child&& other) noexcept
    : pid_(std::exchange(other.pid_, -1)),
      own_group_(other.own_group_),
      reaped_(other.reaped_),
      status_(other.status_),
      in_(std::move(other.in_)),
      out_(std::move(other.out_)),
      err_(std::move(other.err_)),
      exit_watch_(std::move(other.exit_watch_)) {}

Child::~Child() {
  if (pid_ > 0 && !reaped_) end(milliseconds(0), kTermGrace);
}

bool Child::has_exited() const {
  if (reaped_ || pid_ <= 0) return true;
  siginfo_t info{};
  int result;
  while ((result = ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT)) !=
             0 &&
         errno == EINTR) {
  }
  if (result != 0) return errno == ECHILD;  // reaped behind our back: gone all the same
  // Some systems report a stopped child here too; only an end counts.
  return info.si_pid == pid_ &&
         (info.si_code == CLD_EXITED || info.si_code == CLD_KILLED || info.si_code == CLD_DUMPED);
}

bool Child::wait_exit(std::optional<Clock::time_point> deadline, int wake_fd) const {
  milliseconds look{1};
  for (;;) {
    if (has_exited()) return true;
    int timeout = -1;
    if (deadline) {
      const auto left = std::chrono::ceil<milliseconds>(*deadline - Clock::now());
      if (left.count() <= 0) return false;
      timeout = static_cast<int>(left.count());
    }
    if (!exit_watch_) {
      // Nothing to wait on: look again soon, then less and less often.
      timeout = timeout < 0 ? static_cast<int>(look.count())
                            : std::min(timeout, static_cast<int>(look.count()));
      look = std::min(look * 2, kLongestLook);
    }
    pollfd fds[2] = {{exit_watch_ ? exit_watch_.get() : -1, POLLIN, 0}, {wake_fd, POLLIN, 0}};
    const int ready = ::poll(fds, 2, timeout);
    if (ready > 0 && fds[1].revents) return has_exited();
    if (ready < 0 && errno != EINTR) std::this_thread::sleep_for(kLongestLook);
  }
}

ExitStatus Child::reap() {
  if (reaped_ || pid_ <= 0) return status_;
  if (own_group_) {
    // The exited leader still holds the group's id: helpers it left behind go now.
    wait_exit(std::nullopt);
    ::kill(-pid_, SIGKILL);
  }
  int raw = 0;
  pid_t reaped;
  while ((reaped = ::waitpid(pid_, &raw, 0)) < 0 && errno == EINTR) {
  }
  reaped_ = true;
  status_ = reaped == pid_ ? ExitStatus::from_wait(raw) : ExitStatus{};
  exit_watch_.reset();
  return status_;
}

void Child::kill(int signal) const {
  if (reaped_ || pid_ <= 0) return;
  ::kill(own_group_ ? -pid_ : pid_, signal);
}

ExitStatus Child::end(milliseconds grace, milliseconds term_grace) {
  if (reaped_ || pid_ <= 0) return status_;
  if (!wait_exit(Clock::now() + grace)) {
    kill(SIGTERM);
    if (!wait_exit(Clock::now() + term_grace)) kill(SIGKILL);
  }
  return reap();
}

}  // namespace tarvo::core::os
