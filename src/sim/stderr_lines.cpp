#include "sim/stderr_lines.hpp"

#include <algorithm>

#include "core/utf8.hpp"

namespace tarvo::sim {

namespace {

constexpr auto kWindow = std::chrono::seconds(1);

}  // namespace

void StderrLines::feed(std::string_view bytes, Clock::time_point now) {
  while (!bytes.empty()) {
    const auto newline = bytes.find('\n');
    const auto piece = bytes.substr(0, newline);
    const auto room = kMaxLine - line_.size();
    line_.append(piece.substr(0, room));
    cut_ += piece.size() - std::min(piece.size(), room);
    if (newline == std::string_view::npos) return;
    finish_line(now);
    bytes.remove_prefix(newline + 1);
  }
}

bool StderrLines::tick(Clock::time_point now) {
  if (dropped_ > 0 && now - window_start_ >= kWindow) {
    report_dropped();
    window_open_ = false;
  }
  return dropped_ > 0;
}

void StderrLines::end(Clock::time_point now) {
  if (!line_.empty() || cut_ > 0) finish_line(now);
  if (dropped_ > 0) report_dropped();
}

void StderrLines::finish_line(Clock::time_point now) {
  if (cut_ == 0 && !line_.empty() && line_.back() == '\r') line_.pop_back();
  last_line_ = core::visible_controls(line_);
  if (cut_ > 0) last_line_ += " [line cut: " + std::to_string(cut_) + " more bytes not logged]";
  line_.clear();
  cut_ = 0;

  if (window_open_ && now - window_start_ >= kWindow) {
    if (dropped_ > 0) report_dropped();
    window_open_ = false;
  }
  if (!window_open_) {
    window_open_ = true;
    window_start_ = now;
    logged_in_window_ = 0;
  }
  if (logged_in_window_ < kLinesPerSecond) {
    ++logged_in_window_;
    sink_(last_line_);
  } else {
    ++dropped_;
  }
}

void StderrLines::report_dropped() {
  sink_("[" + std::to_string(dropped_) + (dropped_ == 1 ? " line" : " lines") +
        " of standard error not logged: more than " + std::to_string(kLinesPerSecond) +
        " lines a second]");
  dropped_ = 0;
}

}  // namespace tarvo::sim
