#pragma once
// A simulator process behind two pipes, for the bare relays: each call goes to it as a
// line and its reply line comes back, with nothing else on the way (no checks, no
// sessions, no JSON).
#include <fcntl.h>
#include <spawn.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>
#include <string>
#include <string_view>

#include "core/fd.hpp"
#include "http_wire.hpp"

extern char** environ;

namespace tarvo::bench {

// The simulator to relay to: its directory and the program started there.
struct SimulatorCommand {
  std::string dir;
  std::string program;
};

// One simulator process; it ends when its input closes with the object.
class SimulatorPipe {
 public:
  explicit SimulatorPipe(const SimulatorCommand& command) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0) throw std::runtime_error("cannot create a pipe");
    core::Fd in_read(in[0]);
    in_.reset(in[1]);
    if (pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error("cannot create a pipe");
    core::Fd out_write(out[1]);
    out_.reset(out[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in_read.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, out_write.get(), 1);
    posix_spawn_file_actions_addchdir_np(&actions, command.dir.c_str());
    std::string program = command.program;
    char* argv[] = {program.data(), nullptr};
    pid_t pid;
    int error = posix_spawnp(&pid, program.c_str(), &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start the simulator");
  }

  // Sends the step call with `args` (a JSON object) and returns the reply line.
  std::string_view step(std::string_view args) {
    request_.assign(R"({"method":"step",)").append(args.substr(1)).append("\n");
    if (!write_all(in_.get(), request_)) throw std::runtime_error("the simulator left");
    line_.erase(0, taken_);
    taken_ = 0;
    std::size_t end;
    while ((end = line_.find('\n')) == std::string::npos) {
      char chunk[4096];
      ssize_t n = ::read(out_.get(), chunk, sizeof chunk);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) throw std::runtime_error("the simulator left");
      line_.append(chunk, static_cast<std::size_t>(n));
    }
    taken_ = end + 1;
    return std::string_view(line_).substr(0, end);
  }

 private:
  core::Fd in_;
  core::Fd out_;
  std::string request_;
  std::string line_;
  std::size_t taken_ = 0;
};

}  // namespace tarvo::bench
