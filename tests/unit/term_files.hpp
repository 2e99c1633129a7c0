#pragma once
// Streams for terminal kit tests: temporary files standing in for pipes, and
// pseudo-terminals standing in for a user's terminal.
#include <poll.h>
#include <pthread.h>
#include <pty.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>

#include "core/fd.hpp"
#include "core/interrupt.hpp"

namespace tarvo::test {

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// A temporary file holding `content`, positioned at its start.
inline File temp_file(std::string_view content = {}) {
  File file(std::tmpfile());
  if (!file) throw std::runtime_error("tmpfile failed");
  if (!content.empty()) std::fwrite(content.data(), 1, content.size(), file.get());
  std::rewind(file.get());
  return file;
}

// Everything written to `file` so far.
inline std::string contents(std::FILE* file) {
  std::fflush(file);
  std::string text;
  std::rewind(file);
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
    text.append(buffer, n);
  return text;
}

// What another thread has written and flushed to `file`, read without touching the
// stream's own position or buffer.
inline std::string peek(std::FILE* file) {
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = pread(fileno(file), buffer, sizeof buffer, static_cast<off_t>(text.size()))) > 0)
    text.append(buffer, static_cast<std::size_t>(n));
  return text;
}

// A pseudo-terminal of 80x24; the program side is opened as stdio streams.
class Pty {
 public:
  Pty() {
    int master = -1, slave = -1;
    winsize size{};
    size.ws_col = 80;
    size.ws_row = 24;
    if (openpty(&master, &slave, nullptr, nullptr, &size) != 0)
      throw std::runtime_error("openpty failed");
    master_.reset(master);
    slave_.reset(slave);
    in_.reset(fdopen(dup(slave), "r"));
    out_.reset(fdopen(dup(slave), "w"));
  }

  std::FILE* in() const { return in_.get(); }
  std::FILE* out() const { return out_.get(); }
  int slave() const { return slave_.get(); }

  // Keys as the user types them.
  void type(std::string_view keys) const {
    if (write(master_.get(), keys.data(), keys.size()) != static_cast<ssize_t>(keys.size()))
      throw std::runtime_error("write to pty failed");
  }

  // Switches off line editing, echo and signal keys, so that typed-ahead bytes reach
  // the program as they are.
  void raw() const {
    termios mode{};
    tcgetattr(slave(), &mode);
    mode.c_lflag &= ~(ICANON | ECHO | ISIG);
    tcsetattr(slave(), TCSANOW, &mode);
  }

  // What the program wrote (and the terminal echoed) so far.
  std::string screen() const {
    std::string text;
    char buffer[4096];
    pollfd fd{master_.get(), POLLIN, 0};
    while (poll(&fd, 1, 100) > 0) {
      const ssize_t n = read(master_.get(), buffer, sizeof buffer);
      if (n <= 0) break;
      text.append(buffer, static_cast<std::size_t>(n));
    }
    return text;
  }

 private:
  core::Fd master_;
  core::Fd slave_;
  File in_;
  File out_;
};

// Runs `wait` on a thread of its own and sends that thread SIGINT until `wait` returns
// (a signal can land before it starts to wait). True when it ended by throwing
// core::Interrupted. Clears the interrupt flag afterwards.
inline bool ends_on_sigint(const std::function<void()>& wait) {
  std::atomic<bool> interrupted{false}, done{false};
  std::thread waiter([&] {
    try {
      wait();
    } catch (const core::Interrupted&) {
      interrupted = true;
    } catch (...) {
    }
    done = true;
  });
  while (!done) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    pthread_kill(waiter.native_handle(), SIGINT);
  }
  waiter.join();
  core::interrupt::clear();
  return interrupted;
}

}  // namespace tarvo::test
