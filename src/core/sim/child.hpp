#pragma once
// A simulator program as a child process: requests go to its standard input, one
// line each, and replies come back from its standard output, one line each. Its
// standard error is passed to the logger line by line. The child runs in its own
// process group (so Ctrl-C at the terminal reaches tarvo, not the simulator) and the
// whole group is ended with the object.
#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "core/fd.hpp"

namespace tarvo::core::sim {

class ChildProcess {
 public:
  // Starts `command` in `dir`; throws SessionError when it cannot be started.
  ChildProcess(const std::vector<std::string>& command, const std::filesystem::path& dir,
               std::string log_name);
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Writes `request` (one line, newline included) and returns the next line of
  // output, without its newline. Throws SessionError when the child exits, stays
  // silent past `timeout`, or `cancel_fd` becomes readable.
  std::string_view exchange(std::string_view request, std::chrono::milliseconds timeout,
                            int cancel_fd);

  // Ends the child: closes its input, gives it `grace` to exit, then terminates the
  // group. Idempotent.
  void finish(std::chrono::milliseconds grace);

 private:
  void write_all(std::string_view data, std::chrono::steady_clock::time_point deadline,
                 int cancel_fd);
  // Waits for one of our descriptors; returns false on time-out.
  bool wait(short out_events, std::chrono::steady_clock::time_point deadline, int cancel_fd);
  bool wait_for_output(std::chrono::steady_clock::time_point deadline, int cancel_fd);
  void drain_stderr();
  [[noreturn]] void fail_exited(const std::string& what);
  int reap(std::chrono::milliseconds grace);

  pid_t pid_ = -1;
  bool reaped_ = false;
  int status_ = 0;
  Fd pidfd_;
  Fd in_;
  Fd out_;
  Fd err_;
  Fd epoll_;  // out_, err_ and the cancel descriptor, for the wait for a reply
  int watched_cancel_fd_ = -1;
  std::string log_name_;
  std::string out_buffer_;
  std::size_t out_start_ = 0;  // first byte of out_buffer_ not yet handed out
  std::string err_buffer_;
  std::string last_err_line_;
};

}  // namespace tarvo::core::sim
