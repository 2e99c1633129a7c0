#pragma once
// A simulator's standard error on its way to the log. A program that prints in a
// loop must neither fill the disk nor drown the server's own lines, and what it
// prints must not drive the terminal: each line is cut at kMaxLine bytes (and says
// so), control characters are shown as \xNN escapes, and at most kLinesPerSecond
// lines a second are logged; the rest are counted, and the count is logged once the
// second is over.
#include <chrono>
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace tarvo::sim {

class StderrLines {
 public:
  using Clock = std::chrono::steady_clock;
  using Sink = std::function<void(std::string_view line)>;
  static constexpr std::size_t kMaxLine = 4096;
  static constexpr int kLinesPerSecond = 100;

  explicit StderrLines(Sink sink) : sink_(std::move(sink)) {}

  // Bytes as they were read at `now`.
  void feed(std::string_view bytes, Clock::time_point now);
  // Logs the count of dropped lines once their second is over; true while a count
  // is still waiting (call again later).
  bool tick(Clock::time_point now);
  // The end of the stream: an unfinished line and any count are logged.
  void end(Clock::time_point now);

  // The last line the program finished, as it is logged (or would have been).
  const std::string& last_line() const { return last_line_; }

 private:
  void finish_line(Clock::time_point now);
  void report_dropped();

  Sink sink_;
  std::string line_;     // the line being read: its first kMaxLine bytes
  std::size_t cut_ = 0;  // bytes of it beyond those
  std::string last_line_;
  bool window_open_ = false;
  Clock::time_point window_start_{};
  int logged_in_window_ = 0;
  std::size_t dropped_ = 0;
};

}  // namespace tarvo::sim
