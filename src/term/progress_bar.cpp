#include "term/progress_bar.hpp"

#include <unistd.h>

#include <algorithm>

#include "term/console.hpp"
#include "term/status.hpp"
#include "term/text.hpp"

namespace tarvo::term {

namespace {

std::string megabytes(std::uint64_t bytes) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", static_cast<double>(bytes) / 1e6);
  return text;
}

std::string figures(std::uint64_t done, std::uint64_t total, ProgressUnit unit,
                    std::optional<double> per_second) {
  if (unit == ProgressUnit::bytes) return megabytes(done) + "/" + megabytes(total) + " MB";
  std::string text = std::to_string(done) + "/" + std::to_string(total) + " samples";
  if (per_second) {
    char rate[32];
    std::snprintf(rate, sizeof rate, "  %.0f/s", *per_second);
    text += rate;
  }
  return text;
}

}  // namespace

std::string render_progress(std::string_view label, std::uint64_t done, std::uint64_t total,
                            int width, ProgressUnit unit, std::optional<double> per_second) {
  done = std::min(done, total);
  const int percent = total == 0 ? 100 : static_cast<int>(done * 100 / total);
  char percent_text[16];
  std::snprintf(percent_text, sizeof percent_text, " %3d%%  ", percent);
  const std::string tail = percent_text + figures(done, total, unit, per_second);
  std::string line(label);
  const int bar = std::min(40, width - display_width(line) - static_cast<int>(tail.size()) - 4);
  if (bar >= 10) {
    const int filled =
        total == 0 ? bar : static_cast<int>(done * static_cast<std::uint64_t>(bar) / total);
    line += " [" + std::string(static_cast<std::size_t>(filled), '#') +
            std::string(static_cast<std::size_t>(bar - filled), '-') + "]";
  }
  return line + tail;
}

ProgressBar::ProgressBar(std::FILE* stream, std::string label, ProgressUnit unit)
    : stream_(stream),
      live_(shared_live_line(stream)),
      label_(visible_controls(label)),
      unit_(unit),
      active_(::isatty(::fileno(stream)) != 0) {}

ProgressBar::~ProgressBar() {
  if (drawn_) live_->clear();
}

void ProgressBar::update(std::uint64_t done, std::uint64_t total) {
  if (!active_ || total == 0) return;
  const auto now = std::chrono::steady_clock::now();
  if (!started_) started_ = now;
  // Redraw when the bar moves, or now and then for the count and the rate: callers
  // report many times a second, and a long run moves the bar only every few seconds.
  const int permille = static_cast<int>(std::min(done, total) * 1000 / total);
  if (permille == last_permille_ && last_drawn_ && now - *last_drawn_ < kRedrawInterval) return;
  last_permille_ = permille;
  last_drawn_ = now;
  std::optional<double> per_second;
  const std::chrono::duration<double> elapsed = now - *started_;
  if (unit_ == ProgressUnit::samples && elapsed.count() > 0)
    per_second = static_cast<double>(done) / elapsed.count();
  // One column short of the width: a full line would wrap on some terminals.
  const std::string line =
      truncate(render_progress(label_, done, total, terminal_width(stream_) - 1, unit_, per_second),
               terminal_width(stream_) - 1);
  live_->draw(line);
  drawn_ = true;
}

}  // namespace tarvo::term
