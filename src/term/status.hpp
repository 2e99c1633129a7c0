#pragma once
// A transient status line with a spinner (Console::status). On a terminal a
// background thread animates it; elsewhere nothing is shown. The destructor removes
// the line and joins the thread, so the line goes away also when the block throws.
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

namespace tarvo::term {

// The last line of a terminal while a spinner owns it. Output printed meanwhile goes
// above it: the live line is erased, the output written, the live line drawn again.
// A Console and its spinners share one, so lines never end up glued to a frame.
class LiveLine {
 public:
  explicit LiveLine(std::FILE* stream) : stream_(stream) {}

  // Writes `text` (whole lines) above the live line.
  void write(std::string_view text);
  // Replaces the live line.
  void draw(std::string line);
  // Erases the live line, followed by `trailer` (a control sequence).
  void clear(std::string_view trailer = {});

 private:
  std::mutex mutex_;
  std::FILE* stream_;
  std::string line_;  // what is drawn now; empty when nothing is
};

// The live line of standard output or of standard error, one per process and shared
// by every console, spinner, progress bar and log line writing there, so that lines
// printed while a bar or a spinner is shown go above it; other streams get their own.
std::shared_ptr<LiveLine> shared_live_line(std::FILE* stream);

class Status {
 public:
  // `live` is the console's shared last line; without one the status uses its own.
  Status(std::FILE* stream, std::string text, bool animate,
         std::shared_ptr<LiveLine> live = nullptr);
  ~Status();
  Status(const Status&) = delete;
  Status& operator=(const Status&) = delete;

  void update(std::string text);

 private:
  void run();

  std::FILE* stream_;
  std::string text_;
  bool animate_;
  bool styled_;
  std::shared_ptr<LiveLine> live_;
  std::mutex mutex_;  // guards text_ and stop_'s changes for wake_
  std::condition_variable wake_;
  std::atomic<bool> stop_{false};
  std::thread thread_;  // last: starts once everything above exists
};

}  // namespace tarvo::term
