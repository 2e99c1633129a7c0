#include "sim/child_watch.hpp"

#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <system_error>

#include "sim/client.hpp"
#include "sim/log.hpp"

namespace tarvo::sim {

namespace {

using std::chrono::milliseconds;

// Nothing else in tarvo sends or expects it, and its default action is to ignore it.
constexpr int kInterruptSignal = SIGURG;
// How often the watch looks at the clock while calls come and go; it stops looking
// after a quiet spell, until the next call wakes it.
constexpr milliseconds kTick{20};
constexpr milliseconds kQuietSpell{2000};
// A signal can land just before the waiting thread enters its read: send it again
// until the call is over.
constexpr milliseconds kResend{5};
constexpr milliseconds kDroppedCheck{250};

// A handler that does nothing, installed without SA_RESTART: the interrupted read
// returns EINTR instead of resuming.
void install_interrupt_handler() {
  static const bool installed = [] {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    return sigaction(kInterruptSignal, &action, nullptr) == 0;
  }();
  (void)installed;
}

void unblock_interrupt_in_this_thread() {
  thread_local bool unblocked = false;
  if (unblocked) return;
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, kInterruptSignal);
  pthread_sigmask(SIG_UNBLOCK, &signals, nullptr);
  unblocked = true;
}

int poll_timeout(milliseconds limit, ChildWatch::Clock::duration left) {
  auto ms = std::chrono::ceil<milliseconds>(left);
  return static_cast<int>(std::clamp(ms, milliseconds(0), limit).count());
}

// The wake-up event, or a SessionError that says why there is none.
core::os::Event make_wake_event() {
  try {
    return core::os::Event();
  } catch (const std::system_error& error) {
    throw SessionError(std::string("cannot watch the simulator: ") +
                       std::strerror(error.code().value()));
  }
}

}  // namespace

ChildWatch::ChildWatch(core::Fd err, int cancel_fd, std::string log_name)
    : log_name_(std::move(log_name)),
      err_(std::move(err)),
      cancel_fd_(cancel_fd),
      wake_(make_wake_event()),
      err_lines_([this](std::string_view line) { log_info(log_name_, line); }) {
  install_interrupt_handler();
  last_call_ = Clock::now();
  try {
    thread_ = std::thread([this] { run(); });
  } catch (const std::system_error& error) {
    throw SessionError(std::string("cannot watch the simulator: ") + error.what());
  }
}

ChildWatch::~ChildWatch() {
  stop();
}

ChildWatch::Call::Call(ChildWatch& watch, Clock::time_point deadline) : watch_(watch) {
  unblock_interrupt_in_this_thread();
  bool wake = false;
  {
    std::lock_guard lock(watch.mutex_);
    if (watch.cancelled_) throw SessionError("the server is shutting down");
    watch.calling_ = true;
    watch.caller_ = pthread_self();
    watch.deadline_ = deadline;
    watch.interrupt_ = Interrupt::none;
    wake = std::exchange(watch.parked_, false);
  }
  if (wake) watch.wake();
}

ChildWatch::Call::~Call() {
  std::lock_guard lock(watch_.mutex_);
  watch_.calling_ = false;
  watch_.last_call_ = Clock::now();
}

ChildWatch::Interrupt ChildWatch::interrupted() {
  std::lock_guard lock(mutex_);
  return interrupt_;
}

std::string ChildWatch::last_words(milliseconds limit) {
  std::unique_lock lock(mutex_);
  err_ended_.wait_for(lock, limit, [this] { return err_done_; });
  return last_err_line_;
}

void ChildWatch::wake() {
  wake_.signal();
}

void ChildWatch::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  if (!thread_.joinable()) return;
  wake();
  thread_.join();
  // The child has ended or is about to: log what it left behind.
  bool open = err_ && drain();
  if (err_ && !open) err_.reset();
  err_lines_.end(Clock::now());
  std::lock_guard lock(mutex_);
  last_err_line_ = err_lines_.last_line();
  err_done_ = true;
  err_ended_.notify_all();
}

bool ChildWatch::drain() {
  char chunk[4096];
  // Bounded: a helper the simulator left behind may write faster than we log.
  for (int reads = 0; reads < 64; ++reads) {
    ssize_t n = ::read(err_.get(), chunk, sizeof chunk);
    if (n > 0) {
      err_lines_.feed(std::string_view(chunk, static_cast<std::size_t>(n)), Clock::now());
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0) {
      err_lines_.end(Clock::now());
      return false;
    }
    return true;  // nothing more for now
  }
  return true;
}

void ChildWatch::run() {
  // Signals meant for the process are better handled by threads that wait on them.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);

  std::unique_lock lock(mutex_);
  while (!stopping_) {
    int timeout = -1;
    const auto now = Clock::now();
    if (calling_ && interrupt_ != Interrupt::none)
      timeout = static_cast<int>(kResend.count());
    else if (calling_)
      timeout = poll_timeout(kTick, deadline_ - now);
    else if (now - last_call_ < kQuietSpell)
      timeout = static_cast<int>(kTick.count());
    // A count of dropped lines is logged once its second is over, output or not.
    if (err_lines_.tick(now) && (timeout < 0 || timeout > kDroppedCheck.count()))
      timeout = static_cast<int>(kDroppedCheck.count());
    parked_ = timeout < 0;
    const bool watch_cancel = cancel_fd_ >= 0 && !cancelled_;
    lock.unlock();

    pollfd fds[3] = {{wake_.fd(), POLLIN, 0},
                     {err_ ? err_.get() : -1, POLLIN, 0},
                     {watch_cancel ? cancel_fd_ : -1, POLLIN, 0}};
    int ready = poll(fds, 3, timeout);
    if (ready < 0) {
      // Interrupted: look again; anything else: not in a tight loop.
      if (errno != EINTR) std::this_thread::sleep_for(kTick);
      ready = 0;
    }
    bool err_open = true;
    const bool err_read = ready && fds[1].revents;
    if (err_read) err_open = drain();
    if (ready && fds[0].revents) wake_.clear();

    lock.lock();
    if (err_read) last_err_line_ = err_lines_.last_line();
    if (!err_open) {
      err_.reset();
      err_done_ = true;
      err_ended_.notify_all();
    }
    if (ready && fds[2].revents) cancelled_ = true;
    if (calling_) {
      if (interrupt_ == Interrupt::none && cancelled_) interrupt_ = Interrupt::shutting_down;
      if (interrupt_ == Interrupt::none && Clock::now() >= deadline_)
        interrupt_ = Interrupt::timed_out;
      if (interrupt_ != Interrupt::none) pthread_kill(caller_, kInterruptSignal);
    }
  }
}

}  // namespace tarvo::sim
