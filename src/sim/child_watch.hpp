#pragma once
// The watch a simulator process keeps while its relay thread sits in a plain blocking
// read for the reply: a thread of its own passes the simulator's standard error to
// the log line by line, within bounds (stderr_lines.hpp; a full pipe would stall the
// simulator), and ends a call that
// outlives its deadline or the server by interrupting the waiting thread with a
// signal. The waiting thread thus needs one system call per reply, not a wait for
// readiness and then a read.
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "core/fd.hpp"
#include "core/os/os.hpp"
#include "sim/stderr_lines.hpp"

namespace tarvo::sim {

class ChildWatch {
 public:
  using Clock = std::chrono::steady_clock;
  enum class Interrupt { none, timed_out, shutting_down };

  // `err` is the read end of the child's standard error; `cancel_fd` (or -1) turns
  // readable once the server shuts down.
  ChildWatch(core::Fd err, int cancel_fd, std::string log_name);
  ~ChildWatch();
  ChildWatch(const ChildWatch&) = delete;
  ChildWatch& operator=(const ChildWatch&) = delete;

  // One call, from the thread that will wait for its reply. While it lasts, that
  // thread's blocking system calls fail with EINTR once the call is interrupted.
  class Call {
   public:
    Call(ChildWatch& watch, Clock::time_point deadline);
    ~Call();
    Call(const Call&) = delete;
    Call& operator=(const Call&) = delete;

   private:
    ChildWatch& watch_;
  };

  // Why the current call was interrupted, if it was.
  Interrupt interrupted();

  // The last line the child wrote to standard error, once that ends or `limit`
  // passes, whichever comes first.
  std::string last_words(std::chrono::milliseconds limit);

  // Ends the watch, then logs whatever is left to read of standard error. Idempotent.
  void stop();

 private:
  void run();
  // Reads what standard error holds (up to a bound); false once it has ended.
  bool drain();
  void wake();

  std::string log_name_;
  core::Fd err_;  // the watch thread's alone while it runs
  int cancel_fd_;
  core::os::Event wake_;  // a call began after a quiet spell, or stop()

  std::mutex mutex_;
  std::condition_variable err_ended_;
  bool calling_ = false;
  pthread_t caller_{};
  Clock::time_point deadline_;
  Clock::time_point last_call_;
  Interrupt interrupt_ = Interrupt::none;
  bool cancelled_ = false;
  bool parked_ = false;  // the thread waits without a time limit
  bool stopping_ = false;
  bool err_done_ = false;
  std::string last_err_line_;
  StderrLines err_lines_;  // the watch thread's alone while it runs

  std::thread thread_;  // last: it uses everything above
};

}  // namespace tarvo::sim
