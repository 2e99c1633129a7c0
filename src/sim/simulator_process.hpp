#pragma once
// A simulator program as a child process: requests go to its standard input, one
// line each, and replies come back from its standard output, one line each. Its
// standard error is passed to the logger line by line (child_watch.hpp). The child
// runs in its own process group (so Ctrl-C at the terminal reaches tarvo, not the
// simulator) and the whole group is ended with the object.
#include <chrono>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/fd.hpp"
#include "core/os/child.hpp"
#include "sim/child_watch.hpp"

namespace tarvo::sim {

class SimulatorProcess {
 public:
  // Starts `command` in `dir`; throws SessionError when it cannot be started.
  // `cancel_fd` (or -1) turns readable once the server shuts down: a call waiting
  // then ends at once.
  SimulatorProcess(const std::vector<std::string>& command, const std::filesystem::path& dir,
                   std::string log_name, int cancel_fd = -1);
  ~SimulatorProcess();
  SimulatorProcess(const SimulatorProcess&) = delete;
  SimulatorProcess& operator=(const SimulatorProcess&) = delete;

  // Writes `request` (one line, newline included, in as many parts as given) and
  // returns the next line of output, without its newline. Throws SessionError when
  // the child exits, stays silent past `timeout`, or the server shuts down.
  std::string_view exchange(std::initializer_list<std::string_view> request,
                            std::chrono::milliseconds timeout);

  // Closes the child's input: a well-behaved simulator starts exiting. finish() then
  // waits for it.
  void close_input() { in_.reset(); }

  // Ends the child: closes its input, gives it `grace` to exit, then terminates the
  // group. Idempotent.
  void finish(std::chrono::milliseconds grace);

 private:
  void write_all(std::string_view data, std::chrono::milliseconds timeout);
  // Throws when the watch has interrupted the current call (while `writing` the
  // request or waiting for the reply).
  void check_interrupt(bool writing, std::chrono::milliseconds timeout);
  [[noreturn]] void fail_exited(const std::string& what);

  core::os::Child child_;
  bool finished_ = false;
  core::Fd in_;   // non-blocking: a simulator that stops reading must not hold us forever
  core::Fd out_;  // blocking: the reply is one read away, and the watch interrupts it
  std::string log_name_;
  std::string out_buffer_;
  std::size_t out_start_ = 0;  // first byte of out_buffer_ not yet handed out
  std::optional<ChildWatch> watch_;
};

}  // namespace tarvo::sim
