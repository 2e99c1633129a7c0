#pragma once
// What the simulator commands' end-to-end tests share: running `tarvo` in a chosen
// folder, `tarvo sim run` in the background, free loopback ports, the example
// simulators, and a private network for the fixed default port.
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sched.h>
#include <signal.h>
#include <spawn.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/fd.hpp"
#include "harness.hpp"
#include "private_network.hpp"

namespace tarvo::test::sim {

namespace fs = std::filesystem;

inline fs::path example(const std::string& name) {
  return fs::path(TARVO_SOURCE_DIR) / "examples" / name;
}

inline std::string read_file(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

inline void write_file(const fs::path& path, const std::string& text) {
  std::ofstream(path) << text;
}

// Runs `tarvo args...` with `dir` as its working folder.
inline core::process::Result run_in(Session& session, const fs::path& dir,
                                    std::vector<std::string> args, std::string input = {}) {
  args.insert(args.begin(), {"env", "-C", dir.string(), tarvo_binary().string()});
  core::process::Options options;
  options.environment = session.env();
  options.out = core::process::Stream::capture;
  options.err = core::process::Stream::capture;
  options.input = std::move(input);
  return core::process::run(args, options);
}

// A port nothing listens on right now.
inline int free_port() {
  core::Fd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (::bind(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("cannot find a free port");
  return ntohs(address.sin_port);
}

inline bool accepts_connections(int port) {
  core::Fd socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// Processes whose working folder is `dir`: the simulators started from it.
inline std::vector<pid_t> processes_in(const fs::path& dir) {
  std::vector<pid_t> found;
  const auto wanted = fs::canonical(dir);
  std::error_code error;
  for (const auto& entry : fs::directory_iterator("/proc", error)) {
    const auto name = entry.path().filename().string();
    if (name.find_first_not_of("0123456789") != std::string::npos) continue;
    std::error_code ignored;
    if (fs::read_symlink(entry.path() / "cwd", ignored) == wanted) found.push_back(std::stoi(name));
  }
  return found;
}

// `tarvo args...` running in the background, output kept in files; killed and reaped
// with the object if it is still running.
class Background {
 public:
  Background(Session& session, const fs::path& dir, const std::vector<std::string>& args)
      : out_(output_.path() / "out"), err_(output_.path() / "err") {
    std::vector<std::string> argv = {tarvo_binary().string()};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> environment;
    for (const auto& [key, value] : session.env())
      environment.push_back(key + "=" + value);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, out_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, err_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addchdir_np(&actions, dir.c_str());
    const int error = posix_spawn(&pid_, argv[0].c_str(), &actions, nullptr, pointers(argv).data(),
                                  pointers(environment).data());
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) throw std::runtime_error("cannot start tarvo: " + std::string(strerror(error)));
  }
  ~Background() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      int status;
      ::waitpid(pid_, &status, 0);
    }
  }
  Background(const Background&) = delete;
  Background& operator=(const Background&) = delete;

  // Waits until `port` accepts connections; false if tarvo ended first or it took
  // unreasonably long.
  bool wait_for_port(int port) {
    for (int i = 0; i < 600; ++i) {
      if (accepts_connections(port)) return true;
      if (finished()) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  void interrupt() const { signal(SIGINT); }
  void signal(int number) const { ::kill(pid_, number); }

  // The exit code (128 + signal when killed); nothing if still running after a minute.
  std::optional<int> wait() {
    for (int i = 0; i < 1200 && !finished(); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    return exit_code_;
  }

  std::string out() const { return read_file(out_); }
  std::string err() const { return read_file(err_); }

 private:
  static std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> result;
    for (auto& text : texts)
      result.push_back(text.data());
    result.push_back(nullptr);
    return result;
  }

  bool finished() {
    if (exit_code_) return true;
    int status;
    if (::waitpid(pid_, &status, WNOHANG) != pid_) return false;
    pid_ = -1;
    exit_code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return true;
  }

  ScratchDir output_;
  fs::path out_, err_;
  pid_t pid_ = -1;
  std::optional<int> exit_code_;
};

}  // namespace tarvo::test::sim
